// A session built directly over stores: the words a store gives for its failures reach the
// session's error texts and go with the session, sessions keep their handles to themselves, and
// contexts start on the connection they were given.
#include "directory/client/dir_session.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "directory/client/memory_store.h"

namespace {

constexpr const char* kTree =
    "dn: o=Acme\nobjectClass: organization\no: Acme\n\n"
    "dn: ou=Sales,o=Acme\nobjectClass: organizationalUnit\nou: Sales\n\n"
    "dn: cn=Admin,ou=Sales,o=Acme\nobjectClass: inetOrgPerson\ncn: Admin\nsn: Admin\n";

std::shared_ptr<Store> Tree() {
  std::string error;
  std::shared_ptr<Store> store = MemoryStore::LoadText(kTree, "test tree", error);
  EXPECT_NE(store, nullptr) << error;
  return store;
}

// A tree whose listings and reads fail the way a server refuses them, each failure with words of
// its own; the rest is the tree's.
class RefusingStore final : public Store {
 public:
  explicit RefusingStore(std::shared_ptr<Store> tree) : tree_(std::move(tree)) {}

  int32_t GetEntry(const DirName& name, StoreEntry& entry) override {
    return tree_->GetEntry(name, entry);
  }
  std::vector<ChildCandidate> FindChildren(const DirName& parent, const NamePart& part) override {
    return tree_->FindChildren(parent, part);
  }
  int32_t ListChildren(const DirName&, std::unique_ptr<EntryCursor>&) override {
    return Fail(kDirRemoteFailure, "listing refused");
  }
  int32_t Search(const DirName& base, int scope, const FilterNode& filter,
                 std::unique_ptr<EntryCursor>& cursor) override {
    return tree_->Search(base, scope, filter, cursor);
  }
  int32_t ReadAttributes(const DirName&, const std::vector<std::string>&,
                         std::vector<StoreAttribute>&) override {
    // The common codes keep the client's texts: the words are not this code's.
    return kDirNoSuchAttribute;
  }
  int32_t ReadStream(const DirName&, std::string_view, std::string&) override {
    return Fail(kDirNoAccess, "stream refused");
  }
  std::optional<uint32_t> SyntaxOf(std::string_view attribute) const override {
    return tree_->SyntaxOf(attribute);
  }
  std::string AttributeName(std::string_view attribute) const override {
    return tree_->AttributeName(attribute);
  }
  std::optional<std::string> FailureText(int32_t code) const override {
    if (code != lastCode_)
      return std::nullopt;
    return lastText_;
  }

 private:
  int32_t Fail(int32_t code, std::string text) {
    lastCode_ = code;
    lastText_ = std::move(text);
    return code;
  }

