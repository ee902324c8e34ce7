// The orvane-export program: its directory client, the command line and the standard streams
// handed to RunExport.
#include <iostream>
#include <string>
#include <vector>

#include "cli/export_command.h"
#include "directory/client/dir_session.h"
#include "util/secrets.h"

int main(int argc, char** argv) {
  // A core file would hold a password typed at the prompt; a refusal changes nothing else.
  static_cast<void>(DisableCoreFiles());
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) {
    arguments.emplace_back(argv[i]);
  }
  DirSession session;
  return RunExport(session, arguments, std::cout, std::cerr);
}
