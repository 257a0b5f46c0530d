#pragma once
// What both commands set up the same way: the sinks, the output format,
// the source, the rule and the progress line.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "output/output.h"
#include "output/progress.h"
#include "output/sink.h"
#include "sources/source.h"
#include "search/text_rule.h"
#include "search/walker.h"

namespace keyscour::cli {

using output::Progress;

struct Session {
    // Throws BadInput for options the source or rule cannot take, and for
    // an output that is one of the inputs. The source is read before any
    // output is opened. recordsPath: where records go; empty for standard
    // output. writable: the source is opened for writing (hives).
    // otherOutputs: further files the command writes, checked alike.
    Session(const SearchOptions& options, const std::string& recordsPath, bool writable = false,
            const std::vector<std::string>& otherOutputs = {});

    std::unique_ptr<Sink> errors;
    std::unique_ptr<Sink> out;
    Format format;
    std::unique_ptr<Output> output;
    std::unique_ptr<Source> source;
    std::shared_ptr<TextRule> rule;
    std::unique_ptr<Progress> progress;

    // A walk over the source with the rule, Ctrl+C and the progress line.
    search::Walker NewWalker();
    // Runs it, each hit to onHit; the progress line cleared at its end.
    // False when the start key is missing under every root walked.
    bool Walk(search::Walker& walker, const search::Walker::OnHit& onHit);
    // One line for people on standard error, after the progress line is cleared.
    void Say(const std::wstring& message);
    // Finishes out and then each of more (a file is put in place). False,
    // each failure said in one line, when any could not be written.
    bool FinishOutputs(const std::vector<Sink*>& more = {});

private:
    std::optional<std::uint64_t> since_, until_;
    std::shared_ptr<const search::Exclusions> exclusions_;
};

// Opens an output file; BadInput when it cannot be made.
std::unique_ptr<Sink> OpenOutputFile(const std::string& utf8Path);

}  // namespace keyscour::cli
