#include "registry/hive/hive_value_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "base/file_util.h"
#include "base/unicode_case.h"
#include "base/utf16.h"
#include "registry/hive/base_block.h"
#include "registry/hive/hive_error.h"

namespace keyscour {

namespace {

constexpr std::uint64_t kBaseBlock = 4096;
constexpr std::uint32_t kBinHeader = 32;
constexpr std::uint32_t kBinUnit = 4096;
constexpr std::uint32_t kNone = 0xFFFFFFFFu;
constexpr std::uint32_t kInline = 0x80000000u;
constexpr std::uint16_t kCompressedName = 0x0001;

// Key node fields, from the cell's start (its 4-byte size first).
constexpr std::uint32_t kNkFlags = 4 + 2, kNkParent = 4 + 16, kNkLongestSubKeyName = 4 + 52;
constexpr std::uint16_t kNkHiveEntry = 0x0004;
constexpr std::uint32_t kNkWritten = 4 + 4, kNkSubKeyCount = 4 + 20, kNkSubKeyList = 4 + 28, kNkValueCount = 4 + 36,
                        kNkValueList = 4 + 40, kNkLongestName = 4 + 60, kNkLargestData = 4 + 64,
                        kNkNameLength = 4 + 72, kNkHeader = 4 + 76;
constexpr std::uint16_t kNkCompressedName = 0x0020;
// Key value fields.
constexpr std::uint32_t kVkNameLength = 4 + 2, kVkDataSize = 4 + 4, kVkDataOffset = 4 + 8, kVkType = 4 + 12,
                        kVkFlags = 4 + 16, kVkHeader = 4 + 20;

std::uint32_t CellBytes(std::uint64_t data) { return static_cast<std::uint32_t>((4 + data + 7) / 8 * 8); }

std::uint32_t Get32(const std::uint8_t* at) {
    return at[0] | at[1] << 8 | at[2] << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}
void Put32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void Put16(std::uint8_t* at, std::uint16_t value) {
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

// A name as a record stores it: a byte a character when every character
// is Latin-1 (the record's compressed flag set), else UTF-16LE.
struct StoredName {
    bool compressed = true;
    std::vector<std::uint8_t> bytes;
    std::uint32_t utf16Bytes = 0;  // what the name-length fields count
};
StoredName StoreName(std::wstring_view name) {
    StoredName stored;
    stored.compressed = std::all_of(name.begin(), name.end(), [](wchar_t c) { return static_cast<std::uint32_t>(c) < 0x100; });
    const std::vector<std::uint8_t> utf16 = EncodeUtf16Le(std::wstring(name));
    stored.utf16Bytes = static_cast<std::uint32_t>(utf16.size());
    if (!stored.compressed) {
        stored.bytes = utf16;
    } else {
        for (const wchar_t c : name) stored.bytes.push_back(static_cast<std::uint8_t>(c));
    }
    return stored;
}

std::uint64_t FileTimeNow() {
    const auto since1970 = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since1970).count() / 100) +
           116444736000000000ull;
}

}  // namespace

HiveValueWriter::HiveValueWriter(int descriptor, std::wstring name)
    : descriptor_(descriptor), name_(std::move(name)), now_(FileTimeNow()) {
    struct stat file {};
    if (::fstat(descriptor_, &file) != 0)
        throw HiveError{name_ + L": the new hive could not be looked at (" + ErrorText(errno) + L"); the hive is as it was"};
    fileEnd_ = static_cast<std::uint64_t>(file.st_size);
    std::uint8_t base[512];
    ReadBytes(0, base, sizeof base);
    if (std::memcmp(base, "regf", 4) != 0) Damaged(L"its base block is not a hive's");
    minorVersion_ = Get32(base + 0x18);
    binsSize_ = Get32(base + 0x28);
    IndexFreeCells();
}

void HiveValueWriter::Damaged(const std::wstring& what) const {
    throw HiveError{name_ + L": " + what + L"; the hive is as it was"};
}

