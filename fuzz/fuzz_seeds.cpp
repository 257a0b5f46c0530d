// Seed corpora for the fuzz targets, made with the project's own
// generators: small hives filled through the hive registry, registry
// scripts from the script writer, and value data of every type.
//   fuzz_seeds DIR     writes DIR/reg_reader, DIR/hive and DIR/value_text

#include <filesystem>
#include <string>
#include <vector>

#include "base/utf16.h"
#include "base/utf8.h"
#include "tests/support/blank_hive.h"
#include "base/file_util.h"
#include "registry/hive/hive_registry.h"
#include "tests/support/hive_log_writer.h"
#include "tests/support/reg_script_generator.h"
#include "registry/script/reg_script.h"

namespace {

using namespace keyscour;
namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

Bytes Sz(const std::wstring& text) {
    auto bytes = EncodeUtf16Le(text);
    bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

const std::vector<std::pair<std::uint32_t, Bytes>> kValues{
    {1, Sz(L"C:\\Program Files\\Fabrikam")}, {2, Sz(L"%SystemRoot%\\a")}, {3, {0, 10, 255}},
    {4, {26, 0, 0, 0}}, {7, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}}, {11, {1, 2, 3, 4, 5, 6, 7, 8}}, {0x1234, {9}},
};

void Write(const fs::path& path, const Bytes& bytes) { WriteFileBytes(path.string(), bytes); }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const fs::path dir = argv[1];
    for (const char* target : {"reg_reader", "hive", "hive_logs", "value_text"}) fs::create_directories(dir / target);

    RegScriptWriter script;
    script.Key(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Fabrikam");
    int n = 0;
    for (const auto& [type, data] : kValues) script.Value(L"v" + std::to_wstring(n++), type, data);
    script.RemovedValue(L"gone");
    script.RemovedKey(L"HKEY_CURRENT_USER\\Software\\Gone");
    const std::wstring text = L"\xFEFF" + script.Finish();
    Write(dir / "reg_reader" / "utf16.reg", EncodeUtf16Le(text));
    const std::string utf8 = "Windows Registry Editor Version 5.00\r\n\r\n[HKCU\\A]\r\n\"b\"=hex:01,\\\r\n  02\r\n@=\"x\"\r\n";
    Write(dir / "reg_reader" / "utf8.reg", Bytes(utf8.begin(), utf8.end()));
    // Scripts made from the rules Windows reads them by, the ones the
    // importer test compares with reg.exe.
    for (const auto& script : testing::GenerateRegScripts(1, 60, L"Software\\Fuzz"))
        Write(dir / "reg_reader" / ToUtf8(script.name), script.bytes);

    for (std::uint32_t minor : {3u, 5u}) {
        const fs::path hive = dir / "hive" / ("blank-1." + std::to_string(minor));
        BlankHiveOptions options;
        options.minorVersion = minor;
        Write(hive, BlankHive(options));
        const fs::path filled = dir / "hive" / ("filled-1." + std::to_string(minor));
        Write(filled, BlankHive(options));
        HiveRegistry registry(filled.string(), true);
        for (int k = 0; k < 3; ++k) {
            KeyHandle key = 0;
            registry.CreateKey(HiveRegistry::kRoot, L"Fab\\K" + std::to_wstring(k), key);
            int v = 0;
            for (const auto& [type, data] : kValues)
                registry.SetValue(key, L"v" + std::to_wstring(v++), type, data.data(), static_cast<std::uint32_t>(data.size()));
            registry.CloseKey(key);
        }
        registry.Commit();
    }

    // Logs for the dirty blank hive fuzz_hive_logs keeps: the changes that
    // filling it made, as Windows would have logged them, in both formats.
    {
        BlankHiveOptions dirty;
        dirty.primarySequence = 2;
        dirty.secondarySequence = 1;
        const Bytes primary = BlankHive(dirty);
        const fs::path afterPath = dir / "hive_logs" / "after.tmp";
        Write(afterPath, BlankHive());
        {
            HiveRegistry registry(afterPath.string(), true);
            KeyHandle key = 0;
            registry.CreateKey(HiveRegistry::kRoot, L"Fab\Logged", key);
            const auto& [type, data] = kValues.front();
            registry.SetValue(key, L"v", type, data.data(), static_cast<std::uint32_t>(data.size()));
            registry.CloseKey(key);
            registry.Commit();
        }
        const Bytes after = ReadWholeFile(afterPath.string());
        fs::remove(afterPath);
        const testing::LogEntry entry{2, testing::Get32(after, 0x28), testing::ChangedPages(primary, after)};
        Write(dir / "hive_logs" / "new-format", testing::NewFormatLog(after, 2, {entry}));
        Write(dir / "hive_logs" / "old-format", testing::OldFormatLog(primary, after));
    }

    n = 0;
    for (const auto& [type, data] : kValues) {
        Bytes seed(4);
        for (int i = 0; i < 4; ++i) seed[i] = static_cast<std::uint8_t>(type >> (8 * i));
        seed.push_back(2);  // flags
        const Bytes needle = EncodeUtf16Le(L"fab");
        seed.push_back(3);
        seed.insert(seed.end(), needle.begin(), needle.end());
        seed.insert(seed.end(), data.begin(), data.end());
        Write(dir / "value_text" / ("seed" + std::to_string(n++)), seed);
    }
    // Regex rules: a pattern with groups and one that backtracks hard.
    for (const wchar_t* pattern : {L"f(a)(b)?", L"(a*)*x"}) {
        Bytes seed{1, 0, 0, 0, 2 | 32 | 64};
        const Bytes needle = EncodeUtf16Le(pattern);
        seed.push_back(static_cast<std::uint8_t>(needle.size() / 2));
        seed.insert(seed.end(), needle.begin(), needle.end());
        const Bytes data = EncodeUtf16Le(L"$1-$&-$`fab" + std::wstring(200, L'a'));
        seed.insert(seed.end(), data.begin(), data.end());
        Write(dir / "value_text" / ("seed" + std::to_string(n++)), seed);
    }
    return 0;
}
