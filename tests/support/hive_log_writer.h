#pragma once
// Transaction logs written as the regf format lays them out, for tests and
// the benchmark: what Windows leaves beside a hive it was writing when it
// stopped.

#include <cstdint>
#include <string>
#include <vector>

namespace keyscour {
struct HiveLogState;
}

namespace keyscour::testing {

using Bytes = std::vector<std::uint8_t>;

struct LogPage {
    std::uint32_t offset;  // in the hive bins data
    Bytes bytes;           // a whole number of 4096-byte pages
};

struct LogEntry {
    std::uint32_t sequence;
    std::uint32_t binsSize;  // the hive bins data's size once the entry is applied
    std::vector<LogPage> pages;
    bool badHash = false;  // Hash-1 off by one bit
    std::uint32_t flags = 0;
};

// The 4096-byte pages of after's bins that differ from before's.
std::vector<LogPage> ChangedPages(const Bytes& before, const Bytes& after);

// A new-format log (file type 6, Windows 8.1 on): hive's first sector as
// its base block at sequence, then the entries, each with its Marvin32
// hashes.
Bytes NewFormatLog(const Bytes& hive, std::uint32_t sequence, const std::vector<LogEntry>& entries);

// The entries after a log's base block as Windows writes them: each padded
// with zeros to end on a 4 KiB offset of the log, Hash-1 over the padding.
Bytes WithLogEntries(Bytes baseSector, const std::vector<LogEntry>& entries);

// An old-format log (file type 1): after's first sector as its base block,
// at primary's sequence number and time, the dirty vector of the 512-byte
// pages in which after differs from primary, and those pages.
Bytes OldFormatLog(const Bytes& primary, const Bytes& after);

// A file's bytes, all of them; empty when it cannot be read.
Bytes ReadAllBytes(const std::string& path);
// The recovered hive a replay made, as its private file holds it.
Bytes RecoveredImage(const HiveLogState& state);

std::uint32_t Get32(const Bytes& bytes, std::size_t at);
void Put32(Bytes& bytes, std::size_t at, std::uint32_t value);
// The base block's checksum made right.
void Seal(Bytes& baseBlock);

}  // namespace keyscour::testing