std::uint8_t* HiveValueWriter::Page(std::uint64_t index) {
    // A replace of every value touches every page: past the limit, what is
    // held goes to the new file and the pages are read again when needed.
    if (pages_.size() >= kCachedPages && !pages_.contains(index)) {
        Flush();
        pages_.clear();
    }
    auto& page = pages_[index];
    if (page.bytes.empty()) {
        page.bytes.assign(kPage, 0);
        // Past the file's end a page is zeros until written.
        for (std::size_t done = 0; done < kPage;) {
            const ssize_t got = ::pread(descriptor_, page.bytes.data() + done, kPage - done,
                                        static_cast<off_t>(index * kPage + done));
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                pages_.erase(index);
                throw HiveError{name_ + L": the new hive could not be read (" + ErrorText(errno) +
                                L"); the hive is as it was"};
            }
            if (got == 0) break;
            done += static_cast<std::size_t>(got);
        }
    }
    return page.bytes.data();
}

void HiveValueWriter::ReadBytes(std::uint64_t fileOffset, void* to, std::size_t size) {
    if (fileOffset + size > fileEnd_) Damaged(L"a cell lies past the end of the file");
    auto* bytes = static_cast<std::uint8_t*>(to);
    while (size > 0) {
        const std::size_t within = fileOffset % kPage;
        const std::size_t part = std::min(size, kPage - within);
        std::memcpy(bytes, Page(fileOffset / kPage) + within, part);
        bytes += part;
        fileOffset += part;
        size -= part;
    }
}

void HiveValueWriter::WriteBytes(std::uint64_t fileOffset, const void* from, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(from);
    fileEnd_ = std::max<std::uint64_t>(fileEnd_, fileOffset + size);
    while (size > 0) {
        const std::size_t within = fileOffset % kPage;
        const std::size_t part = std::min(size, kPage - within);
        std::uint8_t* page = Page(fileOffset / kPage);
        std::memcpy(page + within, bytes, part);
        pages_[fileOffset / kPage].dirty = true;
        bytes += part;
        fileOffset += part;
        size -= part;
    }
}

void HiveValueWriter::Flush() {
    std::vector<std::uint64_t> dirty;
    for (const auto& [index, page] : pages_)
        if (page.dirty) dirty.push_back(index);
    std::sort(dirty.begin(), dirty.end());
    const auto failed = [&](int error) {
        throw HiveError{name_ + L": the changes could not be written (" + ErrorText(error) + L"); the hive is as it was"};
    };
    for (const std::uint64_t index : dirty) {
        const std::uint64_t start = index * kPage;
        const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(kPage, fileEnd_ - start));
        const std::uint8_t* bytes = pages_[index].bytes.data();
        for (std::size_t done = 0; done < size;) {
            const ssize_t put = ::pwrite(descriptor_, bytes + done, size - done, static_cast<off_t>(start + done));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) failed(put < 0 ? errno : EIO);
            done += static_cast<std::size_t>(put);
        }
        pages_[index].dirty = false;
    }
}

std::uint32_t HiveValueWriter::Read32(std::uint32_t at) {
    std::uint8_t bytes[4];
    ReadBytes(kBaseBlock + at, bytes, 4);
    return Get32(bytes);
}

