#include "tests/client/ds389_server.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/client/live_server_tools.h"

namespace {

namespace fs = std::filesystem;
using live_server::AwaitListening;
using live_server::Converted;
using live_server::DefinedNames;
using live_server::FreePort;
using live_server::Lower;
using live_server::ReadAll;
using live_server::Run;
using live_server::Spawn;
using live_server::Started;

constexpr const char* kInstance = "orvane";
constexpr const char* kNsSlapd = "/usr/sbin/ns-slapd";
// kManagerPassword, hashed: dscreate takes no clear password shorter than eight characters.
constexpr const char* kManagerHash = "{SSHA}n7UJRh0FWHNHppaze4gM+Fuvy42p1dxqmFAzhw==";
constexpr const char* kVendorSyntax = "2.16.840.1.113719.1.1.5.1.";
constexpr const char* kOctetString = "1.3.6.1.4.1.1466.115.121.1.40";
constexpr const char* kReadAci =
    "aci: (targetattr=\"*||modifyTimestamp||numSubordinates||hasSubordinates\")(version 3.0; "
    "acl \"orvane tests read\"; allow (read, search, compare) userdn=\"ldap:///anyone\";)";

void Trim(std::string& text) {
  text.erase(0, text.find_first_not_of(" \t"));
  text.erase(text.find_last_not_of(" \t") + 1);
}

// The server's own definitions: each folded NAME with the OID it is defined under, attribute
// types and object classes apart (some names are both). A definition of ours for one of these
// names must use that OID, or the server refuses it.
struct ServerOids {
  std::map<std::string, std::string> types;
  std::map<std::string, std::string> classes;
};

ServerOids ReadServerOids() {
  ServerOids oids;
  std::error_code ignored;
  for (const fs::directory_entry& file :
       fs::directory_iterator("/usr/share/dirsrv/schema", ignored)) {
    std::vector<std::string> lines;
    std::istringstream in(ReadAll(file.path().string()));
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line[0] == ' ' && !lines.empty()) {
        lines.back() += line.substr(1);
      } else {
        lines.push_back(line);
      }
    }
    for (const std::string& line : lines) {
      const std::string folded = Lower(line);
      const bool type = folded.starts_with("attributetypes:");
      if (!type && !folded.starts_with("objectclasses:"))
        continue;
      const size_t open = line.find('(');
      if (open == std::string::npos)
        continue;
      std::istringstream words(line.substr(open + 1));
      std::string oid;
      words >> oid;
      for (const std::string& name : DefinedNames(line))
        (type ? oids.types : oids.classes).emplace(name, oid);
    }
  }
  return oids;
}

// slapd's schema text (object identifier macros, syntax declarations, one definition a line)
// as this server's user schema. It knows no syntax beyond the standard ones, so a directory
// syntax is declared by its substitute and named in X-NDS_SYNTAX, as a gateway to the
// directory publishes it.
std::string UserSchema(const std::string& schema, const ServerOids& oids) {
  std::map<std::string, std::string> macros;
  std::map<std::string, std::string> substitutes;
  const auto expand = [&](const std::string& oid) {
    const size_t colon = oid.find(':');
    if (colon == std::string::npos || !macros.contains(oid.substr(0, colon)))
      return oid;
    return macros[oid.substr(0, colon)] + "." + oid.substr(colon + 1);
  };
  std::string out =
      "dn: cn=schema\nobjectClass: top\nobjectClass: ldapSubentry\nobjectClass: subschema\n"
      "cn: schema\n";
  std::istringstream lines(schema);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string keyword;
    words >> keyword;
    keyword = Lower(keyword);
    if (keyword == "objectidentifier") {
      std::string name, value;
      words >> name >> value;
      macros[name] = expand(value);
      continue;
    }
    if (keyword == "ldapsyntax") {
      std::string open, oid;
      words >> open >> oid;
      const size_t subst = line.find("X-SUBST '");
      if (subst != std::string::npos)
        substitutes[oid] = line.substr(subst + 9, line.find('\'', subst + 9) - subst - 9);
      continue;
    }
    const bool type = keyword == "attributetype";
    if (!type && keyword != "objectclass")
      continue;
    std::string definition = line.substr(line.find('('));
    const size_t oidAt = definition.find_first_not_of("( ");
    const size_t oidEnd = definition.find(' ', oidAt);
    std::string oid = expand(definition.substr(oidAt, oidEnd - oidAt));
    const std::map<std::string, std::string>& known = type ? oids.types : oids.classes;
    for (const std::string& name : DefinedNames(definition)) {
      if (const auto server = known.find(name); server != known.end())
        oid = server->second;
    }
    definition.replace(oidAt, oidEnd - oidAt, oid);
    const size_t syntaxAt = definition.find(" SYNTAX ");
    if (type && syntaxAt != std::string::npos) {
      const size_t from = syntaxAt + 8;
      const size_t to = definition.find(' ', from);
      const std::string syntax = definition.substr(from, to - from);
      if (syntax.starts_with(kVendorSyntax)) {
        const auto substitute = substitutes.find(syntax);
        definition.replace(from, to - from,
                           (substitute != substitutes.end() ? substitute->second : kOctetString) +
                               " X-NDS_SYNTAX '" +
                               syntax.substr(std::string(kVendorSyntax).size()) + "'");
      }
    }
    out += (type ? "attributeTypes: " : "objectClasses: ") + definition + "\n";
  }
  return out;
}

