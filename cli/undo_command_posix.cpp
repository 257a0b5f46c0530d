// keyscour-cli undo: an undo file applied to offline hives, with the same
// reader as --reg-file, and committed as a replace commits.

#include "base/file_util.h"
#include "base/utf8.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/interrupt.h"
#include "output/sink.h"
#include "registry/hive/hive_error.h"
#include "registry/hive/hive_lock.h"
#include "sources/hive_source.h"

namespace keyscour::cli {

using sources::ClosingLine;
using sources::InterruptedBeforeChange;
using sources::Source;
using sources::UndoHives;

int RunUndo(const UndoOptions& options) {
    if (options.hives.empty() && options.windows.empty())
        throw BadInput{L"undo: --hive or --windows: name the hives the undo file is applied to (the live registry is "
                       L"Windows')"};
    const auto errors = output::StandardSink(output::Stream::kError);
    const sources::Reading reading{&InterruptFlag(), [&errors](const std::wstring& line) { errors->Text(line + L"\n"); }};
    UndoHives hives = options.windows.empty()
                          ? UndoHives(options.hives, options.waitSeconds, options.ignoreLogs)
                          : UndoHives(sources::InstallationHivesFor(options.windows, options.hives, options.undoFile, reading),
                                      options.waitSeconds, options.ignoreLogs, L"--windows");
    Source& source = hives.AsSource();
    // The files of a dirty hive as they were, beside the undo file applied,
    // until the commit; removed when nothing is committed.
    struct Originals {
        Source& source;
        bool keep = false;
        ~Originals() {
            if (!keep) source.DropOriginals();
        }
    } originals{source};
    for (const auto& line : hives.Settled()) errors->Text(L"keyscour-cli: " + line + L"\n");
    for (const auto& path : source.KeepOriginals(FromUtf8(FolderOf(ResolvedHivePath(options.undoFile)))))
        errors->Text(L"originals: " + path + L"\n");
    sources::LoadRegScript(options.undoFile, {}, hives.Mounted(), hives.Placer(),
                           L" (the hives are mounted at " + hives.Mounts() + L"); nothing was changed", reading,
                           options.acceptUnterminated ? ClosingLine::kOptional : ClosingLine::kRequired, options.strict,
                           true);
    // Ctrl+C is heard until the first rename.
    try {
        if (!source.FinishWrites([] { return Interrupted(); })) throw InterruptedBeforeChange{options.undoFile};
    } catch (const HiveError& error) {
        originals.keep = error.partlyCommitted;
        throw;
    }
    originals.keep = true;
    return exit_code::kFound;
}

}  // namespace keyscour::cli