std::uint16_t HiveValueWriter::Read16(std::uint32_t at) {
    std::uint8_t bytes[2];
    ReadBytes(kBaseBlock + at, bytes, 2);
    return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

void HiveValueWriter::Write32(std::uint32_t at, std::uint32_t value) {
    std::uint8_t bytes[4];
    Put32(bytes, value);
    WriteBytes(kBaseBlock + at, bytes, 4);
}

void HiveValueWriter::IndexFreeCells() {
    // Every bin and every cell, checked once before anything is written:
    // a cell that runs out of its bin would make any write a guess.
    // Read past the page cache, which keeps only what is written.
    if (kBaseBlock + binsSize_ > fileEnd_) Damaged(L"its bins run past the end of the file");
    std::vector<std::uint8_t> bin;
    const auto readDirect = [this](std::uint64_t at, std::uint8_t* to, std::size_t size) {
        for (std::size_t done = 0; done < size;) {
            const ssize_t got = ::pread(descriptor_, to + done, size - done, static_cast<off_t>(at + done));
            if (got < 0 && errno == EINTR) continue;
            if (got < 0)
                throw HiveError{name_ + L": the new hive could not be read (" + ErrorText(errno) + L"); the hive is as it was"};
            if (got == 0) Damaged(L"its bins run past the end of the file");
            done += static_cast<std::size_t>(got);
        }
    };
    for (std::uint32_t at = 0; at < binsSize_;) {
        std::uint8_t header[kBinHeader];
        readDirect(kBaseBlock + at, header, sizeof header);
        const std::uint32_t size = Get32(header + 8);
        if (std::memcmp(header, "hbin", 4) != 0 || Get32(header + 4) != at || size < kBinUnit || size % kBinUnit != 0 ||
            size > binsSize_ - at)
            Damaged(L"the hive bin at offset " + std::to_wstring(at) + L" does not check out");
        bin.resize(size);
        readDirect(kBaseBlock + at, bin.data(), size);
        for (std::uint32_t cell = kBinHeader; cell < size;) {
            if (size - cell < 4) Damaged(L"the hive bin at offset " + std::to_wstring(at) + L" ends inside a cell");
            const auto raw = static_cast<std::int32_t>(Get32(bin.data() + cell));
            const std::uint32_t length = raw < 0 ? 0u - static_cast<std::uint32_t>(raw) : static_cast<std::uint32_t>(raw);
            if (length < 8 || length % 8 != 0 || length > size - cell)
                Damaged(L"the cell at offset " + std::to_wstring(at + cell) + L" does not fit its bin");
            if (raw > 0) AddFree(at + cell, length);
            cell += length;
        }
        bins_.emplace_back(at, size);
        at += size;
    }
}

const std::pair<std::uint32_t, std::uint32_t>* HiveValueWriter::BinOf(std::uint32_t cell) const {
    const auto after = std::upper_bound(bins_.begin(), bins_.end(), std::make_pair(cell, kNone));
    if (after == bins_.begin()) return nullptr;
    const auto& bin = *std::prev(after);
    return cell >= bin.first + kBinHeader && cell < bin.first + bin.second ? &bin : nullptr;
}

void HiveValueWriter::AddFree(std::uint32_t cell, std::uint32_t size) {
    freeByStart_[cell] = size;
    freeBySize_.emplace(size, cell);
}

void HiveValueWriter::RemoveFree(std::uint32_t cell) {
    const auto it = freeByStart_.find(cell);
    freeBySize_.erase({it->second, cell});
    freeByStart_.erase(it);
}

std::uint32_t HiveValueWriter::AllocatedSize(std::uint32_t cell) {
    if (!BinOf(cell) || cell % 8 != 0) Damaged(L"an offset " + std::to_wstring(cell) + L" points outside the hive bins");
    const auto raw = static_cast<std::int32_t>(Read32(cell));
    if (raw >= 0) Damaged(L"the cell at offset " + std::to_wstring(cell) + L" is in use but marked free");
    return 0u - static_cast<std::uint32_t>(raw);  // inside its bin: the index checked every cell
}

void HiveValueWriter::CheckRecord(std::uint32_t cell, const char* signature, std::uint32_t minimumBytes) {
    if (AllocatedSize(cell) < minimumBytes) Damaged(L"the record at offset " + std::to_wstring(cell) + L" is cut short");
    std::uint8_t found[2];
    ReadBytes(kBaseBlock + cell + 4, found, 2);
    if (std::memcmp(found, signature, 2) != 0)
        Damaged(L"the cell at offset " + std::to_wstring(cell) + L" is not the " + std::wstring(signature, signature + 2) +
                L" record it should be");
}

std::uint32_t HiveValueWriter::Allocate(std::uint32_t bytes) {
    const std::uint32_t need = CellBytes(bytes);
    std::uint32_t cell = 0, size = 0;
    if (const auto fit = freeBySize_.lower_bound({need, 0}); fit != freeBySize_.end()) {
        size = fit->first;
        cell = fit->second;
        RemoveFree(cell);
    } else {
        // A new bin at the end, in whole units of 4096 bytes.
        const std::uint64_t binBytes = (std::uint64_t{need} + kBinHeader + kBinUnit - 1) / kBinUnit * kBinUnit;
        if (binBytes > 0x7FFFFFFFull - binsSize_) Damaged(L"the hive would grow past the format's 2 GiB");
        const auto binSize = static_cast<std::uint32_t>(binBytes);
        std::vector<std::uint8_t> header(kBinHeader, 0);
        std::memcpy(header.data(), "hbin", 4);
        Put32(header.data() + 4, binsSize_);
        Put32(header.data() + 8, binSize);
        WriteBytes(kBaseBlock + binsSize_, header.data(), header.size());
        bins_.emplace_back(binsSize_, binSize);
        cell = binsSize_ + kBinHeader;
        size = binSize - kBinHeader;
        binsSize_ += binSize;
        // The file ends at the new bin's end, or past it as it did.
        fileEnd_ = std::max<std::uint64_t>(fileEnd_, kBaseBlock + binsSize_);
    }
    if (size > need) {
        Write32(cell + need, size - need);
        AddFree(cell + need, size - need);
        size = need;
    }
    Write32(cell, 0u - size);
    return cell;
}

void HiveValueWriter::Free(std::uint32_t cell) {
    std::uint32_t size = AllocatedSize(cell);
    const auto [bin, binSize] = *BinOf(cell);  // there: AllocatedSize checked it
    const std::uint32_t binEnd = bin + binSize;
    if (cell + size < binEnd)
        if (const auto next = freeByStart_.find(cell + size); next != freeByStart_.end()) {
            size += next->second;
            RemoveFree(next->first);
        }
    if (auto before = freeByStart_.lower_bound(cell); before != freeByStart_.begin()) {
        --before;
        if (before->first + before->second == cell && before->first >= bin + kBinHeader) {
            const std::uint32_t start = before->first;
            size += before->second;
            RemoveFree(start);
            cell = start;
        }
    }
    Write32(cell, size);
    AddFree(cell, size);
}

void HiveValueWriter::FreeData(std::uint32_t vk) {
    const std::uint32_t raw = Read32(vk + kVkDataSize);
    const std::uint32_t length = raw & ~kInline;
    if ((raw & kInline) || length == 0) return;  // inline, or empty whatever the offset says
    const std::uint32_t data = Read32(vk + kVkDataOffset);
    if (minorVersion_ > 3 && length > kSegmentBytes) {
        std::uint8_t head[8];
        AllocatedSize(data);
        ReadBytes(kBaseBlock + data + 4, head, sizeof head);
        if (std::memcmp(head, "db", 2) == 0) {
            const std::uint32_t count = head[2] | head[3] << 8;
            const std::uint32_t list = Get32(head + 4);
            if (AllocatedSize(list) < 4 + 4 * count) Damaged(L"the big data list at offset " + std::to_wstring(list) + L" is cut short");
            std::vector<std::uint8_t> segments(4 * count);
            ReadBytes(kBaseBlock + list + 4, segments.data(), segments.size());
            for (std::uint32_t i = 0; i < count; ++i) AllocatedSize(Get32(segments.data() + 4 * i));
            for (std::uint32_t i = 0; i < count; ++i) Free(Get32(segments.data() + 4 * i));
            Free(list);
            Free(data);
            return;
        }
    }
    Free(data);
}

void HiveValueWriter::StoreData(std::uint32_t vk, std::span<const std::uint8_t> data, bool mayReuse) {
    const auto length = static_cast<std::uint32_t>(data.size());
    if (length <= 4) {
        if (mayReuse) FreeData(vk);
        std::uint8_t inlined[4] = {};
        std::copy(data.begin(), data.end(), inlined);
        Write32(vk + kVkDataSize, length | kInline);
        WriteBytes(kBaseBlock + vk + kVkDataOffset, inlined, 4);
        return;
    }
    const bool big = minorVersion_ > 3 && length > kSegmentBytes;
    if (mayReuse && !big) {
        // Its own cell, when it is one cell and the new data fits it.
        const std::uint32_t raw = Read32(vk + kVkDataSize);
        const std::uint32_t old = raw & ~kInline;
        const bool oneCell = !(raw & kInline) && old != 0 && !(minorVersion_ > 3 && old > kSegmentBytes);
        if (oneCell) {
            const std::uint32_t cell = Read32(vk + kVkDataOffset);
            if (AllocatedSize(cell) - 4 >= length) {
                WriteBytes(kBaseBlock + cell + 4, data.data(), length);
                Write32(vk + kVkDataSize, length);
                return;
            }
        }
    }
    if (mayReuse) FreeData(vk);
    std::uint32_t at = 0;
    if (!big) {
        at = Allocate(length);
        WriteBytes(kBaseBlock + at + 4, data.data(), length);
    } else {
        const std::uint32_t count = (length + kSegmentBytes - 1) / kSegmentBytes;
        std::vector<std::uint8_t> list(4 * count);
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t from = i * kSegmentBytes;
            const std::uint32_t part = std::min(kSegmentBytes, length - from);
            // Four bytes to spare after each segment's data, as a full
            // segment's cell has them: readers (hivex among them) take a
            // segment's data to be its cell less eight bytes.
            const std::uint32_t segment = Allocate(part + 4);
            WriteBytes(kBaseBlock + segment + 4, data.data() + from, part);
            Put32(list.data() + 4 * i, segment);
        }
        const std::uint32_t listCell = Allocate(static_cast<std::uint32_t>(list.size()));
        WriteBytes(kBaseBlock + listCell + 4, list.data(), list.size());
        at = Allocate(8);
        std::uint8_t record[8] = {'d', 'b', static_cast<std::uint8_t>(count), static_cast<std::uint8_t>(count >> 8)};
        Put32(record + 4, listCell);
        WriteBytes(kBaseBlock + at + 4, record, sizeof record);
    }
    Write32(vk + kVkDataSize, length);
    Write32(vk + kVkDataOffset, at);
}

