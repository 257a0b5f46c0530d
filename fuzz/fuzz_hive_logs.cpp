// Arbitrary bytes as the LOG1 beside a dirty hive: read, checked and, when
// they hold entries that apply, replayed into a private copy that is then
// walked with the engine to its end. The hive itself is the blank hive,
// left dirty.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/hive_walk.h"
#include "tests/support/blank_hive.h"
#include "registry/hive/hive_logs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    static const std::string folder = [] {
        const std::string made = "/tmp/keyscour-fuzz-logs-" + std::to_string(getpid());
        ::mkdir(made.c_str(), 0700);
        keyscour::BlankHiveOptions dirty;
        dirty.primarySequence = 2;
        dirty.secondarySequence = 1;
        keyscour::WriteFileBytes(made + "/SOFTWARE", keyscour::BlankHive(dirty));
        return made;
    }();
    if (!keyscour::WriteFileBytes(folder + "/SOFTWARE.LOG1", std::vector<std::uint8_t>(bytes, bytes + size))) return 0;
    const keyscour::HiveLogState state = keyscour::CheckTransactionLogs(folder + "/SOFTWARE");
    if (state.recovered) keyscour::fuzz::WalkHive(state.ImagePath());
    return 0;
}
