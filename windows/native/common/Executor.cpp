#include "Executor.h"

#include <utility>
#include <vector>

#include "ErrorHandling.h"
#include "Log.h"
#include "ScopeExit.h"

namespace {

// The exit status given to a child that is ended before it ever ran.
const UINT kAbortedExitCode = ERROR_PROCESS_ABORTED;

// A child created suspended has not run a single instruction. When its start fails half-way
// nobody would ever resume it, so it is ended rather than left suspended for good.
void terminateNeverStarted(HANDLE process) noexcept {
    try {
        if (!TerminateProcess(process, kAbortedExitCode)) {
            const DWORD error = GetLastError();
            LOG_WARNING("TerminateProcess() of a suspended child failed: " << describeSystemError(error, nullptr));
            return;
        }
        LOG_TRACE("Terminated the suspended child; its start did not complete");
    } catch (...) {
        // Called on the way out of a failure that is already being reported.
    }
}

tstrings::MessageBuilder describeCreation(bool suspended, bool visible, bool inheritHandles,
                                          const tstring& executablePath, const tstring& commandLine) {
    tstrings::MessageBuilder description;
    description << "CreateProcess";
    if (suspended) {
        description << "[suspended]";
    }
    if (visible) {
        description << "[visible]";
    }
    if (inheritHandles) {
        description << "[inherit]";
    }
    description << "(" << executablePath << ", " << commandLine << ")";
    return description;
}

}  // namespace

tstring Executor::quoteArg(const tstring& element) {
    if (element.empty()) {
        return element;
    }
    if (element.size() >= 2 && element.front() == L'"' && element.back() == L'"') {
        return element;
    }
    if (element.find_first_of(L" \t") == tstring::npos) {
        return element;
    }
    return L"\"" + element + L"\"";
}

tstring Executor::buildCommandLine() const {
    tstring commandLine = quoteArg(executablePath_);
    for (const tstring& arg : args_) {
        commandLine += L' ';
        commandLine += quoteArg(arg);
    }
    if (!argsText_.empty()) {
        commandLine += L' ';
        commandLine += argsText_;
    }
    return commandLine;
}

UniqueHandle Executor::startProcess(UniqueHandle* threadHandleHolder) const {
    const tstring commandLine = buildCommandLine();
    // Windows refuses a longer command line and Wine cuts it silently; either way the child would
    // not get what it was meant to.
    if (commandLine.size() > kMaxCommandLine) {
        LD_THROW(tstrings::MessageBuilder()
                 << "Cannot start " << executablePath_ << ": its command line would be " << commandLine.size()
                 << " characters long, and Windows accepts at most " << kMaxCommandLine);
    }
    // CreateProcessW may write into the command line, so it gets a private copy.
    std::vector<wchar_t> commandLineBuffer(commandLine.begin(), commandLine.end());
    commandLineBuffer.push_back(L'\0');

    STARTUPINFOW startupInfo = {};
    startupInfo.cb = sizeof(startupInfo);
    PROCESS_INFORMATION processInfo = {};

    DWORD creationFlags = 0;
    if (suspended_) {
        creationFlags |= CREATE_SUSPENDED;
    }
    if (!visible_) {
        startupInfo.dwFlags |= STARTF_USESHOWWINDOW;
        startupInfo.wShowWindow = SW_HIDE;
        creationFlags |= CREATE_NO_WINDOW;
    }

    tstrings::MessageBuilder description =
        describeCreation(suspended_, visible_, inheritHandles_, executablePath_, commandLine);
    LD_THROW_LAST_ERROR_IF(
        !CreateProcessW(executablePath_.c_str(), commandLineBuffer.data(), nullptr, nullptr,
                        inheritHandles_ ? TRUE : FALSE, creationFlags, nullptr, nullptr, &startupInfo, &processInfo),
        CreateProcessW, description << " failed");
    UniqueHandle process(processInfo.hProcess);
    UniqueHandle thread(processInfo.hThread);
    // A child created suspended is ended on every way out of its start that does not hand it on.
    auto endNeverStarted = ld::scopeExit([&] {
        if (suspended_) {
            terminateNeverStarted(process.get());
        }
    });

    description << " succeeded; PID=" << processInfo.dwProcessId;
    LOG_TRACE(description);

    if (threadHandleHolder != nullptr) {
        *threadHandleHolder = std::move(thread);
    } else {
        thread.reset();
    }

    if (jobObject_ != nullptr) {
        LOG_TRACE("AssignProcessToJobObject(PID=" << processInfo.dwProcessId << ")");
        LD_THROW_LAST_ERROR_IF(!AssignProcessToJobObject(jobObject_, process.get()), AssignProcessToJobObject,
                               "AssignProcessToJobObject() failed");
    }

    if (afterProcessCreated_) {
        afterProcessCreated_(process.get());
    }

    endNeverStarted.release();
    return process;
}

int Executor::execAndWaitForExit() const {
    UniqueHandle thread;
    const UniqueHandle process = startProcess(&thread);

    if (suspended_) {
        LOG_TRACE("ResumeThread()");
        if (ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
            const DWORD error = GetLastError();
            terminateNeverStarted(process.get());
            LD_THROW_SYSTEM_ERROR(ResumeThread, error, "ResumeThread() failed");
        }
    }

    LD_THROW_LAST_ERROR_IF(WaitForSingleObject(process.get(), INFINITE) == WAIT_FAILED, WaitForSingleObject,
                           "WaitForSingleObject() failed");

    DWORD exitCode = 0;
    LD_THROW_LAST_ERROR_IF(!GetExitCodeProcess(process.get(), &exitCode), GetExitCodeProcess,
                           "GetExitCodeProcess() failed");

    const DWORD processId = GetProcessId(process.get());
    LD_THROW_LAST_ERROR_IF(processId == 0, GetProcessId, "GetProcessId() failed.");

    LOG_TRACE("Process with PID=" << processId << " terminated. Exit code=" << exitCode);
    // The status is a 32-bit pattern (0xC0000005 and the like); callers get it as a signed value.
    return static_cast<int>(exitCode);
}
