#pragma once
// What the throw-away directory servers of the tests share: running a program with its output in
// a log, free ports on 127.0.0.1 and waiting for one to accept, and the fixture LDIF in the form a
// server loads, with the schema definitions its tree needs.
#include <chrono>
#include <set>
#include <string>
#include <vector>

namespace live_server {

std::string ReadAll(const std::string& path);
std::string Lower(std::string text);
void ReplaceAll(std::string& text, const std::string& from, const std::string& to);
// The NAME of a schema definition (the first one when there are several), folded.
std::string DefinitionName(const std::string& definition);
// Every NAME of every definition in `schema` (one definition a line), folded.
std::set<std::string> DefinedNames(const std::string& schema);
// A port on 127.0.0.1 that was free a moment ago; 0 when none could be found.
int FreePort();
// Whether something accepts a connection on `port` of 127.0.0.1.
bool Accepts(int port);
// Starts a program with its output in `log`, not waiting for it; its process id, or -1.
pid_t Spawn(const std::vector<std::string>& arguments, const std::string& log);
// Runs a program with its output in `log`; its exit status, or -1 when it could not run.
int Run(const std::vector<std::string>& arguments, const std::string& log);
// Waits until the server `pid` accepts connections on every port of `ports`, for at most
// `within`. kEnded when the process ended first (it is reaped).
enum class Started { kListening, kEnded, kTimedOut };
Started AwaitListening(pid_t pid, const std::vector<int>& ports, std::chrono::seconds within);

// The LDIF as slapadd takes it (unfolded, no version line, no schema record) and the schema
// the tree needs beyond the directory's own: the schema record's definitions, replacing the
// ones of the same name, and declarations of attributes and classes the tree uses unannounced
// (text attributes as Directory String, base64 ones as Octet String, classes as auxiliary).
struct Converted {
  std::string ldif;
  std::string schema;
};

// `builtIn` holds the folded names the server defines itself, which need no declaration.
Converted Convert(const std::string& source, std::string schema,
                  const std::set<std::string>& builtIn);

}  // namespace live_server
