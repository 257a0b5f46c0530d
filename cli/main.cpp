// keyscour-cli: the command line's options, parsed with CLI11 and handed to
// one command. The wide command line on Windows arrives as UTF-8, since
// CLI11 reads narrow arguments only.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <set>

#include "base/file_time.h"
#include "base/numbered_error.h"
#include "base/utf8.h"
#include "base/version.h"
#include "cli/commands.h"
#include "search/pairs.h"
#include "cli/exit_codes.h"
#include "cli/interrupt.h"
#include "output/sink.h"
#include "sources/source.h"
#include "registry/value_forms.h"
#include "registry/hive/hive_error.h"

namespace keyscour::cli {

namespace {

struct Arguments {
    std::string text, root, key, format, output, regFile, types, with, undoDir, undoFile, encoding, in, windows, since,
        until, pairs, view;
    std::vector<std::string> hives, users, excludeKeys, excludeNames;
    bool whole = false, names = false, keysOnly = false, regex = false, caseSensitive = false, binaryText = false, quiet = false, ignoreLogs = false, strict = false;
    bool wholeValue = false, dryRun = false, yes = false, acceptUnterminated = false;
    bool typesGiven = false;
    double waitSeconds = 0;
};

void AddSearchOptions(CLI::App& command, Arguments& a) {
    command.add_option("TEXT", a.text, "the text to find (with --regex, an ECMAScript pattern); not with --pairs");
    command.add_option("--pairs", a.pairs,
                       "find (and replace) every OLD of FILE in one pass: UTF-8, one OLD<TAB>NEW per line, # for "
                       "comments; at each place the longest OLD wins");
    command.add_option("--root", a.root, "HKCR, HKCU, HKLM, HKU, HKCC, their long names, or ALL (HKLM, HKU, HKCC)");
    command.add_option("--key", a.key, "the start key below the root; its own values are searched too");
    command.add_flag("--whole", a.whole, "the whole text must match");
    command.add_flag("--names", a.names, "compare value names too");
    command.add_flag("--keys-only", a.keysOnly, "compare key names only");
    command.add_option("--in", a.in,
                       "what to search and (replace) change, comma-separated: data, names (value names), keys "
                       "(key names); default for a replace: data");
    command.add_option("--type", a.types, "only values of these types: REG_SZ,REG_EXPAND_SZ,...")
        ->each([&a](const std::string&) { a.typesGiven = true; });
    command.add_flag("--regex", a.regex, "TEXT is an ECMAScript regular expression, ignoring case");
    command.add_flag("--case-sensitive", a.caseSensitive,
                     "compare TEXT (plain, --whole or --regex) with data and names taking case as it is");
    command.add_option("--format", a.format, "table, csv, jsonl or reg (default: table on a terminal, else jsonl)");
    command.add_option("--output", a.output, "write to this file instead of standard output");
    command.add_option("--reg-file", a.regFile, "search this .reg file instead of the live registry");
    command.add_option("--encoding", a.encoding,
                       "how the .reg file is written: utf-8, utf-16 or a code page (1252, 1250, 437, 932, ...); "
                       "default: by its byte order mark, else UTF-8 where it is valid UTF-8, else ANSI; with "
                       "--binary-text, a code page is the one binary data is read in");
    command.add_flag("--binary-text", a.binaryText,
                     "also search REG_BINARY, REG_NONE and unknown types as UTF-16LE text (both byte alignments) and "
                     "as ANSI text (--encoding's code page, else 1252; the system's on Windows); never replaced");
    command.add_option("--hive", a.hives, "search this offline hive file, FILE[=MOUNT] (Linux build; may be repeated)")
        ->allow_extra_args(false);
    command.add_option("--windows", a.windows,
                       "search an offline Windows whole (Linux build): DIR is the root of its volume, the folder "
                       "with Windows and Users; its hives are mounted where Windows mounts them, every user's too");
    command.add_option("--user", a.users,
                       "with --windows, only the hives of this profile folder (as under Users); may be repeated")
        ->allow_extra_args(false);
    command.add_option("--exclude", a.excludeKeys,
                       "leave out this key and all below it: a path as rows name it, or with its root "
                       "(HKLM\\SOFTWARE\\Skip); * and ? within a name, ** for any number of keys; may be repeated")
        ->allow_extra_args(false);
    command.add_option("--exclude-name", a.excludeNames,
                       "leave out values of this name (* and ?, ignoring case); may be repeated")
        ->allow_extra_args(false);
    command.add_option("--since", a.since,
                       "only hits of keys last written at or after TIME (ISO 8601 UTC: 2026-12-08 is midnight, "
                       "2026-12-08T18:30:05Z)");
    command.add_option("--until", a.until, "only hits of keys last written at or before TIME (as --since)");
    command.add_option("--view", a.view,
                       "32: the live registry as a 32-bit program sees it (WOW6432Node), rows and undo files naming "
                       "the real paths (Windows)");
    command.add_flag("--quiet", a.quiet, "no progress line and no summary line");
    command.add_flag("--strict", a.strict, "refuse a .reg file in which Windows would skip a line (exit 2)");
    command.add_flag("--ignore-logs", a.ignoreLogs,
                     "read a dirty hive as it is on disk, its transaction logs not replayed (search only)");
}

void AddWaitOption(CLI::App& command, Arguments& a) {
    command.add_option("--wait", a.waitSeconds, "wait this many seconds for another run changing the same hive")
        ->check(CLI::NonNegativeNumber);
}

SearchOptions SearchOptionsOf(const Arguments& a, bool textGiven) {
    SearchOptions options;
    if (!a.pairs.empty()) {
        if (textGiven) throw BadInput{L"--pairs: the texts are the file's; give no TEXT"};
        try {
            options.rule.pairs = search::ReadPairs(sources::ReadInputFile(a.pairs), a.caseSensitive);
        } catch (const search::PairsError& error) {
            throw BadInput{L"--pairs: " + FromUtf8(a.pairs) + (error.line ? L":" + std::to_wstring(error.line) : L"") +
                           L": " + error.message};
        }
        options.pairsFile = a.pairs;
    } else if (!textGiven) {
        throw BadInput{L"TEXT: the text to find is needed (or --pairs FILE)"};
    }
    options.rule.text = FromUtf8(a.text);
    options.rule.whole = a.whole;
    options.rule.names = a.names;
    options.rule.keysOnly = a.keysOnly;
    options.rule.regex = a.regex;
    options.rule.caseSensitive = a.caseSensitive;
    options.rule.binaryText = a.binaryText;
    if (!a.in.empty()) {
        if (a.names) throw BadInput{L"--in: takes the place of --names; use --in names (or --in data,names)"};
        if (a.keysOnly) throw BadInput{L"--in: takes the place of --keys-only; use --in keys"};
        options.rule.data = options.rule.names = options.rule.keyNames = false;
        const std::wstring list = FromUtf8(a.in);
        for (std::size_t at = 0; at <= list.size();) {
            const std::size_t comma = std::min(list.find(L',', at), list.size());
            const std::wstring part = list.substr(at, comma - at);
            if (part == L"data")
                options.rule.data = true;
            else if (part == L"names")
                options.rule.names = true;
            else if (part == L"keys")
                options.rule.keyNames = true;
            else
                throw BadInput{L"--in: not data, names or keys: " + part};
            at = comma + 1;
        }
    }
    if (a.typesGiven && a.types.empty()) throw BadInput{L"--type: no value type given"};
    if (!a.types.empty()) {
        std::set<std::uint32_t> types;
        const std::wstring list = FromUtf8(a.types);
        for (std::size_t at = 0; at <= list.size();) {
            const std::size_t comma = std::min(list.find(L',', at), list.size());
            const std::wstring name = list.substr(at, comma - at);
            const auto type = ParseTypeName(name);
            if (!type) throw BadInput{L"--type: not a value type: " + name};
            types.insert(*type);
            at = comma + 1;
        }
        options.rule.types = std::move(types);
    }
    options.root = FromUtf8(a.root);
    options.key = FromUtf8(a.key);
    if (!a.format.empty()) {
        options.format = ParseFormat(FromUtf8(a.format));
        if (!options.format) throw BadInput{L"--format: not a format: " + FromUtf8(a.format) + L" (table, csv, jsonl, reg)"};
    }
    options.output = a.output;
    options.regFile = a.regFile;
    if (!a.encoding.empty()) {
        const auto encoding = ParseRegFileEncoding(FromUtf8(a.encoding));
        if (!encoding)
            throw BadInput{L"--encoding: not an encoding: " + FromUtf8(a.encoding) +
                           L" (utf-8, utf-16, or a code page: 1250-1258, 437, 850, 866, 874, 932, 936, 949, 950)"};
        if (a.regFile.empty() && !a.binaryText) throw BadInput{L"--encoding is for --reg-file and --binary-text"};
        if (!a.regFile.empty()) options.encoding = *encoding;
        if (encoding->kind == RegFileEncoding::Kind::kCodePage) options.rule.ansiCodePage = encoding->codePage;
    }
    options.waitSeconds = a.waitSeconds;
    options.hives = a.hives;
    options.windows = a.windows;
    for (const auto& user : a.users) options.users.push_back(FromUtf8(user));
    if (!a.users.empty() && a.windows.empty()) throw BadInput{L"--user is for --windows"};
    const auto time = [](const char* option, const std::string& text) -> std::optional<std::uint64_t> {
        if (text.empty()) return std::nullopt;
        const auto parsed = ParseIsoTime(FromUtf8(text));
        if (!parsed)
            throw BadInput{FromUtf8(option) + L": not an ISO 8601 date or time: " + FromUtf8(text) +
                           L" (2026-12-08, 2026-12-08T18:30, 2026-12-08T18:30:05Z, 2026-12-08T19:30:05+01:00)"};
        return parsed;
    };
    for (const auto& key : a.excludeKeys) options.excludeKeys.push_back(FromUtf8(key));
    for (const auto& name : a.excludeNames) options.excludeNames.push_back(FromUtf8(name));
    options.since = time("--since", a.since);
    options.until = time("--until", a.until);
    if (options.since && options.until && *options.since > *options.until)
        throw BadInput{L"--since is later than --until: no key could be written in between"};
    if (!a.view.empty() && a.view != "32") throw BadInput{L"--view: 32 is the one view to give (the 64-bit one is the default)"};
    options.view = FromUtf8(a.view);
    options.quiet = a.quiet;
    options.ignoreLogs = a.ignoreLogs;
    options.strict = a.strict;
    if (a.ignoreLogs && a.hives.empty() && a.windows.empty()) throw BadInput{L"--ignore-logs is for --hive and --windows"};
    return options;
}

int Fail(int code, const std::wstring& message) {
    StandardSink(Stream::kError)->Text(L"keyscour-cli: " + message + L"\n");
    return code;
}

}  // namespace

int Main(int argc, char** argv) {
    CLI::App app{"keyscour-cli: search and replace in the Windows registry or in .reg files", "keyscour-cli"};
    app.set_version_flag("--version", std::string("keyscour-cli ") + KEYSCOUR_VERSION);
    app.require_subcommand(1, 1);
    Arguments a;
    CLI::App* search = app.add_subcommand("search", "list every key and value that matches TEXT");
    AddSearchOptions(*search, a);
    CLI::App* replace = app.add_subcommand("replace", "replace TEXT inside the data of every matching value");
    AddSearchOptions(*replace, a);
    replace->add_option("--with", a.with, "the new text (with --regex, in ECMAScript format: $1, $&); not with --pairs");
    replace->add_flag("--whole-value", a.wholeValue, "write the new text as the whole value, as REG_SZ");
    replace->add_flag("--dry-run", a.dryRun, "print what would change and write nothing");
    replace->add_flag("--yes", a.yes, "do not ask before writing");
    replace->add_option("--undo-dir", a.undoDir, "the folder for the undo file");
    AddWaitOption(*replace, a);
    CLI::App* undo = app.add_subcommand("undo", "apply an undo file: to offline hives (Linux build) or the live registry (Windows)");
    std::vector<std::string> undoHives;
    undo->add_option("--hive", undoHives, "a hive, FILE[=MOUNT]; may be repeated; none: the live registry (Windows)")
        ->allow_extra_args(false);
    undo->add_option("--windows", a.windows,
                     "apply it to the offline Windows whose volume root is DIR, each key to its hive (Linux build)");
    undo->add_option("UNDO", a.undoFile, "the undo file (.reg) of a replace")->required();
    undo->add_flag("--accept-unterminated", a.acceptUnterminated,
                   "apply an undo file without its closing line (one written before it had one)");
    AddWaitOption(*undo, a);
    undo->add_flag("--strict", a.strict, "refuse an undo file in which Windows would skip a line (exit 2)");
    undo->add_flag("--ignore-logs", a.ignoreLogs, "refused: a dirty hive's logs are replayed before it is written");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == 0) return app.exit(error);  // --help, --version
        return Fail(exit_code::kUsage, FromUtf8(error.what()));
    }

    CatchInterrupts();
    try {
        if (undo->parsed()) {
            UndoOptions undoing;
            undoing.hives = undoHives;
            undoing.windows = a.windows;
            undoing.undoFile = a.undoFile;
            undoing.acceptUnterminated = a.acceptUnterminated;
            undoing.waitSeconds = a.waitSeconds;
            undoing.ignoreLogs = a.ignoreLogs;
            undoing.strict = a.strict;
            return RunUndo(undoing);
        }
        CLI::App* command = search->parsed() ? search : replace;
        const SearchOptions options = SearchOptionsOf(a, command->count("TEXT") > 0);
        if (search->parsed()) return RunSearch(options);
        if (!a.pairs.empty() && replace->count("--with") > 0)
            throw BadInput{L"--with: the new texts are the --pairs file's"};
        if (a.pairs.empty() && replace->count("--with") == 0) throw BadInput{L"--with: the new text is needed"};
        // An empty TEXT is in every text: a replace of it would rewrite all.
        if (a.pairs.empty() && a.text.empty() && !a.whole)
            throw BadInput{L"TEXT: empty; a replace needs a text to find (with --whole, an empty TEXT means empty values)"};
        ReplaceOptions replacing;
        replacing.with = FromUtf8(a.with);
        replacing.wholeValue = a.wholeValue;
        if (!a.in.empty()) {
            replacing.changeData = options.rule.data;
            replacing.renameValues = options.rule.names;
            replacing.renameKeys = options.rule.keyNames;
            if (replacing.renameKeys && !options.view.empty())
                throw BadInput{L"--in keys: key names are not renamed through --view 32; rename them at their "
                               L"WOW6432Node paths instead"};
            if (a.wholeValue && (replacing.renameValues || replacing.renameKeys))
                throw BadInput{L"--whole-value: writes data as a whole; it renames nothing (--in data)"};
        }
        replacing.dryRun = a.dryRun;
        replacing.yes = a.yes;
        replacing.undoDir = a.undoDir;
        return RunReplace(options, replacing);
    } catch (const BadInput& bad) {
        return Fail(exit_code::kUsage, bad.message);
    } catch (const InterruptedBeforeChange& load) {
        return Fail(exit_code::kInterrupted, L"interrupted while working on " + FromUtf8(load.path) + L"; nothing was changed");
    } catch (const NumberedError& error) {
        return Fail(exit_code::kWriteFailed, error.Description());
    } catch (const HiveError& error) {
        return Fail(exit_code::kWriteFailed, error.message);
    } catch (const std::bad_alloc&) {
        return Fail(exit_code::kWriteFailed, L"out of memory");
    }
}

}  // namespace keyscour::cli

#ifdef _WIN32
int wmain(int argc, wchar_t** wide) {
    std::vector<std::string> utf8;
    for (int i = 0; i < argc; ++i) utf8.push_back(keyscour::ToUtf8(wide[i]));
    std::vector<char*> argv;
    for (auto& arg : utf8) argv.push_back(arg.data());
    argv.push_back(nullptr);
    return keyscour::cli::Main(argc, argv.data());
}
#else
int main(int argc, char** argv) { return keyscour::cli::Main(argc, argv); }
#endif
