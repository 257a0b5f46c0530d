#include "registry/memory_registry.h"

#include <algorithm>
#include <cwctype>
#include <stdexcept>

#include "base/utf16.h"
#include "registry/root_keys.h"

namespace keyscour {

namespace {

// The registry folds case without regard to the user's locale.
std::wstring Fold(std::wstring_view name) {
    std::wstring folded(name);
    for (auto& ch : folded) ch = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(ch)));
    return folded;
}

bool SameName(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() && Fold(a) == Fold(b);
}

// Splits at backslashes. A single trailing backslash is tolerated, as the
// platform does; any other empty component makes the path bad.
bool SplitPath(const std::wstring& path, std::vector<std::wstring>& parts) {
    parts.clear();
    if (path.empty()) return true;
    std::size_t start = 0;
    const std::size_t end = path.back() == L'\\' ? path.size() - 1 : path.size();
    while (start <= end) {
        std::size_t stop = path.find(L'\\', start);
        if (stop == std::wstring::npos || stop > end) stop = end;
        if (stop == start) return false;
        parts.push_back(path.substr(start, stop - start));
        start = stop + 1;
    }
    return true;
}

constexpr std::size_t kMaxKeyNameChars = 255;

}  // namespace

struct MemoryRegistry::Node {
    std::wstring name;
    std::wstring folded;
    std::vector<std::unique_ptr<Node>> children;  // sorted by folded name
    std::vector<RegistryValue> values;            // in creation order
    bool unreadable = false;
    bool unwritable = false;

    auto LowerBound(const std::wstring& foldedName) {
        return std::lower_bound(children.begin(), children.end(), foldedName,
                                [](const auto& child, const std::wstring& f) { return child->folded < f; });
    }
    Node* Child(const std::wstring& childName) {
        const std::wstring f = Fold(childName);
        auto it = LowerBound(f);
        return it != children.end() && (*it)->folded == f ? it->get() : nullptr;
    }
    Node* AddChild(const std::wstring& childName) {
        auto node = std::make_unique<Node>();
        node->name = childName;
        node->folded = Fold(childName);
        auto it = LowerBound(node->folded);
        return children.insert(it, std::move(node))->get();
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
    std::vector<std::wstring> parts;
    if (!SplitPath(path, parts)) {
        status = status::kNotFound;
        return nullptr;
    }
    Node* node = from;
    for (const auto& part : parts) {
        node = node->Child(part);
        if (!node) {
            status = status::kNotFound;
            return nullptr;
        }
    }
    status = status::kSuccess;
    return node;
}

MemoryRegistry::Node* MemoryRegistry::Make(Node* from, const std::wstring& path, Status& status) {
    std::vector<std::wstring> parts;
    if (!SplitPath(path, parts)) {
        status = status::kBadPathname;
        return nullptr;
    }
    Node* node = from;
    for (const auto& part : parts) {
        if (part.size() > kMaxKeyNameChars) {
            status = status::kBadPathname;
            return nullptr;
        }
        Node* child = node->Child(part);
        if (!child) {
            if (node->unwritable) {
                status = status::kAccessDenied;
                return nullptr;
            }
            child = node->AddChild(part);
        }
        node = child;
    }
    status = node->unwritable ? status::kAccessDenied : status::kSuccess;
    return status == status::kSuccess ? node : nullptr;
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
    if (value.name.size() + 1 > nameChars) return status::kMoreData;
    if (value.data.size() > dataBytes) {
        dataBytes = static_cast<std::uint32_t>(value.data.size());
        return status::kMoreData;
    }
    std::copy(value.name.begin(), value.name.end(), name);
    name[value.name.size()] = L'\0';
    nameChars = static_cast<std::uint32_t>(value.name.size());
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
    Node* node = Make(from, path, result);
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

void MemoryRegistry::AddKey(KeyHandle root, const std::wstring& path) {
    Status result;
    Node* node = Root(root).unwritable ? nullptr : Make(&Root(root), path, result);
    if (!node) throw std::invalid_argument("cannot add key");
}

void MemoryRegistry::PutValue(KeyHandle root, const std::wstring& path, const std::wstring& name,
                              std::uint32_t type, std::vector<std::uint8_t> data) {
    Status result;
    Node* node = Make(&Root(root), path, result);
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

}  // namespace keyscour
