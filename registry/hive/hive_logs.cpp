#include "registry/hive/hive_logs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <thread>

#include "base/file_util.h"
#include "base/marvin32.h"
#include "base/utf8.h"
#include "registry/hive/base_block.h"

namespace keyscour {

namespace {

constexpr std::size_t kSector = 512;
constexpr std::size_t kBaseBlock = 4096;
constexpr std::size_t kEntryHeader = 40;
constexpr std::uint32_t kLogOldFormat = 1, kLogOldFormatAlternate = 2, kLogNewFormat = 6;

using Bytes = std::vector<std::uint8_t>;

using View = std::span<const std::uint8_t>;

std::uint32_t Read32(View bytes, std::size_t at) {
    if (at + 4 > bytes.size()) return 0;
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}
std::uint64_t Read64(View bytes, std::size_t at) {
    return Read32(bytes, at) | static_cast<std::uint64_t>(Read32(bytes, at + 4)) << 32;
}
void Put32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

bool Signature(View bytes, std::size_t at, const char* four) {
    return at + 4 <= bytes.size() && std::equal(four, four + 4, bytes.begin() + static_cast<std::ptrdiff_t>(at));
}

// At most limit bytes of the file; false when it cannot be opened.
bool ReadStart(const std::string& path, std::size_t limit, Bytes& bytes) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return false;
    const std::streamoff size = in.tellg();
    in.seekg(0);
    bytes.resize(static_cast<std::size_t>(std::clamp<std::streamoff>(size, 0, static_cast<std::streamoff>(limit))));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return true;
}

std::wstring NameOf(const std::string& path) { return FromUtf8(path.substr(path.rfind('/') + 1)); }

std::wstring Upper(std::string name) {
    for (auto& c : name) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 0x20 : c);
    return FromUtf8(name);
}

