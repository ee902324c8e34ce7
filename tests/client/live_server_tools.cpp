#include "tests/client/live_server_tools.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace live_server {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

std::string DefinitionName(const std::string& definition) {
  const size_t name = definition.find("NAME");
  if (name == std::string::npos)
    return std::string();
  const size_t open = definition.find('\'', name);
  const size_t close = definition.find('\'', open + 1);
  if (open == std::string::npos || close == std::string::npos)
    return std::string();
  return Lower(definition.substr(open + 1, close - open - 1));
}

std::set<std::string> DefinedNames(const std::string& schema) {
  std::set<std::string> names;
  std::istringstream lines(schema);
  for (std::string line; std::getline(lines, line);) {
    size_t at = line.find(" NAME ");
    if (at == std::string::npos)
      continue;
    at = line.find_first_not_of(' ', at + 6);
    if (at == std::string::npos)
      continue;
    const bool list = line[at] == '(';
    const size_t end = list ? line.find(')', at) : line.find('\'', line.find('\'', at) + 1);
    for (size_t open = line.find('\'', at); open != std::string::npos && open < end;) {
      const size_t close = line.find('\'', open + 1);
      if (close == std::string::npos)
        break;
      names.insert(Lower(line.substr(open + 1, close - open - 1)));
      open = line.find('\'', close + 1);
    }
  }
  return names;
}

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

bool Accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

pid_t Spawn(const std::vector<std::string>& arguments, const std::string& log) {
  const pid_t pid = fork();
  if (pid != 0)
    return pid;
  const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  if (out >= 0) {
    dup2(out, 1);
    dup2(out, 2);
  }
  std::vector<char*> argv;
  for (const std::string& a : arguments)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

int Run(const std::vector<std::string>& arguments, const std::string& log) {
  const pid_t pid = Spawn(arguments, log);
  if (pid < 0)
    return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
    return -1;
  return WEXITSTATUS(status);
}

Started AwaitListening(pid_t pid, const std::vector<int>& ports, std::chrono::seconds within) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid)
      return Started::kEnded;
    if (std::all_of(ports.begin(), ports.end(), [](int port) { return Accepts(port); }))
      return Started::kListening;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return Started::kTimedOut;
}

Converted Convert(const std::string& source, std::string schema,
                  const std::set<std::string>& builtIn) {
  std::vector<std::string> lines;
  std::istringstream in(source);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    if (!line.empty() && line[0] == ' ' && !lines.empty() && !lines.back().empty()) {
      lines.back() += line.substr(1);
    } else {
      lines.push_back(line);
    }
  }
  std::set<std::string> known = builtIn;
  const std::set<std::string> fromFile = DefinedNames(schema);
  known.insert(fromFile.begin(), fromFile.end());
  std::vector<std::string> added;
  std::map<std::string, std::pair<std::string, bool>> attributes;  // folded -> spelling, base64
  std::map<std::string, std::string> classes;                      // folded -> spelling
  Converted out;
  bool inSchema = false;
  bool inRecord = false;
  for (const std::string& line : lines) {
    if (line.empty()) {
      if (!inSchema)
        out.ldif += "\n";
      inSchema = false;
      inRecord = false;
      continue;
    }
    // The version line stands before the first record; inside one, version is an attribute.
    if (line[0] == '#' || (!inRecord && Lower(line).starts_with("version:")))
      continue;
    const size_t colon = line.find(':');
    if (colon == std::string::npos)
      continue;
    const std::string spelling = line.substr(0, colon);
    const std::string attribute = Lower(spelling);
    std::string value = line.substr(colon + 1);
    const bool base64 = !value.empty() && value[0] == ':';
    value = value.substr(value.find_first_not_of(": ") == std::string::npos
                             ? value.size()
                             : value.find_first_not_of(": "));
    if (attribute == "dn") {
      inRecord = true;
      inSchema = Lower(value) == "cn=schema" || Lower(value) == "cn=subschema";
      if (inSchema)
        continue;
    }
    if (inSchema) {
      const bool isType = attribute == "attributetypes";
      if (!isType && attribute != "objectclasses")
        continue;
      const std::string name = DefinitionName(value);
      // The record's definition replaces the file's.
      std::istringstream kept(schema);
      std::string rest;
      for (std::string definition; std::getline(kept, definition);) {
        if (DefinitionName(definition) != name)
          rest += definition + "\n";
      }
      schema = rest;
      added.push_back(std::string(isType ? "attributetype " : "objectclass ") + value);
      known.insert(name);
      continue;
    }
    out.ldif += line + "\n";
    if (attribute == "dn")
      continue;
    if (attribute == "objectclass") {
      classes.emplace(Lower(value), value);
    } else {
      auto& [name, binary] = attributes[attribute];
      if (name.empty())
        name = spelling;
      binary = binary || base64;
    }
  }
  int next = 1;
  for (const auto& [folded, declaration] : attributes) {
    const auto& [name, binary] = declaration;
    if (known.contains(folded))
      continue;
    added.push_back("attributetype ( 1.3.6.1.4.1.4203.666.11.77.9." + std::to_string(next++) +
                    " NAME '" + name + "' " +
                    (binary ? "EQUALITY octetStringMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.40"
                            : "EQUALITY caseIgnoreMatch SUBSTR caseIgnoreSubstringsMatch SYNTAX "
                              "1.3.6.1.4.1.1466.115.121.1.15") +
                    " )");
  }
  for (const auto& [folded, name] : classes) {
    if (known.contains(folded))
      continue;
    added.push_back("objectclass ( 1.3.6.1.4.1.4203.666.11.77.9." + std::to_string(next++) +
                    " NAME '" + name + "' SUP top AUXILIARY )");
  }
  out.schema = schema;
  for (const std::string& definition : added)
    out.schema += definition + "\n";
  return out;
}

}  // namespace live_server
