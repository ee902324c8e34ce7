#pragma once
// Whole files, read and replaced. A replacement writes the new content to a temporary file in the
// same folder, flushes it to disk and renames it over the target, so a failed write, or a crash
// midway, leaves the old file intact. Only regular files are read or replaced: a device, FIFO or
// folder in the target's place is refused, never read from or turned into a file. The settings
// file and the saved install document both go through here.
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "util/unique_fd.h"

// Writes `bytes` to the open file `fd`; true when every byte was written. Replaceable so a test
// can make the write fail (or stop the process) half-way through; a failing writer may leave its
// reason in errno.
using ContentWriter = std::function<bool(int fd, std::string_view bytes)>;

// Writes every byte of `bytes` to `fd`, a short or interrupted write continued; false, errno
// telling why, when one fails.
[[nodiscard]] bool WriteAll(int fd, std::string_view bytes);

// Why a file was not read or replaced: the system's text for the error ("Permission denied",
// "Is a directory") or "Not a regular file". Empty when it succeeded.
enum class FileKind { kRegular, kDirectory, kFifo, kDevice, kSocket, kOther };
struct FileResult {
  std::string reason;
  bool missing = false;                // a read found no file by that name (the reason says so too)
  int error = 0;                       // the system's error number; 0 when only the kind was wrong
  FileKind kind = FileKind::kRegular;  // what was found there, when it could be seen
  [[nodiscard]] bool Succeeded() const { return reason.empty(); }
};

// Opens `path`, a symbolic link followed, for reading into `file`, its size in `size`. Anything
// but a regular file is refused without being opened, so a FIFO cannot make the open wait; one
// put in its place between the look and the open is refused too.
[[nodiscard]] FileResult OpenRegularFile(const std::filesystem::path& path, UniqueFd& file,
                                         size_t& size);

// Reads the whole of `path`, a symbolic link followed, into `text` (empty on failure). Anything
// but a regular file is refused without being opened, so a FIFO cannot make the read wait.
[[nodiscard]] FileResult ReadRegularFile(const std::filesystem::path& path, std::string& text);

// Replaces `path` with `bytes` (its folder must exist). A replaced file keeps its permissions, a
// new one gets what the umask allows; a symbolic link is followed and its target replaced. A
// target that exists and is not a regular file, or that the user may not write, is refused. On
// failure the temporary file is removed and the target is as it was; only a process killed
// between the temporary file's creation and the rename leaves it behind (".<name>.XXXXXX").
// An empty `writer` writes all bytes.
[[nodiscard]] FileResult ReplaceFileAtomically(const std::filesystem::path& path,
                                               std::string_view bytes,
                                               const ContentWriter& writer = {});
