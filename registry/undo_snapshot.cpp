#include "registry/undo_snapshot.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>

#include "base/numbered_error.h"
#include "registry/root_keys.h"
#include "registry/string_writer.h"

namespace keyscour {

namespace {

std::wstring Quoted(const std::wstring& text) {
    std::wstring quoted = L"\"";
    for (wchar_t c : text) {
        if (c == L'\\' || c == L'"') quoted += L'\\';
        quoted += c;
    }
    return quoted + L'"';
}

// "@" names the unnamed default value.
std::wstring ValueNameText(const std::wstring& name) { return name.empty() ? L"@" : Quoted(name); }

std::wstring FullKeyName(std::wstring_view rootName, const std::wstring& keyPath) {
    std::wstring full(rootName);
    if (!keyPath.empty()) full.append(1, L'\\').append(keyPath);
    return full;
}

// Text that the quoted form carries exactly: whole UTF-16 units, one
// terminator at the end and none before it, no line breaks.
bool QuotableString(const std::vector<std::uint8_t>& data, std::wstring& text) {
    if (data.size() < 2 || data.size() % 2 != 0) return false;
    text.clear();
    for (std::size_t i = 0; i + 1 < data.size(); i += 2)
        text += static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
    if (text.back() != L'\0') return false;
    text.pop_back();
    return text.find_first_of(std::wstring_view(L"\0\r\n", 3)) == std::wstring::npos;
}

std::wstring HexBytes(const std::vector<std::uint8_t>& data) {
    std::wstring hex;
    wchar_t byte[4];
    for (std::size_t i = 0; i < data.size(); ++i) {
        std::swprintf(byte, 4, i == 0 ? L"%02x" : L",%02x", data[i]);
        hex += byte;
    }
    return hex;
}

}  // namespace

std::wstring RegScriptValueLine(const std::wstring& name, std::uint32_t type, const std::vector<std::uint8_t>& data) {
    std::wstring line = ValueNameText(name) + L'=';
    std::wstring text;
    if (type == value_type::kString && QuotableString(data, text)) return line + Quoted(text);
    if (type == value_type::kDword && data.size() == 4) {
        wchar_t number[16];
        std::swprintf(number, 16, L"dword:%08x",
                      static_cast<unsigned>(data[0] | data[1] << 8 | data[2] << 16 | static_cast<unsigned>(data[3]) << 24));
        return line + number;
    }
    if (type == value_type::kBinary) return line + L"hex:" + HexBytes(data);
    wchar_t prefix[24];
    std::swprintf(prefix, 24, L"hex(%x):", type);
    return line + prefix + HexBytes(data);
}

void UndoSnapshot::Capture(KeyHandle root, const std::wstring& sSection) {
    MRegistry::ValuePath path;
    if (RootKeyNameOf(root).empty() || MRegistry::ResolveValuePath(sSection, path)) return;
    Capture(root, path.keyPath, path.valueName);
}

void UndoSnapshot::Capture(KeyHandle root, const std::wstring& sSection, std::size_t keyPathLength) {
    MRegistry::ValuePath path;
    if (RootKeyNameOf(root).empty() || MRegistry::ResolveValuePath(sSection, keyPathLength, path)) return;
    Capture(root, path.keyPath, path.valueName);
}

void UndoSnapshot::Capture(KeyHandle root, const std::wstring& keyPath, const std::wstring& valueName) {
    SavedValue saved;
    saved.key = FullKeyName(RootKeyNameOf(root), keyPath);
    saved.name = valueName;
    if (saved.key.find_first_of(L"\r\n") != std::wstring::npos ||
        saved.name.find_first_of(L"\r\n") != std::wstring::npos)
        throw NumberedError(kErrorNotScriptable, L"A name holds a line break, which an undo file cannot carry: " +
                                                     saved.key + L"\\" + saved.name);
    if (!seen_.insert(saved.key + L'\0' + saved.name).second) return;

    KeyHandle key = 0;
    const Status opened = registry_.OpenKey(root, keyPath, key);
    if (opened == status::kNotFound) return CaptureCreatedKeys(root, keyPath);
    if (opened != status::kSuccess)
        throw NumberedError(kErrorKeyUnreadable + static_cast<std::int32_t>(opened),
                            L"Could not read the registry key to keep for undo: " + saved.key);
    const auto owner = AdoptKey(registry_, key);
    const Status read = registry_.QueryValue(key, saved.name, saved.type, saved.data);
    if (read == status::kSuccess) {
        saved.existed = true;
    } else if (read != status::kNotFound) {
        throw NumberedError(kErrorUnreadable + static_cast<std::int32_t>(read),
                            L"Could not read the registry value to keep for undo: " + saved.key + L"\\" + saved.name);
    }
    values_.push_back(std::move(saved));
}

void UndoSnapshot::CaptureCreatedKeys(KeyHandle root, const std::wstring& keyPath) {
    // The first missing key on the path and every key below it are what
    // the write creates; the script removes each of them. A key on the way
    // that exists but cannot be opened is not missing: it holds no value the
    // write changes, and removing it would lose what it holds.
    const std::wstring_view rootName = RootKeyNameOf(root);
    bool missing = false;
    for (std::size_t slash = keyPath.find(L'\\');; slash = keyPath.find(L'\\', slash + 1)) {
        const std::wstring prefix = keyPath.substr(0, slash);
        if (!missing) {
            KeyHandle key = 0;
            const Status opened = registry_.OpenKey(root, prefix, key);
            if (opened == status::kSuccess) AdoptKey(registry_, key).reset();
            missing = opened == status::kNotFound;
        }
        if (missing) {
            std::wstring full = FullKeyName(rootName, prefix);
            if (created_.insert(full).second) createdKeys_.push_back(std::move(full));
        }
        if (slash == std::wstring::npos) break;
    }
}

std::wstring UndoSnapshot::Script() const {
    std::wstring script = L"Windows Registry Editor Version 5.00\r\n";
    // Values grouped under their keys, keys in the order first met.
    std::unordered_map<std::wstring_view, std::size_t> slotOfKey;
    std::vector<std::vector<const SavedValue*>> groups;
    for (const auto& value : values_) {
        const auto [slot, added] = slotOfKey.try_emplace(value.key, groups.size());
        if (added) groups.emplace_back();
        groups[slot->second].push_back(&value);
    }
    for (const auto& group : groups) {
        script.append(L"\r\n[").append(group.front()->key).append(L"]\r\n");
        for (const SavedValue* value : group) {
            script += value->existed ? RegScriptValueLine(value->name, value->type, value->data)
                                     : ValueNameText(value->name) + L"=-";
            script += L"\r\n";
        }
    }
    // Deeper keys first, so that each removal finds its key still there.
    std::vector<std::pair<std::ptrdiff_t, const std::wstring*>> created;
    created.reserve(createdKeys_.size());
    for (const auto& key : createdKeys_) created.emplace_back(std::count(key.begin(), key.end(), L'\\'), &key);
    std::stable_sort(created.begin(), created.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (const auto& [depth, key] : created) script.append(L"\r\n[-").append(*key).append(L"]\r\n");
    return script + L"\r\n";
}

}  // namespace keyscour
