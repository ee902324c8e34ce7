#include "bench/tree_generator.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace {

constexpr size_t kMinEntries = 1'000;
constexpr size_t kMaxEntries = 50'000'000;
constexpr size_t kLargeContainerCap = 100'000;
constexpr size_t kDepartmentLeaves = 999;
// Text is handed to the stream in pieces of about this size, so a 1M-entry tree never sits in
// memory twice.
constexpr size_t kFlushBytes = size_t{1} << 20;

constexpr std::string_view kOrganisationDn = "o=Genco";
constexpr std::string_view kPeopleDn = "ou=People,o=Genco";
constexpr std::string_view kServicesDn = "ou=Services,o=Genco";
constexpr std::string_view kCollectionDn = "cn=RBS Collection,ou=Services,o=Genco";
constexpr std::string_view kUserClass = "inetOrgPerson";

constexpr std::array<std::string_view, 16> kGivenNames = {
    "Anna", "Boris", "Chiara", "Dmitri", "Elena", "Farid", "Greta", "Hugo",
    "Ines", "Jonas", "Katja",  "Lars",   "Maya",  "Nils",  "Olga",  "Pavel"};
constexpr std::array<std::string_view, 16> kSurnames = {
    "Adler",  "Berger", "Costa",  "Dalton", "Engel",  "Fischer", "Garcia", "Hansen",
    "Ivanov", "Jensen", "Keller", "Lorenz", "Moreau", "Novak",   "Olsen",  "Petrov"};
constexpr std::array<std::string_view, 8> kTitles = {
    "Accountant", "Engineer",  "Sales Representative",  "Help Desk Analyst",
    "Buyer",      "Recruiter", "Network Administrator", "Project Manager"};
constexpr std::array<std::string_view, 8> kObjectTypes = {
    "User",    "Group",  "Organizational Unit", "Organization",
    "Printer", "Volume", "NCP Server",          "Application"};
constexpr std::array<std::string_view, 10> kRightsAttributes = {"Title",
                                                                "Telephone Number",
                                                                "Description",
                                                                "Login Disabled",
                                                                "Group Membership",
                                                                "Member",
                                                                "Home Directory",
                                                                "Facsimile Telephone Number",
                                                                "Surname",
                                                                "Password Required"};
constexpr std::array<std::string_view, 6> kVerbs = {"Create", "Modify", "Delete",
                                                    "Move",   "Rename", "View"};
constexpr std::array<std::string_view, 4> kViews = {"list", "tree", "detail", "wizard"};

// SplitMix64: tiny, fast, and its output is fixed by its definition, unlike the standard
// distributions, whose results differ between library implementations.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  // Uniform enough in [0, bound) for bounds far below 2^32; bound must be positive.
  size_t Below(size_t bound) { return static_cast<size_t>(Next() % bound); }
  template <typename Table>
  std::string_view Pick(const Table& table) {
    return table[Below(table.size())];
  }

 private:
  uint64_t state_;
};

// Appends LDIF text either straight to a caller's string or to a buffer that is handed to a
// stream in large pieces.
class LdifSink {
 public:
  explicit LdifSink(std::string& target) : text_(target) {}
  explicit LdifSink(std::ostream& out) : out_(&out), text_(buffer_) {
    buffer_.reserve(kFlushBytes + 64 * 1024);
  }
  ~LdifSink() { Flush(); }
  LdifSink(const LdifSink&) = delete;
  LdifSink& operator=(const LdifSink&) = delete;

