#include "bench/bare_walk.h"

#include <array>

namespace keyscour::bench {

namespace {

void Walk(Registry& registry, KeyHandle root, const std::wstring& path, WalkCount& count,
          std::array<wchar_t, 260>& name, std::array<std::uint8_t, 4096>& data) {
    KeyHandle raw = 0;
    if (registry.OpenKey(root, path, raw) != status::kSuccess) return;
    const auto key = AdoptKey(registry, raw);
    for (std::uint32_t index = 0;; ++index) {
        std::uint32_t nameChars = 260, type = 0, dataBytes = 4096;
        if (registry.EnumValue(key.get(), index, name.data(), nameChars, type, data.data(), dataBytes) != 0) break;
        ++count.values;
    }
    for (std::uint32_t index = 0; registry.EnumKey(key.get(), index, name.data(), 260) == 0; ++index) {
        ++count.keys;
        Walk(registry, root, path.empty() ? std::wstring(name.data()) : path + L'\\' + name.data(), count, name,
             data);
    }
}

}  // namespace

WalkCount BareWalk(Registry& registry, KeyHandle root, const std::wstring& path) {
    WalkCount count;
    std::array<wchar_t, 260> name{};
    std::array<std::uint8_t, 4096> data{};
    Walk(registry, root, path, count, name, data);
    return count;
}

}  // namespace keyscour::bench
