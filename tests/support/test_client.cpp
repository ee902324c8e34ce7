#include "tests/support/test_client.h"

std::string OneConnection(std::string_view tree, std::string_view source, std::string_view extra) {
  std::string text = "[test]\ntree = ";
  text.append(tree).append("\nsource = ").append(source).append("\n").append(extra);
  return text.append("primary = yes\n");
}

ClientConnections::ClientConnections(const TempFolder& folder, std::string_view connections) {
  Use(folder, connections);
}

std::string ClientConnections::Use(const TempFolder& folder, std::string_view connections) {
  client_.DirClientShutdown();
  const std::string path = folder.Write("connections.ini", connections).string();
  client_.DirClientUseConnectionsFile(path);
  return path;
}

TestClient::TestClient(const TempFolder& folder, std::string_view connections)
    : ClientConnections(folder, connections), code_(Start()) {}

LdifClient::LdifClient(const TempFolder& folder, std::string_view ldif, std::string_view tree,
                       std::string_view extra)
    : TestClient(
          folder,
          OneConnection(tree, folder.Write(std::string(tree) + ".ldif", ldif).string(), extra)) {}
