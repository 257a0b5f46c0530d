#include "cli/walker.h"

#include "cli/interrupt.h"
#include "engine/internal_error.h"
#include "registry/delegating_registry.h"

namespace keyscour::cli {

namespace {

// Keys the walk meets but cannot open. The engine opens a key once for its
// values and once for its sub keys, so a repeat of the last path is one key.
// Only the opens are watched, and nothing is kept of the others.
class UnreadableCount final : public DelegatingRegistry {
public:
    using DelegatingRegistry::DelegatingRegistry;
    Status OpenKey(KeyHandle root, const std::wstring& path, KeyHandle& key) override {
        const Status status = Inner().OpenKey(root, path, key);
        if (status != status::kSuccess && status != status::kNotFound && path != last_) {
            last_ = path;
            ++count;
        }
        return status;
    }
    std::uint64_t count = 0;

private:
    std::wstring last_;
};

bool Exists(Registry& registry, KeyHandle root, const std::wstring& path) {
    KeyHandle key = 0;
    const Status status = registry.OpenKey(root, path, key);
    if (status == status::kSuccess) AdoptKey(registry, key).reset();
    return status != status::kNotFound;
}

}  // namespace

Walker::Walker(Source& source, std::shared_ptr<TextRule> rule, Progress& progress)
    : source_(source), rule_(std::move(rule)), progress_(progress) {}

bool Walker::Run(const OnHit& onHit) {
    onHit_ = &onHit;
    bool anyStart = false;
    for (const Walk& walk : source_.walks) {
        if (Interrupted()) break;
        UnreadableCount counting(*walk.registry);
        if (!Exists(counting, walk.root, walk.start)) continue;
        anyStart = true;
        walk_ = &walk;
        ++totals.keys;  // the start key itself
        cKeyscour* running = nullptr;
        auto engine = cKeyscour::Create(counting, [&running] {
            if (Interrupted() && running) running->StopSearch();
        });
        running = engine.get();
        engine->Advise(this);
        engine->Rule(rule_);
        engine->RootKey(walk.root);
        engine->SubKey(walk.start);
        engine->DoSearch();
        engine->Unadvise();
        totals.unreadable += counting.count;
        if (reason_ != ReasonCompleted && reason_ != ReasonStopped)
            throw NumberedError(reason_, L"the search ended with an internal error");
    }
    progress_.Clear();
    totals.interrupted = Interrupted();
    return anyStart;
}

void Walker::SearchKeyChanged(const std::wstring& sFullKeyName) {
    ++totals.keys;
    progress_.Key(sFullKeyName, totals.keys, totals.hits);
}

void Walker::SearchHitFound(const SearchHit& hit) {
    ++totals.hits;
    Record record;
    record.root = walk_->rootName;
    rowKey_ = walk_->RowKey(std::wstring_view(hit.sKey).substr(0, hit.keyPathLength));
    record.key = rowKey_;
    record.isKey = hit.lFound == FoundKeyName;
    if (!record.isKey) record.name = std::wstring_view(hit.sKey).substr(std::min(hit.keyPathLength + 1, hit.sKey.size()));
    record.type = hit.type;
    record.data = hit.data;
    record.matched = hit.matched;
    (*onHit_)(record, hit, *walk_);
}

}  // namespace keyscour::cli
