// The export path the window and orvane-export share, over lists of its own: how the marks
// combine into the document, and the two rules on a document that lost text.
#include "app/export_run.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "directory/d_nw.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_client.h"

namespace {

class Messages : public ErrorMessageSink {
 public:
  void ShowError(const std::string& text) override { errors.push_back(text); }
  std::vector<std::string> errors;
};

// The lists of the primary tree of `client`, loaded below its default name context.
struct LoadedRun {
  explicit LoadedRun(DirClient& client) : client(client), run(client, lists) {
    EXPECT_EQ(client.DirCreateContext(context), kDirOk);
    const std::optional<std::string> tree = run.ChooseTree(std::nullopt, messages);
    EXPECT_TRUE(tree.has_value());
    EXPECT_EQ(run.EnterTree(context, tree.value_or("")), kDirOk);
    const std::string base = run.StartContainer(context, std::nullopt);
    EXPECT_EQ(DSSetRootContext(client, context), kDirOk);
    EXPECT_EQ(run.LoadAll(context, base), kDirOk);
  }
  ~LoadedRun() { static_cast<void>(client.DirFreeContext(context)); }
  LoadedRun(const LoadedRun&) = delete;
  LoadedRun& operator=(const LoadedRun&) = delete;

  DirClient& client;
  TExportLists lists;
  TExportRun run;
  DirContext context = 0;
  Messages messages;
};

int Occurrences(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

struct MarkCase {
  const char* name;
  bool all;
  std::array<const char*, kRbsKinds.size()> patterns;  // nullptr: no pattern for the kind
  bool dependents;
  int checked;  // of the sample tree's items
};

class ExportRunMarks : public ::testing::TestWithParam<MarkCase> {};

// Check-all comes first, then the texts (which uncheck what they do not match), then the
// dependents; the document holds one block per checked line, of its kind.
TEST_P(ExportRunMarks, MarksCombineInOrderAndTheDocumentHoldsTheCheckedLines) {
  const MarkCase& mark = GetParam();
  TempFolder folder;
  TestClient client(folder,
                    OneConnection("LARKSPUR_TREE", "sample", "context = Services.Larkspur\n"));
  ASSERT_EQ(client.Code(), kDirConnectionOk);
  LoadedRun loaded(client.Client());
  for (const RbsKind kind : kRbsKinds) {
    if (mark.all) {
      loaded.run.CheckAll(kind);
    }
    if (const char* pattern = mark.patterns.at(static_cast<size_t>(kind))) {
      loaded.run.MarkByText(kind, pattern);
    }
  }
  if (mark.dependents) {
    loaded.run.CheckDependentBooks(loaded.context);
    loaded.run.CheckDependentTasks(loaded.context);
  }

  const TExportDocument document = loaded.run.BuildDocument(loaded.context);
  EXPECT_EQ(document.items, mark.checked);
  const std::optional<std::string> text = loaded.run.FileText(document, loaded.messages);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(loaded.run.UnsavableBecause(document), std::nullopt);
  EXPECT_TRUE(loaded.messages.errors.empty());
  for (const RbsKind kind : kRbsKinds) {
    const std::string element = "<" + std::string(RbsKindName(kind)) + ">";
    EXPECT_EQ(Occurrences(*text, element),
              static_cast<int>(loaded.lists.Of(kind).CheckedLines().size()))
        << element;
  }
}

INSTANTIATE_TEST_SUITE_P(SampleTree, ExportRunMarks,
                         ::testing::Values(MarkCase{"Everything", true, {}, false, 20},
                                           MarkCase{"PatternsThenDependents",
                                                    false,
                                                    {"user", nullptr, "HELP", nullptr, "printer"},
                                                    true,
                                                    9},
                                           MarkCase{"AllNarrowedByAPattern",
                                                    true,
                                                    {nullptr, nullptr, nullptr, nullptr, "create"},
                                                    false,
                                                    15},
                                           MarkCase{"NothingChecked", false, {}, false, 0}),
                         [](const ::testing::TestParamInfo<MarkCase>& info) {
                           return std::string(info.param.name);
                         });

// A value the document cannot hold: the window shows the document but may not save it, the tool
// writes nothing; both say where the value was.
TEST(ExportRun, TextTheDocumentCannotHoldKeepsItFromBeingSavedOrWritten) {
  TempFolder folder;
  LdifClient client(folder,
                    "dn: o=Odd\nobjectClass: organization\no: Odd\n\n"
                    "dn: cn=Bad,o=Odd\nobjectClass: rbsTask2\ncn: Bad\n"
                    "rbsParameters:: YQFi\n",  // a<U+0001>b
                    "ODD", "context = Odd\n");
  ASSERT_EQ(client.Code(), kDirConnectionOk);
  LoadedRun loaded(client.Client());
  loaded.run.CheckAll(RbsKind::kTask);
  const TExportDocument document = loaded.run.BuildDocument(loaded.context);
  const std::string where =
      "rbsParameters of Bad.Odd, byte offset 1: U+0001 is not a character an XML document can hold";
  EXPECT_FALSE(document.lines.empty());
  EXPECT_EQ(loaded.run.UnsavableBecause(document), where);
  EXPECT_EQ(loaded.run.FileText(document, loaded.messages), std::nullopt);
  EXPECT_EQ(loaded.messages.errors, std::vector<std::string>{"Cannot export " + where});
}

}  // namespace
