#pragma once
// Whether a hive has transaction logs that were never applied to it. Since
// Windows 8.1 the registry writes changes to <hive>.LOG1 and .LOG2 first;
// a hive copied from a machine that did not shut down cleanly holds only
// part of its data. Only headers are read: the logs are not replayed.

#include <string>
#include <vector>

namespace keyscour {

struct HiveLogState {
    bool dirty = false;
    std::vector<std::wstring> reasons;  // one per finding, naming the file
    std::vector<std::string> logs;      // the logs found beside the hive
};

// Reads the hive's base block and those of the logs beside it (.LOG, .LOG1,
// .LOG2, in either case). A log that is empty is clean; a log whose header
// or first entry cannot be read counts as dirty.
HiveLogState CheckTransactionLogs(const std::string& hivePath);

// The logs beside a hive: its name with .LOG, .LOG1 or .LOG2 after it, in
// any case, found by a scan of its folder.
std::vector<std::string> TransactionLogPaths(const std::string& hivePath);

inline constexpr wchar_t kLogsAdvice[] =
    L"transaction logs not applied: boot Windows once, or apply them with a tool that replays logs";

}  // namespace keyscour
