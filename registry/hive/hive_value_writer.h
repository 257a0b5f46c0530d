#pragma once
// Value writes made straight into a hive file's cells, as the regf format
// lays them out: a changed value keeps
// its own cells where its data fits, takes a free cell otherwise (the
// smallest that fits, split when larger), and a new hive bin only when no
// free cell fits. Freed cells are marked free and merged with free
// neighbours in their bin. Nothing else of the file is touched: the other
// values of a key keep their cells, order and flags byte for byte, which
// keeps tombstones (flag 0x0002) and empty values as Windows wrote them.
//
// Offsets are those of the format: relative to the start of the hive bins
// data (file offset 4096); hivex's handles are file offsets.

#include <cstdint>
#include <optional>
#include <map>
#include <set>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace keyscour {

class HiveValueWriter {
public:
    // The hive's new file, open for reading and writing; throws HiveError
    // when its base block is not a hive's.
    HiveValueWriter(int descriptor, std::wstring name);

    // The data of the value at vk, a value of the key at nk, made new.
    void Rewrite(std::uint32_t nk, std::uint32_t vk, std::uint32_t type, std::span<const std::uint8_t> data);
    // A new value of the key at nk, after its others.
    void Add(std::uint32_t nk, std::wstring_view name, std::uint32_t type, std::span<const std::uint8_t> data);
    // The value at vk taken out of the key's list and its cells freed.
    void Remove(std::uint32_t nk, std::uint32_t vk);
    // The sub key list of the key at nk put in Windows' order, in its own
    // cells: its names compared unit by unit upper-cased, as the kernel
    // does, each "lh" hash and "lf" hint made anew, an "ri" index's leaves
    // keeping their counts. hivex adds a key where its own comparison of
    // UTF-8 puts it, hashed with ASCII upper-casing alone: a name beyond
    // ASCII would be sorted and hashed where Windows' lookups never look.
    void SortSubKeys(std::uint32_t nk);
    // The value at vk of the key at nk given name, its data and every flag
    // but the name's form kept: in its own cell where the name fits, else
    // in a new one that the key's list points at. Returns where it is.
    std::uint32_t RenameValue(std::uint32_t nk, std::uint32_t vk, std::wstring_view name);
    // The key at nk given name: in its own cell where the name fits, else in
    // a new one that its parent's list and its children's Parent fields
    // point at; the parent's longest name raised and its list sorted anew.
    // Returns where it is.
    std::uint32_t RenameKey(std::uint32_t nk, std::wstring_view name);
    // The base block: the bins' size, the time, the checksum, and both
    // sequence numbers: one past the primary's when bumpSequence (hivex did
    // not commit first), and at least leastSequence. Throws HiveError when
    // the write fails.
    void Finish(bool bumpSequence, std::optional<std::uint32_t> leastSequence = std::nullopt);

    // The largest data one cell holds in a hive of minor version 4 or
    // more; larger data goes into a big data record of such segments.
    static constexpr std::uint32_t kSegmentBytes = 16344;

private:
    std::uint32_t Read32(std::uint32_t at);
    std::uint16_t Read16(std::uint32_t at);
    void Write32(std::uint32_t at, std::uint32_t value);
    // The file through the pages this writer touched: read once, written
    // back together at Finish (or once kCachedPages are held), so that a
    // write costs no system call.
    std::uint8_t* Page(std::uint64_t index);
    void Flush();
    void ReadBytes(std::uint64_t fileOffset, void* to, std::size_t size);
    void WriteBytes(std::uint64_t fileOffset, const void* from, std::size_t size);
    [[noreturn]] void Damaged(const std::wstring& what) const;

    // An allocated cell's size (its header's absolute value); refuses a
    // cell that is not allocated, outside the bins, or out of its bin.
    std::uint32_t AllocatedSize(std::uint32_t cell);
    void CheckRecord(std::uint32_t cell, const char* signature, std::uint32_t minimumBytes);
    // A cell holding at least bytes of data; its header says allocated.
    std::uint32_t Allocate(std::uint32_t bytes);
    void Free(std::uint32_t cell);
    void IndexFreeCells();
    // The bin holding cell (its start and size), or null outside every bin.
    const std::pair<std::uint32_t, std::uint32_t>* BinOf(std::uint32_t cell) const;
    void AddFree(std::uint32_t cell, std::uint32_t size);
    void RemoveFree(std::uint32_t cell);

    // The data's cells: inline (nothing), one cell, or a big data record.
    void FreeData(std::uint32_t vk);
    // Stores data and fills the vk's size and offset fields.
    void StoreData(std::uint32_t vk, std::span<const std::uint8_t> data, bool mayReuse);
    // The leaves of the key's sub key list: itself, or an "ri" index's.
    struct Leaf {
        std::uint32_t cell;
        std::string kind;  // "lf", "lh" or "li"
        std::uint16_t count;
        std::uint32_t width;  // bytes an element takes
    };
    std::vector<Leaf> LeavesOf(std::uint32_t nk);
    // A key's name as UTF-16 units, widened.
    std::wstring KeyNameUnits(std::uint32_t nk);
    void RaiseLimits(std::uint32_t nk, std::uint32_t nameBytes, std::uint32_t dataBytes);
    void Touch(std::uint32_t nk);  // the key's last written time

    static constexpr std::size_t kPage = 4096;
    static constexpr std::size_t kCachedPages = 4096;  // 16 MiB
    struct CachedPage {
        std::vector<std::uint8_t> bytes;
        bool dirty = false;
    };
    std::unordered_map<std::uint64_t, CachedPage> pages_;
    std::uint64_t fileEnd_ = 0;
    int descriptor_;
    std::wstring name_;
    std::uint32_t minorVersion_ = 0;
    std::uint32_t binsSize_ = 0;
    std::uint64_t now_ = 0;  // FILETIME of this commit
    std::vector<std::pair<std::uint32_t, std::uint32_t>> bins_;  // start, size; in order
    std::map<std::uint32_t, std::uint32_t> freeByStart_;
    std::set<std::pair<std::uint32_t, std::uint32_t>> freeBySize_;  // size, start
};

}  // namespace keyscour
