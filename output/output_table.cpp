// A table for people at a terminal: one line per record in columns fitted
// to the terminal's width, long texts shortened with an ellipsis.

#include <algorithm>

#include "base/file_time.h"
#include "output/output_formats.h"
#include "registry/value_forms.h"

namespace keyscour::output {

namespace {

constexpr wchar_t kEllipsis = L'\u2026';

// Control characters would break the columns; they show as spaces.
std::wstring Printable(std::wstring_view text) {
    std::wstring out(text);
    for (auto& c : out)
        if (c < 0x20) c = L' ';
    return out;
}

// Shortened to width on a terminal; elsewhere (a file, a pipe) a longer
// text runs on whole, since what reads it may need all of it.
std::wstring Cell(std::wstring_view text, std::size_t width, bool shorten, bool keepEnd = false) {
    std::wstring cell = Printable(text);
    if (cell.size() > width && !shorten) return cell;
    if (cell.size() > width) {
        if (width == 0) return {};
        // Key paths say most at their ends; data at its start.
        cell = keepEnd ? kEllipsis + cell.substr(cell.size() - (width - 1)) : cell.substr(0, width - 1) + kEllipsis;
    }
    return cell + std::wstring(width - cell.size(), L' ');
}

std::wstring ShortRoot(std::wstring_view root) {
    if (root == L"HKEY_CLASSES_ROOT") return L"HKCR";
    if (root == L"HKEY_CURRENT_USER") return L"HKCU";
    if (root == L"HKEY_LOCAL_MACHINE") return L"HKLM";
    if (root == L"HKEY_USERS") return L"HKU";
    if (root == L"HKEY_CURRENT_CONFIG") return L"HKCC";
    return std::wstring(root);
}

class TableOutput final : public Output {
public:
    TableOutput(Sink& out, TableColumns columns) : out_(out), shorten_(out.IsTerminal()) {
        user_ = columns.user ? kUser : 0;
        written_ = columns.written ? kWritten : 0;
        const std::size_t width = std::max(static_cast<std::size_t>(std::max(out.Width(), 0)),
                                           60 + (user_ ? user_ + 1 : 0) + (written_ ? written_ + 1 : 0));
        // ROOT, USER, TYPE and WRITTEN are narrow; the key gets the most of what is left.
        const std::size_t rest = width - kRoot - kType - 4 - (user_ ? user_ + 1 : 0) - (written_ ? written_ + 1 : 0);
        key_ = rest * 45 / 100;
        name_ = rest * 20 / 100;
        data_ = rest - key_ - name_;
    }
    void Warning(std::wstring_view) override {}
    void Hit(const Record& record) override { Line(record, record.isKey ? L"" : DataText(record.type, record.data)); }
    void Change(const Record& record, std::uint32_t newType, std::span<const std::uint8_t> newData) override {
        Line(record, DataText(record.type, record.data) + L" \u2192 " + DataText(newType, newData));
    }
    void Rename(const Record& record, std::wstring_view to) override {
        Line(record, L"(renamed \u2192 " + std::wstring(to) + L")");
    }
    void Skip(const Record& record, std::wstring_view reason) override {
        Line(record, L"(skipped: " + std::wstring(reason) + L")");
    }
    void Summary(const Totals&) override {}

private:
    static constexpr std::size_t kRoot = 5;
    static constexpr std::size_t kType = 14;
    static constexpr std::size_t kUser = 12;
    static constexpr std::size_t kWritten = 20;  // 2026-12-08T18:30:05Z

    void Line(const Record& record, const std::wstring& data) {
        if (!headed_) {
            out_.Text(Cell(L"ROOT", kRoot, shorten_) + L" " + (user_ ? Cell(L"USER", user_, shorten_) + L" " : L"") +
                      Cell(L"KEY", key_, shorten_) + L" " +
                      Cell(L"NAME", name_, shorten_) + L" " + Cell(L"TYPE", kType, shorten_) + L" " +
                      (written_ ? Cell(L"WRITTEN", written_, shorten_) + L" " : L"") + L"DATA\n");
            headed_ = true;
        }
        const std::wstring name = record.isKey ? L"" : record.name.empty() ? L"(default)" : std::wstring(record.name);
        std::wstring line = Cell(ShortRoot(record.root), kRoot, shorten_) + L" " +
                            (user_ ? Cell(record.user, user_, shorten_) + L" " : L"") +
                            Cell(record.key, key_, shorten_, true) +
                            L" " + Cell(name, name_, shorten_) + L" " +
                            Cell(record.isKey ? L"(key)" : TypeName(record.type), kType, shorten_) + L" " +
                            (written_ ? Cell(record.written ? IsoUtcOf(record.written) : L"", written_, shorten_) + L" "
                                      : L"") +
                            Cell(data, data_, shorten_);
        while (!line.empty() && line.back() == L' ') line.pop_back();
        out_.Text(line + L"\n");
    }
    Sink& out_;
    bool shorten_;
    std::size_t key_ = 0, name_ = 0, data_ = 0, user_ = 0, written_ = 0;
    bool headed_ = false;
};

}  // namespace

std::unique_ptr<Output> MakeTableOutput(Sink& out, TableColumns columns) {
    return std::make_unique<TableOutput>(out, columns);
}

}  // namespace keyscour::output
