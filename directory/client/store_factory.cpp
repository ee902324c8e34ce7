#include "directory/client/store_factory.h"

#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string_view>
#include <utility>

#include "directory/client/connection_probe.h"
#include "directory/client/connections.h"
#include "directory/client/ldap_store.h"
#include "directory/client/memory_store.h"
#include "directory/client/name_resolver.h"
#include "directory/client/sample_tree.h"
#include "util/atomic_file.h"
#include "util/secrets.h"

namespace {

// The values of "# orvane-<key>: value" comment lines at the top of an LDIF text.
std::map<std::string, std::string> HeaderValues(std::string_view text) {
  std::map<std::string, std::string> values;
  size_t start = 0;
  while (start < text.size() && text[start] == '#') {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos)
      end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    constexpr std::string_view kPrefix = "# orvane-";
    if (line.starts_with(kPrefix)) {
      line.remove_prefix(kPrefix.size());
      const size_t colon = line.find(':');
      if (colon != std::string_view::npos) {
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && value.front() == ' ')
          value.remove_prefix(1);
        while (!value.empty() && value.back() == ' ')
          value.remove_suffix(1);
        values[FoldCase(line.substr(0, colon))] = std::string(value);
      }
    }
    start = end + 1;
  }
  return values;
}

std::optional<StartupFailure> OpenSample(std::shared_ptr<Store>& sampleStore,
                                         DirConnection& connection,
                                         const ConnectionConfig* config) {
  const std::string_view text = EmbeddedSampleTree();
  if (!sampleStore) {
    std::string error;
    auto store = MemoryStore::LoadText(std::string(text), "built-in sample tree", error);
    if (!store)
      return StartupFailure{kDirSourceUnreadable, error};
    sampleStore = std::move(store);
  }
  const auto header = HeaderValues(text);
  const auto value = [&](const char* key) {
    const auto found = header.find(key);
    return found == header.end() ? std::string() : found->second;
  };
  connection.store = sampleStore;
  connection.tree = value("tree").empty() ? "SAMPLE_TREE" : value("tree");
  if (const auto context = ParseLdapDn(value("context")))
    connection.context = *context;
  if (!value("user").empty()) {
    if (const auto user = ParseLdapDn(value("user")))
      connection.user = *user;
  }
  if (config != nullptr) {
    connection.tree = config->tree;
    if (config->hasContext) {
      const auto context = ResolveComplete(*connection.store, config->context);
      connection.context = context.value_or(DirName());
    }
    if (config->hasUser) {
      connection.user = ResolveComplete(*connection.store, config->user);
    }
  }
  return std::nullopt;
}

std::string LoginKey(const ConnectionConfig& config) {
  return config.source + '\n' + config.bind + '\n' + (config.startTls ? "tls" : "") + '\n' +
         config.caFile + '\n' + (config.verify ? "verify" : "");
}

std::optional<StartupFailure> OpenLdap(const ConnectionConfig& config,
                                       const DirPasswordProvider& passwords, const KeptLogins& kept,
                                       DirConnection& connection, KeptLogins& logins) {
  std::string error;
  auto found = LdapSettingsFor(config, error);
  if (!found)
    return StartupFailure{kDirConfigMalformed, error};
  LdapSettings settings = std::move(*found);
  // Without a password file a bind asks for the password, again for as long as it is refused.
  const bool asks = config.passwordFile.empty() && !config.bind.empty();
  DirPasswordRequest request{config.tree, config.bind, config.source, 1, ""};
  int32_t code = kDirOk;
  std::unique_ptr<LdapStore> store;
  // A login the client made before its restart binds again without asking.
  const auto keptLogin = asks ? kept.find(LoginKey(config)) : kept.end();
  if (keptLogin != kept.end()) {
    settings.password = keptLogin->second;
    store = LdapStore::Connect(settings, error, code);
    if (!store && code != kDirFailedAuthentication)
      return StartupFailure{kDirSourceUnreadable, error};
  }
  while (!store) {
    if (asks) {
      DirPasswordAnswer answer;
      if (passwords)
        answer = passwords(request);
      else
        answer.failure = "bind " + config.bind + " has no password-file to take its password from";
      if (!answer.password && answer.failure.empty())
        return std::nullopt;  // declined: this connection stays closed, start-up goes on
      if (!answer.password)
        return StartupFailure{kDirSourceUnreadable, answer.failure};
      if (answer.password->empty()) {
        // A DN with an empty password would be an unauthenticated bind, never a login.
        ++request.attempt;
        request.previousError = "The password is empty.";
        continue;
      }
      // A refused password is not left behind in memory the next one does not reuse.
      WipeText(settings.password);
      settings.password = std::move(*answer.password);
      WipeText(*answer.password);
    }
    store = LdapStore::Connect(settings, error, code);
    if (store || !asks || code != kDirFailedAuthentication)
      break;
    ++request.attempt;
    request.previousError = error;
  }
  if (!store) {
    // libldap says no more than "Connect error" for a server that is not there; the system
    // tells a refused connection from a name that does not resolve. The connection has waited
    // its time-out already, so this look waits a moment only.
    if (code == kDirUnreachableServer) {
      if (const auto why = WhyServersUnreachable(config.source, config.timeout, 2))
        error += " (" + *why + ")";
    }
    return StartupFailure{kDirSourceUnreadable, error};
  }
  if (asks)
    logins[LoginKey(config)] = settings.password;
  connection.tree = config.tree;
  connection.context = ResolveComplete(*store, config.context).value_or(DirName());
  if (config.hasUser) {
    if (!config.user.empty())
      connection.user = ResolveComplete(*store, config.user);
  } else if (DirName self; store->WhoAmI(self) == kDirOk) {
    connection.user = std::move(self);
  }
  connection.store = std::move(store);
  return std::nullopt;
}

