#include "tests/support/reg_round_trip.h"

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "registry/memory_registry.h"
#include "registry/script/reg_script.h"
#include "registry/script/reg_script_apply.h"
#include "registry/root_keys.h"

namespace keyscour::fuzz {

namespace {

struct Contents {
    std::map<std::wstring, std::vector<RegistryValue>> keys;  // full name → values
    bool operator==(const Contents&) const = default;
};

// Every key and value below the five roots, keys with a line break in a
// name left out, since the writer cannot carry them.
void Collect(Registry& registry, KeyHandle root, const std::wstring& path, Contents& contents, int depth) {
    KeyHandle key = 0;
    if (depth > 600 || registry.OpenKey(root, path, key) != 0) return;
    const std::wstring full = std::wstring(RootKeyNameOf(root)) + (path.empty() ? L"" : L"\\" + path);
    auto& values = contents.keys[full];
    // Room for any name and for any data a script of this size holds.
    static std::vector<wchar_t> name(16385);
    static std::vector<std::uint8_t> data(1 << 20);
    for (std::uint32_t i = 0;; ++i) {
        std::uint32_t nameChars = 16385, type = 0, dataBytes = static_cast<std::uint32_t>(data.size());
        if (registry.EnumValue(key, i, name.data(), nameChars, type, data.data(), dataBytes) != 0) break;
        const std::wstring valueName(name.data(), nameChars);
        if (!RegScriptWriter::Carries(valueName)) continue;
        values.push_back({valueName, type, std::vector<std::uint8_t>(data.begin(), data.begin() + dataBytes)});
    }
    std::vector<std::wstring> children;
    wchar_t child[260];
    for (std::uint32_t i = 0; registry.EnumKey(key, i, child, 260) == 0; ++i) children.emplace_back(child);
    registry.CloseKey(key);
    for (const auto& name : children)
        if (RegScriptWriter::Carries(name)) Collect(registry, root, path.empty() ? name : path + L"\\" + name, contents, depth + 1);
}

Contents ContentsOf(Registry& registry) {
    Contents contents;
    for (KeyHandle root : {kClassesRoot, kCurrentUser, kLocalMachine, kUsers, kCurrentConfig})
        Collect(registry, root, L"", contents, 0);
    return contents;
}

std::wstring Script(const Contents& contents) {
    RegScriptWriter writer;
    for (const auto& [key, values] : contents.keys) {
        writer.Key(key);
        for (const auto& value : values) writer.Value(value.name, value.type, value.data);
    }
    return writer.Finish();
}

}  // namespace

RoundTrip ReadAndWriteBack(std::span<const std::uint8_t> bytes) {
    MemoryRegistry first;
    const KeyPlacer place = [](const std::wstring& key) { return SplitFullKeyName(key); };
    try {
        // As --reg-file reads it: the bytes decoded, REGEDIT4's string bytes in their code page.
        const DecodedRegFile decoded = DecodeRegFile(bytes);
        RegScriptReading reading;
        reading.ansiCodePage = decoded.ansiCodePage;
        ApplyRegScript(decoded.text, first, place, reading);
    } catch (const RegScriptError&) {
        return RoundTrip::kRefused;
    }
    const Contents contents = ContentsOf(first);
    MemoryRegistry second;
    try {
        // Read back as an undo file of Keyscour's own is: byte for byte.
        RegScriptReading exact;
        exact.exact = true;
        ApplyRegScript(Script(contents), second, place, exact);
    } catch (const RegScriptError&) {
        return RoundTrip::kWrittenButRefused;
    }
    return ContentsOf(second) == contents ? RoundTrip::kSame : RoundTrip::kDifferent;
}

}  // namespace keyscour::fuzz

