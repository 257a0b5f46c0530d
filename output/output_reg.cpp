// A registry script of the records, in UTF-16LE with a byte order mark as
// regedit writes it, through the undo file's own writer: hits with their
// data, a replace's values with their new data, keys as bare sections.

#include <string>

#include "output/output_formats.h"
#include "registry/script/reg_script.h"

namespace keyscour::output {

namespace {

class RegOutput final : public Output {
public:
    RegOutput(Sink& out, Sink& errors) : out_(out), errors_(errors) {}
    void Warning(std::wstring_view) override {}
    void Hit(const Record& record) override { Put(record, record.type, record.data); }
    void Change(const Record& record, std::uint32_t newType, std::span<const std::uint8_t> newData) override { Put(record, newType, newData); }
    // A value's old name removed and the value written under its new one;
    // a key removed, its subtree to follow under its new path as hits.
    void Rename(const Record& record, std::wstring_view to) override {
        if (!Carried(record)) return;
        if (record.isKey) {
            if (!script_) script_.emplace();
            script_->RemovedKey(FullKey(record));
            lastKey_.clear();
            Flush(false);
            return;
        }
        Section(record);
        script_->RemovedValue(record.name);
        script_->Value(to, record.type, record.data);
        Flush(false);
    }
    void Skip(const Record&, std::wstring_view) override {}
    void Summary(const Totals&) override { Flush(true); }
    std::uint64_t LeftOut() const override { return leftOut_; }

private:
    void Put(const Record& record, std::uint32_t type, std::span<const std::uint8_t> data) {
        if (!Carried(record)) return;
        Section(record);
        if (!record.isKey) script_->Value(record.name, type, data);
        Flush(false);
    }
    bool Carried(const Record& record) {
        const std::wstring refusal = RegScriptRefusal(record);
        if (refusal.empty()) return true;
        // Never under the section before: the row is left out whole.
        ++leftOut_;
        errors_.Text(L"keyscour-cli: left out of the .reg output: " + refusal + L"\n");
        return false;
    }
    static std::wstring FullKey(const Record& record) {
        std::wstring full(record.root);
        if (!record.key.empty()) full.append(L"\\").append(record.key);
        return full;
    }
    void Section(const Record& record) {
        const std::wstring full = FullKey(record);
        if (!script_) script_.emplace();
        if (full != lastKey_) {
            script_->Key(full);
            lastKey_ = full;
        }
    }
    // The script goes out in pieces, key by key, so that a long walk's hits
    // are not all held.
    void Flush(bool last) {
        if (!script_) script_.emplace();
        std::wstring text = last ? script_->Finish() : script_->Take();
        if (!started_) {
            text.insert(text.begin(), L'\xFEFF');
            started_ = true;
        }
        out_.Utf16(text);
        if (last) script_.reset();
    }
    Sink& out_;
    Sink& errors_;
    std::uint64_t leftOut_ = 0;
    std::optional<RegScriptWriter> script_;
    std::wstring lastKey_;
    bool started_ = false;
};

}  // namespace

std::unique_ptr<Output> MakeRegOutput(Sink& out, Sink& errors) { return std::make_unique<RegOutput>(out, errors); }

}  // namespace keyscour::output
