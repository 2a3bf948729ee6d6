// The facts a launcher records, as --info reads them: the layout behind a seal that holds, then
// the install scope they give.
#include <exception>

#include "FuzzSupport.h"
#include "LauncherFacts.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> bytes = sealed(data, size);
    try {
        facts::installScope(facts::parseFacts(bytes.data(), bytes.size()));
    } catch (const std::exception&) {
        // A refusal is the expected end of most inputs.
    }
    return 0;
}
