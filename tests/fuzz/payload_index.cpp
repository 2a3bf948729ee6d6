// The payload index as the packer's reader and the launcher take it: the layout behind a seal
// that holds, then the names' check.
#include <exception>

#include "FuzzSupport.h"
#include "PayloadIndex.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> bytes = sealed(data, size);
    try {
        payload::indexNameProblem(payload::parseIndex(bytes.data(), bytes.size()));
    } catch (const std::exception&) {
        // A refusal is the expected end of most inputs.
    }
    return 0;
}
