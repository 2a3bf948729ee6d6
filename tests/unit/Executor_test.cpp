#include "Executor.h"

#include <gtest/gtest.h>

#include <optional>

#include "ErrorHandling.h"
#include "TestSupport.h"
#include "WinApi.h"

#include <tlhelp32.h>

namespace {

const tstring& childPath() {
    static const tstring path = besideTestProgram(L"proc_child.exe");
    return path;
}

struct ChildReport {
    tstring commandLine;
    DWORD startupFlags = 0;
    DWORD showWindow = 0;
    tstring_array argv;  // as CommandLineToArgvW splits the raw command line
};

class ExecutorTest : public ::testing::Test {
protected:
    // The child, copied to a path with blanks in both the directory and the file name.
    tstring childWithBlanks() {
        const tstring dir = scratch_ / L"dir with blanks";
        CreateDirectoryW(dir.c_str(), nullptr);
        const tstring path = dir + L"\\proc child.exe";
        EXPECT_TRUE(CopyFileW(childPath().c_str(), path.c_str(), FALSE));
        return path;
    }

    // Runs the executor with the child reporting to reportPath_ and exiting with `exitCode`.
    int run(const Executor& executor, DWORD exitCode = 0) {
        DeleteFileW(reportPath_.c_str());
        ScopedEnv report(L"PROC_CHILD_REPORT", reportPath_);
        ScopedEnv code(L"PROC_CHILD_EXIT_CODE", std::to_wstring(exitCode));
        return executor.execAndWaitForExit();
    }

    ChildReport readReport() const {
        const tstring text = readUtf16File(reportPath_);
        tstring_array fields;
        for (size_t begin = 0; begin < text.size();) {
            const size_t end = text.find(L'\0', begin);
            fields.push_back(text.substr(begin, end - begin));
            begin = end + 1;
        }
        ChildReport report;
        if (fields.size() < 5) {
            ADD_FAILURE() << "the child wrote no complete report";
            return report;
        }
        report.commandLine = fields[0];
        report.startupFlags = std::stoul(fields[1]);
        report.showWindow = std::stoul(fields[2]);
        // Fields 3 and 4 (job, console window) are the launcher's end-to-end test's concern.
        report.argv.assign(fields.begin() + 5, fields.end());
        return report;
    }

    ScratchDirectory scratch_;
    const tstring reportPath_ = scratch_ / L"report.bin";
};

// The process id a TRACE record of startProcess announced.
DWORD announcedProcessId(const CapturingLogAppender& log) {
    for (const LogEvent& event : log.events) {
        const size_t at = event.message.find(L" succeeded; PID=");
        if (at != tstring::npos) {
            return std::stoul(event.message.substr(at + 16));
        }
    }
    return 0;
}

// Waits for the process with `processId` to end (it must already be ending) and gives its status.
std::optional<DWORD> exitCodeOfEndedProcess(DWORD processId) {
    const UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process || WaitForSingleObject(process.get(), 20000) != WAIT_OBJECT_0) {
        return std::nullopt;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    return code;
}

// How often the main thread of `processId` is suspended, read by suspending it once more.
std::optional<DWORD> mainThreadSuspendCount(DWORD processId) {
    const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID != processId) {
            continue;
        }
        const UniqueHandle thread(OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID));
        const DWORD previous = SuspendThread(thread.get());
        ResumeThread(thread.get());
        return previous;
    }
    return std::nullopt;
}

}  // namespace

TEST(ExecutorQuoting, WrapsOnlyElementsWithBlanksThatAreNotQuotedAlready) {
    EXPECT_EQ(Executor::quoteArg(L"a\tb"), L"\"a\tb\"");
    EXPECT_EQ(Executor::quoteArg(L"\"a b\""), L"\"a b\"");
    EXPECT_EQ(Executor::quoteArg(L"\"\""), L"\"\"");
    // One quote alone does not enclose the element; with a blank it gets wrapped like any other.
    EXPECT_EQ(Executor::quoteArg(L"\"a b"), L"\"\"a b\"");
}

TEST_F(ExecutorTest, ChildSeesTheExactCommandLine) {
    const tstring path = childWithBlanks();
    Executor executor(path);
    executor.arg(L"a b").arg(L"\"x\"").arg(L"").arg(L"c:\\dir\\").arg(L"a\"b");
    const tstring expected = L"\"" + path + L"\" \"a b\" \"x\"  c:\\dir\\ a\"b";
    EXPECT_EQ(executor.buildCommandLine(), expected);

    ASSERT_EQ(run(executor), 0);
    const ChildReport report = readReport();
    EXPECT_EQ(report.commandLine, expected);
    // What a child that splits with CommandLineToArgvW makes of it: the empty element and the
    // quotes are gone, as that function's rules say.
    EXPECT_EQ(report.argv, (tstring_array{path, L"a b", L"x", L"c:\\dir\\", L"ab"}));
}