void HiveValueWriter::RaiseLimits(std::uint32_t nk, std::uint32_t nameBytes, std::uint32_t dataBytes) {
    if (Read32(nk + kNkLongestName) < nameBytes) Write32(nk + kNkLongestName, nameBytes);
    if (Read32(nk + kNkLargestData) < dataBytes) Write32(nk + kNkLargestData, dataBytes);
}

void HiveValueWriter::Touch(std::uint32_t nk) {
    std::uint8_t time[8];
    for (int i = 0; i < 8; ++i) time[i] = static_cast<std::uint8_t>(now_ >> (8 * i));
    WriteBytes(kBaseBlock + nk + kNkWritten, time, sizeof time);
}

void HiveValueWriter::Rewrite(std::uint32_t nk, std::uint32_t vk, std::uint32_t type, std::span<const std::uint8_t> data) {
    CheckRecord(nk, "nk", kNkHeader);
    CheckRecord(vk, "vk", kVkHeader);
    StoreData(vk, data, true);
    Write32(vk + kVkType, type);
    // The name's length as the key keeps it: in UTF-16LE bytes.
    const std::uint16_t nameLength = Read16(vk + kVkNameLength);
    const bool compressed = Read16(vk + kVkFlags) & kCompressedName;
    RaiseLimits(nk, compressed ? 2u * nameLength : nameLength, static_cast<std::uint32_t>(data.size()));
    Touch(nk);
}