  std::shared_ptr<Store> tree_;
  int32_t lastCode_ = kDirOk;
  std::string lastText_;
};

DirConnection Connection(std::string tree, std::shared_ptr<Store> store) {
  DirConnection connection{std::move(tree), std::move(store), {}, std::nullopt};
  connection.context = {Rdn{"O", "Acme"}};
  return connection;
}

TEST(DirSession, AStoresWordsForItsFailuresAreTheSessionsUntilItEnds) {
  auto session = std::make_unique<DirSession>(
      std::vector<DirConnection>{Connection("REFUSING", std::make_shared<RefusingStore>(Tree()))},
      0);
  EXPECT_EQ(session->NWstrerror(kDirRemoteFailure), "Unknown error");
  DirContext context = 0;
  ASSERT_EQ(session->DirCreateContext(context), kDirOk);
  DirBuffer buffer = 0;
  ASSERT_EQ(session->DirAllocBuffer(4096, buffer), kDirOk);

  int32_t handle = -1;
  EXPECT_EQ(session->DirListSubordinates(context, "Sales", handle, buffer), kDirRemoteFailure);
  EXPECT_EQ(handle, -1);
  EXPECT_EQ(session->NWstrerror(kDirRemoteFailure), "listing refused");

  int stream = -1;
  EXPECT_EQ(session->DirOpenStream(context, "Admin.Sales", "Login Script", 0, stream),
            kDirNoAccess);
  EXPECT_EQ(session->NWstrerror(kDirNoAccess), "stream refused");
  EXPECT_EQ(session->NWstrerror(kDirRemoteFailure), "listing refused");  // each code its own

  // A code the store gave without words of its own keeps the client's text, even though the
  // store's last words are still there.
  DirBuffer request = 0;
  ASSERT_EQ(session->DirAllocBuffer(4096, request), kDirOk);
  ASSERT_EQ(session->DirInitBuffer(context, kDirOperationRead, request), kDirOk);
  ASSERT_EQ(session->DirPutAttributeName(context, request, "Surname"), kDirOk);
  EXPECT_EQ(session->DirRead(context, "Admin.Sales", 1, 0, request, handle, buffer),
            kDirNoSuchAttribute);
  EXPECT_EQ(session->NWstrerror(kDirNoSuchAttribute), "No such attribute");

  // Start-up failures are noted the same way; a new session has none of the old one's words.
  session->NoteError(kDirConfigMalformed, "connections.ini line 3: broken");
  EXPECT_EQ(session->NWstrerror(kDirConfigMalformed), "connections.ini line 3: broken");
  *session = DirSession();
  EXPECT_EQ(session->NWstrerror(kDirRemoteFailure), "Unknown error");
  EXPECT_EQ(session->NWstrerror(kDirNoAccess), "Unknown error");
  EXPECT_EQ(session->NWstrerror(kDirConfigMalformed), "The connections file cannot be read");
}

TEST(DirSession, SessionsKeepTheirHandlesToThemselves) {
  const std::shared_ptr<Store> tree = Tree();
  DirSession first({Connection("FIRST", tree)}, 0);
  DirSession second({Connection("SECOND", tree), Connection("OTHER", tree)}, 1);

  DirContext context = 0;
  ASSERT_EQ(first.DirCreateContext(context), kDirOk);
  DirBuffer buffer = 0;
  ASSERT_EQ(first.DirAllocBuffer(4096, buffer), kDirOk);
  DirFilter filter = 0;
  ASSERT_EQ(first.DirAllocFilter(filter), kDirOk);
  std::string tree_name;
  EXPECT_EQ(second.DirGetContextValue(context, kDirKeyTreeName, tree_name), kDirBadContext);
  EXPECT_EQ(second.DirFreeBuffer(buffer), kDirInvalidHandle);
  EXPECT_EQ(second.DirFreeFilter(filter, nullptr), kDirInvalidHandle);

  // Handles are not dealt out again by a later session either.
  DirContext other = 0;
  ASSERT_EQ(second.DirCreateContext(other), kDirOk);
  EXPECT_NE(other, context);
  EXPECT_EQ(second.DirGetContextValue(other, kDirKeyTreeName, tree_name), kDirOk);
  EXPECT_EQ(tree_name, "OTHER");  // the primary connection

  // An iteration of one session does not continue in the other.
  int32_t handle = -1;
  ASSERT_EQ(first.DirListSubordinates(context, "[Root]", handle, buffer), kDirOk);
  DirBuffer otherBuffer = 0;
  ASSERT_EQ(second.DirAllocBuffer(4096, otherBuffer), kDirOk);
  int32_t foreign = 1;
  EXPECT_EQ(second.DirListSubordinates(other, "[Root]", foreign, otherBuffer), kDirInvalidHandle);
  EXPECT_EQ(foreign, -1);

  // A session without connections answers as a client not started.
  DirSession none;
  DirConnectionRef reference = 0;
  uint32_t position = 0;
  EXPECT_EQ(none.DirGetPrimaryConnection(reference), kDirNoConnection);
  EXPECT_EQ(none.DirScanConnections(position, reference), kDirNoMoreConnections);
  EXPECT_EQ(none.DirCreateContext(context), kDirNoSuchTree);
}

// The session keeps a bounded number of live iterations and lets the oldest go first; a read
// answered whole in its first batch holds none, so it must not push out another caller's.
TEST(DirSession, AReadInOneBatchLeavesLiveListingsAlone) {
  std::string error;
  const std::shared_ptr<Store> tree = MemoryStore::LoadText(
      std::string(kTree) +
          "\ndn: ou=Support,o=Acme\nobjectClass: organizationalUnit\nou: Support\n",
      "test tree", error);
  ASSERT_NE(tree, nullptr) << error;
  DirSession session({Connection("TREE", tree)}, 0);
  DirContext context = 0;
  ASSERT_EQ(session.DirCreateContext(context), kDirOk);
  // Room for one entry, so that a listing of the two units stays open after its first batch.
  DirBuffer listing = 0;
  ASSERT_EQ(session.DirAllocBuffer(64, listing), kDirOk);
  constexpr int kLiveListings = 1024;
  std::vector<int32_t> handles;
  for (int i = 0; i < kLiveListings; ++i) {
    int32_t handle = -1;
    ASSERT_EQ(session.DirListSubordinates(context, ".Acme", handle, listing), kDirOk);
    ASSERT_NE(handle, -1);
    handles.push_back(handle);
  }

  DirBuffer request = 0;
  DirBuffer result = 0;
  ASSERT_EQ(session.DirAllocBuffer(4096, request), kDirOk);
  ASSERT_EQ(session.DirAllocBuffer(4096, result), kDirOk);
  ASSERT_EQ(session.DirInitBuffer(context, kDirOperationRead, request), kDirOk);
  ASSERT_EQ(session.DirPutAttributeName(context, request, "Surname"), kDirOk);
  int32_t read = -1;
  ASSERT_EQ(session.DirRead(context, "Admin.Sales", 1, 0, request, read, result), kDirOk);
  EXPECT_EQ(read, -1);

  for (int32_t handle : {handles.front(), handles.back()}) {
    int32_t continued = handle;
    EXPECT_EQ(session.DirListSubordinates(context, ".Acme", continued, listing), kDirOk);
    uint32_t count = 0;
    EXPECT_EQ(session.DirGetObjectCount(context, listing, count), kDirOk);
    EXPECT_EQ(count, 1u);
  }
}

// Counts the namesakes the store hands out; the rest is the tree's.
class CountingStore final : public Store {
 public:
  explicit CountingStore(std::shared_ptr<Store> tree) : tree_(std::move(tree)) {}

