#include "registry/hive_logs.h"

#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "base/file_util.h"
#include "base/utf8.h"

namespace keyscour {

namespace {

constexpr std::size_t kSector = 512;

std::uint32_t Read32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    if (at + 4 > bytes.size()) return 0;
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

bool Signature(const std::vector<std::uint8_t>& bytes, std::size_t at, const char* four) {
    return at + 4 <= bytes.size() && std::equal(four, four + 4, bytes.begin() + static_cast<std::ptrdiff_t>(at));
}

// At most limit bytes of the file; nothing when it cannot be opened.
bool ReadStart(const std::string& path, std::size_t limit, std::vector<std::uint8_t>& bytes, bool& exists) {
    std::ifstream in(path, std::ios::binary);
    exists = static_cast<bool>(in);
    if (!in) return false;
    bytes.resize(limit);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(limit));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return true;
}

std::wstring Name(const std::string& path) { return FromUtf8(path); }

// A log's findings against the hive's secondary sequence number.
void CheckLog(const std::string& path, std::uint32_t hiveSecondary, HiveLogState& state) {
    std::vector<std::uint8_t> log;
    bool exists = false;
    // Headers only: the base block, then entry headers, each 24 bytes
    // (the whole file is read as far as its entries go, in their sizes).
    if (!ReadStart(path, 64 * 1024 * 1024, log, exists)) return;
    auto dirty = [&](const std::wstring& why) {
        state.dirty = true;
        state.reasons.push_back(Name(path) + L": " + why);
    };
    if (log.empty()) return;  // common beside a clean hive
    if (log.size() < kSector || !Signature(log, 0, "regf")) return dirty(L"its header cannot be read");
    const std::uint32_t type = Read32(log, 0x1C);
    const std::uint32_t primary = Read32(log, 0x04);
    if (type == 1) {
        if (primary >= hiveSecondary)
            dirty(L"an old-format log with sequence number " + std::to_wstring(primary) + L", at or above the hive's " +
                  std::to_wstring(hiveSecondary));
        return;
    }
    if (type != 6) return dirty(L"a log of a kind this tool does not know (file type " + std::to_wstring(type) + L")");
    const std::uint32_t clustering = Read32(log, 0x2C);
    std::size_t at = kSector * (clustering ? clustering : 1);
    for (bool first = true; at < log.size(); first = false) {
        const bool blank = std::all_of(log.begin() + static_cast<std::ptrdiff_t>(at),
                                       log.begin() + static_cast<std::ptrdiff_t>(std::min(log.size(), at + kSector)),
                                       [](std::uint8_t b) { return b == 0; });
        if (blank) return;  // no (more) entries
        const std::uint32_t size = Read32(log, at + 4);
        const bool valid = Signature(log, at, "HvLE") && at + 24 <= log.size() && size >= kSector &&
                           size % kSector == 0 && at + size <= log.size();
        if (!valid) {
            if (first) dirty(L"its first log entry is damaged");
            return;  // past the last whole entry: the end of what it holds
        }
        const std::uint32_t sequence = Read32(log, at + 12);
        if (sequence >= hiveSecondary) {
            return dirty(L"holds a log entry with sequence number " + std::to_wstring(sequence) +
                         L", at or above the hive's " + std::to_wstring(hiveSecondary));
        }
        at += size;
    }
}

}  // namespace

HiveLogState CheckTransactionLogs(const std::string& hivePath) {
    HiveLogState state;
    std::vector<std::uint8_t> base;
    bool exists = false;
    if (!ReadStart(hivePath, kSector, base, exists) || base.size() < kSector || !Signature(base, 0, "regf"))
        return state;  // not a hive at all: hivex says so
    const std::uint32_t primary = Read32(base, 0x04);
    const std::uint32_t secondary = Read32(base, 0x08);
    if (primary != secondary) {
        state.dirty = true;
        state.reasons.push_back(Name(hivePath) + L": its base block's sequence numbers differ (" +
                                std::to_wstring(primary) + L" and " + std::to_wstring(secondary) + L")");
    }
    state.logs = TransactionLogPaths(hivePath);
    for (const auto& log : state.logs) CheckLog(log, secondary, state);
    return state;
}

std::vector<std::string> TransactionLogPaths(const std::string& hivePath) {
    const std::size_t slash = hivePath.rfind('/');
    const std::string folder = FolderOf(hivePath);
    const std::string hiveName = hivePath.substr(slash + 1);
    auto upper = [](std::string text) {
        for (auto& c : text) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 0x20 : c);
        return text;
    };
    const std::string wanted = upper(hiveName);
    std::vector<std::string> logs;
    DIR* directory = ::opendir(folder.c_str());
    if (!directory) return logs;
    // Any case of the name and of LOG, LOG1, LOG2: a case-sensitive mount
    // may hold ntuser.dat.LOG1 beside NTUSER.DAT.
    while (const dirent* entry = ::readdir(directory)) {
        const std::string name = upper(entry->d_name);
        if (name.size() <= wanted.size() || name.compare(0, wanted.size(), wanted) != 0) continue;
        const std::string suffix = name.substr(wanted.size());
        if (suffix == ".LOG" || suffix == ".LOG1" || suffix == ".LOG2")
            logs.push_back((slash == std::string::npos ? "" : folder + "/") + entry->d_name);
    }
    ::closedir(directory);
    std::sort(logs.begin(), logs.end());
    return logs;
}

}  // namespace keyscour
