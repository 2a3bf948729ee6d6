// Where a package's files beside it lie, read from the tables of real packages as lodestar-pack
// reads them: the layout_* test packages (tests/packages/CMakeLists.txt says how each was made).
#include "PackageLayout.h"

#include <gtest/gtest.h>

#include "LodestarTestPackages.h"
#include "TestSupport.h"

namespace {

// What filesBesidePackage gives, one line a file ("name <- asked by", cabinets marked), or
// "refused: message".
std::vector<std::string> layoutOf(const wchar_t* package, const tstring& packageFileName) {
    try {
        const PackageDatabase database(package);
        std::vector<std::string> lines;
        for (const FileBesidePackage& file : filesBesidePackage(database, packageFileName)) {
            lines.push_back(utf8(file.name) + (file.cabinet ? " (cabinet)" : "") + " <- " + utf8(file.askedBy));
        }
        return lines;
    } catch (const LdError<PackageLayoutError>& e) {
        return {std::string("refused: ") + e.rawMessage()};
    }
}

}  // namespace

TEST(PackageLayout, FindsEveryFileBesideThePackageWhereTheInstallerLooks) {
    const std::string media1 = "the Media table's row 1 (Cabinet 'layout.cab')";
    const std::string payloadRow = "the File table's row 'PayloadFile'";
    const std::string dataRow = "the File table's row 'DataFile'";
    const struct {
        const wchar_t* package;
        std::vector<std::string> layout;
        const wchar_t* packageFileName = L"layout.msi";
    } cases[] = {
        {testpackages::layout_compressed.path, {"layout.cab (cabinet) <- " + media1}},
        {testpackages::layout_media.path,
         {"more.cab (cabinet) <- the Media table's row 3 (Cabinet 'more.cab')",
          "Other.cab (cabinet) <- the Media table's row 5 (Cabinet 'Other.cab')"}},
        {testpackages::layout_long.path,
         {"Lodestar Layout\\payload.txt <- " + payloadRow, "Lodestar Layout\\data\\data.txt <- " + dataRow}},
        {testpackages::layout_names_long.path,
         {"Source Name\\payload file.txt <- " + payloadRow, "Source Name\\deep dir\\data.txt <- " + dataRow}},
        {testpackages::layout_names_short.path, {"SRC\\PAY.TXT <- " + payloadRow, "SRC\\DEEP\\data.txt <- " + dataRow}},
        {testpackages::layout_noncompressed_file.path,
         {"layout.cab (cabinet) <- " + media1, "Lodestar Layout\\data\\data.txt <- " + dataRow}},
        {testpackages::layout_compressed_file.path,
         {"layout.cab (cabinet) <- " + media1, "Lodestar Layout\\data\\data.txt <- " + dataRow}},
        // The package's own name, in any case, is where the package goes.
        {testpackages::layout_compressed.path,
         {"refused: LAYOUT.CAB: " + media1 + " names 'layout.cab', which is where the package itself goes"},
         L"LAYOUT.CAB"},
        {testpackages::layout_no_directory.path,
         {"refused: layout.msi: " + dataRow +
          " lies in the directory 'NOWHERE', which the Directory table does not have"}},
        {testpackages::layout_no_component.path,
         {"refused: layout.msi: " + dataRow +
          " names the component 'Nothing', which the Component table does not have"}},
        {testpackages::layout_main_msi_folder.path,
         {"refused: layout.msi: " + dataRow +
          " names 'Lodestar Layout\\Main.MSI\\data.txt', which cannot lie below the package's folder: a part of "
          "it is main.msi, where the launcher puts its copy of the package"}},
        {testpackages::layout_cycle.path,
         {"refused: layout.msi: the Directory table's rows form a cycle at 'DATADIR'"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(layoutOf(c.package, c.packageFileName), c.layout) << utf8(c.package);
    }
}
