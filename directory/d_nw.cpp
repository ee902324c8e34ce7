#include "directory/d_nw.h"

#include <cstdio>
#include <system_error>
#include <vector>

#include "util/hooks.h"
#include "util/text.h"

namespace {

DirConnectionHandle clientConnection = kNoClientConnection;
// The client's generation the connection was opened in: a shutdown since ends it.
uint64_t clientGeneration = 0;

constexpr size_t kTreeNameLength = 32;
constexpr std::string_view kRootContext = "[Root]";

// A typed name read back starts with its leaf's "CN="; callers get it without that one type.
std::string WithoutFirstCommonNameType(std::string text) {
  if (const size_t at = text.find("CN="); at != std::string::npos) {
    text.erase(at, 3);
  }
  return text;
}

std::string ReadTextKey(DirContext context, int key) {
  std::string value;
  if (DirGetContextValue(context, key, value) != kDirOk) {
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

}  // namespace

DirConnectionHandle ClientConnection() {
  return clientGeneration == DirClientGeneration() ? clientConnection : kNoClientConnection;
}

uint16_t InitNetWare(ErrorMessageSink& messages) {
  if (ClientConnection() != kNoClientConnection) {
    return 0;
  }
  uint16_t code = DirClientInit(0, 0);
  if (code == kDirConnectionOk) {
    DirConnectionRef reference = 0;
    code = DirGetPrimaryConnection(reference);
    if (code != kDirConnectionOk) {
      uint32_t position = 0;
      code = DirScanConnections(position, reference);
    }
    if (code == kDirConnectionOk) {
      // Kept only when opened: a failed open must not look like an open connection next time.
      DirConnectionHandle opened = kNoClientConnection;
      code = DirOpenConnection(reference, 1, 0, opened);
      if (code == kDirConnectionOk) {
        clientConnection = opened;
        clientGeneration = DirClientGeneration();
      }
    }
  }
  // A client whose every connection failed to open runs on no tree; the caller says why.
  if (code == kDirNoMoreConnections && !DirClientUnopenedConnections().empty()) {
    return kDirConnectionOk;
  }
  if (code != kDirConnectionOk) {
    NWErrorBox(messages, code,
               code == kDirClientNotStarted ? "Could not initialize NetWare Client. InitNetWare"
                                            : "Could not find server/tree connection. InitNetWare");
  }
  return code;
}

std::string DSUnopenedConnectionsText() {
  const std::vector<DirUnopenedConnection> unopened = DirClientUnopenedConnections();
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
    if (const std::string now = DSGetDefaultTree(); !now.empty()) {
      text += "\nThe default tree is " + now + " instead of " + primary->tree + ".";
    }
  }
  return text;
}

std::string DSUnopenedTreeText(std::string_view tree) {
  std::string text;
  for (const DirUnopenedConnection& connection : DirClientUnopenedConnections()) {
    if (SameTextAscii(connection.tree, tree)) {
      text += (text.empty() ? "" : "; ") + connection.reason;
    }
  }
  return text;
}

void ShowClientWarnings(ErrorMessageSink& messages) {
  for (const std::string& warning : DirClientWarnings())
    messages.ShowError(warning);
}

std::string CleanTreeName(std::string_view reported) {
  std::string name(reported.substr(0, kTreeNameLength));
  while (!name.empty() && name.back() == '_') {
    name.pop_back();
  }
  return name;
}

void DSGetTreeNames(TStringList& list) {
  uint32_t position = 0;
  DirConnectionRef reference = 0;
  while (DirScanConnections(position, reference) == kDirConnectionOk) {
    ProcessPendingMessages();
    std::string reported;
    if (DirGetConnectionInfo(reference, 4, 255, reported) != kDirConnectionOk) {
      reported.clear();
    }
    std::string tree = CleanTreeName(reported);
    if (!tree.empty() && list.IndexOf(tree) < 0) {
      list.Add(std::move(tree));
    }
  }
}

std::string DSGetDefaultTree() {
  DirConnectionRef reference = 0;
  if (DirGetPrimaryConnection(reference) != kDirConnectionOk) {
    return {};
  }
  std::string reported;
  if (DirGetConnectionInfo(reference, 4, 255, reported) != kDirConnectionOk) {
    return {};
  }
  return CleanTreeName(reported);
}

int32_t DSSetContext(DirContext context, std::string_view tree, std::string_view nameContext) {
  if (!tree.empty() && !SameTextAscii(DSGetTreeName(context), tree)) {
    if (const int32_t code = DirSetContextValue(context, kDirKeyTreeName, std::string(tree));
        code != kDirOk) {
      return code;
    }
  }
  std::string name(nameContext);
  if (name.empty()) {
    if (DirGetDefaultNameContext(context, 256, name) != kDirOk || name.empty()) {
      name = kRootContext;
    }
  }
  if (!name.empty() && name.front() == '.') {
    name.erase(0, 1);
  }
  return DirSetContextValue(context, kDirKeyNameContext, name);
}

int32_t DSChangeCurrentTree(DirContext context, std::string_view tree) {
  return DSSetContext(context, tree, "");
}

int32_t DSSetNameContext(DirContext context, std::string_view name) {
  return DSSetContext(context, "", name);
}

int32_t DSSetRootContext(DirContext context) {
  return DSSetNameContext(context, kRootContext);
}

std::string DSGetNameContext(DirContext context) {
  return ReadTextKey(context, kDirKeyNameContext);
}

std::string DSGetTreeName(DirContext context) {
  return ReadTextKey(context, kDirKeyTreeName);
}

void DSModifyContextFlags(DirContext context, char sign, uint32_t mask) {
  uint32_t flags = 0;
  if (DirGetContextValue(context, kDirKeyFlags, flags) != kDirOk) {
    return;
  }
  if (sign == '+') {
    flags |= mask;
  } else if (sign == '-') {
    flags &= ~mask;
  }
  static_cast<void>(DirSetContextValue(context, kDirKeyFlags, flags));
}

std::string DSWhoAmI(DirContext context) {
  std::string name;
  if (DirWhoAmI(context, name) != kDirOk) {
    return {};
  }
  return name;
}

std::string NWErrorText(int32_t code) {
  std::string detail = NWstrerror(code);
  if (detail == "Unknown error") {
    detail = std::system_category().message(code);
  }
  return "0x" + HexCode(code) + " (" + detail + ")";
}

void NWErrorBox(ErrorMessageSink& messages, int32_t code, std::string_view what) {
  if (code == 0) {
    return;
  }
  messages.ShowError(std::string(what) + " returned error " + NWErrorText(code));
}

void ErrorBox(ErrorMessageSink& messages, int32_t code, std::string_view what) {
  if (code == 0) {
    return;
  }
  messages.ShowError("Error " + HexCode(code) + ": " + std::string(what));
}
