#pragma once
// A text replace inside a value's data that keeps the value's type.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "search/text_rule.h"

namespace keyscour::search {

struct ValueChange {
    bool changed = false;
    std::vector<std::uint8_t> data;  // the new data, when changed
    std::wstring reason;             // why not, when not changed
};

// Strings (REG_SZ, REG_EXPAND_SZ) and each string of a multi-string are
// replaced in; numbers, binary data and other types are never changed.
ValueChange ReplaceInValue(const TextRule& rule, const std::wstring& with, std::uint32_t type,
                           std::span<const std::uint8_t> data);

}  // namespace keyscour::search
