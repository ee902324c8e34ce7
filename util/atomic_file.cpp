#include "util/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "util/unique_fd.h"

namespace {

FileResult Failure(int error) {
  error = error != 0 ? error : EIO;
  return {std::system_category().message(error), error == ENOENT, error};
}

FileKind KindOf(mode_t mode) {
  return S_ISREG(mode)                    ? FileKind::kRegular
         : S_ISDIR(mode)                  ? FileKind::kDirectory
         : S_ISFIFO(mode)                 ? FileKind::kFifo
         : S_ISCHR(mode) || S_ISBLK(mode) ? FileKind::kDevice
         : S_ISSOCK(mode)                 ? FileKind::kSocket
                                          : FileKind::kOther;
}

// Refuses what is not a regular file; a folder is named as such.
FileResult KindFailure(mode_t mode) {
  FileResult result;
  if (S_ISDIR(mode)) {
    result = Failure(EISDIR);
  } else if (!S_ISREG(mode)) {
    result.reason = "Not a regular file";
  }
  result.kind = KindOf(mode);
  return result;
}

// The temporary file of one replacement, hidden beside its target: closed and removed unless it
// was renamed into place.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::filesystem::path& target) {
    std::string pattern =
        (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
    fd_.Reset(::mkstemp(pattern.data()));
    if (fd_.IsOpen()) {
      path_ = std::move(pattern);
    }
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    fd_.Reset();
    if (!path_.empty()) {
      ::unlink(path_.c_str());
    }
  }
  [[nodiscard]] bool IsOpen() const { return fd_.IsOpen(); }
  [[nodiscard]] int Descriptor() const { return fd_.Get(); }
  // Closes the file (a failing close may have lost data) and renames it over `target`.
  [[nodiscard]] bool CloseAndRenameTo(const std::filesystem::path& target) {
    const int result = fd_.Close();
    if (result != 0 || ::rename(path_.c_str(), target.c_str()) != 0) {
      return false;
    }
    path_.clear();
    return true;
  }

 private:
  UniqueFd fd_;
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
  const UniqueFd folderFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folderFd.IsOpen()) {
    ::fsync(folderFd.Get());
  }
}

}  // namespace

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

FileResult OpenRegularFile(const std::filesystem::path& path, UniqueFd& file, size_t& size) {
  // A device is refused before it is opened: opening some has effects of its own.
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    return Failure(errno);
  }
  if (FileResult kind = KindFailure(info.st_mode); !kind.Succeeded()) {
    return kind;
  }
  // Should a FIFO take the file's place meanwhile, O_NONBLOCK keeps the open from waiting.
  UniqueFd opened(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!opened.IsOpen() || ::fstat(opened.Get(), &info) != 0) {
    return Failure(errno);
  }
  if (FileResult kind = KindFailure(info.st_mode); !kind.Succeeded()) {
    return kind;
  }
  file = std::move(opened);
  size = static_cast<size_t>(info.st_size);
  return {};
}

FileResult ReadRegularFile(const std::filesystem::path& path, std::string& text) {
  text.clear();
  UniqueFd file;
  size_t size = 0;
  if (FileResult opened = OpenRegularFile(path, file, size); !opened.Succeeded()) {
    return opened;
  }
  char chunk[16384];
  for (;;) {
    const ssize_t got = ::read(file.Get(), chunk, sizeof chunk);
    if (got == 0) {
      return {};
    }
    if (got < 0 && errno != EINTR) {
      text.clear();
      return Failure(errno);
    }
    if (got > 0) {
      text.append(chunk, static_cast<size_t>(got));
    }
  }
}

FileResult ReplaceFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                                 const ContentWriter& writer) {
  if (path.empty()) {
    return Failure(ENOENT);
  }
  std::error_code error;
  std::filesystem::path target = path;
  if (std::filesystem::is_symlink(target, error)) {
    target = std::filesystem::weakly_canonical(target, error);
    if (error) {
      return Failure(error.value());
    }
  }
  mode_t mode = NewFileMode();
  struct stat existing {};
  bool replacing = false;
  if (::stat(target.c_str(), &existing) == 0) {
    replacing = true;
    if (FileResult kind = KindFailure(existing.st_mode); !kind.Succeeded()) {
      return kind;
    }
    // A rename would replace a file its owner made read-only; writing in place would not.
    if (::access(target.c_str(), W_OK) != 0) {
      return Failure(errno);
    }
    mode = existing.st_mode & 07777;
  } else if (errno != ENOENT) {
    return Failure(errno);
  }
  TemporaryFile temporary(target);
  if (!temporary.IsOpen()) {
    return Failure(errno);
  }
  // The file stays its owner's where the system lets the caller keep it so (root saving a
  // user's file, a user keeping a group of theirs); elsewhere it becomes the caller's, as a
  // file written anew would. Before the mode: a change of owner clears the set-id bits.
  if (replacing && (existing.st_uid != ::geteuid() || existing.st_gid != ::getegid()) &&
      ::fchown(temporary.Descriptor(), existing.st_uid, existing.st_gid) != 0) {
    static_cast<void>(::fchown(temporary.Descriptor(), static_cast<uid_t>(-1), existing.st_gid));
  }
  if (::fchmod(temporary.Descriptor(), mode) != 0) {
    return Failure(errno);
  }
  errno = 0;
  const bool written =
      writer ? writer(temporary.Descriptor(), bytes) : WriteAll(temporary.Descriptor(), bytes);
  if (!written || ::fsync(temporary.Descriptor()) != 0 || !temporary.CloseAndRenameTo(target)) {
    return Failure(errno);
  }
  SyncFolder(target);
  return {};
}
