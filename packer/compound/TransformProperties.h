// What a transform does to a package's Property table, read from the transform as data without
// applying it: its string pool (code page and strings) and the rows of its Property stream. The
// packer needs the identity a product installs with (its name, version, language, codes) before
// anything ships, and neither Windows Installer on another host nor the libraries here apply a
// transform without judging it first. Portable; every count, length and reference is checked.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "CompoundFile.h"

class TransformError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The name of a table's stream as a package or transform stores it: characters from the table
// name alphabet packed two to a UTF-16 unit, after the mark that says "table".
std::u16string tableStreamName(const std::u16string& table);

// One row the transform changes, its text still in the transform's code page.
struct PropertyChange {
    std::string name;
    std::optional<std::string> value;  // none: the row is deleted
};

struct TransformProperties {
    std::uint32_t codePage = 0;  // of the transform's strings; 0 is neutral (ASCII)
    std::vector<PropertyChange> changes;  // in the order the transform stores them
};

// The streams of a transform that say what it does to the Property table; none: not there.
struct TransformStreams {
    std::optional<std::vector<std::uint8_t>> stringPool;
    std::optional<std::vector<std::uint8_t>> stringData;
    std::optional<std::vector<std::uint8_t>> propertyRows;
};
TransformStreams transformStreams(const CompoundFile& transform);

// Throws TransformError (located) for a string pool or Property stream that cannot be read: cut
// short, a reference to no string, a row of another shape than the Property table's.
TransformProperties parseTransformProperties(const TransformStreams& streams);

inline TransformProperties readTransformProperties(const CompoundFile& transform) {
    return parseTransformProperties(transformStreams(transform));
}
