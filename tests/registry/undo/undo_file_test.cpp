// Undo files as both builds write them: published whole, never over
// another, and ended by a closing line that tells a file cut short.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "base/utf16.h"
#include "base/utf8.h"
#include "registry/undo/undo_file.h"

namespace keyscour {
namespace {

namespace fs = std::filesystem;

std::wstring ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    if (bytes.size() < 2) return {};
    return DecodeUtf16Le(reinterpret_cast<const std::uint8_t*>(bytes.data()) + 2, bytes.size() - 2);
}

TEST(UndoFile, TwoInOneSecondAreBothKeptWholeAndEachEndsInItsClosingLine) {
    const fs::path folder = fs::temp_directory_path() / ("keyscour-undo-test-" + std::to_string(std::rand()));
    const std::wstring first = L"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_USERS\\S]\r\n\"a\"=\"1\"\r\n\r\n";
    const std::wstring second = L"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_USERS\\S]\r\n@=\"2\"\r\n\"b\"=-\r\n\r\n";
    const fs::path one = fs::path(undo_file::Write(folder.wstring(), first));
    const fs::path two = fs::path(undo_file::Write(folder.wstring(), second));
    EXPECT_NE(one, two) << "never one over the other";
    std::size_t files = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        ++files;
        EXPECT_EQ(entry.path().extension(), ".reg") << "no part-written file left: " << entry.path();
    }
    EXPECT_EQ(files, 2u);

    const std::wstring text = ReadText(one);
    EXPECT_EQ(text, first + undo_file::ClosingLine(first));
    EXPECT_NE(undo_file::ClosingLine(second).find(L": 2 values, "), std::wstring::npos);
    std::wstring_view body;
    const std::wstring secondText = ReadText(two);  // body points into it
    EXPECT_EQ(undo_file::CheckEnding(secondText, body), undo_file::Ending::kWhole);
    EXPECT_EQ(body, second);
    std::wstring changed = text;
    changed[changed.find(L'1')] = L'7';
    EXPECT_EQ(undo_file::CheckEnding(changed, body), undo_file::Ending::kMismatch);
    EXPECT_EQ(undo_file::CheckEnding(first, body), undo_file::Ending::kMissing);
    EXPECT_EQ(body, first);
    fs::remove_all(folder);
}

// The closing line's counts, checked against the file's own bytes by the
// line's definition (UTF-16LE bytes before it, FNV-1a over them), for a
// script of characters beyond the basic plane written in pieces.
TEST(UndoFile, TheClosingLineCountsTheFilesOwnBytesBeyondTheBasicPlaneAndInPieces) {
    const fs::path folder = fs::temp_directory_path() / ("keyscour-undo-test-" + std::to_string(std::rand()));
    const std::wstring line = L"\"\U0001F600 \u00e9\"=\"C:\\\\\U00010348\"\r\n";
    const fs::path path = fs::path(undo_file::Publish(undo_file::WriteTemporary(
        folder.wstring(), [&](const undo_file::PieceWriter& write) {
            write(L"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_USERS\\S]\r\n");
            for (int i = 0; i < 3; ++i) write(line);
            write(L"\r\n");
        })));
    std::string bytes;
    {
        std::ifstream in(path, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }  // closed: Windows removes no file still open
    fs::remove_all(folder);
    ASSERT_GT(bytes.size(), 2u);
    // The closing line starts after the last CR LF before the file's end.
    std::string utf16Start;
    for (std::uint8_t b : EncodeUtf16Le(L"; Quillon Keyscour undo file end: ")) utf16Start += static_cast<char>(b);
    const std::size_t closing = bytes.rfind(utf16Start);
    ASSERT_NE(closing, std::string::npos);
    const std::string body = bytes.substr(2, closing - 2);
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char b : body) hash = (hash ^ b) * 0x100000001b3ull;
    char expected[128];
    std::snprintf(expected, sizeof expected, "3 values, %zu bytes, fnv1a64 %016llx", body.size(),
                  static_cast<unsigned long long>(hash));
    const std::wstring text = DecodeUtf16Le(reinterpret_cast<const std::uint8_t*>(bytes.data()) + closing,
                                            bytes.size() - closing);
    EXPECT_NE(text.find(FromUtf8(expected)), std::wstring::npos) << ToUtf8(text) << " expected " << expected;
}

}  // namespace
}  // namespace keyscour
