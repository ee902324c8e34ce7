// What a filter tree requires of every match, for the stores to narrow a search by, and the
// wildcard match both stores apply to relative names.
#include "directory/client/filter_expr.h"

#include "util/text.h"

std::optional<std::vector<std::string>> RequiredClasses(const FilterNode& node) {
  using Kind = FilterNode::Kind;
  switch (node.kind) {
    case Kind::kBaseClass:
      return std::vector<std::string>{node.text};
    case Kind::kAnd:
      for (const FilterNode& child : node.children) {
        if (auto classes = RequiredClasses(child))
          return classes;
      }
      return std::nullopt;
    case Kind::kOr: {
      std::vector<std::string> all;
      for (const FilterNode& child : node.children) {
        auto classes = RequiredClasses(child);
        if (!classes)
          return std::nullopt;
        all.insert(all.end(), classes->begin(), classes->end());
      }
      return all;
    }
    default:
      return std::nullopt;
  }
}

bool RdnMatches(const Rdn& rdn, std::string_view type, std::string_view pattern) {
  const auto fits = [&](const std::string& pairType, const std::string& value) {
    return (type.empty() || SameTextAscii(type, pairType)) && WildcardMatch(pattern, value);
  };
  if (fits(rdn.type, rdn.value))
    return true;
  for (const Ava& ava : rdn.more) {
    if (fits(ava.type, ava.value))
      return true;
  }
  return false;
}

bool WildcardMatch(std::string_view pattern, std::string_view text, bool exact) {
  const auto same = [exact](char a, char b) {
    return exact ? a == b : LowerAscii(a) == LowerAscii(b);
  };
  size_t p = 0;
  size_t t = 0;
  size_t star = std::string_view::npos;
  size_t mark = 0;
  // On a mismatch after a '*', the star takes one more character and matching resumes.
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = t;
    } else if (p < pattern.size() && same(pattern[p], text[t])) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*')
    ++p;
  return p == pattern.size();
}
