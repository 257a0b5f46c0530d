// Inputs that once made a reader fail, kept so that they never do again:
// each is walked in this process (the sanitized run sees any fault) and
// searched by keyscour-cli, which must end with one of its own exit codes.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "base/utf8.h"
#include "tests/cli/cli_runner.h"
#include "engine/keyscour.h"
#include "tests/support/hive_walk.h"
#include "tests/support/reg_round_trip.h"

namespace keyscour {
namespace {

namespace fs = std::filesystem;

TEST(Regressions, EveryHiveThatOnceFailedIsWalkedToItsEnd) {
    std::size_t files = 0;
    for (const auto& entry : fs::directory_iterator(KEYSCOUR_REGRESSIONS_DIR)) {
        if (entry.path().extension() != ".hiv") continue;
        ++files;
        const std::string path = entry.path().string();
        const fuzz::HiveWalk walk = fuzz::WalkHive(path);  // as the fuzz target walks it
        if (walk.opened) {
            EXPECT_EQ(walk.finished, ReasonCompleted) << path;
            EXPECT_LT(walk.keys, 100000u) << path;
        }
        const auto run = testing::RunCli({L"search", L"--hive", FromUtf8(path) + L"=HKLM\\SOFTWARE", L"a", L"--quiet"});
        EXPECT_GE(run.exitCode, 0) << path;
        EXPECT_LE(run.exitCode, 3) << path << ": " << run.err;
    }
    EXPECT_GE(files, 2u);
}

TEST(Regressions, EveryScriptThatOnceFailedReadsBackTheSame) {
    std::size_t files = 0;
    for (const auto& entry : fs::directory_iterator(KEYSCOUR_SCRIPT_REGRESSIONS_DIR)) {
        ++files;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), {});
        const auto result = fuzz::ReadAndWriteBack(
            {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});  // as the fuzz target reads it
        EXPECT_TRUE(result == fuzz::RoundTrip::kRefused || result == fuzz::RoundTrip::kSame) << entry.path();
    }
    EXPECT_GE(files, 1u);
}

TEST(Regressions, ARegistryScriptDeeperThanWindowsAllowsIsRefused) {
    testing::ScratchFolder folder;
    std::string script = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER";
    for (int i = 0; i < 5000; ++i) script += "\\k";
    script += "]\r\n\"v\"=\"a\"\r\n";
    folder.Write(L"deep.reg", script);
    const auto run = testing::RunCli({L"search", L"--reg-file", folder.Path(L"deep.reg"), L"a"});
    EXPECT_EQ(run.exitCode, 2) << run.err;
}

}  // namespace
}  // namespace keyscour
