#pragma once
// A throw-away 389 Directory Server for the live-store tests, beside the slapd one: an instance
// made by dscreate with every path below a temporary folder, on 127.0.0.1 at free ports, the
// directory's schema as the server's user schema, loaded from an LDIF file of the client's forms.
// Stopped and its folder removed on destruction; nothing of it is registered outside the folder.
#include <sys/types.h>

#include <string>

class Ds389Server {
 public:
  static constexpr const char* kManagerDn = "cn=Manager";
  static constexpr const char* kManagerPassword = "secret";

  // Makes an instance serving `ldifPath`'s tree and starts it; Error() tells why when Running()
  // is false. Every entry whose parent the file lacks is the suffix of a database of its own, or
  // `suffix`, when given, is the one suffix. `hollowSuffix` names a further database holding
  // nothing. Anyone may read; the manager binds with kManagerPassword. The size limit is 500
  // entries, which this server applies to each page. The server offers StartTLS and listens on
  // LdapsUri() with a certificate for 127.0.0.1 that CaFile() trusts.
  explicit Ds389Server(const std::string& ldifPath, const std::string& suffix = "",
                       const std::string& hollowSuffix = "");
  ~Ds389Server();
  Ds389Server(const Ds389Server&) = delete;
  Ds389Server& operator=(const Ds389Server&) = delete;

  [[nodiscard]] bool Running() const { return pid_ > 0; }
  [[nodiscard]] const std::string& Error() const { return error_; }
  [[nodiscard]] std::string Uri() const;
  [[nodiscard]] std::string LdapsUri() const;
  [[nodiscard]] std::string CaFile() const { return folder_ + "/etc/dirsrv/ssca/ca.crt"; }

  // Ends the server process (it answers nothing afterwards).
  void Stop();

 private:
  bool Create(const std::string& ldifPath, const std::string& suffix,
              const std::string& hollowSuffix);
  bool Start();
  [[nodiscard]] std::string ConfigFolder() const;

  std::string folder_;
  std::string error_;
  int port_ = 0;
  int tlsPort_ = 0;
  pid_t pid_ = -1;
};
