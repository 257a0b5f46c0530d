#include "cli/session.h"

#include <algorithm>

#include "base/file_util.h"
#include "base/utf8.h"
#include "cli/output_checks.h"
#include "cli/interrupt.h"
#include "search/regex.h"

namespace keyscour::cli {

std::unique_ptr<Sink> OpenOutputFile(const std::string& utf8Path) {
    try {
        return FileSink(utf8Path);
    } catch (const FileError& error) {
        throw BadInput{L"--output: " + error.Message()};
    }
}

Session::Session(const SearchOptions& options, const std::string& recordsPath, bool writable,
                 const std::vector<std::string>& otherOutputs) {
    errors = StandardSink(Stream::kError);
    const std::wstring root = options.root.empty() ? L"ALL" : options.root;
    const sources::Reading reading{&InterruptFlag(), [this](const std::wstring& line) { errors->Text(line + L"\n"); }};
    if (!options.view.empty() && (!options.windows.empty() || !options.hives.empty() || !options.regFile.empty()))
        throw BadInput{L"--view: the live registry's alone; a hive or a .reg file holds its WOW6432Node keys as stored"};
    if (!options.windows.empty()) {
        if (!options.regFile.empty()) throw BadInput{L"--reg-file cannot be given with --windows"};
        source = sources::InstallationSource({options.windows, options.users, options.root, options.key, options.hives},
                                             writable, options.waitSeconds, options.ignoreLogs, reading);
    } else if (!options.hives.empty()) {
        if (!options.root.empty()) throw BadInput{L"--root cannot be given with --hive: a hive's mount is its root"};
        if (!options.regFile.empty()) throw BadInput{L"--reg-file cannot be given with --hive"};
        source = HiveSource(options.hives, options.key, writable, options.waitSeconds, options.ignoreLogs);
    } else if (!options.regFile.empty()) {
        source = RegFileSource(options.regFile, root, options.key, reading, options.encoding, options.strict);
    } else {
        source = LiveRegistry(root, options.key, options.view);
    }
    try {
        rule = std::make_shared<TextRule>(options.rule, &InterruptFlag());
    } catch (const RegexError& error) {
        throw BadInput{L"--regex: not a regular expression: " + options.rule.text + L" (" + error.message + L")"};
    }
    std::vector<std::string> outputs = otherOutputs;
    outputs.push_back(recordsPath);
    std::vector<std::string> inputs = source->inputFiles;
    if (!options.pairsFile.empty()) inputs.push_back(options.pairsFile);
    RefuseOutputsOverInputs(outputs, inputs);
    out = recordsPath.empty() ? StandardSink(Stream::kOut) : OpenOutputFile(recordsPath);
    format = options.format.value_or(out->IsTerminal() ? Format::kTable : Format::kJsonl);
    if ((options.since || options.until) && !source->KeepsKeyTimes())
        throw BadInput{std::wstring(options.since ? L"--since" : L"--until") +
                       L": a .reg file keeps no last-write times of its keys"};
    since_ = options.since;
    until_ = options.until;
    if (!options.excludeKeys.empty() || !options.excludeNames.empty()) {
        auto exclusions = std::make_shared<search::Exclusions>();
        try {
            for (const auto& key : options.excludeKeys) exclusions->AddKey(key);
        } catch (const search::Exclusions::BadPattern& bad) {
            throw BadInput{L"--exclude: not a key path: \"" + bad.pattern + L"\""};
        }
        for (const auto& name : options.excludeNames) exclusions->AddValueName(name);
        exclusions_ = std::move(exclusions);
    }
    output::TableColumns columns;
    columns.user = std::any_of(source->walks.begin(), source->walks.end(),
                               [](const search::Walk& walk) { return !walk.user.empty(); });
    columns.written = source->KeepsKeyTimes();
    output = MakeOutput(format, *out, *errors, options.quiet, columns);
    progress = std::make_unique<Progress>(*errors, !options.quiet);
    for (const auto& warning : source->Warnings()) {
        // JSON Lines carries warnings as records; people read them here too.
        if (format == Format::kJsonl) Say(L"warning: " + warning);
        output->Warning(warning);
    }
}

search::Walker Session::NewWalker() {
    search::Walker walker(source->walks, rule, InterruptFlag());
    if (since_ || until_) walker.KeepWrittenBetween(since_.value_or(0), until_.value_or(~std::uint64_t{0}));
    if (exclusions_) walker.Exclude(exclusions_);
    walker.OnEachKey([this](std::wstring_view fullKey, const search::Totals& totals) {
        progress->Key(fullKey, totals.keys, totals.hits);
    });
    return walker;
}

bool Session::Walk(search::Walker& walker, const search::Walker::OnHit& onHit) {
    const bool started = walker.Run([&onHit](const search::Record& record, const SearchHit& hit, const search::Walk& walk) {
        onHit(record, hit, walk);
        TestSeam("hit");
    });
    progress->Clear();
    return started;
}

void Session::Say(const std::wstring& message) {
    progress->Clear();
    errors->Text(message + L"\n");
}

bool Session::FinishOutputs(const std::vector<Sink*>& more) {
    bool whole = true;
    std::vector<Sink*> sinks{out.get()};
    sinks.insert(sinks.end(), more.begin(), more.end());
    for (Sink* sink : sinks) {
        if (!sink || sink->Finish()) continue;
        whole = false;
        Say(L"keyscour-cli: " + sink->Failure());
    }
    return whole;
}

}  // namespace keyscour::cli
