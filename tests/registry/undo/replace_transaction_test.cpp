// The replace sequence both front ends run, with a fault at each of its
// steps: what is written, what the undo file holds, and that it is gone
// whenever nothing was written.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "base/utf16.h"
#include "registry/memory_registry.h"
#include "registry/root_keys.h"
#include "registry/value_forms.h"
#include "registry/string_writer.h"
#include "registry/undo/replace_transaction.h"
#include "registry/undo/undo_file.h"
#include "tests/support/forwarding_registry.h"

namespace keyscour {
namespace {

namespace fs = std::filesystem;
using Ending = ReplaceOutcome::Ending;
using Bytes = std::vector<std::uint8_t>;

class ReplaceTransactionTest : public ::testing::Test {
protected:
    ReplaceTransactionTest()
        : folder(fs::temp_directory_path() / ("keyscour-transaction-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                               "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name())),
          faulty(memory) {
        fs::remove_all(folder);
        for (int i = 0; i < 3; ++i) memory.PutString(kCurrentUser, L"Software\\App", L"v" + std::to_wstring(i), L"old");
    }
    ~ReplaceTransactionTest() override { fs::remove_all(folder); }

    // Three values of one key replaced with "new", in the live way unless
    // a commit is given.
    ReplaceSteps Steps() {
        ReplaceSteps steps;
        steps.count = 3;
        steps.undoFolder = folder.wstring();
        steps.capture = [this](std::size_t i, UndoSnapshots& undo) {
            undo.For(faulty).CaptureValue({kCurrentUser, L"Software\\App", L"v" + std::to_wstring(i)});
        };
        steps.write = [this](std::size_t i) {
            MRegistry::WriteValue(faulty, {kCurrentUser, L"Software\\App", L"v" + std::to_wstring(i)}, 1, StringData(L"new"));
        };
        steps.written = [this](std::size_t i) { reported.push_back(i); };
        return steps;
    }
    std::wstring Value(int i) {
        KeyHandle key = 0;
        memory.OpenKey(kCurrentUser, L"Software\\App", key);
        std::uint32_t type = 0;
        Bytes data;
        memory.QueryValue(key, L"v" + std::to_wstring(i), type, data);
        memory.CloseKey(key);
        return DecodeUtf16Le(data.data(), data.size() - 2);
    }
    std::size_t UndoFiles() const {
        std::size_t count = 0;
        std::error_code ignored;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder, ignored)) ++count;
        return count;
    }
    fs::path folder;
    MemoryRegistry memory;
    FaultyRegistry faulty;
    std::vector<std::size_t> reported;
};

TEST_F(ReplaceTransactionTest, AllWrittenAfterAWholeUndoFileThatPutsEveryValueBack) {
    const ReplaceOutcome outcome = RunReplaceTransaction(Steps());
    ASSERT_EQ(outcome.ending, Ending::kDone) << std::string(outcome.error.begin(), outcome.error.end());
    EXPECT_EQ(outcome.written, 3u);
    EXPECT_EQ(reported, (std::vector<std::size_t>{0, 1, 2}));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Value(i), L"new");
    ASSERT_TRUE(fs::exists(outcome.undoFile));
    std::wstring_view body;
    const std::string bytes = [&] {
        std::ifstream in(fs::path(outcome.undoFile), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }();
    const std::wstring text = DecodeUtf16Le(reinterpret_cast<const std::uint8_t*>(bytes.data()) + 2, bytes.size() - 2);
    EXPECT_EQ(undo_file::CheckEnding(text, body), undo_file::Ending::kWhole);
    EXPECT_NE(body.find(L"\"v2\"=\"old\""), std::wstring::npos);
}

TEST_F(ReplaceTransactionTest, AFaultAtEachStepWritesNothingOrSaysWhatWasAndKeepsNoUselessUndoFile) {
    {
        SCOPED_TRACE("a value that cannot be read for undo");
        faulty.FailNth(RegistryOp::kQueryValue, 2, status::kAccessDenied);
        const ReplaceOutcome outcome = RunReplaceTransaction(Steps());
        EXPECT_EQ(outcome.ending, Ending::kCaptureFailed);
        EXPECT_EQ(outcome.failedAt, 1u);
        EXPECT_EQ(outcome.number, UndoSnapshot::kErrorUnreadable + static_cast<std::int32_t>(status::kAccessDenied));
        EXPECT_EQ(Value(0), L"old");
        EXPECT_EQ(UndoFiles(), 0u);
    }
    {
        SCOPED_TRACE("an undo folder that cannot be made");
        fs::create_directories(folder.parent_path());
        { std::ofstream(folder.string() + ".file") << "x"; }
        ReplaceSteps steps = Steps();
        steps.undoFolder = folder.wstring() + L".file/undo";
        const ReplaceOutcome outcome = RunReplaceTransaction(steps);
        fs::remove(folder.string() + ".file");
        EXPECT_EQ(outcome.ending, Ending::kUndoFileFailed);
        EXPECT_EQ(Value(0), L"old");
    }
    {
        SCOPED_TRACE("the first write fails");
        faulty.FailNth(RegistryOp::kSetValue, 1, status::kAccessDenied);
        const ReplaceOutcome outcome = RunReplaceTransaction(Steps());
        EXPECT_EQ(outcome.ending, Ending::kWriteFailed);
        EXPECT_EQ(outcome.written, 0u);
        EXPECT_TRUE(outcome.undoFile.empty());
        EXPECT_EQ(UndoFiles(), 0u) << "nothing was written: the undo file would only mislead";
    }
    {
        SCOPED_TRACE("the third write fails");
        faulty.FailNth(RegistryOp::kSetValue, 4, status::kAccessDenied);  // the 2nd call of this run's 3rd
        const ReplaceOutcome outcome = RunReplaceTransaction(Steps());
        EXPECT_EQ(outcome.ending, Ending::kWriteFailed);
        EXPECT_EQ(outcome.failedAt, 2u);
        EXPECT_EQ(outcome.written, 2u);
        EXPECT_TRUE(fs::exists(outcome.undoFile)) << "it covers the two written";
        EXPECT_EQ(Value(1), L"new");
        EXPECT_EQ(Value(2), L"old");
    }
}

