// lodestar-pack --info and --extract on a launcher someone else made: the PE headers, the section
// table, the resource tree, the version block, the payload index, the facts and the carried
// files' places, as LauncherContents reads and checks them, then every carried file hashed.
#include <exception>

#include "FuzzSupport.h"
#include "LauncherContents.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MemorySource file(data, size);
    try {
        LauncherContents contents(file);
        contents.digests();
    } catch (const std::exception&) {
        // A refusal is the expected end of most inputs; only a crash or a sanitizer's report counts.
    }
    return 0;
}
