#pragma once
// The floor a search is measured against: every key opened once, its values
// and sub keys enumerated, closed; no comparison, no event.

#include <cstdint>
#include <string>

#include "registry/registry.h"

namespace keyscour::bench {

struct WalkCount {
    std::uint64_t keys = 0;
    std::uint64_t values = 0;
};

WalkCount BareWalk(Registry& registry, KeyHandle root, const std::wstring& path);

}  // namespace keyscour::bench
