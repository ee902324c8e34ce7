#include "util/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace {

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

// The temporary file of one replacement, hidden beside its target: closed and removed unless it
// was renamed into place.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::filesystem::path& target) {
    std::string pattern =
        (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
    fd_ = ::mkstemp(pattern.data());
    if (fd_ >= 0) {
      path_ = std::move(pattern);
    }
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    if (!path_.empty()) {
      ::unlink(path_.c_str());
    }
  }
  [[nodiscard]] bool IsOpen() const { return fd_ >= 0; }
  [[nodiscard]] int Descriptor() const { return fd_; }
  // Closes the file (a failing close may have lost data) and renames it over `target`.
  [[nodiscard]] bool CloseAndRenameTo(const std::filesystem::path& target) {
    const int result = ::close(fd_);
    fd_ = -1;
    if (result != 0 || ::rename(path_.c_str(), target.c_str()) != 0) {
      return false;
    }
    path_.clear();
    return true;
  }

 private:
  int fd_ = -1;
  std::string path_;
};

mode_t NewFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return static_cast<mode_t>(0666 & ~mask);
}

// The rename is durable only once the folder is; the file is replaced either way.
void SyncFolder(const std::filesystem::path& target) {
  const std::filesystem::path folder = target.parent_path().empty() ? "." : target.parent_path();
  const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd >= 0) {
    ::fsync(folderFd);
    ::close(folderFd);
  }
}

}  // namespace

bool ReplaceFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                           const ContentWriter& writer) {
  if (path.empty()) {
    return false;
  }
  std::error_code error;
  std::filesystem::path target = path;
  if (std::filesystem::is_symlink(target, error)) {
    target = std::filesystem::weakly_canonical(target, error);
    if (error) {
      return false;
    }
  }
  mode_t mode = NewFileMode();
  struct stat existing {};
  if (::stat(target.c_str(), &existing) == 0) {
    // A rename would replace a file its owner made read-only; writing in place would not.
    if (S_ISDIR(existing.st_mode) || ::access(target.c_str(), W_OK) != 0) {
      return false;
    }
    mode = existing.st_mode & 07777;
  }
  TemporaryFile temporary(target);
  const bool written =
      temporary.IsOpen() && ::fchmod(temporary.Descriptor(), mode) == 0 &&
      (writer ? writer(temporary.Descriptor(), bytes) : WriteAll(temporary.Descriptor(), bytes)) &&
      ::fsync(temporary.Descriptor()) == 0;
  if (!written || !temporary.CloseAndRenameTo(target)) {
    return false;
  }
  SyncFolder(target);
  return true;
}
