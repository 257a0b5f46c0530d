#include <chrono>
#include <filesystem>
#include <cwctype>
#include <map>
#include <optional>

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
#include "registry/subtree.h"
#include "base/unicode_case.h"
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
    bool changesData = true;
    std::optional<std::wstring> newName;  // none: the name stays

    Record AsRecord() const {
        Record record;
        record.root = walk->rootName;
        record.user = walk->user;
        record.view = walk->view;
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
        record.U32(change.changesData ? 1 : 0);
        record.U32(change.newName ? 1 : 0);
        record.Text(change.newName.value_or(L""));
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
        change_.changesData = record.U32() != 0;
        const bool renamed = record.U32() != 0;
        change_.newName = record.Text();
        if (!renamed) change_.newName.reset();
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

std::wstring LastName(const std::wstring& path) {
    const std::size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring ParentOf(const std::wstring& path) {
    const std::size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// A key a replace renames: after every value, the deepest first, so that
// every path used is still the one found.
struct KeyRename {
    const Walk* walk;
    std::wstring keyPath;  // in the walk's registry, as found
    std::wstring rowKey;   // as rows name it
    std::wstring newName;
    std::wstring finalPath;  // keyPath once every rename of this replace is made
    std::size_t depth = 0;      // keyPath's backslashes, kept for the sort
    bool underRenamed = false;  // a key above it is renamed too

    std::wstring NewRowKey() const {
        const std::wstring parent = ParentOf(rowKey);
        return parent.empty() ? newName : parent + L"\\" + newName;
    }
    Record AsRecord() const {
        Record record;
        record.root = walk->rootName;
        record.user = walk->user;
        record.view = walk->view;
        record.key = rowKey;
        record.isKey = true;
        return record;
    }
    std::wstring Place() const { return walk->rootName + L"\\" + rowKey; }
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
        PlanRenames();
        if (replace_.dryRun || toRegFile_) return Dry();
        if (Targets() == 0) return Finish(exit_code::kNothing);
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
            // A tombstone written or kept for undo would bring back the
            // value it hides.
            if (record.tombstone) return;
            if (record.isKey) {
                if (replace_.renameKeys) NoteKeyRename(record, hit, walk);
                return;
            }
            Pending change{&walk,
                           {walk.root, std::wstring(hit.keyPath), std::wstring(hit.valueName)},
                           std::wstring(record.key),
                           record.type,
                           record.type,
                           {record.data.begin(), record.data.end()},
                           {},
                           record.matched,
                           false,
                           std::nullopt};
            const bool renaming = replace_.renameValues && (record.matched & search::kMatchedName);
            const bool dataHit = replace_.changeData && (!renaming || (record.matched & search::kMatchedData));
            std::wstring reason;
            if (renaming) {
                const auto renamed = session_.rule->Replace(change.where.valueName, replace_.with);
                if (!renamed)
                    reason = L"the regex gave up on its name: too long for the pattern, or too costly to match";
                else if (*renamed != change.where.valueName)
                    change.newName = *renamed;
            }
            // Text inside binary data is listed, never written: binary data
            // holds more than text, and its lengths and offsets with it.
            const bool onlyInBinary = (record.matched & search::kMatchedInBinary) && !(record.matched & search::kMatchedData);
            if (dataHit && onlyInBinary) {
                reason = L"the text is inside its binary data (--binary-text), which a replace never changes";
            } else if (dataHit) {
                if (replace_.wholeValue) {
                    change.newType = value_type::kString;
                    change.newData = StringData(replace_.with);
                    change.changesData = true;
                } else {
                    ValueChange value = ReplaceInValue(*session_.rule, replace_.with, record.type, record.data);
                    change.changesData = value.changed;
                    if (value.changed)
                        change.newData = std::move(value.data);
                    else if (reason.empty())
                        reason = std::move(value.reason);
                }
            }
            if (!change.changesData && !change.newName) {
                ++skipped_;
                session_.output->Skip(record, reason.empty() ? L"its new name is its name" : reason);
                return;
            }
            if (!change.changesData) change.newData = change.data;
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
            if (change.newName) NoteValueRename(change);
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
        // The new .reg file holds a renamed key's whole subtree as it ends
        // up: the changes are made in the file's copy in memory first.
        if (toRegFile_)
            for (std::size_t i = 0; i < Targets(); ++i) Write(i);
        for (std::size_t i = 0; i < Targets(); ++i) Report(i);
        return Finish(Targets() == 0 ? exit_code::kNothing : exit_code::kFound);
    }

    std::size_t Targets() const { return pending_.size() + keyRenames_.size(); }

    void Write(std::size_t i) {
        if (i >= pending_.size()) {
            const KeyRename& key = keyRenames_[i - pending_.size()];
            MRegistry::RenameKey(*key.walk->registry, key.walk->root, key.keyPath, key.newName);
            return;
        }
        // The hit's own key and name, exactly: the same write for the
        // whole value (REG_SZ) as for a replace inside it.
        const Pending& change = pending_[i];
        if (change.changesData)
            MRegistry::WriteValue(*change.walk->registry, change.where, change.newType, change.newData);
        if (change.newName) MRegistry::RenameValue(*change.walk->registry, change.where, *change.newName);
    }

    std::wstring PlaceOf(std::size_t i) {
        return i < pending_.size() ? pending_[i].Place() : keyRenames_[i - pending_.size()].Place();
    }

    // A key hit to be renamed, when its new name differs.
    void NoteKeyRename(const Record& record, const SearchHit& hit, const Walk& walk) {
        KeyRename rename{&walk, std::wstring(hit.keyPath), std::wstring(record.key), {}, {}, 0};
        const auto renamed = session_.rule->Replace(LastName(rename.keyPath), replace_.with);
        if (!renamed || *renamed == LastName(rename.keyPath)) {
            ++skipped_;
            session_.output->Skip(record, !renamed ? L"the regex gave up on its name: too long for the pattern, or too "
                                                     L"costly to match"
                                                   : L"its new name is its name");
            return;
        }
        rename.newName = *renamed;
        rename.depth = static_cast<std::size_t>(std::count(rename.keyPath.begin(), rename.keyPath.end(), L'\\'));
        keyRenames_.push_back(std::move(rename));
    }

    void NoteValueRename(const Pending& change) {
        valueRenames_[{change.walk, UpperCased(change.where.keyPath)}].push_back(
            {change.where.keyPath, change.where.valueName, *change.newName, change.Place()});
    }

    // Every rename checked before anything is written; each refusal said,
    // then the whole replace refused (exit 2). Then the keys put in the
    // order they are renamed, each knowing where it ends up.
    void PlanRenames() {
        std::vector<std::wstring> refusals;
        const auto refuse = [&](const std::wstring& place, const std::wstring& why) {
            refusals.push_back(place + L": " + why);
        };
        for (const auto& [where, renames] : valueRenames_) {
            const Walk& walk = *where.first;
            Registry& registry = *walk.registry;
            const std::wstring& keyPath = renames.front().keyPath;
            if (const std::wstring link = LinkOnPath(walk, keyPath); !link.empty())
                for (const auto& rename : renames) refuse(rename.place, L"its key is reached through the link " + link);
            KeyHandle opened = 0;
            unique_registry_key key;
            if (registry.OpenKey(walk.root, keyPath, opened) == status::kSuccess) key = AdoptKey(registry, opened);
            std::map<std::wstring, std::wstring> newNames;  // upper-cased new name: the value that gets it
            for (const auto& rename : renames) {
                const std::wstring upper = UpperCased(rename.newName);
                std::uint32_t type = 0;
                std::vector<std::uint8_t> data;
                if (rename.newName.empty()) {
                    refuse(rename.place, L"its name would be empty, which names the key's default value");
                } else if (rename.newName.size() > 16383) {
                    refuse(rename.place, L"its new name would be longer than 16383 characters");
                } else if (!RegScriptWriter::Carries(rename.newName)) {
                    refuse(rename.place, L"its new name would hold a line break, which an undo file cannot carry");
                } else if (const auto [other, added] = newNames.emplace(upper, rename.oldName); !added) {
                    refuse(rename.place, L"it and the value \"" + other->second + L"\" would both be named \"" +
                                             rename.newName + L"\"");
                } else if (upper != UpperCased(rename.oldName) && key &&
                           registry.QueryValue(key.get(), rename.newName, type, data) != status::kNotFound) {
                    refuse(rename.place, L"its key already holds a value named \"" + rename.newName + L"\"");
                }
            }
        }
        std::map<std::pair<const Walk*, std::wstring>, std::wstring> siblings;  // parent and new name: the key
        for (const KeyRename& rename : keyRenames_) {
            const Walk& walk = *rename.walk;
            Registry& registry = *walk.registry;
            const std::wstring place = rename.Place();
            const std::wstring parent = ParentOf(rename.keyPath);
            const std::wstring upper = UpperCased(rename.newName);
            if (rename.newName.empty()) {
                refuse(place, L"its new name would be empty");
                continue;
            }
            if (rename.newName.size() > 255) {
                refuse(place, L"its new name would be longer than 255 characters");
                continue;
            }
            if (rename.newName.find(L'\\') != std::wstring::npos) {
                refuse(place, L"its new name \"" + rename.newName + L"\" would hold a backslash");
                continue;
            }
            if (!RegScriptWriter::Carries(rename.newName)) {
                refuse(place, L"its new name would hold a line break, which an undo file cannot carry");
                continue;
            }
            if (const auto [other, added] = siblings.emplace(std::make_pair(&walk, UpperCased(parent) + L"\\" + upper), place);
                !added) {
                refuse(place, L"it and " + other->second + L" would both be named \"" + rename.newName + L"\"");
                continue;
            }
            if (upper != UpperCased(LastName(rename.keyPath))) {
                KeyHandle opened = 0;
                const std::wstring sibling = parent.empty() ? rename.newName : parent + L"\\" + rename.newName;
                if (const Status found = registry.OpenKey(walk.root, sibling, opened); found != status::kNotFound) {
                    if (found == status::kSuccess) AdoptKey(registry, opened).reset();
                    refuse(place, L"its parent already holds a key named \"" + rename.newName + L"\"");
                    continue;
                }
            }
            if (const std::wstring link = LinkOnPath(walk, rename.keyPath); !link.empty()) {
                refuse(place, link == walk.rootName + L"\\" + walk.RowKey(rename.keyPath)
                                  ? L"it is a link"
                                  : L"it is reached through the link " + link);
                continue;
            }
            if (const std::wstring why = SubtreeRefusal(walk, rename.keyPath); !why.empty()) refuse(place, why);
        }
        for (const auto& refusal : refusals) session_.Say(L"keyscour-cli: refused: " + refusal);
        if (!refusals.empty())
            throw BadInput{L"nothing was replaced: " + std::to_wstring(refusals.size()) +
                           (refusals.size() == 1 ? L" rename is" : L" renames are") + L" refused (above)"};

        // Where each key ends up once every rename is made, and the order.
        std::map<std::pair<const Walk*, std::wstring>, const KeyRename*> byPath;
        for (const KeyRename& rename : keyRenames_) byPath[{rename.walk, UpperCased(rename.keyPath)}] = &rename;
        for (KeyRename& rename : keyRenames_) {
            std::wstring oldPrefix, newPrefix;
            for (std::size_t at = 0; at <= rename.keyPath.size();) {
                const std::size_t slash = std::min(rename.keyPath.find(L'\\', at), rename.keyPath.size());
                const std::wstring part = rename.keyPath.substr(at, slash - at);
                oldPrefix += (oldPrefix.empty() ? L"" : L"\\") + part;
                const auto renamed = byPath.find({rename.walk, UpperCased(oldPrefix)});
                newPrefix += (newPrefix.empty() ? L"" : L"\\") + (renamed != byPath.end() ? renamed->second->newName : part);
                if (renamed != byPath.end() && renamed->second != &rename) rename.underRenamed = true;
                at = slash + 1;
            }
            rename.finalPath = newPrefix;
        }
        std::stable_sort(keyRenames_.begin(), keyRenames_.end(),
                         [](const KeyRename& a, const KeyRename& b) { return a.depth > b.depth; });
    }

    // The link met first on the way to path (path itself included), by its
    // full name; empty when there is none. A rename through a link would
    // change the key it leads to, which the walk meets again by its own path.
    std::wstring LinkOnPath(const Walk& walk, const std::wstring& path) {
        for (std::size_t at = 0; at <= path.size();) {
            const std::size_t slash = std::min(path.find(L'\\', at), path.size());
            const std::wstring prefix = path.substr(0, slash);
            const auto key = std::make_pair(&walk, UpperCased(prefix));
            auto known = links_.find(key);
            if (known == links_.end()) {
                Registry::KeyKind kind;
                const bool link = !prefix.empty() && walk.registry->QueryKeyKind(walk.root, prefix, kind) == status::kSuccess &&
                                  kind.link;
                known = links_.emplace(key, link).first;
            }
            if (known->second) return walk.rootName + L"\\" + walk.RowKey(prefix);
            if (slash == path.size()) break;
            at = slash + 1;
        }
        return {};
    }

    // Why a key's subtree cannot go into an undo file whole; empty when it can.
    std::wstring SubtreeRefusal(const Walk& walk, const std::wstring& keyPath) {
        std::wstring why;
        std::wstring current;
        SubtreeVisit visit;
        visit.key = [&](const std::wstring& path) {
            current = path;
            Registry::KeyKind kind;
            if (!why.empty() || walk.registry->QueryKeyKind(walk.root, path, kind) != status::kSuccess) return;
            const std::wstring place = walk.rootName + L"\\" + walk.RowKey(path);
            if (kind.link && path != keyPath) why = L"the key " + place + L" below it is a link";
            else if (kind.isVolatile) why = L"the key " + place + L" below it is volatile";
            else if (!RegScriptWriter::Carries(path)) why = L"a key below it has a name with a line break";
        };
        visit.value = [&](const std::wstring& name, std::uint32_t, std::span<const std::uint8_t>) {
            if (why.empty() && !RegScriptWriter::Carries(name))
                why = L"a value of " + walk.rootName + L"\\" + walk.RowKey(current) + L" has a name with a line break";
        };
        std::wstring failedAt;
        if (const Status status = VisitSubtree(*walk.registry, walk.root, keyPath, visit, failedAt); status != status::kSuccess)
            return L"the key " + walk.rootName + L"\\" + walk.RowKey(failedAt) + L" below it cannot be read (status " +
                   std::to_wstring(status) + L")";
        return why;
    }

    bool Confirmed() {
        if (replace_.yes) return true;
        if (!InputIsTerminal() || !session_.errors->IsTerminal())
            throw BadInput{L"--yes: not on a terminal, a replace needs --yes (or try --dry-run first)"};
        session_.progress->Clear();
        session_.errors->Text(keyRenames_.empty() && valueRenames_.empty()
                                  ? L"Replace " + std::to_wstring(Targets()) + L" values? [y/N] "
                                  : L"Change or rename " + std::to_wstring(Targets()) + L" values and keys? [y/N] ");
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
        steps.count = Targets();
        steps.undoFolder = UndoFolder(replace_);
        steps.rootName = [this](Registry& registry, KeyHandle root) {
            for (const Walk& walk : session_.source->walks)
                if (walk.registry == &registry && walk.root == root) return walk.FullRootName();
            return std::wstring();
        };
        steps.capture = [this](std::size_t i, UndoSnapshots& undo) {
            if (i >= pending_.size()) {
                const KeyRename& key = keyRenames_[i - pending_.size()];
                undo.For(*key.walk->registry).CaptureRenamedKey(key.walk->root, key.keyPath, key.newName, key.finalPath);
                return;
            }
            const Pending& change = pending_[i];
            if (change.newName)
                undo.For(*change.walk->registry).CaptureRenamedValue(change.where, *change.newName);
            else
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
        steps.write = [this](std::size_t i) { Write(i); };
        steps.written = [this](std::size_t i) { Report(i); };
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
                session_.Say(L"keyscour-cli: " + PlaceOf(outcome.failedAt) + L": " + outcome.error +
                             L"; nothing was replaced");
            } else {
                session_.Say(L"keyscour-cli: stopped at " + PlaceOf(outcome.failedAt) + L" after " +
                             std::to_wstring(outcome.written) + L" of " + std::to_wstring(Targets()) +
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
                             L" after " + std::to_wstring(outcome.written) + L" of " + std::to_wstring(Targets()) +
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
            for (std::size_t i = 0; i < Targets(); ++i) Report(i);
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

    void Report(std::size_t i) {
        if (i >= pending_.size()) return ReportKey(keyRenames_[i - pending_.size()]);
        const Pending& change = pending_[i];
        if (change.changesData) {
            ++totals_.changed;
            session_.output->Change(change.AsRecord(), change.newType, change.newData);
            // In the new .reg file a renamed value is written once, under its new name.
            if (newValues_ && !change.newName) newValues_->Change(change.AsRecord(), change.newType, change.newData);
        }
        if (change.newName) {
            ++totals_.renamedValues;
            Record record = change.AsRecord();
            record.type = change.newType;
            record.data = change.newData;
            session_.output->Rename(record, *change.newName);
            if (newValues_) newValues_->Rename(record, *change.newName);
        }
    }

    void ReportKey(const KeyRename& key) {
        ++totals_.renamedKeys;
        const std::wstring to = key.NewRowKey();
        session_.output->Rename(key.AsRecord(), to);
        // A key below one renamed too goes with that one's subtree.
        if (!newValues_ || key.underRenamed) return;
        newValues_->Rename(key.AsRecord(), to);
        const Walk& walk = *key.walk;
        std::wstring rowKey;
        SubtreeVisit visit;
        visit.key = [&](const std::wstring& path) {
            rowKey = walk.RowKey(path);
            Record record;
            record.root = walk.rootName;
            record.key = rowKey;
            record.isKey = true;
            newValues_->Hit(record);
        };
        visit.value = [&](const std::wstring& name, std::uint32_t type, std::span<const std::uint8_t> data) {
            Record record;
            record.root = walk.rootName;
            record.key = rowKey;
            record.name = name;
            record.type = type;
            record.data = data;
            newValues_->Hit(record);
        };
        std::wstring failedAt;
        VisitSubtree(*walk.registry, walk.root, key.finalPath, visit, failedAt);
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
    std::vector<KeyRename> keyRenames_;
    struct ValueRename {
        std::wstring keyPath, oldName, newName, place;
    };
    // By walk and key path upper-cased: what the refusals are checked over.
    std::map<std::pair<const Walk*, std::wstring>, std::vector<ValueRename>> valueRenames_;
    std::map<std::pair<const Walk*, std::wstring>, bool> links_;
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
