#include "directory/d_nw.h"

#include <cstdio>
#include <system_error>
#include <vector>

#include "util/hooks.h"
#include "util/text.h"

namespace {

constexpr size_t kTreeNameLength = 32;
constexpr std::string_view kRootContext = "[Root]";

// A typed name read back starts with its leaf's "CN="; callers get it without that one type.
std::string WithoutFirstCommonNameType(std::string text) {
  if (const size_t at = text.find("CN="); at != std::string::npos) {
    text.erase(at, 3);
  }
  return text;
}

std::string ReadTextKey(DirClient& client, DirContext context, int key) {
  std::string value;
  if (client.DirGetContextValue(context, key, value) != kDirOk) {
    return {};
  }
  return WithoutFirstCommonNameType(std::move(value));
}

// The code as unsigned 32-bit upper-case hexadecimal, at least four digits (-326: FFFFFEBA).
std::string HexCode(int32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "%.4X", static_cast<unsigned>(static_cast<uint32_t>(code)));
  return text;
}

// Opens the primary connection, or without one the first the client lists; the client's code.
uint16_t OpenFirstConnection(DirClient& client, DirConnectionHandle& opened) {
  DirConnectionRef reference = 0;
  uint16_t code = client.DirGetPrimaryConnection(reference);
  if (code != kDirConnectionOk) {
    uint32_t position = 0;
    code = client.DirScanConnections(position, reference);
  }
  if (code != kDirConnectionOk) {
    return code;
  }
  return client.DirOpenConnection(reference, 1, 0, opened);
}

}  // namespace

// Asked of the client each time rather than remembered: a connection kept here would outlive a
// shutdown of the client, or belong to another client.
DirConnectionHandle ClientConnection(DirClient& client) {
  DirConnectionHandle opened = kNoClientConnection;
  return OpenFirstConnection(client, opened) == kDirConnectionOk ? opened : kNoClientConnection;
}

uint16_t InitNetWare(DirClient& client, ErrorMessageSink& messages) {
  uint16_t code = client.DirClientInit(0, 0);
  if (code == kDirConnectionOk) {
    DirConnectionHandle opened = kNoClientConnection;
    code = OpenFirstConnection(client, opened);
  }
  // A client whose every connection failed to open runs on no tree; the caller says why.
  if (code == kDirNoMoreConnections && !client.DirClientUnopenedConnections().empty()) {
    return kDirConnectionOk;
  }
  if (code != kDirConnectionOk) {
    NWErrorBox(client, messages, code,
               code == kDirClientNotStarted ? "Could not initialize NetWare Client. InitNetWare"
                                            : "Could not find server/tree connection. InitNetWare");
  }
  return code;
}

std::string DSUnopenedConnectionsText(DirClient& client) {
  const std::vector<DirUnopenedConnection> unopened = client.DirClientUnopenedConnections();
  if (unopened.empty()) {
    return {};
  }
  std::string text = unopened.size() == 1
                         ? "A connection could not be opened; its tree is left out:"
                         : "Connections could not be opened; their trees are left out:";
  const DirUnopenedConnection* primary = nullptr;
  for (const DirUnopenedConnection& connection : unopened) {
    text += "\n" + connection.tree + ": " + connection.reason;
    if (connection.primary) {
      primary = &connection;
    }
  }
  if (primary != nullptr) {
    if (const std::string now = DSGetDefaultTree(client); !now.empty()) {
      text += "\nThe default tree is " + now + " instead of " + primary->tree + ".";
    }
  }
  return text;
}

std::string DSUnopenedTreeText(DirClient& client, std::string_view tree) {
  std::string text;
  for (const DirUnopenedConnection& connection : client.DirClientUnopenedConnections()) {
    if (SameTextAscii(connection.tree, tree)) {
      text += (text.empty() ? "" : "; ") + connection.reason;
    }
  }
  return text;
}

void ShowClientWarnings(DirClient& client, ErrorMessageSink& messages) {
  for (const std::string& warning : client.DirClientWarnings())
    messages.ShowError(warning);
}

