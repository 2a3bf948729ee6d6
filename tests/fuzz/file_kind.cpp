// The kind of file given as the package, told from its compound-file header and the class of its
// root storage before any table is read.
#include "FileKind.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MemorySource file(data, size);
    describeKind(fileKindOf(file));
    return 0;
}
