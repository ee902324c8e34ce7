#pragma once
// D_NW container listing: a container's immediate subordinates, batch by batch through the
// client, sorted into a container list and an object list; and the display form of container
// names ("[Root]", or a complete name with one leading ".") with the walk up and down.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "directory/client/dir_client.h"
#include "util/string_list.h"

// The tree root's name, and the one other name that never takes a leading ".".
inline constexpr std::string_view kRootName = "[Root]";
inline constexpr std::string_view kPublicName = "[Public]";
// The container-list line that walks one level up.
inline constexpr std::string_view kParentLine = "[ .. ]";

// Size of the result buffer of a listing; a batch holds as many entries as fit in it.
inline constexpr uint32_t kListBufferSize = 4096;

// The state of one listing in progress. It owns its listing context and result buffer from
// DSListFirst until the listing ends (last entry read, or a failing call) or the state is
// destroyed, whichever comes first; the current entry stays readable after the end.
class TNDSObj {
 public:
  TNDSObj() = default;
  TNDSObj(const TNDSObj&) = delete;
  TNDSObj& operator=(const TNDSObj&) = delete;
  ~TNDSObj() { Release(); }

  // The current entry: its name relative to the listed container, as the client gives it
  // (empty when the last read failed), and what the client tells of it besides.
  [[nodiscard]] const std::string& Name() const { return name_; }
  [[nodiscard]] const DirObjectInfo& Info() const { return info_; }
  [[nodiscard]] bool IsContainer() const { return (info_.flags & kDirObjectContainer) != 0; }
  // The listed container in display form.
  [[nodiscard]] const std::string& BaseName() const { return baseName_; }
  // True from a successful start until the listing ends.
  [[nodiscard]] bool Active() const { return context_.has_value(); }

 private:
  friend int32_t DSListFirst(DirClient& client, DirContext context, std::string_view container,
                             TNDSObj& state);
  friend int32_t DSListNext(TNDSObj& state);

  // Frees the listing context and the buffer (once) and forgets the batch, so that a later
  // DSListNext reports the end instead of touching freed handles.
  void Release();
  // Release() and forget the current entry and the base name.
  void Clear();
  [[nodiscard]] int32_t FetchBatch();
  [[nodiscard]] int32_t ReadEntry();

  DirClient* client_ = nullptr;  // the one DSListFirst was given; it must outlive the listing
  int32_t iterationHandle_ = -1;
  std::string baseName_;
  std::optional<DirContext> context_;
  std::optional<DirBuffer> buffer_;
  uint32_t count_ = 0;
  uint32_t read_ = 0;
  std::string name_;
  uint32_t attributeCount_ = 0;
  DirObjectInfo info_;
};

// Starts listing `container` through `client` (display form; a name without a leading "." other
// than "[Root]" or
// "[Public]" is taken as complete) through a duplicate of `context`, and makes the first entry
// current. Returns 0 when an entry is current, -1 for an empty container, otherwise the code of
// the failing client call; on every non-zero return the listing has ended and holds nothing.
[[nodiscard]] int32_t DSListFirst(DirClient& client, DirContext context, std::string_view container,
                                  TNDSObj& state);

// Makes the next entry current. Returns 0 when one is, -1 after the last one (and on a state
// whose listing has already ended), otherwise the failing call's code; the listing has ended on
// every non-zero return. Lets pending window messages run before each entry and each batch, and
// ends the listing with kWorkStopped when the user has asked to stop (StopRequested).
[[nodiscard]] int32_t DSListNext(TNDSObj& state);

// Lists `container` into `containers` (the entries flagged as containers, each with 0 attached)
// and `objects` (every entry with a name whose base class equals `classFilter`, or every entry
// when it is empty; with `withClass` each line is "<base class>: <name>" with the prefix length
// attached, otherwise the bare name with 0). Either list may be null. Entries are appended, so a
// failing listing leaves the ones read before it. A sorted list ends sorted as if each entry had
// been inserted in its place; while the listing runs (and lets window messages run) the new
// entries stand unsorted at its end. A listing the user stops keeps the entries read before.
// Shows the busy cursor for the whole listing and reports each entry read (ReportEntriesRead);
// codes are not reported.
void DSListContainer(DirClient& client, DirContext context, std::string_view container,
                     TStringList* containers, TStringList* objects, std::string_view classFilter,
                     bool withClass);

// True when `name` is exactly "[Root]" or "[Public]" (letter case counts).
[[nodiscard]] bool IsRootOrPublic(std::string_view name);

// The display form of a complete name: `name` unchanged when it is empty, begins with "." or
// IsRootOrPublic; otherwise "." + name.
[[nodiscard]] std::string MakeFullName(std::string_view name);

// The first part of the name `name` (its leaf, names being written leaf first): the text before
// its first "." not escaped with a backslash, escapes kept as written ("Audit v1\.2" of
// "Audit v1\.2.Tasks"); the whole of `name` when it has no such ".".
[[nodiscard]] std::string_view FirstNamePart(std::string_view name);

// `name` without one leading "."; unchanged when it has none.
[[nodiscard]] std::string StripLeadingDot(std::string_view name);

// The container the window moves to when the line `picked` of the container list of `current`
// (display form) is chosen: `current` itself for "." or the empty line; one level up for
// "[ .. ]" or ".." (the parent without a leading ".", or "[Root]" above a first-level
// container); otherwise the picked child below `current` in display form, or `picked` itself
// when it is already complete. A "." escaped with a backslash belongs to its name part.
[[nodiscard]] std::string NavigateContext(std::string_view current, std::string_view picked);
