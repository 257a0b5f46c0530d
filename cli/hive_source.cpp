// Offline hives as a source: each hive a registry of its own, walked below
// its mount, written only by committing it at the end, under a lock that
// a replace or an undo holds from before its first read to after its
// commit.

#include <memory>

#include "base/file_util.h"
#include "base/unicode_case.h"
#include "base/utf8.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/interrupt.h"
#include "cli/source.h"
#include "registry/hive_lock.h"
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

// Hives opened for writing were refused when dirty, under their locks.
class Hives final : public Source {
public:
    // Each hive's commit made ready before anything is written; BadInput,
    // with nothingDone after the reason, when one cannot be.
    void PrepareCommits(const std::wstring& nothingDone) {
        for (auto& hive : hives)
            try {
                hive.registry->PrepareCommit();
            } catch (const HiveError& error) {
                throw BadInput{L"--hive: " + error.message + nothingDone};
            }
    }
    void PrepareWrites() override { PrepareCommits(L"; nothing was replaced"); }
    bool FinishWrites(const std::function<bool()>& stop) override {
        std::wstring committed;
        for (auto& hive : hives) {
            try {
                // Once one hive is committed, the rest follow: a stop then
                // would leave the change half made.
                const bool done = hive.registry->Commit(committed.empty() ? stop : std::function<bool()>{});
                if (!done && committed.empty() && stop && stop()) return false;
                if (done) committed += (committed.empty() ? L"" : L", ") + FromUtf8(hive.mount.file);
            } catch (const HiveError& error) {
                if (committed.empty()) throw;
                throw HiveError{error.message + L"; already committed: " + committed, true};
            }
        }
        return true;
    }
    bool WritesAreDeferred() const override { return true; }
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
    std::unique_ptr<HiveLocks> locks;
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

// Parses the mounts, refuses a file named twice, and, for writing, takes
// every hive's lock before anything of them is read.
std::vector<HiveMount> MountsOf(const std::vector<std::string>& arguments, bool writable, double waitSeconds,
                                std::unique_ptr<HiveLocks>& locks) {
    // Undo's registry over them keeps a hive's number in a handle's top byte.
    if (arguments.size() > 200) throw BadInput{L"--hive: at most 200 hives at once"};
    std::vector<HiveMount> mounts;
    std::vector<FileId> seen;
    std::vector<std::string> files;
    for (const auto& argument : arguments) {
        HiveMount mount = ParseHiveArgument(argument);
        const auto id = FileIdOf(mount.file);
        for (std::size_t i = 0; id && i < seen.size(); ++i)
            if (seen[i] == *id)
                throw BadInput{L"--hive: " + FromUtf8(mount.file) + L" is the same file as " +
                               FromUtf8(mounts[i].file) + L"; name each hive once"};
        seen.push_back(id.value_or(FileId{}));
        files.push_back(mount.file);
        mounts.push_back(std::move(mount));
    }
    if (writable) {
        try {
            locks = std::make_unique<HiveLocks>(files, waitSeconds);
        } catch (const HiveBusy& busy) {
            throw BadInput{FromUtf8(busy.hive) + L" is being changed by another keyscour-cli" +
                           (busy.pid ? L" (pid " + std::to_wstring(busy.pid) + L")" : L"") +
                           L"; try again, or give --wait SECONDS"};
        } catch (const HiveError& error) {
            throw BadInput{L"--hive: " + error.message};
        }
    }
    return mounts;
}

// Several hives as one registry for an undo file: the i-th hive's root is
// RootOf(i), and key handles carry their hive in their top byte.
class MountedHives final : public Registry {
public:
    explicit MountedHives(std::vector<OpenHive>& hives) : hives_(hives) {}
    static KeyHandle RootOf(std::size_t index) { return kRootBase + static_cast<KeyHandle>(index); }

