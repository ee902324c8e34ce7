#include "app/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <utility>

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

// The temporary file of one replacement: closed and removed unless it was renamed into place.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::filesystem::path& target) {
    pathTemplate_ = target.string() + ".XXXXXX";
    fd_ = ::mkstemp(pathTemplate_.data());
    created_ = fd_ >= 0;
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    if (created_ && !renamed_) {
      ::unlink(pathTemplate_.c_str());
    }
  }
  [[nodiscard]] bool IsOpen() const { return fd_ >= 0; }
  [[nodiscard]] int Descriptor() const { return fd_; }
  [[nodiscard]] bool CloseAndRenameTo(const std::filesystem::path& target) {
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0) {
      return false;
    }
    if (::rename(pathTemplate_.c_str(), target.c_str()) != 0) {
      return false;
    }
    renamed_ = true;
    return true;
  }

 private:
  std::string pathTemplate_;
  int fd_ = -1;
  bool created_ = false;
  bool renamed_ = false;
};

// Mode for a new settings file: what creating it with fopen would have given.
mode_t NewFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

}  // namespace

bool ReplaceFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                           const ContentWriter& writer) {
  std::error_code error;
  if (path.has_parent_path()) {
    std::filesystem::create_directories(path.parent_path(), error);
    if (error) {
      return false;
    }
  }
  struct stat existing {};
  const mode_t mode =
      ::stat(path.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : NewFileMode();
  TemporaryFile temporary(path);
  const bool written =
      temporary.IsOpen() && ::fchmod(temporary.Descriptor(), mode) == 0 &&
      (writer ? writer(temporary.Descriptor(), bytes) : WriteAll(temporary.Descriptor(), bytes)) &&
      ::fsync(temporary.Descriptor()) == 0;
  return written && temporary.CloseAndRenameTo(path);
}
