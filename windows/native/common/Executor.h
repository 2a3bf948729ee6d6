// Child processes: one executable with its arguments, started hidden or visible, optionally
// suspended and placed in a job, and waited for until it ends.
#pragma once

#include <functional>

#include "WinApi.h"
#include "tstrings.h"

// The one owner of a kernel handle. Null and INVALID_HANDLE_VALUE both count as empty, so the
// result of any creating call can be wrapped as it comes.
class UniqueHandle {
public:
    UniqueHandle() noexcept = default;
    explicit UniqueHandle(HANDLE handle) noexcept : handle_(handle) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    HANDLE get() const noexcept { return handle_; }
    bool valid() const noexcept { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    explicit operator bool() const noexcept { return valid(); }

    // Gives the handle up without closing it.
    HANDLE release() noexcept {
        HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }

    // Closes the held handle (keeping the thread's last-error value) and takes `handle` instead.
    void reset(HANDLE handle = nullptr) noexcept;

private:
    HANDLE handle_ = nullptr;
};

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

    // Starts a new child, waits for it without time limit and returns its exit status bit for bit.
    int execAndWaitForExit() const;

    // Starts a new child and returns its process handle. With `threadHandleHolder` the main
    // thread's handle is moved there; otherwise it is closed at once.
    UniqueHandle startProcess(UniqueHandle* threadHandleHolder = nullptr) const;

    // The executable path and the arguments, each through quoteArg, joined by single blanks.
    tstring buildCommandLine() const;

    // Wraps an element holding a blank or a tab in double quotes unless it is quoted already.
    // Nothing inside is escaped: the child this is made for (msiexec) reads quotes literally.
    static tstring quoteArg(const tstring& element);

private:
    bool visible_ = false;
    bool inheritHandles_ = false;
    bool suspended_ = false;
    HANDLE jobObject_ = nullptr;
    tstring_array args_;
    tstring executablePath_;
    ProcessCreatedCallback afterProcessCreated_;
};
