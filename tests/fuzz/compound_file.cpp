// A compound file someone else made (a transform or patch given to the packer): its directory,
// every stream of its root storage, its summary information and, for a transform, its conditions
// and what it does to the Property table.
#include "CompoundFile.h"
#include "FuzzSupport.h"
#include "SummaryInformation.h"
#include "TransformProperties.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MemorySource file(data, size);
    try {
        const CompoundFile compound(file);
        for (const std::u16string& name : compound.rootStreamNames()) {
            compound.rootStream(name);
        }
        if (const auto info = readSummaryInformation(compound)) {
            unmetCondition(transformSummary(*info), PackageIdentity{L"{A}", L"1.0", L"", L"Intel", 1033});
        }
    } catch (const CompoundFileError&) {
    } catch (const SummaryError&) {
    }
    try {
        readTransformProperties(CompoundFile(file));
    } catch (const CompoundFileError&) {
    } catch (const TransformError&) {
    }
    return 0;
}
