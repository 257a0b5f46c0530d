#pragma once
// The output formats of the command line, each a small class fed record by
// record as the walk finds them: JSON Lines, CSV, an aligned table and a
// registry script.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "output/sink.h"
#include "search/hit_record.h"

namespace keyscour::output {

using search::kMatchedData;
using search::kMatchedName;
using search::Record;
using search::Totals;

enum class Format { kTable, kCsv, kJsonl, kReg };
std::optional<Format> ParseFormat(std::wstring_view name);

class Output {
public:
    virtual ~Output() = default;
    virtual void Warning(std::wstring_view message) = 0;
    virtual void Hit(const Record& record) = 0;
    // A value a replace changes (or, dry, would change) from record's data
    // to newData of newType.
    virtual void Change(const Record& record, std::uint32_t newType, std::span<const std::uint8_t> newData) = 0;
    // A name a replace renames (or, dry, would rename): for a value, to
    // the name to; for a key, to the key path to, named as rows name keys.
    virtual void Rename(const Record& record, std::wstring_view to) = 0;
    virtual void Skip(const Record& record, std::wstring_view reason) = 0;
    virtual void Summary(const Totals& totals) = 0;
    // Where a replace kept a dirty hive's files as they were; the other
    // formats leave it to the line on standard error.
    virtual void Originals(std::wstring_view path) { (void)path; }
    // Rows left out so far because the format cannot carry them.
    virtual std::uint64_t LeftOut() const { return 0; }
};

// Why a row cannot stand in a .reg file, or empty when it can: a line break
// in its key path or its name would end its line, and an import would read
// the rest as lines of their own. The message names the row, breaks shown
// as \n.
std::wstring RegScriptRefusal(const Record& record);

// The table's columns beyond the usual, for sources that have them; the
// other formats always carry them, null or empty where there are none.
struct TableColumns {
    bool user = false;     // whose hive a row is in
    bool written = false;  // its key's last-write time
};

// out takes the records; messages meant for people go to errors.
std::unique_ptr<Output> MakeOutput(Format format, Sink& out, Sink& errors, bool quiet, TableColumns columns = {});

// A JSON string literal of text, quotes included. Lone surrogates, which
// UTF-8 cannot carry, are written as \uD8xx escapes.
std::string JsonString(std::wstring_view text);

}  // namespace keyscour::output
