// Display names of containers and the walk up and down the container list.
#include <gtest/gtest.h>

#include <string>

#include "directory/d_nw_list.h"

namespace {

struct NameCase {
  const char* input;
  const char* expected;
};

TEST(MakeFullName, AddsOneDotToCompleteNamesOnly) {
  const NameCase cases[] = {
      {"OU=Sales", ".OU=Sales"},
      {"Sales.Org", ".Sales.Org"},
      {".OU=Sales", ".OU=Sales"},
      {"..Sales", "..Sales"},
      {"[Root]", "[Root]"},
      {"[Public]", "[Public]"},
      {"", ""},
      // Only the exact spellings are special.
      {"[root]", ".[root]"},
      {"[Root].X", ".[Root].X"},
      {" [Root]", ". [Root]"},
  };
  for (const NameCase& c : cases) {
    EXPECT_EQ(MakeFullName(c.input), c.expected) << "input: " << c.input;
  }
}

TEST(FirstNamePart, EndsAtTheFirstUnescapedDot) {
  const NameCase cases[] = {
      {"Audit v1\\.2.Extra.Coll", "Audit v1\\.2"},
      {"A\\+B.Coll", "A\\+B"},
      {"a\\\\.b", "a\\\\"},  // an escaped backslash, then a real separator
      {"CN=Desk.OU=Roles", "CN=Desk"},
      {"Leaf", "Leaf"},
      {"v1\\.2", "v1\\.2"},
      {"trailing\\", "trailing\\"},  // an escape with nothing after it reads no further
      {".Leading", ""},
      {"", ""},
  };
  for (const NameCase& c : cases) {
    EXPECT_EQ(FirstNamePart(c.input), c.expected) << "input: " << c.input;
  }
}

struct NavigateCase {
  const char* current;
  const char* picked;
  const char* expected;
};

TEST(NavigateContext, WalksUpAndDown) {
  const NavigateCase cases[] = {
      // Staying.
      {".Org", ".", ".Org"},
      {".Org", "", ".Org"},
      {"[Root]", "", "[Root]"},
      // Up: the first name part goes, and so does the leading dot.
      {".Sales.Org", "[ .. ]", "Org"},
      {".Sales.Org", "..", "Org"},
      {".A.B.C", "[ .. ]", "B.C"},
      {".Org", "..", "[Root]"},
      {".Org", "[ .. ]", "[Root]"},
      {"Sales.Org", "[ .. ]", "Org"},
      {"..Sales.Org", "[ .. ]", "Org"},
      {"[Root]", "[ .. ]", "[Root]"},
      {"", "..", "[Root]"},
      {".", "..", "[Root]"},
      // Up past a part whose value holds an escaped dot: the escaped dot does not separate.
      {".v1\\.2.Org", "[ .. ]", "Org"},
      {".v1\\.2", "[ .. ]", "[Root]"},
      {".a\\\\.Org", "[ .. ]", "Org"},  // an escaped backslash, then a real separator
      // Down.
      {"[Root]", "Org", ".Org"},
      {"", "Org", ".Org"},
      {".Org", "Sales", ".Sales.Org"},
      {"Org", "Sales", "Sales.Org"},
      {".Org", ".X.Y", ".X.Y"},
      {"[Root]", ".X.Y", ".X.Y"},
      {".Org", "v1\\.2", ".v1\\.2.Org"},
      // Lines that only look like the parent line are children.
      {".Org", "[..]", ".[..].Org"},
  };
  for (const NavigateCase& c : cases) {
    EXPECT_EQ(NavigateContext(c.current, c.picked), c.expected)
        << "current: " << c.current << ", picked: " << c.picked;
  }
}

TEST(NavigateContext, DownThenUpReturnsToTheDisplayedContainer) {
  // The window shows the result of going up again in display form.
  for (const char* current : {".Org", ".Sales.Org", ".v1\\.2.Org", ".a\\\\.b"}) {
    for (const char* child : {"Sales", "v1\\.2", "x\\\\"}) {
      const std::string down = NavigateContext(current, child);
      EXPECT_EQ(MakeFullName(NavigateContext(down, "[ .. ]")), current)
          << current << " / " << child;
    }
  }
  for (const char* child : {"Org", "v1\\.2"}) {
    EXPECT_EQ(NavigateContext(NavigateContext("[Root]", child), ".."), "[Root]") << child;
  }
}

}  // namespace