// The DN a record of unfolded LDIF names; empty when it starts otherwise.
std::string RecordDn(const std::string& record) {
  return Lower(record).starts_with("dn: ") ? record.substr(4, record.find('\n') - 4) : "";
}

// The DN above `dn`: after its first comma that no backslash escapes; empty for a top entry.
std::string ParentDn(const std::string& dn) {
  for (size_t i = 0; i < dn.size(); ++i) {
    if (dn[i] == '\\') {
      ++i;
    } else if (dn[i] == ',') {
      std::string parent = dn.substr(i + 1);
      Trim(parent);
      return parent;
    }
  }
  return std::string();
}

bool Below(const std::string& dn, const std::string& suffix) {
  const std::string folded = Lower(dn);
  const std::string top = Lower(suffix);
  return folded == top || folded.ends_with("," + top);
}

// Sets `attribute` of the entry `dn` of a dse.ldif to `value` alone; false when there is no
// such entry.
bool SetInDse(std::string& dse, const std::string& dn, const std::string& attribute,
              const std::string& value) {
  std::istringstream in(dse);
  std::string out;
  bool found = false;
  bool inEntry = false;
  bool dropping = false;
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) {
      inEntry = false;
    } else if (Lower(line) == "dn: " + Lower(dn)) {
      out += line + "\n" + attribute + ": " + value + "\n";
      inEntry = found = true;
      continue;
    }
    if (inEntry && line.starts_with(" ") && dropping)
      continue;
    dropping = inEntry && Lower(line).starts_with(Lower(attribute) + ":");
    if (!dropping)
      out += line + "\n";
  }
  dse = out;
  return found;
}

}  // namespace

Ds389Server::Ds389Server(const std::string& ldifPath, const std::string& suffix,
                         const std::string& hollowSuffix) {
  if (Create(ldifPath, suffix, hollowSuffix))
    Start();
}

Ds389Server::~Ds389Server() {
  Stop();
  if (!folder_.empty()) {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }
}

std::string Ds389Server::Uri() const {
  return "ldap://127.0.0.1:" + std::to_string(port_);
}

std::string Ds389Server::LdapsUri() const {
  return "ldaps://127.0.0.1:" + std::to_string(tlsPort_);
}

std::string Ds389Server::ConfigFolder() const {
  return folder_ + "/etc/dirsrv/slapd-" + kInstance;
}