std::string CleanTreeName(std::string_view reported) {
  std::string name(reported.substr(0, kTreeNameLength));
  while (!name.empty() && name.back() == '_') {
    name.pop_back();
  }
  return name;
}

void DSGetTreeNames(DirClient& client, TStringList& list) {
  uint32_t position = 0;
  DirConnectionRef reference = 0;
  while (client.DirScanConnections(position, reference) == kDirConnectionOk) {
    ProcessPendingMessages();
    std::string reported;
    if (client.DirGetConnectionInfo(reference, 4, 255, reported) != kDirConnectionOk) {
      reported.clear();
    }
    std::string tree = CleanTreeName(reported);
    if (!tree.empty() && list.IndexOf(tree) < 0) {
      list.Add(std::move(tree));
    }
  }
}

std::string DSGetDefaultTree(DirClient& client) {
  DirConnectionRef reference = 0;
  if (client.DirGetPrimaryConnection(reference) != kDirConnectionOk) {
    return {};
  }
  std::string reported;
  if (client.DirGetConnectionInfo(reference, 4, 255, reported) != kDirConnectionOk) {
    return {};
  }
  return CleanTreeName(reported);
}

int32_t DSSetContext(DirClient& client, DirContext context, std::string_view tree,
                     std::string_view nameContext) {
  if (!tree.empty() && !SameTextAscii(DSGetTreeName(client, context), tree)) {
    if (const int32_t code = client.DirSetContextValue(context, kDirKeyTreeName, std::string(tree));
        code != kDirOk) {
      return code;
    }
  }
  std::string name(nameContext);
  if (name.empty()) {
    if (client.DirGetDefaultNameContext(context, 256, name) != kDirOk || name.empty()) {
      name = kRootContext;
    }
  }
  if (!name.empty() && name.front() == '.') {
    name.erase(0, 1);
  }
  return client.DirSetContextValue(context, kDirKeyNameContext, name);
}

int32_t DSChangeCurrentTree(DirClient& client, DirContext context, std::string_view tree) {
  return DSSetContext(client, context, tree, "");
}

int32_t DSSetNameContext(DirClient& client, DirContext context, std::string_view name) {
  return DSSetContext(client, context, "", name);
}

int32_t DSSetRootContext(DirClient& client, DirContext context) {
  return DSSetNameContext(client, context, kRootContext);
}

std::string DSGetNameContext(DirClient& client, DirContext context) {
  return ReadTextKey(client, context, kDirKeyNameContext);
}

std::string DSGetTreeName(DirClient& client, DirContext context) {
  return ReadTextKey(client, context, kDirKeyTreeName);
}

void DSModifyContextFlags(DirClient& client, DirContext context, char sign, uint32_t mask) {
  uint32_t flags = 0;
  if (client.DirGetContextValue(context, kDirKeyFlags, flags) != kDirOk) {
    return;
  }
  if (sign == '+') {
    flags |= mask;
  } else if (sign == '-') {
    flags &= ~mask;
  }
  static_cast<void>(client.DirSetContextValue(context, kDirKeyFlags, flags));
}

std::string DSWhoAmI(DirClient& client, DirContext context) {
  std::string name;
  if (client.DirWhoAmI(context, name) != kDirOk) {
    return {};
  }
  return name;
}

std::string NWErrorText(DirClient& client, int32_t code) {
  std::string detail = client.NWstrerror(code);
  if (detail == "Unknown error") {
    detail = std::system_category().message(code);
  }
  return "0x" + HexCode(code) + " (" + detail + ")";
}

void NWErrorBox(DirClient& client, ErrorMessageSink& messages, int32_t code,
                std::string_view what) {
  if (code == 0) {
    return;
  }
  messages.ShowError(std::string(what) + " returned error " + NWErrorText(client, code));
}

void ErrorBox(ErrorMessageSink& messages, int32_t code, std::string_view what) {
  if (code == 0) {
    return;
  }
  messages.ShowError("Error " + HexCode(code) + ": " + std::string(what));
}
