#include "registry/memory_registry.h"

#include <algorithm>
#include <stdexcept>

#include "base/unicode_case.h"
#include "base/utf16.h"
#include "registry/root_keys.h"

namespace keyscour {

namespace {

// The registry folds case without regard to the user's locale.
wchar_t FoldChar(wchar_t ch) { return UpperCaseOf(ch); }

bool SameName(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (FoldChar(a[i]) != FoldChar(b[i])) return false;
    return true;
}

// Calls visit(component) for each part of the path. A single trailing
// backslash is tolerated, as the platform does; any other empty component
// makes the path bad. Stops early when visit returns false.
template <typename Visit>
bool ForEachComponent(std::wstring_view path, Visit&& visit) {
    if (path.empty()) return true;
    if (path.back() == L'\\') path.remove_suffix(1);
    for (;;) {
        const std::size_t stop = path.find(L'\\');
        const std::wstring_view part = path.substr(0, stop);
        if (part.empty() || !visit(part)) return false;
        if (stop == std::wstring_view::npos) return true;
        path.remove_prefix(stop + 1);
    }
}

constexpr std::size_t kMaxKeyNameChars = 255;
// Levels of keys below a root, as Windows allows: a script could ask for
// more, and every level is a level of the walk's recursion.
constexpr std::size_t kMaxDepth = 512;

}  // namespace

struct MemoryRegistry::Node {
    std::wstring name;
    std::wstring folded;
    // In folded order, but for children added to a large key since it was
    // last listed: those are sorted in when it is listed next, so that
    // filling a key of a hundred thousand children stays linear.
    std::vector<std::unique_ptr<Node>> children;
    bool unsorted = false;
    // Folded name to child, once a key has many children.
    std::unordered_map<std::wstring_view, Node*> index;
    std::vector<RegistryValue> values;  // in creation order
    bool unreadable = false;
    bool unwritable = false;

    static constexpr std::size_t kIndexedFrom = 64;

