// Atomic saving of the install document.
#include "xmlexport/xml_save.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace {

// The temporary file of one save; removed unless the rename made it the target.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::filesystem::path& target) {
    std::string pattern =
        (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
    fd_ = mkstemp(pattern.data());
    if (fd_ >= 0) {
      path_ = std::move(pattern);
    }
  }
  ~TemporaryFile() {
    static_cast<void>(Close());
    if (!path_.empty()) {
      unlink(path_.c_str());
    }
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  [[nodiscard]] bool IsOpen() const { return fd_ >= 0; }
  [[nodiscard]] int Fd() const { return fd_; }
  [[nodiscard]] const std::string& Path() const { return path_; }

  // Closes the descriptor; false when the close reports an error (data may be lost).
  [[nodiscard]] bool Close() {
    if (fd_ < 0) {
      return true;
    }
    const int result = close(fd_);
    fd_ = -1;
    return result == 0;
  }
  // After a successful rename the file is the target and must stay.
  void Keep() { path_.clear(); }

 private:
  int fd_ = -1;
  std::string path_;
};

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(fd, bytes.data(), bytes.size());
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

mode_t NewFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return static_cast<mode_t>(0666 & ~mask);
}

}  // namespace

std::string XmlFileText(const std::vector<std::string>& lines) {
  size_t size = 0;
  for (const std::string& line : lines) {
    size += line.size() + 2;
  }
  std::string text;
  text.reserve(size);
  for (const std::string& line : lines) {
    text += line;
    text += "\r\n";
  }
  return text;
}

bool CloseEditedDocument(std::vector<std::string>& lines) {
  if (!lines.empty() && lines.front() == "<install>") {
    return false;
  }
  lines.emplace_back();
  lines.emplace_back("</install>");
  return true;
}

bool ReplaceFileAtomically(const std::string& fileName, std::string_view bytes) {
  if (fileName.empty()) {
    return false;
  }
  std::error_code error;
  std::filesystem::path target(fileName);
  if (std::filesystem::is_symlink(target, error)) {
    target = std::filesystem::weakly_canonical(target, error);
    if (error) {
      return false;
    }
  }
  mode_t mode = NewFileMode();
  struct stat existing {};
  if (stat(target.c_str(), &existing) == 0) {
    // A rename would replace a file its owner made read-only; writing in place would not.
    if (S_ISDIR(existing.st_mode) || access(target.c_str(), W_OK) != 0) {
      return false;
    }
    mode = existing.st_mode & 07777;
  }
  TemporaryFile temporary(target);
  if (!temporary.IsOpen()) {
    return false;
  }
  if (fchmod(temporary.Fd(), mode) != 0 || !WriteAll(temporary.Fd(), bytes) ||
      fsync(temporary.Fd()) != 0 || !temporary.Close()) {
    return false;
  }
  if (rename(temporary.Path().c_str(), target.c_str()) != 0) {
    return false;
  }
  temporary.Keep();
  // The rename is durable only once the folder is; the file is saved either way.
  const std::filesystem::path folder = target.parent_path().empty() ? "." : target.parent_path();
  const int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd >= 0) {
    fsync(folderFd);
    close(folderFd);
  }
  return true;
}

XmlSaveResult SaveXmlDocument(const std::string& fileName, std::vector<std::string>& lines) {
  XmlSaveResult result;
  result.closingAppended = CloseEditedDocument(lines);
  if (!ReplaceFileAtomically(fileName, XmlFileText(lines))) {
    result.error = "Cannot create file " + fileName;
  }
  return result;
}
