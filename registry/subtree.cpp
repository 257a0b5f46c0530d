#include "registry/subtree.h"

#include <vector>

namespace keyscour {

namespace {

// The buffers a visit reads names and data into, kept from key to key.
struct Buffers {
    std::vector<wchar_t> name = std::vector<wchar_t>(16384);
    std::vector<std::uint8_t> data = std::vector<std::uint8_t>(4096);
    std::vector<wchar_t> subKey = std::vector<wchar_t>(256);
};

// One key's values and sub key names; its handle closed before its sub keys are opened.
Status ReadKey(Registry& registry, KeyHandle root, const std::wstring& path, const SubtreeVisit& visit,
               Buffers& buffers, std::vector<std::wstring>& subKeys) {
    KeyHandle opened = 0;
    if (const Status status = registry.OpenKey(root, path, opened); status != status::kSuccess) return status;
    const auto key = AdoptKey(registry, opened);
    if (visit.key) visit.key(path);
    std::vector<wchar_t>& name = buffers.name;
    std::vector<std::uint8_t>& data = buffers.data;
    for (std::uint32_t index = 0;; ++index) {
        std::uint32_t nameChars = static_cast<std::uint32_t>(name.size());
        std::uint32_t dataBytes = static_cast<std::uint32_t>(data.size());
        std::uint32_t type = 0;
        Status status = registry.EnumValue(key.get(), index, name.data(), nameChars, type, data.data(), dataBytes);
        if (status == status::kMoreData && dataBytes > data.size()) {
            data.resize(dataBytes);
            nameChars = static_cast<std::uint32_t>(name.size());
            status = registry.EnumValue(key.get(), index, name.data(), nameChars, type, data.data(), dataBytes);
        }
        if (status == status::kNoMoreItems) break;
        if (status != status::kSuccess) return status;
        if (visit.value) visit.value(std::wstring(name.data(), nameChars), type, std::span(data.data(), dataBytes));
    }
    std::vector<wchar_t>& subKey = buffers.subKey;
    for (std::uint32_t index = 0;; ++index) {
        const Status status = registry.EnumKey(key.get(), index, subKey.data(), static_cast<std::uint32_t>(subKey.size()));
        if (status == status::kNoMoreItems) break;
        if (status != status::kSuccess) return status;
        subKeys.emplace_back(subKey.data());
    }
    return status::kSuccess;
}

}  // namespace

Status VisitSubtree(Registry& registry, KeyHandle root, const std::wstring& path, const SubtreeVisit& visit,
                    std::wstring& failedAt) {
    // Depth first with a stack of its own: a tree may be 512 levels deep.
    std::vector<std::wstring> pending{path};
    std::vector<std::wstring> subKeys;
    Buffers buffers;
    while (!pending.empty()) {
        const std::wstring keyPath = std::move(pending.back());
        pending.pop_back();
        subKeys.clear();
        if (const Status status = ReadKey(registry, root, keyPath, visit, buffers, subKeys); status != status::kSuccess) {
            failedAt = keyPath;
            return status;
        }
        // Pushed in reverse, so that they come off in the registry's order.
        for (auto it = subKeys.rbegin(); it != subKeys.rend(); ++it)
            pending.push_back(keyPath.empty() ? *it : keyPath + L"\\" + *it);
    }
    return status::kSuccess;
}

}  // namespace keyscour