std::optional<StartupFailure> StartFromFile(const std::string& path, const std::string& text,
                                            const DirPasswordProvider& passwords,
                                            const KeptLogins& kept, OpenedConnections& opened) {
  std::string error;
  const auto configs = ParseConnectionsFile(text, path, error);
  if (!configs)
    return StartupFailure{kDirConfigMalformed, error};
  std::shared_ptr<Store> sampleStore;
  // A file read with its URL values is not handed to a connection that does not read them.
  std::map<std::pair<std::string, bool>, std::shared_ptr<Store>> loaded;
  for (const ConnectionConfig& config : *configs) {
    DirConnection connection;
    const std::string where = " (connection [" + config.section + "] in " + path + " line " +
                              std::to_string(config.line) + ")";
    // One connection that cannot be opened costs its own tree, not every tree.
    const auto leaveOut = [&](const std::string& reason) {
      opened.unopened.push_back({config.tree, reason + where, config.primary});
    };
    const SourceKind kind = SourceKindOf(config.source);
    if (kind == SourceKind::kSample) {
      if (auto failure = OpenSample(sampleStore, connection, &config)) {
        failure->text += where;
        return failure;
      }
    } else if (kind == SourceKind::kLdap || kind == SourceKind::kLdaps) {
      if (auto failure = OpenLdap(config, passwords, kept, connection, opened.logins)) {
        if (failure->code != kDirSourceUnreadable) {
          failure->text += where;
          return failure;
        }
        leaveOut(failure->text);
        continue;
      }
      if (!connection.store)
        continue;
    } else if (kind == SourceKind::kUnknownAddress) {
      return StartupFailure{kDirSourceUnknown, path + " line " + std::to_string(config.line) +
                                                   ": source " + config.source +
                                                   " is of an unknown kind"};
    } else {
      auto& store = loaded[{config.source, config.fileUrls}];
      if (!store) {
        auto memory = MemoryStore::LoadFile(
            config.source, error, config.fileUrls ? LdifUrls::kReadFiles : LdifUrls::kRefuse);
        if (!memory) {
          leaveOut(error);
          continue;
        }
        if (!memory->LoadWarning().empty())
          opened.warnings.push_back(memory->LoadWarning());
        store = std::move(memory);
      }
      connection.store = store;
      connection.tree = config.tree;
      connection.context = ResolveComplete(*store, config.context).value_or(DirName());
      if (config.hasUser && !config.user.empty())
        connection.user = ResolveComplete(*store, config.user);
    }
    if (config.primary)
      opened.primary = opened.connections.size();
    opened.connections.push_back(std::move(connection));
  }
  const bool primaryLost = std::any_of(opened.unopened.begin(), opened.unopened.end(),
                                       [](const DirUnopenedConnection& c) { return c.primary; });
  if (primaryLost && !opened.connections.empty())
    opened.primary = 0;
  return std::nullopt;
}

}  // namespace

std::optional<StartupFailure> OpenConnections(const std::string& path, bool sampleWithoutFile,
                                              const DirPasswordProvider& passwords,
                                              OpenedConnections& opened, const KeptLogins& kept) {
  std::string text;
  if (const FileResult read = ReadRegularFile(path, text); !read.Succeeded()) {
    if (read.missing && sampleWithoutFile) {
      std::shared_ptr<Store> sampleStore;
      DirConnection connection;
      if (auto failure = OpenSample(sampleStore, connection, nullptr))
        return failure;
      opened.connections.push_back(std::move(connection));
      opened.primary = 0;
      return std::nullopt;
    }
    return StartupFailure{kDirConfigMalformed, path + ": cannot be read (" + read.reason + ")"};
  }
  return StartFromFile(path, text, passwords, kept, opened);
}
