// A launcher pack() wrote, read as Windows reads it: its resources by the loader, its version
// block by the version API (what Explorer shows).
#include "Packer.h"

#include <gtest/gtest.h>

#include <cstring>

#include "LodestarTestPackages.h"
#include "PackerTestSupport.h"

namespace {

// The file's version block as the system's version API reads it; empty when it has none.
std::vector<std::uint8_t> versionBlock(const tstring& path) {
    DWORD ignored = 0;
    std::vector<std::uint8_t> block(GetFileVersionInfoSizeW(path.c_str(), &ignored));
    if (!block.empty() && !GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(block.size()), block.data())) {
        block.clear();
    }
    return block;
}

tstring versionValue(std::vector<std::uint8_t>& block, const tstring& key) {
    void* value = nullptr;
    UINT length = 0;
    const tstring query = L"\\StringFileInfo\\040904B0\\" + key;
    if (!VerQueryValueW(block.data(), query.c_str(), &value, &length)) {
        return L"(no " + key + L")";
    }
    return tstring(static_cast<const wchar_t*>(value));
}

}  // namespace

TEST(PackerWin, TheSystemReadsTheLaunchersResourcesAndVersion) {
    ScratchDirectory scratch;
    const tstring output = scratch / L"Sample Setup \u6771.exe";
    const std::string stub = readFile(packertest::kStub);
    PackOptions options;
    options.package = testpackages::sample.path;
    options.output = output;
    pack(options, LauncherParts{stub.data(), stub.size(), readFile(packertest::kManifest)}, nullptr);

    const LoadedLauncher launcher(output);
    EXPECT_TRUE(launcher.resource(L"msi", RT_RCDATA) == readFile(testpackages::sample.path));
    EXPECT_EQ(launcher.resource(L"product_code", RT_RCDATA), utf8(testpackages::sample.productCode));

    std::vector<std::uint8_t> block = versionBlock(output);
    ASSERT_FALSE(block.empty()) << "no version information";
    tstring shown;
    for (const tstring key :
         {L"ProductName", L"ProductVersion", L"FileVersion", L"CompanyName", L"FileDescription", L"OriginalFilename"}) {
        shown += key + L": " + versionValue(block, key) + L"\n";
    }
    EXPECT_EQ(shown,
              L"ProductName: Lodestar Sample\nProductVersion: 1.2.3\nFileVersion: 1.2.3\n"
              L"CompanyName: Lodestar Tests\nFileDescription: Lodestar Sample Setup\n"
              L"OriginalFilename: Sample Setup \u6771.exe\n");
    VS_FIXEDFILEINFO fixed{};
    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", &value, &length) && length == sizeof(fixed));
    std::memcpy(&fixed, value, sizeof(fixed));
    EXPECT_EQ(fixed.dwSignature, VS_FFI_SIGNATURE);
    EXPECT_EQ(fixed.dwFileVersionMS, 0x00010002u);
    EXPECT_EQ(fixed.dwFileVersionLS, 0x00030000u);
}
