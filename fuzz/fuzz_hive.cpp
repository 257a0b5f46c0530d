// Arbitrary bytes opened as a hive (hivex opens only files, so they go to
// a temporary file first) and walked with the engine to its end.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "cli/text_rule.h"
#include "engine/keyscour.h"
#include "registry/blank_hive.h"
#include "registry/hive_logs.h"
#include "registry/hive_registry.h"

namespace {

using namespace keyscour;

class Quiet final : public cKeyscourEvents {
public:
    void SearchFound(const std::wstring&, const std::wstring&, const std::wstring&, std::int32_t) override {}
    void SearchFinished(std::int32_t) override {}
    void SearchKeyChanged(const std::wstring&) override {}
};

std::string TemporaryFile() {
    return "/tmp/keyscour-fuzz-hive-" + std::to_string(getpid());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    static const std::string path = TemporaryFile();
    if (!WriteFileBytes(path, std::vector<std::uint8_t>(bytes, bytes + size))) return 0;
    CheckTransactionLogs(path);
    try {
        HiveRegistry hive(path, false);
        auto engine = cKeyscour::Create(hive);
        Quiet quiet;
        engine->Advise(&quiet);
        cli::RuleOptions options;
        options.text = L"a";
        options.names = true;
        engine->Rule(std::make_shared<cli::TextRule>(options));
        engine->RootKey(HiveRegistry::kRoot);
        engine->SubKey(L"");
        engine->DoSearch();
    } catch (const HiveError&) {
    }
    return 0;
}
