#pragma once
// Generated directory trees for the benchmarks: the LDIF text of one organisation of N entries,
// with a very large container of users and a tenth role-based-services objects, identical for
// identical options so that figures taken on different days compare.
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

struct TreeGeneratorOptions {
  // Entries in the tree, the organisation included; accepted from 1,000 to 50,000,000.
  size_t entryCount = 10'000;
  // The same seed gives the same text, byte for byte.
  uint64_t seed = 1;
};

// What a benchmark needs to know to aim at the generated tree. DNs are in LDAP form
// (`ou=People,o=Genco`), names in the client's typeless form (`People.Genco`), as the Dir* calls
// take them with context flag 0x04.
struct GeneratedTreeShape {
  size_t entryCount = 0;
  std::string organisationDn;
  // The one large container: min(100,000, entryCount / 10) users, and the only users in the
  // tree, so a subtree search for the user class anywhere above it returns exactly these.
  std::string largeContainerDn;
  std::string largeContainerName;
  size_t largeContainerChildren = 0;
  // The users' last objectClass value, and the base class the client reports for it (the
  // class name a base-class filter takes).
  std::string userClass;
  std::string userBaseClass;
  // The RBS collection; modules, categories and roles sit directly below it, books and tasks
  // below the modules, round-robin.
  std::string rbsCollectionDn;
  std::string rbsCollectionName;
  size_t moduleCount = 0;
  size_t categoryCount = 0;
  size_t roleCount = 0;
  size_t bookCount = 0;
  size_t taskCount = 0;
  // The remaining entries: department containers of up to 1,000 groups, devices and
  // organisational roles.
  size_t departmentCount = 0;

  [[nodiscard]] size_t RbsObjectCount() const {
    return moduleCount + categoryCount + roleCount + bookCount + taskCount;
  }
};

// The shape a tree of these options will have, without generating it. Throws
// std::invalid_argument when entryCount is outside the accepted range.
[[nodiscard]] GeneratedTreeShape PlanGeneratedTree(const TreeGeneratorOptions& options);

// Writes the LDIF text (RFC 2849, a "version: 1" line, then one record per entry, parents before
// children) to `out` and returns its shape. Throws std::invalid_argument as PlanGeneratedTree;
// a failing stream is left in its failed state for the caller to test.
GeneratedTreeShape WriteGeneratedTree(const TreeGeneratorOptions& options, std::ostream& out);

// The same text as one string.
[[nodiscard]] std::string GeneratedTreeLdif(const TreeGeneratorOptions& options,
                                            GeneratedTreeShape* shape = nullptr);