  LdifSink& operator<<(std::string_view text) {
    text_.append(text);
    return *this;
  }
  LdifSink& operator<<(char c) {
    text_.push_back(c);
    return *this;
  }
  LdifSink& operator<<(size_t number) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    text_.append(digits, end);
    return *this;
  }
  // The number with at least `width` digits, zero-padded.
  LdifSink& Padded(size_t number, int width) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    for (auto n = end - digits; n < width; ++n)
      text_.push_back('0');
    text_.append(digits, end);
    return *this;
  }
  void Attribute(std::string_view name, std::string_view value) {
    text_.append(name).append(": ").append(value).push_back('\n');
  }
  // A value an LDIF reader must get as base64: it starts with '<', holds a line break or bytes
  // outside ASCII. libldap has an encoder, but it stays behind the client's wall.
  void Base64Attribute(std::string_view name, std::string_view value) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    text_.append(name).append(":: ");
    size_t i = 0;
    for (; i + 3 <= value.size(); i += 3) {
      const uint32_t n = (Byte(value[i]) << 16) | (Byte(value[i + 1]) << 8) | Byte(value[i + 2]);
      text_ += kAlphabet[(n >> 18) & 63];
      text_ += kAlphabet[(n >> 12) & 63];
      text_ += kAlphabet[(n >> 6) & 63];
      text_ += kAlphabet[n & 63];
    }
    if (const size_t rest = value.size() - i; rest > 0) {
      uint32_t n = Byte(value[i]) << 16;
      if (rest == 2)
        n |= Byte(value[i + 1]) << 8;
      text_ += kAlphabet[(n >> 18) & 63];
      text_ += kAlphabet[(n >> 12) & 63];
      text_ += rest == 2 ? kAlphabet[(n >> 6) & 63] : '=';
      text_ += '=';
    }
    text_.push_back('\n');
  }
  void EndRecord() {
    text_.push_back('\n');
    if (out_ != nullptr && text_.size() >= kFlushBytes)
      Flush();
  }
  // Hands the buffered text to the stream; a string target holds everything already.
  void Flush() {
    if (out_ == nullptr || text_.empty())
      return;
    out_->write(text_.data(), static_cast<std::streamsize>(text_.size()));
    text_.clear();
  }

 private:
  static uint32_t Byte(char c) { return static_cast<unsigned char>(c); }

  std::ostream* out_ = nullptr;
  std::string buffer_;
  std::string& text_;
};

std::string Numbered(std::string_view prefix, size_t n, size_t width) {
  std::string digits = std::to_string(n);
  std::string text(prefix);
  text.append(digits.size() < width ? width - digits.size() : 0, '0').append(digits);
  return text;
}

struct RbsNames {
  std::vector<std::string> modules;     // DNs
  std::vector<std::string> categories;  // DNs
  std::vector<std::string> roles;       // DNs
  std::vector<std::string> books;       // DNs
  std::vector<std::string> tasks;       // DNs
};

RbsNames NameRbsObjects(const GeneratedTreeShape& shape) {
  RbsNames names;
  const std::string collection(kCollectionDn);
  for (size_t m = 0; m < shape.moduleCount; ++m) {
    names.modules.push_back(Numbered("cn=Module", m + 1, 4) + "," + collection);
  }
  for (size_t c = 0; c < shape.categoryCount; ++c) {
    names.categories.push_back(Numbered("cn=Category", c + 1, 4) + "," + collection);
  }
  for (size_t r = 0; r < shape.roleCount; ++r) {
    names.roles.push_back(Numbered("cn=Role", r + 1, 5) + "," + collection);
  }
  for (size_t b = 0; b < shape.bookCount; ++b) {
    names.books.push_back(Numbered("cn=Book", b + 1, 6) + "," +
                          names.modules[b % shape.moduleCount]);
  }
  for (size_t t = 0; t < shape.taskCount; ++t) {
    names.tasks.push_back(Numbered("cn=Task", t + 1, 6) + "," +
                          names.modules[t % shape.moduleCount]);
  }
  return names;
}

// The leaf part of a DN's first RDN: "cn=Task000001,cn=..." gives "Task000001".
std::string_view LeafName(std::string_view dn) {
  const size_t eq = dn.find('=');
  const size_t comma = dn.find(',');
  return dn.substr(eq + 1, comma - eq - 1);
}

void WriteContainer(LdifSink& sink, std::string_view dn, std::string_view rdnValue,
                    std::string_view description) {
  sink << "dn: " << dn << '\n';
  sink.Attribute("objectClass", "top");
  sink.Attribute("objectClass", "organizationalUnit");
  sink.Attribute("ou", rdnValue);
  sink.Attribute("description", description);
  sink.EndRecord();
}

// Users are named from their number alone, so groups elsewhere can point at them.
std::string UserCn(size_t u) {
  const std::string_view given = kGivenNames[u % kGivenNames.size()];
  const std::string_view surname = kSurnames[(u / kGivenNames.size()) % kSurnames.size()];
  std::string cn(1, static_cast<char>(given[0] - 'A' + 'a'));
  for (char c : surname)
    cn.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  return Numbered(cn, u + 1, 6);
}