TEST_F(ExecutorTest, ArgumentsTextFollowsTheQuotedArgumentsExactlyAsGiven) {
    const tstring path = childWithBlanks();
    const tstring text = L"GREETING=\"say \"\"hi\"\" now\" INSTALLDIR=\"C:\\App Dir\\\"\t\"\" x\\\"y";
    Executor executor(path);
    executor.arg(L"/i").arg(L"C:\\a b\\main.msi").argsText(text);
    ASSERT_EQ(run(executor), 0);
    EXPECT_EQ(readReport().commandLine, L"\"" + path + L"\" /i \"C:\\a b\\main.msi\" " + text);
}

TEST_F(ExecutorTest, ACommandLineLongerThanWindowsAcceptsIsRefusedNeverCut) {
    const tstring path = childPath();
    const size_t head = path.size() + 1;  // the path and the blank before the text
    Executor longest(path);
    longest.argsText(tstring(Executor::kMaxCommandLine - head, L'x'));
    ASSERT_EQ(run(longest), 0);
    EXPECT_EQ(readReport().commandLine.size(), Executor::kMaxCommandLine);

    Executor tooLong(path);
    tooLong.argsText(tstring(Executor::kMaxCommandLine - head + 1, L'x'));
    DeleteFileW(reportPath_.c_str());
    EXPECT_EQ(rawMessageOf<LdError<std::runtime_error>>([&] { tooLong.execAndWaitForExit(); }),
              "Cannot start " + tstrings::toUtf8(path) +
                  ": its command line would be 32767 characters long, and "
                  "Windows accepts at most 32766");
    EXPECT_EQ(GetFileAttributesW(reportPath_.c_str()), INVALID_FILE_ATTRIBUTES) << "a child was started";
}

TEST_F(ExecutorTest, ElementsWithoutQuotesRoundTripThroughCommandLineToArgvW) {
    const tstring path = childWithBlanks();
    const tstring_array args = {L"/i",        L"C:\\Temp\\123.tmp\\main.msi",   L"with blank", L"tab\there",
                                L"c:\\dir\\", L"C:\\Program Files\\app\\f.txt", L"PROP=value", L"\u00e9t\u00e9"};
    Executor executor(path);
    for (const tstring& arg : args) {
        executor.arg(arg);
    }
    ASSERT_EQ(run(executor), 0);
    tstring_array expected = {path};
    expected.insert(expected.end(), args.begin(), args.end());
    EXPECT_EQ(readReport().argv, expected);
}

TEST_F(ExecutorTest, ReturnsTheChildsExitStatusBitForBit) {
    const Executor executor(childPath());
    EXPECT_EQ(run(executor, 0), 0);
    EXPECT_EQ(run(executor, 3010), 3010);
    EXPECT_EQ(run(executor, 0xC0000005), -1073741819);
    EXPECT_EQ(run(executor, 0xFFFFFFFF), -1);
}

TEST_F(ExecutorTest, DefaultsStartTheChildHiddenVisibleDoesNotAndEachStepIsTraced) {
    CapturingLogAppender log;
    Executor executor(childPath());
    executor.arg(L"/i");
    ASSERT_EQ(run(executor, 3010), 3010);

    const ChildReport report = readReport();
    EXPECT_NE(report.startupFlags & STARTF_USESHOWWINDOW, 0u);
    EXPECT_EQ(report.showWindow, static_cast<DWORD>(SW_HIDE));

    const DWORD pid = announcedProcessId(log);
    ASSERT_EQ(log.events.size(), 2u);
    EXPECT_EQ(log.events[0].logLevel, L"TRACE");
    EXPECT_EQ(log.events[0].funcName, L"Executor::startProcess");
    EXPECT_EQ(log.events[0].message,
              L"CreateProcess(" + childPath() + L", " + childPath() + L" /i) succeeded; PID=" + std::to_wstring(pid));
    EXPECT_EQ(log.events[1].funcName, L"Executor::execAndWaitForExit");
    EXPECT_EQ(log.events[1].message, L"Process with PID=" + std::to_wstring(pid) + L" terminated. Exit code=3010");

    ASSERT_EQ(run(Executor(childPath()).visible(true)), 0);
    EXPECT_EQ(readReport().startupFlags & STARTF_USESHOWWINDOW, 0u);
    EXPECT_TRUE(log.events[2].message.starts_with(L"CreateProcess[visible]("));
}