    Status OpenKey(KeyHandle root, const std::wstring& path, KeyHandle& key) override {
        return Routed(root, key, [&](Registry& hive, KeyHandle local, KeyHandle& out) { return hive.OpenKey(local, path, out); });
    }
    Status CreateKey(KeyHandle base, const std::wstring& path, KeyHandle& key) override {
        return Routed(base, key, [&](Registry& hive, KeyHandle local, KeyHandle& out) { return hive.CreateKey(local, path, out); });
    }
    Status DeleteKey(KeyHandle base, const std::wstring& path) override {
        return OnKey(base, [&](Registry& hive, KeyHandle local) { return hive.DeleteKey(local, path); });
    }
    Status EnumKey(KeyHandle key, std::uint32_t index, wchar_t* name, std::uint32_t nameChars) override {
        return OnKey(key, [&](Registry& hive, KeyHandle local) { return hive.EnumKey(local, index, name, nameChars); });
    }
    Status EnumValue(KeyHandle key, std::uint32_t index, wchar_t* name, std::uint32_t& nameChars, std::uint32_t& type,
                     std::uint8_t* data, std::uint32_t& dataBytes) override {
        return OnKey(key, [&](Registry& hive, KeyHandle local) {
            return hive.EnumValue(local, index, name, nameChars, type, data, dataBytes);
        });
    }
    Status SetValue(KeyHandle key, const std::wstring& name, std::uint32_t type, const std::uint8_t* data,
                    std::uint32_t dataBytes) override {
        return OnKey(key, [&](Registry& hive, KeyHandle local) { return hive.SetValue(local, name, type, data, dataBytes); });
    }
    Status CloseKey(KeyHandle key) override {
        return OnKey(key, [](Registry& hive, KeyHandle local) { return hive.CloseKey(local); });
    }
    Status QueryValue(KeyHandle key, const std::wstring& name, std::uint32_t& type, std::vector<std::uint8_t>& data) override {
        return OnKey(key, [&](Registry& hive, KeyHandle local) { return hive.QueryValue(local, name, type, data); });
    }
    Status DeleteValue(KeyHandle key, const std::wstring& name) override {
        return OnKey(key, [&](Registry& hive, KeyHandle local) { return hive.DeleteValue(local, name); });
    }

private:
    static constexpr KeyHandle kRootBase = 0xFF000000u;
    static constexpr KeyHandle kLocalMask = 0x00FFFFFFu;
    Registry& Hive(std::size_t index) { return *hives_[index].registry; }
    // The hive's own handle for an outer one, and which hive; 0 for none.
    KeyHandle Local(KeyHandle outer, std::size_t& index) const {
        if (outer >= kRootBase) {
            index = outer - kRootBase;
            return index < hives_.size() ? HiveRegistry::kRoot : 0;
        }
        index = outer >> 24;
        return index < hives_.size() ? (outer & kLocalMask) : 0;
    }
    // call(hive, its own handle) for the hive an outer handle names.
    template <typename Call>
    Status OnKey(KeyHandle outer, Call&& call) {
        std::size_t index = 0;
        const KeyHandle local = Local(outer, index);
        return local ? call(Hive(index), local) : status::kInvalidHandle;
    }
    // The same for a call that opens a key, whose handle is made outer.
    template <typename Call>
    Status Routed(KeyHandle base, KeyHandle& key, Call&& call) {
        std::size_t index = 0;
        const KeyHandle local = Local(base, index);
        if (!local) return status::kInvalidHandle;
        KeyHandle opened = 0;
        const Status status = call(Hive(index), local, opened);
        if (status != status::kSuccess) return status;
        if (opened > kLocalMask) {
            Hive(index).CloseKey(opened);
            return status::kInvalidHandle;
        }
        key = static_cast<KeyHandle>(index << 24) | opened;
        return status;
    }
    std::vector<OpenHive>& hives_;
};

void AddInputs(Source& source, const HiveRegistry& registry, const HiveLogState& logs) {
    source.inputFiles.push_back(registry.File());
    source.inputFiles.insert(source.inputFiles.end(), logs.logs.begin(), logs.logs.end());
}

std::unique_ptr<Hives> OpenHives(const std::vector<std::string>& arguments, const std::wstring& key, bool writable,
                                 double waitSeconds) {
    auto source = std::make_unique<Hives>();
    for (auto& mount : MountsOf(arguments, writable, waitSeconds, source->locks)) {
        // Logs beside the file the path names, links followed.
        HiveLogState logs = CheckTransactionLogs(ResolvedHivePath(mount.file));
        if (writable) RefuseDirty(logs);
        auto registry = Open(mount, writable);
        AddInputs(*source, *registry, logs);
        source->walks.push_back({registry.get(), HiveRegistry::kRoot, TrimmedKeyPath(key), mount.rootName, mount.path});
        source->hives.push_back({std::move(mount), std::move(registry), std::move(logs)});
    }
    return source;
}

}  // namespace

std::unique_ptr<Source> HiveSource(const std::vector<std::string>& arguments, const std::wstring& key, bool writable,
                                   double waitSeconds) {
    return OpenHives(arguments, key, writable, waitSeconds);
}

int RunUndo(const UndoOptions& options) {
    const auto source = OpenHives(options.hives, {}, true, options.waitSeconds);
    source->PrepareCommits({});
    std::vector<OpenHive>& hives = source->hives;
    std::wstring mounts;
    for (const auto& hive : hives)
        mounts += (mounts.empty() ? L"" : L", ") + hive.mount.rootName +
                  (hive.mount.path.empty() ? L"" : L"\\" + hive.mount.path);
    // Each key goes to the hive mounted deepest at or above it; a key
    // below none refuses the whole file before anything changes.
    const KeyPlacer place = [&](const std::wstring& fullKey) -> std::optional<KeyPlace> {
        const auto split = SplitFullKeyName(fullKey);
        if (!split) return std::nullopt;
        std::optional<KeyPlace> best;
        std::size_t depth = 0;
        for (std::size_t i = 0; i < hives.size(); ++i) {
            const HiveMount& mount = hives[i].mount;
            std::wstring rest;
            if (split->root != mount.root || !Below(split->path, mount.path, rest)) continue;
            if (best && mount.path.size() < depth) continue;
            best = KeyPlace{MountedHives::RootOf(i), rest};
            depth = mount.path.size();
        }
        return best;
    };
    MountedHives mounted(hives);
    LoadRegScript(options.undoFile, {}, mounted, place, L" (the hives are mounted at " + mounts + L"); nothing was changed",
                  options.acceptUnterminated ? ClosingLine::kOptional : ClosingLine::kRequired);
    // Ctrl+C is heard until the first rename.
    if (!source->FinishWrites([] { return Interrupted(); })) throw InterruptedBeforeChange{options.undoFile};
    return exit_code::kFound;
}

}  // namespace keyscour::cli
