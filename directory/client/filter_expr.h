#pragma once
// The expression tree of a finished search filter, built by the client from the token sequence
// of DirAddFilterToken and evaluated (or translated) by a store.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "directory/client/dir_name.h"

struct FilterNode {
  enum class Kind { kAnd, kOr, kNot, kBaseClass, kRdn, kPresent, kCompare };
  enum class Op { kEqual, kGreaterOrEqual, kLessOrEqual, kApprox };

  Kind kind = Kind::kAnd;
  std::vector<FilterNode> children;  // kAnd, kOr: two or more; kNot: one
  // kBaseClass: the class name; kRdn: the relative name as written (typed or typeless, '*'
  // matches any run of characters); kPresent, kCompare: the attribute's directory name.
  std::string text;
  std::string rdnType;  // kRdn: the naming type when the name was typed, else empty
  Op op = Op::kEqual;
  uint32_t syntax = 0;
  // kCompare: the value. Texts (syntaxes 1-5, 20, 25) in `textValue`, distinguished names as
  // the RFC 4514 text of an LDAP DN; numbers and times in `numberValue`.
  std::string textValue;
  int64_t numberValue = 0;
};

// The classes a filter requires of every match, which a store can narrow its candidates by: a
// base-class term's class, an AND's first child that requires some, or the union over an OR whose
// every branch requires some. nullopt when the filter does not narrow the classes.
[[nodiscard]] std::optional<std::vector<std::string>> RequiredClasses(const FilterNode& node);

// Whether `text` matches `pattern`, in which '*' stands for any run of characters (none
// included) and every other character for itself; ASCII letter case is ignored unless `exact`.
[[nodiscard]] bool WildcardMatch(std::string_view pattern, std::string_view text,
                                 bool exact = false);
// Whether a pair of `rdn` has the naming type `type` (any, when empty) and a value matching
// `pattern`: a multi-valued RDN matches by any of its pairs.
[[nodiscard]] bool RdnMatches(const Rdn& rdn, std::string_view type, std::string_view pattern);
