#include "cli/sink.h"

#include "base/utf16.h"
#include "base/utf8.h"

#ifdef _WIN32
#include <windows.h>
#include <io.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include <iostream>

namespace keyscour::cli {

namespace {

std::string Utf16Bytes(std::wstring_view text) {
    const auto bytes = EncodeUtf16Le(std::wstring(text));
    return std::string(bytes.begin(), bytes.end());
}

// Buffered writes of bytes to a C stream.
class FileStreamSink : public Sink {
public:
    FileStreamSink(std::FILE* file, bool owned) : file_(file), owned_(owned) {}
    ~FileStreamSink() override {
        Flush();
        if (owned_) std::fclose(file_);
    }
    void Text(std::wstring_view text) override { Bytes(ToUtf8(text)); }
    void Utf16(std::wstring_view text) override { Bytes(Utf16Bytes(text)); }
    void Flush() override { std::fflush(file_); }
    bool IsTerminal() const override { return false; }
    int Width() const override { return 0; }

protected:
    void Bytes(const std::string& bytes) { std::fwrite(bytes.data(), 1, bytes.size(), file_); }
    std::FILE* file_;
    bool owned_;
};

#ifdef _WIN32
class ConsoleSink final : public Sink {
public:
    explicit ConsoleSink(HANDLE console) : console_(console) {}
    void Text(std::wstring_view text) override {
        // The console wants CR LF; pieces keep each call's size bounded.
        std::wstring line;
        for (wchar_t c : text) {
            if (c == L'\n') line += L'\r';
            line += c;
        }
        for (std::size_t at = 0; at < line.size(); at += 8192) {
            DWORD written = 0;
            const auto size = static_cast<DWORD>(std::min<std::size_t>(8192, line.size() - at));
            WriteConsoleW(console_, line.data() + at, size, &written, nullptr);
        }
    }
    void Utf16(std::wstring_view text) override { Text(text); }
    void Flush() override {}
    bool IsTerminal() const override { return true; }
    int Width() const override {
        CONSOLE_SCREEN_BUFFER_INFO info{};
        if (!GetConsoleScreenBufferInfo(console_, &info)) return 80;
        return info.srWindow.Right - info.srWindow.Left + 1;
    }

private:
    HANDLE console_;
};
#else
class TerminalSink final : public FileStreamSink {
public:
    explicit TerminalSink(std::FILE* file) : FileStreamSink(file, false) {}
    void Text(std::wstring_view text) override {
        FileStreamSink::Text(text);
        Flush();
    }
    bool IsTerminal() const override { return true; }
    int Width() const override {
        winsize size{};
        if (ioctl(fileno(file_), TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return 80;
        return size.ws_col;
    }
};
#endif

}  // namespace

std::unique_ptr<Sink> StandardSink(Stream stream) {
    std::FILE* file = stream == Stream::kOut ? stdout : stderr;
#ifdef _WIN32
    HANDLE handle = GetStdHandle(stream == Stream::kOut ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (handle && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode))
        return std::make_unique<ConsoleSink>(handle);
    _setmode(_fileno(file), 0x8000);  // _O_BINARY: bytes as written, no CR added
    return std::make_unique<FileStreamSink>(file, false);
#else
    if (isatty(fileno(file))) return std::make_unique<TerminalSink>(file);
    return std::make_unique<FileStreamSink>(file, false);
#endif
}

std::unique_ptr<Sink> FileSink(const std::string& utf8Path) {
#ifdef _WIN32
    std::FILE* file = _wfopen(FromUtf8(utf8Path).c_str(), L"wb");
#else
    std::FILE* file = std::fopen(utf8Path.c_str(), "wb");
#endif
    if (!file) return nullptr;
    return std::make_unique<FileStreamSink>(file, true);
}

bool InputIsTerminal() {
#ifdef _WIN32
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
#else
    return isatty(fileno(stdin)) != 0;
#endif
}

std::wstring ReadInputLine() {
#ifdef _WIN32
    wchar_t buffer[256] = {};
    DWORD read = 0;
    if (!ReadConsoleW(GetStdHandle(STD_INPUT_HANDLE), buffer, 255, &read, nullptr)) return {};
    std::wstring line(buffer, read);
#else
    std::string bytes;
    std::getline(std::cin, bytes);
    std::wstring line = FromUtf8(bytes);
#endif
    while (!line.empty() && (line.back() == L'\n' || line.back() == L'\r')) line.pop_back();
    return line;
}

}  // namespace keyscour::cli
