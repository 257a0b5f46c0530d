#include "search/walker.h"

#include <algorithm>

#include "engine/internal_error.h"
#include "registry/root_keys.h"

namespace keyscour::search {

// Records carry the engine's own flags.
static_assert(kMatchedName == keyscour::kMatchedName && kMatchedData == keyscour::kMatchedData);

namespace {

bool Exists(Registry& registry, KeyHandle root, const std::wstring& path) {
    KeyHandle key = 0;
    const Status status = registry.OpenKey(root, path, key);
    if (status == status::kSuccess) AdoptKey(registry, key).reset();
    return status != status::kNotFound;
}

// The rule a walk runs under with exclusions: what they leave out is
// neither entered nor compared; the rest goes to the rule.
class ExcludingRule final : public MatchRule {
public:
    ExcludingRule(std::shared_ptr<TextRule> rule, const Exclusions& exclusions, const Walk& walk)
        : rule_(std::move(rule)), exclusions_(exclusions), walk_(walk),
          root_(RootKeyHandle(walk.rootName).value_or(0)),
          prefixDepth_(walk.keyPrefix.empty() ? 0 : 1 + std::count(walk.keyPrefix.begin(), walk.keyPrefix.end(), L'\\')) {}
    bool EntersKey(std::wstring_view path) override {
        const std::size_t depth = prefixDepth_ + 1 + static_cast<std::size_t>(std::count(path.begin(), path.end(), L'\\'));
        return !exclusions_.MayExcludeAt(depth) || !exclusions_.ExcludesKey(root_, walk_.RowKey(path));
    }
    bool KeyNameMatches(std::wstring_view name) override { return rule_->KeyNameMatches(name); }
    bool ScansValues() const override { return rule_->ScansValues(); }
    bool ComparesValueNames() const override { return rule_->ComparesValueNames() || exclusions_.NamesValues(); }
    int ValueMatches(std::wstring_view name, std::uint32_t type, std::span<const std::uint8_t> data) override {
        return exclusions_.ExcludesValue(name) ? 0 : rule_->ValueMatches(name, type, data);
    }

private:
    std::shared_ptr<TextRule> rule_;
    const Exclusions& exclusions_;
    const Walk& walk_;
    KeyHandle root_;
    std::size_t prefixDepth_;
};

}  // namespace

Walker::Walker(const std::vector<Walk>& walks, std::shared_ptr<TextRule> rule, const std::atomic<bool>& stop)
    : walks_(walks), rule_(std::move(rule)), stop_(stop) {}

bool Walker::Run(const OnHit& onHit) {
    onHit_ = &onHit;
    bool anyStart = false;
    for (const Walk& walk : walks_) {
        if (Stopping()) break;
        Registry& registry = *walk.registry;
        if (!Exists(registry, walk.root, walk.start)) continue;
        anyStart = true;
        if (exclusions_ && exclusions_->ExcludesKey(RootKeyHandle(walk.rootName).value_or(0), walk.RowKey(walk.start)))
            continue;
        walk_ = &walk;
        ++totals.keys;  // the start key itself
        cKeyscour* running = nullptr;
        auto engine = cKeyscour::Create(registry, [this, &running] {
            if (Stopping() && running) running->StopSearch();
        });
        running = engine.get();
        engine->Advise(this);
        if (exclusions_)
            engine->Rule(std::make_shared<ExcludingRule>(rule_, *exclusions_, walk));
        else
            engine->Rule(rule_);
        engine->RootKey(walk.root);
        engine->SubKey(walk.start);
        engine->DoSearch();
        engine->Unadvise();
        totals.unreadable += engine->UnreadableKeys() + engine->UnreadableValues();
        if (reason_ != ReasonCompleted && reason_ != ReasonStopped)
            throw NumberedError(reason_, L"the search ended with an internal error");
    }
    totals.interrupted = stop_.load(std::memory_order_relaxed);
    return anyStart;
}

void Walker::SearchKeyChanged(const std::wstring& sFullKeyName) {
    ++totals.keys;
    if (onKey_) onKey_(sFullKeyName, totals);
}

void Walker::ReadKey(std::wstring_view keyPath) {
    if (timeWalk_ == walk_ && timeKey_ == keyPath) return;
    timeWalk_ = walk_;
    timeKey_.assign(keyPath);
    time_ = 0;
    KeyHandle key = 0;
    if (walk_->registry->OpenKey(walk_->root, timeKey_, key) == status::kSuccess) {
        if (walk_->registry->QueryKeyTime(key, time_) != status::kSuccess) time_ = 0;
        walk_->registry->CloseKey(key);
    }
    if (!walk_->view.empty()) {
        viewKey_ = walk_->RowKey(keyPath);
        storedKey_ = walk_->RowKey(walk_->registry->StoredPath(walk_->root, timeKey_));
    }
}

void Walker::SearchHitFound(const SearchHit& hit) {
    ReadKey(hit.keyPath);
    const std::uint64_t written = time_;
    if (written_) {
        constexpr std::uint64_t kSecond = 10'000'000;
        const std::uint64_t second = written / kSecond;
        if (written == 0 || second < written_->first / kSecond || second > written_->second / kSecond) return;
    }
    ++totals.hits;
    Record record;
    record.written = written;
    record.root = walk_->rootName;
    record.user = walk_->user;
    record.old = rule_->MatchedOld();
    if (walk_->view.empty()) {
        rowKey_ = walk_->RowKey(hit.keyPath);
        record.key = rowKey_;
    } else {
        record.key = storedKey_;
        record.view = walk_->view;
        record.viewKey = viewKey_;
    }
    record.isKey = hit.lFound == FoundKeyName;
    if (!record.isKey) record.name = hit.valueName;
    record.type = hit.type;
    record.data = hit.data;
    record.matched = hit.matched;
    record.tombstone = hit.tombstone;
    (*onHit_)(record, hit, *walk_);
}

}  // namespace keyscour::search
