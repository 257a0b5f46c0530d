#pragma once
// A replace from its targets to its last write, the one sequence both
// front ends run, since it is the one that keeps a registry safe:
//   1. every target's present state captured for undo, the script checked
//      to carry each (a name with a line break refuses the whole replace);
//   2. the writes made ready (a hive's commit prepared, the locks having
//      been taken when its source opened, before its first read);
//   3. the undo file written and flushed, and published (given its name)
//      at once where each write lasts at once;
//   4. each value written;
//   5. what makes the writes last (a hive's commit, the only rename), and
//      only then the undo file published: one a kill left before it would
//      "restore" what was never changed;
//   6. the undo file removed again when nothing was written.
// stop (Ctrl+C, a failed output) is heard between the stages, before each
// write that lasts at once, and, through the commit, until its rename.
// What the front ends say, and when, is theirs: the window's message
// boxes and red rows, the command line's records and exit codes.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "registry/registry.h"
#include "registry/undo/undo_snapshot.h"

namespace keyscour {

// One snapshot per registry a replace writes, written as one undo file.
class UndoSnapshots {
public:
    // The full name of a root of a registry, as the script names it.
    using RootNamer = std::function<std::wstring(Registry&, KeyHandle)>;
    explicit UndoSnapshots(RootNamer rootName = {}) : rootName_(std::move(rootName)) {}
    UndoSnapshot& For(Registry& registry);
    bool Empty() const;
    std::wstring Script() const;
    // The same script in pieces, none held whole.
    void WriteScript(const std::function<void(std::wstring_view piece)>& write) const;

private:
    RootNamer rootName_;
    std::map<Registry*, std::unique_ptr<UndoSnapshot>> snapshots_;
};

struct ReplaceSteps {
    std::size_t count = 0;  // targets 0 .. count - 1
    // Keeps target i's present state; throws NumberedError when it cannot.
    std::function<void(std::size_t i, UndoSnapshots& undo)> capture;
    // Writes target i; throws NumberedError when it cannot.
    std::function<void(std::size_t i)> write;
    // Stage 2; may throw what the front end raises for a refusal.
    std::function<void()> prepare;
    std::function<bool()> stop;
    // Said before the first write that lasts: at once, or after a commit.
    std::function<void(const std::wstring& path)> undoFileWritten;
    // With a commit: the undo file's temporary name, told before its first
    // byte, so that what a kill leaves can be found (undo_file.h).
    std::function<void(const std::wstring& temporary)> undoFileHeld;
    std::function<void(std::size_t i)> beforeWrite;  // the window marks the row red
    std::function<void(std::size_t i)> written;      // a write that lasted at once
    // Stage 5, for writes that last only then.
    struct Commit {
        bool committed = false;  // false with no error: stop said so before the rename
        bool partly = false;     // some hives committed, the rest not
        std::wstring error;      // empty when nothing failed
    };
    std::function<Commit(const std::function<bool()>& stop)> commit;
    bool undoFileWhenEmpty = true;  // the window writes none for nothing to keep
    std::wstring undoFolder;        // empty: the default folder
    UndoSnapshots::RootNamer rootName;  // empty: the root keys' own names
};

struct ReplaceOutcome {
    enum class Ending {
        kDone,
        kStopped,          // by stop: written says how many writes lasted
        kCaptureFailed,    // failedAt's state could not be kept; nothing written
        kUndoFileFailed,   // nothing written
        kWriteFailed,      // at failedAt; with deferred writes, nothing written
        kCommitFailed,     // nothing written
        kPartlyCommitted,  // the undo file covers what was
    };
    Ending ending = Ending::kDone;
    std::size_t written = 0;
    std::size_t failedAt = 0;
    std::int32_t number = 0;  // the error's number, for the window's report
    std::wstring error;       // its description
    std::wstring undoFile;    // the undo file kept, if any
    std::wstring publishError;  // a committed change's undo file kept under its temporary name, and why
};

// Runs the stages; writes last at once unless steps.commit is given.
ReplaceOutcome RunReplaceTransaction(const ReplaceSteps& steps);

}  // namespace keyscour
