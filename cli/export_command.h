#pragma once
// orvane-export, the window's export without a window: reads the command line, starts the
// directory client, fills and marks the five item lists as the export pages do and writes the
// install document, or the lists, to a stream or a file. The streams are passed in.
#include <iosfwd>
#include <string>
#include <vector>

#include "directory/client/dir_client.h"

// Exit statuses.
inline constexpr int kExportDone = 0;
inline constexpr int kExportFailed = 1;  // the directory, or the output, failed
inline constexpr int kExportUsageError = 2;

// Runs orvane-export with `arguments` (the program name not among them). The document or the
// lists go to `out` unless "-o" names a file; every message goes to `err`. Nothing reaches `out`
// or the file unless the whole export succeeded. Has `client` for its run: starts it (on the
// connections file of "--connections", with the tool's password sources) and shuts it down again,
// choice and password provider undone, so that runs on one client are independent.
[[nodiscard]] int RunExport(DirClient& client, const std::vector<std::string>& arguments,
                            std::ostream& out, std::ostream& err);
