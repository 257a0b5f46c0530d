#include "base/spill_file.h"

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "base/file_util.h"

namespace keyscour {

namespace {

constexpr std::size_t kChunk = std::size_t{1} << 20;

int Seek(std::FILE* file, std::uint64_t offset) {
#ifdef _WIN32
    return _fseeki64(file, static_cast<long long>(offset), SEEK_SET);
#else
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET);
#endif
}

}  // namespace

SpillFile::~SpillFile() {
    if (file_) std::fclose(file_);
}

std::uint64_t SpillFile::Append(std::span<const std::uint8_t> record) {
    const std::uint64_t offset = End();
    const std::uint64_t size = record.size();
    const auto* sizeBytes = reinterpret_cast<const std::uint8_t*>(&size);
    tail_.insert(tail_.end(), sizeBytes, sizeBytes + sizeof size);
    tail_.insert(tail_.end(), record.begin(), record.end());
    // Whole records only go to the file: none lies partly in each.
    if (tail_.size() >= kChunk && !inMemory_) Flush();
    return offset;
}

void SpillFile::Flush() {
    if (!file_) file_ = OpenScratchFile();
    if (!file_ || Seek(file_, written_) != 0 || std::fwrite(tail_.data(), 1, tail_.size(), file_) != tail_.size()) {
        inMemory_ = true;  // what the file holds stays readable up to written_
        if (file_) std::clearerr(file_);
        return;
    }
    written_ += tail_.size();
    tail_.clear();
}

std::span<const std::uint8_t> SpillFile::Read(std::uint64_t offset, std::uint64_t& next) {
    std::uint64_t size = 0;
    std::memcpy(&size, Bytes(offset, sizeof size).data(), sizeof size);
    if (size > End() - offset - sizeof size) throw std::out_of_range("SpillFile::Read: a record past the end");
    next = offset + sizeof size + size;
    return Bytes(offset + sizeof size, static_cast<std::size_t>(size));
}

std::span<const std::uint8_t> SpillFile::Bytes(std::uint64_t offset, std::size_t size) {
    if (offset >= written_) {
        if (offset - written_ + size > tail_.size()) throw std::out_of_range("SpillFile::Read past the end");
        return std::span<const std::uint8_t>(tail_).subspan(static_cast<std::size_t>(offset - written_), size);
    }
    if (offset < windowStart_ || offset + size > windowStart_ + window_.size()) {
        const std::size_t want = static_cast<std::size_t>(
            std::min<std::uint64_t>(std::max(size, kChunk), written_ - offset));
        window_.resize(want);
        windowStart_ = offset;
        if (Seek(file_, offset) != 0 || std::fread(window_.data(), 1, want, file_) != want || want < size) {
            window_.clear();
            throw FileError{"(temporary file)", errno, L"records kept on disk cannot be read back"};
        }
    }
    return std::span<const std::uint8_t>(window_).subspan(static_cast<std::size_t>(offset - windowStart_), size);
}

void RecordWriter::U32(std::uint32_t value) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&value);
    bytes_.insert(bytes_.end(), bytes, bytes + sizeof value);
}

void RecordWriter::U64(std::uint64_t value) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&value);
    bytes_.insert(bytes_.end(), bytes, bytes + sizeof value);
}

void RecordWriter::Text(std::wstring_view text) {
    U64(text.size());
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    bytes_.insert(bytes_.end(), bytes, bytes + text.size() * sizeof(wchar_t));
}

void RecordWriter::Bytes(std::span<const std::uint8_t> bytes) {
    U64(bytes.size());
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
}

std::span<const std::uint8_t> RecordReader::Take(std::size_t size) {
    if (size > record_.size() - at_) throw std::out_of_range("RecordReader past the record's end");
    const auto taken = record_.subspan(at_, size);
    at_ += size;
    return taken;
}

std::uint32_t RecordReader::U32() {
    std::uint32_t value = 0;
    std::memcpy(&value, Take(sizeof value).data(), sizeof value);
    return value;
}

std::uint64_t RecordReader::U64() {
    std::uint64_t value = 0;
    std::memcpy(&value, Take(sizeof value).data(), sizeof value);
    return value;
}

std::wstring RecordReader::Text() {
    const std::uint64_t length = U64();
    if (length > record_.size() / sizeof(wchar_t)) throw std::out_of_range("RecordReader: a text past the end");
    const auto bytes = Take(static_cast<std::size_t>(length) * sizeof(wchar_t));
    std::wstring text(static_cast<std::size_t>(length), L'\0');
    if (!bytes.empty()) std::memcpy(text.data(), bytes.data(), bytes.size());
    return text;
}

std::vector<std::uint8_t> RecordReader::Bytes() {
    const std::uint64_t length = U64();
    if (length > record_.size()) throw std::out_of_range("RecordReader: bytes past the end");
    const auto bytes = Take(static_cast<std::size_t>(length));
    return {bytes.begin(), bytes.end()};
}

}  // namespace keyscour
