#include "cli/source.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

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

void AddWalks(Source& source, Registry& registry, const std::vector<KeyHandle>& roots, const std::wstring& key) {
    for (KeyHandle root : roots)
        source.walks.push_back({&registry, root, TrimmedKeyPath(key), std::wstring(RootKeyNameOf(root)), {}});
}

class MemorySource final : public Source {
public:
    MemoryRegistry memory;
};

#ifdef _WIN32
class LiveSource final : public Source {
public:
    Win32Registry registry;
};
#endif

}  // namespace

std::wstring TrimmedKeyPath(std::wstring key) {
    while (!key.empty() && key.front() == L'\\') key.erase(key.begin());
    while (!key.empty() && key.back() == L'\\') key.pop_back();
    return key;
}

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
    AddWalks(*source, source->registry, RootsOf(root, {kLocalMachine, kUsers, kCurrentConfig}), key);
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
    AddWalks(*source, source->memory, RootsOf(root, {kClassesRoot, kCurrentUser, kLocalMachine, kUsers, kCurrentConfig}),
             key);
    return source;
}

#ifdef _WIN32
std::unique_ptr<Source> HiveSource(const std::vector<std::string>&, const std::wstring&, bool) {
    throw BadInput{L"--hive: offline hives are read by the Linux build (keyscour-cli on Debian, over hivex)"};
}
#endif

HiveMount ParseHiveArgument(const std::string& argument) {
    // FILE=MOUNT; a file name may hold '=' itself, so the mount is what
    // follows the last one, when that reads as a root key.
    HiveMount mount;
    mount.file = argument;
    std::wstring place;
    if (const std::size_t eq = argument.rfind('='); eq != std::string::npos) {
        const std::wstring after = FromUtf8(argument.substr(eq + 1));
        if (SplitFullKeyName(after)) {
            mount.file = argument.substr(0, eq);
            place = after;
        }
    }
    std::error_code error;
    const auto kind = std::filesystem::status(std::filesystem::u8path(mount.file), error).type();
    if (kind == std::filesystem::file_type::not_found)
        throw BadInput{L"--hive: " + FromUtf8(mount.file) + L": no such file"};
    if (kind == std::filesystem::file_type::directory)
        throw BadInput{L"--hive: " + FromUtf8(mount.file) + L": a folder, not a hive file"};
    if (place.empty()) {
        const std::size_t slash = mount.file.find_last_of("/\\");
        std::wstring name = FromUtf8(slash == std::string::npos ? mount.file : mount.file.substr(slash + 1));
        for (auto& c : name) c = static_cast<wchar_t>(c >= L'a' && c <= L'z' ? c - 0x20 : c);
        static const std::pair<const wchar_t*, const wchar_t*> kDefaults[] = {
            {L"SOFTWARE", L"HKLM\\SOFTWARE"}, {L"SYSTEM", L"HKLM\\SYSTEM"},  {L"SAM", L"HKLM\\SAM"},
            {L"SECURITY", L"HKLM\\SECURITY"}, {L"DEFAULT", L"HKU\\.DEFAULT"}, {L"NTUSER.DAT", L"HKCU"},
            {L"USRCLASS.DAT", L"HKCU\\Software\\Classes"},
        };
        for (const auto& [file, where] : kDefaults)
            if (name == file) place = where;
        if (place.empty())
            throw BadInput{L"--hive: " + FromUtf8(mount.file) +
                           L" has no usual place in the registry; give it as FILE=MOUNT, e.g. FILE=HKLM\\SOFTWARE"};
    }
    const auto split = SplitFullKeyName(place);
    mount.root = split->root;
    mount.rootName = std::wstring(RootKeyNameOf(split->root));
    mount.path = TrimmedKeyPath(split->path);
    return mount;
}

}  // namespace keyscour::cli
