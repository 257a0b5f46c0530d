// Keys by name: sub key lists read once and kept in slots, an index in
// upper-case order for lookups, and the branch a walk is on.

#include "registry/hive/hive_registry.h"

#include <algorithm>
#include <cerrno>

#include "registry/hive/hive_internal.h"
#include "base/unicode_case.h"

namespace keyscour {

using namespace hive_detail;

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
    if (!newKeyNames_.empty())
        if (const auto renamed = newKeyNames_.find(node); renamed != newKeyNames_.end()) {
            names.append(renamed->second);
            return NameRead::kOther;
        }
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

}  // namespace keyscour
