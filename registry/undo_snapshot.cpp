#include "registry/undo_snapshot.h"

#include <algorithm>
#include <cstdio>

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
    const std::wstring_view rootName = RootKeyNameOf(root);
    MRegistry::ValuePath path;
    if (rootName.empty() || MRegistry::ResolveValuePath(sSection, path)) return;

    SavedValue saved;
    saved.key = FullKeyName(rootName, path.keyPath);
    saved.name = path.valueName;
    for (const auto& value : values_)
        if (value.key == saved.key && value.name == saved.name) return;

    KeyHandle key = 0;
    const Status opened = registry_.OpenKey(root, path.keyPath, key);
    if (opened == status::kNotFound) return CaptureCreatedKeys(root, path.keyPath);
    if (opened != status::kSuccess) return;  // the write fails alike
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
    // the write creates; the script removes each of them.
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
            if (std::find(createdKeys_.begin(), createdKeys_.end(), full) == createdKeys_.end())
                createdKeys_.push_back(std::move(full));
        }
        if (slash == std::wstring::npos) break;
    }
}

std::wstring UndoSnapshot::Script() const {
    std::wstring script = L"Windows Registry Editor Version 5.00\r\n";
    // Values grouped under their keys, keys in the order first met.
    std::vector<std::wstring> keys;
    for (const auto& value : values_)
        if (std::find(keys.begin(), keys.end(), value.key) == keys.end()) keys.push_back(value.key);
    for (const auto& key : keys) {
        script += L"\r\n[" + key + L"]\r\n";
        for (const auto& value : values_) {
            if (value.key != key) continue;
            script += value.existed ? RegScriptValueLine(value.name, value.type, value.data)
                                    : ValueNameText(value.name) + L"=-";
            script += L"\r\n";
        }
    }
    // Deeper keys first, so that each removal finds its key still there.
    std::vector<std::wstring> created = createdKeys_;
    std::stable_sort(created.begin(), created.end(), [](const std::wstring& a, const std::wstring& b) {
        return std::count(a.begin(), a.end(), L'\\') > std::count(b.begin(), b.end(), L'\\');
    });
    for (const auto& key : created) script += L"\r\n[-" + key + L"]\r\n";
    return script + L"\r\n";
}

}  // namespace keyscour
