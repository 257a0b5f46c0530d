#include "output/sink.h"

#include "base/file_util.h"
#include "base/utf16.h"
#include "base/utf8.h"

#ifdef _WIN32
#include <windows.h>
#include <io.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>
#include <iostream>

namespace keyscour::output {

namespace {

std::string Utf16Bytes(std::wstring_view text) {
    const auto bytes = EncodeUtf16Le(std::wstring(text));
    return std::string(bytes.begin(), bytes.end());
}

// Buffered writes of bytes to standard output or standard error, every
// one checked: a full disk or a closed pipe is a failure to report, not
// a success.
class StandardStreamSink : public Sink {
public:
    StandardStreamSink(std::FILE* file, std::wstring name) : file_(file), name_(std::move(name)) {}
    ~StandardStreamSink() override { Flush(); }
    void Text(std::wstring_view text) override { Bytes(ToUtf8(text)); }
    void Utf16(std::wstring_view text) override { Bytes(Utf16Bytes(text)); }
    void Flush() override {
        if (failure_.empty() && std::fflush(file_) != 0) Fail(errno);
    }
    bool IsTerminal() const override { return false; }
    int Width() const override { return 0; }
    std::wstring Failure() const override { return failure_; }
    bool Finish() override {
        Flush();
        return failure_.empty();
    }

protected:
    void Bytes(const std::string& bytes) {
        if (failure_.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) Fail(errno);
    }
    void Fail(int error) {
        failure_ = name_ + L": " + FromUtf8(std::strerror(error ? error : EIO));
        std::clearerr(file_);
    }
    std::FILE* file_;
    std::wstring name_;
    std::wstring failure_;
};

// A file put in place once whole; its bytes gathered into blocks.
class ReplacingFileSink final : public Sink {
public:
    explicit ReplacingFileSink(const std::string& path) : file_(path) { buffer_.reserve(kBlock); }
    void Text(std::wstring_view text) override { Bytes(ToUtf8(text)); }
    void Utf16(std::wstring_view text) override { Bytes(Utf16Bytes(text)); }
    void Flush() override {
        file_.Write({reinterpret_cast<const std::uint8_t*>(buffer_.data()), buffer_.size()});
        buffer_.clear();
    }
    bool IsTerminal() const override { return false; }
    int Width() const override { return 0; }
    std::wstring Failure() const override {
        if (file_.Error() == 0) return {};
        return FileError{file_.Path(), file_.Error(), {}}.Message();
    }
    bool Finish() override {
        Flush();
        return file_.Commit();
    }

private:
    static constexpr std::size_t kBlock = 1 << 16;
    void Bytes(const std::string& bytes) {
        if (file_.Error() != 0) return;
        buffer_ += bytes;
        if (buffer_.size() >= kBlock) Flush();
    }
    ReplacingFile file_;
    std::string buffer_;
};

#ifdef _WIN32
class ConsoleSink final : public Sink {
public:
    ConsoleSink(HANDLE console, std::wstring name) : console_(console), name_(std::move(name)) {}
    void Text(std::wstring_view text) override {
        // The console wants CR LF; pieces keep each call's size bounded.
        std::wstring line;
        for (wchar_t c : text) {
            if (c == L'\n') line += L'\r';
            line += c;
        }
        for (std::size_t at = 0; at < line.size() && failure_.empty(); at += 8192) {
            DWORD written = 0;
            const auto size = static_cast<DWORD>(std::min<std::size_t>(8192, line.size() - at));
            if (!WriteConsoleW(console_, line.data() + at, size, &written, nullptr))
                failure_ = name_ + L": " + ErrorText(static_cast<int>(GetLastError()));
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
    std::wstring Failure() const override { return failure_; }
    bool Finish() override { return failure_.empty(); }

private:
    HANDLE console_;
    std::wstring name_;
    std::wstring failure_;
};
#else
class TerminalSink final : public StandardStreamSink {
public:
    using StandardStreamSink::StandardStreamSink;
    void Text(std::wstring_view text) override {
        StandardStreamSink::Text(text);
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
    std::wstring name = stream == Stream::kOut ? L"standard output" : L"standard error";
#ifdef _WIN32
    HANDLE handle = GetStdHandle(stream == Stream::kOut ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (handle && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode))
        return std::make_unique<ConsoleSink>(handle, std::move(name));
    _setmode(_fileno(file), 0x8000);  // _O_BINARY: bytes as written, no CR added
    return std::make_unique<StandardStreamSink>(file, std::move(name));
#else
    if (isatty(fileno(file))) return std::make_unique<TerminalSink>(file, std::move(name));
    return std::make_unique<StandardStreamSink>(file, std::move(name));
#endif
}

std::unique_ptr<Sink> FileSink(const std::string& utf8Path) { return std::make_unique<ReplacingFileSink>(utf8Path); }

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

}  // namespace keyscour::output
