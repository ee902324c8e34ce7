#include "directory/client/name_resolver.h"

#include <algorithm>
#include <functional>
#include <utility>
#include <vector>

#include "directory/client/dir_codes.h"
#include "util/text.h"

namespace {

constexpr int kMaxAliasHops = 8;

// The children of a parent that a name part may stand for: a store's answer, or what it knows.
using ChildFinder = std::function<std::vector<ChildCandidate>(const DirName&, const NamePart&)>;

ChildFinder StoreChildren(Store& store) {
  return [&store](const DirName& parent, const NamePart& part) {
    return store.FindChildren(parent, part);
  };
}

// How many children resolving one name may try before it stops looking for a way through
// namesakes, so that no tree can make a lookup take exponential time.
constexpr int kMaxResolveSteps = 256;

// How many namesakes tried before a part of a name handed out are asked whether they would take
// the name written without the part's type, before the type is written anyway.
constexpr int kMaxNamesakesTried = 16;
// Beyond this many, NameMemo::withoutNamesakes would cost more to search than the lookups it
// spares.
constexpr size_t kMaxSuffixesRemembered = 8;
// Parents ValueNameTails keeps before it starts afresh: a long operation meets many containers,
// each kept in a few dozen bytes.
constexpr size_t kMaxParentTails = 4096;
// Parents SharedParents keeps before it starts afresh, for the same reason.
constexpr size_t kMaxSharedParents = 4096;

// Whether resolution tries `a` before `b`, two children of one parent that share a value (a
// typeless part names both): for a part with parts below it containers first, then CN, OU, O
// and the other naming types by name. One order for every store and every operation, so that a
// name means the same entry wherever it is used.
bool TriedBefore(const ChildCandidate& a, const ChildCandidate& b, bool leaf) {
  if (!leaf && a.container != b.container)
    return a.container;
  const auto rank = [](const std::string& type) {
    return EqualsIgnoringCase(type, "CN")   ? 0
           : EqualsIgnoringCase(type, "OU") ? 1
           : EqualsIgnoringCase(type, "O")  ? 2
                                            : 3;
  };
  const int rankA = rank(a.rdn.type);
  const int rankB = rank(b.rdn.type);
  if (rankA != rankB)
    return rankA < rankB;
  // Sorting namesakes is hot on large trees: single values compare by type without building keys.
  if (a.rdn.more.empty() && b.rdn.more.empty()) {
    return std::lexicographical_compare(
        a.rdn.type.begin(), a.rdn.type.end(), b.rdn.type.begin(), b.rdn.type.end(),
        // As std::string orders the folded texts: bytes compare unsigned.
        [](char x, char y) {
          return static_cast<unsigned char>(LowerAscii(x)) <
                 static_cast<unsigned char>(LowerAscii(y));
        });
  }
  // Namesakes of a multi-valued part may share their first type (CN=a+OU=b and CN=b+OU=a):
  // their other types, then the values, keep the order one.
  const std::string typesA = FoldCase(RdnTypeKey(a.rdn));
  const std::string typesB = FoldCase(RdnTypeKey(b.rdn));
  if (typesA != typesB)
    return typesA < typesB;
  return FoldCase(RdnValueKey(a.rdn.value, a.rdn.more)) <
         FoldCase(RdnValueKey(b.rdn.value, b.rdn.more));
}

// Puts in front of `name` (the entry the parts are below) the RDNs of `parts[0, count)`, leaf
// first: each typeless part takes the first child, in TriedBefore's order, below which the parts
// after it all exist. False, with `name` as it was, when no choice makes every part exist or
// `steps` run out.
bool ResolveExisting(const ChildFinder& children, const std::vector<NamePart>& parts, size_t count,
                     DirName& name, int& steps) {
  if (count == 0)
    return true;
  const NamePart& part = parts[count - 1];
  const bool leaf = count == 1;
  const auto descend = [&](const Rdn& rdn) {
    if (--steps < 0)
      return false;
    name.insert(name.begin(), rdn);
    if (ResolveExisting(children, parts, count - 1, name, steps))
      return true;
    name.erase(name.begin());
    return false;
  };
  std::optional<Rdn> tried;
  if (part.type.empty() && part.more.empty() && leaf) {
    // A common name comes first whatever shares its value, so the usual leaf is found without
    // asking for its namesakes.
    const auto common = children(name, NamePart{"CN", part.value});
    if (!common.empty()) {
      if (descend(common.front().rdn))
        return true;
      tried = common.front().rdn;
    }
  }
  auto candidates = children(name, part);
  std::sort(
      candidates.begin(), candidates.end(),
      [&](const ChildCandidate& a, const ChildCandidate& b) { return TriedBefore(a, b, leaf); });
  for (const ChildCandidate& candidate : candidates) {
    if (tried && SameRdn(*tried, candidate.rdn))
      continue;
    if (descend(candidate.rdn))
      return true;
  }
  return false;
}

// Gives every typeless part the type of the entry it names (ResolveExisting). A name of no
// entry keeps the types of the parts that exist, from the root down, and the parts below take
// the usual default types (the top O, the leaf `leafType`, OU between).
DirName TypeParts(const ChildFinder& children, const std::vector<NamePart>& parts, DirName base,
                  const char* leafType) {
  DirName name;
  name.reserve(base.size() + parts.size());
  name = base;
  int steps = kMaxResolveSteps;
  if (ResolveExisting(children, parts, parts.size(), name, steps))
    return name;
  name = std::move(base);
  bool found = true;
  for (size_t i = parts.size(); i-- > 0;) {
    const NamePart& part = parts[i];
    if (found) {
      auto candidates = children(name, part);
      if (!candidates.empty()) {
        const auto first = std::min_element(candidates.begin(), candidates.end(),
                                            [&](const ChildCandidate& a, const ChildCandidate& b) {
                                              return TriedBefore(a, b, i == 0);
                                            });
        name.insert(name.begin(), std::move(first->rdn));
        continue;
      }
    }
    found = false;
    if (!part.type.empty()) {
      name.insert(name.begin(), RdnOfPart(part));
      continue;
    }
    const std::string type = name.empty() ? "O" : (i == 0 ? leafType : "OU");
    std::vector<Ava> more;
    for (const Ava& ava : part.more)
      more.push_back(Ava{type, ava.value});
    name.insert(name.begin(), CanonicalRdn(Ava{type, part.value}, std::move(more)));
  }
  return name;
}

// The key of NameMemo::namesakes for the children of `parent` whose value is `value`.
std::string NamesakeKey(const DirName& parent, const NamePart& part) {
  std::string key;
  const auto add = [&key](std::string_view text) {
    key += std::to_string(text.size());
    key += ':';
    key += FoldCase(text);
  };
  // Namesakes share their values as a set, each of them in its own order.
  add(part.more.empty() ? part.value : RdnValueSetKey(RdnOfPart(part)));
  for (const Rdn& rdn : parent) {
    add(RdnTypeKey(rdn));
    add(RdnValueKey(rdn.value, rdn.more));
  }
  return key;
}

// The children of `parent` whose values are those of the typeless `part`, ordered, when there are
// at least two: from `memo` when it has met them, else from the store (and then kept in `memo`, or
// in `local` without one). nullptr when the value has no namesakes.
const NameMemo::Namesakes* FindNamesakes(Store& store, const DirName& parent, const NamePart& part,
                                         NameMemo* memo, NameMemo::Namesakes& local) {
  std::string key;
  // Most trees have no namesakes at all: their entries pay for no key.
  if (memo != nullptr && !memo->namesakes.empty()) {
    key = NamesakeKey(parent, part);
    if (const auto found = memo->namesakes.find(key); found != memo->namesakes.end())
      return &found->second;
  }
  auto children = store.FindChildren(parent, part);
  if (children.size() < 2)
    return nullptr;
  NameMemo::Namesakes namesakes;
  namesakes.leafFirst = *std::min_element(
      children.begin(), children.end(),
      [](const ChildCandidate& a, const ChildCandidate& b) { return TriedBefore(a, b, true); });
  std::sort(children.begin(), children.end(), [](const ChildCandidate& a, const ChildCandidate& b) {
    return TriedBefore(a, b, false);
  });
  namesakes.inner = std::move(children);
  if (memo == nullptr) {
    local = std::move(namesakes);
    return &local;
  }
  if (key.empty())
    key = NamesakeKey(parent, part);
  return &memo->namesakes.emplace(std::move(key), std::move(namesakes)).first->second;
}

// Whether part `at` (leaf first) of the existing entry `name`, written typeless with the parts
// below it written as `typed` says, would resolve to a namesake that resolution tries first.
// `contested` tells whether the part has such a namesake at all, whatever the parts below.
bool TakenByNamesake(Store& store, const DirName& name, size_t at, const std::vector<bool>& typed,
                     bool& contested, NameMemo* memo) {
  contested = false;
  const Rdn& own = name[at];
  // A common name is tried first among its namesakes (every part above the leaf names a
  // container), so the usual name needs no lookup. The namesakes of a multi-valued RDN may all
  // begin with one.
  if (own.more.empty() && EqualsIgnoringCase(own.type, "CN"))
    return false;
  const auto from = name.begin() + static_cast<std::ptrdiff_t>(at);
  const bool leaf = at == 0;
  const auto isSuffix = [&](const DirName& known) {
    return known.size() == name.size() - at &&
           std::equal(known.begin(), known.end(), from, SpelledAlike);
  };
  if (memo != nullptr && !leaf &&
      std::any_of(memo->withoutNamesakes.begin(), memo->withoutNamesakes.end(), isSuffix)) {
    return false;
  }
  const DirName parent(from + 1, name.end());
  NameMemo::Namesakes local;
  const NameMemo::Namesakes* namesakes =
      FindNamesakes(store, parent, TypelessPart(own), memo, local);
  if (namesakes == nullptr) {
    if (memo != nullptr && !leaf && memo->withoutNamesakes.size() < kMaxSuffixesRemembered)
      memo->withoutNamesakes.emplace_back(from, name.end());
    return false;
  }
  const ChildCandidate self{own, !leaf};
  if (leaf) {
    // Nothing lies below a leaf: the namesake tried first takes its name unless it is the leaf.
    contested =
        !SameRdn(namesakes->leafFirst.rdn, own) && TriedBefore(namesakes->leafFirst, self, true);
    return contested;
  }
  std::vector<NamePart> below;
  for (size_t i = 0; i < at; ++i) {
    const bool keepsType = i < typed.size() && typed[i];
    below.push_back(keepsType ? NamePart{name[i].type, name[i].value, name[i].more}
                              : TypelessPart(name[i]));
  }
  // In the order they are tried: the first not tried before this part ends those that are.
  int tried = 0;
  for (const ChildCandidate& other : namesakes->inner) {
    if (!TriedBefore(other, self, false))
      break;
    if (SameRdn(other.rdn, own))
      continue;
    contested = true;
    // A typed part names its entry whatever its namesakes hold: past this many of them the part
    // is written typed, so that no tree makes each of its names cost a walk over all the others
    // (and the name resolves without one).
    if (++tried > kMaxNamesakesTried)
      return true;
    DirName under = parent;
    under.insert(under.begin(), other.rdn);
    int steps = kMaxResolveSteps;
    if (ResolveExisting(StoreChildren(store), below, below.size(), under, steps) || steps < 0)
      return true;
  }
  return false;
}

}  // namespace