void WriteUsers(LdifSink& sink, size_t count, Random& random) {
  for (size_t u = 0; u < count; ++u) {
    const std::string_view given = kGivenNames[u % kGivenNames.size()];
    const std::string_view surname = kSurnames[(u / kGivenNames.size()) % kSurnames.size()];
    const std::string cn = UserCn(u);
    sink << "dn: cn=" << cn << ',' << kPeopleDn << '\n';
    sink.Attribute("objectClass", "top");
    sink.Attribute("objectClass", "person");
    sink.Attribute("objectClass", "organizationalPerson");
    sink.Attribute("objectClass", kUserClass);
    sink.Attribute("cn", cn);
    sink.Attribute("givenName", given);
    sink.Attribute("sn", surname);
    sink.Attribute("title", random.Pick(kTitles));
    sink << "telephoneNumber: +1 555 ";
    sink.Padded(random.Below(1000), 3) << ' ';
    sink.Padded(random.Below(10000), 4) << '\n';
    sink << "mail: " << cn << "@genco.example\n";
    sink.EndRecord();
  }
}

void WriteModules(LdifSink& sink, const RbsNames& names, Random& random) {
  for (size_t m = 0; m < names.modules.size(); ++m) {
    const std::string_view leaf = LeafName(names.modules[m]);
    sink << "dn: " << names.modules[m] << '\n';
    sink.Attribute("objectClass", "top");
    sink.Attribute("objectClass", "rbsModule2");
    sink.Attribute("cn", leaf);
    sink << "rbsTitle: " << leaf << " administration\n";
    sink << "rbsParameters: vendor=Genco;TC.category=" << leaf << ";eDirMinVersion=8.7\n";
    const std::string version = std::to_string(1 + random.Below(3)) + "." +
                                std::to_string(random.Below(10)) + "." +
                                std::to_string(random.Below(100));
    sink.Base64Attribute("rbsXMLInfo",
                         "<module-info>\n  <name>" + std::string(leaf) + "</name>\n  <version>" +
                             version + "</version>\n  <vendor>Genco</vendor>\n</module-info>\n");
    sink.EndRecord();
  }
}

void WriteCategories(LdifSink& sink, const RbsNames& names, Random& random) {
  for (size_t c = 0; c < names.categories.size(); ++c) {
    const std::string_view leaf = LeafName(names.categories[c]);
    sink << "dn: " << names.categories[c] << '\n';
    sink.Attribute("objectClass", "top");
    sink.Attribute("objectClass", "rbsCategory2");
    sink.Attribute("cn", leaf);
    sink << "rbsTitle: " << random.Pick(kObjectTypes) << " management\n";
    sink << "rbsParameters: icon=category" << (c % 12) << ".gif;order=" << c << '\n';
    sink.EndRecord();
  }
}

// Roles name their tasks and one book in rbsContent; every task names its roles back in
// rbsContentMembership, as a plug-in's install leaves them.
void WriteRoles(LdifSink& sink, const RbsNames& names,
                const std::vector<std::vector<size_t>>& tasksOfRole, Random& random) {
  for (size_t r = 0; r < names.roles.size(); ++r) {
    const std::string_view leaf = LeafName(names.roles[r]);
    sink << "dn: " << names.roles[r] << '\n';
    sink.Attribute("objectClass", "top");
    sink.Attribute("objectClass", "rbsRole2");
    sink.Attribute("cn", leaf);
    sink << "rbsTitle: " << leaf << " operators\n";
    sink << "rbsParameters: scope=subtree;TC.defaultView=" << random.Pick(kViews)
         << ";objectTypeName=" << random.Pick(kObjectTypes) << '\n';
    for (size_t t : tasksOfRole[r])
      sink.Attribute("rbsContent", names.tasks[t]);
    sink.Attribute("rbsContent", names.books[r % names.books.size()]);
    sink.Attribute("rbsContentMembership", names.categories[r % names.categories.size()]);
    sink.EndRecord();
  }
}

void WriteBooks(LdifSink& sink, const RbsNames& names, Random& random) {
  for (size_t b = 0; b < names.books.size(); ++b) {
    const std::string_view leaf = LeafName(names.books[b]);
    sink << "dn: " << names.books[b] << '\n';
    sink.Attribute("objectClass", "top");
    sink.Attribute("objectClass", "rbsBook2");
    sink.Attribute("cn", leaf);
    sink << "rbsTitle: " << leaf << " properties\n";
    sink.Attribute("rbsTargetObjectType", random.Pick(kObjectTypes));
    sink << "rbsParameters: tabs=" << (2 + random.Below(5)) << ";TC.layout=" << random.Pick(kViews)
         << '\n';
    const size_t pages = 1 + random.Below(4);
    for (size_t p = 0; p < pages; ++p) {
      sink << "rbsPageMembership: " << leaf << ".Page" << (p + 1) << '\n';
    }
    sink.Attribute("rbsContentMembership", names.roles[b % names.roles.size()]);
    sink.EndRecord();
  }
}

