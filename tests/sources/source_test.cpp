// A .reg file as a source: its walks, what it says through the reading
// (each skipped line) and the stop flag heard before anything is read.

#include <gtest/gtest.h>

#include <atomic>

#include "base/utf8.h"
#include "registry/root_keys.h"
#include "sources/source.h"
#include "tests/cli/cli_runner.h"

namespace keyscour::sources {
namespace {

TEST(RegFileSource, SkippedLinesAreSaidThroughTheReadingAndCounted) {
    testing::ScratchFolder folder;
    folder.Write(L"in.reg", "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\App]\r\n\"v\"=\"x\"\r\n"
                            "not a line Windows takes\r\n\"w\"=dword:1\r\n");
    std::atomic<bool> stop{false};
    std::vector<std::wstring> said;
    const Reading reading{&stop, [&](const std::wstring& line) { said.push_back(line); }};
    const auto source = RegFileSource(ToUtf8(folder.Path(L"in.reg")), L"HKCU", L"App", reading);
    EXPECT_EQ(source->skippedLines, 1u);
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(said[0].rfind(L"skipped: ", 0), 0u) << ToUtf8(said[0]);
    EXPECT_NE(said[0].find(L"in.reg:5"), std::wstring::npos) << ToUtf8(said[0]);
    ASSERT_EQ(source->walks.size(), 1u);
    EXPECT_EQ(source->walks[0].root, kCurrentUser);
    EXPECT_EQ(source->walks[0].start, L"App");
    EXPECT_EQ(source->inputFiles, std::vector<std::string>{ToUtf8(folder.Path(L"in.reg"))});
}

TEST(RegFileSource, TheStopFlagSetEndsTheReadingWithNothingTaken) {
    testing::ScratchFolder folder;
    folder.Write(L"in.reg", "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\App]\r\n\"v\"=\"x\"\r\n");
    std::atomic<bool> stop{true};
    EXPECT_THROW(RegFileSource(ToUtf8(folder.Path(L"in.reg")), L"ALL", L"", Reading{&stop, {}}), InterruptedBeforeChange);
}

TEST(RegFileSource, AMissingFileOrABadRootIsBadInput) {
    testing::ScratchFolder folder;
    folder.Write(L"in.reg", "Windows Registry Editor Version 5.00\r\n");
    EXPECT_THROW(RegFileSource(ToUtf8(folder.Path(L"missing.reg")), L"ALL", L"", Reading{}), BadInput);
    EXPECT_THROW(RegFileSource(ToUtf8(folder.Path(L"in.reg")), L"HKXX", L"", Reading{}), BadInput);
}

}  // namespace
}  // namespace keyscour::sources
