#include "cli/commands.h"
#include "sources/source.h"

namespace keyscour::cli {

// On Windows an undo file is imported with reg import; this command is for
// hives, which the Linux build reads.
int RunUndo(const UndoOptions&) {
    throw BadInput{L"undo: applies an undo file to an offline hive, in the Linux build; on Windows use reg import"};
}

}  // namespace keyscour::cli