    auto LowerBound(std::wstring_view foldedName) {
        return std::lower_bound(children.begin(), children.end(), foldedName,
                                [](const auto& child, std::wstring_view f) { return child->folded < f; });
    }
    void Sort() {
        if (!unsorted) return;
        std::sort(children.begin(), children.end(), [](const auto& a, const auto& b) { return a->folded < b->folded; });
        unsorted = false;
    }
    // scratch receives the folded name, so that a walk down a path allocates nothing.
    Node* Child(std::wstring_view childName, std::wstring& scratch) {
        UpperCaseInto(childName, scratch);
        if (!index.empty()) {
            const auto found = index.find(scratch);
            return found == index.end() ? nullptr : found->second;
        }
        auto it = LowerBound(scratch);
        return it != children.end() && (*it)->folded == scratch ? it->get() : nullptr;
    }
    Node* AddChild(std::wstring_view childName) {
        auto node = std::make_unique<Node>();
        node->name = std::wstring(childName);
        node->folded = UpperCased(childName);
        return Attach(std::move(node));
    }
    Node* Attach(std::unique_ptr<Node> node) {
        Node* added = node.get();
        if (index.empty() && children.size() < kIndexedFrom) {
            children.insert(LowerBound(added->folded), std::move(node));
            return added;
        }
        if (index.empty())
            for (const auto& child : children) index.emplace(child->folded, child.get());
        children.push_back(std::move(node));
        index.emplace(added->folded, added);
        unsorted = true;
        return added;
    }
    void RemoveChild(Node* child) { Detach(child); }
    std::unique_ptr<Node> Detach(Node* child) {
        Sort();
        index.erase(child->folded);
        const auto at = LowerBound(child->folded);
        std::unique_ptr<Node> detached = std::move(*at);
        children.erase(at);
        return detached;
    }
    RegistryValue* Value(std::wstring_view valueName) {
        for (auto& value : values)
            if (SameName(value.name, valueName)) return &value;
        return nullptr;
    }
};

MemoryRegistry::MemoryRegistry() {
    for (KeyHandle root = kClassesRoot; root <= kDynData; ++root) roots_.push_back(std::make_unique<Node>());
}

MemoryRegistry::~MemoryRegistry() = default;

MemoryRegistry::Node& MemoryRegistry::Root(KeyHandle root) const {
    if (!IsPredefinedRoot(root)) throw std::invalid_argument("not a root key");
    return *roots_[root - kClassesRoot];
}

MemoryRegistry::Node* MemoryRegistry::Resolve(KeyHandle handle, bool* writable) const {
    if (IsPredefinedRoot(handle)) {
        if (writable) *writable = true;
        return roots_[handle - kClassesRoot].get();
    }
    auto it = handles_.find(handle);
    if (it == handles_.end()) return nullptr;
    if (writable) *writable = it->second.writable;
    return it->second.node;
}

MemoryRegistry::Node* MemoryRegistry::Find(Node* from, const std::wstring& path, Status& status) const {
    thread_local std::wstring scratch;
    Node* node = from;
    const bool found = ForEachComponent(path, [&](std::wstring_view part) {
        node = node->Child(part, scratch);
        return node != nullptr;
    });
    status = found ? status::kSuccess : status::kNotFound;
    return found ? node : nullptr;
}

MemoryRegistry::Node* MemoryRegistry::Make(Node* from, const std::wstring& path, Status& status, Access access) {
    thread_local std::wstring scratch;
    Node* node = from;
    status = status::kSuccess;
    std::size_t depth = 0;
    const bool made = ForEachComponent(path, [&](std::wstring_view part) {
        if (part.size() > kMaxKeyNameChars || ++depth > kMaxDepth) return false;
        Node* child = node->Child(part, scratch);
        if (!child) {
            if (access == Access::kChecked && node->unwritable) {
                status = status::kAccessDenied;
                return false;
            }
            child = node->AddChild(part);
        }
        node = child;
        return true;
    });
    if (!made) {
        if (status == status::kSuccess) status = status::kBadPathname;
        return nullptr;
    }
    // Opening for writing asks for reading too (KEY_ALL_ACCESS).
    if (access == Access::kChecked && (node->unwritable || node->unreadable)) {
        status = status::kAccessDenied;
        return nullptr;
    }
    return node;
}

KeyHandle MemoryRegistry::NewHandle(Node* node, bool writable) {
    const KeyHandle handle = nextHandle_;
    nextHandle_ += 4;
    handles_.emplace(handle, OpenKeyRecord{node, writable});
    return handle;
}

Status MemoryRegistry::OpenKey(KeyHandle root, const std::wstring& path, KeyHandle& key) {
    key = 0;
    Node* from = Resolve(root);
    if (!from) return status::kInvalidHandle;
    Status result;
    Node* node = Find(from, path, result);
    if (!node) return result;
    if (node->unreadable) return status::kAccessDenied;
    key = NewHandle(node, false);
    return status::kSuccess;
}

Status MemoryRegistry::EnumKey(KeyHandle key, std::uint32_t index, wchar_t* name, std::uint32_t nameChars) {
    Node* node = Resolve(key);
    if (!node) return status::kInvalidHandle;
    node->Sort();
    if (index >= node->children.size()) return status::kNoMoreItems;
    const std::wstring& childName = node->children[index]->name;
    if (childName.size() + 1 > nameChars) return status::kMoreData;
    std::copy(childName.begin(), childName.end(), name);
    name[childName.size()] = L'\0';
    return status::kSuccess;
}

Status MemoryRegistry::EnumValue(KeyHandle key, std::uint32_t index, wchar_t* name, std::uint32_t& nameChars,
                                 std::uint32_t& type, std::uint8_t* data, std::uint32_t& dataBytes) {
    Node* node = Resolve(key);
    if (!node) return status::kInvalidHandle;
    if (index >= node->values.size()) return status::kNoMoreItems;
    const RegistryValue& value = node->values[index];
    if (name && value.name.size() + 1 > nameChars) return status::kMoreData;
    if (value.data.size() > dataBytes) {
        dataBytes = static_cast<std::uint32_t>(value.data.size());
        return status::kMoreData;
    }
    if (name) {
        std::copy(value.name.begin(), value.name.end(), name);
        name[value.name.size()] = L'\0';
        nameChars = static_cast<std::uint32_t>(value.name.size());
    }
    type = value.type;
    std::copy(value.data.begin(), value.data.end(), data);
    dataBytes = static_cast<std::uint32_t>(value.data.size());
    return status::kSuccess;
}

Status MemoryRegistry::CreateKey(KeyHandle base, const std::wstring& path, KeyHandle& key) {
    key = 0;
    Node* from = Resolve(base);
    if (!from) return status::kInvalidHandle;
    Status result;
    Node* node = Make(from, path, result, Access::kChecked);
    if (!node) return result;
    key = NewHandle(node, true);
    return status::kSuccess;
}

Status MemoryRegistry::SetValue(KeyHandle key, const std::wstring& name, std::uint32_t type,
                                const std::uint8_t* data, std::uint32_t dataBytes) {
    bool writable = false;
    Node* node = Resolve(key, &writable);
    if (!node) return status::kInvalidHandle;
    if (!writable || node->unwritable) return status::kAccessDenied;
    std::vector<std::uint8_t> bytes(data, data + dataBytes);
    if (RegistryValue* value = node->Value(name)) {
        value->type = type;
        value->data = std::move(bytes);
    } else {
        node->values.push_back({name, type, std::move(bytes)});
    }
    return status::kSuccess;
}

Status MemoryRegistry::CloseKey(KeyHandle key) {
    if (IsPredefinedRoot(key)) return status::kSuccess;
    return handles_.erase(key) ? status::kSuccess : status::kInvalidHandle;
}

Status MemoryRegistry::QueryValueLimits(KeyHandle key, std::uint32_t& longestNameChars, std::uint32_t& largestDataBytes) {
    Node* node = Resolve(key);
    if (!node) return status::kInvalidHandle;
    longestNameChars = largestDataBytes = 0;
    for (const auto& value : node->values) {
        longestNameChars = std::max(longestNameChars, static_cast<std::uint32_t>(value.name.size()));
        largestDataBytes = std::max(largestDataBytes, static_cast<std::uint32_t>(value.data.size()));
    }
    return status::kSuccess;
}

Status MemoryRegistry::QueryValue(KeyHandle key, const std::wstring& name, std::uint32_t& type,
                                  std::vector<std::uint8_t>& data) {
    Node* node = Resolve(key);
    if (!node) return status::kInvalidHandle;
    const RegistryValue* value = node->Value(name);
    if (!value) return status::kNotFound;
    type = value->type;
    data = value->data;
    return status::kSuccess;
}

Status MemoryRegistry::FindForChange(KeyHandle base, const std::wstring& path, Node*& parent, Node*& node) {
    Node* from = Resolve(base);
    if (!from) return status::kInvalidHandle;
    // The parent of the last component, and that component's place in it.
    std::wstring_view rest(path);
    while (!rest.empty() && rest.back() == L'\\') rest.remove_suffix(1);
    const std::size_t slash = rest.rfind(L'\\');
    const std::wstring parentPath(slash == std::wstring_view::npos ? std::wstring_view{} : rest.substr(0, slash));
    const std::wstring_view name = slash == std::wstring_view::npos ? rest : rest.substr(slash + 1);
    if (name.empty()) return status::kAccessDenied;  // a root key stays as it is
    Status result;
    parent = Find(from, parentPath, result);
    if (!parent) return result;
    std::wstring scratch;
    node = parent->Child(name, scratch);
    if (!node) return status::kNotFound;
    if (node->unwritable || parent->unwritable) return status::kAccessDenied;
    return status::kSuccess;
}

Status MemoryRegistry::DeleteKey(KeyHandle base, const std::wstring& path) {
    Node* parent = nullptr;
    Node* node = nullptr;
    if (const Status found = FindForChange(base, path, parent, node)) return found;
    // Handles into the removed tree go stale, as the platform's do.
    std::vector<const Node*> removed{node};
    for (std::size_t i = 0; i < removed.size(); ++i)
        for (const auto& child : removed[i]->children) removed.push_back(child.get());
    for (auto it = handles_.begin(); it != handles_.end();) {
        if (std::find(removed.begin(), removed.end(), it->second.node) != removed.end())
            it = handles_.erase(it);
        else
            ++it;
    }
    parent->RemoveChild(node);
    return status::kSuccess;
}

Status MemoryRegistry::DeleteValue(KeyHandle key, const std::wstring& name) {
    bool writable = false;
    Node* node = Resolve(key, &writable);
    if (!node) return status::kInvalidHandle;
    if (!writable || node->unwritable) return status::kAccessDenied;
    for (auto it = node->values.begin(); it != node->values.end(); ++it) {
        if (!SameName(it->name, name)) continue;
        node->values.erase(it);
        return status::kSuccess;
    }
    return status::kNotFound;
}

void MemoryRegistry::AddKey(KeyHandle root, const std::wstring& path) {
    Status result;
    Node* node = Make(&Root(root), path, result, Access::kBuilder);
    if (!node) throw std::invalid_argument("cannot add key");
}

void MemoryRegistry::PutValue(KeyHandle root, const std::wstring& path, const std::wstring& name,
                              std::uint32_t type, std::vector<std::uint8_t> data) {
    Status result;
    Node* node = Make(&Root(root), path, result, Access::kBuilder);
    if (!node) throw std::invalid_argument("cannot add value");
    if (RegistryValue* value = node->Value(name)) {
        value->type = type;
        value->data = std::move(data);
    } else {
        node->values.push_back({name, type, std::move(data)});
    }
}

void MemoryRegistry::PutString(KeyHandle root, const std::wstring& path, const std::wstring& name,
                               const std::wstring& text, std::uint32_t type) {
    auto bytes = EncodeUtf16Le(text);
    bytes.push_back(0);
    bytes.push_back(0);
    PutValue(root, path, name, type, std::move(bytes));
}

void MemoryRegistry::PutDword(KeyHandle root, const std::wstring& path, const std::wstring& name,
                              std::uint32_t number) {
    PutValue(root, path, name, value_type::kDword,
             {static_cast<std::uint8_t>(number), static_cast<std::uint8_t>(number >> 8),
              static_cast<std::uint8_t>(number >> 16), static_cast<std::uint8_t>(number >> 24)});
}

void MemoryRegistry::MarkUnreadable(KeyHandle root, const std::wstring& path) {
    AddKey(root, path);
    Status result;
    Find(&Root(root), path, result)->unreadable = true;
}

void MemoryRegistry::MarkUnwritable(KeyHandle root, const std::wstring& path) {
    AddKey(root, path);
    Status result;
    Find(&Root(root), path, result)->unwritable = true;
}

bool MemoryRegistry::KeyExists(KeyHandle root, const std::wstring& path) const {
    Status result;
    return Find(&Root(root), path, result) != nullptr;
}

std::optional<RegistryValue> MemoryRegistry::GetValue(KeyHandle root, const std::wstring& path,
                                                      const std::wstring& name) const {
    Status result;
    Node* node = Find(&Root(root), path, result);
    if (!node) return std::nullopt;
    if (const RegistryValue* value = node->Value(name)) return *value;
    return std::nullopt;
}

Status MemoryRegistry::RenameValue(KeyHandle key, const std::wstring& name, const std::wstring& newName) {
    bool writable = false;
    Node* node = Resolve(key, &writable);
    if (!node) return status::kInvalidHandle;
    if (!writable || node->unwritable) return status::kAccessDenied;
    RegistryValue* value = node->Value(name);
    if (!value) return status::kNotFound;
    if (RegistryValue* other = node->Value(newName); other && other != value) return status::kAlreadyExists;
    value->name = newName;
    return status::kSuccess;
}

Status MemoryRegistry::RenameKey(KeyHandle base, const std::wstring& path, const std::wstring& newName) {
    if (newName.empty() || newName.size() > kMaxKeyNameChars || newName.find(L'\\') != std::wstring::npos)
        return status::kBadPathname;
    Node* parent = nullptr;
    Node* node = nullptr;
    if (const Status found = FindForChange(base, path, parent, node)) return found;
    std::wstring scratch;
    if (Node* other = parent->Child(newName, scratch); other && other != node) return status::kAlreadyExists;
    std::unique_ptr<Node> moved = parent->Detach(node);
    moved->name = newName;
    moved->folded = UpperCased(newName);
    parent->Attach(std::move(moved));
    return status::kSuccess;
}

}  // namespace keyscour
