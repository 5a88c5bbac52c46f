#include "app/AppPaths.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "testkit/TempDir.h"

#include <sys/stat.h>

namespace vornik {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

// Writability is given, not asked of the file system: the tests may run as root, who may write
// anywhere.
TAppEnvironment Env(bool Writable, std::map<std::string, std::string> Vars, std::string Home = "") {
  TAppEnvironment e;
  e.GetEnv = [Vars](const char* Name) {
    const auto it = Vars.find(Name);
    return it == Vars.end() ? std::string() : it->second;
  };
  e.FolderWritable = [Writable](const std::string&) { return Writable; };
  e.HomeFolder = std::move(Home);
  return e;
}

TEST(AppPaths, WhereSettingsAndLogLive) {
  TempDir dir;
  const std::string home = dir.Path("home");
  const std::string exe = dir.Path("bin/vornik");
  struct {
    const char* name;
    bool writable;
    std::map<std::string, std::string> vars;
    std::string passwdHome;
    std::string ini;
    std::string log;
  } cases[] = {
      {"writable folder", true, {{"HOME", home}, {"XDG_CONFIG_HOME", home + "/c"}}, "",
       dir.Path("bin/vornik.ini"), dir.Path("bin/vornik.log")},
      {"read-only, defaults", false, {{"HOME", home}}, "", home + "/.config/vornik/vornik.ini",
       home + "/.local/state/vornik/vornik.log"},
      {"read-only, XDG set", false,
       {{"HOME", home}, {"XDG_CONFIG_HOME", dir.Path("cfg")}, {"XDG_STATE_HOME", dir.Path("st/x")}}, "",
       dir.Path("cfg/vornik/vornik.ini"), dir.Path("st/x/vornik/vornik.log")},
      {"relative XDG ignored", false, {{"HOME", home}, {"XDG_CONFIG_HOME", "rel"}, {"XDG_STATE_HOME", "rel"}}, "",
       home + "/.config/vornik/vornik.ini", home + "/.local/state/vornik/vornik.log"},
      {"no HOME: the account's home", false, {}, home, home + "/.config/vornik/vornik.ini",
       home + "/.local/state/vornik/vornik.log"},
      {"no home at all: beside", false, {{"HOME", "relative"}}, "", dir.Path("bin/vornik.ini"),
       dir.Path("bin/vornik.log")},
  };
  for (const auto& c : cases) {
    const TAppPaths p = AppPathsFor(exe, Env(c.writable, c.vars, c.passwdHome));
    EXPECT_EQ(p.IniFileName, c.ini) << c.name;
    EXPECT_EQ(p.LogFileName, c.log) << c.name;
    EXPECT_EQ(p.BesideExecutable, c.ini == dir.Path("bin/vornik.ini")) << c.name;
    // The folders of the user's files exist, private to the user.
    if (!p.BesideExecutable) {
      for (const std::string& f : {p.IniFileName, p.LogFileName}) {
        const fs::path folder = fs::path(f).parent_path();
        struct stat st {};
        ASSERT_EQ(::stat(folder.c_str(), &st), 0) << c.name << " " << folder;
        EXPECT_EQ(st.st_mode & 0777, 0700u) << c.name << " " << folder;
      }
    }
  }
}

TEST(AppPaths, BaseNameFollowsTheExecutable) {
  TempDir dir;
  const TAppPaths p = AppPathsFor(dir.Path("vornik-test"), Env(false, {{"HOME", dir.Path("")}}));
  EXPECT_EQ(p.IniFileName, dir.Path(".config/vornik/vornik-test.ini"));
  EXPECT_EQ(p.LogFileName, dir.Path(".local/state/vornik/vornik-test.log"));
}

// The real check, where the test does not run as root.
TEST(AppPaths, ReadOnlyFolderOfTheSystemEnvironment) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may write to any folder";
  TempDir dir;
  fs::create_directory(dir.Path("bin"));
  EXPECT_TRUE(AppPathsFor(dir.Path("bin/vornik"), SystemAppEnvironment()).BesideExecutable);
  fs::permissions(dir.Path("bin"), fs::perms::owner_read | fs::perms::owner_exec);
  TAppEnvironment env = SystemAppEnvironment();
  env.GetEnv = [&dir](const char* Name) { return std::string(Name) == "HOME" ? dir.Path("h") : std::string(); };
  const TAppPaths p = AppPathsFor(dir.Path("bin/vornik"), env);
  EXPECT_FALSE(p.BesideExecutable);
  EXPECT_EQ(p.IniFileName, dir.Path("h/.config/vornik/vornik.ini"));
  fs::permissions(dir.Path("bin"), fs::perms::owner_all);
}

}  // namespace
}  // namespace vornik