void HiveValueWriter::Add(std::uint32_t nk, std::wstring_view name, std::uint32_t type, std::span<const std::uint8_t> data) {
    CheckRecord(nk, "nk", kNkHeader);
    const StoredName stored = StoreName(name);
    const bool compressed = stored.compressed;
    const std::vector<std::uint8_t>& nameBytes = stored.bytes;
    if (nameBytes.size() > 0xFFFF) Damaged(L"a value name is longer than a hive holds");
    const std::uint32_t vk = Allocate(static_cast<std::uint32_t>(kVkHeader - 4 + nameBytes.size()));
    std::vector<std::uint8_t> record(kVkHeader - 4 + nameBytes.size(), 0);
    record[0] = 'v';
    record[1] = 'k';
    record[2] = static_cast<std::uint8_t>(nameBytes.size());
    record[3] = static_cast<std::uint8_t>(nameBytes.size() >> 8);
    Put32(record.data() + 12, type);
    record[16] = compressed ? kCompressedName : 0;
    std::copy(nameBytes.begin(), nameBytes.end(), record.begin() + (kVkHeader - 4));
    WriteBytes(kBaseBlock + vk + 4, record.data(), record.size());
    StoreData(vk, data, false);

    // Into the key's list: in place where its cell has room, else a list one longer.
    const std::uint32_t count = Read32(nk + kNkValueCount);
    const std::uint32_t list = Read32(nk + kNkValueList);
    if (count > 0 && (AllocatedSize(list) - 4) / 4 > count) {
        Write32(list + 4 + 4 * count, vk);
    } else {
        std::vector<std::uint8_t> offsets(4 * (std::size_t{count} + 1));
        if (count > 0) {
            if (AllocatedSize(list) - 4 < 4 * count) Damaged(L"the value list at offset " + std::to_wstring(list) + L" is cut short");
            ReadBytes(kBaseBlock + list + 4, offsets.data(), 4 * count);
        }
        Put32(offsets.data() + 4 * count, vk);
        const std::uint32_t grown = Allocate(static_cast<std::uint32_t>(offsets.size()));
        WriteBytes(kBaseBlock + grown + 4, offsets.data(), offsets.size());
        if (count > 0) Free(list);
        Write32(nk + kNkValueList, grown);
    }
    Write32(nk + kNkValueCount, count + 1);
    RaiseLimits(nk, stored.utf16Bytes, static_cast<std::uint32_t>(data.size()));
    Touch(nk);
}

