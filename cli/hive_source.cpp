// Offline hives as a source: each hive a registry of its own, walked below
// its mount, written only by committing it at the end.

#include <memory>

#include "base/unicode_case.h"
#include "base/utf8.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/source.h"
#include "registry/hive_logs.h"
#include "registry/hive_registry.h"
#include "registry/reg_script_apply.h"

namespace keyscour::cli {

namespace {

struct OpenHive {
    HiveMount mount;
    std::unique_ptr<HiveRegistry> registry;
    HiveLogState logs;
};

std::wstring Joined(const std::vector<std::wstring>& reasons) {
    std::wstring text;
    for (const auto& reason : reasons) text += (text.empty() ? L"" : L"; ") + reason;
    return text;
}

// A hive with logs not applied is never written: what Windows replays
// from them next would mix with, or undo, what was written.
void RefuseDirty(const HiveLogState& logs) {
    if (logs.dirty) throw BadInput{L"--hive: " + Joined(logs.reasons) + L": " + kLogsAdvice};
}

std::unique_ptr<HiveRegistry> Open(const HiveMount& mount, bool writable) {
    try {
        return std::make_unique<HiveRegistry>(mount.file, writable);
    } catch (const HiveError& error) {
        throw BadInput{L"--hive: " + error.message};
    }
}

class Hives final : public Source {
public:
    void PrepareWrites() override {
        for (auto& hive : hives) RefuseDirty(hive.logs);
        for (auto& hive : hives)
            try {
                hive.registry->PrepareCommit();
            } catch (const HiveError& error) {
                throw BadInput{L"--hive: " + error.message + L"; nothing was replaced"};
            }
    }
    void FinishWrites() override {
        for (auto& hive : hives) hive.registry->Commit();
    }
    std::vector<std::wstring> Warnings() const override {
        std::vector<std::wstring> lines;
        for (const auto& hive : hives)
            if (hive.logs.dirty)
                lines.push_back(L"the hive " + FromUtf8(hive.mount.file) + L" has transaction logs not applied (" +
                                Joined(hive.logs.reasons) + L"): recent changes may be missing from what is searched");
        return lines;
    }
    std::vector<std::wstring> Damage() const override {
        std::vector<std::wstring> lines;
        for (const auto& hive : hives)
            for (const auto& line : hive.registry->Damage()) lines.push_back(FromUtf8(hive.mount.file) + L": " + line);
        return lines;
    }
    std::vector<OpenHive> hives;
};

// Whether path lies at or below prefix, names compared without case;
// the rest below prefix goes into rest.
bool Below(const std::wstring& path, const std::wstring& prefix, std::wstring& rest) {
    if (path.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (UpperCaseOf(path[i]) != UpperCaseOf(prefix[i])) return false;
    if (path.size() == prefix.size()) {
        rest.clear();
        return true;
    }
    if (!prefix.empty() && path[prefix.size()] != L'\\') return false;
    rest = path.substr(prefix.empty() ? 0 : prefix.size() + 1);
    return true;
}

}  // namespace

std::unique_ptr<Source> HiveSource(const std::vector<std::string>& arguments, const std::wstring& key, bool writable) {
    auto source = std::make_unique<Hives>();
    for (const auto& argument : arguments) {
        HiveMount mount = ParseHiveArgument(argument);
        HiveLogState logs = CheckTransactionLogs(mount.file);
        if (writable) RefuseDirty(logs);
        auto registry = Open(mount, writable);
        source->walks.push_back({registry.get(), HiveRegistry::kRoot, TrimmedKeyPath(key), mount.rootName, mount.path});
        source->hives.push_back({std::move(mount), std::move(registry), std::move(logs)});
    }
    return source;
}

int RunUndo(const std::string& hiveArgument, const std::string& undoFile) {
    const HiveMount mount = ParseHiveArgument(hiveArgument);
    RefuseDirty(CheckTransactionLogs(mount.file));
    const auto hive = Open(mount, true);
    try {
        hive->PrepareCommit();
    } catch (const HiveError& error) {
        throw BadInput{L"--hive: " + error.message};
    }
    const std::wstring text = DecodeRegFile(ReadWholeFile(undoFile));
    const std::wstring mountName = mount.rootName + (mount.path.empty() ? L"" : L"\\" + mount.path);
    // Only keys at or below the mount are the hive's; any other refuses the
    // whole file before anything changes.
    const KeyPlacer place = [&](const std::wstring& fullKey) -> std::optional<KeyPlace> {
        const auto split = SplitFullKeyName(fullKey);
        std::wstring rest;
        if (!split || split->root != mount.root || !Below(split->path, mount.path, rest)) return std::nullopt;
        return KeyPlace{HiveRegistry::kRoot, rest};
    };
    try {
        ApplyRegScript(text, *hive, place);
    } catch (const RegScriptError& error) {
        throw BadInput{FromUtf8(undoFile) + (error.line ? L":" + std::to_wstring(error.line) : L"") + L": " +
                       error.message + L" (the hive is mounted at " + mountName + L"); nothing was changed"};
    }
    hive->Commit();
    return exit_code::kFound;
}

}  // namespace keyscour::cli
