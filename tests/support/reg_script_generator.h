#pragma once
// Registry scripts made from the rules Windows reads them by, for the test
// that imports each with reg.exe and reads it with Keyscour, and for the
// fuzz target's seeds: every value form with its neighbours (comments of
// both kinds in every place, continuations, blank lines, white space,
// escapes, type numbers, key paths), in UTF-16 and in ANSI.

#include <cstdint>
#include <string>
#include <vector>

namespace keyscour::testing {

struct GeneratedScript {
    std::wstring name;                // a file name
    std::vector<std::uint8_t> bytes;  // the file as written
    std::wstring text;                // its lines, as decoded
    // Whether the file holds a case that can take up the next line (a
    // continuation), which then has the file to itself.
    bool alone = false;
};

// files scripts whose keys all lie below HKEY_CURRENT_USER\base\F<n>, the
// same for the same seed.
std::vector<GeneratedScript> GenerateRegScripts(std::uint32_t seed, std::size_t files, const std::wstring& base);

}  // namespace keyscour::testing
