#pragma once
// A synthetic key tree for the benchmark, written through the registry
// interface so that the same tree can live in memory or in the registry.

#include <cstdint>
#include <string>

#include "registry/registry.h"

namespace keyscour::bench {

struct TreeShape {
    std::uint64_t keys = 100000;  // keys below the start key
    std::uint32_t fanout = 10;    // sub keys per key
    std::uint32_t values = 3;     // values per key
    double hits = 0.0;            // share of keys whose first value holds the needle
    double leafNameHits = 0.0;    // share of keys that are leaves and whose name holds it
    double valueNameHits = 0.0;   // share of keys whose second value's name holds it
};

inline const std::wstring kNeedle = L"needle";

// Key i (1-based) lies below key (i - 1) / fanout, key 0 being the start key.
void BuildTree(Registry& registry, KeyHandle root, const std::wstring& start, const TreeShape& shape);

}  // namespace keyscour::bench
