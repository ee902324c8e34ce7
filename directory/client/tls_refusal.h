#pragma once
// Why a server's certificate was refused, in the TLS library's words. libldap names no reason of
// its own when the certificate check fails the handshake, so the connection is made once more
// without the check, anonymously, and the certificate the server shows is checked here against
// the authorities the connection trusts.
#include <optional>
#include <string>

#include "directory/client/ldap_store.h"

// The reason the certificate of the first server of `settings.uri` fails the check `settings`
// asks for (its ca-file's authorities, else the system's, and the server's name), as the TLS
// library words it, without the last full stop ("The certificate is NOT trusted. The
// certificate issuer is unknown");
// nullopt when the settings check no certificate, when the connection fails without the check
// as well, or when the library finds nothing wrong with the certificate.
[[nodiscard]] std::optional<std::string> CertificateRefusal(const LdapSettings& settings);
