#pragma once
// One walk of a search: a registry, a root and a start key, and how rows
// name what is found there. Sources make them; the walker follows them.

#include <string>
#include <string_view>

#include "registry/registry.h"

namespace keyscour::search {

// A walk over registry below root, from start.
struct Walk {
    Registry* registry;
    KeyHandle root;
    std::wstring start;      // below the root
    std::wstring rootName;   // how rows name the root: "HKEY_LOCAL_MACHINE"
    std::wstring keyPrefix;  // what rows put before a key's path: a hive's mount below its root
    std::wstring user;       // whose hive it is: a profile's folder name, or empty
    std::wstring view;       // "32" for the 32-bit program's view, whose rows name real paths; or empty
    // The full name of the walk's root key in an undo file.
    std::wstring FullRootName() const { return keyPrefix.empty() ? rootName : rootName + L"\\" + keyPrefix; }
    // How rows name a key path of the walk's registry.
    std::wstring RowKey(std::wstring_view path) const {
        if (keyPrefix.empty()) return std::wstring(path);
        return path.empty() ? keyPrefix : keyPrefix + L"\\" + std::wstring(path);
    }
};

}  // namespace keyscour::search
