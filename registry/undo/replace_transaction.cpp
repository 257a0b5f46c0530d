#include "registry/undo/replace_transaction.h"

#include <filesystem>

#include "base/numbered_error.h"
#include "registry/undo/undo_file.h"

namespace keyscour {

UndoSnapshot& UndoSnapshots::For(Registry& registry) {
    auto& snapshot = snapshots_[&registry];
    if (!snapshot) {
        UndoSnapshot::RootNamer name;
        if (rootName_) name = [this, &registry](KeyHandle root) { return rootName_(registry, root); };
        snapshot = std::make_unique<UndoSnapshot>(registry, std::move(name));
    }
    return *snapshot;
}

bool UndoSnapshots::Empty() const {
    for (const auto& [registry, snapshot] : snapshots_)
        if (!snapshot->Empty()) return false;
    return true;
}

std::wstring UndoSnapshots::Script() const {
    std::wstring text;
    WriteScript([&text](std::wstring_view piece) { text += piece; });
    return text;
}

void UndoSnapshots::WriteScript(const std::function<void(std::wstring_view piece)>& write) const {
    RegScriptWriter script;
    for (const auto& [registry, snapshot] : snapshots_) snapshot->AppendTo(script, write);
    write(script.Finish());
}

namespace {

using Ending = ReplaceOutcome::Ending;

void Remove(std::wstring& undoFile) {
    if (undoFile.empty()) return;
    undo_file::Discard(undoFile);
    undoFile.clear();
}

}  // namespace

ReplaceOutcome RunReplaceTransaction(const ReplaceSteps& steps) {
    ReplaceOutcome outcome;
    const auto stopped = [&] { return steps.stop && steps.stop(); };
    const auto failed = [&](Ending ending, const NumberedError& error, std::size_t at) {
        outcome.ending = ending;
        outcome.failedAt = at;
        outcome.number = error.Number();
        outcome.error = error.Description();
        return outcome;
    };

    UndoSnapshots undo(steps.rootName);
    for (std::size_t i = 0; i < steps.count; ++i) {
        try {
            steps.capture(i, undo);
        } catch (const NumberedError& error) {
            return failed(Ending::kCaptureFailed, error, i);
        }
    }
    if (stopped()) {
        outcome.ending = Ending::kStopped;
        return outcome;
    }
    if (steps.prepare) steps.prepare();
    const bool deferred = static_cast<bool>(steps.commit);
    if (steps.undoFileWhenEmpty || !undo.Empty()) {
        const std::wstring folder = steps.undoFolder.empty() ? undo_file::DefaultFolder() : steps.undoFolder;
        const auto script = [&undo](const undo_file::PieceWriter& write) { undo.WriteScript(write); };
        try {
            outcome.undoFile = undo_file::WriteTemporary(folder, script, steps.undoFileHeld);
        } catch (const NumberedError& error) {
            return failed(Ending::kUndoFileFailed, error, 0);
        }
        if (!deferred) {
            try {
                outcome.undoFile = undo_file::Publish(outcome.undoFile);
            } catch (const NumberedError& error) {
                Remove(outcome.undoFile);
                return failed(Ending::kUndoFileFailed,
                              NumberedError(error.Number(), error.Description() + L"; nothing was replaced"), 0);
            }
            if (steps.undoFileWritten) steps.undoFileWritten(outcome.undoFile);
        }
    }

    for (std::size_t i = 0; i < steps.count; ++i) {
        // Each write that lasts at once may be the last: stop is heard first.
        if ((!deferred || i == 0) && stopped()) break;
        if (steps.beforeWrite) steps.beforeWrite(i);
        try {
            steps.write(i);
        } catch (const NumberedError& error) {
            // Nothing written: the undo file would only mislead.
            if (deferred || outcome.written == 0) Remove(outcome.undoFile);
            if (deferred) outcome.written = 0;
            return failed(Ending::kWriteFailed, error, i);
        }
        ++outcome.written;
        if (!deferred && steps.written) steps.written(i);
    }
    if (outcome.written < steps.count) {
        if (deferred) outcome.written = 0;
        if (outcome.written == 0) Remove(outcome.undoFile);
        outcome.ending = Ending::kStopped;
        return outcome;
    }
    if (!deferred) return outcome;

    const ReplaceSteps::Commit commit = steps.commit(steps.stop ? steps.stop : std::function<bool()>{});
    if (!commit.error.empty() || !commit.committed) {
        outcome.error = commit.error;
        outcome.ending = !commit.error.empty() ? (commit.partly ? Ending::kPartlyCommitted : Ending::kCommitFailed)
                                               : Ending::kStopped;
        if (outcome.ending != Ending::kPartlyCommitted) {
            outcome.written = 0;
            Remove(outcome.undoFile);
            return outcome;
        }
    }
    // What was committed stays: its undo file must be there to say so.
    if (!outcome.undoFile.empty()) {
        try {
            outcome.undoFile = undo_file::Publish(outcome.undoFile);
        } catch (const NumberedError& error) {
            outcome.publishError = error.Description();
        }
        if (steps.undoFileWritten) steps.undoFileWritten(outcome.undoFile);
    }
    return outcome;
}

}  // namespace keyscour
