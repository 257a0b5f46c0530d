#pragma once
// A hive's transaction logs, read as the regf format lays them out. A hive
// is dirty when its base block does
// not check out or its two sequence numbers differ: it was being written
// when Windows stopped, and its newest data lies in the logs beside it
// (FILE.LOG1 and FILE.LOG2 since Windows 8.1, FILE.LOG before). The logs of
// a dirty hive are replayed, as Windows replays them at its next boot, into
// a private copy; the hive and its logs are never written. Logs beside a
// clean hive are neither replayed nor a reason to refuse it.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/posix_handles.h"
#include "registry/hive/base_block.h"

namespace keyscour {

struct HiveLogState {
    bool dirty = false;
    std::vector<std::wstring> reasons;  // why the hive is dirty, naming the file
    std::vector<std::string> logs;      // the logs found beside the hive

    // A dirty hive's replay: recovered when the logs gave it whole.
    bool recovered = false;
    std::vector<std::wstring> applied;  // what was taken from each log
    std::wstring failure;               // why the logs could not be applied, naming the log
    // The logs may be sound: it was the private copy that could not be made
    // or written (a full temporary folder, say), as failure says.
    bool copyFailed = false;
    // The recovered hive, in a file of this process only (a memfd).
    std::shared_ptr<unique_fd> image;
    std::string ImagePath() const;  // /proc/self/fd/N, for hivex

    // The sequence number a commit gives the hive: past its own and past
    // every entry of the logs beside it, so that none of them would apply.
    std::uint32_t commitSequence = 0;
};

// Reads the hive's base block and the logs beside it; when the hive is
// dirty and replay is asked, replays them. Never writes either.
HiveLogState CheckTransactionLogs(const std::string& hivePath, bool replay = true);

// The logs beside a hive: its name with .LOG, .LOG1 or .LOG2 after it, in
// any case, found by a scan of its folder.
std::vector<std::string> TransactionLogPaths(const std::string& hivePath);

// The seed of the hashes in a new-format log entry. The format's document
// gives it as the bytes 82 EF 4D 88 7A 4E 55 C5, which Windows reads as
// this number, most significant byte first; every entry of real logs
// checks out with it.
inline constexpr std::uint64_t kLogEntrySeed = 0x82EF4D887A4E55C5ull;

inline constexpr wchar_t kLogsAdvice[] =
    L"transaction logs that cannot be applied: boot Windows once, or search it with --ignore-logs to read it as it is";

}  // namespace keyscour
