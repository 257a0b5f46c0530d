#pragma once
// A hive that cannot be opened or committed: the message names the file.

#include <string>

namespace keyscour {

struct HiveError {
    std::wstring message;
    // A commit over several hives failed after some were committed.
    bool partlyCommitted = false;
};

}  // namespace keyscour
