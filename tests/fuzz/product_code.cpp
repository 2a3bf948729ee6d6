// The product codes the packer reads: a package's ProductCode property (braced only) and the one
// --product-code gives (any of its forms).
#include "FuzzSupport.h"
#include "ProductCode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const tstring text = utf16Text(data, size);
    const auto braced = canonicalBracedProductCode(text);
    const auto any = canonicalProductCode(text);
    // What is braced and canonical is canonical in any form too, and stays as it is.
    if (braced && (!any || *any != *braced || canonicalBracedProductCode(*braced) != braced)) {
        __builtin_trap();
    }
    return 0;
}
