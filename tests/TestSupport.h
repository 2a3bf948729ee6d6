// Small helpers the unit tests share.
#pragma once

#include <io.h>

#include <cstdio>
#include <exception>
#include <string>

#include "ErrorHandling.h"
#include "WinApi.h"

// Sends a C runtime stream (stdout, stderr) into a temporary file for the life of the scope, at
// the level of its file descriptor, so that whatever writes to it is caught.
class StreamCapture {
public:
    explicit StreamCapture(std::FILE* stream) : stream_(stream) {
        wchar_t directory[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH + 1, directory);
        const std::wstring path = std::wstring(directory) + L"lodestar capture " + std::to_wstring(GetCurrentProcessId()) +
                                  L"-" + std::to_wstring(GetTickCount64()) + L".txt";
        capture_ = _wfopen(path.c_str(), L"w+bTD");  // deleted when closed
        std::fflush(stream_);
        saved_ = _dup(_fileno(stream_));
        _dup2(_fileno(capture_), _fileno(stream_));
    }
    ~StreamCapture() {
        std::fflush(stream_);
        _dup2(saved_, _fileno(stream_));
        _close(saved_);
        std::fclose(capture_);
    }
    StreamCapture(const StreamCapture&) = delete;
    StreamCapture& operator=(const StreamCapture&) = delete;

    // Everything written so far.
    std::string text() const {
        std::fflush(stream_);
        std::fflush(capture_);
        std::fseek(capture_, 0, SEEK_SET);
        std::string text;
        char chunk[4096];
        for (size_t read = 0; (read = std::fread(chunk, 1, sizeof(chunk), capture_)) > 0;) {
            text.append(chunk, read);
        }
        std::fseek(capture_, 0, SEEK_END);
        return text;
    }

private:
    std::FILE* stream_;
    std::FILE* capture_ = nullptr;
    int saved_ = -1;
};

// The raw message of the located error of type E that `action` throws; any other outcome comes
// back as a text that no expected message equals.
template <typename E = LdErrorBase, typename Action>
std::string rawMessageOf(Action&& action) {
    try {
        action();
    } catch (const E& e) {
        return e.rawMessage();
    } catch (const std::exception& e) {
        return std::string("unexpected error: ") + e.what();
    }
    return "(nothing thrown)";
}
