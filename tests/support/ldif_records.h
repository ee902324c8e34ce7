#pragma once
// LDIF texts rearranged as other tools write them: the records of a subtree alone, as a dump of
// that subtree gives them, and the entries in reverse order, children before their parents.
#include <string>
#include <string_view>
#include <vector>

// The records of `ldif` (each with its lines up to the blank line that ends it) and the DN each
// names (unfolded; empty for the version line and comments before the first record).
struct LdifRecord {
  std::string dn;
  std::string text;
};
[[nodiscard]] std::vector<LdifRecord> LdifRecords(std::string_view ldif);

// The entries of `ldif` whose DN is `base` or ends in ",`base`" (ASCII case ignored), in their
// order, after the schema record when there is one.
[[nodiscard]] std::string SubtreeLdif(std::string_view ldif, std::string_view base);

// `ldif` with its entries in reverse order; what stands before them and the schema record first.
[[nodiscard]] std::string ReversedLdif(std::string_view ldif);