void HiveValueWriter::Remove(std::uint32_t nk, std::uint32_t vk) {
    CheckRecord(nk, "nk", kNkHeader);
    CheckRecord(vk, "vk", kVkHeader);
    const std::uint32_t count = Read32(nk + kNkValueCount);
    const std::uint32_t list = Read32(nk + kNkValueList);
    if (count == 0 || AllocatedSize(list) - 4 < 4 * count) Damaged(L"the value list at offset " + std::to_wstring(list) + L" is cut short");
    std::vector<std::uint8_t> offsets(4 * count);
    ReadBytes(kBaseBlock + list + 4, offsets.data(), offsets.size());
    std::uint32_t slot = count;
    for (std::uint32_t i = 0; i < count; ++i)
        if (Get32(offsets.data() + 4 * i) == vk) slot = i;
    if (slot == count) Damaged(L"the value at offset " + std::to_wstring(vk) + L" is not in its key's list");
    FreeData(vk);
    Free(vk);
    // The values after it move up one: the list keeps its order.
    offsets.erase(offsets.begin() + 4 * slot, offsets.begin() + 4 * (slot + 1));
    if (count == 1) {
        Free(list);
        Write32(nk + kNkValueList, kNone);
    } else {
        WriteBytes(kBaseBlock + list + 4 + 4 * slot, offsets.data() + 4 * slot, offsets.size() - 4 * slot);
    }
    Write32(nk + kNkValueCount, count - 1);
    Touch(nk);
}

std::vector<HiveValueWriter::Leaf> HiveValueWriter::LeavesOf(std::uint32_t nk) {
    CheckRecord(nk, "nk", kNkHeader);
    if (Read32(nk + kNkSubKeyCount) == 0) return {};
    const auto signatureOf = [this](std::uint32_t cell) {
        char signature[2];
        ReadBytes(kBaseBlock + cell + 4, signature, 2);
        return std::string(signature, 2);
    };
    const std::uint32_t list = Read32(nk + kNkSubKeyList);
    std::vector<std::uint32_t> cells;
    if (AllocatedSize(list) >= 8 && signatureOf(list) == "ri") {
        const std::uint16_t indexed = Read16(list + 6);
        CheckRecord(list, "ri", 8 + 4u * indexed);
        for (std::uint16_t i = 0; i < indexed; ++i) cells.push_back(Read32(list + 8 + 4u * i));
    } else {
        cells.push_back(list);
    }
    std::vector<Leaf> leaves;
    for (const std::uint32_t cell : cells) {
        const std::string kind = AllocatedSize(cell) >= 8 ? signatureOf(cell) : std::string();
        if (kind != "lf" && kind != "lh" && kind != "li") Damaged(L"a sub key list is none the format knows");
        Leaf leaf{cell, kind, Read16(cell + 6), kind == "li" ? 4u : 8u};
        CheckRecord(cell, kind.c_str(), 8 + leaf.width * leaf.count);
        leaves.push_back(leaf);
    }
    return leaves;
}

