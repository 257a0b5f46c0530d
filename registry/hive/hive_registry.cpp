// The hive registry's handle on hivex: opening, key handles, closing.

#include "registry/hive/hive_registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "registry/hive/hive_internal.h"
#include "base/posix_handles.h"
#include "registry/hive/base_block.h"
#include "registry/hive/hive_lock.h"

namespace keyscour {

using namespace hive_detail;

HiveRegistry::HiveRegistry(const std::string& path, bool writable, CommitFunction commit, std::string readFrom)
    : path_(path), file_(ResolvedHivePath(path)), readFrom_(std::move(readFrom)), writable_(writable),
      commit_(std::move(commit)) {
    if (!commit_) commit_ = [](hive_h* hive, const char* to) { return hivex_commit(hive, to, 0); };
    RefuseIfCutShort();
    errno = 0;
    hive_ = hivex_open(Source().c_str(), 0);
    if (!hive_) {
        const int error = errno;
        throw HiveError{FromUtf8(path) + L": not a hive that can be read (" + ErrnoText(error) + L")"};
    }
    root_ = hivex_root(hive_);
    if (root_ == 0) {
        hivex_close(hive_);
        throw HiveError{FromUtf8(path) + L": the hive has no root key"};
    }
    // The record's length stands for the name's once the root bears it out.
    if (const malloced<char> rootName{hivex_node_name(hive_, root_)}) {
        const std::string_view name(rootName.get());
        const bool ascii = std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
        if (ascii && hivex_node_name_len(hive_, root_) == name.size() &&
            hivex_node_struct_length(hive_, root_) == kNameRecordHeader + name.size())
            nameRecordHeader_ = kNameRecordHeader;
    }
}

void HiveRegistry::RefuseIfCutShort() const {
    // A file shorter than its base block says is cut short: hivex would
    // read the bins that are there, and a walk meet the rest as damage.
    // Both the hive and what is read of it, its logs replayed.
    for (const std::string* path : {&file_, &Source()}) {
        const unique_fd file(::open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        std::uint8_t base[512] = {};
        struct stat info {};
        if (!file || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) continue;  // hivex says why
        if (::pread(file.get(), base, sizeof base, 0) < 0x2C || std::memcmp(base, "regf", 4) != 0) continue;
        // A dirty hive's own base block may be the part Windows was writing.
        if (path == &file_ && !readFrom_.empty() && !BaseBlockChecksOut(base)) continue;
        const std::uint64_t bins =
            base[0x28] | base[0x29] << 8 | base[0x2A] << 16 | static_cast<std::uint64_t>(base[0x2B]) << 24;
        const std::uint64_t size = static_cast<std::uint64_t>(info.st_size);
        if (size < 4096 + bins)
            throw HiveError{FromUtf8(path_) + L": cut short: its base block says " + std::to_wstring(4096 + bins) +
                            L" bytes, the file holds " + std::to_wstring(size)};
    }
}

HiveRegistry::~HiveRegistry() {
    if (hive_) hivex_close(hive_);
    if (sourceFile_ >= 0) ::close(sourceFile_);
    DropNewFile();
}

Status HiveRegistry::WritableHive() {
    if (!writable_) return status::kAccessDenied;
    if (hivexWritable_) return status::kSuccess;
    // The same file's cells at the same offsets: every node and value
    // handle, and all that was read of them, holds on.
    errno = 0;
    hive_h* writable = hivex_open(Source().c_str(), HIVEX_OPEN_WRITE);
    if (!writable) return StatusOfErrno(errno ? errno : EIO);
    hivex_close(hive_);
    hive_ = writable;
    hivexWritable_ = true;
    return status::kSuccess;
}

void HiveRegistry::NoteDamage(const std::wstring& what) {
    // A damaged cell is met once per visit; once per cell is enough to say.
    if (std::find(damage_.begin(), damage_.end(), what) == damage_.end()) damage_.push_back(what);
}

HiveRegistry::Open* HiveRegistry::OpenOf(KeyHandle key) {
    if (key < kFirstHandle || (key - kFirstHandle) % 4 != 0) return nullptr;
    const std::size_t slot = (key - kFirstHandle) / 4;
    return slot < handles_.size() && handles_[slot].node ? &handles_[slot] : nullptr;
}

HiveRegistry::Node HiveRegistry::NodeOf(KeyHandle key) {
    if (key == kRoot) return root_;
    const Open* open = OpenOf(key);
    return open ? open->node : 0;
}

KeyHandle HiveRegistry::NewHandle(Node node, bool writable) {
    std::uint32_t slot = 0;
    if (!freeSlots_.empty()) {
        slot = freeSlots_.back();
        freeSlots_.pop_back();
    } else {
        slot = static_cast<std::uint32_t>(handles_.size());
        handles_.emplace_back();
    }
    handles_[slot] = {node, writable, kNoSlot};
    return kFirstHandle + 4 * slot;
}

Status HiveRegistry::WritableNode(KeyHandle key, Node& node) {
    const Open* open = OpenOf(key);
    const bool root = key == kRoot;
    if (!root && !open) return status::kInvalidHandle;
    if (!writable_ || (!root && !open->writable)) return status::kAccessDenied;
    node = root ? root_ : open->node;
    return node ? status::kSuccess : status::kInvalidHandle;
}

void HiveRegistry::ForgetAll() {
    ForgetBranch();
    childrenSlotOf_.clear();
    for (auto& slot : childrenSlots_) slot.owner = 0;
    values_.node = 0;
    valueNamesOf_ = 0;
    lastValue_ = 0;
}

void HiveRegistry::Forget(Node node) {
    if (const auto it = childrenSlotOf_.find(node); it != childrenSlotOf_.end()) {
        childrenSlots_[it->second].owner = 0;
        childrenSlotOf_.erase(it);
    }
    if (values_.node == node) values_.node = 0;
    if (valueNamesOf_ == node) valueNamesOf_ = 0;
    lastValue_ = 0;
}

Status HiveRegistry::CloseKey(KeyHandle key) {
    if (key == kRoot) return status::kSuccess;
    if (!OpenOf(key)) return status::kInvalidHandle;
    const std::uint32_t slot = (key - kFirstHandle) / 4;
    handles_[slot] = {};
    freeSlots_.push_back(slot);
    return status::kSuccess;
}

}  // namespace keyscour
