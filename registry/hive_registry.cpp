#include "registry/hive_registry.h"

#include <fcntl.h>
#include <hivex.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/unicode_case.h"
#include "base/utf8.h"
#include "registry/hive_lock.h"
#include "registry/hive_value_writer.h"

namespace keyscour {

namespace {

constexpr std::size_t kMaxKeyNameChars = 255;
constexpr std::size_t kMaxDepth = 512;  // levels of keys below a root, as Windows allows
// Bounds on what is kept of a walk: enough for its current branch many
// times over, and far below the memory of a large hive.
constexpr std::size_t kChildrenCacheLimit = 1 << 10;
// A key's record holds 76 bytes before its name, after the cell's 4-byte
// size: hivex's length of the record is those 80 and the name's bytes.
constexpr std::size_t kNameRecordHeader = 80;
constexpr std::uint16_t kTombstone = 0x0002;  // a value record's flag

// hivex hands out malloc'd memory.
struct Freed {
    void operator()(void* p) const noexcept { std::free(p); }
};
template <typename T>
using malloced = std::unique_ptr<T, Freed>;

Status StatusOfErrno(int error) {
    switch (error) {
    case ENOENT: return status::kNotFound;
    case EACCES:
    case EPERM:
    case EROFS: return status::kAccessDenied;
    case ENOMEM: return 8;  // ERROR_NOT_ENOUGH_MEMORY
    case ERANGE:
    case EINVAL: return status::kBadPathname;
    default: return status::kFileCorrupt;
    }
}

// A value's type as hivex keeps it: any 32-bit number, while C++ may only
// hold the enumeration's own values in a hive_type. The bytes are read,
// never the enumeration's value.
static_assert(sizeof(hive_type) == sizeof(std::uint32_t));
std::uint32_t TypeNumber(const hive_type& type) {
    std::uint32_t number = 0;
    std::memcpy(&number, &type, sizeof number);
    return number;
}

// The length of text when it is ASCII to its NUL, with no backslash, as
// nearly every name is, else npos: such text widens a byte a character,
// and a path can hold it.
std::size_t PlainAsciiLength(const char* text) {
    std::size_t length = 0;
    for (unsigned char c; (c = static_cast<unsigned char>(text[length])) - 1u < 0x7Fu && c != '\\';) ++length;
    return text[length] == '\0' ? length : std::string::npos;
}

std::wstring ErrnoText(int error) { return FromUtf8(std::strerror(error)); }

std::wstring Hex(std::size_t offset) {
    wchar_t text[24];
    std::swprintf(text, 24, L"0x%zx", offset);
    return text;
}

// Splits a path into its parts; false for an empty part (a trailing
// backslash is forgiven, as the platform forgives it).
bool PartsOf(std::wstring_view path, std::vector<std::wstring_view>& parts) {
    parts.clear();
    if (!path.empty() && path.back() == L'\\') path.remove_suffix(1);
    if (path.empty()) return true;
    for (;;) {
        const std::size_t slash = path.find(L'\\');
        const std::wstring_view part = path.substr(0, slash);
        if (part.empty()) return false;
        parts.push_back(part);
        if (slash == std::wstring_view::npos) return true;
        path.remove_prefix(slash + 1);
    }
}

}  // namespace

HiveRegistry::HiveRegistry(const std::string& path, bool writable, CommitFunction commit, std::string readFrom)
    : path_(path), file_(ResolvedHivePath(path)), readFrom_(std::move(readFrom)), writable_(writable),
      commit_(std::move(commit)) {
    if (!commit_) commit_ = [](hive_h* hive, const char* to) { return hivex_commit(hive, to, 0); };
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

HiveRegistry::~HiveRegistry() {
    if (hive_) hivex_close(hive_);
    if (sourceFile_ >= 0) ::close(sourceFile_);
    DropNewFile();
}

std::uint16_t HiveRegistry::ValueFlags(std::size_t value) {
    if (sourceFile_ < 0) sourceFile_ = ::open(Source().c_str(), O_RDONLY | O_CLOEXEC);
    std::uint8_t flags[2] = {};
    // hivex's handle is the cell's file offset; the flags lie 20 bytes in.
    if (sourceFile_ < 0 || ::pread(sourceFile_, flags, 2, static_cast<off_t>(value + 20)) != 2) return 0;
    return static_cast<std::uint16_t>(flags[0] | flags[1] << 8);
}

bool HiveRegistry::IsTombstone(KeyHandle key, std::uint32_t index) {
    const Node node = NodeOf(key);
    if (!node || (!edited_.count(node) && !ValuesOf(node)) || index >= ValueCount(node)) return false;
    const EditedValue* edited = nullptr;
    const std::size_t value = ValueAt(node, index, edited);
    return value && (ValueFlags(value) & kTombstone) != 0;
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

bool HiveRegistry::ReadHiveValue(std::size_t value, std::uint32_t& type, std::unique_ptr<char, void (*)(void*)>& data,
                                 std::size_t& length) {
    hive_type t{};
    length = 0;
    errno = 0;
    data.reset(hivex_value_value(hive_, value, &t, &length));
    if (data) {
        type = TypeNumber(t);
        return true;
    }
    // hivex follows the data offset even when the size is 0.
    if (hivex_value_type(hive_, value, &t, &length) != 0 || length != 0) return false;
    type = TypeNumber(t);
    data.reset(static_cast<char*>(std::malloc(1)));
    return data != nullptr;
}

HiveRegistry::EditedKey* HiveRegistry::EditedOf(Node node) {
    if (const auto it = edited_.find(node); it != edited_.end()) return &it->second;
    if (ReadValueNames(node) != status::kSuccess) return nullptr;
    EditedKey key;
    key.originals = values_.handles;
    for (std::size_t i = 0; i < key.originals.size(); ++i) {
        EditedValue value;
        value.original = key.originals[i];
        value.name8 = valueNames_[i];
        key.values.push_back(std::move(value));
    }
    return &edited_.emplace(node, std::move(key)).first->second;
}

std::size_t HiveRegistry::ValueCount(Node node) {
    if (const auto it = edited_.find(node); it != edited_.end()) return it->second.values.size();
    const Values* values = ValuesOf(node);
    return values ? values->handles.size() : 0;
}

std::size_t HiveRegistry::ValueAt(Node node, std::size_t index, const EditedValue*& edited) {
    edited = nullptr;
    if (const auto it = edited_.find(node); it != edited_.end()) {
        const EditedValue& value = it->second.values[index];
        if (value.changed) edited = &value;
        return value.original;
    }
    return values_.handles[index];
}

Status HiveRegistry::QueryValueLimits(KeyHandle key, std::uint32_t& longestNameChars, std::uint32_t& largestDataBytes) {
    const Node node = NodeOf(key);
    if (node == 0) return status::kInvalidHandle;
    if (!edited_.count(node) && !ValuesOf(node)) return status::kFileCorrupt;
    longestNameChars = largestDataBytes = 0;
    for (std::size_t i = 0, count = ValueCount(node); i < count; ++i) {
        const EditedValue* edited = nullptr;
        const std::size_t value = ValueAt(node, i, edited);
        if (edited) {  // every value added is one
            longestNameChars = std::max(longestNameChars, static_cast<std::uint32_t>(edited->name8.size()));
            largestDataBytes = std::max(largestDataBytes, static_cast<std::uint32_t>(edited->data.size()));
            continue;
        }
        longestNameChars = std::max(longestNameChars, static_cast<std::uint32_t>(hivex_value_key_len(hive_, value)));
        hive_type type{};
        std::size_t length = 0;
        if (hivex_value_type(hive_, value, &type, &length) == 0)
            largestDataBytes = std::max(largestDataBytes, static_cast<std::uint32_t>(length));
    }
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

HiveRegistry::Node HiveRegistry::Children::Find(std::wstring_view part, std::wstring& foldedPart) {
    if (lastEnumerated < nodes.size() && Name(lastEnumerated) == part) return nodes[lastEnumerated];
    if (!indexed) {
        UpperCaseInto(names, folded);
        byFolded.resize(nodes.size());
        for (std::uint32_t i = 0; i < byFolded.size(); ++i) byFolded[i] = i;
        // A hive keeps its lists in upper-case order already, as a rule.
        const auto inOrder = [this](std::uint32_t a, std::uint32_t b) { return Folded(a) < Folded(b); };
        if (!std::is_sorted(byFolded.begin(), byFolded.end(), inOrder)) std::sort(byFolded.begin(), byFolded.end(), inOrder);
        indexed = true;
    }
    UpperCaseInto(part, foldedPart);
    const std::wstring_view key(foldedPart);
    const auto it = std::lower_bound(byFolded.begin(), byFolded.end(), key,
                                     [this](std::uint32_t i, std::wstring_view f) { return Folded(i) < f; });
    return it != byFolded.end() && Folded(*it) == key ? nodes[*it] : 0;
}

HiveRegistry::NameRead HiveRegistry::AppendNameOf(Node node, std::wstring& names) {
    errno = 0;
    const malloced<char> name8(hivex_node_name(hive_, node));
    if (!name8) {
        NoteDamage(L"the name of the key at " + Hex(node) + L" cannot be read (" + ErrnoText(errno) + L")");
        return NameRead::kUnreadable;
    }
    const std::size_t start = names.size();
    const bool plain = AppendWide(name8.get(), names);
    // A name kept in Latin-1, as nearly every one is, has a character for
    // each of its record's bytes. Any other (UTF-16, or one that goes on
    // past a NUL) takes the length hivex works out.
    if (nameRecordHeader_ && hivex_node_struct_length(hive_, node) == nameRecordHeader_ + names.size() - start)
        return plain ? NameRead::kPlain : NameRead::kOther;
    FromUtf8(std::string_view(name8.get(), hivex_node_name_len(hive_, node)), name_);
    names.resize(start);
    names.append(name_);
    return NameRead::kOther;
}

bool HiveRegistry::AppendWide(const char* utf8, std::wstring& to) {
    if (const std::size_t plain = PlainAsciiLength(utf8); plain != std::string::npos) {
        const std::size_t start = to.size();
        to.resize(start + plain);
        std::copy(utf8, utf8 + plain, to.begin() + static_cast<std::ptrdiff_t>(start));
        return true;
    }
    FromUtf8(utf8, wide_);
    to.append(wide_);
    return false;
}

HiveRegistry::Children* HiveRegistry::ChildrenOf(Node node, std::uint32_t& slotHint) {
    if (slotHint < childrenSlots_.size() && childrenSlots_[slotHint].owner == node) return &childrenSlots_[slotHint];
    // Most keys have no sub keys: their count says so without a list, and
    // nothing is kept for them.
    static Children kNone;
    errno = 0;
    if (hivex_node_nr_children(hive_, node) == 0 && errno == 0) return &kNone;
    if (const auto it = childrenSlotOf_.find(node); it != childrenSlotOf_.end()) {
        slotHint = it->second;
        return &childrenSlots_[it->second];
    }
    const malloced<hive_node_h> list(hivex_node_children(hive_, node));
    if (!list) {
        NoteDamage(L"the sub key list of the key at " + Hex(node) + L" cannot be read (" + ErrnoText(errno) + L")");
        return nullptr;
    }
    if (!list.get()[0]) return &kNone;
    if (childrenSlots_.size() < kChildrenCacheLimit) childrenSlots_.emplace_back();
    const std::uint32_t slot = nextChildrenSlot_;
    slotHint = slot;
    nextChildrenSlot_ = (nextChildrenSlot_ + 1) % kChildrenCacheLimit;
    Children& children = childrenSlots_[slot];
    // The list the slot held before goes.
    if (children.owner) childrenSlotOf_.erase(children.owner);
    children.owner = node;
    childrenSlotOf_[node] = slot;
    children.nodes.clear();
    children.nameEnds.clear();
    children.names.clear();
    children.folded.clear();
    children.indexed = false;
    children.lastEnumerated = 0;
    for (const hive_node_h* child = list.get(); *child; ++child) {
        const std::size_t start = children.names.size();
        const NameRead read = AppendNameOf(*child, children.names);
        if (read == NameRead::kUnreadable) continue;
        // A path cannot name such a key: opening it would open another one,
        // its parent or the root, and a walk into it would not end.
        std::uint32_t unpathable = children.names.size() == start;
        for (std::size_t i = start; read == NameRead::kOther && i < children.names.size(); ++i) {
            const wchar_t c = children.names[i];
            unpathable += (c == L'\\') | (c == L'\0');
        }
        if (unpathable) {
            children.names.resize(start);
            NoteDamage(L"the key at " + Hex(*child) + L" has a name no path can hold; it is skipped");
            continue;
        }
        children.nameEnds.push_back(children.names.size());
        children.nodes.push_back(*child);
    }
    return &children;
}

bool HiveRegistry::LeadsBack(Node node) const {
    return node == root_ || std::any_of(branch_.begin(), branch_.end(), [node](const Step& step) { return step.node == node; });
}

bool HiveRegistry::LiesIn(std::wstring_view path, std::size_t depth) const {
    if (depth == 0) return true;
    const std::size_t end = branch_[depth - 1].end;
    return path.size() >= end && (path.size() == end || path[end] == L'\\') &&
           path.substr(0, end) == std::wstring_view(branchPath_).substr(0, end);
}

void HiveRegistry::ForgetBranch() {
    branchPath_.clear();
    branch_.clear();
}

HiveRegistry::Node HiveRegistry::Child(Node node, std::uint32_t& slotHint, std::wstring_view part, Status& status) {
    if (part.empty()) {
        status = status::kNotFound;
        return 0;
    }
    Children* children = ChildrenOf(node, slotHint);
    if (!children) {
        status = status::kFileCorrupt;
        return 0;
    }
    const Node child = children->Find(part, foldedPart_);
    if (!child) status = status::kNotFound;
    return child;
}

HiveRegistry::Node HiveRegistry::Resolve(Node from, std::wstring_view path, Status& status) {
    status = status::kSuccess;
    // A trailing backslash is forgiven, as the platform forgives it.
    if (!path.empty() && path.back() == L'\\') path.remove_suffix(1);
    if (path.empty()) return from;
    const auto tooDeep = [&] {
        NoteDamage(L"a key lies deeper than the " + std::to_wstring(kMaxDepth) + L" levels Windows allows; it is skipped");
        status = status::kBadPathname;
        return Node{0};
    };
    if (from != root_) {
        Node node = from;
        for (std::size_t at = 0, depth = 1;; ++depth) {
            if (depth > kMaxDepth) return tooDeep();
            const std::size_t slash = path.find(L'\\', at);
            std::uint32_t hint = kNoSlot;
            node = Child(node, hint, path.substr(at, slash == std::wstring_view::npos ? slash : slash - at), status);
            if (!node || slash == std::wstring_view::npos) return node;
            at = slash + 1;
        }
    }
    // Down from the deepest key of the branch that path lies in. The walk
    // opens the branch's last key again, a key just below it, or its next
    // sibling; anything else is found by where path and branch part.
    std::size_t depth = branch_.size();
    if (!LiesIn(path, depth)) {
        if (depth > 0 && LiesIn(path, depth - 1)) {
            --depth;
        } else {
            const std::wstring_view branch(branchPath_);
            const std::size_t common = static_cast<std::size_t>(
                std::mismatch(path.begin(), path.end(), branch.begin(), branch.end()).first - path.begin());
            for (; depth > 0; --depth) {
                const std::size_t end = branch_[depth - 1].end;
                if (end <= common && (end == path.size() || path[end] == L'\\')) break;
            }
        }
        branch_.resize(depth);
        branchPath_.resize(depth ? branch_.back().end : 0);
    }
    if (depth > 0 && branch_.back().end == path.size()) return branch_.back().node;
    Node node = depth ? branch_.back().node : root_;
    for (std::size_t at = depth ? branchPath_.size() + 1 : 0;;) {
        const std::size_t slash = path.find(L'\\', at);
        const std::wstring_view part = path.substr(at, slash == std::wstring_view::npos ? slash : slash - at);
        if (branch_.size() >= kMaxDepth) return tooDeep();
        std::uint32_t& hint = branch_.empty() ? rootChildren_ : branch_.back().children;
        node = Child(node, hint, part, status);
        if (!node) return 0;
        // A crafted hive can lead a key's list back to the key or an
        // ancestor of it: such a key is walked once, not without end.
        if (LeadsBack(node)) {
            NoteDamage(L"the key " + std::wstring(path.substr(0, slash)) + L" leads back to a key above it; it is skipped");
            status = status::kFileCorrupt;
            return 0;
        }
        if (!branch_.empty()) branchPath_ += L'\\';
        branchPath_.append(part);
        branch_.push_back({branchPath_.size(), node, kNoSlot});
        if (slash == std::wstring_view::npos) return node;
        at = slash + 1;
    }
}

const HiveRegistry::Values* HiveRegistry::ValuesOf(Node node) {
    if (values_.node == node) return &values_;
    errno = 0;
    const malloced<hive_value_h> list(hivex_node_values(hive_, node));
    if (!list) {
        NoteDamage(L"the value list of the key at " + Hex(node) + L" cannot be read (" + ErrnoText(errno) + L")");
        values_.node = 0;
        return nullptr;
    }
    values_.node = node;
    values_.handles.clear();
    for (const hive_value_h* value = list.get(); *value; ++value) values_.handles.push_back(*value);
    return &values_;
}

Status HiveRegistry::ReadValueNames(Node node) {
    valueNames_.clear();
    if (const auto it = edited_.find(node); it != edited_.end()) {
        for (const auto& value : it->second.values) valueNames_.push_back(value.name8);
        return status::kSuccess;
    }
    const Values* values = ValuesOf(node);
    if (!values) return status::kFileCorrupt;
    for (const std::size_t value : values->handles) {
        errno = 0;
        const malloced<char> key8(hivex_value_key(hive_, value));
        if (!key8) return StatusOfErrno(errno);
        if (hivex_value_key_len(hive_, value) != std::strlen(key8.get())) {
            NoteDamage(L"the key at " + Hex(node) +
                       L" holds a value whose name goes on past a NUL, which a path cannot name; the key is left as it is");
            return status::kFileCorrupt;
        }
        valueNames_.emplace_back(key8.get());
    }
    return status::kSuccess;
}

std::size_t HiveRegistry::FindValue(Node node, std::wstring_view name, Status& status) {
    status = ReadValueNames(node);
    if (status != status::kSuccess) return std::string::npos;
    const std::wstring folded = UpperCased(name);
    for (std::size_t i = 0; i < valueNames_.size(); ++i)
        if (UpperCased(FromUtf8(valueNames_[i])) == folded) return i;
    status = status::kNotFound;
    return std::string::npos;
}

Status HiveRegistry::WritableNode(KeyHandle key, Node& node) {
    const Open* open = OpenOf(key);
    const bool root = key == kRoot;
    if (!root && !open) return status::kInvalidHandle;
    if (!writable_ || (!root && !open->writable)) return status::kAccessDenied;
    node = root ? root_ : open->node;
    return node ? status::kSuccess : status::kInvalidHandle;
}

void HiveRegistry::Forget(Node node) {
    if (const auto it = childrenSlotOf_.find(node); it != childrenSlotOf_.end()) {
        childrenSlots_[it->second].owner = 0;
        childrenSlotOf_.erase(it);
    }
    if (values_.node == node) values_.node = 0;
    lastValue_ = 0;
}

Status HiveRegistry::OpenKey(KeyHandle root, const std::wstring& path, KeyHandle& key) {
    key = 0;
    const Node from = NodeOf(root);
    if (!from) return status::kInvalidHandle;
    Status result;
    const Node node = Resolve(from, path, result);
    if (!node) return result;
    key = NewHandle(node, false);
    return status::kSuccess;
}

Status HiveRegistry::EnumKey(KeyHandle key, std::uint32_t index, wchar_t* name, std::uint32_t nameChars) {
    Open* open = OpenOf(key);
    const Node node = key == kRoot ? root_ : open ? open->node : 0;
    if (!node) return status::kInvalidHandle;
    Children* children = ChildrenOf(node, open ? open->children : rootChildren_);
    if (!children) return status::kFileCorrupt;
    if (index >= children->nodes.size()) return status::kNoMoreItems;
    const std::wstring_view childName = children->Name(index);
    if (childName.size() + 1 > nameChars) return status::kMoreData;
    children->lastEnumerated = index;  // the key a walk opens next
    std::copy(childName.begin(), childName.end(), name);
    name[childName.size()] = L'\0';
    return status::kSuccess;
}

Status HiveRegistry::EnumValue(KeyHandle key, std::uint32_t index, wchar_t* name, std::uint32_t& nameChars,
                               std::uint32_t& type, std::uint8_t* data, std::uint32_t& dataBytes) {
    const Node node = NodeOf(key);
    if (!node) return status::kInvalidHandle;
    if (!edited_.count(node) && !ValuesOf(node)) return status::kFileCorrupt;
    if (index >= ValueCount(node)) return status::kNoMoreItems;
    const EditedValue* edited = nullptr;
    const hive_value_h value = ValueAt(node, index, edited);

    const char* dataBytesRead = nullptr;
    std::size_t length = 0;
    if (edited) {
        dataBytesRead = reinterpret_cast<const char*>(edited->data.data());
        length = edited->data.size();
        type = edited->type;
    } else {
        // A retry with a larger buffer takes the data read the first time.
        if (lastValue_ != value) {
            lastValue_ = 0;
            if (!ReadHiveValue(value, lastType_, lastData_, lastLength_)) {
                NoteDamage(L"the data of the value at " + Hex(value) + L" cannot be read (" + ErrnoText(errno) + L")");
                return status::kFileCorrupt;
            }
            lastValue_ = value;
        }
        dataBytesRead = lastData_.get();
        length = lastLength_;
    }
    if (name) {
        std::size_t nameLength = 0;
        std::size_t ascii = std::string::npos;
        malloced<char> key8;
        if (edited) {
            FromUtf8(edited->name8, name_);
            nameLength = name_.size();
        } else {
            errno = 0;
            key8.reset(hivex_value_key(hive_, value));
            if (!key8) {
                NoteDamage(L"the name of the value at " + Hex(value) + L" cannot be read (" + ErrnoText(errno) + L")");
                return status::kFileCorrupt;
            }
            // The name as far as a NUL, if it holds one, as a walk of the
            // registry takes it; hivex's own length would convert every
            // name once more. Writes to a key with such a name are refused
            // (ReadValueNames). ASCII, as nearly every name is, goes
            // straight into the buffer.
            ascii = PlainAsciiLength(key8.get());
            if (ascii == std::string::npos) FromUtf8(key8.get(), name_);
            nameLength = ascii != std::string::npos ? ascii : name_.size();
        }
        if (nameLength + 1 > nameChars) return status::kMoreData;
        if (length > dataBytes) {
            dataBytes = static_cast<std::uint32_t>(std::min<std::size_t>(length, UINT32_MAX));
            return status::kMoreData;
        }
        if (ascii != std::string::npos)
            std::copy(key8.get(), key8.get() + ascii, name);
        else
            std::copy(name_.begin(), name_.end(), name);
        name[nameLength] = L'\0';
        nameChars = static_cast<std::uint32_t>(nameLength);
    } else if (length > dataBytes) {
        dataBytes = static_cast<std::uint32_t>(std::min<std::size_t>(length, UINT32_MAX));
        return status::kMoreData;
    }
    if (!edited) type = lastType_;
    if (length) std::memcpy(data, dataBytesRead, length);
    dataBytes = static_cast<std::uint32_t>(length);
    return status::kSuccess;
}

Status HiveRegistry::CreateKey(KeyHandle base, const std::wstring& path, KeyHandle& key) {
    key = 0;
    Node node = NodeOf(base);
    if (!node) return status::kInvalidHandle;
    if (!writable_) return status::kAccessDenied;
    std::vector<std::wstring_view> parts;
    if (!PartsOf(path, parts)) return status::kBadPathname;
    for (const std::wstring_view part : parts) {
        if (part.size() > kMaxKeyNameChars) return status::kBadPathname;
        Children* children = ChildrenOf(node);
        if (!children) return status::kFileCorrupt;
        if (const Node child = children->Find(part, foldedPart_)) {
            node = child;
            continue;
        }
        if (const Status refused = WritableHive()) return refused;
        errno = 0;
        const hive_node_h added = hivex_node_add_child(hive_, node, ToUtf8(part).c_str());
        if (!added) return StatusOfErrno(errno);
        changed_ = keysChanged_ = true;
        Forget(node);
        node = added;
    }
    key = NewHandle(node, true);
    return status::kSuccess;
}

Status HiveRegistry::SetValue(KeyHandle key, const std::wstring& name, std::uint32_t type, const std::uint8_t* data,
                              std::uint32_t dataBytes) {
    Node node = 0;
    if (const Status refused = WritableNode(key, node)) return refused;
    Status found = status::kSuccess;
    const std::size_t at = FindValue(node, name, found);
    if (found != status::kSuccess && found != status::kNotFound) return found;
    EditedKey* edited = EditedOf(node);
    if (!edited) return status::kFileCorrupt;
    if (at == std::string::npos) {
        edited->values.emplace_back();
        edited->values.back().name8 = ToUtf8(name);
    }
    EditedValue& value = at == std::string::npos ? edited->values.back() : edited->values[at];
    value.changed = true;
    value.type = type;
    value.data.assign(data, data + dataBytes);
    changed_ = true;
    Forget(node);
    return status::kSuccess;
}

Status HiveRegistry::CloseKey(KeyHandle key) {
    if (key == kRoot) return status::kSuccess;
    if (!OpenOf(key)) return status::kInvalidHandle;
    const std::uint32_t slot = (key - kFirstHandle) / 4;
    handles_[slot] = {};
    freeSlots_.push_back(slot);
    return status::kSuccess;
}

Status HiveRegistry::QueryValue(KeyHandle key, const std::wstring& name, std::uint32_t& type,
                                std::vector<std::uint8_t>& data) {
    const Node node = NodeOf(key);
    if (!node) return status::kInvalidHandle;
    // What is read here is kept to undo a write: a key that is never
    // written is refused now (FindValue), before anything is.
    Status found = status::kSuccess;
    const std::size_t at = FindValue(node, name, found);
    if (at == std::string::npos) return found;
    const EditedValue* edited = nullptr;
    const hive_value_h value = ValueAt(node, at, edited);
    if (edited) {
        type = edited->type;
        data = edited->data;
        return status::kSuccess;
    }
    std::unique_ptr<char, void (*)(void*)> read{nullptr, &std::free};
    std::size_t length = 0;
    if (!ReadHiveValue(value, type, read, length)) return StatusOfErrno(errno);
    data.assign(read.get(), read.get() + length);
    return status::kSuccess;
}

Status HiveRegistry::DeleteKey(KeyHandle base, const std::wstring& path) {
    const Node from = NodeOf(base);
    if (!from) return status::kInvalidHandle;
    if (!writable_) return status::kAccessDenied;
    Status result;
    const Node node = Resolve(from, path, result);
    if (!node) return result;
    if (node == root_) return status::kAccessDenied;
    if (const Status refused = WritableHive()) return refused;
    // Value changes kept for the key or any below it would go into cells
    // that hivex frees now.
    std::vector<Node> below{node};
    for (std::size_t i = 0; i < below.size() && !edited_.empty(); ++i) {
        edited_.erase(below[i]);
        if (const malloced<hive_node_h> children{hivex_node_children(hive_, below[i])})
            for (const hive_node_h* child = children.get(); *child; ++child) below.push_back(*child);
    }
    errno = 0;
    if (hivex_node_delete_child(hive_, node) != 0) return StatusOfErrno(errno);
    changed_ = keysChanged_ = true;
    // What lay below is gone, and with it what was known of its paths.
    ForgetBranch();
    childrenSlotOf_.clear();
    for (auto& slot : childrenSlots_) slot.owner = 0;
    values_.node = 0;
    lastValue_ = 0;
    for (std::uint32_t slot = 0; slot < handles_.size(); ++slot)
        if (handles_[slot].node == node) {
            handles_[slot] = {};
            freeSlots_.push_back(slot);
        }
    return status::kSuccess;
}

Status HiveRegistry::DeleteValue(KeyHandle key, const std::wstring& name) {
    Node node = 0;
    if (const Status refused = WritableNode(key, node)) return refused;
    Status found = status::kSuccess;
    const std::size_t at = FindValue(node, name, found);
    if (at == std::string::npos) return found;
    EditedKey* edited = EditedOf(node);
    if (!edited) return status::kFileCorrupt;
    edited->values.erase(edited->values.begin() + static_cast<std::ptrdiff_t>(at));
    changed_ = true;
    Forget(node);
    return status::kSuccess;
}

void HiveRegistry::WriteEditedValues(bool bumpSequence) {
    HiveValueWriter writer(newFile_, FromUtf8(path_));
    // hivex's handles are file offsets; the format's are past the base block.
    const auto cell = [](std::size_t handle) { return static_cast<std::uint32_t>(handle - 4096); };
    // In node order: the same file, the same writes, whatever the map's order.
    std::vector<const std::pair<const Node, EditedKey>*> keys;
    for (const auto& entry : edited_) keys.push_back(&entry);
    std::sort(keys.begin(), keys.end(), [](const auto* a, const auto* b) { return a->first < b->first; });
    for (const auto* entry : keys) {
        const std::uint32_t nk = cell(entry->first);
        const EditedKey& key = entry->second;
        for (const std::size_t original : key.originals)
            if (std::none_of(key.values.begin(), key.values.end(),
                             [original](const EditedValue& value) { return value.original == original; }))
                writer.Remove(nk, cell(original));
        for (const auto& value : key.values) {
            if (!value.changed) continue;
            if (value.original)
                writer.Rewrite(nk, cell(value.original), value.type, value.data);
            else
                writer.Add(nk, FromUtf8(value.name8), value.type, value.data);
        }
    }
    writer.Finish(bumpSequence, commitSequence_);
}

}  // namespace keyscour
