// keyscour-cli undo on Windows: an undo file applied to the live registry,
// with the same reader, the same refusal of a file that may be cut short
// and the same order as for hives: renames back first, then the script.

#include "base/utf8.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/interrupt.h"
#include "output/sink.h"
#include "registry/root_keys.h"
#include "registry/win32_registry.h"
#include "sources/source.h"

namespace keyscour::cli {

int RunUndo(const UndoOptions& options) {
    if (!options.hives.empty())
        throw BadInput{L"undo: --hive: offline hives are written by the Linux build (keyscour-cli on Debian)"};
    if (!options.windows.empty())
        throw BadInput{L"undo: --windows: an offline installation is written by the Linux build (keyscour-cli on Debian)"};
    if (options.ignoreLogs) throw BadInput{L"--ignore-logs is for --hive"};
    const auto errors = output::StandardSink(output::Stream::kError);
    const sources::Reading reading{&InterruptFlag(), [&errors](const std::wstring& line) { errors->Text(line + L"\n"); }};
    Win32Registry registry;
    sources::LoadRegScript(options.undoFile, {}, registry, [](const std::wstring& fullKey) { return SplitFullKeyName(fullKey); },
                           L"", reading,
                           options.acceptUnterminated ? sources::ClosingLine::kOptional : sources::ClosingLine::kRequired,
                           options.strict, true);
    return exit_code::kFound;
}

}  // namespace keyscour::cli
