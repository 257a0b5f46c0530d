#pragma once
// What the hive fuzz target does with each input, shared with the tests of
// the inputs it once failed on: open the file as a hive and walk it with
// the engine to its end. Returns whether hivex opened it.

#include <cstdint>
#include <string>

namespace keyscour::fuzz {

struct HiveWalk {
    bool opened = false;
    std::int32_t finished = -1;  // the search's lReason
    std::uint64_t keys = 0;
};

HiveWalk WalkHive(const std::string& path);

}  // namespace keyscour::fuzz
