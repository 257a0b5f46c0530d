#pragma once
// What a command searches: the live registry (Windows), a .reg file read
// into memory, or offline hive files; and the walks it makes there, each a
// registry, a root and a start key.

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "registry/script/reg_script.h"
#include "registry/script/reg_script_apply.h"
#include "registry/registry.h"
#include "search/walk.h"

namespace keyscour::sources {

using search::Walk;

class Source {
public:
    virtual ~Source() = default;
    // Before the undo file: makes sure that the writes can be finished.
    virtual void PrepareWrites() {}
    // After the last write: what makes them last (a hive's commit). stop is
    // asked before that begins; false when it said stop and nothing was
    // made to last. Throws HiveError for a commit that failed.
    virtual bool FinishWrites(const std::function<bool()>& stop) {
        (void)stop;
        return true;
    }
    // Damage met while reading, one line each; a walk with any ends in 3.
    virtual std::vector<std::wstring> Damage() const { return {}; }
    // A line for the start: a hive whose logs are not applied, say.
    virtual std::vector<std::wstring> Warnings() const { return {}; }
    // Whether its keys have last-write times (the live registry, hives; a
    // .reg file has none).
    virtual bool KeepsKeyTimes() const { return false; }
    // Whether a write lasts only once FinishWrites is done (a hive): what
    // a replace reports is then held until then.
    virtual bool WritesAreDeferred() const { return false; }
    // Before anything is written, for each hive whose logs were replayed:
    // the hive and its logs copied as they are into a folder of their own in
    // folder, mode 0600. Returns those folders; throws BadInput when a copy
    // cannot be made, with nothing kept.
    virtual std::vector<std::wstring> KeepOriginals(const std::wstring& folder) {
        (void)folder;
        return {};
    }
    // The copies removed again: nothing was committed.
    virtual void DropOriginals() {}
    // The temporary name of the undo file of writes still to be committed,
    // kept where the next run finds it if this one is killed.
    virtual void HoldUndoFile(const std::wstring& temporary) { (void)temporary; }
    // The files read (UTF-8), which no output may overwrite.
    std::vector<std::string> inputFiles;
    // Lines of a .reg file skipped as Windows skips them.
    std::uint64_t skippedLines = 0;
    std::vector<Walk> walks;
};

// What reading a source hears and says: the stop flag, which the command
// line's signal handler sets, and a line for people (a line of a .reg
// file skipped, a warning).
struct Reading {
    const std::atomic<bool>* stop = nullptr;
    std::function<void(const std::wstring& line)> say;
    bool Stopped() const { return stop && stop->load(std::memory_order_relaxed); }
    void Say(const std::wstring& line) const {
        if (say) say(line);
    }
};

// Raised for input the command cannot use: exit 2 with this message.
struct BadInput {
    std::wstring message;
};
// Raised when Ctrl+C stops a command before it changed anything (the
// reading of a file, an undo before its commit): exit 130.
struct InterruptedBeforeChange {
    std::string path;
};

// ROOT is HKCR, HKCU, HKLM, HKU, HKCC, their long names, or ALL. ALL is
// HKLM, HKU and HKCC in the live registry, whose HKCR and HKCU are views of
// those, and every root in a .reg file.
// view: empty, or "32" for the registry a 32-bit program sees, whose rows
// name the keys' real paths.
std::unique_ptr<Source> LiveRegistry(const std::wstring& root, const std::wstring& key, const std::wstring& view = {});
std::unique_ptr<Source> RegFileSource(const std::string& utf8Path, const std::wstring& root, const std::wstring& key,
                                      const Reading& reading, RegFileEncoding encoding = {}, bool strict = false);
// Whether a file must end in an undo file's closing line: kOptional takes
// one without it (written before undo files had it), after a warning.
enum class ClosingLine { kNone, kRequired, kOptional };
// Reads a .reg file into registry, each key placed by place: an undo file
// whose closing line matches exactly, any other as Windows reads it, each
// line it skips said through reading. BadInput naming the file and line
// (with refusal after it) for what cannot be read, an undo file that may
// be cut short, or (strict) any line skipped; InterruptedBeforeChange for
// the stop. Returns how many lines were skipped.
// With renamesBack, an undo file's renames (registry/undo/rename_marks.h)
// are renamed back before anything else, and each renamed key's own
// sections left out; a rename that cannot be made back refuses the file.
std::uint64_t LoadRegScript(const std::string& utf8Path, RegFileEncoding encoding, Registry& registry,
                            const KeyPlacer& place, const std::wstring& refusal, const Reading& reading,
                            ClosingLine closing = ClosingLine::kNone, bool strict = false, bool renamesBack = false);
// FILE[=MOUNT] each; MOUNT defaults by the file's name (SOFTWARE is
// HKLM\\SOFTWARE, NTUSER.DAT is HKCU, ...). key is a path inside each hive.
// For writing, every hive is locked first, waiting up to waitSeconds.
// ignoreLogs reads each hive as it is on disk, its logs not replayed; only
// for reading.
std::unique_ptr<Source> HiveSource(const std::vector<std::string>& hives, const std::wstring& key, bool writable,
                                   double waitSeconds = 0, bool ignoreLogs = false);

// A whole offline Windows (sources/windows_install.h): the volume's root,
// and what narrows the search in it.
struct InstallationSearch {
    std::string folder;
    std::vector<std::wstring> users;  // profile folders; none: everyone, and the machine
    std::wstring root;                // HKLM, HKU or ALL; empty: ALL, and key starts with the root
    std::wstring key;
    std::vector<std::string> moreHives;  // FILE[=MOUNT] each, mounted beside the installation's
};
// Every hive of the installation at or below the key, each walked from
// there, rows naming real registry paths. A search says a hive that cannot
// be read as damage and goes on; a write refuses it, as it refuses a
// hibernated Windows. What was left out, and the control set CurrentControlSet
// became, go to reading.
std::unique_ptr<Source> InstallationSource(const InstallationSearch& search, bool writable, double waitSeconds,
                                           bool ignoreLogs, const Reading& reading);

// A hive named on the command line: its file and where it is mounted.
struct HiveMount {
    std::string file;
    KeyHandle root;
    std::wstring rootName;  // "HKEY_LOCAL_MACHINE"
    std::wstring path;      // "SOFTWARE", or empty for a whole root (NTUSER.DAT is HKCU)
    std::wstring user;      // a profile's folder name, for a user's hives of an installation
    std::wstring start;     // where a walk of it starts, below the mount
};
HiveMount ParseHiveArgument(const std::string& argument);

// A start key as walks take it: without leading or trailing backslashes.
std::wstring TrimmedKeyPath(std::wstring key);

// The whole of a file, or BadInput naming it.
std::vector<std::uint8_t> ReadInputFile(const std::string& utf8Path);

}  // namespace keyscour::sources
