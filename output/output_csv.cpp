// CSV as RFC 4180 says: a header line, fields quoted where they hold a
// comma, a quote or a line break, inner quotes doubled, lines ending CR LF.
// Columns added later go at the end, so a script's column numbers hold.

#include "base/file_time.h"
#include "output/output_formats.h"
#include "registry/value_forms.h"

namespace keyscour::output {

namespace {

std::wstring Field(std::wstring_view text) { return QuotedField(text, L",\"\r\n"); }

std::wstring Matched(const Record& record) {
    if (record.isKey) return L"key";
    std::wstring parts;
    if (record.matched & kMatchedName) parts = L"name";
    for (const auto& [flag, part] : {std::pair{kMatchedData, L"data"}, std::pair{search::kMatchedBinaryUtf16, L"binary-utf16"},
                                     std::pair{search::kMatchedBinaryAnsi, L"binary-ansi"}})
        if (record.matched & flag) parts += (parts.empty() ? L"" : L" ") + std::wstring(part);
    return parts;
}

class CsvOutput final : public Output {
public:
    explicit CsvOutput(Sink& out) : out_(out) {}
    void Warning(std::wstring_view) override {}
    void Hit(const Record& record) override { Line(record, L"root,key,name,type,data,matched,user,written,view", {}); }
    void Change(const Record& record, std::uint32_t newType, std::span<const std::uint8_t> newData) override {
        Line(record, L"root,key,name,type,data,matched,new,result,user,written,view", L"," + Field(DataText(newType, newData)) + L",changed");
    }
    void Rename(const Record& record, std::wstring_view to) override {
        Line(record, L"root,key,name,type,data,matched,new,result,user,written,view", L"," + Field(to) + L",renamed");
    }
    void Skip(const Record& record, std::wstring_view reason) override {
        Line(record, L"root,key,name,type,data,matched,new,result,user,written,view", L",," + Field(L"skipped: " + std::wstring(reason)));
    }
    void Summary(const Totals&) override {
        if (!headed_) out_.Text(L"root,key,name,type,data,matched,user,written,view\r\n");
        headed_ = true;
    }

private:
    void Line(const Record& record, std::wstring_view header, const std::wstring& tail) {
        if (!headed_) out_.Text(std::wstring(header) + L"\r\n");
        headed_ = true;
        std::wstring line = Field(record.root) + L',' + Field(record.key) + L',';
        if (!record.isKey)
            line += Field(record.name) + L',' + TypeName(record.type) + L',' + Field(DataText(record.type, record.data));
        else
            line += L",,";
        out_.Text(line + L',' + Matched(record) + tail + L',' + Field(record.user) + L',' +
                  (record.written ? IsoUtcOf(record.written) : L"") + L',' + Field(record.view) + L"\r\n");
    }
    Sink& out_;
    bool headed_ = false;
};

}  // namespace

std::unique_ptr<Output> MakeCsvOutput(Sink& out) { return std::make_unique<CsvOutput>(out); }

}  // namespace keyscour::output