TEST_F(ExecutorTest, SuspendedChildRunsOnlyAfterJobAssignmentAndCallback) {
    const UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
    ASSERT_TRUE(job);
    CapturingLogAppender log;
    std::optional<DWORD> suspendCount;
    BOOL inJob = FALSE;
    size_t recordsBeforeCallback = 0;
    int callbackCalls = 0;

    Executor executor(childPath());
    executor.suspended(true).jobObject(job.get()).afterProcessCreated([&](HANDLE process) {
        ++callbackCalls;
        recordsBeforeCallback = log.events.size();
        IsProcessInJob(process, job.get(), &inJob);
        suspendCount = mainThreadSuspendCount(GetProcessId(process));
    });
    EXPECT_EQ(run(executor, 7), 7);

    EXPECT_EQ(callbackCalls, 1);
    EXPECT_TRUE(inJob);
    EXPECT_EQ(suspendCount, std::optional<DWORD>(1));
    const DWORD pid = announcedProcessId(log);
    ASSERT_EQ(log.events.size(), 4u);
    EXPECT_TRUE(log.events[0].message.starts_with(L"CreateProcess[suspended](" + childPath() + L", "));
    EXPECT_EQ(log.events[1].message, L"AssignProcessToJobObject(PID=" + std::to_wstring(pid) + L")");
    EXPECT_EQ(recordsBeforeCallback, 2u);
    EXPECT_EQ(log.events[2].message, L"ResumeThread()");
    EXPECT_EQ(log.events[3].message, L"Process with PID=" + std::to_wstring(pid) + L" terminated. Exit code=7");
}

TEST_F(ExecutorTest, StartProcessHandsOverTheMainThread) {
    UniqueHandle thread;
    const UniqueHandle process = Executor(childPath()).suspended(true).startProcess(&thread);
    ASSERT_TRUE(process);
    ASSERT_TRUE(thread);
    EXPECT_EQ(SuspendThread(thread.get()), 1u);  // created suspended, and suspended once more here
    EXPECT_EQ(ResumeThread(thread.get()), 2u);
    EXPECT_EQ(ResumeThread(thread.get()), 1u);
    EXPECT_EQ(WaitForSingleObject(process.get(), INFINITE), WAIT_OBJECT_0);
}

TEST_F(ExecutorTest, InheritsHandlesOnlyWhenAsked) {
    const tstring sink = scratch_ / L"inherited.txt";
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    for (const bool inherit : {false, true}) {
        {
            const UniqueHandle file(
                CreateFileW(sink.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable, CREATE_ALWAYS, 0, nullptr));
            ASSERT_TRUE(file);
            ScopedEnv handle(L"PROC_CHILD_INHERITED_HANDLE", std::to_wstring(reinterpret_cast<uintptr_t>(file.get())));
            ASSERT_EQ(run(Executor(childPath()).inheritHandles(inherit)), 0);
        }
        const std::string written = readFile(sink);
        EXPECT_EQ(written.empty(), !inherit) << "inheritHandles(" << inherit << ")";
    }
}

TEST_F(ExecutorTest, FailedCreationNamesTheCallWithFlagsAndCommandLine) {
    const tstring missing = scratch_ / L"no such program.exe";
    const std::string plain = rawMessageOf([&] { Executor(missing).arg(L"a b").execAndWaitForExit(); });
    EXPECT_TRUE(plain.starts_with(tstrings::toUtf8(L"CreateProcess(" + missing + L", \"" + missing +
                                                   L"\" \"a b\") failed. System error [2](system error 2 (")))
        << plain;

    const std::string flagged =
        rawMessageOf([&] { Executor(missing).suspended(true).visible(true).inheritHandles(true).startProcess(); });
    EXPECT_TRUE(flagged.starts_with(tstrings::toUtf8(L"CreateProcess[suspended][visible][inherit](" + missing)))
        << flagged;

    try {
        Executor(missing).startProcess();
        FAIL() << "nothing thrown";
    } catch (const LdError<SysError>& e) {
        EXPECT_NE(std::string(e.what()).find("Executor.cpp("), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find(") at Executor::startProcess(): CreateProcess("), std::string::npos)
            << e.what();
    }
}

TEST_F(ExecutorTest, SuspendedChildWhoseStartFailsIsEndedNotLeftBehind) {
    // An event is not a job: the assignment fails after the child exists.
    const UniqueHandle notAJob(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    CapturingLogAppender log;
    bool called = false;
    const std::string message = rawMessageOf([&] {
        Executor(childPath())
            .suspended(true)
            .jobObject(notAJob.get())
            .afterProcessCreated([&](HANDLE) { called = true; })
            .execAndWaitForExit();
    });
    EXPECT_TRUE(message.starts_with("AssignProcessToJobObject() failed. System error [6]")) << message;
    EXPECT_FALSE(called);
    EXPECT_EQ(exitCodeOfEndedProcess(announcedProcessId(log)), std::optional<DWORD>(ERROR_PROCESS_ABORTED));

    log.events.clear();
    const std::string thrown = rawMessageOf([&] {
        Executor(childPath())
            .suspended(true)
            .afterProcessCreated([](HANDLE) { LD_THROW("callback refused"); })
            .execAndWaitForExit();
    });
    EXPECT_EQ(thrown, "callback refused");
    EXPECT_EQ(exitCodeOfEndedProcess(announcedProcessId(log)), std::optional<DWORD>(ERROR_PROCESS_ABORTED));
}
