// A file replaced only once whole: what a second Commit answers, and a
// failed write that keeps the old file.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "base/file_util.h"

namespace keyscour {
namespace {

namespace fs = std::filesystem;

std::string Contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

TEST(ReplacingFile, ASecondCommitAnswersAsTheFirstDid) {
    const fs::path folder = fs::temp_directory_path() / ("keyscour-replacing-" + std::to_string(std::rand()));
    fs::create_directories(folder);
    const fs::path target = folder / "out.txt";
    {
        std::ofstream(target, std::ios::binary) << "old";
    }
    {
        ReplacingFile file(target.string());
        const std::string text = "new";
        ASSERT_TRUE(file.Write(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())));
        EXPECT_TRUE(file.Commit());
        EXPECT_TRUE(file.Commit()) << "committed once, the answer stays";
        EXPECT_EQ(file.Error(), 0);
    }
    EXPECT_EQ(Contents(target), "new");
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++files;
    EXPECT_EQ(files, 1u) << "no new file left beside it";
    fs::remove_all(folder);
}

}  // namespace
}  // namespace keyscour