bool Ds389Server::Create(const std::string& ldifPath, const std::string& suffix,
                         const std::string& hollowSuffix) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/orvane-ds389-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    error_ = "cannot create a temporary folder";
    return false;
  }
  folder_ = pattern;
  // The server drops to its own user, which must enter every folder above its files; dscreate
  // makes the folders it lacks 0770 and root's, so they exist beforehand.
  std::error_code failed;
  for (const char* sub : {"", "/share/dirsrv/inf", "/etc/dirsrv", "/lib", "/log", "/lock", "/run",
                          "/dbhome", "/var"}) {
    fs::create_directories(folder_ + sub, failed);
    chmod((folder_ + sub).c_str(), 0755);
  }
  for (const char* sub : {"config", "schema"}) {
    fs::copy(std::string("/etc/dirsrv/") + sub, folder_ + "/etc/dirsrv/" + sub,
             fs::copy_options::recursive, failed);
  }
  if (failed) {
    error_ = "cannot prepare " + folder_ + " (is 389-ds-base installed?): " + failed.message();
    return false;
  }
  // dscreate and the server take their paths from defaults.inf, found below PREFIX: every
  // path that would be system-wide points into the folder, and no systemd unit is made.
  const std::map<std::string, std::string> paths = {
      {"sysconf_dir", "/etc"},
      {"initconfig_dir", "/etc/default"},
      {"config_dir", "/etc/dirsrv/slapd-{instance_name}"},
      {"local_state_dir", "/var"},
      {"run_dir", "/run"},
      {"ldapi", "/run/slapd-{instance_name}.socket"},
      {"pid_file", "/run/slapd-{instance_name}.pid"},
      {"inst_dir", "/lib/slapd-{instance_name}"},
      {"tmpfiles_d", "/tmpfiles.d"},
      {"schema_dir", "/etc/dirsrv/slapd-{instance_name}/schema"},
      {"cert_dir", "/etc/dirsrv/slapd-{instance_name}"},
      {"lock_dir", "/lock/slapd-{instance_name}"},
      {"log_dir", "/log/slapd-{instance_name}"},
      {"access_log", "/log/slapd-{instance_name}/access"},
      {"audit_log", "/log/slapd-{instance_name}/audit"},
      {"error_log", "/log/slapd-{instance_name}/errors"},
      {"security_log", "/log/slapd-{instance_name}/security"},
      {"db_dir", "/lib/slapd-{instance_name}/db"},
      {"db_home_dir", "/dbhome/slapd-{instance_name}"},
      {"backup_dir", "/lib/slapd-{instance_name}/bak"},
      {"ldif_dir", "/lib/slapd-{instance_name}/ldif"},
  };
  const std::string defaults = ReadAll("/usr/share/dirsrv/inf/defaults.inf");
  if (defaults.empty()) {
    error_ = "/usr/share/dirsrv/inf/defaults.inf cannot be read: is 389-ds-base installed?";
    return false;
  }
  std::ostringstream inf;
  std::istringstream in(defaults);
  for (std::string line; std::getline(in, line);) {
    std::string key = line.substr(0, line.find('='));
    Trim(key);
    if (key == "with_systemd") {
      inf << "with_systemd = 0\n";
    } else if (const auto path = paths.find(key); path != paths.end()) {
      inf << key << " = " << folder_ << path->second << "\n";
    } else {
      inf << line << "\n";
    }
  }
  std::ofstream(folder_ + "/share/dirsrv/inf/defaults.inf") << inf.str();

  const ServerOids serverOids = ReadServerOids();
  std::set<std::string> builtIn;
  for (const auto* names : {&serverOids.types, &serverOids.classes}) {
    for (const auto& [name, oid] : *names)
      builtIn.insert(name);
  }
  const Converted converted = live_server::Convert(
      ReadAll(ldifPath), ReadAll(std::string(ORVANE_TEST_DATA) + "/ldap/orvane.schema"), builtIn);
  std::vector<std::string> records;
  std::set<std::string> dns;
  {
    std::istringstream ldif(converted.ldif);
    std::string record;
    for (std::string line; std::getline(ldif, line);) {
      if (!line.empty()) {
        record += line + "\n";
        continue;
      }
      if (!record.empty())
        records.push_back(record);
      record.clear();
    }
    if (!record.empty())
      records.push_back(record);
    for (const std::string& r : records)
      dns.insert(Lower(RecordDn(r)));
  }
  std::vector<std::string> suffixes;
  if (!suffix.empty()) {
    suffixes.push_back(suffix);
  } else {
    for (const std::string& r : records) {
      if (!dns.contains(Lower(ParentDn(RecordDn(r)))))
        suffixes.push_back(RecordDn(r));
    }
  }
  port_ = FreePort();
  tlsPort_ = FreePort();
  if (port_ == 0 || tlsPort_ == 0 || tlsPort_ == port_) {
    error_ = "no free port on 127.0.0.1";
    return false;
  }
  std::ostringstream instance;
  instance << "[general]\nfull_machine_name = localhost\nstart = False\n[slapd]\ninstance_name = "
           << kInstance << "\nport = " << port_ << "\nsecure_port = " << tlsPort_
           << "\nroot_dn = " << kManagerDn << "\nroot_password = " << kManagerHash
           << "\nself_sign_cert = True\n";
  std::vector<std::string> all = suffixes;
  if (!hollowSuffix.empty())
    all.push_back(hollowSuffix);
  for (size_t i = 0; i < all.size(); ++i)
    instance << "[backend-b" << i << "]\nsuffix = " << all[i] << "\n";
  std::ofstream(folder_ + "/instance.inf") << instance.str();
  // dscreate starts the server for its online steps, which would listen on every interface:
  // in a network namespace of its own it reaches the server only through the LDAPI socket.
  const std::string log = folder_ + "/setup.log";
  if (Run({"/usr/bin/env", "PREFIX=" + folder_, "/usr/bin/unshare", "--net", "/usr/sbin/dscreate",
           "from-file", folder_ + "/instance.inf"},
          log) != 0) {
    error_ = "dscreate failed: " + ReadAll(log);
    return false;
  }

  // Its certificate names only the host name: one for the loopback address from its authority.
  const std::string config = ConfigFolder();
  const std::string authority = folder_ + "/etc/dirsrv/ssca";
  if (Run({"/usr/bin/certutil", "-R", "-d", config, "-f", config + "/pwdfile.txt", "-z",
           config + "/noise.txt", "-s", "CN=127.0.0.1", "-k", "rsa", "-g", "2048", "--extSAN",
           "ip:127.0.0.1", "-a", "-o", folder_ + "/ip.csr"},
          log) != 0 ||
      Run({"/usr/bin/certutil", "-C", "-d", authority, "-f", authority + "/pwdfile.txt", "-c",
           "Self-Signed-CA", "-i", folder_ + "/ip.csr", "-a", "-o", folder_ + "/ip.crt", "-v", "2",
           "--extSAN", "ip:127.0.0.1"},
          log) != 0 ||
      Run({"/usr/bin/certutil", "-D", "-d", config, "-n", "Server-Cert"}, log) != 0 ||
      Run({"/usr/bin/certutil", "-A", "-d", config, "-f", config + "/pwdfile.txt", "-n",
           "Server-Cert", "-t", ",,", "-a", "-i", folder_ + "/ip.crt"},
          log) != 0) {
    error_ = "certutil could not make a certificate for 127.0.0.1: " + ReadAll(log);
    return false;
  }

  std::ofstream(config + "/schema/99user.ldif") << UserSchema(converted.schema, serverOids);
  std::string dse = ReadAll(config + "/dse.ldif");
  const std::string database = "cn=config,cn=ldbm database,cn=plugins,cn=config";
  // The tree holds entries of auxiliary classes alone and values outside their syntax, as the
  // directory it stands for does. Searches of the large trees look through every entry. Without
  // lastmod the import stamps no entry with a modification time the LDIF does not give, as the
  // slapd fixture stamps none, so a read of all attributes brings what the file holds.
  const struct {
    std::string dn;
    const char* attribute;
    const char* value;
  } settings[] = {
      {"cn=config", "nsslapd-listenhost", "127.0.0.1"},
      {"cn=config", "nsslapd-securelistenhost", "127.0.0.1"},
      {"cn=config", "nsslapd-sizelimit", "500"},
      {"cn=config", "nsslapd-schemacheck", "off"},
      {"cn=config", "nsslapd-syntaxcheck", "off"},
      {"cn=config", "nsslapd-lastmod", "off"},
      {database, "nsslapd-lookthroughlimit", "-1"},
      {database, "nsslapd-pagedlookthroughlimit", "-1"},
      {database, "nsslapd-pagedidlistscanlimit", "-1"},
  };
  for (const auto& s : settings) {
    if (!SetInDse(dse, s.dn, s.attribute, s.value)) {
      error_ = config + "/dse.ldif has no entry " + s.dn;
      return false;
    }
  }
  std::ofstream(config + "/dse.ldif") << dse;

  for (size_t i = 0; i < suffixes.size(); ++i) {
    std::string part;
    for (const std::string& r : records) {
      const std::string dn = RecordDn(r);
      if (!Below(dn, suffixes[i]))
        continue;
      part += r;
      if (Lower(dn) == Lower(suffixes[i]))
        part += std::string(kReadAci) + "\n";
      part += "\n";
    }
    const std::string file = folder_ + "/b" + std::to_string(i) + ".ldif";
    std::ofstream(file) << part;
    chmod(file.c_str(), 0644);
    if (Run({kNsSlapd, "ldif2db", "-D", config, "-n", "b" + std::to_string(i), "-i", file}, log) !=
        0) {
      error_ = "ldif2db failed: " + ReadAll(log) + ReadAll(folder_ + "/log/slapd-orvane/errors");
      return false;
    }
  }
  return true;
}

bool Ds389Server::Start() {
  const std::string log = folder_ + "/ns-slapd.log";
  const std::string config = ConfigFolder();
  const std::string pidFile = folder_ + "/run/slapd-" + kInstance + ".pid";
  // -d keeps the server in the foreground, so this process is the server.
  pid_ = Spawn({kNsSlapd, "-D", config, "-i", pidFile, "-d", "0"}, log);
  if (pid_ < 0) {
    error_ = "cannot start ns-slapd";
    return false;
  }
  const Started started = AwaitListening(pid_, {port_, tlsPort_}, std::chrono::seconds(60));
  if (started == Started::kListening)
    return true;
  if (started == Started::kEnded) {
    pid_ = -1;
    error_ = "ns-slapd ended at start: " + ReadAll(log) +
             ReadAll(folder_ + "/log/slapd-" + kInstance + "/errors");
    return false;
  }
  Stop();
  error_ = "ns-slapd did not answer on " + Uri() + ": " +
           ReadAll(folder_ + "/log/slapd-" + kInstance + "/errors");
  return false;
}

void Ds389Server::Stop() {
  if (pid_ <= 0)
    return;
  kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  int status = 0;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  pid_ = -1;
}
