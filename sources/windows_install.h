#pragma once
// An offline Windows installation's hives, found as Windows mounts them:
// the machine's from Windows\System32\config, and each profile's that
// SOFTWARE's ProfileList names. The volume is mounted on Linux, where names
// keep their case and Windows' own lookups do not, so every component is
// matched ignoring case.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sources/source.h"

namespace keyscour::sources {

struct Installation {
    std::string folder;  // the volume's root, as given
    // Where Windows mounts each, in the order regedit lists them: HKLM's,
    // then HKU's by name, a user's classes after the user. A hive Windows
    // mounts that is not there is listed too, at the file it would be.
    std::vector<HiveMount> hives;
    // Profiles and folders left out, and why: one line each for people.
    std::vector<std::wstring> leftOut;
    // Why changing this registry would be lost: Windows is hibernated and
    // resumes with the registry it holds in memory. Empty when it is not.
    std::wstring hibernated;
};

// Throws BadInput when folder holds no Windows\System32\config.
Installation FindInstallation(const std::string& folder);

// The entry of folder called name, ignoring case, the exact name first;
// none when there is none.
std::optional<std::string> EntryIgnoringCase(const std::string& folder, std::wstring_view name);

// The control set SYSTEM\Select\Current names ("ControlSet001"), read from
// the hive at systemFile with its logs replayed; none when it names none.
std::optional<std::wstring> CurrentControlSet(const std::string& systemFile);

}  // namespace keyscour::sources
