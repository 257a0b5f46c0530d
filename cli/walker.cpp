#include "cli/walker.h"

#include "cli/interrupt.h"
#include "engine/internal_error.h"

namespace keyscour::cli {

namespace {

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
        if (Interrupted() || stopped_) break;
        Registry& registry = *walk.registry;
        if (!Exists(registry, walk.root, walk.start)) continue;
        anyStart = true;
        walk_ = &walk;
        ++totals.keys;  // the start key itself
        cKeyscour* running = nullptr;
        auto engine = cKeyscour::Create(registry, [this, &running] {
            if ((Interrupted() || stopped_) && running) running->StopSearch();
        });
        running = engine.get();
        engine->Advise(this);
        engine->Rule(rule_);
        engine->RootKey(walk.root);
        engine->SubKey(walk.start);
        engine->DoSearch();
        engine->Unadvise();
        totals.unreadable += engine->UnreadableKeys() + engine->UnreadableValues();
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
    rowKey_ = walk_->RowKey(hit.keyPath);
    record.key = rowKey_;
    record.isKey = hit.lFound == FoundKeyName;
    if (!record.isKey) record.name = hit.valueName;
    record.type = hit.type;
    record.data = hit.data;
    record.matched = hit.matched;
    record.tombstone = hit.tombstone;
    (*onHit_)(record, hit, *walk_);
    TestSeam("hit");
}

}  // namespace keyscour::cli
