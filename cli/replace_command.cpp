#include <chrono>
#include <filesystem>
#include <cwctype>

#include "base/numbered_error.h"
#include "base/spill_file.h"
#include "base/utf8.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/interrupt.h"
#include "cli/session.h"
#include "registry/value_forms.h"
#include "search/value_replace.h"
#include "search/walker.h"
#include "registry/script/reg_script.h"
#include "registry/string_writer.h"
#include "registry/undo/undo_file.h"
#include "registry/undo/replace_transaction.h"
#include "registry/hive/hive_error.h"

namespace keyscour::cli {

using output::InputIsTerminal;
using output::ReadInputLine;
using output::RegScriptRefusal;
using search::ReplaceInValue;
using search::ValueChange;

namespace {

// A value the replace will write, kept from the walk: the undo file must be
// whole on the disk before the first write, and the question names the count.
struct Pending {
    const Walk* walk;
    MRegistry::ValueAddress where;  // in the walk's registry, as the walk found it
    std::wstring rowKey;            // the key as rows name it
    std::uint32_t type, newType;
    std::vector<std::uint8_t> data, newData;
    int matched;

    Record AsRecord() const {
        Record record;
        record.root = walk->rootName;
        record.key = rowKey;
        record.name = where.valueName;
        record.type = type;
        record.data = data;
        record.matched = matched;
        return record;
    }
    std::wstring Place() const {
        return walk->rootName + (rowKey.empty() ? L"" : L"\\" + rowKey) + L"\\" + where.valueName;
    }
};

// The values a replace will write, in the order met: on disk, since a
// replace of every value of a hive has as many as the hive holds. Read
// back in order, for the undo file, the writes and the records.
class PendingChanges {
public:
    explicit PendingChanges(const std::vector<Walk>& walks) : walks_(walks) {}
    void Add(const Pending& change) {
        RecordWriter record;
        record.U64(static_cast<std::uint64_t>(change.walk - walks_.data()));
        record.U32(change.where.root);
        record.Text(change.where.keyPath);
        record.Text(change.where.valueName);
        record.Text(change.rowKey);
        record.U32(change.type);
        record.U32(change.newType);
        record.Bytes(change.data);
        record.Bytes(change.newData);
        record.U32(static_cast<std::uint32_t>(change.matched));
        offsets_.push_back(spill_.Append(record.Record()));
    }
    std::size_t size() const { return offsets_.size(); }
    bool empty() const { return offsets_.empty(); }
    // Valid until the next call.
    const Pending& operator[](std::size_t i) {
        if (i == current_) return change_;
        std::uint64_t next = 0;
        RecordReader record(spill_.Read(offsets_[i], next));
        change_.walk = &walks_[static_cast<std::size_t>(record.U64())];
        change_.where.root = record.U32();
        change_.where.keyPath = record.Text();
        change_.where.valueName = record.Text();
        change_.rowKey = record.Text();
        change_.type = record.U32();
        change_.newType = record.U32();
        change_.data = record.Bytes();
        change_.newData = record.Bytes();
        change_.matched = static_cast<int>(record.U32());
        current_ = i;
        return change_;
    }

private:
    const std::vector<Walk>& walks_;
    SpillFile spill_;
    std::vector<std::uint64_t> offsets_;
    Pending change_{};
    std::size_t current_ = SIZE_MAX;
};

std::wstring UndoFolder(const ReplaceOptions& replace) {
    return replace.undoDir.empty() ? undo_file::DefaultFolder() : FromUtf8(replace.undoDir);
}

// A replace from its walk to its report, stage by stage: every stage
// before the commit (or, in the live registry, before each write) may end
// it with nothing changed, and says so.
class Replacing {
public:
    Replacing(const SearchOptions& options, const ReplaceOptions& replace)
        : options_(options), replace_(replace), toRegFile_(!options.regFile.empty()),
          // Over a .reg file, the records go to standard output and the
          // changed values to the new file; the input is never written.
          session_(options, toRegFile_ ? std::string() : options.output, !replace.dryRun && !toRegFile_,
                   toRegFile_ ? std::vector<std::string>{options.output} : std::vector<std::string>{}) {
        if (toRegFile_) {
            newFile_ = OpenOutputFile(options.output);
            newValues_ = MakeOutput(Format::kReg, *newFile_, *session_.errors, true);
        }
    }

