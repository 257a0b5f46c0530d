#pragma once
// Records too many to hold in memory (a replace of every value of a big
// hive), kept in an anonymous temporary file: appended once, read back by
// their offsets, mostly in order. Where no such file can be made or
// written, the rest are kept in memory: a full temporary folder slows
// nothing down that did not need the room.

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace keyscour {

class SpillFile {
public:
    SpillFile() = default;
    ~SpillFile();
    SpillFile(const SpillFile&) = delete;
    SpillFile& operator=(const SpillFile&) = delete;

    // Appends a record; returns its offset.
    std::uint64_t Append(std::span<const std::uint8_t> record);
    // The end of the last record: where the next one will start.
    std::uint64_t End() const { return written_ + tail_.size(); }
    // The record at offset, as appended, valid until the next call; next
    // is where the one after it starts. Throws FileError when the file
    // cannot be read back.
    std::span<const std::uint8_t> Read(std::uint64_t offset, std::uint64_t& next);

private:
    void Flush();
    std::span<const std::uint8_t> Bytes(std::uint64_t offset, std::size_t size);
    std::FILE* file_ = nullptr;
    bool inMemory_ = false;            // no file, or one that failed: the rest stays in tail_
    std::uint64_t written_ = 0;        // bytes in the file; tail_ follows them
    std::vector<std::uint8_t> tail_;   // appended, not yet in the file
    std::vector<std::uint8_t> window_; // read ahead from the file
    std::uint64_t windowStart_ = 0;
};

// A record put together field by field, and read back in the same order.
class RecordWriter {
public:
    void U32(std::uint32_t value);
    void U64(std::uint64_t value);
    void Text(std::wstring_view text);
    void Bytes(std::span<const std::uint8_t> bytes);
    std::span<const std::uint8_t> Record() const { return bytes_; }
    void Clear() { bytes_.clear(); }

private:
    std::vector<std::uint8_t> bytes_;
};

class RecordReader {
public:
    explicit RecordReader(std::span<const std::uint8_t> record) : record_(record) {}
    std::uint32_t U32();
    std::uint64_t U64();
    std::wstring Text();
    std::vector<std::uint8_t> Bytes();

private:
    std::span<const std::uint8_t> Take(std::size_t size);
    std::span<const std::uint8_t> record_;
    std::size_t at_ = 0;
};

}  // namespace keyscour
