// The facts a launcher records, as --info reads them: the layout behind a seal that holds, then
// the install scope they give.
#include "FuzzSupport.h"
#include "LauncherFacts.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return readSealed(data, size, [](const std::uint8_t* record, std::size_t length) {
        facts::installScope(facts::parseFacts(record, length));
    });
}