std::string NameText(Store& store, const DirName& name, const DirName& base, bool typeless,
                     NameMemo* memo) {
  if (!typeless || name.empty())
    return FormatDirName(name, base, typeless);
  const size_t written = WrittenPartCount(name, base);
  std::vector<bool> typed;  // stays empty while no part needs its type
  const auto check = [&](size_t at, bool& contested) {
    if (TakenByNamesake(store, name, at, typed, contested, memo)) {
      typed.resize(written);
      typed[at] = true;
    }
  };
  bool contested = false;
  check(0, contested);
  // Siblings share every part above the leaf, and whether those parts need their types does not
  // depend on the leaf unless one of them has a namesake tried before it.
  const bool sameParent =
      memo != nullptr && memo->valid && memo->written == written &&
      memo->parent.size() + 1 == name.size() &&
      std::equal(memo->parent.begin(), memo->parent.end(), name.begin() + 1, SpelledAlike);
  if (written > 1 && !sameParent) {
    bool plain = true;
    for (size_t at = 1; at < written; ++at) {
      check(at, contested);
      plain = plain && !contested;
    }
    if (memo != nullptr) {
      memo->valid = plain;
      memo->written = written;
      memo->parent.assign(name.begin() + 1, name.end());
    }
  }
  return FormatDirName(name, base, true, typed);
}

