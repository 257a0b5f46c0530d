#include "tests/support/hive_walk.h"

#include "search/text_rule.h"
#include "engine/keyscour.h"
#include "registry/hive/hive_logs.h"
#include "registry/hive/hive_registry.h"

namespace keyscour::fuzz {

namespace {

class Counted final : public cKeyscourEvents {
public:
    void SearchFound(const std::wstring&, const std::wstring&, const std::wstring&, std::int32_t) override {}
    void SearchFinished(std::int32_t reason) override { walk.finished = reason; }
    void SearchKeyChanged(const std::wstring&) override { ++walk.keys; }
    HiveWalk walk;
};

}  // namespace

HiveWalk WalkHive(const std::string& path) {
    CheckTransactionLogs(path);
    Counted events;
    try {
        HiveRegistry hive(path, false);
        events.walk.opened = true;
        auto engine = cKeyscour::Create(hive);
        engine->Advise(&events);
        search::RuleOptions options;
        options.text = L"a";
        options.names = true;
        engine->Rule(std::make_shared<search::TextRule>(options));
        engine->RootKey(HiveRegistry::kRoot);
        engine->SubKey(L"");
        engine->DoSearch();
    } catch (const HiveError&) {
    }
    return events.walk;
}

}  // namespace keyscour::fuzz
