#include <chrono>
#include <cwctype>
#include <map>

#include "base/numbered_error.h"
#include "base/utf8.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/session.h"
#include "registry/value_forms.h"
#include "cli/value_replace.h"
#include "cli/walker.h"
#include "registry/reg_script.h"
#include "registry/string_writer.h"
#include "registry/undo_file.h"
#include "registry/undo_snapshot.h"

namespace keyscour::cli {

namespace {

// A value the replace will write, kept from the walk: the undo file must be
// whole on the disk before the first write, and the question names the count.
struct Pending {
    const Walk* walk;
    std::wstring path;    // the key's path in the walk's registry
    std::wstring rowKey;  // the key as rows name it
    std::wstring name;
    std::uint32_t type, newType;
    std::vector<std::uint8_t> data, newData;
    int matched;

    Record AsRecord() const {
        Record record;
        record.root = walk->rootName;
        record.key = rowKey;
        record.name = name;
        record.type = type;
        record.data = data;
        record.matched = matched;
        return record;
    }
    std::wstring Place() const { return walk->rootName + (rowKey.empty() ? L"" : L"\\" + rowKey) + L"\\" + name; }
};

bool Confirmed(Session& session, std::size_t count) {
    session.progress->Clear();
    session.errors->Text(L"Replace " + std::to_wstring(count) + L" values? [y/N] ");
    std::wstring answer = ReadInputLine();
    for (auto& c : answer) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    return answer == L"y" || answer == L"yes";
}

std::wstring UndoFolder(const ReplaceOptions& replace) {
    return replace.undoDir.empty() ? undo_file::DefaultFolder() : FromUtf8(replace.undoDir);
}

// One snapshot per registry written, each naming its roots as its walks do.
class Undo {
public:
    explicit Undo(const std::vector<Walk>& walks) : walks_(walks) {}
    UndoSnapshot& For(Registry& registry) {
        auto& snapshot = snapshots_[&registry];
        if (!snapshot)
            snapshot = std::make_unique<UndoSnapshot>(registry, [this, &registry](KeyHandle root) {
                for (const Walk& walk : walks_)
                    if (walk.registry == &registry && walk.root == root) return walk.FullRootName();
                return std::wstring();
            });
        return *snapshot;
    }
    std::wstring Script() const {
        RegScriptWriter script;
        for (const auto& [registry, snapshot] : snapshots_) snapshot->AppendTo(script);
        return script.Finish();
    }

private:
    const std::vector<Walk>& walks_;
    std::map<Registry*, std::unique_ptr<UndoSnapshot>> snapshots_;
};

}  // namespace

int RunReplace(const SearchOptions& options, const ReplaceOptions& replace) {
    const auto start = std::chrono::steady_clock::now();
    const bool toRegFile = !options.regFile.empty();
    if (toRegFile && options.output.empty())
        throw BadInput{L"--output: a replace in a .reg file writes its changed values to a new .reg file; name it"};
    // Over a .reg file, the records go to standard output and the changed
    // values to the new file; the input is never written.
    Session session(options, toRegFile ? std::string() : options.output, !replace.dryRun);
    std::unique_ptr<Sink> newFile;
    std::unique_ptr<Output> newValues;
    if (toRegFile) {
        newFile = FileSink(options.output);
        if (!newFile) throw BadInput{L"--output: " + FromUtf8(options.output) + L" cannot be written"};
        newValues = MakeOutput(Format::kReg, *newFile, *session.errors, true);
    }

    std::vector<Pending> pending;
    std::uint64_t skipped = 0;
    Walker walker(*session.source, session.rule, *session.progress);
    const bool started = walker.Run([&](const Record& record, const SearchHit& hit, const Walk& walk) {
        if (record.isKey) return;  // keys are never renamed
        Pending change{&walk,       hit.sKey.substr(0, hit.keyPathLength),
                       std::wstring(record.key), std::wstring(record.name), record.type, record.type,
                       {record.data.begin(), record.data.end()}, {}, record.matched};
        if (replace.wholeValue) {
            change.newType = value_type::kString;
            change.newData = StringData(replace.with);
        } else {
            ValueChange value = ReplaceInValue(*session.rule, replace.with, record.type, record.data);
            if (!value.changed) {
                ++skipped;
                session.output->Skip(record, value.reason);
                return;
            }
            change.newData = std::move(value.data);
        }
        pending.push_back(std::move(change));
    });
    if (!started && !walker.totals.interrupted)
        throw BadInput{L"--key: " + options.key + L" was not found under any root searched"};

    Totals totals = walker.totals;
    totals.skipped = skipped + session.rule->Skipped();
    auto finish = [&](int code) {
        totals.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        session.output->Summary(totals);
        if (newValues) newValues->Summary(totals);
        session.out->Flush();
        return code;
    };
    if (totals.interrupted) return finish(exit_code::kInterrupted);
    const auto damage = session.source->Damage();
    if (!damage.empty()) {
        // A damaged hive is not written: what the walk could not read, the
        // replace could not account for.
        for (const auto& line : damage) session.Say(L"damaged: " + line);
        session.Say(L"keyscour-cli: nothing was replaced, since parts of the hive cannot be read");
        return finish(exit_code::kDamaged);
    }

    const bool dry = replace.dryRun || toRegFile;
    if (dry) {
        for (const auto& change : pending) {
            session.output->Change(change.AsRecord(), change.newType, change.newData);
            if (newValues) newValues->Change(change.AsRecord(), change.newType, change.newData);
        }
        totals.changed = pending.size();
        return finish(pending.empty() ? exit_code::kNothing : exit_code::kFound);
    }
    if (pending.empty()) return finish(exit_code::kNothing);

    if (!replace.yes) {
        if (!InputIsTerminal() || !session.errors->IsTerminal())
            throw BadInput{L"--yes: not on a terminal, a replace needs --yes (or try --dry-run first)"};
        if (!Confirmed(session, pending.size())) {
            session.Say(L"Nothing was replaced.");
            return finish(exit_code::kNothing);
        }
    }

    session.source->PrepareWrites();
    Undo undo(session.source->walks);
    try {
        for (const auto& change : pending) {
            UndoSnapshot& snapshot = undo.For(*change.walk->registry);
            if (replace.wholeValue)
                snapshot.Capture(change.walk->root, change.path + L"\\" + change.name, change.path.size());
            else
                snapshot.CaptureValue(change.walk->root, change.path, change.name);
        }
    } catch (const NumberedError& error) {
        // A hive says why a key cannot be read or written as it goes.
        for (const auto& line : session.source->Damage()) session.Say(L"damaged: " + line);
        throw BadInput{L"nothing was replaced: " + error.Description()};
    }
    std::wstring undoPath;
    try {
        undoPath = undo_file::Write(UndoFolder(replace), undo.Script());
    } catch (const NumberedError& error) {
        session.Say(L"keyscour-cli: " + error.Description());
        return finish(exit_code::kWriteFailed);
    }
    session.Say(L"undo file: " + undoPath);

    for (const auto& change : pending) {
        Registry& registry = *change.walk->registry;
        try {
            if (replace.wholeValue)
                MRegistry::WriteStringValue(registry, static_cast<std::int32_t>(change.walk->root),
                                            change.path + L"\\" + change.name, change.path.size(), replace.with);
            else
                MRegistry::WriteValue(registry, change.walk->root, change.path, change.name, change.newType,
                                      change.newData);
        } catch (const NumberedError& error) {
            session.Say(L"keyscour-cli: stopped at " + change.Place() + L" after " + std::to_wstring(totals.changed) +
                        L" of " + std::to_wstring(pending.size()) + L" writes: " + error.Description() +
                        L". What was written stays; the undo file " + undoPath + L" covers it.");
            session.source->FinishWrites();
            return finish(exit_code::kWriteFailed);
        }
        ++totals.changed;
        session.output->Change(change.AsRecord(), change.newType, change.newData);
    }
    session.source->FinishWrites();
    return finish(exit_code::kFound);
}

}  // namespace keyscour::cli
