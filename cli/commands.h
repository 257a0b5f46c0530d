#pragma once
// The commands of keyscour-cli. main parses the command line into these
// and calls one; each returns the process's exit code.

#include <optional>
#include <string>

#include "cli/output.h"
#include "cli/text_rule.h"

namespace keyscour::cli {

struct SearchOptions {
    RuleOptions rule;
    std::wstring root = L"ALL";
    std::wstring key;
    std::optional<Format> format;  // none: table on a terminal, else JSON Lines
    std::string output;            // UTF-8 path; empty for standard output
    std::string regFile;
    bool quiet = false;
};

struct ReplaceOptions {
    std::wstring with;
    bool wholeValue = false;
    bool dryRun = false;
    bool yes = false;
    std::string undoDir;  // UTF-8; empty for the default folder
};

int RunSearch(const SearchOptions& options);
int RunReplace(const SearchOptions& options, const ReplaceOptions& replace);

}  // namespace keyscour::cli