    int Run() {
        WalkForChanges();
        totals_.skipped = skipped_ + session_.rule->Skipped();
        if (const std::wstring warning = session_.rule->SkippedWarning(); !warning.empty()) session_.Say(warning);
        if (totals_.interrupted) return Finish(exit_code::kInterrupted);
        if (Damaged()) return Finish(exit_code::kDamaged);
        if (replace_.dryRun || toRegFile_) return Dry();
        if (pending_.empty()) return Finish(exit_code::kNothing);
        if (!Confirmed()) {
            session_.Say(L"Nothing was replaced.");
            return Finish(exit_code::kNothing);
        }
        return Transact();
    }

private:
    // Every hit the replace would write, kept from the walk: the undo file
    // must be whole on the disk before the first write, and the question
    // names the count.
    void WalkForChanges() {
        search::Walker walker = session_.NewWalker();
        const bool started = session_.Walk(walker, [&](const Record& record, const SearchHit& hit, const Walk& walk) {
            // Keys are never renamed; a tombstone written or kept for undo
            // would bring back the value it hides.
            if (record.isKey || record.tombstone) return;
            Pending change{&walk,
                           {walk.root, std::wstring(hit.keyPath), std::wstring(hit.valueName)},
                           std::wstring(record.key),
                           record.type,
                           record.type,
                           {record.data.begin(), record.data.end()},
                           {},
                           record.matched};
            if (replace_.wholeValue) {
                change.newType = value_type::kString;
                change.newData = StringData(replace_.with);
            } else {
                ValueChange value = ReplaceInValue(*session_.rule, replace_.with, record.type, record.data);
                if (!value.changed) {
                    ++skipped_;
                    session_.output->Skip(record, value.reason);
                    return;
                }
                change.newData = std::move(value.data);
            }
            if (toRegFile_) {
                if (const std::wstring refusal = RegScriptRefusal(record); !refusal.empty()) {
                    // The new .reg file could not carry it: said, counted, never written there.
                    ++leftOut_;
                    session_.Say(L"keyscour-cli: left out of " + FromUtf8(options_.output) + L": " + refusal);
                    session_.output->Skip(record, L"left out of the new .reg file: " + refusal);
                    return;
                }
            }
            pending_.Add(change);
            if (!session_.out->Failure().empty()) walker.Stop();
        });
        totals_ = walker.totals;
        if (!started && !walker.totals.interrupted)
            throw BadInput{L"--key: " + options_.key + L" was not found under any root searched"};
    }

    // A damaged hive is not written: what the walk could not read, the
    // replace could not account for.
    bool Damaged() {
        const auto damage = session_.source->Damage();
        if (damage.empty()) return false;
        for (const auto& line : damage) session_.Say(L"damaged: " + line);
        session_.Say(L"keyscour-cli: nothing was replaced, since parts of the hive cannot be read");
        return true;
    }

    int Dry() {
        for (std::size_t i = 0; i < pending_.size(); ++i) Report(pending_[i]);
        totals_.changed = pending_.size();
        return Finish(pending_.empty() ? exit_code::kNothing : exit_code::kFound);
    }

    bool Confirmed() {
        if (replace_.yes) return true;
        if (!InputIsTerminal() || !session_.errors->IsTerminal())
            throw BadInput{L"--yes: not on a terminal, a replace needs --yes (or try --dry-run first)"};
        session_.progress->Clear();
        session_.errors->Text(L"Replace " + std::to_wstring(pending_.size()) + L" values? [y/N] ");
        std::wstring answer = ReadInputLine();
        for (auto& c : answer) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
        return answer == L"y" || answer == L"yes";
    }