std::optional<std::string> DnNameText(Store& store, std::string_view dn, const DirName& base,
                                      bool typeless, NameMemo& memo, ValueNameTails& tails) {
  // A common name needs no check of its namesakes, so under one parent only its own part
  // differs from its siblings' names.
  const std::optional<PlainLeaf> leaf = PlainLeafOf(dn);
  const bool common = typeless && leaf && EqualsIgnoringCase(leaf->type, "CN");
  std::string leafText;
  if (common) {
    if (!NamesSpelledAlike(tails.base, base)) {
      tails.byParentDn.clear();
      tails.base = base;
    }
    AppendEscaped(leafText, leaf->value);
    if (const auto known = tails.byParentDn.find(leaf->parentDn); known != tails.byParentDn.end()) {
      return leafText + known->second;
    }
  }
  const auto name = ParseLdapDn(dn);
  if (!name)
    return std::nullopt;
  std::string text = NameText(store, *name, base, typeless, &memo);
  // Parents some of whose parts have namesakes are written as each leaf below them decides.
  const bool parentsPlain = WrittenPartCount(*name, base) <= 1 || memo.valid;
  if (common && parentsPlain && text.starts_with(leafText)) {
    if (tails.byParentDn.size() >= kMaxParentTails)
      tails.byParentDn.clear();
    tails.byParentDn.emplace(leaf->parentDn, text.substr(leafText.size()));
  }
  return text;
}

