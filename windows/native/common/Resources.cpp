#include "Resources.h"

#include <cstring>

#include "ErrorHandling.h"
#include "WinFileUtils.h"

namespace {

constexpr WORD kStringTableType = 6;
constexpr unsigned kStringsPerBlock = 16;

bool isIntegerName(LPCWSTR value) {
    return (reinterpret_cast<ULONG_PTR>(value) >> 16) == 0;
}

// Fills `text` and returns the value to hand to the platform: the number, or `text` itself.
LPCWSTR adoptName(LPCWSTR value, tstring& text) {
    if (isIntegerName(value)) {
        text = L"#" + tstrings::detail::decimal(static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(value)));
        return value;
    }
    text = value;
    return text.c_str();
}

}  // namespace

Resource::Resource(LPCWSTR name, LPCWSTR type, HMODULE module)
    : name_(adoptName(name, nameText_)), type_(adoptName(type, typeText_)), module_(module) {}

Resource::Resource(unsigned number, LPCWSTR type, HMODULE module)
    : Resource(MAKEINTRESOURCEW(number & 0xFFFF), type, module) {}

bool Resource::isStringTable() const {
    return type_ == MAKEINTRESOURCEW(kStringTableType);
}

HRSRC Resource::find() const {
    LPCWSTR name = name_;
    if (isStringTable()) {
        const ULONG_PTR number = reinterpret_cast<ULONG_PTR>(name_);
        name = MAKEINTRESOURCEW(static_cast<WORD>(number / kStringsPerBlock + 1));
    }
    return FindResourceW(module_, name, type_);
}

bool Resource::available() const {
    return find() != nullptr;
}

std::uint32_t Resource::size() const {
    std::uint32_t size = 0;
    getPtr(size);
    return size;
}

const void* Resource::rawData() const {
    std::uint32_t size = 0;
    return getPtr(size);
}

std::vector<std::uint8_t> Resource::binary() const {
    std::uint32_t size = 0;
    const auto* data = static_cast<const std::uint8_t*>(getPtr(size));
    return std::vector<std::uint8_t>(data, data + size);
}

void Resource::saveToFile(const tstring& path, const FileUtils::PieceDone& pieceDone) const {
    std::uint32_t size = 0;
    const void* data = getPtr(size);
    FileUtils::writeStagedFile(path, data, size, FileUtils::Existing::Replaced, nullptr, pieceDone);
}

const void* Resource::getPtr(std::uint32_t& size, const std::nothrow_t&) const {
    size = 0;
    const HRSRC found = find();
    return found == nullptr ? nullptr : dataOf(found, size);
}

tstring Resource::describe(const char* reason) const {
    return (tstrings::MessageBuilder() << reason << " (name='" << nameText_ << "', type='" << typeText_ << "')").tstr();
}

const void* Resource::getPtr(std::uint32_t& size) const {
    const HRSRC found = find();
    LD_THROW_LAST_ERROR_IF(found == nullptr, FindResourceW, describe("cannot find resource"));
    return dataOf(found, size);
}

const void* Resource::dataOf(HRSRC found, std::uint32_t& size) const {
    const HGLOBAL loaded = LoadResource(module_, found);
    LD_THROW_LAST_ERROR_IF(loaded == nullptr, LoadResource, describe("cannot load resource"));
    const void* locked = LockResource(loaded);
    LD_THROW_LAST_ERROR_IF(locked == nullptr, LockResource, describe("cannot lock resource"));
    const DWORD resourceSize = SizeofResource(module_, found);
    if (!isStringTable()) {
        size = resourceSize;
        return locked;
    }

    // A block is 16 entries, each a length word followed by that many code units. The walk stays
    // inside the block's bytes: a truncated block must not send it through other memory.
    const auto* unit = static_cast<const WORD*>(locked);
    const WORD* const end = unit + resourceSize / sizeof(WORD);
    const unsigned position = reinterpret_cast<ULONG_PTR>(name_) & (kStringsPerBlock - 1);
    for (unsigned skipped = 0; unit < end && skipped < position; ++skipped) {
        unit += 1 + *unit;
    }
    if (unit >= end || unit + 1 + *unit > end) {
        LD_THROW(describe("malformed string table block"));
    }
    size = static_cast<std::uint32_t>(*unit) * sizeof(WORD);
    return unit + 1;
}

StringResource::StringResource(unsigned number, HMODULE module)
    : resource_(number, MAKEINTRESOURCEW(kStringTableType), module) {}

tstring StringResource::string() const {
    std::uint32_t size = 0;
    const auto* text = static_cast<const wchar_t*>(resource_.getPtr(size));
    return tstring(text, size / sizeof(wchar_t));
}

tstring StringResource::string(const std::nothrow_t&, const tstring& defaultText) const {
    try {
        return string();
    }
    LD_CATCH_AND_LOG(std::exception)
    return defaultText;
}
