#include "directory/client/tls_refusal.h"

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <ldap.h>

#include <memory>
#include <vector>

#include "directory/client/ldap_connection.h"

namespace {

struct UrlFree {
  void operator()(LDAPURLDesc* url) const { ldap_free_urldesc(url); }
};
struct CertificateFree {
  void operator()(gnutls_x509_crt_int* certificate) const { gnutls_x509_crt_deinit(certificate); }
};
struct TrustListFree {
  void operator()(gnutls_x509_trust_list_st* list) const { gnutls_x509_trust_list_deinit(list, 1); }
};

// The host of the first server of `uri`; empty when it names none.
std::string FirstHost(const std::string& uri) {
  const std::string first = uri.substr(0, uri.find(' '));
  LDAPURLDesc* parsed = nullptr;
  if (ldap_url_parse(first.c_str(), &parsed) != LDAP_URL_SUCCESS)
    return {};
  const std::unique_ptr<LDAPURLDesc, UrlFree> owner(parsed);
  return parsed->lud_host != nullptr ? parsed->lud_host : "";
}

// The library's words for what is wrong with `der` as the certificate of `host`.
std::optional<std::string> CheckCertificate(const std::vector<uint8_t>& der,
                                            const std::string& caFile, const std::string& host) {
  gnutls_x509_crt_t raw = nullptr;
  if (gnutls_x509_crt_init(&raw) < 0)
    return std::nullopt;
  const std::unique_ptr<gnutls_x509_crt_int, CertificateFree> certificate(raw);
  const gnutls_datum_t data{const_cast<unsigned char*>(der.data()),
                            static_cast<unsigned int>(der.size())};
  if (gnutls_x509_crt_import(certificate.get(), &data, GNUTLS_X509_FMT_DER) < 0)
    return std::nullopt;
  gnutls_x509_trust_list_t rawList = nullptr;
  if (gnutls_x509_trust_list_init(&rawList, 0) < 0)
    return std::nullopt;
  const std::unique_ptr<gnutls_x509_trust_list_st, TrustListFree> trusted(rawList);
  const int added = caFile.empty()
                        ? gnutls_x509_trust_list_add_system_trust(trusted.get(), 0, 0)
                        : gnutls_x509_trust_list_add_trust_file(trusted.get(), caFile.c_str(),
                                                                nullptr, GNUTLS_X509_FMT_PEM, 0, 0);
  if (added < 0)
    return std::nullopt;
  gnutls_typed_vdata_st name{};
  name.type = GNUTLS_DT_DNS_HOSTNAME;
  name.data = reinterpret_cast<unsigned char*>(const_cast<char*>(host.c_str()));
  unsigned int status = 0;
  gnutls_x509_crt_t chain[] = {certificate.get()};
  if (gnutls_x509_trust_list_verify_crt2(trusted.get(), chain, 1, &name, host.empty() ? 0 : 1, 0,
                                         &status, nullptr) < 0 ||
      status == 0) {
    return std::nullopt;
  }
  gnutls_datum_t words{};
  if (gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &words, 0) < 0)
    return std::nullopt;
  std::string text(reinterpret_cast<const char*>(words.data), words.size);
  gnutls_free(words.data);
  // The caller ends the sentence.
  while (!text.empty() && (text.back() == ' ' || text.back() == '.'))
    text.pop_back();
  return text;
}

}  // namespace

std::optional<std::string> CertificateRefusal(const LdapSettings& settings) {
  const bool tls = settings.startTls || settings.uri.rfind("ldaps://", 0) == 0;
  if (!settings.verify || !tls)
    return std::nullopt;
  // Anonymous: a server whose certificate was refused is not given the password.
  LdapSettings unchecked;
  unchecked.uri = settings.uri;
  unchecked.startTls = settings.startTls;
  unchecked.verify = false;
  unchecked.timeoutSeconds = settings.timeoutSeconds;
  unchecked.pageSize = settings.pageSize;
  LdapConnection probe(unchecked, std::make_shared<LdapFailure>(), std::make_shared<LdapFailure>(),
                       false);
  if (probe.Open() != kDirOk)
    return std::nullopt;
  const std::vector<uint8_t> der = probe.PeerCertificate();
  probe.Drop();
  if (der.empty())
    return std::nullopt;
  return CheckCertificate(der, settings.caFile, FirstHost(settings.uri));
}
