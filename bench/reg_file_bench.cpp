#include "bench/reg_file_bench.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "base/utf16.h"
#include "registry/script/reg_script.h"

namespace keyscour::bench {

namespace {

class CountingVisitor final : public RegScriptVisitor {
public:
    void Key(const std::wstring&, bool, std::size_t) override { ++keys; }
    void Value(const std::wstring&, std::uint32_t, std::vector<std::uint8_t> data, std::size_t) override {
        ++values;
        bytes += data.size();
    }
    void RemovedValue(const std::wstring&, std::size_t) override {}
    std::uint64_t keys = 0, values = 0, bytes = 0;
};

// Hex data as regedit writes it: lines of at most 80 characters, each
// ending ",\" but the last.
void AppendHex(std::wstring& text, std::wstring line, const std::vector<std::uint8_t>& bytes) {
    constexpr wchar_t kDigits[] = L"0123456789abcdef";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        line += kDigits[bytes[i] >> 4];
        line += kDigits[bytes[i] & 15];
        if (i + 1 == bytes.size()) break;
        line += L',';
        if (line.size() > 76) {
            text += line + L"\\\r\n";
            line = L"  ";
        }
    }
    text += line + L"\r\n";
}

void WriteExport(const std::string& file, std::size_t targetBytes) {
    std::wstring text = L"Windows Registry Editor Version 5.00\r\n\r\n";
    std::ofstream out(file, std::ios::binary);
    out.write("\xFF\xFE", 2);
    std::size_t written = 2;
    for (std::size_t key = 0; written < targetBytes; ++key) {
        const std::wstring name = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench\\Vendor " + std::to_wstring(key % 97) +
                                  L"\\Product " + std::to_wstring(key);
        text += L"[" + name + L"]\r\n";
        text += L"\"InstallLocation\"=\"C:\\\\Program Files\\\\Vendor " + std::to_wstring(key % 97) + L"\\\\Product " +
                std::to_wstring(key) + L"\\\\\"\r\n";
        text += L"\"DisplayName\"=\"Product " + std::to_wstring(key) + L" \\\"Bench\\\" Edition\"\r\n";
        wchar_t dword[32];
        std::swprintf(dword, 32, L"\"Version\"=dword:%08zx\r\n", key);
        text += dword;
        auto expand = EncodeUtf16Le(L"%ProgramFiles%\\Vendor\\Product " + std::to_wstring(key) + L"\\bin;%SystemRoot%");
        expand.insert(expand.end(), {0, 0});
        AppendHex(text, L"\"Path\"=hex(2):", expand);
        std::vector<std::uint8_t> blob(96 + key % 64);
        for (std::size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<std::uint8_t>(key * 31 + i * 7);
        AppendHex(text, L"\"Blob\"=hex:", blob);
        text += L"\r\n";
        if (text.size() > (1u << 20)) {
            const auto bytes = EncodeUtf16Le(text);
            out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
            written += bytes.size();
            text.clear();
        }
    }
    const auto bytes = EncodeUtf16Le(text);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

int RunRegFileBench(const std::string& file, int rounds) {
    if (!std::ifstream(file)) {
        std::fprintf(stderr, "writing %s\n", file.c_str());
        WriteExport(file, 100u << 20);
    }
    std::ifstream in(file, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    double best = 1e300;
    CountingVisitor counted;
    for (int round = 0; round < rounds; ++round) {
        CountingVisitor visitor;
        const auto start = std::chrono::steady_clock::now();
        try {
            const DecodedRegFile decoded = DecodeRegFile(bytes);
            RegScriptReading reading;
            reading.ansiCodePage = decoded.ansiCodePage;
            ReadRegScript(decoded.text, visitor, reading);
        } catch (const RegScriptError& error) {
            std::fprintf(stderr, "line %zu: refused\n", error.line);
            return 1;
        }
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        std::fprintf(stderr, "round %d: %.1f ms\n", round + 1, ms);
        best = std::min(best, ms);
        counted = visitor;
    }
    const double mb = static_cast<double>(bytes.size()) / (1 << 20);
    std::printf("bytes_mb=%.1f read_ms=%.0f mb_per_s=%.1f keys=%llu values=%llu\n", mb, best, mb / best * 1000,
                static_cast<unsigned long long>(counted.keys), static_cast<unsigned long long>(counted.values));
    return 0;
}

}  // namespace keyscour::bench
