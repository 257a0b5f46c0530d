// The .reg reader against an importer that follows Windows: every
// generated script is imported by reg.exe into a scratch key and read back
// value by value, exact bytes and all, and read by Keyscour into memory;
// the two must hold the same keys and values, and refuse the same files.
// Wine 8's reg.exe agrees with Windows on the platform's own import tests;
// where it has faults of its own the generator makes no such file: text
// of an odd length from hex in a UTF-16 file (a byte never written is
// stored), hex text with no byte before a comment (it crashes), and
// hex(ffffffff) (refused or not by what errno held before).

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <map>

#include "base/utf8.h"
#include "base/win32_handles.h"
#include "registry/memory_registry.h"
#include "registry/root_keys.h"
#include "registry/script/reg_script.h"
#include "registry/script/reg_script_apply.h"
#include "registry/win32_registry.h"
#include "scratch_key.h"
#include "tests/support/child_process_win32.h"
#include "tests/support/reg_script_generator.h"

namespace keyscour {
namespace {

using Bytes = std::vector<std::uint8_t>;
// (key path below the file's folder, value name) to (type, data); a key's
// own row has a name no value can have.
using Rows = std::map<std::pair<std::wstring, std::wstring>, std::pair<std::uint32_t, Bytes>>;
const std::wstring kKeyRow = L"\x01key";

void Collect(Registry& registry, KeyHandle key, const std::wstring& path, Rows& rows) {
    rows[{path, kKeyRow}] = {};
    for (std::uint32_t i = 0;; ++i) {
        std::vector<wchar_t> name(16384);
        std::uint32_t nameChars = static_cast<std::uint32_t>(name.size()), type = 0;
        Bytes data(1 << 16);
        std::uint32_t dataBytes = static_cast<std::uint32_t>(data.size());
        if (registry.EnumValue(key, i, name.data(), nameChars, type, data.data(), dataBytes) != status::kSuccess) break;
        data.resize(dataBytes);
        rows[{path, std::wstring(name.data(), nameChars)}] = {type, data};
    }
    for (std::uint32_t i = 0;; ++i) {
        wchar_t name[256];
        if (registry.EnumKey(key, i, name, 256) != status::kSuccess) break;
        KeyHandle child = 0;
        if (registry.OpenKey(key, name, child) != status::kSuccess) continue;
        Collect(registry, child, path + L"\\" + name, rows);
        registry.CloseKey(child);
    }
}

Rows RowsBelow(Registry& registry, KeyHandle root, const std::wstring& path) {
    Rows rows;
    KeyHandle key = 0;
    if (registry.OpenKey(root, path, key) != status::kSuccess) return rows;
    Collect(registry, key, L"", rows);
    registry.CloseKey(key);
    return rows;
}

std::wstring Describe(const Rows::value_type& row) {
    std::wstring text = L"[" + row.first.first + L"] " + (row.first.second == kKeyRow ? L"(key)" : L"\"" + row.first.second + L"\"");
    if (row.first.second == kKeyRow) return text;
    wchar_t type[16];
    std::swprintf(type, 16, L" %x:", row.second.first);
    text += type;
    for (std::uint8_t byte : row.second.second) {
        wchar_t hex[4];
        std::swprintf(hex, 4, L"%02x", byte);
        text += hex;
    }
    return text;
}

constexpr DWORD kCrashed = 0xC0000005, kHung = 0xFFFFFFFE;

// reg.exe import FILE; its exit code, kHung when it had to be stopped.
DWORD RegImport(const std::wstring& file) {
    const testing::ChildRun run = testing::RunChild(L"reg.exe import \"" + file + L"\"", L"", L"", 30000);
    if (!run.started) return ~0u;
    return run.timedOut ? kHung : static_cast<DWORD>(run.exitCode);
}

TEST(RegImportOracle, GeneratedScriptsReadAsWindowsImportsThem) {
    // A reg.exe that faults ends at once, no debugger waited for.
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug", L"Debugger", REG_SZ,
                    L"", sizeof(wchar_t));
    testing::ScratchKey scratch;
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"keyscour-reg-oracle-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), nullptr);
    const auto scripts = testing::GenerateRegScripts(20261210, 540, scratch.Path());
    Win32Registry live;
    std::size_t agreed = 0, alone = 0, rows = 0;
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t f = 0; f < scripts.size(); ++f) {
        const testing::GeneratedScript& script = scripts[f];
        const std::wstring file = folder + L"\\" + script.name;
        {
            const unique_hfile out(
                CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
            ASSERT_TRUE(out);
            DWORD written = 0;
            ASSERT_TRUE(WriteFile(out.get(), script.bytes.data(), static_cast<DWORD>(script.bytes.size()), &written, nullptr));
        }
        const DWORD exitCode = RegImport(file);
        if (exitCode == kHung || exitCode >= kCrashed) {
            ADD_FAILURE() << "reg.exe did not finish (" << std::hex << exitCode << std::dec << "): " << ToUtf8(script.text);
            continue;
        }
        const std::wstring below = scratch.Path() + L"\\F" + std::to_wstring(f);
        const Rows windows = RowsBelow(live, kCurrentUser, below);

        MemoryRegistry memory;
        bool refused = false;
        try {
            const DecodedRegFile decoded = DecodeRegFile(script.bytes);
            RegScriptReading reading;
            reading.ansiCodePage = decoded.ansiCodePage;
            ApplyRegScript(decoded.text, memory, [](const std::wstring& key) { return SplitFullKeyName(key); }, reading);
        } catch (const RegScriptError&) {
            refused = true;
        }
        const Rows ours = RowsBelow(memory, kCurrentUser, below);
        SCOPED_TRACE(ToUtf8(script.name + L":\n" + script.text));
        EXPECT_EQ(exitCode != 0, refused) << "reg import exited " << exitCode;
        bool same = ours.size() == windows.size();
        for (const auto& row : windows) {
            const auto found = ours.find(row.first);
            if (found == ours.end()) {
                ADD_FAILURE() << "reg import made, Keyscour did not: " << ToUtf8(Describe(row));
                same = false;
            } else if (found->second != row.second) {
                ADD_FAILURE() << "reg import: " << ToUtf8(Describe(row)) << "\nKeyscour:   " << ToUtf8(Describe(*found));
                same = false;
            }
        }
        for (const auto& row : ours)
            if (!windows.count(row.first)) {
                ADD_FAILURE() << "Keyscour made, reg import did not: " << ToUtf8(Describe(row));
                same = false;
            }
        agreed += same;
        alone += script.alone;
        rows += windows.size();
        DeleteFileW(file.c_str());
        RegDeleteTreeW(HKEY_CURRENT_USER, below.c_str());
    }
    RemoveDirectoryW(folder.c_str());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%zu of %zu scripts read alike (%zu alone in their file), %zu keys and values, %.1f s\n", agreed,
                scripts.size(), alone, rows, seconds);
    EXPECT_EQ(agreed, scripts.size());
    EXPECT_GT(rows, scripts.size() * 3) << "the scripts make keys and values, not only refusals";
}

}  // namespace
}  // namespace keyscour
