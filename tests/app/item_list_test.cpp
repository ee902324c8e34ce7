// Marking the lines of one item list: by pattern, all or none, and by dependency.
#include "app/item_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TItemList Roles() {
  TItemList list;
  for (const char* line :
       {"Desk.Roles.Cfg", "Help.Roles.Cfg", "desk.Old.Cfg", "Zürich.Roles.Cfg"}) {
    list.Add(line);
  }
  return list;
}

std::string Marks(const TItemList& list) {
  std::string marks;
  for (int i = 0; i < list.Count(); ++i) {
    marks += list.Checked(i) ? 'x' : '.';
  }
  return marks;
}

TEST(ItemList, MarkByTextChecksContainingLinesAndUnchecksTheRest) {
  struct Case {
    const char* text;
    const char* marks;
  };
  const Case cases[] = {
      {"desk", "x.x."},       // ASCII case ignored
      {"ROLES.CFG", "xx.x"},  //
      {"", "...."},           // an empty text is in no line
      {"*", "...."},          // no wildcards
      {"ZÜRICH", "...."},     // only a-z fold
      {"Zürich", "...x"},     //
      {"Desk.Roles.Cfg.", "...."},
  };
  for (const Case& c : cases) {
    TItemList list = Roles();
    list.CheckAll();
    list.MarkByText(c.text);
    EXPECT_EQ(Marks(list), c.marks) << c.text;
  }
}

TEST(ItemList, MarkDependentsChecksTheFirstEqualLineAndNeverUnchecks) {
  TItemList list = Roles();
  list.Add("DESK.ROLES.CFG");  // a second line equal ignoring case stays as it is
  list.SetChecked(1, true);
  TStringList values;
  values.Add("desk.roles.cfg");
  values.Add("Missing.Cfg");
  values.Add("Desk.Roles");  // whole lines only
  list.MarkDependents(values);
  EXPECT_EQ(Marks(list), "xx...");

  list.UncheckAll();
  EXPECT_EQ(Marks(list), ".....");
  list.CheckAll();
  EXPECT_EQ(Marks(list), "xxxxx");
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  list.MarkByText("x");  // nothing to mark, nothing to fail
}

// Enough lines that their hashes fall in thousands of ranges: each is found where it stands.
TEST(ItemList, IndexOfFindsEveryLineOfALongList) {
  TItemList list;
  for (int i = 0; i < 5000; ++i) {
    list.Add("Task" + std::to_string(i) + ".Tasks.Cfg");
  }
  for (int i = 0; i < 5000; ++i) {
    ASSERT_EQ(list.IndexOf("TASK" + std::to_string(i) + ".tasks.cfg"), i);
  }
  EXPECT_EQ(list.IndexOf("Task5000.Tasks.Cfg"), -1);
}

// Each step looks a line up after the lines changed since the last lookup, so a stale index of
// first lines shows as a wrong or missing mark.
TEST(ItemList, MarkDependentsFindsTheFirstLineAsTheLinesChange) {
  struct Case {
    const char* name;
    void (*change)(TItemList&);
    const char* value;
    const char* marks;
    std::vector<int> newlyChecked;
    std::vector<int> unmatched;  // positions of the values that equal no line; the first never does
  };
  const Case cases[] = {
      {"an equal line added later is not the first",
       [](TItemList& l) { l.Add("HELP.ROLES.CFG"); },
       "help.roles.cfg",
       ".x...",
       {1},
       {0}},
      {"a line added after a lookup is found",
       [](TItemList& l) { l.Add("New.Cfg"); },
       "NEW.CFG",
       "....x",
       {4},
       {0}},
      {"a checked line is not checked again",
       [](TItemList& l) { l.SetChecked(2, true); },
       "DESK.old.cfg",
       "..x.",
       {},
       {0}},
      {"new lines drop the old ones' index",
       [](TItemList& l) {
         TStringList lines;
         lines.Add("Other.Cfg");
         lines.Add("desk.roles.cfg");
         l.SetLines(lines);
       },
       "Desk.Roles.Cfg",
       ".x",
       {1},
       {0}},
      {"a cleared list finds nothing",
       [](TItemList& l) { l.Clear(); },
       "Desk.Roles.Cfg",
       "",
       {},
       {0, 1}},
  };
  for (const Case& c : cases) {
    TItemList list = Roles();
    TStringList values;
    values.Add("Zürich.Roles.Cfg");  // builds the index before the change
    list.MarkDependents(values);
    list.UncheckAll();
    c.change(list);
    values.Clear();
    values.Add("No.Such.Cfg");
    values.Add(c.value);
    std::vector<int> unmatched{99};
    EXPECT_EQ(list.MarkDependents(values, &unmatched), c.newlyChecked) << c.name;
    EXPECT_EQ(unmatched, c.unmatched) << c.name;
    EXPECT_EQ(Marks(list), c.marks) << c.name;
  }
}

}  // namespace
