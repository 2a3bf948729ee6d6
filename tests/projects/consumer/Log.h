// The consumer's own Log.h, which the library's headers must not shadow, nor it theirs.
#pragma once

inline const char* consumerLogTag() {
    return "consumer-log";
}
