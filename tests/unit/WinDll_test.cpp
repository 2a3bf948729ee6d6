#include "WinDll.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>

#include "ErrorHandling.h"
#include "Executor.h"
#include "TestSupport.h"
#include "WinApi.h"
#include "WinSysInfo.h"

namespace {

const tstring& testDllPath() {
    static const tstring path = besideTestProgram(L"proc_testdll.dll");
    return path;
}

int callTestExport(const Dll& dll) {
    const auto function = reinterpret_cast<int (*)()>(dll.getFunction("procTestDllValue", true));
    return function();
}

// Whether any module of the process is loaded from `path`, asked without taking a reference.
bool isLoaded(const tstring& path) {
    HMODULE module = nullptr;
    return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, path.c_str(), &module) != FALSE;
}

template <typename Error>
Error caught(const std::function<void()>& action) {
    try {
        action();
    } catch (const Error& e) {
        return e;
    }
    throw std::logic_error("the expected error was not thrown");
}

}  // namespace

TEST(Dll, LoadsByPathKeepingTheTextAndFindsExports) {
    const Dll dll(tstrings::MessageBuilder() << testDirectory() << L"\\" << L"proc_testdll.dll");
    EXPECT_EQ(dll.path(), testDllPath());
    EXPECT_EQ(callTestExport(dll), 42);
    EXPECT_TRUE(_wcsicmp(modulePath(dll.module()).c_str(), testDllPath().c_str()) == 0);
}

TEST(Dll, RelativePathFollowsTheSearchOrderAndStaysAsGiven) {
    // The test program's own directory is first in the standard search order.
    const Dll dll(L"proc_testdll.dll");
    EXPECT_EQ(dll.path(), L"proc_testdll.dll");
    EXPECT_EQ(callTestExport(dll), 42);
}

TEST(Dll, EveryCopyHoldsAndReleasesItsOwnReference) {
    ASSERT_FALSE(isLoaded(testDllPath()));
    {
        auto original = std::make_unique<Dll>(testDllPath());
        const Dll copy(*original);
        original.reset();
        ASSERT_TRUE(isLoaded(testDllPath()));
        EXPECT_EQ(copy.path(), testDllPath());
        EXPECT_EQ(callTestExport(copy), 42);

        // Assigned from a library loaded through a path written with '/'.
        tstring forward = testDllPath();
        std::replace(forward.begin(), forward.end(), L'\\', L'/');
        auto slashed = std::make_unique<Dll>(forward);
        Dll assigned = copy;
        assigned = *slashed;
        slashed.reset();
        EXPECT_EQ(assigned.path(), forward);
        EXPECT_EQ(callTestExport(assigned), 42);
    }
    EXPECT_FALSE(isLoaded(testDllPath()));  // the last reference went with the last copy
}

TEST(Dll, MissingLibraryReportsSystemError126) {
    const auto error = caught<LdError<SysError>>([] { Dll dll(L"proc_no_such_library.dll"); });
    const std::string raw = error.rawMessage();
    EXPECT_TRUE(raw.starts_with("LoadLibraryW(proc_no_such_library.dll) failed. System error [126](system error 126 ("))
        << raw;
    EXPECT_TRUE(raw.ends_with("))")) << raw;
    EXPECT_NE(std::string(error.what()).find(") at `anonymous-namespace'::loadLibrary(): LoadLibraryW("),
              std::string::npos)
        << error.what();

    const auto fromSystem =
        caught<LdError<SysError>>([] { Dll dll(L"proc_no_such_library.dll", Dll::FromSystemDir()); });
    EXPECT_TRUE(std::string(fromSystem.rawMessage())
                    .starts_with(tstrings::toUtf8(L"LoadLibraryExW(" + SysInfo::getSystemDirectory() +
                                                  L"\\proc_no_such_library.dll) failed. System error [126]")))
        << fromSystem.rawMessage();
}

TEST(Dll, MissingExportIsAnErrorOnlyWhenAskedFor) {
    const Dll dll(testDllPath());
    EXPECT_EQ(dll.getFunction("procNoSuchExport", false), nullptr);
    EXPECT_EQ(dll.getFunction(std::string("procNoSuchExport"), false), nullptr);
    EXPECT_EQ(dll.getFunction(MAKEINTRESOURCEA(999), false), nullptr);

    const auto byName = caught<LdError<SysError>>([&] { dll.getFunction("procNoSuchExport", true); });
    EXPECT_TRUE(std::string(byName.rawMessage())
                    .starts_with(tstrings::toUtf8(L"GetProcAddress(" + testDllPath() +
                                                  L", procNoSuchExport) failed. System error [127]")))
        << byName.rawMessage();
    EXPECT_NE(std::string(byName.what()).find(") at Dll::getFunction(): GetProcAddress("), std::string::npos)
        << byName.what();

    const auto byOrdinal = caught<LdError<SysError>>([&] { dll.getFunction(MAKEINTRESOURCEA(999), true); });
    EXPECT_TRUE(std::string(byOrdinal.rawMessage())
                    .starts_with(tstrings::toUtf8(L"GetProcAddress(" + testDllPath() + L", #999) failed")))
        << byOrdinal.rawMessage();
}

TEST(Dll, FromSystemDirLoadsTheSystemCopy) {
    const Dll kernel(L"kernel32.dll", Dll::FromSystemDir());
    EXPECT_EQ(kernel.path(), SysInfo::getSystemDirectory() + L"\\kernel32.dll");
    EXPECT_TRUE(_wcsicmp(modulePath(kernel.module()).c_str(), kernel.path().c_str()) == 0)
        << modulePath(kernel.module());
    EXPECT_NE(kernel.getFunction("GetCurrentProcessId", true), nullptr);
}

class PlantedDllTest : public ::testing::Test {
protected:
    void SetUp() override {
        // msi.dll itself, and a library that msi.dll imports and nothing loads before it.
        for (const tstring name : {L"proc_loadsys.exe", L"msi.dll", L"mspatcha.dll"}) {
            const tstring source = name.ends_with(L".exe") ? besideTestProgram(name) : testDllPath();
            ASSERT_TRUE(CopyFileW(source.c_str(), (dir_ / name).c_str(), FALSE)) << name;
        }
    }

    int loadMsiBeside(const wchar_t* mode) const {
        return Executor(dir_ / L"proc_loadsys.exe").arg(mode).execAndWaitForExit();
    }

    ScratchDirectory dir_;
};

TEST_F(PlantedDllTest, LibraryFromSystemDirNeverLoadsAPlantedDll) {
    // Wine loads its own built-in libraries unless told to prefer files it finds on disk; the
    // override makes the planted copies loadable wherever the search order would reach them.
    const bool wine = runningUnderWine();
    const tstring previous = SysInfo::getEnvVariable(std::nothrow, L"WINEDLLOVERRIDES", L"");
    if (wine) {
        SysInfo::setEnvVariable(L"WINEDLLOVERRIDES", previous + L";msi,mspatcha=n,b");
    }
    const int fromSystemDir = loadMsiBeside(L"system");
    const int plain = wine ? loadMsiBeside(L"plain") : -1;
    if (wine) {
        SysInfo::setEnvVariable(L"WINEDLLOVERRIDES", previous);
    }
    EXPECT_EQ(fromSystemDir, 0);
    if (wine) {
        // The control: loaded by full path alone, the planted import does come in.
        EXPECT_EQ(plain, 11);
    }
}
