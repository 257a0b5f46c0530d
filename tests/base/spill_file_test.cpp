// Records kept on disk come back as appended, across the file's chunks and
// when no temporary file can be made.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "base/spill_file.h"

namespace keyscour {
namespace {

std::vector<std::uint8_t> RecordOf(std::size_t i) {
    RecordWriter record;
    record.U32(static_cast<std::uint32_t>(i));
    record.Text(L"key " + std::to_wstring(i) + L" \u00e9\u4e2d");
    // Sizes from nothing to past a chunk, so that records end on every side of one.
    record.Bytes(std::vector<std::uint8_t>(i % 7 == 3 ? (1u << 20) + 5 : i % 300, static_cast<std::uint8_t>(i)));
    record.U64(~static_cast<std::uint64_t>(i));
    return {record.Record().begin(), record.Record().end()};
}

void ExpectRecord(std::span<const std::uint8_t> bytes, std::size_t i) {
    RecordReader record(bytes);
    EXPECT_EQ(record.U32(), i);
    EXPECT_EQ(record.Text(), L"key " + std::to_wstring(i) + L" \u00e9\u4e2d");
    const auto data = record.Bytes();
    EXPECT_EQ(data.size(), i % 7 == 3 ? (1u << 20) + 5 : i % 300);
    EXPECT_TRUE(data.empty() || (data.front() == static_cast<std::uint8_t>(i) && data.back() == data.front()));
    EXPECT_EQ(record.U64(), ~static_cast<std::uint64_t>(i));
    EXPECT_THROW(record.U32(), std::out_of_range) << "nothing past the record";
}

void AppendAndReadBack() {
    SpillFile spill;
    std::vector<std::uint64_t> offsets;
    for (std::size_t i = 0; i < 40; ++i) offsets.push_back(spill.Append(RecordOf(i)));
    // In order, each next where the one after begins.
    std::uint64_t at = 0, next = 0;
    for (std::size_t i = 0; i < offsets.size(); ++i, at = next) {
        ASSERT_EQ(at, offsets[i]);
        ExpectRecord(spill.Read(at, next), i);
    }
    EXPECT_EQ(at, spill.End());
    // Backwards, past the read-ahead each time.
    for (std::size_t i = offsets.size(); i-- > 0;) ExpectRecord(spill.Read(offsets[i], next), i);
}

TEST(SpillFile, RecordsComeBackAsAppendedAcrossChunksInAnyOrder) { AppendAndReadBack(); }

#ifndef _WIN32
TEST(SpillFile, WithNoTemporaryFolderTheRecordsStayInMemory) {
    const char* saved = std::getenv("TMPDIR");
    const std::string kept = saved ? saved : "";
    ::setenv("TMPDIR", "/nonexistent/keyscour-spill-test", 1);
    AppendAndReadBack();
    if (saved) ::setenv("TMPDIR", kept.c_str(), 1);
    else ::unsetenv("TMPDIR");
}
#endif

TEST(RecordReader, LengthsPastTheRecordAreRefused) {
    RecordWriter record;
    record.U64(1000);  // a text's length, with nothing after it
    RecordReader text(record.Record());
    EXPECT_THROW(text.Text(), std::out_of_range);
    RecordReader bytes(record.Record());
    EXPECT_THROW(bytes.Bytes(), std::out_of_range);
}

}  // namespace
}  // namespace keyscour