    // A dirty hive's files as they were, before its logs were applied,
    // beside the undo file: kept once committed, removed otherwise.
    void KeepOriginals() {
        for (const auto& path : session_.source->KeepOriginals(UndoFolder(replace_))) {
            session_.output->Originals(path);
            session_.Say(L"originals: " + path);
        }
    }

    // Nothing was written: the undo file, if made, would only mislead.
    int Stopped() {
        totals_.interrupted = true;
        totals_.changed = 0;
        session_.Say(L"keyscour-cli: interrupted; nothing was replaced");
        return Finish(exit_code::kInterrupted);
    }

    // The shared sequence (registry/undo/replace_transaction.h) with this
    // command's records, messages and exit codes at each of its endings.
    int Transact() {
        const bool deferred = session_.source->WritesAreDeferred();
        ReplaceSteps steps;
        steps.count = pending_.size();
        steps.undoFolder = UndoFolder(replace_);
        steps.rootName = [this](Registry& registry, KeyHandle root) {
            for (const Walk& walk : session_.source->walks)
                if (walk.registry == &registry && walk.root == root) return walk.FullRootName();
            return std::wstring();
        };
        steps.capture = [this](std::size_t i, UndoSnapshots& undo) {
            const Pending& change = pending_[i];
            undo.For(*change.walk->registry).CaptureValue(change.where);
        };
        steps.prepare = [this] {
            session_.source->PrepareWrites();
            KeepOriginals();
            TestSeam("undo");
        };
        // In the live registry each write lasts at once: Ctrl+C or a failed
        // output ends the writes, keeping what was written.
        steps.stop = [this, deferred] { return Interrupted() || (!deferred && !session_.out->Failure().empty()); };
        steps.undoFileWritten = [this](const std::wstring& path) {
            undoPath_ = path;
            session_.Say(L"undo file: " + path);
        };
        steps.undoFileHeld = [this](const std::wstring& temporary) { session_.source->HoldUndoFile(temporary); };
        steps.beforeWrite = [](std::size_t) { TestSeam("write"); };
        steps.write = [this](std::size_t i) {
            // The hit's own key and name, exactly: the same write for the
            // whole value (REG_SZ) as for a replace inside it.
            const Pending& change = pending_[i];
            MRegistry::WriteValue(*change.walk->registry, change.where, change.newType, change.newData);
        };
        steps.written = [this](std::size_t i) {
            ++totals_.changed;
            Report(pending_[i]);
        };
        if (deferred)
            steps.commit = [this](const std::function<bool()>&) {
                TestSeam("commit");
                ReplaceSteps::Commit commit;
                try {
                    // Ctrl+C is heard until the rename; a failed output no longer stops it.
                    commit.committed = session_.source->FinishWrites([] { return Interrupted(); });
                    if (commit.committed) TestSeam("committed");
                } catch (const HiveError& error) {
                    commit.error = error.message;
                    commit.partly = error.partlyCommitted;
                }
                return commit;
            };

        const ReplaceOutcome outcome = RunReplaceTransaction(steps);
        undoPath_ = outcome.undoFile;
        using Ending = ReplaceOutcome::Ending;
        switch (outcome.ending) {
        case Ending::kCaptureFailed:
            // A hive says why a key cannot be read or written as it goes.
            for (const auto& line : session_.source->Damage()) session_.Say(L"damaged: " + line);
            throw BadInput{L"nothing was replaced: " + outcome.error};
        case Ending::kUndoFileFailed:
            session_.Say(L"keyscour-cli: " + outcome.error);
            return Finish(exit_code::kWriteFailed);
        case Ending::kWriteFailed:
            if (deferred) {
                session_.Say(L"keyscour-cli: " + pending_[outcome.failedAt].Place() + L": " + outcome.error +
                             L"; nothing was replaced");
            } else {
                session_.Say(L"keyscour-cli: stopped at " + pending_[outcome.failedAt].Place() + L" after " +
                             std::to_wstring(outcome.written) + L" of " + std::to_wstring(pending_.size()) +
                             L" writes: " + outcome.error + WrittenNote(outcome.written));
            }
            return Finish(exit_code::kWriteFailed);
        case Ending::kCommitFailed:
            session_.Say(L"keyscour-cli: " + outcome.error);
            return Finish(exit_code::kWriteFailed);
        case Ending::kPartlyCommitted:
            partlyCommitted_ = true;
            session_.Say(L"keyscour-cli: " + outcome.error);
            session_.Say(L"keyscour-cli: the undo file " + undoPath_ + L" covers what was committed");
            return Finish(exit_code::kWriteFailed);
        case Ending::kStopped:
            if (outcome.written == 0 && (deferred || Interrupted())) return Stopped();
            {
                const bool interrupted = Interrupted();
                session_.Say(L"keyscour-cli: " + std::wstring(interrupted ? L"interrupted" : L"the output failed") +
                             L" after " + std::to_wstring(outcome.written) + L" of " + std::to_wstring(pending_.size()) +
                             L" writes" + WrittenNote(outcome.written));
                totals_.interrupted = interrupted;
                return Finish(interrupted ? exit_code::kInterrupted : exit_code::kWriteFailed);
            }
        case Ending::kDone:
            break;
        }
        if (deferred) {
            committed_ = true;
            // Only now is each change true: the records follow the commit.
            for (std::size_t i = 0; i < pending_.size(); ++i) Report(pending_[i]);
            totals_.changed = pending_.size();
        }
        if (!outcome.publishError.empty()) {
            session_.Say(L"keyscour-cli: the replace was committed, but " + outcome.publishError +
                         L"; that file is its undo file");
            return Finish(exit_code::kWriteFailed);
        }
        return Finish(exit_code::kFound);
    }

