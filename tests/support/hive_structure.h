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

// The sub key list of the key at nk (an offset past the base block), an
// "lh" leaf of six, made an "ri" index of two "lh" leaves of three in a
// free cell of hive, as Windows makes a long list (hivex makes none).
// False, hive unchanged, when the list is not so or no free cell fits.
bool SplitIntoIndexRoot(std::vector<std::uint8_t>& hive, std::uint32_t nk);

// Everything the keys of the hive at path hold, one line each, key by key
// in list order: names, each value's name, type and data (as hivex reads
// them), the security descriptor, the class name and the key node's flags
// but the compressed-name bit. Equal for two hives that differ only in
// where cells lie and when keys were written.
std::string HiveDump(const std::string& path);

// The "lh" hash of a name: each unit upper-cased, hash = hash * 37 + unit.
std::uint32_t HashLeafHash(std::u16string_view name);

}  // namespace keyscour::testing
