// The payload index as the packer's reader and the launcher take it: the layout behind a seal
// that holds, then the names' check.
#include "FuzzSupport.h"
#include "PayloadIndex.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return readSealed(data, size, [](const std::uint8_t* record, std::size_t length) {
        payload::indexNameProblem(payload::parseIndex(record, length));
    });
}