TEST_F(ReplaceTransactionTest, StopIsHeardBeforeEachLiveWriteAndUntilTheCommit) {
    {
        SCOPED_TRACE("stopped after the first live write");
        ReplaceSteps steps = Steps();
        steps.stop = [this] { return reported.size() == 1; };
        const ReplaceOutcome outcome = RunReplaceTransaction(steps);
        EXPECT_EQ(outcome.ending, Ending::kStopped);
        EXPECT_EQ(outcome.written, 1u);
        EXPECT_TRUE(fs::exists(outcome.undoFile));
        EXPECT_EQ(Value(0), L"new");
        EXPECT_EQ(Value(1), L"old");
    }
    fs::remove_all(folder);
    for (int i = 0; i < 3; ++i) memory.PutString(kCurrentUser, L"Software\\App", L"v" + std::to_wstring(i), L"old");
    reported.clear();
    for (const bool stopBeforeRename : {true, false}) {
        SCOPED_TRACE(stopBeforeRename ? "deferred, stopped at the commit" : "deferred, the commit fails");
        ReplaceSteps steps = Steps();
        bool prepared = false;
        steps.prepare = [&] { prepared = true; };
        steps.commit = [&](const std::function<bool()>&) {
            ReplaceSteps::Commit commit;
            if (!stopBeforeRename) commit.error = L"no space left";
            return commit;
        };
        const ReplaceOutcome outcome = RunReplaceTransaction(steps);
        EXPECT_TRUE(prepared);
        EXPECT_EQ(outcome.ending, stopBeforeRename ? Ending::kStopped : Ending::kCommitFailed);
        EXPECT_EQ(outcome.written, 0u);
        EXPECT_TRUE(reported.empty()) << "deferred writes are reported by the front end after the commit";
        EXPECT_EQ(UndoFiles(), 0u);
    }
    {
        SCOPED_TRACE("partly committed: the undo file stays");
        ReplaceSteps steps = Steps();
        steps.commit = [](const std::function<bool()>&) {
            ReplaceSteps::Commit commit;
            commit.partly = true;
            commit.error = L"the second hive failed";
            return commit;
        };
        const ReplaceOutcome outcome = RunReplaceTransaction(steps);
        EXPECT_EQ(outcome.ending, Ending::kPartlyCommitted);
        EXPECT_TRUE(fs::exists(outcome.undoFile));
    }
}

// With a commit, the undo file waits under its temporary name, told before
// its first byte, and takes its dated name only once the commit is made.
TEST_F(ReplaceTransactionTest, ADeferredUndoFileIsPublishedOnlyAfterItsCommit) {
    ReplaceSteps steps = Steps();
    std::wstring held, said;
    bool existedWhenHeld = false;
    steps.undoFileHeld = [&](const std::wstring& temporary) {
        held = temporary;
        existedWhenHeld = fs::exists(temporary) && fs::file_size(temporary) == 0;
    };
    steps.undoFileWritten = [&](const std::wstring& path) { said = path; };
    steps.commit = [&](const std::function<bool()>&) {
        EXPECT_TRUE(said.empty()) << "not said before the commit";
        EXPECT_EQ(UndoFiles(), 1u);
        EXPECT_TRUE(fs::exists(held)) << "the flushed temporary is all there is until the commit";
        ReplaceSteps::Commit commit;
        commit.committed = true;
        return commit;
    };
    const ReplaceOutcome outcome = RunReplaceTransaction(steps);
    EXPECT_EQ(outcome.ending, Ending::kDone);
    EXPECT_TRUE(existedWhenHeld) << "told once made, before a byte is written";
    EXPECT_EQ(fs::path(held).filename().wstring().rfind(undo_file::kTemporaryPrefix, 0), 0u);
    EXPECT_FALSE(fs::exists(held));
    EXPECT_EQ(said, outcome.undoFile);
    EXPECT_EQ(fs::path(outcome.undoFile).extension(), ".reg");
    EXPECT_EQ(UndoFiles(), 1u);
}

TEST_F(ReplaceTransactionTest, TheWindowsRulesNoUndoFileForNothingAndEachRowMarkedBeforeItsWrite) {
    ReplaceSteps steps = Steps();
    steps.undoFileWhenEmpty = false;
    steps.capture = [](std::size_t, UndoSnapshots&) {};  // rows the writer refuses keep nothing
    std::vector<std::string> order;
    steps.beforeWrite = [&](std::size_t i) { order.push_back("mark " + std::to_string(i)); };
    steps.written = [&](std::size_t i) { order.push_back("written " + std::to_string(i)); };
    const ReplaceOutcome outcome = RunReplaceTransaction(steps);
    EXPECT_EQ(outcome.ending, Ending::kDone);
    EXPECT_TRUE(outcome.undoFile.empty());
    EXPECT_EQ(UndoFiles(), 0u);
    EXPECT_EQ(order, (std::vector<std::string>{"mark 0", "written 0", "mark 1", "written 1", "mark 2", "written 2"}));
}

}  // namespace
}  // namespace keyscour
