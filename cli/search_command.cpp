#include <chrono>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/session.h"
#include "search/walker.h"

namespace keyscour::cli {

int RunSearch(const SearchOptions& options) {
    const auto start = std::chrono::steady_clock::now();
    Session session(options, options.output);
    search::Walker walker = session.NewWalker();
    const bool started = session.Walk(walker, [&](const search::Record& record, const SearchHit&, const search::Walk&) {
        session.output->Hit(record);
        // Nothing more can reach a full disk or a closed pipe.
        if (!session.out->Failure().empty()) walker.Stop();
    });
    if (!started && !walker.totals.interrupted)
        throw BadInput{L"--key: " + options.key + L" was not found under any root searched"};

    search::Totals totals = walker.totals;
    totals.skipped = session.rule->Skipped();
    const auto damage = session.source->Damage();
    for (const auto& line : damage) session.Say(L"damaged: " + line);
    totals.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (const std::wstring warning = session.rule->SkippedWarning(); !warning.empty()) session.Say(warning);
    totals.leftOut = session.output->LeftOut();
    totals.skippedLines = session.source->skippedLines;
    session.output->Summary(totals);
    if (!session.FinishOutputs()) return exit_code::kWriteFailed;
    if (totals.interrupted) return exit_code::kInterrupted;
    if (!damage.empty() || totals.leftOut > 0) return exit_code::kDamaged;
    return totals.hits ? exit_code::kFound : exit_code::kNothing;
}

}  // namespace keyscour::cli