void WriteTasks(LdifSink& sink, const RbsNames& names,
                const std::vector<std::vector<size_t>>& rolesOfTask, Random& random) {
  for (size_t t = 0; t < names.tasks.size(); ++t) {
    const std::string_view leaf = LeafName(names.tasks[t]);
    const std::string_view verb = random.Pick(kVerbs);
    const std::string_view objectType = random.Pick(kObjectTypes);
    sink << "dn: " << names.tasks[t] << '\n';
    sink.Attribute("objectClass", "top");
    sink.Attribute("objectClass", "rbsTask2");
    sink.Attribute("cn", leaf);
    sink << "rbsTitle: " << verb << ' ' << objectType << '\n';
    sink.Attribute("rbsType", "task");
    sink << "rbsEntryPoint: com.genco.admin." << verb << "Task" << (t % 97) << '\n';
    sink.Attribute("rbsTargetObjectType", objectType);
    // A directory holds a value once per attribute (some servers refuse the entry, others drop
    // the copy), so a second type that is the first again is left out.
    if (random.Below(3) == 0) {
      const std::string_view second = random.Pick(kObjectTypes);
      if (second != objectType)
        sink.Attribute("rbsTargetObjectType", second);
    }
    sink << "rbsParameters: TC.view=" << random.Pick(kViews) << ";objectTypeName=" << objectType
         << ";rows=" << (10 + random.Below(40)) << ";mode=" << (t % 2 == 0 ? "edit" : "read")
         << '\n';
    for (size_t r : rolesOfTask[t])
      sink.Attribute("rbsContentMembership", names.roles[r]);
    sink << "rbsPageMembership: " << LeafName(names.modules[t % names.modules.size()])
         << ".Tasks\n";
    const size_t rights = 1 + random.Below(3);
    std::vector<std::string> given;  // each value once, as for the object types above
    for (size_t k = 0; k < rights; ++k) {
      std::string value =
          std::string(random.Pick(kRightsAttributes)) + ';' + std::to_string(random.Below(127) + 1);
      if (std::find(given.begin(), given.end(), value) == given.end()) {
        sink << "rbsTaskRights: " << value << '\n';
        given.push_back(std::move(value));
      }
    }
    sink.EndRecord();
  }
}

// The filler: groups, devices and organisational roles, never users, so the user class stays
// the large container's alone.
void WriteDepartments(LdifSink& sink, size_t entries, size_t userCount, Random& random) {
  size_t department = 0;
  while (entries > 0) {
    ++department;
    const std::string rdnValue = Numbered("Dept", department, 4);
    const std::string dn = "ou=" + rdnValue + "," + std::string(kOrganisationDn);
    WriteContainer(sink, dn, rdnValue, "Department of generated objects");
    --entries;
    const size_t leaves = std::min(entries, kDepartmentLeaves);
    for (size_t i = 0; i < leaves; ++i) {
      const size_t user = random.Below(userCount);
      switch (i % 3) {
        case 0:
          sink << "dn: cn=Group" << i << ',' << dn << '\n';
          sink.Attribute("objectClass", "top");
          sink.Attribute("objectClass", "groupOfNames");
          sink << "cn: Group" << i << '\n';
          sink << "member: cn=" << UserCn(user) << ',' << kPeopleDn << '\n';
          sink.Attribute("description", "Project team");
          break;
        case 1:
          sink << "dn: cn=WS" << i << ',' << dn << '\n';
          sink.Attribute("objectClass", "top");
          sink.Attribute("objectClass", "device");
          sink << "cn: WS" << i << '\n';
          sink << "serialNumber: SN";
          sink.Padded(random.Below(100'000'000), 8) << '\n';
          sink.Attribute("description", "Workstation");
          break;
        default:
          sink << "dn: cn=Duty" << i << ',' << dn << '\n';
          sink.Attribute("objectClass", "top");
          sink.Attribute("objectClass", "organizationalRole");
          sink << "cn: Duty" << i << '\n';
          sink.Attribute("telephoneNumber", "+1 555 010 0000");
          break;
      }
      sink.EndRecord();
    }
    entries -= leaves;
  }
}

}  // namespace

