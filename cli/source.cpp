#include "cli/source.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/utf8.h"
#include "registry/memory_registry.h"
#include "registry/reg_script_apply.h"
#include "registry/root_keys.h"

#ifdef _WIN32
#include "registry/win32_registry.h"
#endif

namespace keyscour::cli {

namespace {

std::vector<KeyHandle> RootsOf(const std::wstring& root, std::vector<KeyHandle> all) {
    std::wstring upper;
    for (wchar_t c : root) upper += static_cast<wchar_t>(c >= L'a' && c <= L'z' ? c - 0x20 : c);
    if (upper == L"ALL") return all;
    if (const auto handle = ParseRootName(root)) return {*handle};
    throw BadInput{L"--root: not a root key: " + root + L" (HKCR, HKCU, HKLM, HKU, HKCC or ALL)"};
}

std::wstring Trimmed(std::wstring key) {
    while (!key.empty() && key.front() == L'\\') key.erase(key.begin());
    while (!key.empty() && key.back() == L'\\') key.pop_back();
    return key;
}

void AddWalks(Source& source, const std::vector<KeyHandle>& roots, const std::wstring& key) {
    for (KeyHandle root : roots) source.walks.push_back({root, Trimmed(key), std::wstring(RootKeyNameOf(root))});
}

class MemorySource final : public Source {
public:
    Registry& Keys() override { return memory; }
    bool Writable() const override { return false; }
    MemoryRegistry memory;
};

#ifdef _WIN32
class LiveSource final : public Source {
public:
    Registry& Keys() override { return registry; }
    bool Writable() const override { return true; }
    Win32Registry registry;
};
#endif

}  // namespace

std::vector<std::uint8_t> ReadWholeFile(const std::string& utf8Path) {
#ifdef _WIN32
    std::FILE* file = _wfopen(FromUtf8(utf8Path).c_str(), L"rb");
#else
    std::FILE* file = std::fopen(utf8Path.c_str(), "rb");
#endif
    if (!file) throw BadInput{FromUtf8(utf8Path) + L": " + FromUtf8(std::strerror(errno))};
    std::vector<std::uint8_t> bytes;
    std::uint8_t buffer[65536];
    for (std::size_t read; (read = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        bytes.insert(bytes.end(), buffer, buffer + read);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) throw BadInput{FromUtf8(utf8Path) + L": could not be read"};
    return bytes;
}

std::unique_ptr<Source> LiveRegistry(const std::wstring& root, const std::wstring& key) {
#ifdef _WIN32
    auto source = std::make_unique<LiveSource>();
    AddWalks(*source, RootsOf(root, {kLocalMachine, kUsers, kCurrentConfig}), key);
    return source;
#else
    (void)root;
    (void)key;
    throw BadInput{L"the live registry is searched on Windows only; give --reg-file FILE"};
#endif
}

std::unique_ptr<Source> RegFileSource(const std::string& utf8Path, const std::wstring& root, const std::wstring& key) {
    auto source = std::make_unique<MemorySource>();
    const std::wstring text = DecodeRegFile(ReadWholeFile(utf8Path));
    try {
        ApplyRegScript(text, source->memory, [](const std::wstring& fullKey) { return SplitFullKeyName(fullKey); });
    } catch (const RegScriptError& error) {
        throw BadInput{FromUtf8(utf8Path) + (error.line ? L":" + std::to_wstring(error.line) : L"") + L": " +
                       error.message};
    }
    AddWalks(*source, RootsOf(root, {kClassesRoot, kCurrentUser, kLocalMachine, kUsers, kCurrentConfig}), key);
    return source;
}

}  // namespace keyscour::cli
