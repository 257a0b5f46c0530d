#pragma once
// A registry tree held in memory that answers as the platform does: names
// compared without case and kept with their case, sub keys listed in
// case-insensitive order, values in creation order, buffers that are too
// small refused with 234, and access marks that refuse with 5.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "registry/registry.h"

namespace keyscour {

struct RegistryValue {
    std::wstring name;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;

    bool operator==(const RegistryValue&) const = default;
};

class MemoryRegistry final : public Registry {
public:
    MemoryRegistry();
    ~MemoryRegistry() override;

    Status OpenKey(KeyHandle root, const std::wstring& path, KeyHandle& key) override;
    Status EnumKey(KeyHandle key, std::uint32_t index, wchar_t* name,
                   std::uint32_t nameChars) override;
    Status EnumValue(KeyHandle key, std::uint32_t index, wchar_t* name, std::uint32_t& nameChars,
                     std::uint32_t& type, std::uint8_t* data, std::uint32_t& dataBytes) override;
    Status CreateKey(KeyHandle base, const std::wstring& path, KeyHandle& key) override;
    Status SetValue(KeyHandle key, const std::wstring& name, std::uint32_t type,
                    const std::uint8_t* data, std::uint32_t dataBytes) override;
    Status CloseKey(KeyHandle key) override;
    Status QueryValueLimits(KeyHandle key, std::uint32_t& longestNameChars, std::uint32_t& largestDataBytes) override;
    Status QueryValue(KeyHandle key, const std::wstring& name, std::uint32_t& type,
                      std::vector<std::uint8_t>& data) override;
    Status DeleteKey(KeyHandle base, const std::wstring& path) override;
    Status DeleteValue(KeyHandle key, const std::wstring& name) override;
    Status RenameValue(KeyHandle key, const std::wstring& name, const std::wstring& newName) override;
    Status RenameKey(KeyHandle base, const std::wstring& path, const std::wstring& newName) override;

    // Building and inspecting a tree, for tests and the benchmark. Paths are
    // relative to a predefined root; missing keys on the way are created.
    void AddKey(KeyHandle root, const std::wstring& path);
    void PutValue(KeyHandle root, const std::wstring& path, const std::wstring& name,
                  std::uint32_t type, std::vector<std::uint8_t> data);
    void PutString(KeyHandle root, const std::wstring& path, const std::wstring& name,
                   const std::wstring& text, std::uint32_t type = 1);
    void PutDword(KeyHandle root, const std::wstring& path, const std::wstring& name,
                  std::uint32_t number);
    void MarkUnreadable(KeyHandle root, const std::wstring& path);
    void MarkUnwritable(KeyHandle root, const std::wstring& path);

    bool KeyExists(KeyHandle root, const std::wstring& path) const;
    std::optional<RegistryValue> GetValue(KeyHandle root, const std::wstring& path,
                                          const std::wstring& name) const;
    std::size_t OpenHandleCount() const { return handles_.size(); }

private:
    struct Node;
    struct OpenKeyRecord {
        Node* node;
        bool writable;
    };

    Node* Resolve(KeyHandle handle, bool* writable = nullptr) const;
    Node* Find(Node* from, const std::wstring& path, Status& status) const;
    // The tree's builders put keys and values anywhere; clients meet the marks.
    enum class Access { kChecked, kBuilder };
    Node* Make(Node* from, const std::wstring& path, Status& status, Access access);
    Node& Root(KeyHandle root) const;
    // The key at path below base and its parent, for a change that
    // removes or renames it; a root key is refused.
    Status FindForChange(KeyHandle base, const std::wstring& path, Node*& parent, Node*& node);
    KeyHandle NewHandle(Node* node, bool writable);

    std::vector<std::unique_ptr<Node>> roots_;
    std::unordered_map<KeyHandle, OpenKeyRecord> handles_;
    KeyHandle nextHandle_ = 0x100;
};

}  // namespace keyscour
