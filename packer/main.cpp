// lodestar-pack: turns a Windows Installer package into a launcher executable that carries it.
#include <new>

#include "Console.h"
#include "ErrorHandling.h"
#include "LauncherExtraction.h"
#include "LauncherInfo.h"
#include "Log.h"
#include "Packer.h"
#include "Resources.h"
#include "WinFileUtils.h"
#include "WinSysInfo.h"
#include "Version.h"
#include "app.h"

namespace {

constexpr std::uint64_t kProgressFrom = 64 * 1024 * 1024;  // smaller packages pack in a blink

std::string messageOf(const std::exception& error) {
    const auto* located = dynamic_cast<const LdErrorBase*>(&error);
    return located != nullptr ? located->rawMessage() : error.what();
}

void complain(const std::exception& error) {
    writeLine(STD_ERROR_HANDLE, L"lodestar-pack: " + tstrings::fromUtf8(messageOf(error)));
}

// Every tenth of a large package, one line on standard error.
class ProgressReport {
public:
    void operator()(std::uint64_t done, std::uint64_t total) {
        if (total < kProgressFrom) {
            return;
        }
        const std::uint64_t tenths = done * 10 / total;
        if (tenths > reported_) {
            reported_ = tenths;
            writeLine(STD_ERROR_HANDLE,
                      tstrings::formatPrintf(L"lodestar-pack: %u%% of %s written", static_cast<unsigned>(tenths * 10),
                                             formatSize(total).c_str()));
        }
    }

private:
    std::uint64_t reported_ = 0;
};

int describeLauncher(const PackOptions& options) {
    const LauncherInfo info = readLauncherInfo(FileUtils::toAbsolutePath(options.launcher));
    writeLine(STD_OUTPUT_HANDLE, options.json ? tstrings::fromUtf8(infoJson(info)) : infoText(info));
    return kPacked;
}

int extractFromLauncher(const PackOptions& options) {
    const ExtractionResult result = extractLauncher(FileUtils::toAbsolutePath(options.launcher),
                                                    FileUtils::toAbsolutePath(options.output), options.force);
    writeLine(STD_OUTPUT_HANDLE, tstrings::formatPrintf(L"Extracted %llu file%s (%s) into %s",
                                                        static_cast<unsigned long long>(result.names.size()),
                                                        result.names.size() == 1 ? L"" : L"s", formatSize(result.bytes),
                                                        result.directory));
    return kPacked;
}

int packPackage(const PackOptions& options) {
    const HMODULE self = SysInfo::getCurrentModuleHandle();
    const Resource stub(L"LODESTAR_STUB", RT_RCDATA, self);
    const Resource manifest(L"LODESTAR_MANIFEST", RT_RCDATA, self);
    const std::vector<std::uint8_t> manifestBytes = manifest.binary();
    const LauncherParts parts{stub.rawData(), stub.size(), std::string(manifestBytes.begin(), manifestBytes.end())};

    const ULONGLONG started = GetTickCount64();
    const PackResult result = pack(options, parts, ProgressReport());
    const double seconds = static_cast<double>(GetTickCount64() - started) / 1000;
    const tstring beside =
        result.besideCount == 0
            ? tstring()
            : tstrings::formatPrintf(L" with %llu file%s beside it (%s)", result.besideCount,
                                     result.besideCount == 1 ? L"" : L"s", formatSize(result.besideSize));
    writeLine(STD_OUTPUT_HANDLE,
              tstrings::formatPrintf(L"Packed %s (%s, ProductCode %s)%s into %s (%s) in %.1f s",
                                     FileUtils::basename(result.packagePath), formatSize(result.packageSize),
                                     result.productCode, beside, result.outputPath, formatSize(result.outputSize),
                                     seconds));
    return kPacked;
}

int run() {
    const PackOptions options = parsePackOptions(SysInfo::getCommandArgs(SysInfo::ExcludeProgramName));
    if (options.help) {
        writeLine(STD_OUTPUT_HANDLE, packUsage());
        return kPacked;
    }
    if (options.version) {
        writeLine(STD_OUTPUT_HANDLE, L"lodestar-pack " LODESTAR_VERSION);
        return kPacked;
    }
    switch (options.mode) {
        case PackMode::Info:
            return describeLauncher(options);
        case PackMode::Extract:
            return extractFromLauncher(options);
        case PackMode::Pack:
            break;
    }
    return packPackage(options);
}

}  // namespace

int wmain() {
    // The library's trace goes to standard error on request, as the launcher's does. The appender
    // is never destroyed: records logged while static objects go must still find it.
    Logger::global().setAppender(app::isDebugSwitchOn() ? static_cast<LogAppender*>(new StandardLogAppender())
                                       : static_cast<LogAppender*>(new NopLogAppender()));
    try {
        return run();
    } catch (const UsageError& e) {
        complain(e);
        writeLine(STD_ERROR_HANDLE, L"Try 'lodestar-pack --help'.");
        return kUsageError;
    } catch (const PackFailure& e) {
        complain(e);
        return e.exitCode();
    } catch (const std::exception& e) {
        complain(e);
        return kOutputError;
    }
}