  int32_t GetEntry(const DirName& name, StoreEntry& entry) override {
    return tree_->GetEntry(name, entry);
  }
  std::vector<ChildCandidate> FindChildren(const DirName& parent, const NamePart& part) override {
    auto found = tree_->FindChildren(parent, part);
    candidates += found.size();
    return found;
  }
  int32_t ListChildren(const DirName& parent, std::unique_ptr<EntryCursor>& cursor) override {
    return tree_->ListChildren(parent, cursor);
  }
  int32_t Search(const DirName& base, int scope, const FilterNode& filter,
                 std::unique_ptr<EntryCursor>& cursor) override {
    return tree_->Search(base, scope, filter, cursor);
  }
  int32_t ReadAttributes(const DirName& name, const std::vector<std::string>& names,
                         std::vector<StoreAttribute>& attributes) override {
    return tree_->ReadAttributes(name, names, attributes);
  }
  int32_t ReadStream(const DirName& name, std::string_view attribute, std::string& bytes) override {
    return tree_->ReadStream(name, attribute, bytes);
  }
  std::optional<uint32_t> SyntaxOf(std::string_view attribute) const override {
    return tree_->SyntaxOf(attribute);
  }
  std::string AttributeName(std::string_view attribute) const override {
    return tree_->AttributeName(attribute);
  }

  size_t candidates = 0;

