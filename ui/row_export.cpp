#include "ui/row_export.h"

#include "base/utf8.h"
#include "engine/keyscour.h"
#include "registry/script/reg_script.h"
#include "registry/value_forms.h"

namespace keyscour::row_export {

namespace {

struct ValueNow {
    bool exists = false;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
};

// The row's value as the registry holds it now.
ValueNow Read(Registry& registry, const ResultRows& rows, std::size_t row) {
    ValueNow now;
    const std::wstring_view key = rows.Key(row);
    const std::size_t keyLength = rows.KeyPathLength(row);
    KeyHandle opened = 0;
    if (registry.OpenKey(rows.Root(row), std::wstring(key.substr(0, keyLength)), opened) != status::kSuccess) return now;
    const auto owner = AdoptKey(registry, opened);
    const std::wstring name(key.substr(std::min(keyLength + 1, key.size())));
    now.exists = registry.QueryValue(opened, name, now.type, now.data) == status::kSuccess;
    return now;
}

}  // namespace

std::wstring TabSeparated(const ResultRows& rows, const std::vector<std::size_t>& which) {
    std::wstring text;
    for (std::size_t row : which) {
        for (int column = 0; column < 3; ++column) {
            if (column) text += L'\t';
            text += QuotedField(rows.Column(row, column), L"\t\"\r\n");
        }
        text += L"\r\n";
    }
    return text;
}

std::wstring KeyPath(const ResultRows& rows, std::size_t row) {
    std::wstring path(rows.RootName(row));
    const std::wstring_view key = rows.Key(row).substr(0, rows.KeyPathLength(row));
    if (!key.empty()) path.append(L"\\").append(key);
    return path;
}

std::wstring RegScript(Registry& registry, const ResultRows& rows, const std::vector<std::size_t>& which) {
    RegScriptWriter script;
    std::wstring lastKey;
    for (std::size_t row : which) {
        const std::wstring key = KeyPath(rows, row);
        if (rows.Kind(row) == FoundKeyName) {
            if (key != lastKey) script.Key(key);
            lastKey = key;
            continue;
        }
        const ValueNow now = Read(registry, rows, row);
        const std::wstring_view name = rows.Key(row).substr(std::min(rows.KeyPathLength(row) + 1, rows.Key(row).size()));
        if (!now.exists || !RegScriptWriter::Carries(key) || !RegScriptWriter::Carries(name)) continue;
        if (key != lastKey) script.Key(key);
        lastKey = key;
        script.Value(name, now.type, now.data);
    }
    return script.Finish();
}

std::string Csv(Registry& registry, const ResultRows& rows, const std::vector<std::size_t>& which) {
    std::wstring text = L"\xFEFFRoot Key,Sub Key,Value,Type,Data\r\n";
    const std::wstring_view special = L",\"\r\n";
    for (std::size_t row : which) {
        for (int column = 0; column < 3; ++column) text += QuotedField(rows.Column(row, column), special) + L',';
        if (rows.Kind(row) != FoundKeyName) {
            const ValueNow now = Read(registry, rows, row);
            if (now.exists) text += TypeName(now.type) + L',' + QuotedField(DataText(now.type, now.data), special);
            else text += L',';
        } else {
            text += L',';
        }
        text += L"\r\n";
    }
    return ToUtf8(text);
}

}  // namespace keyscour::row_export
