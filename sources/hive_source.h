#pragma once
// The offline hives an undo applies its file to, for the undo command:
// opened, locked and made ready to commit, as one registry in which every
// key goes to the hive mounted deepest at or above it. The rest of the
// hive source is its own file's.

#include <memory>
#include <string>
#include <vector>

#include "sources/source.h"
#include "registry/script/reg_script_apply.h"

namespace keyscour::sources {

class UndoHives {
public:
    // hives: FILE[=MOUNT] each, locked waiting up to waitSeconds. Throws
    // BadInput for hives that cannot be opened, locked or committed, and
    // for ignoreLogs, which only a search takes.
    UndoHives(const std::vector<std::string>& hives, double waitSeconds, bool ignoreLogs);
    ~UndoHives();
    UndoHives(const UndoHives&) = delete;
    UndoHives& operator=(const UndoHives&) = delete;

    Source& AsSource();
    Registry& Mounted();
    KeyPlacer Placer() const;
    std::wstring Mounts() const;  // "HKEY_LOCAL_MACHINE\\SOFTWARE, ...", for messages
    // What killed runs left beside the hives and this one settled, to be said.
    const std::vector<std::wstring>& Settled() const;

private:
    struct Opened;
    std::unique_ptr<Opened> opened_;
};

}  // namespace keyscour::sources
