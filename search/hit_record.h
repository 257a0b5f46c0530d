#pragma once
// What a search hands on for each hit, and what it counts: all that the
// printers know of the search.

#include <cstdint>
#include <span>
#include <string_view>

namespace keyscour::search {

// What of a value matched, in Record::matched: its name, its data, or both.
inline constexpr int kMatchedName = 1;
inline constexpr int kMatchedData = 2;
// --binary-text: found in binary data read as UTF-16LE text, or as ANSI text.
inline constexpr int kMatchedBinaryUtf16 = 4;
inline constexpr int kMatchedBinaryAnsi = 8;
inline constexpr int kMatchedInBinary = kMatchedBinaryUtf16 | kMatchedBinaryAnsi;

// One hit, or one value of a replace.
struct Record {
    std::wstring_view root;  // long name, "HKEY_LOCAL_MACHINE"
    std::wstring_view key;   // path below the root
    bool isKey = false;      // a key whose name matched
    std::wstring_view name;  // the value's name, "" for the default value
    std::uint32_t type = 0;
    std::span<const std::uint8_t> data;
    int matched = 0;  // kMatchedName, kMatchedData and kMatchedInBinary's for values
    bool tombstone = false;  // a hive's mark of a value deleted in its layer
    std::wstring_view user;  // the profile folder of the hive it is in; empty for none
    std::uint64_t written = 0;  // its key's last-write time (a FILETIME); 0 for none
    std::wstring_view old;      // with --pairs: the OLD that matched first
    std::wstring_view view;     // "32" for a row of the 32-bit view, whose key is the real path
    std::wstring_view viewKey;  // the key as that view names it
};

struct Totals {
    std::uint64_t keys = 0;        // keys walked
    std::uint64_t hits = 0;
    std::uint64_t skipped = 0;     // values a replace left alone, texts too long for a regex
    std::uint64_t unreadable = 0;  // keys that could not be opened
    std::uint64_t changed = 0;     // values a replace wrote (or would write)
    std::uint64_t renamedValues = 0;  // value names a replace renamed (or would rename)
    std::uint64_t renamedKeys = 0;
    std::uint64_t leftOut = 0;     // rows a .reg output could not carry (a line break in a name)
    std::uint64_t skippedLines = 0;  // lines of a .reg source that Windows skips too
    double ms = 0;
    bool interrupted = false;
};

}  // namespace keyscour::search
