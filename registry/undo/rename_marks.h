#pragma once
// The comment lines of an undo file that say what its replace renamed.
// reg import skips them and applies the script, which removes each new
// name and writes back what the old one held; keyscour-cli undo reads them
// and renames back instead, which keeps what a script cannot carry (a
// key's security, class name and last-write time, a value's place), and
// then leaves out each renamed key's own sections. The closing line's
// hash covers them as it covers every line.

#include <string>
#include <string_view>
#include <vector>

#include "registry/registry.h"
#include "registry/script/reg_script_apply.h"

namespace keyscour {

struct RenameMark {
    bool key = false;  // a key renamed; else a value
    // The full name of the renamed key's parent, or of the renamed value's
    // key, as it was named when the rename was made.
    std::wstring where;
    std::wstring newName, oldName;
};

// The mark's line, without its line end. A renamed key's line opens the
// block of its own sections, which kRenamedKeyEnd closes.
std::wstring RenameMarkLine(const RenameMark& mark);
inline constexpr std::wstring_view kRenamedKeyEnd = L";keyscour-cli renamed key end";

struct MarkedScript {
    std::vector<RenameMark> renames;  // in the order made
    std::wstring rest;  // the script with each renamed key's block blanked, its lines kept as empty lines
};
// Throws RegScriptError at a mark line that does not read, or a block left open.
MarkedScript ReadRenameMarks(std::wstring_view script);

// Renames back, the last rename first, each key found through place. All
// are checked before any is made: the new name still there, the old one
// free. Throws RegScriptError (line 0) naming the first that cannot be,
// with nothing renamed; a rename the registry refuses midway throws too,
// after those made.
void RenameBack(const std::vector<RenameMark>& renames, Registry& registry, const KeyPlacer& place);

}  // namespace keyscour
