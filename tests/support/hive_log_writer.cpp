#include "tests/support/hive_log_writer.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <span>

#include "base/marvin32.h"
#include "tests/support/blank_hive.h"
#include "registry/hive/hive_logs.h"

namespace keyscour::testing {

namespace {

constexpr std::size_t kBase = 4096;

void Put64(Bytes& bytes, std::size_t at, std::uint64_t value) {
    Put32(bytes, at, static_cast<std::uint32_t>(value));
    Put32(bytes, at + 4, static_cast<std::uint32_t>(value >> 32));
}

Bytes LogBase(const Bytes& hive, std::uint32_t type, std::uint32_t sequence) {
    Bytes base(hive.begin(), hive.begin() + 512);
    Put32(base, 0x04, sequence);
    Put32(base, 0x08, sequence);
    Put32(base, 0x1C, type);
    Put32(base, 0x2C, 1);
    Seal(base);
    return base;
}

}  // namespace

Bytes ReadAllBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes RecoveredImage(const HiveLogState& state) {
    Bytes bytes;
    if (!state.image) return bytes;
    bytes.resize(static_cast<std::size_t>(::lseek(state.image->get(), 0, SEEK_END)));
    if (::pread(state.image->get(), bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) bytes.clear();
    return bytes;
}

std::uint32_t Get32(const Bytes& bytes, std::size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

void Put32(Bytes& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void Seal(Bytes& baseBlock) { Put32(baseBlock, 0x1FC, BaseBlockChecksum(baseBlock.data())); }

std::vector<LogPage> ChangedPages(const Bytes& before, const Bytes& after) {
    std::vector<LogPage> pages;
    const std::uint32_t bins = Get32(after, 0x28);
    for (std::uint32_t at = 0; at < bins; at += 4096) {
        const auto from = after.begin() + static_cast<std::ptrdiff_t>(kBase + at);
        const bool same = kBase + at + 4096 <= before.size() &&
                          std::equal(from, from + 4096, before.begin() + static_cast<std::ptrdiff_t>(kBase + at));
        if (!same) pages.push_back({at, Bytes(from, from + 4096)});
    }
    return pages;
}

Bytes NewFormatLog(const Bytes& hive, std::uint32_t sequence, const std::vector<LogEntry>& entries) {
    return WithLogEntries(LogBase(hive, 6, sequence), entries);
}

Bytes WithLogEntries(Bytes log, const std::vector<LogEntry>& entries) {
    for (const LogEntry& entry : entries) {
        Bytes bytes(40, 0);
        std::memcpy(bytes.data(), "HvLE", 4);
        Put32(bytes, 8, entry.flags);
        Put32(bytes, 12, entry.sequence);
        Put32(bytes, 16, entry.binsSize);
        Put32(bytes, 20, static_cast<std::uint32_t>(entry.pages.size()));
        for (const LogPage& page : entry.pages) {
            bytes.resize(bytes.size() + 8);
            Put32(bytes, bytes.size() - 8, page.offset);
            Put32(bytes, bytes.size() - 4, static_cast<std::uint32_t>(page.bytes.size()));
        }
        for (const LogPage& page : entry.pages) bytes.insert(bytes.end(), page.bytes.begin(), page.bytes.end());
        bytes.resize((log.size() + bytes.size() + 4095) / 4096 * 4096 - log.size(), 0);
        Put32(bytes, 4, static_cast<std::uint32_t>(bytes.size()));
        Put64(bytes, 24, Marvin32(std::span(bytes).subspan(40), kLogEntrySeed) ^ (entry.badHash ? 1 : 0));
        Put64(bytes, 32, Marvin32(std::span(bytes).first(32), kLogEntrySeed));
        log.insert(log.end(), bytes.begin(), bytes.end());
    }
    return log;
}

Bytes OldFormatLog(const Bytes& primary, const Bytes& after) {
    Bytes log = LogBase(after, 1, Get32(primary, 4));
    Put32(log, 0x0C, Get32(primary, 0x0C));
    Put32(log, 0x10, Get32(primary, 0x10));
    Seal(log);
    const std::uint32_t bins = Get32(after, 0x28);
    Bytes vector(4 + bins / 512 / 8, 0);
    std::memcpy(vector.data(), "DIRT", 4);
    Bytes pages;
    for (std::uint32_t page = 0; page < bins / 512; ++page) {
        const auto from = after.begin() + static_cast<std::ptrdiff_t>(kBase + 512 * page);
        const bool same = kBase + 512 * (page + 1) <= primary.size() &&
                          std::equal(from, from + 512, primary.begin() + static_cast<std::ptrdiff_t>(kBase + 512 * page));
        if (same) continue;
        vector[4 + page / 8] |= static_cast<std::uint8_t>(1 << (page % 8));
        pages.insert(pages.end(), from, from + 512);
    }
    log.insert(log.end(), vector.begin(), vector.end());
    log.resize((log.size() + 511) / 512 * 512, 0);
    log.insert(log.end(), pages.begin(), pages.end());
    return log;
}

}  // namespace keyscour::testing