namespace {

// The text after the first part of `text`, which alone decides the parts, the trailing dots and
// the completeness of its parent; empty where there is none to share (a complete name, a name of
// one part, or one whose parent is only dots).
std::string_view ParentText(std::string_view text) {
  if (text.empty() || text[0] == '.')
    return {};
  for (size_t at = 0; at < text.size(); at += text[at] == '\\' ? 2 : 1) {
    if (text[at] == '.')
      return at + 1 < text.size() && text[at + 1] != '.' ? text.substr(at + 1) : std::string_view();
  }
  return {};
}

// ResolveName through `children`, sharing parents through `parents` where given.
std::optional<DirName> ResolveNameThrough(const ChildFinder& children, std::string_view text,
                                          const DirName& nameContext, SharedParents* parents) {
  const std::string_view parentText = parents != nullptr ? ParentText(text) : std::string_view();
  if (!parentText.empty()) {
    if (!NamesSpelledAlike(parents->nameContext, nameContext)) {
      parents->byText.clear();
      parents->nameContext = nameContext;
    }
    if (const auto known = parents->byText.find(parentText); known != parents->byText.end()) {
      // The leaf is typed under that parent as it would be below the parent resolved again.
      const auto leaf = ParseDirName(text.substr(0, text.size() - parentText.size() - 1));
      if (!leaf)
        return std::nullopt;
      if (!leaf->root)
        return TypeParts(children, leaf->parts, known->second, "CN");
    }
  }
  const auto parsed = ParseDirName(text);
  if (!parsed)
    return std::nullopt;
  if (parsed->root)
    return DirName();
  DirName base;
  if (!parsed->complete) {
    base = nameContext;
    if (static_cast<size_t>(parsed->trailingDots) > base.size())
      return std::nullopt;
    base.erase(base.begin(), base.begin() + parsed->trailingDots);
  }
  if (parentText.empty())
    return TypeParts(children, parsed->parts, std::move(base), "CN");
  // A part above the leaf with no entry, or with namesakes, may be typed by what lies below it.
  const size_t leafDepth = base.size() + parsed->parts.size() - 1;
  bool forced = true;
  const ChildFinder counted = [&](const DirName& parent, const NamePart& part) {
    std::vector<ChildCandidate> found = children(parent, part);
    if (parent.size() < leafDepth && found.size() != 1)
      forced = false;
    return found;
  };
  DirName name = TypeParts(counted, parsed->parts, std::move(base), "CN");
  if (forced) {
    if (parents->byText.size() >= kMaxSharedParents)
      parents->byText.clear();
    parents->byText.emplace(parentText, DirName(name.begin() + 1, name.end()));
  }
  return name;
}

ChildFinder KnownChildrenOf(Store& store) {
  return [&store](const DirName& parent, const NamePart& part) {
    return store.KnownChildren(parent, part);
  };
}

}  // namespace

