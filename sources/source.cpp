#include "sources/source.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "base/file_util.h"
#include "base/utf8.h"
#include "registry/memory_registry.h"
#include "registry/script/reg_script_apply.h"
#include "registry/root_keys.h"
#include "registry/undo/rename_marks.h"
#include "registry/undo/undo_file.h"

#ifdef _WIN32
#include "registry/win32_registry.h"
#endif

namespace keyscour::sources {

namespace {

std::vector<KeyHandle> RootsOf(const std::wstring& root, std::vector<KeyHandle> all) {
    std::wstring upper;
    for (wchar_t c : root) upper += static_cast<wchar_t>(c >= L'a' && c <= L'z' ? c - 0x20 : c);
    if (upper == L"ALL") return all;
    if (const auto handle = ParseRootName(root)) return {*handle};
    throw BadInput{L"--root: not a root key: " + root + L" (HKCR, HKCU, HKLM, HKU, HKCC or ALL)"};
}

void AddWalks(Source& source, Registry& registry, const std::vector<KeyHandle>& roots, const std::wstring& key,
              const std::wstring& view = {}) {
    for (KeyHandle root : roots)
        source.walks.push_back({&registry, root, TrimmedKeyPath(key), std::wstring(RootKeyNameOf(root)), {}, {}, view});
}

class MemorySource final : public Source {
public:
    MemoryRegistry memory;
};

#ifdef _WIN32
class LiveSource final : public Source {
public:
    explicit LiveSource(unsigned view) : registry(view) {}
    bool KeepsKeyTimes() const override { return true; }
    Win32Registry registry;
};
#endif

}  // namespace

std::wstring TrimmedKeyPath(std::wstring key) {
    while (!key.empty() && key.front() == L'\\') key.erase(key.begin());
    while (!key.empty() && key.back() == L'\\') key.pop_back();
    return key;
}

std::vector<std::uint8_t> ReadInputFile(const std::string& utf8Path) {
    try {
        return ReadWholeFile(utf8Path);
    } catch (const FileError& error) {
        throw BadInput{error.Message()};
    }
}

std::unique_ptr<Source> LiveRegistry(const std::wstring& root, const std::wstring& key, const std::wstring& view) {
#ifdef _WIN32
    auto source = std::make_unique<LiveSource>(view == L"32" ? Win32Registry::kView32 : 0);
    AddWalks(*source, source->registry, RootsOf(root, {kLocalMachine, kUsers, kCurrentConfig}), key, view);
    return source;
#else
    (void)root;
    (void)key;
    (void)view;
    throw BadInput{L"the live registry is searched on Windows only; give --reg-file FILE"};
#endif
}

namespace {

std::wstring RegScriptPlace(const std::string& utf8Path, const RegScriptError& error) {
    return FromUtf8(utf8Path) + (error.line ? L":" + std::to_wstring(error.line) : L"") + L": " + error.message;
}

// What precedes an undo file's closing line, as closing asks of it; own
// tells whether that line matches, which makes the file Keyscour's own.
std::wstring_view ScriptBody(const std::string& utf8Path, std::wstring_view text, ClosingLine closing,
                             const std::wstring& refusal, const Reading& reading, bool& own) {
    std::wstring_view body;
    const undo_file::Ending ending = undo_file::CheckEnding(text, body);
    own = ending == undo_file::Ending::kWhole;
    if (closing == ClosingLine::kNone) return own ? body : text;
    switch (ending) {
    case undo_file::Ending::kWhole: break;
    case undo_file::Ending::kMismatch:
        throw BadInput{FromUtf8(utf8Path) + L": its closing line does not match what precedes it: the file may be "
                                            L"cut short or changed" + refusal};
    case undo_file::Ending::kMissing:
        if (closing == ClosingLine::kRequired)
            throw BadInput{FromUtf8(utf8Path) + L": it has no closing line, so it may be cut short; a file from "
                                                L"before undo files had one is applied with --accept-unterminated" +
                           refusal};
        reading.Say(L"warning: " + FromUtf8(utf8Path) + L" has no closing line; it is applied as far as it goes");
        break;
    }
    return body;
}

}  // namespace

std::uint64_t LoadRegScript(const std::string& utf8Path, RegFileEncoding encoding, Registry& registry,
                            const KeyPlacer& place, const std::wstring& refusal, const Reading& reading,
                            ClosingLine closing, bool strict, bool renamesBack) {
    try {
        const DecodedRegFile decoded = DecodeRegFile(ReadInputFile(utf8Path), encoding);
        if (reading.Stopped()) throw InterruptedBeforeChange{utf8Path};
        RegScriptReading script;
        script.ansiCodePage = decoded.ansiCodePage;
        script.stop = [&reading] { return reading.Stopped(); };
        std::uint64_t skipped = 0;
        script.skipped = [&](std::size_t line, const std::wstring& why) {
            ++skipped;
            reading.Say(L"skipped: " + RegScriptPlace(utf8Path, RegScriptError{line, why}));
        };
        const std::wstring_view body = ScriptBody(utf8Path, decoded.text, closing, refusal, reading, script.exact);
        if (!renamesBack) {
            ApplyRegScript(body, registry, place, script);
        } else {
            const MarkedScript marked = ReadRenameMarks(body);
            ApplyRegScript(marked.rest, registry, place, script,
                           [&] { RenameBack(marked.renames, registry, place); });
        }
        if (strict && skipped)
            throw BadInput{FromUtf8(utf8Path) + L": " + std::to_wstring(skipped) +
                           (skipped == 1 ? L" line" : L" lines") + L" that Windows would skip (--strict)" + refusal};
        return skipped;
    } catch (const RegScriptError& error) {
        throw BadInput{RegScriptPlace(utf8Path, error) + refusal};
    } catch (const RegScriptStopped&) {
        throw InterruptedBeforeChange{utf8Path};
    }
}

std::unique_ptr<Source> RegFileSource(const std::string& utf8Path, const std::wstring& root, const std::wstring& key,
                                      const Reading& reading, RegFileEncoding encoding, bool strict) {
    auto source = std::make_unique<MemorySource>();
    source->inputFiles.push_back(utf8Path);
    source->skippedLines = LoadRegScript(utf8Path, encoding, source->memory,
                                         [](const std::wstring& fullKey) { return SplitFullKeyName(fullKey); }, {},
                                         reading, ClosingLine::kNone, strict);
    AddWalks(*source, source->memory, RootsOf(root, {kClassesRoot, kCurrentUser, kLocalMachine, kUsers, kCurrentConfig}),
             key);
    return source;
}

#ifdef _WIN32
std::unique_ptr<Source> HiveSource(const std::vector<std::string>&, const std::wstring&, bool, double, bool) {
    throw BadInput{L"--hive: offline hives are read by the Linux build (keyscour-cli on Debian, over hivex)"};
}
std::unique_ptr<Source> InstallationSource(const InstallationSearch&, bool, double, bool, const Reading&) {
    throw BadInput{L"--windows: an offline installation is read by the Linux build (keyscour-cli on Debian, over hivex)"};
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
    if (kind != std::filesystem::file_type::regular)
        throw BadInput{L"--hive: " + FromUtf8(mount.file) + L": not a regular file"};
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

}  // namespace keyscour::sources
