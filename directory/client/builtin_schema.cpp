#include "directory/client/builtin_schema.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <string>
#include <utility>

#include "util/text.h"

namespace {

constexpr std::array kAttributes = {
    BuiltinAttribute{"Member", "member", kSyntaxDistinguishedName, false},
    BuiltinAttribute{"See Also", "seeAlso", kSyntaxDistinguishedName, false},
    BuiltinAttribute{"Aliased Object Name", "aliasedObjectName", kSyntaxDistinguishedName, true},
    BuiltinAttribute{"Group Membership", "groupMembership", kSyntaxDistinguishedName, false},
    BuiltinAttribute{"Security Equals", "securityEquals", kSyntaxDistinguishedName, false},
    BuiltinAttribute{"Equivalent To Me", "equivalentToMe", kSyntaxDistinguishedName, false},
    BuiltinAttribute{"Host Server", "hostServer", kSyntaxDistinguishedName, true},
    BuiltinAttribute{"Operator", "operator", kSyntaxDistinguishedName, false},
    BuiltinAttribute{"Owner", "owner", kSyntaxDistinguishedName, false},
    BuiltinAttribute{"rbsContent", "rbsContent", kSyntaxDistinguishedName, false},
    BuiltinAttribute{"rbsContentMembership", "rbsContentMembership", kSyntaxDistinguishedName,
                     false},
    BuiltinAttribute{"Host Resource Name", "hostResourceName", kSyntaxCaseExactString, false},
    BuiltinAttribute{"CN", "cn", kSyntaxCaseIgnoreString, false},
    BuiltinAttribute{"Description", "description", kSyntaxCaseIgnoreString, false},
    BuiltinAttribute{"Surname", "sn", kSyntaxCaseIgnoreString, false},
    BuiltinAttribute{"Given Name", "givenName", kSyntaxCaseIgnoreString, false},
    BuiltinAttribute{"Full Name", "fullName", kSyntaxCaseIgnoreString, false},
    BuiltinAttribute{"Initials", "initials", kSyntaxCaseIgnoreString, false},
    BuiltinAttribute{"Title", "title", kSyntaxCaseIgnoreString, false},
    BuiltinAttribute{"OU", "ou", kSyntaxCaseIgnoreString, false},
    BuiltinAttribute{"O", "o", kSyntaxCaseIgnoreString, false},
    BuiltinAttribute{"L", "l", kSyntaxCaseIgnoreString, false},
    BuiltinAttribute{"S", "st", kSyntaxCaseIgnoreString, false},
    BuiltinAttribute{"C", "c", kSyntaxCaseIgnoreString, false},
    BuiltinAttribute{"SA", "street", kSyntaxCaseIgnoreString, false},
    BuiltinAttribute{"Postal Code", "postalCode", kSyntaxCaseIgnoreString, false},
    BuiltinAttribute{"Physical Delivery Office Name", "physicalDeliveryOfficeName",
                     kSyntaxCaseIgnoreString, false},
    BuiltinAttribute{"Internet EMail Address", "mail", kSyntaxCaseIgnoreString, false},
    BuiltinAttribute{"Version", "version", kSyntaxCaseIgnoreString, false},
    BuiltinAttribute{"rbsParameters", "rbsParameters", kSyntaxCaseIgnoreString, false},
    BuiltinAttribute{"rbsTargetObjectType", "rbsTargetObjectType", kSyntaxCaseIgnoreString, false},
    BuiltinAttribute{"rbsPageMembership", "rbsPageMembership", kSyntaxCaseIgnoreString, false},
    BuiltinAttribute{"rbsEntryPoint", "rbsEntryPoint", kSyntaxCaseIgnoreString, true},
    BuiltinAttribute{"rbsType", "rbsType", kSyntaxCaseIgnoreString, true},
    BuiltinAttribute{"rbsTitle", "rbsTitle", kSyntaxCaseIgnoreString, true},
    BuiltinAttribute{"Serial Number", "serialNumber", kSyntaxPrintableString, false},
    BuiltinAttribute{"Bindery Type", "binderyType", kSyntaxNumericString, false},
    BuiltinAttribute{"Language", "language", kSyntaxCaseIgnoreList, false},
    BuiltinAttribute{"Login Disabled", "loginDisabled", kSyntaxBoolean, true},
    BuiltinAttribute{"Password Required", "passwordRequired", kSyntaxBoolean, true},
    BuiltinAttribute{"Password Allow Change", "passwordAllowChange", kSyntaxBoolean, true},
    BuiltinAttribute{"Locked By Intruder", "lockedByIntruder", kSyntaxBoolean, true},
    BuiltinAttribute{"Detect Intruder", "detectIntruder", kSyntaxBoolean, true},
    BuiltinAttribute{"Login Grace Limit", "loginGraceLimit", kSyntaxInteger, true},
    BuiltinAttribute{"Login Grace Remaining", "loginGraceRemaining", kSyntaxInteger, true},
    BuiltinAttribute{"Password Minimum Length", "passwordMinimumLength", kSyntaxInteger, true},
    BuiltinAttribute{"Login Maximum Simultaneous", "loginMaximumSimultaneous", kSyntaxInteger,
                     true},
    BuiltinAttribute{"rbsTaskRights", "rbsTaskRights", kSyntaxOctetString, false},
    BuiltinAttribute{"Bindery Property", "binderyProperty", kSyntaxOctetString, false},
    BuiltinAttribute{"Partition Status", "partitionStatus", kSyntaxOctetString, false},
    BuiltinAttribute{"Printer Configuration", "printerConfiguration", kSyntaxOctetString, false},
    BuiltinAttribute{"Public Key", "publicKey", kSyntaxOctetString, false},
    BuiltinAttribute{"CA Public Key", "caPublicKey", kSyntaxOctetString, false},
    BuiltinAttribute{"GUID", "GUID", kSyntaxOctetString, true},
    BuiltinAttribute{"App:GUID", "appGUID", kSyntaxOctetString, false},
    BuiltinAttribute{"App:Drive Mappings", "appDriveMappings", kSyntaxOctetString, false},
    BuiltinAttribute{"App:Parameters", "appParameters", kSyntaxOctetString, false},
    BuiltinAttribute{"App:Path", "appPath", kSyntaxOctetString, false},
    BuiltinAttribute{"App:Version String", "appVersionString", kSyntaxOctetString, false},
    BuiltinAttribute{"App:Working Directory", "appWorkingDirectory", kSyntaxOctetString, false},
    BuiltinAttribute{"App:Folder List", "appFolderList", kSyntaxOctetString, false},
    BuiltinAttribute{"App:FS Rights Path", "appFSRightsPath", kSyntaxOctetString, false},
    BuiltinAttribute{"ZEN:INV Disk Info", "zenINVDiskInfo", kSyntaxOctetString, false},
    BuiltinAttribute{"bhObjectGUID", "bhObjectGUID", kSyntaxOctetString, false},
    BuiltinAttribute{"bhConfig", "bhConfig", kSyntaxOctetString, false},
    BuiltinAttribute{"snmpTrapDescription", "snmpTrapDescription", kSyntaxOctetString, false},
    BuiltinAttribute{"memberQuery", "memberQuery", kSyntaxOctetString, false},
    BuiltinAttribute{"WM:INV DMA", "wmINVDMA", kSyntaxOctetString, false},
    BuiltinAttribute{"WM:INV Interrupt", "wmINVInterrupt", kSyntaxOctetString, false},
    BuiltinAttribute{"WM:INV Port", "wmINVPort", kSyntaxOctetString, false},
    BuiltinAttribute{"WM:INV CPU Information", "wmINVCPUInformation", kSyntaxOctetString, false},
    BuiltinAttribute{"WM:INV Shared Memory", "wmINVSharedMemory", kSyntaxOctetString, false},
    BuiltinAttribute{"WM:INV Volume", "wmINVVolume", kSyntaxOctetString, false},
    BuiltinAttribute{"NGW: Location", "ngwLocation", kSyntaxOctetString, false},
    BuiltinAttribute{"FW0 USER ADD", "fw0UserAdd", kSyntaxOctetString, false},
    BuiltinAttribute{"Local Received Up To", "localReceivedUpTo", kSyntaxOctetString, false},
    BuiltinAttribute{"Transitive Vector", "transitiveVector", kSyntaxOctetString, false},
    BuiltinAttribute{"Telephone Number", "telephoneNumber", kSyntaxTelephoneNumber, false},
    BuiltinAttribute{"Facsimile Telephone Number", "facsimileTelephoneNumber", kSyntaxFacsimile,
                     false},
    BuiltinAttribute{"Network Address", "ndsNetworkAddress", kSyntaxNetAddress, false},
    BuiltinAttribute{"Cross Certificate Pair", "crossCertificatePair", kSyntaxOctetList, false},
    BuiltinAttribute{"EMail Address", "ndsEMailAddress", kSyntaxEMailAddress, false},
    BuiltinAttribute{"Home Directory", "ndsHomeDirectory", kSyntaxPath, true},
    BuiltinAttribute{"Replica", "replica", kSyntaxReplicaPointer, false},
    BuiltinAttribute{"ACL", "ACL", kSyntaxObjectAcl, false},
    BuiltinAttribute{"Postal Address", "postalAddress", kSyntaxPostalAddress, false},
    BuiltinAttribute{"Synchronized Up To", "synchronizedUpTo", kSyntaxTimestamp, false},
    BuiltinAttribute{"Object Class", "objectClass", kSyntaxClassName, false},
    BuiltinAttribute{"rbsXMLInfo", "rbsXMLInfo", kSyntaxStream, true},
    BuiltinAttribute{"Login Script", "loginScript", kSyntaxStream, true},
    BuiltinAttribute{"Print Job Configuration", "printJobConfiguration", kSyntaxStream, true},
    BuiltinAttribute{"App:Macros", "appMacros", kSyntaxStream, true},
    BuiltinAttribute{"App:Copy Files", "appCopyFiles", kSyntaxStream, true},
    BuiltinAttribute{"App:Inventory", "appInventory", kSyntaxStream, true},
    BuiltinAttribute{"App:Program Groups", "appProgramGroups", kSyntaxStream, true},
    BuiltinAttribute{"Revision", "revision", kSyntaxCounter, true},
    BuiltinAttribute{"Back Link", "backLink", kSyntaxBackLink, false},
    BuiltinAttribute{"Login Time", "loginTime", kSyntaxTime, true},
    BuiltinAttribute{"Last Login Time", "lastLoginTime", kSyntaxTime, true},
    BuiltinAttribute{"Login Expiration Time", "loginExpirationTime", kSyntaxTime, true},
    BuiltinAttribute{"Password Expiration Time", "passwordExpirationTime", kSyntaxTime, true},
    BuiltinAttribute{"modifyTimestamp", "modifyTimestamp", kSyntaxTime, true},
    BuiltinAttribute{"Notify", "notify", kSyntaxTypedName, false},
    BuiltinAttribute{"Server Holds", "serverHolds", kSyntaxHold, false},
    BuiltinAttribute{"Password Expiration Interval", "passwordExpirationInterval", kSyntaxInterval,
                     true},
    BuiltinAttribute{"Intruder Lockout Reset Interval", "intruderLockoutResetInterval",
                     kSyntaxInterval, true},
};

constexpr std::array kClasses = {
    BuiltinClass{"Top", "top", false, false},
    BuiltinClass{"Person", "person", true, false},
    BuiltinClass{"Organizational Person", "organizationalPerson", true, false},
    BuiltinClass{"User", "inetOrgPerson", true, false},
    BuiltinClass{"Organization", "organization", true, true},
    BuiltinClass{"Organizational Unit", "organizationalUnit", true, true},
    BuiltinClass{"Country", "country", true, true},
    BuiltinClass{"Locality", "locality", true, true},
    BuiltinClass{"Tree Root", "", true, true},
    BuiltinClass{"domain", "", true, true},
    BuiltinClass{"Container", "container", true, true},
    BuiltinClass{"Group", "groupOfNames", true, false},
    BuiltinClass{"Alias", "alias", true, false},
    BuiltinClass{"NCP Server", "ncpServer", true, false},
    BuiltinClass{"Volume", "volume", true, false},
    BuiltinClass{"Printer", "printer", true, false},
    BuiltinClass{"Printer", "ndsPrinter", true, false},
    BuiltinClass{"App:Application", "appApplication", true, false},
    BuiltinClass{"Organizational Role", "organizationalRole", true, false},
    BuiltinClass{"rbsCollection2", "", true, true},
    BuiltinClass{"rbsModule2", "", true, true},
    BuiltinClass{"rbsCategory2", "", true, false},
    BuiltinClass{"rbsRole2", "", true, false},
    BuiltinClass{"rbsBook2", "", true, false},
    BuiltinClass{"rbsTask2", "", true, false},
    BuiltinClass{"rbsScope2", "", true, false},
};

struct OidSyntax {
  std::string_view oid;
  uint32_t syntax;
};

constexpr std::array kLdapSyntaxes = {
    OidSyntax{"1.3.6.1.4.1.1466.115.121.1.12", kSyntaxDistinguishedName},
    OidSyntax{"1.3.6.1.4.1.1466.115.121.1.15", kSyntaxCaseIgnoreString},
    OidSyntax{"1.3.6.1.4.1.1466.115.121.1.26", kSyntaxCaseExactString},
    OidSyntax{"1.3.6.1.4.1.1466.115.121.1.44", kSyntaxPrintableString},
    OidSyntax{"1.3.6.1.4.1.1466.115.121.1.11", kSyntaxPrintableString},  // Country String
    OidSyntax{"1.3.6.1.4.1.1466.115.121.1.36", kSyntaxNumericString},
    OidSyntax{"1.3.6.1.4.1.1466.115.121.1.7", kSyntaxBoolean},
    OidSyntax{"1.3.6.1.4.1.1466.115.121.1.27", kSyntaxInteger},
    OidSyntax{"1.3.6.1.4.1.1466.115.121.1.40", kSyntaxOctetString},
    OidSyntax{"1.3.6.1.4.1.1466.115.121.1.5", kSyntaxOctetString},
    OidSyntax{"1.3.6.1.4.1.1466.115.121.1.50", kSyntaxTelephoneNumber},
    OidSyntax{"1.3.6.1.4.1.1466.115.121.1.22", kSyntaxFacsimile},
    OidSyntax{"1.3.6.1.4.1.1466.115.121.1.41", kSyntaxPostalAddress},
    OidSyntax{"1.3.6.1.4.1.1466.115.121.1.38", kSyntaxClassName},
    OidSyntax{"1.3.6.1.4.1.1466.115.121.1.24", kSyntaxTime},
};

}  // namespace

