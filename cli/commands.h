#pragma once
// The commands of keyscour-cli. main parses the command line into these
// and calls one; each returns the process's exit code.

#include <optional>
#include <string>
#include <vector>

#include "output/output.h"
#include "search/text_rule.h"
#include "registry/script/reg_script.h"
#include "sources/source.h"

namespace keyscour::cli {

// The libraries the commands wire together, by the names the commands use.
using output::FileSink;
using output::ParseFormat;
using output::Format;
using output::MakeOutput;
using output::Output;
using output::Sink;
using output::StandardSink;
using output::Stream;
using search::Record;
using search::RegexError;
using search::RuleOptions;
using search::TextRule;
using search::Totals;
using search::Walk;
using sources::BadInput;
using sources::HiveSource;
using sources::InterruptedBeforeChange;
using sources::LiveRegistry;
using sources::RegFileSource;
using sources::Source;

struct SearchOptions {
    RuleOptions rule;
    std::wstring root;  // empty: ALL
    std::wstring key;
    std::optional<Format> format;  // none: table on a terminal, else JSON Lines
    std::string output;            // UTF-8 path; empty for standard output
    std::string regFile;
    std::string pairsFile;  // UTF-8; its pairs are the rule's
    std::wstring view;      // "32": the live registry as a 32-bit program sees it
    RegFileEncoding encoding;
    std::vector<std::string> hives;  // FILE[=MOUNT], UTF-8
    std::string windows;             // an offline installation's volume root, UTF-8
    std::vector<std::wstring> users;  // profile folders of it
    // Keys (with all below them) and value names left out, as patterns.
    std::vector<std::wstring> excludeKeys, excludeNames;
    // Only hits of keys written in this range (FILETIMEs, both included).
    std::optional<std::uint64_t> since, until;
    bool quiet = false;
    double waitSeconds = 0;  // for the hives' lock (replace)
    bool ignoreLogs = false;  // hives as they are on disk (search only)
    bool strict = false;      // a .reg file's skipped line refuses it
};

struct ReplaceOptions {
    std::wstring with;
    // What --in names: data is changed, value names and key names renamed.
    bool changeData = true;
    bool renameValues = false;
    bool renameKeys = false;
    bool wholeValue = false;
    bool dryRun = false;
    bool yes = false;
    std::string undoDir;  // UTF-8; empty for the default folder
};

struct UndoOptions {
    std::vector<std::string> hives;  // FILE[=MOUNT], UTF-8; none: the live registry (Windows)
    std::string windows;             // an offline installation's volume root, whose hives the file names
    std::string undoFile;
    bool acceptUnterminated = false;
    double waitSeconds = 0;
    bool ignoreLogs = false;  // refused: an undo replays a dirty hive's logs
    bool strict = false;
};

int RunSearch(const SearchOptions& options);
int RunReplace(const SearchOptions& options, const ReplaceOptions& replace);
// Applies an undo file to hives, each key to the hive mounted there, as
// reg import would on their machine.
int RunUndo(const UndoOptions& options);

}  // namespace keyscour::cli
