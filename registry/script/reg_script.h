#pragma once
// Registry scripts in the "Windows Registry Editor Version 5.00" form, as
// regedit exports and imports them: the one writer of the undo file and of
// every .reg output, and the reader of .reg files.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace keyscour {

// The first line of a registry script, and of one in REGEDIT4 form.
inline constexpr std::wstring_view kRegScriptHeader = L"Windows Registry Editor Version 5.00";
inline constexpr std::wstring_view kRegScriptHeader4 = L"REGEDIT4";

// Builds a script; lines end in CR LF.
class RegScriptWriter {
public:
    RegScriptWriter();

    void Key(std::wstring_view fullKey);
    void RemovedKey(std::wstring_view fullKey);
    void Value(std::wstring_view name, std::uint32_t type, std::span<const std::uint8_t> data);
    void RemovedValue(std::wstring_view name);
    // A comment line, which importers skip: text starts with its ';'.
    void Comment(std::wstring_view text);

    // The script, ended by an empty line.
    std::wstring Finish();
    // What has been written so far, handed out and forgotten: a long script
    // goes out in pieces, Finish giving the last.
    std::wstring Take();
    // Characters written and not yet taken.
    std::size_t Size() const { return text_.size(); }

    // Whether a key or value name can stand in a script: a line break in it
    // would end its line, and an import would run the rest as lines of its own.
    static bool Carries(std::wstring_view name);

private:
    std::wstring text_;
};

// text in double quotes as a script writes a name: backslashes and quotes
// escaped with a backslash.
std::wstring RegScriptQuoted(std::wstring_view text);

// One value's line, without its line end.
std::wstring RegScriptValueLine(std::wstring_view name, std::uint32_t type, std::span<const std::uint8_t> data);

// What a script says, line by line.
class RegScriptVisitor {
public:
    virtual void Key(const std::wstring& fullKey, bool remove, std::size_t line) = 0;
    virtual void Value(const std::wstring& name, std::uint32_t type, std::vector<std::uint8_t> data,
                       std::size_t line) = 0;
    virtual void RemovedValue(const std::wstring& name, std::size_t line) = 0;

protected:
    ~RegScriptVisitor() = default;
};

struct RegScriptError {
    std::size_t line;  // 1-based; 0 for the file as a whole
    std::wstring message;
};

// How a .reg file's bytes are read: by its byte order mark, else as UTF-8
// where the whole file is valid UTF-8, else in the ANSI code page
// (kAuto); or as told.
struct RegFileEncoding {
    enum class Kind { kAuto, kUtf8, kUtf16, kCodePage };
    Kind kind = Kind::kAuto;
    int codePage = 0;  // for kCodePage
};
// "utf-8", "utf-16", a code page number, or "cp" and one; nothing for others.
std::optional<RegFileEncoding> ParseRegFileEncoding(std::wstring_view name);

struct DecodedRegFile {
    std::wstring text;
    // The code page of the string bytes (hex(1), hex(2), hex(7)) of a
    // REGEDIT4 file, which regedit writes in ANSI; 0 for UTF-8.
    int ansiCodePage = 0;
};
// Throws RegScriptError at the line of the first byte that does not
// decode: nothing is ever put in its place.
DecodedRegFile DecodeRegFile(std::span<const std::uint8_t> bytes, RegFileEncoding encoding = {});

struct RegScriptReading {
    int ansiCodePage = 0;  // see DecodedRegFile; 0 reads those bytes as UTF-8
    // Asked now and then; when it answers true the read stops with
    // RegScriptStopped.
    std::function<bool()> stop;
    // A script of Keyscour's own (an undo file whose closing line matches):
    // every line must read, or the script is refused (RegScriptError), and
    // data is taken exactly as written.
    bool exact = false;
    // Told of each line skipped, with why, in a script read as Windows
    // reads it.
    std::function<void(std::size_t line, const std::wstring& why)> skipped;
};
struct RegScriptStopped {};

// Reads a script as Windows' importer reads it. The first line must be
// "Windows Registry Editor Version 5.00" or "REGEDIT4" (blanks before it
// allowed); any other line starting "REGEDIT" is the Windows 3.1 form,
// whose "HKEY_CLASSES_ROOT\path = text" lines set default values; any
// other file is refused whole (RegScriptError). After the header, a line
// Windows cannot use is skipped alone and a value whose data does not read
// is dropped, each told to skipped: keys whose root is unknown or whose
// path holds an empty or overlong name, values after them or after
// [-key], comments (';' or '#') after a value's data, hex data continued
// without a comma before the backslash, and lines that continued hex data
// runs into. Hex data continues over lines ending in ",\", comment and
// blank lines among them; non-empty hex(1), hex(2) and hex(7) data gets
// the terminator it lacks, as Windows stores it.
void ReadRegScript(std::wstring_view text, RegScriptVisitor& visitor, const RegScriptReading& reading = {});

}  // namespace keyscour