std::wstring HiveValueWriter::KeyNameUnits(std::uint32_t nk) {
    CheckRecord(nk, "nk", kNkHeader);
    const std::uint16_t length = Read16(nk + kNkNameLength);
    const bool compressed = (Read16(nk + kNkFlags) & kNkCompressedName) != 0;
    if (AllocatedSize(nk) < kNkHeader + length) Damaged(L"a key's name runs out of its cell");
    std::vector<std::uint8_t> bytes(length);
    ReadBytes(kBaseBlock + nk + kNkHeader, bytes.data(), length);
    // Units, not characters: Windows compares and hashes UTF-16 units.
    std::wstring name;
    for (std::size_t at = 0; at < length; at += compressed ? 1 : 2)
        name += static_cast<wchar_t>(compressed ? bytes[at] : bytes[at] | (at + 1 < length ? bytes[at + 1] << 8 : 0));
    return name;
}

void HiveValueWriter::SortSubKeys(std::uint32_t nk) {
    const std::vector<Leaf> leaves = LeavesOf(nk);
    struct Element {
        std::uint32_t nk;
        std::wstring name, upper;
    };
    std::vector<Element> elements;
    for (const Leaf& leaf : leaves)
        for (std::uint16_t i = 0; i < leaf.count; ++i) {
            Element element{Read32(leaf.cell + 8 + leaf.width * i), {}, {}};
            element.name = KeyNameUnits(element.nk);
            UpperCaseInto(element.name, element.upper);
            elements.push_back(std::move(element));
        }
    std::stable_sort(elements.begin(), elements.end(),
                     [](const Element& a, const Element& b) { return a.upper < b.upper; });
    // Each leaf keeps its count: a key that sorts elsewhere moves to the
    // leaf where its place now is, and no leaf outgrows its cell.
    std::size_t next = 0;
    for (const Leaf& leaf : leaves) {
        for (std::uint16_t i = 0; i < leaf.count; ++i, ++next) {
            const Element& element = elements[next];
            const std::uint32_t at = leaf.cell + 8 + leaf.width * i;
            Write32(at, element.nk);
            if (leaf.kind == "lh") {
                std::uint32_t hash = 0;
                for (const wchar_t unit : element.upper) hash = hash * 37 + static_cast<std::uint32_t>(unit);
                Write32(at + 4, hash);
            } else if (leaf.kind == "lf") {
                std::uint8_t hint[4] = {};
                for (std::size_t c = 0; c < 4 && c < element.name.size(); ++c)
                    hint[c] = static_cast<std::uint8_t>(element.name[c]);
                WriteBytes(kBaseBlock + at + 4, hint, 4);
            }
        }
    }
}

std::uint32_t HiveValueWriter::RenameValue(std::uint32_t nk, std::uint32_t vk, std::wstring_view name) {
    CheckRecord(nk, "nk", kNkHeader);
    CheckRecord(vk, "vk", kVkHeader);
    const StoredName stored = StoreName(name);
    if (stored.bytes.size() > 0xFFFF) Damaged(L"a value name is longer than a hive holds");
    std::uint8_t header[kVkHeader - 4];
    ReadBytes(kBaseBlock + vk + 4, header, sizeof header);
    Put16(header + 2, static_cast<std::uint16_t>(stored.bytes.size()));
    const std::uint16_t flags = static_cast<std::uint16_t>(header[16] | header[17] << 8);
    // Only the name's form changes; every other flag (a tombstone's) stays.
    Put16(header + 16, stored.compressed ? flags | kCompressedName : flags & ~kCompressedName);
    std::uint32_t at = vk;
    if (AllocatedSize(vk) < kVkHeader + stored.bytes.size()) {
        // A cell of its own, the data's cells kept; the key's list follows.
        const std::uint32_t count = Read32(nk + kNkValueCount);
        const std::uint32_t list = Read32(nk + kNkValueList);
        if (count == 0 || AllocatedSize(list) - 4 < 4 * count)
            Damaged(L"the value list at offset " + std::to_wstring(list) + L" is cut short");
        std::uint32_t slot = count;
        for (std::uint32_t i = 0; i < count && slot == count; ++i)
            if (Read32(list + 4 + 4 * i) == vk) slot = i;
        if (slot == count) Damaged(L"the value at offset " + std::to_wstring(vk) + L" is not in its key's list");
        at = Allocate(static_cast<std::uint32_t>(kVkHeader - 4 + stored.bytes.size()));
        Write32(list + 4 + 4 * slot, at);
        Free(vk);
    }
    WriteBytes(kBaseBlock + at + 4, header, sizeof header);
    WriteBytes(kBaseBlock + at + kVkHeader, stored.bytes.data(), stored.bytes.size());
    RaiseLimits(nk, stored.utf16Bytes, 0);
    Touch(nk);
    return at;
}