// A file mapped for reading: a log is read where the page cache holds it.
class MappedFile {
public:
    explicit MappedFile(const std::string& path, int flags = 0) {
        // Never waiting on a FIFO or a device planted under a log's name.
        const unique_fd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        struct stat info {};
        if (!file || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) return;
        void* at = ::mmap(nullptr, static_cast<std::size_t>(info.st_size), PROT_READ, MAP_PRIVATE | flags, file.get(), 0);
        if (at == MAP_FAILED) return;
        ::madvise(at, static_cast<std::size_t>(info.st_size), MADV_SEQUENTIAL);
        bytes_ = View(static_cast<const std::uint8_t*>(at), static_cast<std::size_t>(info.st_size));
    }
    ~MappedFile() {
        if (!bytes_.empty()) ::munmap(const_cast<std::uint8_t*>(bytes_.data()), bytes_.size());
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    View Bytes() const { return bytes_; }

private:
    View bytes_;
};

// One entry of a new-format log, as its header and hashes say.
struct Entry {
    const struct Log* log;
    std::size_t at;
    std::uint32_t sequence;
    std::uint32_t binsSize;
    std::wstring fault;  // why it does not check out; empty when it does
};

struct Log {
    std::string path;
    std::wstring name;  // as the folder holds it
    std::unique_ptr<MappedFile> file;
    View bytes;
    std::uint32_t type = 0;
    bool baseBlockSound = false;  // signature and checksum
    // 0 for LOG1, 1 for LOG2, 2 for LOG: the order Windows applies them in.
    int rank = 2;
    std::vector<Entry> entries;  // a new-format log's, each checked once
};

// hashed: whether each entry's hashes are checked too, which only a replay
// needs; their sequence numbers alone tell a commit where to go past.
std::vector<Entry> EntriesOf(const Log& log, bool hashed) {
    std::vector<Entry> entries;
    const View bytes = log.bytes;
    const std::uint32_t clustering = Read32(bytes, 0x2C);
    std::size_t at = kSector * (clustering && clustering <= 8 ? clustering : 1);
    while (at + kEntryHeader <= bytes.size() && Signature(bytes, at, "HvLE")) {
        Entry entry{&log, at, Read32(bytes, at + 12), Read32(bytes, at + 16), {}};
        const std::uint32_t size = Read32(bytes, at + 4);
        const std::uint32_t pages = Read32(bytes, at + 20);
        if (size < kEntryHeader || size % kSector != 0 || at + size > bytes.size()) {
            entry.fault = L"its entry at offset " + std::to_wstring(at) + L" is cut short";
            entries.push_back(std::move(entry));
            break;
        }
        const std::span<const std::uint8_t> whole(bytes.data() + at, size);
        std::size_t pageBytes = 0;
        bool pagesFit = pages <= (size - kEntryHeader) / 8;
        for (std::uint32_t i = 0; pagesFit && i < pages; ++i) {
            const std::uint32_t offset = Read32(bytes, at + kEntryHeader + 8 * i);
            const std::uint32_t length = Read32(bytes, at + kEntryHeader + 8 * i + 4);
            pageBytes += length;
            pagesFit = length % 4096 == 0 && std::uint64_t{offset} + length <= entry.binsSize;
        }
        pagesFit = pagesFit && kEntryHeader + 8 * std::size_t{pages} + pageBytes <= size;
        if (hashed && (Marvin32(whole.subspan(kEntryHeader), kLogEntrySeed) != Read64(bytes, at + 24) ||
                       Marvin32(whole.first(32), kLogEntrySeed) != Read64(bytes, at + 32)))
            entry.fault = L"the hash of its entry " + std::to_wstring(entry.sequence) + L" does not match";
        else if (entry.binsSize == 0 || entry.binsSize % 4096 != 0 || !pagesFit)
            entry.fault = L"its entry " + std::to_wstring(entry.sequence) + L" names pages outside the hive";
        entries.push_back(std::move(entry));
        at += size;
    }
    return entries;
}

// A file of this process's own, for the recovered hive: an unnamed file in
// the temporary folder, mode 0600, that no name ever reaches (the kernel
// copies into a disk's page cache faster than into a memfd), else a memfd.
std::string TemporaryFolder() {
    const char* folder = std::getenv("TMPDIR");
    return folder && *folder ? folder : "/tmp";
}

std::shared_ptr<unique_fd> PrivateFile(std::wstring& failure) {
    int descriptor = ::open(TemporaryFolder().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (descriptor < 0) descriptor = ::memfd_create("keyscour-recovered-hive", MFD_CLOEXEC);
    if (descriptor < 0) {
        failure = L"the private copy to replay the logs into could not be made in " + FromUtf8(TemporaryFolder()) +
                  L" or in memory (" + ErrorText(errno) + L")";
        return nullptr;
    }
    return std::make_shared<unique_fd>(descriptor);
}

bool WriteAt(int descriptor, const std::uint8_t* bytes, std::size_t size, std::uint64_t at) {
    for (std::size_t done = 0; done < size;) {
        const ssize_t put = ::pwrite(descriptor, bytes + done, size - done, static_cast<off_t>(at + done));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += static_cast<std::size_t>(put);
    }
    return true;
}

// The hive's bytes copied into a private file by a thread of its own while
// the logs are read and their hashes checked: the copy is the dearest part
// of a replay.
class ImageCopy {
public:
    explicit ImageCopy(const std::string& hivePath) : file_(PrivateFile(failure_)) {
        if (!file_) return;
        copier_ = std::thread([this, hivePath] {
            // Written from a map of the hive, in one call: the kernel makes
            // the pages of the copy in bulk. The map goes before hivex maps
            // the copy.
            const MappedFile hive(hivePath, MAP_POPULATE);
            size_ = hive.Bytes().size();
            if (size_ == 0) error_ = errno ? errno : EIO;
            else if (!WriteAt(file_->get(), hive.Bytes().data(), size_, 0)) error_ = errno ? errno : EIO;
        });
    }
    ~ImageCopy() { Finish(); }
    ImageCopy(const ImageCopy&) = delete;
    ImageCopy& operator=(const ImageCopy&) = delete;

    // Waits for the copy; 0 or the errno of what failed.
    int Finish() {
        if (copier_.joinable()) copier_.join();
        return file_ ? error_ : EIO;
    }
    std::shared_ptr<unique_fd> File() const { return file_; }
    std::size_t Size() const { return size_; }
    const std::wstring& Failure() const { return failure_; }

private:
    std::wstring failure_;
    std::shared_ptr<unique_fd> file_;
    std::size_t size_ = 0;
    int error_ = 0;
    std::thread copier_;
};

// Builds the recovered hive: the primary's bytes, then what the logs hold.
class Replay {
public:
    Replay(const std::string& hivePath, const Bytes& primaryBase, std::vector<Log>& logs, ImageCopy& copy,
           HiveLogState& state)
        : hivePath_(hivePath), base_(primaryBase), logs_(logs), copy_(copy), state_(state) {}

    void Run() {
        const bool primarySound = BaseBlockChecksOut(base_);
        const auto newFormat = std::find_if(logs_.begin(), logs_.end(), [](const Log& log) { return log.type == kLogNewFormat; });
        if (newFormat != logs_.end()) return NewFormat(primarySound);
        const auto oldFormat = std::find_if(logs_.begin(), logs_.end(), [](const Log& log) {
            return log.type == kLogOldFormat || log.type == kLogOldFormatAlternate;
        });
        if (oldFormat != logs_.end()) return OldFormat(primarySound);
        Fail(logs_.empty() ? L"no transaction log lies beside it" : L"none of its logs holds what it needs");
    }

private:
    void Fail(const std::wstring& why) { state_.failure = why; }
    // The private copy, not the logs, failed: said with its folder.
    void FailCopy(const std::wstring& what, int error) {
        Fail(L"the private copy of the hive " + what + L" in " + FromUtf8(TemporaryFolder()) + L" (" + ErrorText(error) + L")");
        state_.copyFailed = true;
    }

    // The primary's bytes into the private file, whose base block is then
    // made from base, a sector at most.
    bool Start(const std::uint8_t* baseSector) {
        const int error = copy_.Finish();
        state_.image = copy_.File();
        if (!state_.image || error != 0) {
            if (copy_.Failure().empty()) {
                FailCopy(L"to replay its logs into could not be written", error);
            } else {
                Fail(copy_.Failure());
                state_.copyFailed = true;
            }
            return false;
        }
        size_ = copy_.Size();
        std::copy(baseSector, baseSector + kSector, recovered_);
        return true;
    }

    bool Write(const std::uint8_t* bytes, std::size_t size, std::uint64_t at) {
        // A page that starts a bin: its header, to be checked at the end.
        if ((at - kBaseBlock) % 4096 == 0 && size >= 32 && std::memcmp(bytes, "hbin", 4) == 0)
            binsWritten_[static_cast<std::uint32_t>(at - kBaseBlock)] = Bytes(bytes, bytes + 32);
        if (!WriteAt(state_.image->get(), bytes, size, at)) {
            FailCopy(L"could not take what the logs hold", errno);
            return false;
        }
        size_ = std::max(size_, at + size);
        return true;
    }

    // The recovered base block: a primary file's, at sequence, its bins the
    // size given; then every bin the logs wrote checked.
    bool Finish(std::uint32_t sequence, std::uint32_t binsSize) {
        Put32(recovered_ + 0x04, sequence);
        Put32(recovered_ + 0x08, sequence);
        Put32(recovered_ + 0x1C, 0);
        Put32(recovered_ + 0x28, binsSize);
        Put32(recovered_ + 0x1FC, BaseBlockChecksum(recovered_));
        if (!Write(recovered_, kSector, 0)) return false;
        if (size_ < kBaseBlock + binsSize && ::ftruncate(state_.image->get(), static_cast<off_t>(kBaseBlock + binsSize)) != 0) {
            FailCopy(L"could not grow", errno);
            return false;
        }
        // The bins the logs wrote must be bins where they lie; hivex checks
        // every bin again when it opens the copy.
        for (const auto& [at, header] : binsWritten_) {
            const std::uint32_t size = Read32(header, 8);
            if (Read32(header, 4) != at || size == 0 || size % 4096 != 0 || std::uint64_t{at} + size > binsSize) {
                Fail(L"after the logs, the hive bin at offset " + std::to_wstring(at) + L" does not check out");
                return false;
            }
        }
        state_.recovered = true;
        return true;
    }

    // Windows' rules for logs of the new format. A log whose base block is
    // numbered below the hive's secondary number was written before the
    // hive was last whole: stale, and passed over. Of the others, the log
    // numbered lower goes first, from its first entry, which must bear its
    // number; entries then go on N+1, N+2, ... across into the other log,
    // and recovery stops at the first that does not check out or does not
    // follow. A hive whose own base block is bad takes the base block of
    // the log holding the latest entries, and only that log's entries.
    void NewFormat(bool primarySound) {
        std::vector<const Log*> order;
        for (const Log& log : logs_)
            if (log.type == kLogNewFormat && log.baseBlockSound && !log.entries.empty()) order.push_back(&log);
        const auto number = [](const Log* log) { return Read32(log->bytes, 0x04); };
        // Ordered as numbers that wrap are: by how far each is past the hive's.
        const std::uint32_t floor = Read32(base_, 0x08);
        std::stable_sort(order.begin(), order.end(), [&](const Log* a, const Log* b) {
            const std::int32_t aheadA = static_cast<std::int32_t>(number(a) - floor);
            const std::int32_t aheadB = static_cast<std::int32_t>(number(b) - floor);
            return aheadA != aheadB ? aheadA < aheadB : a->rank < b->rank;
        });
        if (primarySound) {
            std::erase_if(order, [&](const Log* log) { return static_cast<std::int32_t>(number(log) - floor) < 0; });
            if (order.empty())
                return Fail(L"none of its logs holds entries from its sequence number " + std::to_wstring(floor) + L" on");
        } else {
            if (order.empty()) return Fail(L"its base block does not check out, nor does that of any log beside it");
            order.erase(order.begin(), order.end() - 1);
        }
        const Log& first = *order.front();
        const std::uint32_t start = number(&first);
        std::uint32_t expected = start, binsSize = Read32(base_, 0x28), flags = 0;
        for (const Log* log : order) {
            const std::uint32_t from = expected;
            bool stopped = false;
            for (const Entry& entry : log->entries) {
                if (entry.sequence != expected || !entry.fault.empty()) {
                    if (expected == start)
                        return Fail(log->name + L": " +
                                    (entry.fault.empty() ? L"its first entry, " + std::to_wstring(entry.sequence) +
                                                               L", does not bear its sequence number " +
                                                               std::to_wstring(start)
                                                         : entry.fault));
                    stopped = !entry.fault.empty();  // the other log cannot follow a bad entry
                    break;
                }
                if (expected == start && !Start(primarySound ? base_.data() : first.bytes.data())) return;
                if (!Apply(entry)) return;
                binsSize = entry.binsSize;
                flags = Read32(log->bytes, entry.at + 8);
                ++expected;
            }
            if (expected != from) {
                const std::uint32_t last = expected - 1;
                state_.applied.push_back(log->name + L": " + std::to_wstring(expected - from) +
                                         (last == from ? L" entry (" + std::to_wstring(from) + L")"
                                                       : L" entries (" + std::to_wstring(from) + L" to " +
                                                             std::to_wstring(last) + L")"));
            }
            if (stopped || expected == from) break;
        }
        // Bit 0 of the base block's flags is the last entry's.
        Put32(recovered_ + 0x90, (Read32(View(recovered_, kSector), 0x90) & ~1u) | (flags & 1u));
        Finish(expected - 1, binsSize);
    }

    bool Apply(const Entry& entry) {
        const View bytes = entry.log->bytes;
        const std::uint32_t pages = Read32(bytes, entry.at + 20);
        std::size_t data = entry.at + kEntryHeader + 8 * std::size_t{pages};
        for (std::uint32_t i = 0; i < pages; ++i) {
            const std::uint32_t offset = Read32(bytes, entry.at + kEntryHeader + 8 * i);
            const std::uint32_t length = Read32(bytes, entry.at + kEntryHeader + 8 * i + 4);
            if (!Write(bytes.data() + data, length, kBaseBlock + offset)) return false;
            data += length;
        }
        return true;
    }

    // The one applicable log: a sound base block at equal numbers whose time
    // is the primary's (the first bin's when the primary's base block is
    // bad), LOG1 before LOG2; its dirty vector names the 512-byte pages.
    void OldFormat(bool primarySound) {
        Bytes firstBin;
        ReadStart(hivePath_, kBaseBlock + 32, firstBin);
        const std::uint64_t written = primarySound ? Read64(base_, 0x0C) : Read64(firstBin, kBaseBlock + 20);
        const Log* chosen = nullptr;
        for (const Log& log : logs_) {
            if (log.type != kLogOldFormat && log.type != kLogOldFormatAlternate) continue;
            if (!log.baseBlockSound || Read32(log.bytes, 4) != Read32(log.bytes, 8) || Read64(log.bytes, 0x0C) != written)
                continue;
            if (!chosen || log.rank < chosen->rank) chosen = &log;
        }
        if (!chosen) return Fail(L"no old-format log beside it is sound and of its time");
        const View bytes = chosen->bytes;
        const std::uint32_t clustering = Read32(bytes, 0x2C);
        const std::size_t vector = kSector * (clustering && clustering <= 8 ? clustering : 1);
        const std::uint32_t binsSize = Read32(bytes, 0x28);
        const std::size_t bitmapBytes = binsSize / kSector / 8;
        if (!Signature(bytes, vector, "DIRT") || vector + 4 + bitmapBytes > bytes.size())
            return Fail(chosen->name + L": its dirty vector cannot be read");
        std::size_t page = (vector + 4 + bitmapBytes + kSector - 1) / kSector * kSector;
        if (!Start(bytes.data())) return;
        std::size_t count = 0;
        for (std::size_t bit = 0; bit < binsSize / kSector; ++bit) {
            if (!(bytes[vector + 4 + bit / 8] >> (bit % 8) & 1)) continue;
            if (page + kSector > bytes.size()) return Fail(chosen->name + L": its dirty pages are cut short");
            if (!Write(bytes.data() + page, kSector, kBaseBlock + kSector * bit)) return;
            page += kSector;
            ++count;
        }
        state_.applied.push_back(chosen->name + L": " + std::to_wstring(count) + L" dirty pages (old format)");
        Finish(Read32(bytes, 4), binsSize);
    }

    const std::string& hivePath_;
    const Bytes& base_;
    std::vector<Log>& logs_;
    ImageCopy& copy_;
    HiveLogState& state_;
    std::uint8_t recovered_[kSector] = {};
    std::uint64_t size_ = 0;
    std::map<std::uint32_t, Bytes> binsWritten_;
};

}  // namespace

std::string HiveLogState::ImagePath() const {
    return image ? "/proc/self/fd/" + std::to_string(image->get()) : std::string();
}

HiveLogState CheckTransactionLogs(const std::string& hivePath, bool replay) {
    HiveLogState state;
    Bytes base;
    if (!ReadStart(hivePath, kBaseBlock, base) || base.size() < kSector || !Signature(base, 0, "regf"))
        return state;  // not a hive at all: hivex says so
    const std::uint32_t primary = Read32(base, 0x04);
    const std::uint32_t secondary = Read32(base, 0x08);
    const std::wstring name = FromUtf8(hivePath);
    if (!BaseBlockChecksOut(base)) {
        state.dirty = true;
        state.reasons.push_back(name + L": its base block's checksum does not match");
    } else if (primary != secondary) {
        state.dirty = true;
        state.reasons.push_back(name + L": its base block's sequence numbers differ (" + std::to_wstring(primary) +
                                L" and " + std::to_wstring(secondary) + L")");
    }

    // The copy a replay needs, begun while the logs are read.
    std::optional<ImageCopy> copy;
    if (state.dirty && replay) copy.emplace(hivePath);
    state.logs = TransactionLogPaths(hivePath);
    std::vector<Log> logs;
    logs.reserve(state.logs.size());  // entries point at their log: never moved
    // The numbers wrap past 0xFFFFFFFF: the latest is the one furthest ahead.
    std::uint32_t highest = LaterSequence(primary, secondary);
    const std::wstring hiveName = Upper(hivePath.substr(hivePath.rfind('/') + 1));
    for (const auto& path : state.logs) {
        Log log;
        log.path = path;
        log.name = NameOf(path);
        log.file = std::make_unique<MappedFile>(path);
        log.bytes = log.file->Bytes();
        if (log.bytes.empty()) continue;  // empty beside a clean hive, or not to be read
        const std::wstring suffix = Upper(path.substr(path.rfind('/') + 1)).substr(hiveName.size());
        log.rank = suffix == L".LOG1" ? 0 : suffix == L".LOG2" ? 1 : 2;
        log.type = Read32(log.bytes, 0x1C);
        log.baseBlockSound = BaseBlockChecksOut(log.bytes);
        if (log.baseBlockSound)
            highest = LaterSequence(LaterSequence(highest, Read32(log.bytes, 4)), Read32(log.bytes, 8));
        logs.push_back(std::move(log));
        if (logs.back().type == kLogNewFormat) {
            logs.back().entries = EntriesOf(logs.back(), copy.has_value());  // its own address from now on
            for (const Entry& entry : logs.back().entries) highest = LaterSequence(highest, entry.sequence);
        }
    }
    state.commitSequence = highest + 1;
    if (copy) {
        Replay(hivePath, base, logs, *copy, state).Run();
        if (!state.recovered) state.image.reset();
    }
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
        if (suffix != ".LOG" && suffix != ".LOG1" && suffix != ".LOG2") continue;
        // Only regular files are logs: a FIFO under the name would hold
        // every reader up.
        const std::string path = (slash == std::string::npos ? "" : folder + "/") + entry->d_name;
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) logs.push_back(path);
    }
    ::closedir(directory);
    std::sort(logs.begin(), logs.end());
    return logs;
}

}  // namespace keyscour
