// The icon file given with --icon, as the packer parses it into the launcher's icon resources.
#include <exception>

#include "FuzzSupport.h"
#include "IconFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        parseIconFile(std::vector<std::uint8_t>(data, data + size), L"fuzzed.ico");
    } catch (const std::exception&) {
        // A refusal is the expected end of most inputs.
    }
    return 0;
}
