#include "cli/session.h"

#include <cerrno>
#include <cstring>

#include "base/utf8.h"

namespace keyscour::cli {

Session::Session(const SearchOptions& options, const std::string& recordsPath, bool writable) {
    errors = StandardSink(Stream::kError);
    if (recordsPath.empty()) {
        out = StandardSink(Stream::kOut);
    } else {
        out = FileSink(recordsPath);
        if (!out) throw BadInput{L"--output: " + FromUtf8(recordsPath) + L": " + FromUtf8(std::strerror(errno))};
    }
    format = options.format.value_or(out->IsTerminal() ? Format::kTable : Format::kJsonl);
    const std::wstring root = options.root.empty() ? L"ALL" : options.root;
    if (!options.hives.empty()) {
        if (!options.root.empty()) throw BadInput{L"--root cannot be given with --hive: a hive's mount is its root"};
        if (!options.regFile.empty()) throw BadInput{L"--reg-file cannot be given with --hive"};
        source = HiveSource(options.hives, options.key, writable);
    } else if (!options.regFile.empty()) {
        source = RegFileSource(options.regFile, root, options.key);
    } else {
        source = LiveRegistry(root, options.key);
    }
    try {
        rule = std::make_shared<TextRule>(options.rule);
    } catch (const std::regex_error& error) {
        throw BadInput{L"--regex: not a regular expression: " + options.rule.text + L" (" + FromUtf8(error.what()) + L")"};
    }
    output = MakeOutput(format, *out, *errors, options.quiet);
    progress = std::make_unique<Progress>(*errors, !options.quiet);
    for (const auto& warning : source->Warnings()) output->Warning(warning);
}

void Session::Say(const std::wstring& message) {
    progress->Clear();
    errors->Text(message + L"\n");
}

}  // namespace keyscour::cli
