// The system calls under the tools' files, on every platform the tools are
// built for (Windows runs these under wine): a finished file replaces the old
// one whole, a file is told from another by what it is rather than by name,
// and a text file is read within its limit.
#include "os.h"
#include "text.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

namespace fs = std::filesystem;
namespace os = tw::tool::os;

std::string slurp(const fs::path &p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class ToolFiles : public ::testing::Test {
protected:
  void SetUp() override {
    static int serial = 0;
    dir = fs::temp_directory_path() /
          ("tw_files_" + std::to_string(os::process_id()) + "_" +
           std::to_string(serial++));
    fs::remove_all(dir);
    ASSERT_TRUE(fs::create_directory(dir));
  }
  void TearDown() override { fs::remove_all(dir); }

  std::string at(const char *name) const { return (dir / name).string(); }
  void put(const char *name, const std::string &text) const {
    std::ofstream(dir / name, std::ios::binary) << text;
  }

  fs::path dir;
};

TEST_F(ToolFiles, ATemporaryFileReplacesTheOldOneWhole) {
  put("out.txt", "old contents, longer than the new");
  const std::string temp = at(".out.txt.tmp");
  int fd = os::create_new(temp);
  ASSERT_GE(fd, 0);
  EXPECT_LT(os::create_new(temp), 0) << "a second writer took the same name";
  EXPECT_EQ(errno, EEXIST);
  ASSERT_TRUE(os::write_all(fd, "new", 3));
  EXPECT_TRUE(os::sync(fd));
  os::close(fd);
  ASSERT_TRUE(os::replace(temp, at("out.txt")));
  EXPECT_EQ(slurp(dir / "out.txt"), "new");
  EXPECT_FALSE(fs::exists(temp));

  // A file's contents written again from the start, its name kept.
  fd = os::open_overwrite(at("out.txt"));
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(os::write_all(fd, "x", 1));
  os::close(fd);
  EXPECT_EQ(slurp(dir / "out.txt"), "x");
}

TEST_F(ToolFiles, OneFileIsKnownByWhatItIsNotItsName) {
  put("a.txt", "same");
  put("b.txt", "same");
  EXPECT_TRUE(os::same_file(at("a.txt"), (dir / "." / "a.txt").string()));
  EXPECT_FALSE(os::same_file(at("a.txt"), at("b.txt")));
  EXPECT_FALSE(os::same_file(at("a.txt"), at("missing.txt")));
  os::Status st;
  ASSERT_TRUE(os::status(at("a.txt"), st));
  EXPECT_EQ(st.kind, os::Kind::regular);
  EXPECT_EQ(st.size, 4u);
  ASSERT_TRUE(os::status(dir.string(), st));
  EXPECT_EQ(st.kind, os::Kind::directory);
  EXPECT_FALSE(os::status(at("missing.txt"), st));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(os::process_gone(os::process_id()));
}

TEST_F(ToolFiles, ASpoolFileReadsBackWhatWasWritten) {
  std::string spool_dir;
  const int fd = os::create_spool(spool_dir);
  ASSERT_GE(fd, 0) << spool_dir;
  EXPECT_FALSE(spool_dir.empty());
  EXPECT_TRUE(os::can_seek(fd));
  ASSERT_TRUE(os::write_all(fd, "spooled", 7));
  ASSERT_TRUE(os::rewind(fd));
  char buf[16] = {};
  EXPECT_EQ(os::read_some(fd, buf, sizeof buf), 7);
  EXPECT_EQ(std::string(buf), "spooled");
  os::close(fd);
}

TEST_F(ToolFiles, ATextFileIsReadWithinItsLimit) {
  constexpr std::size_t kMiB = std::size_t(1) << 20;
  put("score.json", std::string(kMiB, 'x'));
  EXPECT_EQ(
      tw::tool::read_text_file(at("score.json"), "score", kMiB, "").size(),
      kMiB);
  const auto refused = [&](const std::string &path, std::size_t limit) {
    try {
      tw::tool::read_text_file(path, "score", limit, "--more");
    } catch (const tw::tool::Error &e) {
      return std::string(e.what());
    }
    return std::string("read");
  };
  put("large.json", std::string(kMiB + 1, 'x'));
  EXPECT_EQ(refused(at("large.json"), kMiB),
            at("large.json") + ": the score is larger than 1 MiB (--more)");
  EXPECT_EQ(refused(dir.string(), kMiB),
            dir.string() + ": is a directory, not a score");
  EXPECT_EQ(refused(at("missing.json"), kMiB)
                .find(at("missing.json") + ": cannot open the score: "),
            0u);
}

} // namespace
