// An icon file (.ico) turned into the resources an executable's icon is made of: one RT_ICON
// per image and the RT_GROUP_ICON that lists them.
#pragma once

#include <cstdint>
#include <vector>

#include "tstrings.h"

struct IconResources {
    std::vector<std::vector<std::uint8_t>> images;  // RT_ICON 1, 2, ... in this order
    std::vector<std::uint8_t> group;                // RT_GROUP_ICON, naming images 1, 2, ...
};

// Throws with "<path> is not an icon file: <reason>" for anything but a well-formed .ico whose
// images are PNG or bitmap data.
IconResources readIconFile(const tstring& path);

// The same for the bytes of an icon file; `path` only names it in errors.
IconResources parseIconFile(const std::vector<std::uint8_t>& file, const tstring& path);
