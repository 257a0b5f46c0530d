#pragma once
// A key and everything below it, read through a Registry: what a key
// rename carries along, and so what its undo must write back whole.

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "registry/registry.h"

namespace keyscour {

struct SubtreeVisit {
    // Each key, parents before their children, by its path below the root.
    std::function<void(const std::wstring& keyPath)> key;
    // Each value of the key last given to key.
    std::function<void(const std::wstring& name, std::uint32_t type, std::span<const std::uint8_t> data)> value;
};

// Visits the key at path below root and every key below it, sub keys in the
// order the registry lists them. Returns the status that stopped it (a key
// that could not be opened or read), with failedAt naming that key; the
// visit stops there.
Status VisitSubtree(Registry& registry, KeyHandle root, const std::wstring& path, const SubtreeVisit& visit,
                    std::wstring& failedAt);

}  // namespace keyscour
