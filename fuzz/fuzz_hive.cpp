// Arbitrary bytes opened as a hive (hivex opens only files, so they go to
// a temporary file first) and walked with the engine to its end.

#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/hive_walk.h"
#include "tests/support/blank_hive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    static const std::string path = "/tmp/keyscour-fuzz-hive-" + std::to_string(getpid());
    if (keyscour::WriteFileBytes(path, std::vector<std::uint8_t>(bytes, bytes + size))) keyscour::fuzz::WalkHive(path);
    return 0;
}
