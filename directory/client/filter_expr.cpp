// What a filter tree requires of every match, for the stores to narrow a search by.
#include "directory/client/filter_expr.h"

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
