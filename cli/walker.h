#pragma once
// A rule's walks over a source, through the engine: each hit handed on as
// a record the moment it is found, the keys walked and the keys that could
// not be read counted, Ctrl+C turned into the engine's stop.

#include <functional>
#include <memory>

#include "cli/output.h"
#include "cli/progress.h"
#include "cli/source.h"
#include "cli/text_rule.h"
#include "engine/keyscour.h"

namespace keyscour::cli {

class Walker final : private cKeyscourEvents {
public:
    // The record, the hit as the engine raised it (its key path is the
    // walk's registry's), and the walk it came from.
    using OnHit = std::function<void(const Record&, const SearchHit&, const Walk&)>;
    Walker(Source& source, std::shared_ptr<TextRule> rule, Progress& progress);

    // False when the start key is missing under every root walked.
    bool Run(const OnHit& onHit);
    // Ends the walk at its next key, as Ctrl+C does (an output that failed).
    void Stop() { stopped_ = true; }
    Totals totals;

private:
    void SearchFound(const std::wstring&, const std::wstring&, const std::wstring&, std::int32_t) override {}
    void SearchFinished(std::int32_t reason) override { reason_ = reason; }
    void SearchKeyChanged(const std::wstring& sFullKeyName) override;
    void SearchHitFound(const SearchHit& hit) override;

    Source& source_;
    std::shared_ptr<TextRule> rule_;
    Progress& progress_;
    const OnHit* onHit_ = nullptr;
    const Walk* walk_ = nullptr;
    std::int32_t reason_ = 0;
    bool stopped_ = false;
    std::wstring rowKey_;
};

}  // namespace keyscour::cli
