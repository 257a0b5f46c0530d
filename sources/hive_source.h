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
    // The same for mounts found otherwise (an installation's); option
    // names them in messages.
    UndoHives(std::vector<HiveMount> mounts, double waitSeconds, bool ignoreLogs, const std::wstring& option);
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

// The hives of the installation at folder, and moreHives (FILE[=MOUNT]
// each), in which the undo file names keys, for UndoHives. What was left
// out of the installation goes to reading. BadInput for a hibernated
// Windows, a key in no hive, and a hive the file needs that is not there.
std::vector<HiveMount> InstallationHivesFor(const std::string& folder, const std::vector<std::string>& moreHives,
                                            const std::string& undoFile, const Reading& reading);

}  // namespace keyscour::sources
