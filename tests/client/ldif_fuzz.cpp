// Arbitrary bytes through everything the client reads from outside: LDIF (then every entry is
// listed, searched, and each value turned into its record), client names and the connections
// file. Any out-of-bounds read or undefined behaviour stops the run.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "directory/client/connections.h"
#include "directory/client/dir_name.h"
#include "directory/client/memory_store.h"
#include "directory/client/value_codec.h"

namespace {

void Walk(MemoryStore& store, const DirName& name, int depth) {
  if (depth > 8)
    return;
  std::unique_ptr<EntryCursor> cursor;
  if (store.ListChildren(name, cursor) != 0)
    return;
  ValueNaming naming;
  naming.nameText = [](std::string_view dn) -> std::optional<std::string> {
    const auto parsed = ParseLdapDn(dn);
    if (!parsed)
      return std::nullopt;
    return FormatDirName(*parsed, {}, true);
  };
  naming.attributeName = [&](std::string_view attribute) { return store.AttributeName(attribute); };
  StoreEntry entry;
  while (cursor->Next(entry)) {
    std::vector<StoreAttribute> attributes;
    if (store.ReadAttributes(entry.name, {}, attributes) == 0) {
      for (const StoreAttribute& attribute : attributes) {
        for (const std::string& value : attribute.values) {
          std::string error;
          static_cast<void>(
              EncodeValueRecord(attribute.syntax, attribute.name, value, naming, error));
        }
      }
    }
    Walk(store, entry.name, depth + 1);
  }
}

}  // namespace

// libldap's schema parser leaks a few bytes on some malformed definitions (inside
// ldap_str2attributetype and ldap_str2objectclass); that is not ours to mend.
// Full stacks for allocations, so that the suppression below sees who called the allocator.
extern "C" const char* __asan_default_options() {
  return "fast_unwind_on_malloc=0";
}

extern "C" const char* __lsan_default_suppressions() {
  return "leak:ldap_str2attributetype\nleak:ldap_str2objectclass\n";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const auto parsed = ParseDirName(text);
  if (parsed && !parsed->root) {
    DirName name;
    for (const NamePart& part : parsed->parts)
      name.push_back(Rdn{part.type, part.value});
    static_cast<void>(FormatDirName(name, DirName(name.begin() + 1, name.end()), false));
  }
  static_cast<void>(ParseLdapDn(text));
  static_cast<void>(ParseGeneralizedTime(text));
  std::string error;
  static_cast<void>(ParseConnectionsFile(text, "fuzz.ini", error));

  const auto store = MemoryStore::LoadText(std::string(text), "fuzz.ldif", error);
  if (!store)
    return 0;
  Walk(*store, {}, 0);
  FilterNode all;
  all.kind = FilterNode::Kind::kPresent;
  all.text = "Object Class";
  std::unique_ptr<EntryCursor> cursor;
  if (store->Search({}, 2, all, cursor) == 0) {
    StoreEntry entry;
    while (cursor->Next(entry)) {
    }
  }
  return 0;
}
