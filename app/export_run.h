#pragma once
// One export from the directory to the install document, the path the window and orvane-export
// share: the tree and the start container, the five lists searched below it and marked, the
// document built from the checked lines, and whether that document may be saved. Plain C++:
// the window drives it and shows it, the command-line export drives it and writes it.
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/export_lists.h"
#include "directory/client/dir_client.h"
#include "directory/message_sink.h"
#include "util/string_list.h"
#include "xmlexport/directory_attributes.h"
#include "xmlexport/install_document.h"

// An install document as built from the checked lines, with what went wrong on the way.
struct TExportDocument {
  std::vector<std::string> lines;
  int64_t items = 0;     // the checked lines it was built from
  bool stopped = false;  // the user stopped the build: the lines are not a document
  // The first read that failed (the document may lack values), and the first that found the
  // server lost (the document stops there, without its closing lines).
  std::optional<DirectoryAttributeSource::ReadFailure> firstFailure;
  std::optional<DirectoryAttributeSource::ReadFailure> lostServer;
  // The first value that held text the document cannot hold (U+FFFD went in its place).
  std::optional<XmlTextFault> textFault;
};

class TExportRun {
 public:
  // `client` and `lists` must outlive the run; contexts stay the caller's.
  TExportRun(DirClient& client, TExportListSet& lists) : client_(client), lists_(lists) {}
  TExportRun(const TExportRun&) = delete;
  TExportRun& operator=(const TExportRun&) = delete;

  // The tree --------------------------------------------------------------------------------

  // The window's choice: the index in `trees` of `wanted`, else of `defaultTree` (ASCII case
  // ignored), else -1.
  [[nodiscard]] static int TreeIndex(const TStringList& trees, std::string_view wanted,
                                     std::string_view defaultTree);
  // The tool's choice: the tree asked for (ASCII case ignored), else the primary connection's
  // tree, else the client's default tree, else the first it lists; nullopt, with the reason
  // given to `messages`, when there is none (a primary connection that could not be opened and
  // whose tree no other connection serves is one).
  [[nodiscard]] std::optional<std::string> ChooseTree(const std::optional<std::string>& wanted,
                                                      ErrorMessageSink& messages);
  // Moves `context` to `tree`, with typeless names; DSChangeCurrentTree's code.
  [[nodiscard]] int32_t EnterTree(DirContext context, const std::string& tree);
  // The start container of an export without a browsed one: `wanted`, else the name context
  // of `context`; "[Root]" for an empty one or any spelling of "[Root]".
  [[nodiscard]] std::string StartContainer(DirContext context,
                                           const std::optional<std::string>& wanted) const;

  // The lists ---------------------------------------------------------------------------------

  // Replaces the list of `kind` with the complete names of its items in the subtree of
  // `container` (a complete name; `context` reads from the root), in the order found. The old
  // lines go before the search starts. DSSearch's code; a failed or stopped search keeps what it
  // read.
  [[nodiscard]] int32_t Load(DirContext context, const std::string& container, RbsKind kind);
  // Why a list failed to fill whole (the last failed search of a kind not loaded whole since),
  // when that reason was not handed out before: each reason once, however many lists it cut.
  [[nodiscard]] std::optional<std::string> TakeUnreportedListFailure();
  // Every list, kind by kind, the searches sent together: 0, or the code of the first failed
  // search.
  [[nodiscard]] int32_t LoadAll(DirContext context, const std::string& container);
  // Tells the client that Load runs next for each of `kinds`, in this order, with the same
  // context and container, so that a server across a network gets the searches together.
  void LoadAhead(DirContext context, const std::string& container,
                 std::span<const RbsKind> kinds) const;

  void CheckAll(RbsKind kind);
  void UncheckAll(RbsKind kind);
  // TItemList::MarkByText on the list of `kind`.
  void MarkByText(RbsKind kind, std::string_view text);
  // Marks the books, then the tasks, found in the subtree of each checked module: module by
  // module when few are checked, else by one search per kind below their common container. A
  // search that fails marks what was read before the failure; a search the user stops marks what
  // it found and ends the marking. Reports the modules done of those checked at the start
  // (ReportItemsDone, "modules").
  void CheckDependentBooks(DirContext context);
  // For each checked role, in order: marks the tasks its "rbsContent" names, every role's values
  // asked for ahead at the start (DirReadAhead), the names as the values spell them; the roles
  // naming something that is no list's line are read again after the last, with the entries'
  // spelling.
  // A role whose values cannot be read marks nothing.
  // Lets window messages run before each role and ends the marking there when the user has asked to
  // stop; the values read are reported (ReportEntriesRead), and the roles done of those checked at
  // the start (ReportItemsDone, "roles").
  void CheckDependentTasks(DirContext context);
  // The checked lines of every kind's list, each in its list's order.
  [[nodiscard]] XmlCheckedItems CheckedItems() const;

  // The document --------------------------------------------------------------------------------

  // The install document of the checked lines, every attribute read through `context`; its
  // lines go to `into` when given (and the document's own stay empty).
  [[nodiscard]] TExportDocument BuildDocument(DirContext context,
                                              XmlLineSink* into = nullptr) const;
  // Why the window may not save `document`: a list that failed to fill whole (a part of the tree
  // out of reach among them), a lost server (the text names the read and the client's words),
  // else a value the document cannot hold; nullopt when it may.
  [[nodiscard]] std::optional<std::string> UnsavableBecause(const TExportDocument& document) const;
  // The bytes a file of `document` holds; nullopt, with the reason given to `messages`, when any
  // read failed (the document may lack values) or a value held text the document cannot hold.
  [[nodiscard]] std::optional<std::string> FileText(const TExportDocument& document,
                                                    ErrorMessageSink& messages) const;
  // Whether a file may be written of `document`, however its lines were kept: FileText's test,
  // its reason given to `messages` when not.
  [[nodiscard]] bool MayWriteFile(const TExportDocument& document,
                                  ErrorMessageSink& messages) const;

 private:
  // Marks, in the list of `kind`, the first line equal to each of `names`; returns the positions
  // in `names` of those that equal no line.
  std::vector<int> MarkDependents(RbsKind kind, const TStringList& names);

  DirClient& client_;
  TExportListSet& lists_;
  // By kind, why its list lacks what the search could not reach; the reasons handed out.
  std::map<RbsKind, std::string> listFailures_;
  std::vector<std::string> reportedListFailures_;
};
