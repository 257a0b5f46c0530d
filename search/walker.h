#pragma once
// A rule's walks, through the engine: each hit handed on as a record the
// moment it is found, the keys walked and the keys that could not be read
// counted, and the stop flag (which the command line's signal handler
// sets) turned into the engine's stop at its next key.

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <string_view>
#include <vector>

#include "engine/keyscour.h"
#include "search/exclusions.h"
#include "search/hit_record.h"
#include "search/text_rule.h"
#include "search/walk.h"

namespace keyscour::search {

class Walker final : private cKeyscourEvents {
public:
    // The record, the hit as the engine raised it (its key path is the
    // walk's registry's), and the walk it came from.
    using OnHit = std::function<void(const Record&, const SearchHit&, const Walk&)>;
    // Each key as the walk enters it, with the counts so far.
    using OnKey = std::function<void(std::wstring_view fullKey, const Totals& totals)>;

    Walker(const std::vector<Walk>& walks, std::shared_ptr<TextRule> rule, const std::atomic<bool>& stop);
    void OnEachKey(OnKey onKey) { onKey_ = std::move(onKey); }
    // False when the start key is missing under every root walked.
    bool Run(const OnHit& onHit);
    // Ends the walk at its next key, as the stop flag does (an output that failed).
    void Stop() { stopped_ = true; }
    // Keeps only hits whose key was written from since to until (FILETIMEs,
    // both included, compared to the second); a key with no time never is.
    void KeepWrittenBetween(std::uint64_t since, std::uint64_t until) { written_ = {since, until}; }
    // Leaves out the keys and values these exclude: not entered, not read,
    // not counted.
    void Exclude(std::shared_ptr<const Exclusions> exclusions) { exclusions_ = std::move(exclusions); }

    Totals totals;

private:
    void SearchFound(const std::wstring&, const std::wstring&, const std::wstring&, std::int32_t) override {}
    void SearchFinished(std::int32_t reason) override { reason_ = reason; }
    void SearchKeyChanged(const std::wstring& sFullKeyName) override;
    void SearchHitFound(const SearchHit& hit) override;
    bool Stopping() const { return stop_.load(std::memory_order_relaxed) || stopped_; }
    // The last-write time of a key of the walk, and in a redirected view
    // the path it is kept at, read once per key with hits.
    void ReadKey(std::wstring_view keyPath);

    const std::vector<Walk>& walks_;
    std::shared_ptr<TextRule> rule_;
    const std::atomic<bool>& stop_;
    OnKey onKey_;
    const OnHit* onHit_ = nullptr;
    const Walk* walk_ = nullptr;
    std::int32_t reason_ = 0;
    bool stopped_ = false;
    std::wstring rowKey_;
    std::optional<std::pair<std::uint64_t, std::uint64_t>> written_;
    std::shared_ptr<const Exclusions> exclusions_;
    const Walk* timeWalk_ = nullptr;
    std::wstring timeKey_;
    std::uint64_t time_ = 0;
    std::wstring storedKey_, viewKey_;
};

}  // namespace keyscour::search
