// Changes: keys through hivex's write handle, values kept here and written
// at the commit into the hive's own cells.

#include "registry/hive/hive_registry.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "registry/hive/hive_internal.h"
#include "base/unicode_case.h"
#include "registry/hive/hive_value_writer.h"

namespace keyscour {

using namespace hive_detail;

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
        addedUnder_.insert(node);
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
    value.changed = value.dataChanged = true;
    value.type = type;
    value.data.assign(data, data + dataBytes);
    changed_ = true;
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
    // that hivex frees now, and so would a sort of their lists.
    std::vector<Node> below{node};
    for (std::size_t i = 0; i < below.size() && (!edited_.empty() || !addedUnder_.empty() || !newKeyNames_.empty());
         ++i) {
        edited_.erase(below[i]);
        addedUnder_.erase(below[i]);
        if (newKeyNames_.erase(below[i]))
            std::erase_if(renamedKeys_, [&](const auto& renamed) { return renamed.first == below[i]; });
        if (const malloced<hive_node_h> children{hivex_node_children(hive_, below[i])})
            for (const hive_node_h* child = children.get(); *child; ++child) below.push_back(*child);
    }
    errno = 0;
    if (hivex_node_delete_child(hive_, node) != 0) return StatusOfErrno(errno);
    changed_ = keysChanged_ = true;
    // What lay below is gone, and with it what was known of its paths.
    ForgetAll();
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
            if (!value.original) {
                writer.Add(nk, FromUtf8(value.name8), value.type, value.data);
                continue;
            }
            if (value.dataChanged) writer.Rewrite(nk, cell(value.original), value.type, value.data);
            if (value.renamed) writer.RenameValue(nk, cell(value.original), FromUtf8(value.name8));
        }
    }
    // Lists hivex added to, in Windows' order (hivex_node_add_child's
    // handles are those of the image it commits), before any key moves.
    for (const Node parent : addedUnder_) writer.SortSubKeys(cell(parent));
    // In the order renamed (deepest first, as a replace renames): a key
    // that moves is pointed at anew by its parent's list and its children.
    for (const auto& [node, name] : renamedKeys_) writer.RenameKey(cell(node), name);
    writer.Finish(bumpSequence, commitSequence_);
}

Status HiveRegistry::RenameValue(KeyHandle key, const std::wstring& name, const std::wstring& newName) {
    Node node = 0;
    if (const Status refused = WritableNode(key, node)) return refused;
    if (newName.empty()) return status::kBadPathname;  // the default value has no name to give
    Status found = status::kSuccess;
    const std::size_t at = FindValue(node, name, found);
    if (at == std::string::npos) return found;
    Status other = status::kSuccess;
    if (const std::size_t taken = FindValue(node, newName, other); taken != std::string::npos && taken != at)
        return status::kAlreadyExists;
    if (other != status::kSuccess && other != status::kNotFound) return other;
    EditedKey* edited = EditedOf(node);
    if (!edited) return status::kFileCorrupt;
    EditedValue& value = edited->values[at];
    if (!value.changed && value.original) {
        // The entry stands for the value from now on: its type and data as the hive has them.
        std::unique_ptr<char, void (*)(void*)> data{nullptr, &std::free};
        std::size_t length = 0;
        if (!ReadHiveValue(value.original, value.type, data, length)) return status::kFileCorrupt;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.get());
        value.data.assign(bytes, bytes + length);
        value.changed = true;
    }
    value.name8 = ToUtf8(newName);
    value.renamed = value.original != 0;
    valueNamesOf_ = 0;
    changed_ = true;
    return status::kSuccess;
}

Status HiveRegistry::RenameKey(KeyHandle base, const std::wstring& path, const std::wstring& newName) {
    const Node from = NodeOf(base);
    if (!from) return status::kInvalidHandle;
    if (!writable_) return status::kAccessDenied;
    if (newName.empty() || newName.size() > kMaxKeyNameChars || newName.find(L'\\') != std::wstring::npos)
        return status::kBadPathname;
    Status result;
    const Node node = Resolve(from, path, result);
    if (!node) return result;
    if (node == root_) return status::kAccessDenied;
    const std::size_t slash = path.rfind(L'\\');
    const Node parent = slash == std::wstring::npos ? from : Resolve(from, path.substr(0, slash), result);
    if (!parent) return result;
    Children* siblings = ChildrenOf(parent);
    if (!siblings) return status::kFileCorrupt;
    if (const Node other = siblings->Find(newName, foldedPart_); other && other != node) return status::kAlreadyExists;
    // A key renamed twice in one run is written once, with its last name.
    if (newKeyNames_.contains(node))
        std::erase_if(renamedKeys_, [node](const auto& renamed) { return renamed.first == node; });
    renamedKeys_.emplace_back(node, newName);
    newKeyNames_[node] = newName;
    changed_ = true;
    // Every path cached through it names it otherwise now.
    ForgetAll();
    return status::kSuccess;
}

Status HiveRegistry::QueryKeyKind(KeyHandle root, const std::wstring& path, KeyKind& kind) {
    kind = {};
    const Node from = NodeOf(root);
    if (!from) return status::kInvalidHandle;
    Status result;
    const Node node = Resolve(from, path, result);
    if (!node) return result;
    // A key node's flags lie 6 bytes into its cell.
    const auto flags = SourceFlags(node, 6);
    if (!flags) return status::kFileCorrupt;
    kind.link = (*flags & 0x10) != 0;
    return status::kSuccess;
}

}  // namespace keyscour
