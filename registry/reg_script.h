#pragma once
// Registry scripts in the "Windows Registry Editor Version 5.00" form, as
// regedit exports and imports them: the one writer of the undo file and of
// every .reg output, and the reader of .reg files.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace keyscour {

// Builds a script; lines end in CR LF.
class RegScriptWriter {
public:
    RegScriptWriter();

    void Key(std::wstring_view fullKey);
    void RemovedKey(std::wstring_view fullKey);
    void Value(std::wstring_view name, std::uint32_t type, std::span<const std::uint8_t> data);
    void RemovedValue(std::wstring_view name);

    // The script, ended by an empty line.
    std::wstring Finish();
    // What has been written so far, handed out and forgotten: a long script
    // goes out in pieces, Finish giving the last.
    std::wstring Take();

    // Whether a key or value name can stand in a script: a line break in it
    // would end its line, and an import would run the rest as lines of its own.
    static bool Carries(std::wstring_view name);

private:
    std::wstring text_;
};

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

// The text of a .reg file: UTF-16LE after its byte order mark, as regedit
// writes it, or else UTF-8 (a byte order mark is dropped).
std::wstring DecodeRegFile(std::span<const std::uint8_t> bytes);

// Reads both headers ("Windows Registry Editor Version 5.00" and
// "REGEDIT4"), comments, line continuations, [key] and [-key] lines, and
// values as "strings", dword:, hex: and every hex(N):, and "name"=-.
// Throws RegScriptError at the first line it cannot read.
void ReadRegScript(std::wstring_view text, RegScriptVisitor& visitor);

}  // namespace keyscour