GeneratedTreeShape PlanGeneratedTree(const TreeGeneratorOptions& options) {
  const size_t n = options.entryCount;
  if (n < kMinEntries || n > kMaxEntries) {
    throw std::invalid_argument("tree generator: entry count " + std::to_string(n) +
                                " is outside 1000..50000000");
  }
  GeneratedTreeShape shape;
  shape.entryCount = n;
  shape.organisationDn = kOrganisationDn;
  shape.largeContainerDn = kPeopleDn;
  shape.largeContainerChildren = std::min(kLargeContainerCap, n / 10);
  shape.largeContainerName = "People.Genco";
  shape.userClass = kUserClass;
  shape.userBaseClass = "User";
  shape.rbsCollectionDn = kCollectionDn;
  shape.rbsCollectionName = "RBS Collection.Services.Genco";
  const size_t rbs = n / 10;
  shape.moduleCount = std::max<size_t>(3, rbs / 250);
  shape.categoryCount = std::max<size_t>(2, rbs / 20);
  shape.roleCount = std::max<size_t>(4, rbs / 10);
  shape.bookCount = std::max<size_t>(3, rbs * 15 / 100);
  shape.taskCount =
      rbs - shape.moduleCount - shape.categoryCount - shape.roleCount - shape.bookCount;
  // Organisation, the large container, the services container and the collection.
  constexpr size_t kFixed = 4;
  const size_t rest = n - kFixed - shape.largeContainerChildren - rbs;
  shape.departmentCount = (rest + kDepartmentLeaves) / (kDepartmentLeaves + 1);
  return shape;
}

namespace {

GeneratedTreeShape Generate(const TreeGeneratorOptions& options, LdifSink& sink) {
  GeneratedTreeShape shape = PlanGeneratedTree(options);
  Random random(options.seed);
  const RbsNames names = NameRbsObjects(shape);

  std::vector<std::vector<size_t>> tasksOfRole(shape.roleCount);
  std::vector<std::vector<size_t>> rolesOfTask(shape.taskCount);
  for (size_t t = 0; t < shape.taskCount; ++t) {
    // Spread each role over the modules rather than giving it the tasks of one module.
    const size_t primary = (t / shape.moduleCount) % shape.roleCount;
    rolesOfTask[t].push_back(primary);
    if (random.Below(3) == 0) {
      const size_t second = random.Below(shape.roleCount);
      if (second != primary)
        rolesOfTask[t].push_back(second);
    }
    for (size_t r : rolesOfTask[t])
      tasksOfRole[r].push_back(t);
  }

  sink << "version: 1\n\n";
  sink << "dn: " << kOrganisationDn << '\n';
  sink.Attribute("objectClass", "top");
  sink.Attribute("objectClass", "organization");
  sink.Attribute("o", "Genco");
  sink.Attribute("description", "Generated benchmark tree");
  sink.EndRecord();

  WriteContainer(sink, kPeopleDn, "People", "Every user of the organisation");
  WriteUsers(sink, shape.largeContainerChildren, random);
  WriteContainer(sink, kServicesDn, "Services", "Administration services");
  sink << "dn: " << kCollectionDn << '\n';
  sink.Attribute("objectClass", "top");
  sink.Attribute("objectClass", "rbsCollection2");
  sink.Attribute("cn", "RBS Collection");
  sink.EndRecord();
  // Parents before children: modules before the books and tasks below them.
  WriteModules(sink, names, random);
  WriteCategories(sink, names, random);
  WriteRoles(sink, names, tasksOfRole, random);
  WriteBooks(sink, names, random);
  WriteTasks(sink, names, rolesOfTask, random);

  const size_t rest = shape.entryCount - 4 - shape.largeContainerChildren - shape.RbsObjectCount();
  WriteDepartments(sink, rest, std::max<size_t>(1, shape.largeContainerChildren), random);
  return shape;
}

}  // namespace

GeneratedTreeShape WriteGeneratedTree(const TreeGeneratorOptions& options, std::ostream& out) {
  LdifSink sink(out);
  GeneratedTreeShape shape = Generate(options, sink);
  sink.Flush();
  return shape;
}

std::string GeneratedTreeLdif(const TreeGeneratorOptions& options, GeneratedTreeShape* shape) {
  GeneratedTreeShape planned = PlanGeneratedTree(options);
  std::string text;
  // About 200 bytes an entry: one reservation spares the copies of repeated doubling.
  text.reserve(planned.entryCount * 200);
  {
    LdifSink sink(text);
    planned = Generate(options, sink);
  }
  if (shape != nullptr)
    *shape = std::move(planned);
  return text;
}