    std::wstring WrittenNote(std::size_t written) const {
        if (written == 0) return L"; nothing was written";
        return L". What was written stays; the undo file " + undoPath_ + L" covers it";
    }

    void Report(const Pending& change) {
        session_.output->Change(change.AsRecord(), change.newType, change.newData);
        if (newValues_) newValues_->Change(change.AsRecord(), change.newType, change.newData);
    }

    int Finish(int code) {
        totals_.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
        totals_.leftOut = leftOut_ + session_.output->LeftOut() + (newValues_ ? newValues_->LeftOut() : 0);
        totals_.skippedLines = session_.source->skippedLines;
        session_.output->Summary(totals_);
        if (newValues_) newValues_->Summary(totals_);
        if (!session_.FinishOutputs({newFile_.get()})) {
            if (committed_ || totals_.changed > 0)
                session_.Say(L"keyscour-cli: the replace itself was done" +
                             std::wstring(committed_ ? L" and committed" : L"") + L"; the undo file " + undoPath_ +
                             L" covers it");
            return exit_code::kWriteFailed;
        }
        if (code == exit_code::kFound && totals_.leftOut > 0) return exit_code::kWriteFailed;
        return code;
    }

public:
    ~Replacing() {
        if (!committed_ && !partlyCommitted_) session_.source->DropOriginals();
    }

private:
    const SearchOptions& options_;
    const ReplaceOptions& replace_;
    const bool toRegFile_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    Session session_;
    std::unique_ptr<Sink> newFile_;
    std::unique_ptr<Output> newValues_;
    PendingChanges pending_{session_.source->walks};
    Totals totals_;
    std::uint64_t skipped_ = 0, leftOut_ = 0;
    std::wstring undoPath_;
    bool committed_ = false;
    bool partlyCommitted_ = false;
};

}  // namespace

int RunReplace(const SearchOptions& options, const ReplaceOptions& replace) {
    if (options.ignoreLogs)
        throw BadInput{L"--ignore-logs: only a search reads a hive without its logs; a replace applies a dirty hive's "
                       L"logs before it writes"};
    const bool toRegFile = !options.regFile.empty();
    if (toRegFile && options.output.empty())
        throw BadInput{L"--output: a replace in a .reg file writes its changed values to a new .reg file; name it"};
    return Replacing(options, replace).Run();
}

}  // namespace keyscour::cli
