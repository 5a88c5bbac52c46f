#include "util/FileReplace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

namespace vornik {

namespace {

/// The file a symbolic link finally names (the link itself when it cannot be resolved).
std::string FollowLinks(const std::string& FileName) {
  struct stat st {};
  if (::lstat(FileName.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return FileName;
  char* resolved = ::realpath(FileName.c_str(), nullptr);
  if (resolved == nullptr) return FileName;
  std::string out(resolved);
  std::free(resolved);
  return out;
}

std::string FolderOf(const std::string& Path) {
  const std::size_t slash = Path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return Path.substr(0, slash);
}

std::string NameOf(const std::string& Path) {
  const std::size_t slash = Path.find_last_of('/');
  return slash == std::string::npos ? Path : Path.substr(slash + 1);
}

// A new hidden file ".NAME.XXXXXX" in Folder, beside Target; its descriptor (or -1 with errno
// set) and its name in TmpName.
int CreateTempBeside(const std::string& Folder, const std::string& Target, std::string& TmpName) {
  const std::string tmpl = (Folder == "/" ? "" : Folder) + "/." + NameOf(Target) + ".XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd >= 0) TmpName = name.data();
  return fd;
}

/// Syncs the folder so that the rename itself survives a power cut; best effort.
void SyncFolder(const std::string& Folder) {
  const int fd = ::open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fsync(fd);
  ::close(fd);
}

/// Writes all of Bytes to Fd; 0 or the errno.
int WriteAll(int Fd, std::string_view Bytes) {
  std::size_t done = 0;
  while (done < Bytes.size()) {
    const ssize_t n = ::write(Fd, Bytes.data() + done, Bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

/// A device or a FIFO is written where it is: renaming a file over it would replace the device.
int WriteInPlace(const std::string& Target, std::string_view Bytes) {
  const int fd = ::open(Target.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int err = WriteAll(fd, Bytes);
  if (::close(fd) != 0 && err == 0) return errno;
  return err;
}

}  // namespace

int ReplaceFileContent(const std::string& FileName, std::string_view Bytes) {
  if (FileName.empty()) return ENOENT;
  const std::string target = FollowLinks(FileName);
  struct stat existing {};
  const bool exists = ::stat(target.c_str(), &existing) == 0;
  if (exists && S_ISDIR(existing.st_mode)) return EISDIR;
  if (exists && !S_ISREG(existing.st_mode)) return WriteInPlace(target, Bytes);
  const std::string folder = FolderOf(target);
  std::string tmpName;
  const int fd = CreateTempBeside(folder, target, tmpName);
  if (fd < 0) return errno;
  auto fail = [&](int Err, bool Open) {
    if (Open) ::close(fd);
    ::unlink(tmpName.c_str());
    return Err != 0 ? Err : EIO;
  };

  if (const int err = WriteAll(fd, Bytes); err != 0) return fail(err, true);
  if (::fsync(fd) != 0) return fail(errno, true);
  // Keep the permissions of the file being replaced; a new one gets the usual mode less umask.
  if (exists) {
    (void)::fchmod(fd, existing.st_mode & 07777);
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    (void)::fchmod(fd, 0666 & ~mask);
  }
  if (::close(fd) != 0) return fail(errno, false);
  if (::rename(tmpName.c_str(), target.c_str()) != 0) return fail(errno, false);
  SyncFolder(folder);
  return 0;
}

int CheckFileReplaceable(const std::string& FileName) {
  if (FileName.empty()) return ENOENT;
  const std::string target = FollowLinks(FileName);
  struct stat existing {};
  const bool exists = ::stat(target.c_str(), &existing) == 0;
  if (exists && S_ISDIR(existing.st_mode)) return EISDIR;
  if (exists && !S_ISREG(existing.st_mode)) return ::access(target.c_str(), W_OK) == 0 ? 0 : errno;
  const std::string folder = FolderOf(target);
  std::string tmpName;
  const int fd = CreateTempBeside(folder, target, tmpName);
  if (fd < 0) return errno;
  ::close(fd);
  ::unlink(tmpName.c_str());
  return 0;
}

}  // namespace vornik
