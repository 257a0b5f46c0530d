// JSON Lines: one object per record, with the same fields every time, for
// jq, PowerShell's ConvertFrom-Json and Ansible.

#include <nlohmann/json.hpp>

#include "base/file_time.h"
#include "base/utf8.h"
#include "output/output_formats.h"
#include "registry/value_forms.h"
#include "registry/registry.h"

namespace keyscour::output {

namespace {

using Json = nlohmann::ordered_json;

bool NeedsCare(std::wstring_view text) {
    bool care = false;
    ForEachCodePoint(text, [&care](char32_t c, bool lone) { care = care || lone || c == 0; });
    return care;
}

// Texts with lone surrogates or NULs stand in the object as a placeholder
// that no other text can dump to (every other text is free of NULs), and
// their literal takes its place in the line.
class Line {
public:
    Json Text(std::wstring_view text) {
        if (!NeedsCare(text)) return ToUtf8(text);
        std::string placeholder(1, '\0');
        placeholder += std::to_string(literals_.size());
        literals_.push_back(JsonString(text));
        return placeholder;
    }
    std::string Dump(const Json& object) const {
        std::string line = object.dump();
        for (std::size_t i = 0; i < literals_.size(); ++i) {
            const std::string token = "\"\\u0000" + std::to_string(i) + "\"";
            const std::size_t at = line.find(token);
            if (at != std::string::npos) line.replace(at, token.size(), literals_[i]);
        }
        return line + "\n";
    }

private:
    std::vector<std::string> literals_;
};

Json DataJson(Line& line, std::uint32_t type, std::span<const std::uint8_t> data) {
    if (type == value_type::kString || type == value_type::kExpandString) return line.Text(StringOf(data));
    if (type == value_type::kMultiString) {
        Json strings = Json::array();
        for (const auto& text : StringsOf(data)) strings.push_back(line.Text(text));
        return strings;
    }
    if (const auto number = NumberOf(type, data)) return *number;
    return ToUtf8(HexOf(data));
}

class JsonLinesOutput final : public Output {
public:
    explicit JsonLinesOutput(Sink& out) : out_(out) {}

    void Warning(std::wstring_view message) override { TextRecord("warning", "message", message); }
    void Hit(const Record& record) override {
        Line line;
        Write(line, Fields(line, "hit", record));
    }
    void Change(const Record& record, std::uint32_t newType, std::span<const std::uint8_t> newData) override {
        Line line;
        Json object = Fields(line, "change", record);
        object["new_type"] = ToUtf8(TypeName(newType));
        object["new"] = DataJson(line, newType, newData);
        Write(line, object);
    }
    void Rename(const Record& record, std::wstring_view to) override {
        Line line;
        Json object = Fields(line, "rename", record);
        object[record.isKey ? "new_key" : "new_name"] = line.Text(to);
        Write(line, object);
    }
    void Skip(const Record& record, std::wstring_view reason) override {
        Line line;
        Json object = Fields(line, "skip", record);
        object["reason"] = line.Text(reason);
        Write(line, object);
    }
    void Originals(std::wstring_view path) override { TextRecord("originals", "path", path); }
    void Summary(const Totals& totals) override {
        Json object;
        object["kind"] = "summary";
        object["keys"] = totals.keys;
        object["hits"] = totals.hits;
        object["skipped"] = totals.skipped;
        object["unreadable"] = totals.unreadable;
        object["changed"] = totals.changed;
        object["renamed_values"] = totals.renamedValues;
        object["renamed_keys"] = totals.renamedKeys;
        object["left_out"] = totals.leftOut;
        object["skipped_lines"] = totals.skippedLines;
        object["ms"] = static_cast<std::uint64_t>(totals.ms + 0.5);
        object["interrupted"] = totals.interrupted;
        Write(Line(), object);
    }

private:
    // A record of one text besides its kind.
    void TextRecord(const char* kind, const char* field, std::wstring_view text) {
        Line line;
        Json object;
        object["kind"] = kind;
        object[field] = line.Text(text);
        Write(line, object);
    }
    static Json Fields(Line& line, const char* kind, const Record& record) {
        Json object;
        object["kind"] = kind;
        object["root"] = line.Text(record.root);
        object["key"] = line.Text(record.key);
        Json matched = Json::array();
        if (record.isKey) {
            object["name"] = nullptr;
            object["type"] = nullptr;
            object["data"] = nullptr;
            matched.push_back("key");
        } else {
            object["name"] = line.Text(record.name);
            object["type"] = ToUtf8(TypeName(record.type));
            object["data"] = DataJson(line, record.type, record.data);
            if (record.matched & kMatchedName) matched.push_back("name");
            if (record.matched & kMatchedData) matched.push_back("data");
            if (record.matched & search::kMatchedBinaryUtf16) matched.push_back("binary-utf16");
            if (record.matched & search::kMatchedBinaryAnsi) matched.push_back("binary-ansi");
        }
        object["matched"] = matched;
        object["user"] = record.user.empty() ? Json(nullptr) : line.Text(record.user);
        object["written"] = record.written ? Json(ToUtf8(IsoUtcOf(record.written))) : Json(nullptr);
        object["view"] = record.view.empty() ? Json(nullptr) : line.Text(record.view);
        if (!record.viewKey.empty()) object["view_key"] = line.Text(record.viewKey);
        if (!record.old.empty()) object["old"] = line.Text(record.old);
        if (record.tombstone) object["tombstone"] = true;
        return object;
    }
    void Write(const Line& line, const Json& object) { out_.Text(FromUtf8(line.Dump(object))); }

    Sink& out_;
};

}  // namespace

std::string JsonString(std::wstring_view text) {
    std::string literal = "\"";
    std::wstring run;
    auto flush = [&] {
        if (run.empty()) return;
        const std::string dumped = Json(ToUtf8(run)).dump();
        literal.append(dumped, 1, dumped.size() - 2);
        run.clear();
    };
    ForEachCodePoint(text, [&](char32_t c, bool lone) {
        if (!lone) {
            // Back to wide form: a pair stays a pair on Windows.
            if (sizeof(wchar_t) == 2 && c > 0xFFFF) {
                run += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
                run += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
            } else {
                run += static_cast<wchar_t>(c);
            }
            return;
        }
        flush();
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
        literal += escape;
    });
    flush();
    return literal + "\"";
}

std::unique_ptr<Output> MakeJsonLinesOutput(Sink& out) { return std::make_unique<JsonLinesOutput>(out); }

}  // namespace keyscour::output
