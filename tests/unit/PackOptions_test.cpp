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

TEST(PackOptions, InfoAndExtractTakeOneLauncherAndOnlyTheirOwnOptions) {
    const PackOptions info = parsePackOptions({L"--info", L"setup.exe", L"--json"});
    EXPECT_EQ(info.mode, PackMode::Info);
    EXPECT_EQ(info.launcher, L"setup.exe");
    EXPECT_TRUE(info.json);
    EXPECT_TRUE(info.package.empty());
    const PackOptions extract = parsePackOptions({L"setup.exe", L"-o", L"out dir", L"--extract", L"-f"});
    EXPECT_EQ(extract.mode, PackMode::Extract);
    EXPECT_EQ(extract.launcher, L"setup.exe");
    EXPECT_EQ(extract.output, L"out dir");
    EXPECT_TRUE(extract.force);
    EXPECT_EQ(parsePackOptions({L"app.msi", L"-o", L"setup.exe"}).mode, PackMode::Pack);

    const std::vector<std::pair<tstring_array, std::string>> refusals = {
        {{L"--info"}, "no launcher given"},
        {{L"--info", L"a.exe", L"b.exe"}, "more than one launcher given"},
        {{L"--info", L"a.exe", L"-o", L"x"}, "-o does not go with --info"},
        {{L"--info", L"a.exe", L"--force"}, "--force does not go with --info"},
        {{L"--info", L"a.exe", L"--icon", L"a.ico"}, "--icon does not go with --info"},
        {{L"--extract", L"a.exe"}, "no output directory given (-o DIR)"},
        {{L"--extract", L"a.exe", L"-o", L"d", L"--json"}, "--json does not go with --extract"},
        {{L"--extract", L"a.exe", L"-o", L"d", L"--product-code", L"{X}"}, "--product-code does not go with --extract"},
        {{L"--info", L"--extract", L"a.exe"}, "--info and --extract do not go together"},
        {{L"app.msi", L"-o", L"x.exe", L"--json"}, "--json does not go with packing"},
    };
    for (const auto& refusal : refusals) {
        EXPECT_EQ(rawMessageOf<LdError<UsageError>>([&] { parsePackOptions(refusal.first); }), refusal.second);
    }
}

TEST(PackOptions, TakesCustomizationsInOrderAndOnlyPublicPropertiesTheLauncherDoesNotSet) {
    const PackOptions options =
        parsePackOptions({L"app.msi", L"-o", L"setup.exe", L"--transform", L"b.mst", L"--language-transform", L"ja.mst",
                          L"--transform", L"a.mst", L"--patch", L"p.msp", L"--property", L"SERVER=lic \"1\" ü",
                          L"--property", L"INSTALLDIR=", L"--property", L"_X.2=a=b"});
    EXPECT_EQ(options.transforms, (tstring_array{L"b.mst", L"a.mst"}));
    EXPECT_EQ(options.languageTransforms, (tstring_array{L"ja.mst"}));
    EXPECT_EQ(options.patches, (tstring_array{L"p.msp"}));
    std::vector<std::pair<tstring, tstring>> properties;
    for (const customization::Property& property : options.properties) {
        properties.emplace_back(property.name, property.value);
    }
    EXPECT_EQ(properties, (std::vector<std::pair<tstring, tstring>>{
                              {L"SERVER", L"lic \"1\" \u00fc"}, {L"INSTALLDIR", L""}, {L"_X.2", L"a=b"}}));

    const std::string notPublic =
        ": only a public property can be preset: upper-case letters, digits, '_' and '.', not starting with a digit";
    const std::string controlRefused = "a value cannot hold NUL, a line break or another control character";
    const std::vector<std::pair<tstring, std::string>> refusals = {
        {L"NOVALUE", "--property NOVALUE is not NAME=VALUE"},
        {L"=1", "--property : a property needs a name"},
        {L"lower=1", "--property lower" + notPublic},
        {L"Mixed=1", "--property Mixed" + notPublic},
        {L"1ST=1", "--property 1ST" + notPublic},
        {L"A-B=1", "--property A-B" + notPublic},
        {L"\u00dcBER=1", "--property \u00dcBER" + notPublic},
        {L"PATCH=x", "--property PATCH: the launcher sets it from the carried patches (--patch)"},
        {L"TRANSFORMS=x", "--property TRANSFORMS: the launcher sets it from the carried transforms (--transform, "
                          "--language-transform)"},
        {L"TRANSFORMSSECURE=1", "--property TRANSFORMSSECURE: the launcher sets it from the carried transforms "
                                "(--transform, --language-transform)"},
        {L"REINSTALL=ALL", "--property REINSTALL: the launcher's repair sets it"},
        {L"REINSTALLMODE=vomus", "--property REINSTALLMODE: the launcher's repair sets it"},
        {tstring(L"NUL=a") + L'\0' + L"b", "--property NUL: " + controlRefused},
        {L"LF=x\ncalc", "--property LF: " + controlRefused},
        {L"CR=x\rcalc", "--property CR: " + controlRefused},
    };
    for (const auto& refusal : refusals) {
        EXPECT_EQ(rawMessageOf<LdError<UsageError>>([&] {
                      parsePackOptions({L"app.msi", L"-o", L"setup.exe", L"--property", refusal.first});
                  }),
                  refusal.second);
    }
    EXPECT_EQ(rawMessageOf<LdError<UsageError>>([&] {
                  parsePackOptions({L"a.msi", L"-o", L"s.exe", L"--property", L"A=1", L"--property", L"A=2"});
              }),
              "--property A is given twice");
    EXPECT_EQ(rawMessageOf<LdError<UsageError>>([&] { parsePackOptions({L"--info", L"a.exe", L"--patch", L"p.msp"}); }),
              "--patch does not go with --info");
    EXPECT_TRUE(parsePackOptions({L"a.msi", L"-o", L"s.exe", L"--log"}).verboseLog);
    EXPECT_EQ(rawMessageOf<LdError<UsageError>>([&] { parsePackOptions({L"--extract", L"a.exe", L"-o", L"d", L"--log"}); }),
              "--log does not go with --extract");
}
