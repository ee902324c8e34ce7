#pragma once
// Names as callers write them, against the entries of one store: typeless parts take the types
// of the entries they name (namesakes tried in one fixed order), names handed out are written so
// that they resolve to the same entry again, and aliases are followed to their objects.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "directory/client/dir_name.h"
#include "directory/client/store.h"
#include "util/text.h"

// What the names of one listing or search keep between entries: the parent of the last name,
// when none of its written parts has a namesake tried before it, and the namesakes met so far,
// so that entries sharing a value under many naming types do not each ask for all the others.
struct NameMemo {
  DirName parent;
  size_t written = 0;  // parts of the last name written
  bool valid = false;
  // The children of one parent sharing one value (at least two), in the order resolution tries
  // them for a part with parts below it, and the one it tries first for a leaf.
  struct Namesakes {
    std::vector<ChildCandidate> inner;
    ChildCandidate leafFirst;
  };
  // By NamesakeKey of the parent and the value.
  std::unordered_map<std::string, Namesakes> namesakes;
  // A few names above the leaves met so far whose own part has no namesake: the names inside
  // one entry's values mostly share the containers at their top while their parents differ.
  std::vector<DirName> withoutNamesakes;
};

// The complete name `text` stands for relative to `nameContext` (a leading '.' makes it
// complete, each trailing '.' goes one level up, "[Root]" is the root); nullopt for a text
// ParseDirName refuses or one that climbs above the root. A name of no entry keeps the types of
// the parts that exist and the usual defaults below them (the top O, the leaf CN, OU between).
[[nodiscard]] std::optional<DirName> ResolveName(Store& store, std::string_view text,
                                                 const DirName& nameContext);
// What resolving the many names of one operation keeps of the parents they share: a parent's
// complete name by its text, where each of its parts named exactly one entry, so that it is that
// name whatever leaf follows. Only answers that stay the same while it is kept may fill it: a
// store's for one operation, or what a store knows while nothing is asked.
struct SharedParents {
  DirName nameContext;  // what the texts were resolved relative to
  std::unordered_map<std::string, DirName, TextHash, std::equal_to<>> byText;
};

// ResolveName, the parent taken from `parents` where they hold its text.
[[nodiscard]] std::optional<DirName> ResolveName(Store& store, std::string_view text,
                                                 const DirName& nameContext,
                                                 SharedParents& parents);
// The name `text` most likely stands for, from the names `store` knows without asking anything
// (Store::KnownChildren): ResolveName's answer wherever the store knows every part, else the
// defaults it gives a name of no entry. For asking ahead: a guess, to be checked by the real
// resolution before anything depends on it. nullopt where ResolveName gives nullopt.
[[nodiscard]] std::optional<DirName> GuessName(Store& store, std::string_view text,
                                               const DirName& nameContext);
[[nodiscard]] std::optional<DirName> GuessName(Store& store, std::string_view text,
                                               const DirName& nameContext, SharedParents& parents);
// The first part above the leaf of `text` (resolved as GuessName does, from the top) that
// `store` cannot type from what it knows, with the entry it lies below; nullopt when it knows
// every part above the leaf, or ResolveName gives nullopt. For looking up many names' containers
// at once (Store::LearnChildren) before guessing the names.
[[nodiscard]] std::optional<std::pair<DirName, NamePart>> FirstUnknownContainer(
    Store& store, std::string_view text, const DirName& nameContext);
// A complete name given without a name context (one leading '.' allowed, no trailing dots); a
// typeless leaf of no entry is taken as an OU, as name contexts and configured names mostly are.
[[nodiscard]] std::optional<DirName> ResolveComplete(Store& store, std::string_view text);

// `name` written relative to `base`; a typeless name writes typed each part that a namesake
// would take from it, so that the name resolves to `name` again. `memo`, kept across the entries
// of one listing, spares siblings the checks of the parts they share.
[[nodiscard]] std::string NameText(Store& store, const DirName& name, const DirName& base,
                                   bool typeless, NameMemo* memo = nullptr);

// What the typeless names inside values keep between the reads of one operation: the text that
// follows the leaf in the written name of a common-named child, by its parent's DN as the values
// spell it, for the parents none of whose written parts has a namesake. The values of a few
// thousand roles name tasks of a few hundred containers; each name would parse and check its
// parents again part by part.
struct ValueNameTails {
  DirName base;  // what the texts are written relative to
  std::unordered_map<std::string, std::string, TextHash, std::equal_to<>> byParentDn;
};

// NameText of the name the LDAP DN `dn` spells, typeless as `typeless` says; nullopt for a text
// that is no DN. `memo` is kept as for NameText; `tails`, kept longer, answers the usual name
// without parsing its parents. Only a store whose answers stay the same may keep `tails`.
[[nodiscard]] std::optional<std::string> DnNameText(Store& store, std::string_view dn,
                                                    const DirName& base, bool typeless,
                                                    NameMemo& memo, ValueNameTails& tails);

// Replaces an alias's name by its object's, through at most a few aliases in a row; kDirOk for a
// name that is no alias, the store's code for a name of no entry, kDirNoSuchEntry for an alias
// whose target cannot be parsed or a chain too long (a loop).
[[nodiscard]] int32_t Dereference(Store& store, DirName& name);
