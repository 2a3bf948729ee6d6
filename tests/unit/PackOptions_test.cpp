// lodestar-pack's command line: every form it reads and every one it refuses.
#include "PackOptions.h"

#include <gtest/gtest.h>

#include "TestSupport.h"

TEST(PackOptions, ReadsEveryFormAndRefusesWhatIsMissingOrUnknown) {
    const PackOptions full =
        parsePackOptions({L"--icon", L"a.ico", L"app.msi", L"-o", L"setup.exe", L"--force", L"--product-code", L"{X}"});
    EXPECT_EQ(full.package, L"app.msi");
    EXPECT_EQ(full.output, L"setup.exe");
    EXPECT_EQ(full.icon, L"a.ico");
    EXPECT_EQ(full.productCode.value_or(L""), L"{X}");
    EXPECT_TRUE(full.force);
    EXPECT_EQ(parsePackOptions({L"--output", L"o.exe", L"--", L"-odd name.msi"}).package, L"-odd name.msi");
    EXPECT_TRUE(parsePackOptions({L"--help"}).help);
    EXPECT_TRUE(parsePackOptions({L"x.msi", L"--version"}).version);

    const std::vector<std::pair<tstring_array, std::string>> refusals = {
        {{}, "no package given"},
        {{L"a.msi", L"b.msi", L"-o", L"x.exe"}, "more than one package given"},
        {{L"a.msi"}, "no output given (-o OUTPUT.exe)"},
        {{L"a.msi", L"-o"}, "-o needs a value"},
        {{L"a.msi", L"-o", L"x.exe", L"--icon", L""}, "--icon needs a value"},
        {{L"a.msi", L"-o", L"x.exe", L"--sign"}, "unknown option --sign"},
    };
    for (const auto& refusal : refusals) {
        EXPECT_EQ(rawMessageOf<LdError<UsageError>>([&] { parsePackOptions(refusal.first); }), refusal.second);
    }
    EXPECT_NE(packUsage().find(L"Exit codes:"), tstring::npos);
}
