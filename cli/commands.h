#pragma once
// The commands of keyscour-cli. main parses the command line into these
// and calls one; each returns the process's exit code.

#include <optional>
#include <string>
#include <vector>

#include "cli/output.h"
#include "cli/text_rule.h"

namespace keyscour::cli {

struct SearchOptions {
    RuleOptions rule;
    std::wstring root;  // empty: ALL
    std::wstring key;
    std::optional<Format> format;  // none: table on a terminal, else JSON Lines
    std::string output;            // UTF-8 path; empty for standard output
    std::string regFile;
    std::vector<std::string> hives;  // FILE[=MOUNT], UTF-8
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
// Applies an undo file to a hive, as reg import would on its machine.
int RunUndo(const std::string& hive, const std::string& undoFile);

}  // namespace keyscour::cli
