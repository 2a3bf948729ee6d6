// Where lodestar-pack writes bytes: appended in order, with patches of bytes already written (a
// header whose content is known only at the end). OutputFile is one; what writes a launcher's
// image writes it to any.
#pragma once

#include <cstddef>
#include <cstdint>

class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual void write(const void* data, std::size_t size) = 0;
    virtual void writeAt(std::uint64_t offset, const void* data, std::size_t size) = 0;
};