std::span<const BuiltinAttribute> BuiltinAttributes() {
  return kAttributes;
}
std::span<const BuiltinClass> BuiltinClasses() {
  return kClasses;
}

uint32_t SyntaxFromOid(std::string_view oid) {
  if (const size_t brace = oid.find('{'); brace != std::string_view::npos) {
    oid = oid.substr(0, brace);
  }
  for (const OidSyntax& known : kLdapSyntaxes) {
    if (known.oid == oid)
      return known.syntax;
  }
  if (oid.starts_with(kVendorSyntaxPrefix)) {
    const std::string_view digits = oid.substr(kVendorSyntaxPrefix.size());
    uint32_t number = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (error == std::errc() && end == digits.data() + digits.size() && number <= kSyntaxInterval) {
      return number;
    }
  }
  return kSyntaxOctetString;
}

std::string_view MadeContainerClass(std::string_view rdnType) {
  static constexpr std::pair<std::string_view, std::string_view> kByType[] = {
      {"DC", "domain"}, {"O", "Organization"}, {"OU", "Organizational Unit"},
      {"C", "Country"}, {"L", "Locality"},
  };
  for (const auto& [type, cls] : kByType) {
    if (type.size() == rdnType.size() &&
        std::equal(type.begin(), type.end(), rdnType.begin(), [](char a, char b) {
          return std::toupper(static_cast<unsigned char>(a)) ==
                 std::toupper(static_cast<unsigned char>(b));
        })) {
      return cls;
    }
  }
  return "Container";
}

std::string RdnTypeFromLdap(std::string_view ldapType) {
  std::string type = UpperAscii(ldapType);
  if (type == std::string_view("ST"))
    type.resize(1);
  return type;
}
