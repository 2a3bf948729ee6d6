// Test helper: keeps every record it is given and installs itself for the life of a scope.
#pragma once

#include <vector>

#include "Log.h"

class CapturingLogAppender : public LogAppender {
public:
    CapturingLogAppender() : previous_(Logger::global().setAppender(this)) {}
    ~CapturingLogAppender() override { Logger::global().setAppender(previous_); }

    void append(const LogEvent& event) override { events.push_back(event); }

    bool contains(LogLevel level, const tstring& text) const {
        for (const LogEvent& event : events) {
            if (event.logLevel == logLevelName(level) && event.message.find(text) != tstring::npos) {
                return true;
            }
        }
        return false;
    }

    std::vector<LogEvent> events;

private:
    LogAppender* previous_;
};
