#include "PackerMain.h"

#include <chrono>

#include "Console.h"
#include "ErrorHandling.h"
#include "HostPaths.h"
#include "LauncherExtraction.h"
#include "LauncherInfo.h"
#include "Log.h"
#include "PackFailure.h"
#include "Version.h"
#include "app.h"

namespace {

std::string messageOf(const std::exception& error) {
    const auto* located = dynamic_cast<const LdErrorBase*>(&error);
    return located != nullptr ? located->rawMessage() : error.what();
}

// Output that is the result itself (a description, the usage, the version): cut short, it
// would pass for whole with exit 0.
void printResult(const tstring& text) {
    if (!writeLine(ConsoleStream::Output, text)) {
        LD_THROW_PACK_FAILURE(kOutputError, "Cannot write to standard output: what was asked is not all there");
    }
}

// Every message shows names, tables and texts of files someone else made: none reaches the
// terminal with a control character in it.
void complain(const std::exception& error) {
    writeLine(ConsoleStream::Error, L"lodestar-pack: " + tstrings::printable(tstrings::fromUtf8(messageOf(error))));
}

int describeLauncher(const PackOptions& options) {
    LauncherInfo info;
    {
        ProgressLine progress;
        info = readLauncherInfo(host::absolutePath(options.launcher),
                                [&](std::uint64_t done, std::uint64_t total, const tstring& reading) {
                                    progress.update(done, total, reading);
                                });
    }
    printResult(options.json ? tstrings::fromUtf8(infoJson(info)) : infoText(info));
    return kPacked;
}

int extractFromLauncher(const PackOptions& options) {
    ExtractionResult result;
    {
        ProgressLine progress;
        result = extractLauncher(host::absolutePath(options.launcher), host::absolutePath(options.output), options.force,
                                 [&](std::uint64_t done, std::uint64_t total, const tstring& reading) {
                                     progress.update(done, total, reading);
                                 });
    }
    writeLine(ConsoleStream::Output,
              tstrings::printable(tstrings::formatPrintf(L"Extracted %llu file%s (%s) into %s",
                                                         static_cast<unsigned long long>(result.names.size()),
                                                         result.names.size() == 1 ? L"" : L"s",
                                                         formatSize(result.bytes), result.directory)));
    return kPacked;
}

int packPackage(const PackOptions& options, const LauncherParts& parts) {
    const auto started = std::chrono::steady_clock::now();
    PackResult result;
    {
        ProgressLine progress;
        result = pack(options, parts, [&](std::uint64_t done, std::uint64_t total, const tstring& reading) {
            progress.update(done, total, reading);
        });
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const tstring beside =
        result.besideCount == 0
            ? tstring()
            : tstrings::formatPrintf(L" with %llu file%s beside it (%s)", result.besideCount,
                                     result.besideCount == 1 ? L"" : L"s", formatSize(result.besideSize));
    writeLine(ConsoleStream::Output,
              tstrings::printable(tstrings::formatPrintf(
                  L"Packed %s (%s, ProductCode %s)%s into %s (%s) in %.1f s", host::fileNameOf(result.packagePath),
                  formatSize(result.packageSize), result.productCode, beside, result.outputPath,
                  formatSize(result.outputSize), seconds)));
    return kPacked;
}

int run(const tstring_array& args, const LauncherParts& parts) {
    const PackOptions options = parsePackOptions(args);
    if (options.help) {
        printResult(packUsage());
        return kPacked;
    }
    if (options.version) {
        printResult(L"lodestar-pack " LODESTAR_VERSION);
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
    return packPackage(options, parts);
}

}  // namespace

int runPacker(const tstring_array& args, const LauncherParts& parts) {
    // The library's trace goes to standard error on request, as the launcher's does. The appender
    // is never destroyed: records logged while static objects go must still find it.
    Logger::global().setAppender(app::isDebugSwitchOn() ? static_cast<LogAppender*>(new StandardLogAppender())
                                                        : static_cast<LogAppender*>(new NopLogAppender()));
    try {
        return run(args, parts);
    } catch (const UsageError& e) {
        complain(e);
        writeLine(ConsoleStream::Error, L"Try 'lodestar-pack --help'.");
        return kUsageError;
    } catch (const PackFailure& e) {
        complain(e);
        return e.exitCode();
    } catch (const std::exception& e) {
        complain(e);
        return kOutputError;
    }
}
