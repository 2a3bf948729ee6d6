// Child processes: one executable with its arguments, started hidden or visible, optionally
// suspended and placed in a job, and waited for until it ends.
#pragma once

#include <functional>

#include "UniqueResource.h"
#include "WinApi.h"
#include "tstrings.h"

class Executor {
public:
    // Called with the new process's handle once it is created (and placed in the job, if any).
    typedef std::function<void(HANDLE process)> ProcessCreatedCallback;

    explicit Executor(const tstring& executablePath) : executablePath_(executablePath) {}

    Executor& visible(bool value) {
        visible_ = value;
        return *this;
    }
    Executor& inheritHandles(bool value) {
        inheritHandles_ = value;
        return *this;
    }
    Executor& suspended(bool value) {
        suspended_ = value;
        return *this;
    }
    // The job is not owned: the caller keeps it open for as long as the executor may use it.
    Executor& jobObject(HANDLE job) {
        jobObject_ = job;
        return *this;
    }
    Executor& afterProcessCreated(const ProcessCreatedCallback& callback) {
        afterProcessCreated_ = callback;
        return *this;
    }
    Executor& arg(const tstring& value) {
        args_.push_back(value);
        return *this;
    }
    // Text that follows the quoted arguments on the command line exactly as given, for arguments
    // that must reach the child as the user typed them (see SysInfo::getCommandArgsText).
    Executor& argsText(const tstring& text) {
        argsText_ = text;
        return *this;
    }

    // Starts a new child, waits for it without time limit and returns its exit status bit for bit.
    int execAndWaitForExit() const;

    // Starts a new child and returns its process handle. With `threadHandleHolder` the main
    // thread's handle is moved there; otherwise it is closed at once.
    UniqueHandle startProcess(UniqueHandle* threadHandleHolder = nullptr) const;

    // The executable path and the arguments, each through quoteArg, joined by single blanks, then
    // the arguments' text, if any, after one more blank.
    tstring buildCommandLine() const;

    // The longest command line a child can be given, in UTF-16 units without the terminator.
    static constexpr size_t kMaxCommandLine = 32766;

    // Wraps an element holding a blank or a tab in double quotes unless it is quoted already.
    // Nothing inside is escaped: the child this is made for (msiexec) reads quotes literally.
    static tstring quoteArg(const tstring& element);

private:
    bool visible_ = false;
    bool inheritHandles_ = false;
    bool suspended_ = false;
    HANDLE jobObject_ = nullptr;
    tstring_array args_;
    tstring argsText_;
    tstring executablePath_;
    ProcessCreatedCallback afterProcessCreated_;
};