 private:
  std::shared_ptr<Store> tree_;
};

// Entries sharing one value under many naming types, as siblings or as containers: the typeless
// names write the type of every part a namesake tried before it would take, or that has many
// namesakes tried before it, and the namesakes are asked for once per listing or search, not
// once per name.
TEST(DirSession, NamesOfManyNamesakesAskForThemOnce) {
  constexpr size_t kNamesakes = 2000;
  const auto number = [](size_t i) { return std::to_string(i); };
  struct Case {
    const char* label;
    std::string ldif;
    bool search;  // a subtree search for the modules, else the listing of Acme
    std::vector<std::pair<size_t, std::string>> names;  // some names, by their place
  };
  Case cases[] = {
      {"siblings", "", false, {{0, "same"}, {1, "T1=same"}, {kNamesakes - 1, "T1999=same"}}},
      {"containers", "", true, {{0, "c0.same"}, {1, "c1.same"}, {10, "c10.same"}}},
  };
  for (size_t i = 0; i < kNamesakes; ++i) {
    const std::string rdn = "t" + number(i) + "=same,o=Acme";
    cases[0].ldif += "dn: " + rdn + "\nobjectClass: organizationalUnit\n\n";
    cases[1].ldif += "dn: " + rdn + "\nobjectClass: organizationalUnit\n\ndn: cn=c" + number(i) +
                     "," + rdn + "\nobjectClass: rbsModule2\n\n";
  }
  // Tried after t0, t1, t10 to t19, t100 to t199 and more: past the namesakes asked about.
  cases[1].names.emplace_back(2, "c2.T2=same");
  cases[1].names.emplace_back(kNamesakes - 1, "c1999.T1999=same");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::string error;
    std::shared_ptr<Store> tree = MemoryStore::LoadText(
        "dn: o=Acme\nobjectClass: organization\n\n" + c.ldif, "namesakes", error);
    ASSERT_NE(tree, nullptr) << error;
    const auto store = std::make_shared<CountingStore>(std::move(tree));
    DirSession session({Connection("TREE", store)}, 0);
    DirContext context = 0;
    ASSERT_EQ(session.DirCreateContext(context), kDirOk);
    ASSERT_EQ(session.DirSetContextValue(context, kDirKeyFlags, 0x04), kDirOk);
    DirBuffer buffer = 0;
    ASSERT_EQ(session.DirAllocBuffer(64512, buffer), kDirOk);
    DirBuffer filter = 0;
    ASSERT_EQ(session.DirAllocBuffer(4096, filter), kDirOk);
    ASSERT_EQ(session.DirInitBuffer(context, kDirOperationSearchFilter, filter), kDirOk);
    DirFilter tokens = 0;
    ASSERT_EQ(session.DirAllocFilter(tokens), kDirOk);
    ASSERT_EQ(session.DirAddFilterToken(tokens, kFilterBaseClass, {}, 0), kDirOk);
    ASSERT_EQ(session.DirAddFilterToken(tokens, kFilterAttribute, std::string("rbsModule2"), 20),
              kDirOk);
    ASSERT_EQ(session.DirAddFilterToken(tokens, kFilterEnd, {}, 0), kDirOk);
    ASSERT_EQ(session.DirPutFilter(context, filter, tokens, nullptr), kDirOk);
    std::vector<std::string> names;
    int32_t handle = -1;
    do {
      ASSERT_EQ(c.search ? session.DirSearch(context, ".Acme", 2, 0, filter, DirTimeStamp{}, 1, 1,
                                             nullptr, handle, 0, nullptr, buffer)
                         : session.DirListSubordinates(context, ".Acme", handle, buffer),
                kDirOk);
      uint32_t count = 0;
      ASSERT_EQ(session.DirGetObjectCount(context, buffer, count), kDirOk);
      for (uint32_t i = 0; i < count; ++i) {
        std::string name;
        uint32_t attributes = 0;
        DirObjectInfo info;
        ASSERT_EQ(session.DirGetObjectName(context, buffer, name, attributes, info), kDirOk);
        names.push_back(name);
      }
    } while (handle != -1);
    ASSERT_EQ(names.size(), kNamesakes);
    for (const auto& [at, name] : c.names)
      EXPECT_EQ(names[at], name) << at;
    EXPECT_LE(store->candidates, 4 * kNamesakes);
  }
}

}  // namespace
