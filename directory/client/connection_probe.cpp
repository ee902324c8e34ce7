#include "directory/client/connection_probe.h"

#include <ldap.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include <cerrno>
#include <cstring>

#include "directory/client/dir_client.h"
#include "directory/client/ldap_store.h"
#include "directory/client/memory_store.h"
#include "directory/client/sample_tree.h"
#include "util/unique_fd.h"

namespace {

std::string Entries(size_t count) {
  return std::to_string(count) + (count == 1 ? " entry" : " entries");
}

// The system's reason why nothing answers at the address's host and port: a name that does not
// resolve, a refused connection, no answer within `timeoutSeconds` (waited for `waitSeconds`);
// nullopt when a connection can be made.
std::optional<std::string> WhyUnreachable(const std::string& uri, int timeoutSeconds,
                                          int waitSeconds) {
  LDAPURLDesc* parsed = nullptr;
  if (ldap_url_parse(uri.c_str(), &parsed) != LDAP_URL_SUCCESS)
    return "not an LDAP address";
  const std::unique_ptr<LDAPURLDesc, decltype(&ldap_free_urldesc)> owner(parsed, ldap_free_urldesc);
  const std::string host =
      parsed->lud_host != nullptr && *parsed->lud_host != '\0' ? parsed->lud_host : "localhost";
  const std::string port =
      std::to_string(parsed->lud_port != 0 ? parsed->lud_port
                                           : (SourceKindOf(uri) == SourceKind::kLdaps
                                                  ? ConnectionDefaults::kLdapsPort
                                                  : ConnectionDefaults::kLdapPort));
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0)
    return host + ": " + gai_strerror(rc);
  const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(found, freeaddrinfo);
  std::string reason = "no address";
  for (const addrinfo* at = found; at != nullptr; at = at->ai_next) {
    UniqueFd fd(socket(at->ai_family, at->ai_socktype | SOCK_NONBLOCK, at->ai_protocol));
    if (!fd.IsOpen())
      continue;
    int error = 0;
    if (connect(fd.Get(), at->ai_addr, at->ai_addrlen) != 0) {
      error = errno;
      if (error == EINPROGRESS) {
        pollfd wait{fd.Get(), POLLOUT, 0};
        const int ready = poll(&wait, 1, std::max(1, waitSeconds) * 1000);
        socklen_t size = sizeof error;
        if (ready == 0) {
          error = ETIMEDOUT;
        } else if (ready < 0 || getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
          error = errno;
        }
      }
    }
    fd.Reset();
    if (error == 0)
      return std::nullopt;
    reason = error == ETIMEDOUT ? "no answer within " + std::to_string(timeoutSeconds) + " s"
                                : std::strerror(error);
  }
  return host + " port " + port + ": " + reason;
}

}  // namespace

std::optional<std::string> WhyServersUnreachable(const std::string& source, int timeoutSeconds,
                                                 int waitSeconds) {
  std::string reasons;
  size_t start = 0;
  while ((start = source.find_first_not_of(' ', start)) != std::string::npos) {
    const size_t end = std::min(source.find(' ', start), source.size());
    const auto reason = WhyUnreachable(source.substr(start, end - start), timeoutSeconds,
                                       std::min(timeoutSeconds, waitSeconds));
    if (!reason)
      return std::nullopt;
    reasons += (reasons.empty() ? "" : "; ") + *reason;
    start = end;
  }
  if (reasons.empty())
    return "no server named";
  return reasons;
}

namespace {

ProbeResult ProbeServer(const ConnectionConfig& config,
                        const std::optional<std::string>& password) {
  std::string error;
  auto found = LdapSettingsFor(config, error);
  if (!found)
    return {false, error};
  LdapSettings settings = std::move(*found);
  if (config.passwordFile.empty() && !config.bind.empty()) {
    if (!password || password->empty()) {
      return {false, "Binding as " + config.bind +
                         " needs a password: type it for the test, or name a password file."};
    }
    settings.password = *password;
  }
  int32_t code = 0;
  const auto store = LdapStore::Connect(settings, error, code);
  if (!store) {
    std::string text = error + ".";
    if (code != kDirUnreachableServer)
      return {false, text};
    // A refused certificate is named by the store, in the TLS library's words.
    if (const auto refused = WhyServersUnreachable(config.source, config.timeout, config.timeout)) {
      text += " The server cannot be reached: " + *refused + ".";
    }
    return {false, text};
  }
  const std::string server = store->ServerInUse();
  std::string text = "Connected to " + server;
  if (SourceServers(config.source).size() > 1)
    text += " (of the servers " + config.source + ")";
  text += server.starts_with("ldaps://") ? " over TLS"
          : config.startTls              ? " with StartTLS"
                                         : " without encryption";
  if (config.startTls || server.starts_with("ldaps://"))
    text += config.verify ? " (certificate verified)" : " (certificate not checked)";
  if (DirName self; store->WhoAmI(self) == kDirOk) {
    text += "; the server knows you as " + LdapDnText(self) + ".";
  } else {
    text += config.bind.empty() ? "; bound anonymously." : "; bound as " + config.bind + ".";
  }
  return {true, text};
}

}  // namespace

ProbeResult ProbeConnection(const ConnectionConfig& config,
                            const std::optional<std::string>& password) {
  std::string error;
  const SourceKind kind = SourceKindOf(config.source);
  if (kind == SourceKind::kSample) {
    const auto store =
        MemoryStore::LoadText(std::string(EmbeddedSampleTree()), "built-in sample tree", error);
    if (!store)
      return {false, error};
    return {true, "The built-in sample tree holds " + Entries(store->EntryCount()) + "."};
  }
  if (kind == SourceKind::kLdap || kind == SourceKind::kLdaps)
    return ProbeServer(config, password);
  if (kind == SourceKind::kUnknownAddress) {
    return {false, "The source " + config.source +
                       " is of an unknown kind: give an LDIF file, sample, ldap:// or ldaps://."};
  }
  const auto store = MemoryStore::LoadFile(
      config.source, error, config.fileUrls ? LdifUrls::kReadFiles : LdifUrls::kRefuse);
  if (!store)
    return {false, error};
  return {true, "Read " + Entries(store->EntryCount()) + " from " + config.source + "."};
}
