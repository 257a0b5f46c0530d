#pragma once
// A hive that cannot be opened or committed: the message names the file.

#include <string>

namespace keyscour {

struct HiveError {
    std::wstring message;
};

}  // namespace keyscour
