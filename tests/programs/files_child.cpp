// Child process for the file and system-information tests: reports what the library sees from
// inside a process whose command line, environment and location the test chose.
//
// The mode comes from the environment (the command line is itself under test):
//   FILES_CHILD_MODE=args     writes both getCommandArgs lists and getCommandArgsText to
//                             FILES_CHILD_OUTPUT
//   FILES_CHILD_MODE=modules  writes the process and current module paths to FILES_CHILD_OUTPUT
//   FILES_CHILD_MODE=stage    files_child NAME SIZE: writes SIZE bytes to NAME in the temporary
//                             directory through a staged writer; exit 0 on success, 1 on failure
//   FILES_CHILD_MODE=deltree  files_child DIR: deletes DIR recursively (no-throw form); exit 0
//                             when it reports success, 4 when it reports failure
//   FILES_CHILD_MODE=intrude  files_child INTRUSION PATH: tries to read, write, rename (and rename
//                             back), delete or rmdir PATH as another process would; exit 0 when
//                             it could, 1 when it was refused
// Reports are UTF-16 text, one item per line; an argument is written as <text>.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "ErrorHandling.h"
#include "WinFileUtils.h"
#include "WinSysInfo.h"

namespace {

tstring formatList(const tstring_array& items) {
    tstring text = L"[";
    for (const tstring& item : items) {
        text += L"<" + item + L">";
    }
    return text + L"]\n";
}

int writeReport(const tstring& text) {
    const tstring path = SysInfo::getEnvVariable(L"FILES_CHILD_OUTPUT");
    FILE* out = _wfopen(path.c_str(), L"wb");
    if (out == nullptr) {
        return 3;
    }
    const size_t written = std::fwrite(text.data(), sizeof(wchar_t), text.size(), out);
    const bool closed = std::fclose(out) == 0;
    return written == text.size() && closed ? 0 : 3;
}

int reportArgs() {
    return writeReport(formatList(SysInfo::getCommandArgs(SysInfo::IncludeProgramName)) +
                       formatList(SysInfo::getCommandArgs(SysInfo::ExcludeProgramName)) + L"<" +
                       SysInfo::getCommandArgsText() + L">\n");
}

int reportModules() {
    return writeReport(SysInfo::getProcessModulePath() + L"\n" + SysInfo::getCurrentModulePath() + L"\n");
}

tstring_array argumentsOrUsage(size_t count, const char* usage) {
    const tstring_array args = SysInfo::getCommandArgs(SysInfo::ExcludeProgramName);
    if (args.size() != count) {
        LD_THROW(usage);
    }
    return args;
}

int stage() {
    const tstring_array args = argumentsOrUsage(2, "usage: files_child NAME SIZE");
    const tstring destination = FileUtils::combinePath(FileUtils::getTempDirectory(), args[0]);
    const std::vector<char> data(std::stoull(args[1]), 'x');
    std::printf("destination: %s\n", tstrings::toUtf8(destination).c_str());
    std::fflush(stdout);
    FileUtils::StagedFileWriter writer(destination);
    writer.write(data.data(), data.size());
    writer.finalize();
    return 0;
}

int deleteTree() {
    const tstring_array args = argumentsOrUsage(1, "usage: files_child DIR");
    return FileUtils::deleteDirectoryRecursive(args[0], std::nothrow) ? 0 : 4;
}

bool opens(const tstring& path, DWORD access) {
    const HANDLE file = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(file);
    return true;
}

int intrude() {
    const tstring_array args = argumentsOrUsage(2, "usage: files_child read|write|rename|delete|rmdir PATH");
    const tstring& intrusion = args[0];
    const tstring& path = args[1];
    bool done = false;
    if (intrusion == L"read") {
        done = opens(path, GENERIC_READ);
    } else if (intrusion == L"write") {
        done = opens(path, GENERIC_WRITE);
    } else if (intrusion == L"rename") {
        const tstring renamed = path + L".renamed";
        done = MoveFileExW(path.c_str(), renamed.c_str(), 0) && MoveFileExW(renamed.c_str(), path.c_str(), 0);
    } else if (intrusion == L"delete") {
        done = DeleteFileW(path.c_str());
    } else if (intrusion == L"rmdir") {
        done = RemoveDirectoryW(path.c_str());
    } else {
        LD_THROW("unknown intrusion");
    }
    return done ? 0 : 1;
}

int run() {
    const tstring mode = SysInfo::getEnvVariable(std::nothrow, L"FILES_CHILD_MODE", L"");
    if (mode == L"args") {
        return reportArgs();
    }
    if (mode == L"modules") {
        return reportModules();
    }
    if (mode == L"stage") {
        return stage();
    }
    if (mode == L"deltree") {
        return deleteTree();
    }
    if (mode == L"intrude") {
        return intrude();
    }
    std::fputs("files_child: unknown FILES_CHILD_MODE\n", stderr);
    return 2;
}

}  // namespace

int main() {
    try {
        return run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "files_child: %s\n", e.what());
        std::fflush(stderr);
        return 1;
    }
}
