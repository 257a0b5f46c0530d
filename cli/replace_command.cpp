#include <chrono>
#include <cwctype>

#include "base/numbered_error.h"
#include "base/utf8.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/session.h"
#include "cli/value_forms.h"
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
    KeyHandle root;
    std::wstring rootName, keyPath, name;
    std::uint32_t type, newType;
    std::vector<std::uint8_t> data, newData;
    int matched;

    Record AsRecord() const {
        Record record;
        record.root = rootName;
        record.key = keyPath;
        record.name = name;
        record.type = type;
        record.data = data;
        record.matched = matched;
        return record;
    }
    std::wstring Place() const { return rootName + (keyPath.empty() ? L"" : L"\\" + keyPath) + L"\\" + name; }
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

}  // namespace

int RunReplace(const SearchOptions& options, const ReplaceOptions& replace) {
    const auto start = std::chrono::steady_clock::now();
    const bool toRegFile = !options.regFile.empty();
    if (toRegFile && options.output.empty())
        throw BadInput{L"--output: a replace in a .reg file writes its changed values to a new .reg file; name it"};
    // Over a .reg file, the records go to standard output and the changed
    // values to the new file; the input is never written.
    Session session(options, toRegFile ? std::string() : options.output);
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
    const bool started = walker.Run([&](const Record& record, const SearchHit& hit) {
        if (record.isKey) return;  // keys are never renamed
        Pending change{hit.root, std::wstring(record.root), std::wstring(record.key), std::wstring(record.name),
                       record.type, record.type, {record.data.begin(), record.data.end()}, {}, record.matched};
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

    Registry& registry = session.source->Keys();
    UndoSnapshot undo(registry);
    try {
        for (const auto& change : pending) {
            if (replace.wholeValue)
                undo.Capture(change.root, change.keyPath + L"\\" + change.name, change.keyPath.size());
            else
                undo.CaptureValue(change.root, change.keyPath, change.name);
        }
    } catch (const NumberedError& error) {
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
        try {
            if (replace.wholeValue)
                MRegistry::WriteStringValue(registry, static_cast<std::int32_t>(change.root),
                                            change.keyPath + L"\\" + change.name, change.keyPath.size(), replace.with);
            else
                MRegistry::WriteValue(registry, change.root, change.keyPath, change.name, change.newType, change.newData);
        } catch (const NumberedError& error) {
            session.Say(L"keyscour-cli: stopped at " + change.Place() + L" after " + std::to_wstring(totals.changed) +
                        L" of " + std::to_wstring(pending.size()) + L" writes: " + error.Description() +
                        L". What was written stays; the undo file " + undoPath + L" covers it.");
            return finish(exit_code::kWriteFailed);
        }
        ++totals.changed;
        session.output->Change(change.AsRecord(), change.newType, change.newData);
    }
    return finish(exit_code::kFound);
}

}  // namespace keyscour::cli
