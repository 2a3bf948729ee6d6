// How a launcher someone else made says it was customized, as --info and the launcher read it: the
// record behind a seal that holds, then the msiexec arguments composed from it for each language.
#include "Customization.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return readSealed(data, size, [](const std::uint8_t* record, std::size_t length) {
        const customization::Customization read = customization::parseCustomization(record, length);
        customization::installArguments(read, customization::kBaseLanguage, L"C:\\T\\");
        for (const std::uint16_t language : read.languages()) {
            customization::installArguments(read, language, L"C:\\T\\");
            read.identityFor(language);
        }
        customization::propertyArguments(read);
    });
}
