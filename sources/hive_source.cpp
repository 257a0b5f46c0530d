// Offline hives as a source: each hive a registry of its own, walked below
// its mount, written only by committing it at the end, under a lock that
// a replace or an undo holds from before its first read to after its
// commit.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <algorithm>
#include <memory>
#include <set>

#include "base/file_util.h"
#include "base/numbered_error.h"
#include "base/posix_handles.h"
#include "base/unicode_case.h"
#include "base/utf8.h"
#include "sources/hive_source.h"
#include "sources/source.h"
#include "sources/windows_install.h"
#include "registry/hive/hive_lock.h"
#include "registry/hive/hive_logs.h"
#include "registry/hive/hive_registry.h"
#include "registry/memory_registry.h"
#include "registry/script/reg_script_apply.h"
#include "registry/undo/undo_file.h"

namespace keyscour::sources {

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

// A dirty hive whose logs cannot be applied is never written: what
// Windows replays from them next would mix with, or undo, what was written.
void RefuseUnrecovered(const HiveLogState& logs, const std::wstring& option) {
    if (logs.dirty && !logs.recovered && logs.copyFailed)
        throw BadInput{option + L": " + Joined(logs.reasons) + L"; " + logs.failure +
                       L": nothing was written; give TMPDIR a folder with room for a copy of the hive"};
    if (logs.dirty && !logs.recovered)
        throw BadInput{option + L": " + Joined(logs.reasons) + L"; " + logs.failure + L": " + kLogsAdvice};
}

std::unique_ptr<HiveRegistry> Open(const HiveMount& mount, bool writable, const HiveLogState& logs,
                                   const std::wstring& option) {
    try {
        auto registry = std::make_unique<HiveRegistry>(mount.file, writable, HiveRegistry::CommitFunction{},
                                                       logs.recovered ? logs.ImagePath() : std::string());
        registry->SetCommitSequence(logs.commitSequence);
        return registry;
    } catch (const HiveError& error) {
        throw BadInput{option + L": " + error.message +
                       (logs.failure.empty() ? L"" : L"; its transaction logs cannot be applied: " + logs.failure)};
    }
}

// A mount as rows name it: "HKEY_USERS\S-1-5-20".
std::wstring MountName(const HiveMount& mount) {
    return mount.path.empty() ? mount.rootName : mount.rootName + L"\\" + mount.path;
}

// A name for the copies of a dirty hive's files: its own, the time, and
// " (2)" on, as undo files are named; made here, mode 0700.
std::string NewOriginalsFolder(const std::string& folder, const std::string& hiveName) {
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H.%M.%S", std::localtime(&now));
    for (int attempt = 1; attempt < 100; ++attempt) {
        std::string path = folder + "/" + hiveName + " originals " + stamp;
        if (attempt > 1) path += " (" + std::to_string(attempt) + ")";
        if (::mkdir(path.c_str(), 0700) == 0) return path;
        if (errno != EEXIST) break;
    }
    return {};
}

// A file copied whole, mode 0600, flushed; 0 or the errno.
int CopyWhole(const std::string& from, const std::string& to) {
    const unique_fd source(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (!source) return errno;
    const unique_fd target(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!target) return errno;
    if (const int error = CopyFileContents(source.get(), target.get())) return error;
    return ::fsync(target.get()) == 0 ? 0 : errno;
}

// Whether path is a file or folder a killed run of this tool made, by its
// name and kind, never through a link: a lock file's record is text anyone
// with the folder's rights could have written.
bool IsUndoTemporary(const std::string& path) {
    struct stat info {};
    const std::string name = path.substr(path.rfind('/') + 1);
    return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           name.starts_with(ToUtf8(std::wstring(undo_file::kTemporaryPrefix)));
}
bool IsOriginalsFolder(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           path.substr(path.rfind('/') + 1).find(" originals ") != std::string::npos;
}

// Hives opened for writing were refused when dirty, under their locks.
//
// Until a write's commit is settled, what a kill would leave is recorded in
// the lock files (hive_lock.h), one line each: "undo PATH" (the undo file's
// temporary name), "originals PATH" (a folder of copies), "commit DEVICE
// INODE HIVE" (the new file that becomes HIVE at the rename). The next run
// under a lock settles it: where a hive is that new file, the commit was
// made and the undo file is published; where none is, the undo file would
// "restore" what was never changed, and it and the copies are removed.
class Hives final : public Source {
public:
    ~Hives() override {
        // Alive to get here, this run settled what it made.
        if (locks) locks->Record(Lines(unsettled_));
    }
    void SettleLeftovers() {
        std::vector<std::string> undoFiles, originals;
        bool committed = false;
        for (const auto& line : locks->Leftovers()) {
            unsigned long long device = 0, inode = 0;
            int consumed = 0;
            if (line.starts_with("undo ")) {
                undoFiles.push_back(line.substr(5));
            } else if (line.starts_with("originals ")) {
                originals.push_back(line.substr(10));
            } else if (std::sscanf(line.c_str(), "commit %llu %llu %n", &device, &inode, &consumed) == 2 &&
                       consumed > 0) {
                committed |= FileIdOf(line.substr(static_cast<std::size_t>(consumed))) == FileId{device, inode};
            } else {
                unsettled_.push_back(line);  // not this version's to settle
            }
        }
        for (const auto& temporary : undoFiles) {
            if (!IsUndoTemporary(temporary)) continue;  // settled by a run on another of its hives
            if (!committed) {
                ::unlink(temporary.c_str());
                settled.push_back(L"removed " + FromUtf8(temporary) + L", the undo file of a run killed before its "
                                  L"commit: that run changed nothing");
                continue;
            }
            try {
                settled.push_back(L"the undo file of a run killed after its commit was published: " +
                                  undo_file::Publish(FromUtf8(temporary)));
            } catch (const NumberedError& error) {
                settled.push_back(L"the undo file of a run killed after its commit is " + FromUtf8(temporary) +
                                  L": " + error.Description());
            }
        }
        for (const auto& folder : originals) {
            if (!IsOriginalsFolder(folder)) continue;
            if (committed) {
                settled.push_back(L"the files as they were before a run killed after its commit stay in " +
                                  FromUtf8(folder));
                continue;
            }
            std::error_code failed;
            std::filesystem::remove_all(folder, failed);
            settled.push_back(failed ? L"could not remove " + FromUtf8(folder) + L" (" + ErrorText(failed.value()) +
                                           L"), left by a run killed before its commit"
                                     : L"removed " + FromUtf8(folder) + L", copies made by a run killed before its "
                                                                        L"commit: that run changed nothing");
            if (failed) unsettled_.push_back("originals " + folder);
        }
        locks->Record(Lines(unsettled_));
    }
    void HoldUndoFile(const std::wstring& temporary) override {
        undoTemporary_ = ToUtf8(temporary);
        RecordPending();
    }
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
                // would leave the change half made. Just before each rename
                // the locks must still be the ones at their names.
                const auto beforeRename = [&]() {
                    if (locks) locks->Verify();
                    return committed.empty() && stop && stop();
                };
                const bool done = hive.registry->Commit(beforeRename);
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
    bool KeepsKeyTimes() const override { return true; }
    std::vector<std::wstring> Warnings() const override {
        std::vector<std::wstring> lines = settled;
        lines.insert(lines.end(), warnings.begin(), warnings.end());
        for (const auto& hive : hives) {
            if (!hive.logs.dirty) continue;
            const std::wstring dirty = L"the hive " + FromUtf8(hive.mount.file) + L" was left dirty (" +
                                       Joined(hive.logs.reasons) + L")";
            if (ignoreLogs)
                lines.push_back(dirty + L"; --ignore-logs: read as it is on disk, its logs not applied: recent changes "
                                        L"may be missing from what is searched");
            else if (hive.logs.recovered)
                lines.push_back(dirty + L"; its transaction logs were applied to what is read, as Windows applies "
                                        L"them at its next boot, the files left as they are: " +
                                Joined(hive.logs.applied));
            else if (hive.logs.copyFailed)
                lines.push_back(dirty + L" and its logs could not be replayed (" + hive.logs.failure +
                                L"): read as it is on disk, recent changes may be missing from what is searched");
            else
                lines.push_back(dirty + L" and its transaction logs cannot be applied (" + hive.logs.failure +
                                L"): recent changes may be missing from what is searched");
        }
        return lines;
    }
    std::vector<std::wstring> KeepOriginals(const std::wstring& folder) override {
        const std::string directory = ToUtf8(folder);
        std::error_code made;
        for (const auto& hive : hives) {
            if (!hive.logs.recovered) continue;
            std::filesystem::create_directories(directory, made);
            const std::string file = hive.registry->File();
            const std::string name = file.substr(file.rfind('/') + 1);
            const std::string copies = made ? std::string() : NewOriginalsFolder(directory, name);
            int error = copies.empty() ? (made ? made.value() : errno) : 0;
            if (!copies.empty()) {
                kept_.push_back(copies);
                RecordPending();
            }
            std::vector<std::string> files{file};
            files.insert(files.end(), hive.logs.logs.begin(), hive.logs.logs.end());
            for (std::size_t i = 0; i < files.size() && error == 0; ++i)
                error = CopyWhole(files[i], copies + "/" + files[i].substr(files[i].rfind('/') + 1));
            if (copies.empty() || error != 0) {
                DropOriginals();
                throw BadInput{L"--hive: " + FromUtf8(file) + L": its files as they were could not be kept in " +
                               FromUtf8(copies.empty() ? directory : copies) + L" (" + ErrorText(error) +
                               L"), and its logs were applied; nothing was written"};
            }
            SyncFolderOf(copies + "/" + name);
        }
        std::vector<std::wstring> paths;
        for (const auto& path : kept_) paths.push_back(FromUtf8(path));
        return paths;
    }
    void DropOriginals() override {
        for (const auto& path : kept_) {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
        kept_.clear();
    }
    std::vector<std::wstring> Damage() const override {
        std::vector<std::wstring> lines = unreadable;
        for (const auto& hive : hives)
            for (const auto& line : hive.registry->Damage()) lines.push_back(FromUtf8(hive.mount.file) + L": " + line);
        return lines;
    }
    std::unique_ptr<HiveLocks> locks;
    std::vector<OpenHive> hives;
    bool ignoreLogs = false;
    std::vector<std::wstring> settled;  // what SettleLeftovers did, to be said
    std::vector<std::wstring> unreadable;  // hives a search went on without, one line each
    std::vector<std::wstring> warnings;    // more lines for the start

private:
    static std::string Lines(const std::vector<std::string>& lines) {
        std::string text;
        for (const auto& line : lines) text += line + "\n";
        return text;
    }
    // This run's own record, made before each thing a kill would leave.
    void RecordPending() {
        if (!locks) return;
        std::vector<std::string> lines = unsettled_;
        if (!undoTemporary_.empty()) lines.push_back("undo " + undoTemporary_);
        for (const auto& folder : kept_) lines.push_back("originals " + folder);
        for (const auto& hive : hives) {
            const auto made = FileIdOf(hive.registry->NewFilePath());
            if (!hive.registry->NewFilePath().empty() && made)
                lines.push_back("commit " + std::to_string(made->volume) + " " + std::to_string(made->index) + " " +
                                hive.registry->File());
        }
        locks->Record(Lines(lines));
    }
    std::vector<std::string> kept_;  // folders of originals this run made
    std::vector<std::string> unsettled_;  // leftovers of earlier runs this one could not settle
    std::string undoTemporary_;
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

// Refuses a file named twice, and, for writing, takes every hive's lock
// before anything of them is read.
void CheckAndLock(const std::vector<HiveMount>& mounts, bool writable, double waitSeconds,
                  std::unique_ptr<HiveLocks>& locks, const std::wstring& option) {
    // Undo's registry over them keeps a hive's number in a handle's top byte.
    if (mounts.size() > 200) throw BadInput{option + L": at most 200 hives at once"};
    std::vector<FileId> seen;
    std::vector<std::string> files;
    for (const auto& mount : mounts) {
        const auto id = FileIdOf(mount.file);
        for (std::size_t i = 0; id && i < seen.size(); ++i)
            if (seen[i] == *id)
                throw BadInput{option + L": " + FromUtf8(mount.file) + L" is the same file as " +
                               FromUtf8(mounts[i].file) + L"; name each hive once"};
        seen.push_back(id.value_or(FileId{}));
        files.push_back(mount.file);
    }
    if (writable) {
        try {
            locks = std::make_unique<HiveLocks>(files, waitSeconds);
        } catch (const HiveBusy& busy) {
            throw BadInput{FromUtf8(busy.hive) + L" is being changed by another keyscour-cli" +
                           (busy.pid ? L" (pid " + std::to_wstring(busy.pid) + L")" : L"") +
                           L"; try again, or give --wait SECONDS"};
        } catch (const HiveError& error) {
            throw BadInput{option + L": " + error.message};
        }
    }
}

// The mount deepest at or above root\\path of count mounts, mountOf(i)
// the i-th: its index and the path below it.
template <typename MountOf>
std::optional<std::pair<std::size_t, std::wstring>> DeepestMount(std::size_t count, MountOf mountOf, KeyHandle root,
                                                                 const std::wstring& path) {
    std::optional<std::pair<std::size_t, std::wstring>> best;
    std::size_t depth = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const HiveMount& mount = mountOf(i);
        std::wstring rest;
        if (root != mount.root || !Below(path, mount.path, rest)) continue;
        if (best && mount.path.size() < depth) continue;
        best.emplace(i, std::move(rest));
        depth = mount.path.size();
    }
    return best;
}

// Where an HKEY_CLASSES_ROOT path is stored, below HKCU or HKLM.
std::wstring ClassesPath(const std::wstring& path) {
    return L"Software\\Classes" + (path.empty() ? L"" : L"\\" + path);
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
    Status QueryValueLimits(KeyHandle key, std::uint32_t& longestNameChars, std::uint32_t& largestDataBytes) override {
        return OnKey(key, [&](Registry& hive, KeyHandle local) {
            return hive.QueryValueLimits(local, longestNameChars, largestDataBytes);
        });
    }
    Status RenameValue(KeyHandle key, const std::wstring& name, const std::wstring& newName) override {
        return OnKey(key, [&](Registry& hive, KeyHandle local) { return hive.RenameValue(local, name, newName); });
    }
    Status RenameKey(KeyHandle base, const std::wstring& path, const std::wstring& newName) override {
        return OnKey(base, [&](Registry& hive, KeyHandle local) { return hive.RenameKey(local, path, newName); });
    }
    Status QueryKeyKind(KeyHandle root, const std::wstring& path, KeyKind& kind) override {
        return OnKey(root, [&](Registry& hive, KeyHandle local) { return hive.QueryKeyKind(local, path, kind); });
    }
    Status QueryKeyTime(KeyHandle key, std::uint64_t& fileTime) override {
        return OnKey(key, [&](Registry& hive, KeyHandle local) { return hive.QueryKeyTime(local, fileTime); });
    }
    bool IsTombstone(KeyHandle key, std::uint32_t index) override {
        std::size_t hive = 0;
        const KeyHandle local = Local(key, hive);
        return local && Hive(hive).IsTombstone(local, index);
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

// keepGoing (a search of an installation): a hive that cannot be read is
// said as damage, and the others are walked. option names the hives in
// messages: --hive or --windows.
std::unique_ptr<Hives> OpenHives(std::vector<HiveMount> mounts, bool writable, double waitSeconds, bool ignoreLogs,
                                 bool keepGoing, const std::wstring& option) {
    if (ignoreLogs && writable)
        throw BadInput{L"--ignore-logs: only a search reads a hive without its logs; a replace or an undo applies a dirty "
                       L"hive's logs before it writes"};
    auto source = std::make_unique<Hives>();
    source->ignoreLogs = ignoreLogs;
    CheckAndLock(mounts, writable, waitSeconds, source->locks, option);
    if (source->locks) source->SettleLeftovers();
    for (auto& mount : mounts) {
        // Logs beside the file the path names, links followed; read under
        // the lock when writing, as they are when searching.
        HiveLogState logs;
        std::unique_ptr<HiveRegistry> registry;
        try {
            logs = CheckTransactionLogs(ResolvedHivePath(mount.file), !ignoreLogs);
            if (writable) RefuseUnrecovered(logs, option);
            registry = Open(mount, writable, logs, option);
        } catch (const BadInput& bad) {
            if (!keepGoing) throw;
            source->unreadable.push_back(MountName(mount) + L" is not searched: " + bad.message);
            continue;
        }
        AddInputs(*source, *registry, logs);
        source->walks.push_back(
            {registry.get(), HiveRegistry::kRoot, mount.start, mount.rootName, mount.path, mount.user, {}});
        source->hives.push_back({std::move(mount), std::move(registry), std::move(logs)});
    }
    return source;
}

std::vector<HiveMount> ParsedMounts(const std::vector<std::string>& arguments, const std::wstring& start = {}) {
    std::vector<HiveMount> mounts;
    for (const auto& argument : arguments) {
        mounts.push_back(ParseHiveArgument(argument));
        mounts.back().start = start;
    }
    return mounts;
}

// The installation at folder, what was left out of it said; for writing,
// BadInput when its Windows is hibernated.
Installation FoundInstallation(const std::string& folder, bool writable, const Reading& reading) {
    Installation found = FindInstallation(folder);
    if (writable && !found.hibernated.empty()) throw BadInput{L"--windows: " + found.hibernated + L"; nothing was changed"};
    for (const auto& line : found.leftOut) reading.Say(L"--windows: " + line);
    return found;
}

// An installation's mounts and those --hive names beside them; BadInput
// for one mounted where another is, which would hide it.
std::vector<HiveMount> WithMoreHives(std::vector<HiveMount> mounts, const std::vector<std::string>& moreHives) {
    for (auto& more : ParsedMounts(moreHives)) {
        for (const auto& mount : mounts)
            if (mount.root == more.root && UpperCased(mount.path) == UpperCased(more.path))
                throw BadInput{L"--hive: " + FromUtf8(more.file) + L" would be mounted at " + MountName(more) +
                               L", where the installation's " + FromUtf8(mount.file) + L" is"};
        mounts.push_back(std::move(more));
    }
    return mounts;
}

// A key's place as --root and --key name it over an installation: its
// root (none for all) and the path below.
std::pair<std::optional<KeyHandle>, std::wstring> StartOf(const InstallationSearch& search) {
    const std::wstring key = TrimmedKeyPath(search.key);
    const auto onlyMachineOrUsers = [](KeyHandle root, const std::wstring& given) {
        if (root != kLocalMachine && root != kUsers)
            throw BadInput{L"--root: an installation's hives are under HKLM and HKU, not " + given +
                           L" (a user's HKCU is HKU\\SID; see --user)"};
        return root;
    };
    if (!search.root.empty() && UpperCased(search.root) != L"ALL") {
        const auto root = ParseRootName(search.root);
        if (!root) throw BadInput{L"--root: not a root key: " + search.root + L" (HKLM, HKU or ALL with --windows)"};
        return {onlyMachineOrUsers(*root, search.root), key};
    }
    if (key.empty()) return {std::nullopt, key};
    const auto split = SplitFullKeyName(key);
    if (!split)
        throw BadInput{L"--key: with --windows, a key starts with its root (HKLM\\SOFTWARE\\..., HKU\\S-1-5-...), "
                       L"or --root names it: " + key};
    return {onlyMachineOrUsers(split->root, key), TrimmedKeyPath(split->path)};
}

// SYSTEM\CurrentControlSet... made the control set Select\Current names.
std::wstring WithControlSet(const std::wstring& path, const std::vector<HiveMount>& mounts, const Reading& reading) {
    static const std::wstring kLink = L"SYSTEM\\CurrentControlSet";
    std::wstring rest;
    if (!Below(path, kLink, rest)) return path;
    std::optional<std::wstring> current;
    for (const auto& mount : mounts)
        if (mount.root == kLocalMachine && UpperCased(mount.path) == L"SYSTEM") try {
                current = CurrentControlSet(mount.file);
            } catch (const HiveError& error) {
                throw BadInput{L"--key: CurrentControlSet cannot be found: " + error.message};
            }
    if (!current)
        throw BadInput{L"--key: CurrentControlSet cannot be found: SYSTEM\\Select\\Current names no control set"};
    reading.Say(L"--key: CurrentControlSet is " + *current + L" here, as SYSTEM\\Select\\Current says");
    return L"SYSTEM\\" + *current + (rest.empty() ? L"" : L"\\" + rest);
}

// The hives of users named; BadInput naming the profiles there are when
// one is not among them.
std::vector<HiveMount> OfUsers(std::vector<HiveMount> mounts, const std::vector<std::wstring>& users) {
    if (users.empty()) return mounts;
    std::set<std::wstring> known;
    for (const auto& mount : mounts)
        if (!mount.user.empty()) known.insert(UpperCased(mount.user));
    for (const auto& user : users)
        if (!known.count(UpperCased(user))) {
            std::wstring list;
            for (const auto& mount : mounts)
                if (!mount.user.empty() && list.find(L" " + mount.user + L",") == std::wstring::npos)
                    list += L" " + mount.user + L",";
            if (!list.empty()) list.pop_back();
            throw BadInput{L"--user: no profile folder " + user + L" in this installation" +
                           (list.empty() ? L"" : L"; its profiles are:" + list)};
        }
    std::erase_if(mounts, [&](const HiveMount& mount) {
        return mount.user.empty() || !std::any_of(users.begin(), users.end(), [&](const std::wstring& user) {
            return UpperCased(user) == UpperCased(mount.user);
        });
    });
    return mounts;
}

bool IsRegularFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

std::unique_ptr<Source> HiveSource(const std::vector<std::string>& arguments, const std::wstring& key, bool writable,
                                   double waitSeconds, bool ignoreLogs) {
    return OpenHives(ParsedMounts(arguments, TrimmedKeyPath(key)), writable, waitSeconds, ignoreLogs, false, L"--hive");
}

std::unique_ptr<Source> InstallationSource(const InstallationSearch& search, bool writable, double waitSeconds,
                                           bool ignoreLogs, const Reading& reading) {
    const Installation found = FoundInstallation(search.folder, writable, reading);
    std::vector<HiveMount> mounts = OfUsers(WithMoreHives(found.hives, search.moreHives), search.users);

    auto [root, path] = StartOf(search);
    if (!root || *root == kLocalMachine) path = WithControlSet(path, mounts, reading);
    std::vector<HiveMount> kept;
    std::vector<std::wstring> missing;
    for (auto& mount : mounts) {
        std::wstring rest;
        if (root && mount.root != *root) continue;
        if (Below(path, mount.path, rest))
            mount.start = rest;
        else if (Below(mount.path, path, rest))
            mount.start.clear();  // the key is above the hive: all of it
        else
            continue;
        if (!IsRegularFile(mount.file)) {
            missing.push_back(MountName(mount) + L" is not searched: " + FromUtf8(mount.file) + L" is not there");
            continue;
        }
        kept.push_back(std::move(mount));
    }
    if (kept.empty() && missing.empty())
        throw BadInput{L"--key: no hive of this installation holds " + (root ? std::wstring(RootKeyNameOf(*root)) : L"") +
                       (root && !path.empty() ? L"\\" : L"") + path};
    if (writable && !missing.empty())
        throw BadInput{L"--windows: " + missing.front() + L"; a change over the installation would leave it out, so "
                       L"nothing was changed (narrow it with --key or --user)"};
    auto source = OpenHives(std::move(kept), writable, waitSeconds, ignoreLogs, !writable, L"--windows");
    source->unreadable.insert(source->unreadable.begin(), missing.begin(), missing.end());
    if (!found.hibernated.empty())
        source->warnings.push_back(found.hibernated + L"; until then, nothing here may be changed");
    return source;
}

// The hives of an undo, opened for writing; each key of its file goes to
// the hive mounted deepest at or above it.
struct UndoHives::Opened {
    std::unique_ptr<Hives> source;
    MountedHives mounted;
    explicit Opened(std::unique_ptr<Hives> hives) : source(std::move(hives)), mounted(source->hives) {}
};

UndoHives::UndoHives(const std::vector<std::string>& hives, double waitSeconds, bool ignoreLogs)
    : UndoHives(ParsedMounts(hives), waitSeconds, ignoreLogs, L"--hive") {}

UndoHives::UndoHives(std::vector<HiveMount> mounts, double waitSeconds, bool ignoreLogs, const std::wstring& option)
    : opened_(std::make_unique<Opened>(OpenHives(std::move(mounts), true, waitSeconds, ignoreLogs, false, option))) {
    opened_->source->PrepareCommits({});
}

UndoHives::~UndoHives() = default;

Source& UndoHives::AsSource() { return *opened_->source; }
const std::vector<std::wstring>& UndoHives::Settled() const { return opened_->source->settled; }
Registry& UndoHives::Mounted() { return opened_->mounted; }

std::wstring UndoHives::Mounts() const {
    std::wstring mounts;
    for (const auto& hive : opened_->source->hives)
        mounts += (mounts.empty() ? L"" : L", ") + hive.mount.rootName +
                  (hive.mount.path.empty() ? L"" : L"\\" + hive.mount.path);
    return mounts;
}

KeyPlacer UndoHives::Placer() const {
    // A key below none refuses the whole file before anything changes.
    return [&hives = opened_->source->hives, &mounted = opened_->mounted](const std::wstring& fullKey)
               -> std::optional<KeyPlace> {
        const auto split = SplitFullKeyName(fullKey);
        if (!split) return std::nullopt;
        const auto deepest = [&](KeyHandle root, const std::wstring& path) -> std::optional<KeyPlace> {
            const auto found = DeepestMount(
                hives.size(), [&](std::size_t i) -> const HiveMount& { return hives[i].mount; }, root, path);
            if (!found) return std::nullopt;
            return KeyPlace{MountedHives::RootOf(found->first), found->second};
        };
        if (split->root != kClassesRoot) return deepest(split->root, split->path);
        // HKEY_CLASSES_ROOT is the user's classes over the machine's: a key
        // is written where the user's hive holds it, else the machine's.
        const std::wstring classes = ClassesPath(split->path);
        if (const auto user = deepest(kCurrentUser, classes)) {
            KeyHandle key = 0;
            if (mounted.OpenKey(user->root, user->path, key) == status::kSuccess) {
                mounted.CloseKey(key);
                return user;
            }
        }
        return deepest(kLocalMachine, classes);
    };
}

std::vector<HiveMount> InstallationHivesFor(const std::string& folder, const std::vector<std::string>& moreHives,
                                            const std::string& undoFile, const Reading& reading) {
    const std::vector<HiveMount> mounts = WithMoreHives(FoundInstallation(folder, true, reading).hives, moreHives);
    // The file read once into memory, only to learn which hives its keys
    // are in: the undo then locks and opens those alone.
    std::vector<bool> needed(mounts.size());
    const auto need = [&](KeyHandle root, const std::wstring& path) {
        const auto found = DeepestMount(
            mounts.size(), [&](std::size_t i) -> const HiveMount& { return mounts[i]; }, root, path);
        if (found) needed[found->first] = true;
        return found.has_value();
    };
    MemoryRegistry memory;
    LoadRegScript(undoFile, {}, memory,
                  [&](const std::wstring& fullKey) -> std::optional<KeyPlace> {
                      auto split = SplitFullKeyName(fullKey);
                      if (!split) return std::nullopt;
                      // Either classes hive may take an HKEY_CLASSES_ROOT key.
                      const bool placed = split->root == kClassesRoot
                                              ? need(kCurrentUser, ClassesPath(split->path)) |
                                                    need(kLocalMachine, ClassesPath(split->path))
                                              : need(split->root, split->path);
                      if (!placed) return std::nullopt;
                      return split;
                  },
                  L" (no hive of the installation at " + FromUtf8(folder) + L" holds it); nothing was changed",
                  Reading{reading.stop, {}});
    std::vector<HiveMount> used;
    for (std::size_t i = 0; i < mounts.size(); ++i) {
        if (!needed[i]) continue;
        if (!IsRegularFile(mounts[i].file))
            throw BadInput{L"--windows: the undo file has keys in " + MountName(mounts[i]) + L", whose hive " +
                           FromUtf8(mounts[i].file) + L" is not there; nothing was changed"};
        used.push_back(mounts[i]);
    }
    return used;
}

}  // namespace keyscour::sources
