#include "util/FileReplace.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace vornik;

namespace {

namespace fs = std::filesystem;

class Folder {
 public:
  Folder() {
    std::string tmpl = (fs::temp_directory_path() / "vornik-replace-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    path_ = tmpl;
  }
  ~Folder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string Path(const std::string& Name) const { return path_ + "/" + Name; }
  std::vector<std::string> Names() const {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(path_)) out.push_back(e.path().filename());
    std::sort(out.begin(), out.end());
    return out;
  }

 private:
  std::string path_;
};

std::string Read(const std::string& Path) {
  std::ifstream in(Path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

mode_t ModeOf(const std::string& Path) {
  struct stat st {};
  EXPECT_EQ(::stat(Path.c_str(), &st), 0);
  return st.st_mode & 07777;
}

}  // namespace

TEST(ReplaceFileContent, CreatesANewFileWithTheUsualMode) {
  Folder d;
  const std::string name = d.Path("new.bin");
  ASSERT_EQ(ReplaceFileContent(name, std::string("a\0b", 3)), 0);
  EXPECT_EQ(Read(name), std::string("a\0b", 3));
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(ModeOf(name), 0666 & ~mask);
  EXPECT_EQ(d.Names(), std::vector<std::string>{"new.bin"});
}

TEST(ReplaceFileContent, ReplacesByRenameAndKeepsThePermissions) {
  Folder d;
  const std::string name = d.Path("settings.ini");
  ASSERT_EQ(ReplaceFileContent(name, "old content that is longer"), 0);
  ASSERT_EQ(::chmod(name.c_str(), 0640), 0);
  struct stat before {};
  ASSERT_EQ(::stat(name.c_str(), &before), 0);
  ASSERT_EQ(ReplaceFileContent(name, "new"), 0);
  struct stat after {};
  ASSERT_EQ(::stat(name.c_str(), &after), 0);
  EXPECT_EQ(Read(name), "new");
  EXPECT_NE(before.st_ino, after.st_ino);  // a new file took the name: never written in place
  EXPECT_EQ(ModeOf(name), 0640u);
  EXPECT_EQ(d.Names(), std::vector<std::string>{"settings.ini"});
}

TEST(ReplaceFileContent, EmptyContent) {
  Folder d;
  ASSERT_EQ(ReplaceFileContent(d.Path("e"), "something"), 0);
  ASSERT_EQ(ReplaceFileContent(d.Path("e"), ""), 0);
  EXPECT_EQ(Read(d.Path("e")), "");
}

TEST(ReplaceFileContent, FollowsASymbolicLink) {
  Folder d;
  ASSERT_EQ(ReplaceFileContent(d.Path("real"), "one"), 0);
  fs::create_symlink(d.Path("real"), d.Path("link"));
  ASSERT_EQ(ReplaceFileContent(d.Path("link"), "two"), 0);
  EXPECT_TRUE(fs::is_symlink(d.Path("link")));
  EXPECT_EQ(Read(d.Path("real")), "two");
  EXPECT_EQ(d.Names(), (std::vector<std::string>{"link", "real"}));
}

TEST(ReplaceFileContent, DevicesAndFifosAreWrittenWhereTheyAre) {
  Folder d;
  // A null device of the test's own (never the system's: a failure here would replace it).
  const std::string null = d.Path("null");
  if (::mknod(null.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
    struct stat before {};
    ASSERT_EQ(::stat(null.c_str(), &before), 0);
    EXPECT_EQ(ReplaceFileContent(null, "gone"), 0);
    struct stat after {};
    ASSERT_EQ(::stat(null.c_str(), &after), 0);
    EXPECT_TRUE(S_ISCHR(after.st_mode));  // still the device, not a file renamed over it
    EXPECT_EQ(before.st_ino, after.st_ino);
    ASSERT_EQ(::unlink(null.c_str()), 0);
  }

  const std::string fifo = d.Path("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const pid_t reader = ::fork();
  ASSERT_GE(reader, 0);
  if (reader == 0) {
    std::ifstream in(fifo, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    ::_exit(s.str() == "through the pipe" ? 0 : 1);
  }
  EXPECT_EQ(ReplaceFileContent(fifo, "through the pipe"), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(reader, &status, 0), reader);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(d.Names(), std::vector<std::string>{"pipe"});
}

TEST(ReplaceFileContent, FailuresLeaveTheTargetAndNoTemporaryFile) {
  Folder d;
  fs::create_directories(d.Path("adir/inside"));
  EXPECT_EQ(ReplaceFileContent(d.Path("adir"), "x"), EISDIR);
  EXPECT_TRUE(fs::is_directory(d.Path("adir/inside")));
  EXPECT_EQ(d.Names(), std::vector<std::string>{"adir"});
  EXPECT_EQ(ReplaceFileContent(d.Path("no/such/folder.bin"), "x"), ENOENT);
  EXPECT_EQ(ReplaceFileContent("", "x"), ENOENT);
}

TEST(ReplaceFileContent, AWriteThatFailsHalfWayLeavesTheOldFileWhole) {
  // A file size limit makes the write fail part of the way through, as a full disk would. It is
  // set in a child process so that the test program itself keeps writing normally.
  Folder d;
  const std::string name = d.Path("image.bin");
  const std::string old(100, 'o');
  ASSERT_EQ(ReplaceFileContent(name, old), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit lim{};
    lim.rlim_cur = lim.rlim_max = 4096;
    ::setrlimit(RLIMIT_FSIZE, &lim);
    const int err = ReplaceFileContent(name, std::string(100000, 'n'));
    ::_exit(err == EFBIG ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the write did not fail with EFBIG";
  EXPECT_EQ(Read(name), old);
  EXPECT_EQ(d.Names(), std::vector<std::string>{"image.bin"});
}
