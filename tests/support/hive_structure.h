#pragma once
// A hive's structure checked by the rules of the format document, where
// hivex is lenient: it finds a key's children by a linear scan, so it
// reads mis-sorted lists and wrong hashes that break Windows' lookups.
// Checked for every key reached from the root: its sub key lists (sorted
// by the names upper-cased unit by unit, "lh" hashes, "lf" hints, "ri"
// leaves in order, the count), each child's Parent field, the name-length
// and data-size fields (never below what the key holds), and each
// security cell's reference count against the keys that name it.

#include <cstdint>
#include <string>
#include <vector>

namespace keyscour::testing {

// One line per rule broken, naming the key by its path; empty when the
// hive keeps them all.
std::vector<std::string> HiveStructureFaults(const std::vector<std::uint8_t>& hive);

// The "lh" hash of a name: each unit upper-cased, hash = hash * 37 + unit.
std::uint32_t HashLeafHash(std::u16string_view name);

}  // namespace keyscour::testing
