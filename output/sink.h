#pragma once
// Where output goes: a file, a pipe, or a terminal. Text is written as
// UTF-8 except to a Windows console, which takes it as UTF-16
// (WriteConsoleW) so that every character shows.

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace keyscour::output {

class Sink {
public:
    virtual ~Sink() = default;
    virtual void Text(std::wstring_view text) = 0;
    // UTF-16LE bytes, for .reg output; a terminal shows them as text.
    virtual void Utf16(std::wstring_view text) = 0;
    virtual void Flush() = 0;
    virtual bool IsTerminal() const = 0;
    // The terminal's width in columns; 0 when not a terminal.
    virtual int Width() const = 0;
    // Why the first write that failed did, naming the output; empty while
    // none has. Writes after a failure do nothing.
    virtual std::wstring Failure() const = 0;
    // Flushes, and puts a file in place; false on a failure (Failure says).
    virtual bool Finish() = 0;
};

enum class Stream { kOut, kError };

// Standard output or standard error.
std::unique_ptr<Sink> StandardSink(Stream stream);
// A file, written by way of a new file beside it that Finish renames into
// place (a device, FIFO or terminal is written as it is). Throws FileError.
std::unique_ptr<Sink> FileSink(const std::string& utf8Path);

// Whether standard input is a terminal, and a line read from it.
bool InputIsTerminal();
std::wstring ReadInputLine();

}  // namespace keyscour::output
