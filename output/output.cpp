#include "output/output.h"

#include <cstdio>

#include "output/output_formats.h"
#include "registry/script/reg_script.h"

namespace keyscour::output {

namespace {

class WithMessages final : public Output {
public:
    WithMessages(std::unique_ptr<Output> format, Sink& errors, bool quiet)
        : format_(std::move(format)), errors_(errors), quiet_(quiet) {}
    void Warning(std::wstring_view message) override { errors_.Text(L"warning: " + std::wstring(message) + L"\n"); }
    void Hit(const Record& record) override { format_->Hit(record); }
    void Change(const Record& record, std::uint32_t newType, std::span<const std::uint8_t> newData) override {
        format_->Change(record, newType, newData);
    }
    void Rename(const Record& record, std::wstring_view to) override { format_->Rename(record, to); }
    void Skip(const Record& record, std::wstring_view reason) override { format_->Skip(record, reason); }
    std::uint64_t LeftOut() const override { return format_->LeftOut(); }
    void Summary(const Totals& totals) override {
        format_->Summary(totals);
        if (quiet_) return;
        wchar_t line[256];
        std::swprintf(line, 256, L"%llu hits, %llu changed, %llu skipped, %llu left out, %llu unreadable keys, %llu keys in %.0f ms%ls\n",
                      static_cast<unsigned long long>(totals.hits), static_cast<unsigned long long>(totals.changed),
                      static_cast<unsigned long long>(totals.skipped), static_cast<unsigned long long>(totals.leftOut),
                      static_cast<unsigned long long>(totals.unreadable), static_cast<unsigned long long>(totals.keys),
                      totals.ms, totals.interrupted ? L" (interrupted)" : L"");
        std::wstring said = line;
        if (totals.renamedValues || totals.renamedKeys)
            said.insert(said.find(L" changed") + 8, L", " + std::to_wstring(totals.renamedValues) + L" values and " +
                                                        std::to_wstring(totals.renamedKeys) + L" keys renamed");
        if (totals.skippedLines)
            said.insert(said.size() - 1, L", " + std::to_wstring(totals.skippedLines) + L" lines of the .reg file skipped");
        errors_.Text(said);
    }

private:
    std::unique_ptr<Output> format_;
    Sink& errors_;
    bool quiet_;
};

}  // namespace

std::unique_ptr<Output> WithMessagesTo(std::unique_ptr<Output> format, Sink& errors, bool quiet) {
    return std::make_unique<WithMessages>(std::move(format), errors, quiet);
}

std::wstring RegScriptRefusal(const Record& record) {
    std::wstring place = std::wstring(record.root) + (record.key.empty() ? L"" : L"\\" + std::wstring(record.key));
    const bool keyCarried = RegScriptWriter::Carries(place);
    if (!record.isKey) place += L"\\" + std::wstring(record.name);
    if (keyCarried && (record.isKey || RegScriptWriter::Carries(record.name))) return {};
    std::wstring shown;
    for (wchar_t c : place) shown += c == L'\n' ? L"\\n" : c == L'\r' ? L"\\r" : std::wstring(1, c);
    return std::wstring(keyCarried ? L"its name" : L"its key's name") +
           L" holds a line break, which a .reg file cannot carry: " + shown;
}

std::optional<Format> ParseFormat(std::wstring_view name) {
    if (name == L"table") return Format::kTable;
    if (name == L"csv") return Format::kCsv;
    if (name == L"jsonl") return Format::kJsonl;
    if (name == L"reg") return Format::kReg;
    return std::nullopt;
}

std::unique_ptr<Output> MakeOutput(Format format, Sink& out, Sink& errors, bool quiet, TableColumns columns) {
    switch (format) {
    case Format::kJsonl: {
        // Warnings are records here; the totals are the last record.
        return MakeJsonLinesOutput(out);
    }
    case Format::kCsv: return WithMessagesTo(MakeCsvOutput(out), errors, quiet);
    case Format::kTable: return WithMessagesTo(MakeTableOutput(out, columns), errors, quiet);
    case Format::kReg: return WithMessagesTo(MakeRegOutput(out, errors), errors, quiet);
    }
    return nullptr;
}

}  // namespace keyscour::output