std::uint32_t HiveValueWriter::RenameKey(std::uint32_t nk, std::wstring_view name) {
    CheckRecord(nk, "nk", kNkHeader);
    std::uint8_t header[kNkHeader - 4];
    ReadBytes(kBaseBlock + nk + 4, header, sizeof header);
    const std::uint16_t flags = static_cast<std::uint16_t>(header[2] | header[3] << 8);
    if (flags & kNkHiveEntry) Damaged(L"the root key keeps its name");
    const std::uint32_t parent = Get32(header + 16);
    CheckRecord(parent, "nk", kNkHeader);
    const StoredName stored = StoreName(name);
    if (stored.bytes.empty() || stored.utf16Bytes > 2 * 255) Damaged(L"a key name must be 1 to 255 characters");
    Put16(header + 72, static_cast<std::uint16_t>(stored.bytes.size()));
    Put16(header + 2, stored.compressed ? flags | kNkCompressedName : flags & ~kNkCompressedName);
    std::uint32_t at = nk;
    if (AllocatedSize(nk) < kNkHeader + stored.bytes.size()) {
        // Three things point at a key node: its parent's list, each child's
        // Parent field and, for the root alone, the base block.
        at = Allocate(static_cast<std::uint32_t>(kNkHeader - 4 + stored.bytes.size()));
        bool listed = false;
        for (const Leaf& leaf : LeavesOf(parent))
            for (std::uint16_t i = 0; i < leaf.count; ++i)
                if (Read32(leaf.cell + 8 + leaf.width * i) == nk) {
                    Write32(leaf.cell + 8 + leaf.width * i, at);
                    listed = true;
                }
        if (!listed) Damaged(L"the key at offset " + std::to_wstring(nk) + L" is not in its parent's list");
        for (const Leaf& leaf : LeavesOf(nk))
            for (std::uint16_t i = 0; i < leaf.count; ++i) {
                const std::uint32_t child = Read32(leaf.cell + 8 + leaf.width * i);
                CheckRecord(child, "nk", kNkHeader);
                Write32(child + kNkParent, at);
            }
        Free(nk);
    }
    WriteBytes(kBaseBlock + at + 4, header, sizeof header);
    WriteBytes(kBaseBlock + at + kNkHeader, stored.bytes.data(), stored.bytes.size());
    // Only the low 16 bits are the longest name; the high 16 are flags.
    const std::uint32_t longest = Read32(parent + kNkLongestSubKeyName);
    if ((longest & 0xFFFF) < stored.utf16Bytes) Write32(parent + kNkLongestSubKeyName, (longest & 0xFFFF0000u) | stored.utf16Bytes);
    Touch(at);
    Touch(parent);
    SortSubKeys(parent);
    return at;
}

void HiveValueWriter::Finish(bool bumpSequence, std::optional<std::uint32_t> leastSequence) {
    std::uint8_t base[512];
    ReadBytes(0, base, sizeof base);
    const std::uint32_t own = Get32(base + 4) + (bumpSequence ? 1 : 0);
    const std::uint32_t sequence = leastSequence ? LaterSequence(own, *leastSequence) : own;
    Put32(base + 4, sequence);
    Put32(base + 8, sequence);
    for (int i = 0; i < 8; ++i) base[0x0C + i] = static_cast<std::uint8_t>(now_ >> (8 * i));
    Put32(base + 0x28, binsSize_);
    Put32(base + 0x1FC, BaseBlockChecksum(base));
    WriteBytes(0, base, sizeof base);
    Flush();
    struct stat file {};
    if (::fstat(descriptor_, &file) != 0 ||
        (static_cast<std::uint64_t>(file.st_size) < fileEnd_ && ::ftruncate(descriptor_, static_cast<off_t>(fileEnd_)) != 0))
        throw HiveError{name_ + L": the new hive could not grow (" + ErrorText(errno) + L"); the hive is as it was"};
}

}  // namespace keyscour
