// A fresh folder under the system's temporary directory for one test, removed afterwards (made
// writable first, so a test may take its permissions away), and
// whole-file read/write helpers.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace vornik::test {

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "vornik-app-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    FPath = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(FPath, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(FPath, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  /// The folder itself for an empty name.
  std::string Path(const std::string& name) const { return name.empty() ? FPath : FPath + "/" + name; }

 private:
  std::string FPath;
};

inline std::string ReadAll(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteAll(const std::string& file, const std::string& data) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << data;
}

}  // namespace vornik::test
