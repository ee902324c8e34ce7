#pragma once
// A throw-away OpenLDAP server for the live-store tests and benchmarks: slapd on 127.0.0.1 at a
// free port, in a temporary folder, back_mdb, the directory's schema (tests/data/ldap), loaded
// from an LDIF file of the client's forms with slapadd. Stopped and removed on destruction.
#include <sys/types.h>

#include <string>

class SlapdServer {
 public:
  static constexpr const char* kManagerDn = "cn=Manager";
  static constexpr const char* kManagerPassword = "secret";

  // Loads `ldifPath` and starts the server; Error() tells why when Running() is false.
  // `sizeLimit` is the server's limit on one unpaged answer. With `tls`, the server gets a
  // certificate for 127.0.0.1 (CaFile() trusts it), offers StartTLS and listens on LdapsUri().
  // `suffix` is the one naming context (empty: the whole tree below the root); the manager is
  // cn=Manager directly below it. `pagedLimit` bounds all pages of one search together
  // (0: unbounded).
  explicit SlapdServer(const std::string& ldifPath, int sizeLimit = 3, bool tls = false,
                       const std::string& suffix = "", int pagedLimit = 0);
  ~SlapdServer();
  SlapdServer(const SlapdServer&) = delete;
  SlapdServer& operator=(const SlapdServer&) = delete;

  [[nodiscard]] bool Running() const { return pid_ > 0; }
  [[nodiscard]] const std::string& Error() const { return error_; }
  [[nodiscard]] std::string Uri() const;
  [[nodiscard]] std::string LdapsUri() const;
  [[nodiscard]] std::string CaFile() const { return folder_ + "/server.pem"; }
  [[nodiscard]] const std::string& Folder() const { return folder_; }

  // Starts the server again on the same port and data; false, with Error(), when it fails.
  bool Start();
  // Ends the server process (it answers nothing afterwards).
  void Stop();
  // Freezes and thaws the server process: connections stay open but nothing is answered.
  void Pause();
  void Resume();

 private:
  bool Prepare(const std::string& ldifPath, int sizeLimit, bool tls, const std::string& suffix,
               int pagedLimit);

  std::string folder_;
  std::string error_;
  int port_ = 0;
  int tlsPort_ = 0;
  pid_t pid_ = -1;
  bool paused_ = false;
};
