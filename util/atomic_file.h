#pragma once
// Replacing a file as a whole: the new content goes to a temporary file in the same folder, is
// flushed to disk, and is then renamed over the target. A failed write, or a crash midway,
// leaves the old file intact. The settings file and the saved install document both go through
// here.
#include <filesystem>
#include <functional>
#include <string_view>

// Writes `bytes` to the open file `fd`; true when every byte was written. Replaceable so a test
// can make the write fail (or stop the process) half-way through.
using ContentWriter = std::function<bool(int fd, std::string_view bytes)>;

// Replaces `path` with `bytes` (its folder must exist). A replaced file keeps its
// permissions, a new one gets what the umask allows; a symbolic link is followed and its target
// replaced. A target that is a folder, or an existing file the user may not write, is refused.
// False when any step fails; the temporary file is then removed and the target is as it was.
// An empty `writer` writes all bytes.
[[nodiscard]] bool ReplaceFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                                         const ContentWriter& writer = {});
