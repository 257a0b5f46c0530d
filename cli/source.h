#pragma once
// What a command searches: the live registry (Windows), or a .reg file read
// into memory; and the walks it makes there, each a root and a start key.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "registry/registry.h"

namespace keyscour::cli {

struct Walk {
    KeyHandle root;
    std::wstring start;     // below the root
    std::wstring rootName;  // how rows name the root: "HKEY_LOCAL_MACHINE"
};

class Source {
public:
    virtual ~Source() = default;
    virtual Registry& Keys() = 0;
    // Whether replacing writes into this source (the live registry), or
    // only describes the changes (a .reg file, which is never written).
    virtual bool Writable() const = 0;
    std::vector<Walk> walks;
};

// Raised for input the command cannot use: exit 2 with this message.
struct BadInput {
    std::wstring message;
};

// ROOT is HKCR, HKCU, HKLM, HKU, HKCC, their long names, or ALL. ALL is
// HKLM, HKU and HKCC in the live registry, whose HKCR and HKCU are views of
// those, and every root in a .reg file.
std::unique_ptr<Source> LiveRegistry(const std::wstring& root, const std::wstring& key);
std::unique_ptr<Source> RegFileSource(const std::string& utf8Path, const std::wstring& root, const std::wstring& key);

// The whole of a file, or BadInput naming it.
std::vector<std::uint8_t> ReadWholeFile(const std::string& utf8Path);

}  // namespace keyscour::cli