std::optional<DirName> ResolveName(Store& store, std::string_view text,
                                   const DirName& nameContext) {
  return ResolveNameThrough(StoreChildren(store), text, nameContext, nullptr);
}

std::optional<DirName> ResolveName(Store& store, std::string_view text, const DirName& nameContext,
                                   SharedParents& parents) {
  return ResolveNameThrough(StoreChildren(store), text, nameContext, &parents);
}

std::optional<DirName> GuessName(Store& store, std::string_view text, const DirName& nameContext) {
  return ResolveNameThrough(KnownChildrenOf(store), text, nameContext, nullptr);
}

std::optional<DirName> GuessName(Store& store, std::string_view text, const DirName& nameContext,
                                 SharedParents& parents) {
  return ResolveNameThrough(KnownChildrenOf(store), text, nameContext, &parents);
}

std::optional<std::pair<DirName, NamePart>> FirstUnknownContainer(Store& store,
                                                                  std::string_view text,
                                                                  const DirName& nameContext) {
  const auto parsed = ParseDirName(text);
  if (!parsed || parsed->root)
    return std::nullopt;
  DirName name;
  if (!parsed->complete) {
    name = nameContext;
    if (static_cast<size_t>(parsed->trailingDots) > name.size())
      return std::nullopt;
    name.erase(name.begin(), name.begin() + parsed->trailingDots);
  }
  for (size_t i = parsed->parts.size(); i-- > 1;) {
    const NamePart& part = parsed->parts[i];
    if (!part.type.empty()) {
      name.insert(name.begin(), RdnOfPart(part));
      continue;
    }
    auto candidates = store.KnownChildren(name, part);
    if (candidates.empty())
      return std::make_pair(std::move(name), part);
    name.insert(name.begin(),
                std::min_element(candidates.begin(), candidates.end(),
                                 [](const ChildCandidate& a, const ChildCandidate& b) {
                                   return TriedBefore(a, b, false);
                                 })
                    ->rdn);
  }
  return std::nullopt;
}

std::optional<DirName> ResolveComplete(Store& store, std::string_view text) {
  if (!text.empty() && text[0] == '.')
    text.remove_prefix(1);
  const auto parsed = ParseDirName(text);
  if (!parsed || parsed->trailingDots > 0)
    return std::nullopt;
  if (parsed->root)
    return DirName();
  // Name contexts and configured names are containers more often than not.
  return TypeParts(StoreChildren(store), parsed->parts, DirName(), "OU");
}

int32_t Dereference(Store& store, DirName& name) {
  for (int hop = 0; hop < kMaxAliasHops; ++hop) {
    StoreEntry entry;
    if (const int32_t code = store.GetEntryWithoutCount(name, entry); code != kDirOk)
      return code;
    if (!EqualsIgnoringCase(entry.baseClass, "Alias"))
      return kDirOk;
    std::vector<StoreAttribute> attributes;
    if (store.ReadAttributes(name, {"Aliased Object Name"}, attributes) != kDirOk ||
        attributes.empty() || attributes.front().values.empty()) {
      return kDirOk;
    }
    const auto target = ParseLdapDn(attributes.front().values.front());
    if (!target)
      return kDirNoSuchEntry;
    name = *target;
  }
  return kDirNoSuchEntry;
}
