#include "TransformProperties.h"

#include "ErrorHandling.h"
#include "LittleEndian.h"

namespace {

constexpr char16_t kTableMark = 0x4840;
constexpr char16_t kPairBase = 0x3800;    // two characters in one unit
constexpr char16_t kSingleBase = 0x4800;  // one character in one unit
constexpr std::uint32_t kWideReferences = 0x80000000;  // string references take 3 bytes

// The table name alphabet: digits, letters, '.' and '_', numbered 0 to 63.
int alphabetIndex(char16_t c) {
    if (c >= u'0' && c <= u'9') {
        return c - u'0';
    }
    if (c >= u'A' && c <= u'Z') {
        return c - u'A' + 10;
    }
    if (c >= u'a' && c <= u'z') {
        return c - u'a' + 36;
    }
    if (c == u'.') {
        return 62;
    }
    if (c == u'_') {
        return 63;
    }
    return -1;
}

[[noreturn]] void refuse(const char* reason) {
    LD_THROW(TransformError(reason));
}

class StringPool {
public:
    explicit StringPool(const TransformStreams& streams) {
        const auto& pool = streams.stringPool;
        const auto& data = streams.stringData;
        if (!pool || pool->size() < 4 || pool->size() % 4 != 0) {
            refuse("its string pool is missing or cut short");
        }
        const std::uint32_t head = littleEndian::read32(pool->data());
        codePage_ = head & ~kWideReferences;
        wideReferences_ = (head & kWideReferences) != 0;
        strings_.emplace_back();  // reference 0: null
        std::size_t offset = 0;
        const std::size_t pairs = pool->size() / 4;
        const std::vector<std::uint8_t> noStrings;
        const std::vector<std::uint8_t>& bytes = data ? *data : noStrings;
        for (std::size_t i = 1; i < pairs; ++i) {
            std::uint64_t length = littleEndian::read16(pool->data() + 4 * i);
            const std::uint16_t countOrHighWord = littleEndian::read16(pool->data() + 4 * i + 2);
            if (length == 0 && countOrHighWord != 0) {
                // A string over 65,535 bytes: this pair holds the high word of its length, the
                // next one the low word; the two number one string.
                if (++i >= pairs) {
                    refuse("its string pool is cut short");
                }
                length = (std::uint64_t{countOrHighWord} << 16) | littleEndian::read16(pool->data() + 4 * i);
            }
            if (length > bytes.size() - offset) {
                refuse("its strings are shorter than its string pool says");
            }
            const auto first = bytes.begin() + static_cast<std::ptrdiff_t>(offset);
            strings_.emplace_back(first, first + static_cast<std::ptrdiff_t>(length));
            offset += length;
        }
    }

    std::uint32_t codePage() const { return codePage_; }
    std::size_t referenceSize() const { return wideReferences_ ? 3 : 2; }

    // The string `reference` names; none for the null reference.
    std::optional<std::string> at(std::uint32_t reference) const {
        if (reference == 0) {
            return std::nullopt;
        }
        if (reference >= strings_.size()) {
            refuse("a row names a string its string pool does not hold");
        }
        return strings_[reference];
    }

private:
    std::uint32_t codePage_ = 0;
    bool wideReferences_ = false;
    std::vector<std::string> strings_;
};

}  // namespace

std::u16string tableStreamName(const std::u16string& table) {
    std::u16string name(1, kTableMark);
    for (std::size_t i = 0; i < table.size(); ++i) {
        const int first = alphabetIndex(table[i]);
        if (first < 0) {
            name.push_back(table[i]);
            continue;
        }
        const int second = i + 1 < table.size() ? alphabetIndex(table[i + 1]) : -1;
        if (second < 0) {
            name.push_back(static_cast<char16_t>(kSingleBase + first));
        } else {
            name.push_back(static_cast<char16_t>(kPairBase + first + (second << 6)));
            ++i;
        }
    }
    return name;
}

TransformStreams transformStreams(const CompoundFile& transform) {
    return TransformStreams{transform.rootStream(tableStreamName(u"_StringPool")),
                            transform.rootStream(tableStreamName(u"_StringData")),
                            transform.rootStream(tableStreamName(u"Property"))};
}

TransformProperties parseTransformProperties(const TransformStreams& streams) {
    const StringPool strings(streams);
    TransformProperties result;
    result.codePage = strings.codePage();
    const auto& rows = streams.propertyRows;
    if (!rows) {
        return result;  // it leaves the Property table alone
    }
    LittleEndianReader<TransformError> in(rows->data(), rows->size(), "its Property rows are cut short");
    const auto reference = [&] {
        const std::uint32_t low = in.get16();
        return strings.referenceSize() == 3 ? low | (std::uint32_t{in.get8()} << 16)
                                            : low;
    };
    while (!in.atEnd()) {
        const std::uint16_t mask = in.get16();
        const std::optional<std::string> name = strings.at(reference());
        if (!name) {
            refuse("a Property row has no name");
        }
        // Inserts give their columns' count in the high byte; updates a bit per column given;
        // deletes only the key. The Property table has two columns: the name (the key) and the value.
        bool valueFollows = false;
        if ((mask & 1) != 0) {
            const unsigned columns = mask >> 8;
            if (columns > 2) {
                refuse("a Property row has more columns than the Property table");
            }
            valueFollows = columns != 1;
        } else if (mask != 0) {
            if ((mask & ~std::uint16_t{0x3}) != 0) {
                refuse("a Property row changes a column the Property table does not have");
            }
            valueFollows = (mask & 2) != 0;
        }
        PropertyChange change{*name, std::nullopt};
        if (mask != 0) {
            change.value = valueFollows ? strings.at(reference()).value_or(std::string()) : std::string();
            if (!valueFollows && (mask & 1) == 0) {
                continue;  // an update that changes nothing
            }
        }
        result.changes.push_back(std::move(change));
    }
    return result;
}
