// The Dir* operations as the directory layer calls them: start-up and connections, contexts
// and name forms, listings and searches in batches, filters, attribute values as records,
// streams, aliases, stale handles and the error texts of start-up failures.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "directory/client/builtin_schema.h"
#include "directory/client/dir_client.h"
#include "directory/client/value_record.h"
#include "tests/client/store_test_support.h"
#include "util/text.h"

namespace {

namespace fs = std::filesystem;

const std::string& kFixture = kClientTree;

std::string FixtureIni(const std::string& source = kFixture) {
  return "[fixture]\n"
         "tree = FIXTURE_TREE      ; the test tree\n"
         "source = " +
         source +
         "\n"
         "context = Sales.Acme\n"
         "user = Admin.Sales.Acme\n"
         "primary = yes\n";
}

class ClientTest : public ClientFolderTest {
 protected:
  uint16_t Start(const std::string& ini) {
    client_.DirClientUseConnectionsFile(Write("connections.ini", ini));
    return client_.DirClientInit(0, 0);
  }

  void StartFixture() { ASSERT_EQ(Start(FixtureIni()), kDirConnectionOk); }

  // A context with the given flags and name context.
  DirContext Context(uint32_t flags, const std::string& nameContext) {
    DirContext context = 0;
    EXPECT_EQ(client_.DirCreateContext(context), kDirOk);
    EXPECT_EQ(client_.DirSetContextValue(context, kDirKeyFlags, flags), kDirOk);
    EXPECT_EQ(client_.DirSetContextValue(context, kDirKeyNameContext, nameContext), kDirOk);
    return context;
  }
};

struct Listed {
  int32_t code = kDirOk;
  std::vector<std::string> names;
  std::vector<DirObjectInfo> infos;
  int batches = 0;
};

// Lists all subordinates batch by batch as the listing layer does.
Listed ListAll(DirClient& client, DirContext context, const std::string& name,
               uint32_t bufferSize = 4096) {
  Listed listed;
  DirBuffer buffer = 0;
  EXPECT_EQ(client.DirAllocBuffer(bufferSize, buffer), kDirOk);
  int32_t handle = -1;
  do {
    listed.code = client.DirListSubordinates(context, name, handle, buffer);
    if (listed.code != kDirOk)
      break;
    ++listed.batches;
    uint32_t count = 0;
    EXPECT_EQ(client.DirGetObjectCount(context, buffer, count), kDirOk);
    for (uint32_t i = 0; i < count; ++i) {
      std::string entry;
      uint32_t attributes = 0;
      DirObjectInfo info;
      EXPECT_EQ(client.DirGetObjectName(context, buffer, entry, attributes, info), kDirOk);
      listed.names.push_back(entry);
      listed.infos.push_back(info);
    }
  } while (handle != -1 && listed.batches < 100000);
  EXPECT_EQ(handle, -1);
  EXPECT_EQ(client.DirFreeBuffer(buffer), kDirOk);
  return listed;
}

struct Token {
  int token;
  DirFilterValue value;
  uint32_t syntax;
};

// A buffer holding the filter of a token sequence (the end token is added); the caller frees it.
DirBuffer FilterBuffer(DirClient& client, DirContext context, const std::vector<Token>& tokens) {
  DirBuffer filterBuffer = 0;
  EXPECT_EQ(client.DirAllocBuffer(4096, filterBuffer), kDirOk);
  EXPECT_EQ(client.DirInitBuffer(context, kDirOperationSearchFilter, filterBuffer), kDirOk);
  DirFilter filter = 0;
  EXPECT_EQ(client.DirAllocFilter(filter), kDirOk);
  for (const Token& t : tokens)
    EXPECT_EQ(client.DirAddFilterToken(filter, t.token, t.value, t.syntax), kDirOk);
  EXPECT_EQ(client.DirAddFilterToken(filter, kFilterEnd, {}, 0), kDirOk);
  EXPECT_EQ(client.DirPutFilter(context, filterBuffer, filter, nullptr), kDirOk);
  return filterBuffer;
}

// Searches with a token sequence (the end token is added); names in batch order.
Listed SearchAll(DirClient& client, DirContext context, const std::string& base, int scope,
                 const std::vector<Token>& tokens, uint32_t bufferSize = 4096) {
  Listed listed;
  const DirBuffer filterBuffer = FilterBuffer(client, context, tokens);
  DirBuffer result = 0;
  EXPECT_EQ(client.DirAllocBuffer(bufferSize, result), kDirOk);
  int32_t handle = -1;
  do {
    listed.code = client.DirSearch(context, base, scope, 0, filterBuffer, DirTimeStamp{}, 0, 0,
                                   nullptr, handle, 0, nullptr, result);
    if (listed.code != kDirOk)
      break;
    ++listed.batches;
    uint32_t count = 0;
    EXPECT_EQ(client.DirGetObjectCount(context, result, count), kDirOk);
    for (uint32_t i = 0; i < count; ++i) {
      std::string entry;
      uint32_t attributes = 0;
      DirObjectInfo info;
      EXPECT_EQ(client.DirGetObjectName(context, result, entry, attributes, info), kDirOk);
      listed.names.push_back(entry);
      listed.infos.push_back(info);
    }
  } while (handle != -1 && listed.batches < 100000);
  EXPECT_EQ(client.DirFreeBuffer(filterBuffer), kDirOk);
  EXPECT_EQ(client.DirFreeBuffer(result), kDirOk);
  return listed;
}

std::vector<Token> ClassFilter(const std::string& name) {
  return {{kFilterBaseClass, {}, 0}, {kFilterAttribute, name, kSyntaxClassName}};
}

struct Read {
  int32_t code = kDirOk;
  std::string name;
  uint32_t syntax = 0;
  std::vector<std::vector<uint8_t>> records;
  int batches = 0;
};

// Reads one attribute's records as the attribute reader does.
Read ReadAttribute(DirClient& client, DirContext context, const std::string& object,
                   const std::string& attribute, uint32_t resultSize = 64512) {
  Read read;
  DirBuffer request = 0;
  DirBuffer result = 0;
  EXPECT_EQ(client.DirAllocBuffer(4096, request), kDirOk);
  EXPECT_EQ(client.DirAllocBuffer(resultSize, result), kDirOk);
  EXPECT_EQ(client.DirInitBuffer(context, kDirOperationRead, request), kDirOk);
  EXPECT_EQ(client.DirPutAttributeName(context, request, attribute), kDirOk);
  EXPECT_EQ(client.DirInitBuffer(context, kDirOperationRead, result), kDirOk);
  int32_t handle = -1;
  do {
    read.code = client.DirRead(context, object, 1, 0, request, handle, result);
    if (read.code != kDirOk)
      break;
    ++read.batches;
    uint32_t count = 0;
    uint32_t values = 0;
    EXPECT_EQ(client.DirGetAttributeCount(context, result, count), kDirOk);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(client.DirGetAttributeName(context, result, read.name, values, read.syntax), kDirOk);
    for (uint32_t i = 0; i < values; ++i) {
      uint32_t size = 0;
      EXPECT_EQ(client.DirComputeValueSize(context, result, read.syntax, size), kDirOk);
      std::vector<uint8_t> record(size);
      EXPECT_EQ(client.DirGetValue(context, result, read.syntax, record), kDirOk);
      read.records.push_back(std::move(record));
    }
  } while (handle != -1 && read.batches < 10000);
  EXPECT_EQ(handle, -1);
  EXPECT_EQ(client.DirFreeBuffer(request), kDirOk);
  EXPECT_EQ(client.DirFreeBuffer(result), kDirOk);
  return read;
}

std::string TextOf(const std::vector<uint8_t>& record) {
  ValueRecordReader reader(record);
  return reader.ReadText();
}

std::string StreamOf(DirClient& client, DirContext context, const std::string& object,
                     const std::string& attribute, int32_t& code) {
  int fd = -1;
  code = client.DirOpenStream(context, object, attribute, 1, fd);
  if (code != kDirOk)
    return {};
  std::string bytes(65536, '\0');
  const ssize_t got = read(fd, bytes.data(), bytes.size());
  close(fd);
  bytes.resize(got < 0 ? 0 : static_cast<size_t>(got));
  return bytes;
}

TEST_F(ClientTest, ConnectionsComeFromTheConnectionsFile) {
  ASSERT_EQ(Start(FixtureIni() + "\n[second]\ntree = A_VERY_LONG_TREE_NAME_OF_32_CHRS\n"
                                 "source = sample\n[same]\ntree = FIXTURE_TREE\nsource = sample\n"),
            kDirConnectionOk);
  DirConnectionRef primary = 0;
  ASSERT_EQ(client_.DirGetPrimaryConnection(primary), kDirConnectionOk);
  std::string tree;
  ASSERT_EQ(client_.DirGetConnectionInfo(primary, 4, 255, tree), kDirConnectionOk);
  EXPECT_EQ(tree, "FIXTURE_TREE____________________");
  EXPECT_EQ(client_.DirGetConnectionInfo(primary, 4, 32, tree), kDirInvalidParameter);
  EXPECT_EQ(client_.DirGetConnectionInfo(primary, 5, 255, tree), kDirInvalidParameter);

  uint32_t position = 0;
  std::vector<std::string> trees;
  DirConnectionRef reference = 0;
  while (client_.DirScanConnections(position, reference) == kDirConnectionOk) {
    ASSERT_EQ(client_.DirGetConnectionInfo(reference, 4, 255, tree), kDirConnectionOk);
    trees.push_back(tree);
  }
  EXPECT_EQ(trees, (std::vector<std::string>{"FIXTURE_TREE____________________",
                                             "A_VERY_LONG_TREE_NAME_OF_32_CHRS",
                                             "FIXTURE_TREE____________________"}));
  DirConnectionHandle handle = 0;
  EXPECT_EQ(client_.DirOpenConnection(primary, 1, 0, handle), kDirConnectionOk);
  EXPECT_EQ(client_.DirOpenConnection(99, 1, 0, handle), kDirNoConnection);
  EXPECT_EQ(client_.DirGetConnectionInfo(0, 4, 255, tree), kDirNoConnection);
  // A second start in the same run changes nothing.
  EXPECT_EQ(client_.DirClientInit(0, 0), kDirConnectionOk);

  // Both trees can be reached by name, in any letter case and with the padding.
  DirContext context = 0;
  ASSERT_EQ(client_.DirCreateContext(context), kDirOk);
  EXPECT_EQ(client_.DirSetContextValue(context, kDirKeyTreeName,
                                       std::string("a_very_long_tree_name_of_32_chrs")),
            kDirOk);
  EXPECT_EQ(client_.DirSetContextValue(context, kDirKeyTreeName, std::string("FIXTURE_TREE______")),
            kDirOk);
  EXPECT_EQ(client_.DirSetContextValue(context, kDirKeyTreeName, std::string("NO_TREE")),
            kDirNoSuchTree);
}

TEST_F(ClientTest, WithoutAConnectionsFileTheSampleTreeIsPrimary) {
  const std::string config = (fs::path(dir_) / "config").string();
  ASSERT_EQ(setenv("XDG_CONFIG_HOME", config.c_str(), 1), 0);
  const uint16_t code = client_.DirClientInit(0, 0);
  unsetenv("XDG_CONFIG_HOME");
  ASSERT_EQ(code, kDirConnectionOk) << client_.NWstrerror(code);
  DirConnectionRef primary = 0;
  ASSERT_EQ(client_.DirGetPrimaryConnection(primary), kDirConnectionOk);
  std::string tree;
  ASSERT_EQ(client_.DirGetConnectionInfo(primary, 4, 255, tree), kDirConnectionOk);
  EXPECT_EQ(tree.size(), 32u);
  // The logged-in user is an entry of the tree, named through the same context.
  DirContext context = 0;
  ASSERT_EQ(client_.DirCreateContext(context), kDirOk);
  std::string user;
  ASSERT_EQ(client_.DirWhoAmI(context, user), kDirOk);
  EXPECT_EQ(ReadAttribute(client_, context, user, "Object Class").code, kDirOk);
}

TEST_F(ClientTest, StartUpFailuresNameTheFileTheLineAndTheFault) {
  struct Case {
    const char* label;
    std::string ini;
    uint16_t code;
    std::vector<std::string> texts;
  };
  const std::vector<Case> cases = {
      {"a line that is no key",
       "[a]\ntree = T\nsource = sample\nnonsense\n",
       kDirConfigMalformed,
       {"connections.ini line 4", "expected key = value"}},
      {"a long line with control bytes, quoted cut and escaped",
       "[a]\ntree = T\nsource = sample\n\x01\t" + std::string(300, 'x') + "\n",
       kDirConfigMalformed,
       {"line 4: expected key = value, found \"\\x01\\x09" + std::string(198, 'x') + "...\""}},
      {"a section header with an escape sequence",
       "[a\x1b[2J]x\n",
       kDirConfigMalformed,
       {"line 1: malformed section header \"[a\\x1B[2J]x\""}},
      {"a tree name longer than the 32 characters of a listed tree",
       "[a]\ntree = " + std::string(33, 'T') + "\nsource = sample\n",
       kDirConfigMalformed,
       {"line 2: tree name \"" + std::string(33, 'T') + "\" is longer than 32 characters"}},
      {"tree names that differ only in letter case or padding",
       "[a]\ntree = Acme\nsource = sample\n[b]\nsource = sample\ntree = ACME__\n",
       kDirConfigMalformed,
       {"line 6: tree name \"ACME__\" differs from \"Acme\" of [a] only in letter case or "
        "trailing \"_\""}},
      {"an unknown key",
       "[a]\ntree = T\nsource = sample\ncolour = red\n",
       kDirConfigMalformed,
       {"line 4", "unknown key \"colour\""}},
      {"a key outside a section",
       "tree = T\n",
       kDirConfigMalformed,
       {"line 1", "outside a section"}},
      {"a section without source",
       "; comment\n[a]\ntree = T\n",
       kDirConfigMalformed,
       {"line 2", "[a] has no source"}},
      {"two primaries",
       "[a]\ntree=T\nsource=sample\nprimary=yes\n[b]\ntree=U\nsource=sample\nprimary=yes\n",
       kDirConfigMalformed,
       {"line 5", "more than one primary"}},
      {"an empty file", "", kDirConfigMalformed, {"no connection is defined"}},
      {"a source of another kind",
       "[a]\ntree = T\nsource = ftp://host/x\n",
       kDirSourceUnknown,
       {"unknown kind"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const uint16_t code = Start(c.ini);
    EXPECT_EQ(code, c.code);
    const std::string text = client_.NWstrerror(code);
    for (const std::string& part : c.texts)
      EXPECT_NE(text.find(part), std::string::npos) << text;
    DirConnectionRef reference = 0;
    EXPECT_EQ(client_.DirGetPrimaryConnection(reference), kDirNoConnection);
    client_.DirClientShutdown();
  }
  client_.DirClientUseConnectionsFile(dir_ + "/does-not-exist.ini");
  const uint16_t code = client_.DirClientInit(0, 0);
  EXPECT_EQ(code, kDirConfigMalformed);
  EXPECT_NE(client_.NWstrerror(code).find("does-not-exist.ini: cannot be read"), std::string::npos);
  EXPECT_EQ(client_.DirClientInit(1, 0), kDirClientNotStarted);
  EXPECT_EQ(client_.NWstrerror(-601), "No such entry");
  EXPECT_EQ(client_.NWstrerror(12345), "Unknown error");
}

// A connection that cannot be opened costs its own tree only: start-up goes on with the others,
// keeps its reason, and the first connection opened stands in for a primary one that failed.
TEST_F(ClientTest, AConnectionThatCannotBeOpenedLeavesOnlyItsTreeOut) {
  const std::string badLdif = Write("bad.ldif",
                                    "dn: o=Acme\nobjectClass: organization\n\n"
                                    "dn: o=acme\ncn: X\n");
  struct Case {
    const char* label;
    std::string failing;  // a primary connection of FIXTURE_TREE
    std::vector<std::string> texts;
  };
  const std::vector<Case> cases = {
      {"an LDIF file that is missing",
       FixtureIni(dir_ + "/missing.ldif"),
       {"missing.ldif: cannot be read", "(connection [fixture] in ", "line 1)"}},
      {"malformed LDIF",
       FixtureIni(badLdif),
       {"bad.ldif line 4", "\"o=acme\" is defined twice (first at line 1)"}},
      {"an LDAP server that does not answer",
       "[a]\ntree = FIXTURE_TREE\nsource = ldap://127.0.0.1:9\nprimary = yes\n",
       {"ldap://127.0.0.1:9", "127.0.0.1 port 9: Connection refused", "[a]", "line 1"}},
  };
  const std::string sample = "[sample]\ntree = SAMPLE\nsource = sample\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    for (const bool withSample : {true, false}) {
      const uint16_t code = Start(c.failing + (withSample ? sample : ""));
      ASSERT_EQ(code, kDirConnectionOk) << client_.NWstrerror(code);
      const std::vector<DirUnopenedConnection> unopened = client_.DirClientUnopenedConnections();
      ASSERT_EQ(unopened.size(), 1u);
      EXPECT_EQ(unopened[0].tree, "FIXTURE_TREE");
      EXPECT_TRUE(unopened[0].primary);
      for (const std::string& part : c.texts)
        EXPECT_NE(unopened[0].reason.find(part), std::string::npos) << unopened[0].reason;
      DirConnectionRef primary = 0;
      if (withSample) {
        ASSERT_EQ(client_.DirGetPrimaryConnection(primary), kDirConnectionOk);
        std::string tree;
        ASSERT_EQ(client_.DirGetConnectionInfo(primary, 4, 255, tree), kDirConnectionOk);
        EXPECT_EQ(tree.substr(0, 7), "SAMPLE_");
        uint32_t position = 0;
        ASSERT_EQ(client_.DirScanConnections(position, primary), kDirConnectionOk);
        EXPECT_NE(client_.DirScanConnections(position, primary), kDirConnectionOk);  // the only one
      } else {
        EXPECT_EQ(client_.DirGetPrimaryConnection(primary), kDirNoConnection);
      }
      client_.DirClientShutdown();
      EXPECT_TRUE(client_.DirClientUnopenedConnections().empty());
    }
  }
}

TEST_F(ClientTest, UrlValuesAreReadOnlyForConnectionsThatAllowThem) {
  const std::string secret = Write("secret.txt", "host-1");
  const std::string ldif = Write("url.ldif",
                                 "dn: o=Acme\nobjectClass: organization\n\n"
                                 "dn: ou=Sales,o=Acme\nobjectClass: organizationalUnit\n"
                                 "description:< file://" +
                                     secret + "\n");
  const std::string section = "[u]\ntree = U\nsource = " + ldif + "\nprimary = yes\n";
  ASSERT_EQ(Start(section), kDirConnectionOk);
  const std::vector<DirUnopenedConnection> unopened = client_.DirClientUnopenedConnections();
  ASSERT_EQ(unopened.size(), 1u);
  EXPECT_EQ(unopened[0].reason.find(ldif + " line 6: URL values are not read"), 0u)
      << unopened[0].reason;
  client_.DirClientShutdown();

  ASSERT_EQ(Start(section + "file-urls = yes\n"), kDirConnectionOk);
  const DirContext context = Context(0x04, "[Root]");
  const Read read = ReadAttribute(client_, context, "Sales.Acme", "Description");
  ASSERT_EQ(read.code, kDirOk);
  ASSERT_EQ(read.records.size(), 1u);
  EXPECT_EQ(TextOf(read.records[0]), "host-1");
  EXPECT_EQ(client_.DirFreeContext(context), kDirOk);
}

TEST_F(ClientTest, ContextsStartWithTheConnectionsDefaults) {
  StartFixture();
  DirContext context = 0;
  ASSERT_EQ(client_.DirCreateContext(context), kDirOk);
  uint32_t flags = 0;
  ASSERT_EQ(client_.DirGetContextValue(context, kDirKeyFlags, flags), kDirOk);
  EXPECT_EQ(flags, 0x13u);
  std::string text;
  ASSERT_EQ(client_.DirGetContextValue(context, kDirKeyNameContext, text), kDirOk);
  EXPECT_EQ(text, "OU=Sales.O=Acme");
  ASSERT_EQ(client_.DirGetContextValue(context, kDirKeyTreeName, text), kDirOk);
  EXPECT_EQ(text, "FIXTURE_TREE");
  ASSERT_EQ(client_.DirGetDefaultNameContext(context, 256, text), kDirOk);
  EXPECT_EQ(text, "OU=Sales.O=Acme");
  EXPECT_EQ(client_.DirGetDefaultNameContext(context, 15, text), kDirInsufficientBuffer);
  ASSERT_EQ(client_.DirWhoAmI(context, text), kDirOk);
  EXPECT_EQ(text, "CN=Admin");

  ASSERT_EQ(client_.DirSetContextValue(context, kDirKeyFlags, flags | kDirFlagTypeless), kDirOk);
  ASSERT_EQ(client_.DirGetDefaultNameContext(context, 256, text), kDirOk);
  EXPECT_EQ(text, "Sales.Acme");
  ASSERT_EQ(client_.DirSetContextValue(context, kDirKeyNameContext, std::string("[Root]")), kDirOk);
  ASSERT_EQ(client_.DirGetContextValue(context, kDirKeyNameContext, text), kDirOk);
  EXPECT_EQ(text, "[Root]");
  ASSERT_EQ(client_.DirWhoAmI(context, text), kDirOk);
  EXPECT_EQ(text, "Admin.Sales.Acme");
  ASSERT_EQ(client_.DirSetContextValue(context, kDirKeyNameContext, std::string(".Sales.Other")),
            kDirOk);
  ASSERT_EQ(client_.DirGetContextValue(context, kDirKeyNameContext, text), kDirOk);
  EXPECT_EQ(text, "Sales.Other");
  ASSERT_EQ(client_.DirSetContextValue(context, kDirKeyFlags, 0u), kDirOk);
  ASSERT_EQ(client_.DirGetContextValue(context, kDirKeyNameContext, text), kDirOk);
  EXPECT_EQ(text, "OU=Sales.O=Other");
  // A name context that does not exist yet takes the usual types.
  ASSERT_EQ(client_.DirSetContextValue(context, kDirKeyNameContext, std::string("New.Place.Acme")),
            kDirOk);
  ASSERT_EQ(client_.DirGetContextValue(context, kDirKeyNameContext, text), kDirOk);
  EXPECT_EQ(text, "OU=New.OU=Place.O=Acme");

  DirContext copy = 0;
  ASSERT_EQ(client_.DirDuplicateContext(context, copy), kDirOk);
  ASSERT_EQ(client_.DirGetContextValue(copy, kDirKeyNameContext, text), kDirOk);
  EXPECT_EQ(text, "OU=New.OU=Place.O=Acme");

  uint32_t number = 0;
  EXPECT_EQ(client_.DirGetContextValue(context, kDirKeyNameContext, number), kDirBadKey);
  EXPECT_EQ(client_.DirGetContextValue(context, kDirKeyFlags, text), kDirBadKey);
  EXPECT_EQ(client_.DirSetContextValue(context, 99, 1u), kDirBadKey);
  EXPECT_EQ(client_.DirSetContextValue(context, kDirKeyConfidence, 0u), kDirOk);
  EXPECT_EQ(client_.DirSetContextValue(context, kDirKeyNameContext, std::string("a..b")),
            kDirInvalidObjectName);
  EXPECT_EQ(client_.DirSetContextValue(context, kDirKeyNameContext, std::string("")),
            kDirInvalidObjectName);
}

TEST_F(ClientTest, NamesAreTakenRelativeToTheNameContext) {
  StartFixture();
  struct Case {
    uint32_t flags;
    const char* nameContext;
    const char* name;
    int32_t code;
  };
  const Case cases[] = {
      {0x04, "Sales.Acme", "Admin", kDirOk},
      {0x04, "Sales.Acme", "admin", kDirOk},
      {0x04, "Sales.Acme", "Admin.Sales.Acme", kDirNoSuchEntry},
      {0x04, "Sales.Acme", ".Admin.Sales.Acme", kDirOk},
      {0x04, "Sales.Acme", "CN=Admin", kDirOk},
      {0x00, "Sales.Acme", ".CN=Admin.OU=Sales.O=Acme", kDirOk},
      {0x00, "Sales.Acme", ".CN=Admin.O=Sales.O=Acme", kDirNoSuchEntry},
      {0x00, "Sales.Acme", ".Admin.OU=Sales.Acme", kDirOk},
      {0x04, "Sales.Acme", "SRV1.", kDirOk},
      {0x04, "Sales.Acme", "Task 3.Sales.Other..", kDirOk},
      {0x04, "Sales.Acme", "Admin...", kDirInvalidObjectName},
      {0x04, "Sales.Acme", "", kDirInvalidObjectName},
      {0x04, "Sales.Acme", "Admin..Acme", kDirInvalidObjectName},
      {0x04, "Sales.Acme", "=Admin", kDirInvalidObjectName},
      {0x04, "Sales.Acme", "Admin\\", kDirInvalidObjectName},
      {0x04, "[Root]", "Admin.Sales.Acme", kDirOk},
      {0x04, "[Root]", "Task 3.Sales.Other", kDirOk},
      {0x04, "[Root]", "Admin", kDirNoSuchEntry},
      {0x04, "Sales.Other", "Admin", kDirNoSuchEntry},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.nameContext) + " / " + c.name);
    const DirContext context = Context(c.flags, c.nameContext);
    EXPECT_EQ(ReadAttribute(client_, context, c.name, "CN").code, c.code);
    EXPECT_EQ(client_.DirFreeContext(context), kDirOk);
  }
  // The root itself has no attributes.
  const DirContext root = Context(0x04, "[Root]");
  EXPECT_EQ(ReadAttribute(client_, root, "[Root]", "CN").code, kDirNoSuchAttribute);
}

TEST_F(ClientTest, NamesComeBackRelativeToTheNameContextAndResolveAgain) {
  StartFixture();
  struct Case {
    uint32_t flags;
    const char* nameContext;
    std::vector<std::string> tasks;  // the search's names, in tree order
  };
  const Case cases[] = {
      {0x04,
       "[Root]",
       {"Task 1.Module A.Collection.Roles.Acme", "Task 2.Module A.Collection.Roles.Acme",
        "Task 3.Sales.Other"}},
      {0x00,
       "[Root]",
       {"CN=Task 1.CN=Module A.CN=Collection.OU=Roles.O=Acme",
        "CN=Task 2.CN=Module A.CN=Collection.OU=Roles.O=Acme", "CN=Task 3.OU=Sales.O=Other"}},
      {0x04,
       "Sales.Acme",
       {"Task 1.Module A.Collection.Roles.", "Task 2.Module A.Collection.Roles.",
        "Task 3.Sales.Other.."}},
      {0x04, "Module A.Collection.Roles.Acme", {"Task 1", "Task 2", "Task 3.Sales.Other...."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.nameContext);
    const DirContext context = Context(c.flags, c.nameContext);
    const Listed found =
        SearchAll(client_, context, "[Root]", kDirScopeSubtree, ClassFilter("rbsTask2"));
    EXPECT_EQ(found.code, kDirOk);
    EXPECT_EQ(found.names, c.tasks);
    for (const std::string& name : found.names) {
      EXPECT_EQ(ReadAttribute(client_, context, name, "CN").code, kDirOk) << name;
    }
  }
  // A listing names children by their RDN alone; the container flag and counts come along.
  const DirContext browse = Context(0x04 | 0x10, "Acme");
  const Listed listed = ListAll(client_, browse, ".Acme");
  ASSERT_EQ(listed.code, kDirOk);
  EXPECT_EQ(listed.names, (std::vector<std::string>{"Sales", "SRV1", "SRV1_SYS", "Roles"}));
  EXPECT_EQ(listed.infos[0].flags, kDirObjectContainer);
  EXPECT_EQ(listed.infos[0].subordinateCount, 4u);
  EXPECT_EQ(listed.infos[0].baseClass, "Organizational Unit");
  EXPECT_EQ(listed.infos[1].flags, 0u);
  EXPECT_EQ(listed.infos[1].baseClass, "NCP Server");
  const Listed roots = ListAll(client_, Context(0, "[Root]"), "[Root]");
  EXPECT_EQ(roots.names, (std::vector<std::string>{"O=Acme", "O=Other"}));
  // The root in any letter case, and in its display form with the leading dot.
  for (const char* root : {"[root]", ".[root]", ".[ROOT]"}) {
    SCOPED_TRACE(root);
    const DirContext atRoot = Context(0, root);
    EXPECT_EQ(ListAll(client_, atRoot, root).names, roots.names);
    EXPECT_EQ(
        SearchAll(client_, atRoot, root, kDirScopeSubtree, ClassFilter("rbsTask2")).names.size(),
        3u);
  }
  EXPECT_EQ(ListAll(client_, browse, ".Nowhere").code, kDirNoSuchEntry);
}

TEST_F(ClientTest, DistinguishedNameValuesHaveTheFormOfSearchResults) {
  StartFixture();
  for (const uint32_t flags : {0x00u, 0x04u}) {
    for (const char* nameContext : {"[Root]", "Sales.Acme", "Roles.Acme", "Sales.Other"}) {
      SCOPED_TRACE(std::string(nameContext) + (flags != 0 ? " typeless" : " typed"));
      const DirContext context = Context(flags, nameContext);
      const Listed users =
          SearchAll(client_, context, ".Acme", kDirScopeSubtree, ClassFilter("User"));
      ASSERT_EQ(users.names.size(), 2u);
      const Read members = ReadAttribute(client_, context, ".Printer Group.Sales.Acme", "Member");
      ASSERT_EQ(members.code, kDirOk);
      ASSERT_EQ(members.records.size(), 3u);
      // Values stored in another letter case come back spelled as the entry is, unless the
      // context asks for them as written.
      EXPECT_EQ(TextOf(members.records[0]), users.names[0]);
      EXPECT_EQ(TextOf(members.records[1]), users.names[1]);
      const DirContext asWritten = Context(flags | kDirFlagNamesAsWritten, nameContext);
      const Read written = ReadAttribute(client_, asWritten, ".Printer Group.Sales.Acme", "Member");
      ASSERT_EQ(written.records.size(), 3u);
      EXPECT_NE(TextOf(written.records[1]), users.names[1]);
      EXPECT_TRUE(SameTextAscii(TextOf(written.records[1]), users.names[1]));
      EXPECT_EQ(client_.DirFreeContext(asWritten), kDirOk);
      const Read content =
          ReadAttribute(client_, context, ".Role 1.Collection.Roles.Acme", "rbsContent");
      const Listed task = SearchAll(client_, context, ".Acme", kDirScopeSubtree,
                                    {{kFilterRdn, {}, 0}, {kFilterAttribute, "Task 1", 1}});
      ASSERT_EQ(task.names.size(), 1u);
      ASSERT_EQ(content.records.size(), 2u);
      EXPECT_EQ(TextOf(content.records[0]), task.names[0]);
      EXPECT_EQ(client_.DirFreeContext(context), kDirOk);
    }
  }
}

// The client on the fixture tree from either store: loaded in memory, and served by slapd.
class BothStoresTest : public ClientTest, public ::testing::WithParamInterface<bool> {
 protected:
  void StartEither() {
    std::string source = kFixture;
    if (GetParam()) {
      SlapdServer& server = ClientTreeServer();
      ASSERT_TRUE(server.Running()) << server.Error();
      source = server.Uri();
    }
    ASSERT_EQ(Start(FixtureIni(source)), kDirConnectionOk);
  }
};

INSTANTIATE_TEST_SUITE_P(Stores, BothStoresTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Live" : "Memory"; });

std::vector<std::string> Sorted(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return names;
}

TEST_P(BothStoresTest, EveryNameTheClientGivesReadsItsOwnEntry) {
  StartEither();
  // ou=Dup and cn=Dup side by side below Roles.Acme; ou=Dup holds Child.
  const DirContext context = Context(0x04, "[Root]");
  const Listed found =
      SearchAll(client_, context, ".Roles.Acme", kDirScopeSubtree, ClassFilter("rbsScope2"));
  ASSERT_EQ(found.code, kDirOk);
  EXPECT_EQ(Sorted(found.names),
            Sorted({"Dup.Roles.Acme", "Child.Dup.Roles.Acme", "Comma, Task.Roles.Acme"}));
  const Listed units = SearchAll(client_, context, ".Roles.Acme", kDirScopeSubtree,
                                 ClassFilter("Organizational Unit"));
  EXPECT_EQ(Sorted(units.names), Sorted({"Roles.Acme", "OU=Dup.Roles.Acme"}));
  const std::map<std::string, std::string> descriptions = {{"Dup.Roles.Acme", "the scope"},
                                                           {"OU=Dup.Roles.Acme", "the unit"}};
  for (const auto& [name, description] : descriptions) {
    SCOPED_TRACE(name);
    const Read read = ReadAttribute(client_, context, name, "Description");
    ASSERT_EQ(read.records.size(), 1u);
    EXPECT_EQ(TextOf(read.records[0]), description);
  }
  EXPECT_EQ(ReadAttribute(client_, context, "Child.Dup.Roles.Acme", "CN").code, kDirOk);

  // A listing names the namesakes as the search does; the unit lists its own child.
  const DirContext browse = Context(0x14, "Roles.Acme");
  EXPECT_EQ(Sorted(ListAll(client_, browse, ".Roles.Acme").names),
            Sorted({"Collection", "Widget", "OU=Dup", "Dup", "Comma, Task"}));
  ASSERT_EQ(
      client_.DirSetContextValue(browse, kDirKeyNameContext, std::string("OU=Dup.Roles.Acme")),
      kDirOk);
  std::string nameContext;
  ASSERT_EQ(client_.DirGetContextValue(browse, kDirKeyNameContext, nameContext), kDirOk);
  EXPECT_EQ(nameContext, "OU=Dup.Roles.Acme");
  EXPECT_EQ(ListAll(client_, browse, ".OU=Dup.Roles.Acme").names,
            (std::vector<std::string>{"Child"}));

  // A name value has the form of the search result, and compares with it as a filter value.
  const Read content = ReadAttribute(client_, context, "Dup.Roles.Acme", "rbsContent");
  ASSERT_EQ(content.records.size(), 1u);
  EXPECT_EQ(TextOf(content.records[0]), "Comma, Task.Roles.Acme");
  const Listed naming = SearchAll(client_, context, ".Acme", kDirScopeSubtree,
                                  {{kFilterAttribute, std::string("rbsContent"), 1},
                                   {kFilterEqual, {}, 0},
                                   {kFilterValue, std::string("Comma, Task.Roles.Acme"), 1}});
  EXPECT_EQ(naming.code, kDirOk);
  EXPECT_EQ(naming.names, (std::vector<std::string>{"Dup.Roles.Acme"}));
}

TEST_F(ClientTest, ValuesArriveAsRecordsOfTheirSyntax) {
  StartFixture();
  const DirContext context = Context(0x04, "[Root]");
  const auto text = [](ValueRecordWriter w, std::string_view t) { return w.Text(t).Take(); };
  const auto bytes = [](std::initializer_list<uint8_t> b) { return std::vector<uint8_t>(b); };
  struct Case {
    const char* attribute;
    uint32_t syntax;
    std::vector<std::vector<uint8_t>> records;
  };
  ValueRecordWriter list;
  size_t node = list.BeginNode();
  list.Text("ENGLISH");
  list.LinkNext(node);
  node = list.BeginNode();
  list.Text("GERMAN");
  list.LinkNext(node);
  list.BeginNode();
  list.Text("Fran$ais");
  const std::vector<Case> cases = {
      {"Host Resource Name", 2, {text({}, "CaseExact")}},
      {"Surname", 3, {text({}, "Istrator")}},
      {"Serial Number", 4, {text({}, "SN-1")}},
      {"Bindery Type", 8, {ValueRecordWriter().I32(1234).Take()}},
      {"Language", 6, {list.Take()}},
      {"Login Disabled", 7, {bytes({0})}},
      {"Login Grace Limit", 8, {ValueRecordWriter().I32(-6).Take()}},
      {"Telephone Number", 10, {text({}, "+1 555 0100")}},
      {"Facsimile Telephone Number", 11, {ValueRecordWriter().Text("+1 555 0101").U32(0).Take()}},
      {"Network Address",
       12,
       {ValueRecordWriter().U32(9).Counted(bytes({2, 12, 10, 0, 0, 1})).Take()}},
      {"Cross Certificate Pair", 13, {ValueRecordWriter().U32(0).Counted(bytes({1, 2, 3})).Take()}},
      {"EMail Address", 14, {ValueRecordWriter().U32(1).Text("admin@acme.example").Take()}},
      {"Home Directory",
       15,
       {ValueRecordWriter().I32(4).Text("SRV1_SYS.Acme").Text("USERS\\ADMIN").Take()}},
      {"ACL",
       17,
       {ValueRecordWriter().Text("[Entry Rights]").Text("Admin.Sales.Acme").U32(31).Take(),
        ValueRecordWriter().Text("Telephone Number").Text("[Public]").U32(2).Take()}},
      {"Postal Address",
       18,
       {ValueRecordWriter().U32(3).Text("Acme").Text("1 Main St").Text("Springfield").Take()}},
      {"Synchronized Up To", 19, {ValueRecordWriter().U32(1086004800).U16(1).U16(7).Take()}},
      {"Object Class",
       20,
       {text({}, "Top"), text({}, "Person"), text({}, "Organizational Person"), text({}, "User")}},
      {"Login Script", 21, {{}}},
      {"Revision", 22, {ValueRecordWriter().U32(0xFFFFFFFF).Take()}},
      {"Back Link", 23, {ValueRecordWriter().U32(42).Text("SRV1.Acme").Take()}},
      {"Login Time", 24, {ValueRecordWriter().U32(1086004800).Take()}},
      {"Notify", 25, {ValueRecordWriter().Text("Bob.Sales.Acme").U32(2).U32(3600).Take()}},
      {"Server Holds", 26, {ValueRecordWriter().Text("SRV1.Acme").I32(100).Take()}},
      {"Password Expiration Interval", 27, {ValueRecordWriter().U32(90).Take()}},
      {"Orvane Raw",
       0,
       {ValueRecordWriter().Text("Orvane Raw").U32(0).Counted(bytes({1, 2, 3})).Take()}},
      {"seeAlso", 1, {text({}, "Printer Group.Sales.Acme")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.attribute);
    const Read read = ReadAttribute(client_, context, "Admin.Sales.Acme", c.attribute);
    ASSERT_EQ(read.code, kDirOk);
    EXPECT_EQ(read.syntax, c.syntax);
    EXPECT_EQ(read.records, c.records);
  }
  const Read replica = ReadAttribute(client_, context, "SRV1.Acme", "Replica");
  EXPECT_EQ(replica.records,
            (std::vector<std::vector<uint8_t>>{ValueRecordWriter()
                                                   .Text("SRV1.Acme")
                                                   .U32(0)
                                                   .I32(1)
                                                   .U32(1)
                                                   .U32(9)
                                                   .Counted(bytes({2, 12, 10, 0, 0, 1}))
                                                   .Take()}));
  const Read rights =
      ReadAttribute(client_, context, ".Task 1.Module A.Collection.Roles.Acme", "rbsTaskRights");
  EXPECT_EQ(rights.syntax, 9u);
  ASSERT_EQ(rights.records.size(), 1u);
  ValueRecordReader reader(rights.records[0]);
  EXPECT_EQ(reader.ReadU32(), 14u);
  EXPECT_EQ(reader.ReadText(), "Member;compare");
  EXPECT_EQ(ReadAttribute(client_, context, "Admin.Sales.Acme", "No Such Attribute").code,
            kDirNoSuchAttribute);
  EXPECT_EQ(ReadAttribute(client_, context, "Nobody.Sales.Acme", "CN").code, kDirNoSuchEntry);
}

TEST_F(ClientTest, ReadingAllAttributesGivesEveryOneInOrder) {
  StartFixture();
  const DirContext context = Context(0x04, "Sales.Acme");
  DirBuffer result = 0;
  ASSERT_EQ(client_.DirAllocBuffer(64512, result), kDirOk);
  for (const int infoType : {0, 1}) {
    SCOPED_TRACE(infoType);
    int32_t handle = -1;
    ASSERT_EQ(client_.DirRead(context, "Bob", infoType, 1, 0, handle, result), kDirOk);
    EXPECT_EQ(handle, -1);
    uint32_t count = 0;
    ASSERT_EQ(client_.DirGetAttributeCount(context, result, count), kDirOk);
    std::vector<std::string> names;
    std::string name;
    uint32_t values = 0;
    uint32_t syntax = 0;
    // Values left unread are passed over by the next attribute's name.
    for (uint32_t i = 0; i < count; ++i) {
      ASSERT_EQ(client_.DirGetAttributeName(context, result, name, values, syntax), kDirOk);
      names.push_back(name);
      EXPECT_EQ(values, infoType == 0 ? 0u : 1u) << name;
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Object Class", "CN", "Surname", "Login Grace Limit",
                                               "Login Disabled"}));
  }
  int32_t handle = -1;
  EXPECT_EQ(client_.DirRead(context, "Bob", 2, 1, 0, handle, result), kDirInvalidRequest);
  EXPECT_EQ(handle, -1);
}

// A read asked for ahead answers exactly as the read alone does: for the attributes it was asked
// with, through an alias, for a name of no entry, and not at all for other attributes; whether
// the entries were asked for by their names or by a search that finds some of them, and with
// the names inside values as the values or as their entries spell them.
TEST_P(BothStoresTest, ReadsAskedForAheadAnswerAsReadsAlone) {
  StartEither();
  const DirContext context = Context(kDirFlagDerefAliases | kDirFlagTypeless, "[Root]");
  struct Case {
    std::string object;
    std::string attribute;
  };
  const std::vector<Case> cases = {
      {"Task 1.Module A.Collection.Roles.Acme", "rbsParameters"},
      {"Task 1.Module A.Collection.Roles.Acme", "rbsXMLInfo"},
      {"Admin.Sales.Acme", "Surname"},
      {"Bob Alias.Sales.Acme", "Surname"},
      {"Nobody.Sales.Acme", "Surname"},
      {"Task 2.Module A.Collection.Roles.Acme", "rbsParameters"},
  };
  const auto same = [](const Read& a, const Read& b) {
    return a.code == b.code && a.name == b.name && a.syntax == b.syntax && a.records == b.records;
  };
  const DirContext asWritten =
      Context(kDirFlagDerefAliases | kDirFlagTypeless | kDirFlagNamesAsWritten, "[Root]");
  const DirBuffer users = FilterBuffer(client_, context, ClassFilter("User"));
  for (const DirContext through : {context, asWritten}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.object + " " + c.attribute + (through == context ? "" : ", as written"));
      client_.DirClientBeginOperation();
      const Read alone = ReadAttribute(client_, through, c.object, c.attribute);
      for (const bool bySearch : {false, true}) {
        for (const std::string& askedFor : {c.attribute, std::string("CN")}) {
          SCOPED_TRACE("asked ahead for " + askedFor + (bySearch ? " by a search" : ""));
          client_.DirClientBeginOperation();
          // Read once so that the client knows the names on the way.
          static_cast<void>(ReadAttribute(client_, through, c.object, c.attribute));
          client_.DirClientBeginOperation();
          const std::vector<std::string> objects = {c.object, "Admin.Sales.Acme"};
          EXPECT_EQ(bySearch
                        ? client_.DirReadAheadWithin(through, objects, {askedFor}, "Acme", users)
                        : client_.DirReadAhead(through, objects, {askedFor}),
                    kDirOk);
          EXPECT_TRUE(same(ReadAttribute(client_, through, c.object, c.attribute), alone));
        }
      }
    }
  }
  EXPECT_EQ(client_.DirFreeBuffer(users), kDirOk);
  EXPECT_EQ(client_.DirReadAhead(0, {"Admin.Sales.Acme"}, {"CN"}), kDirBadContext);
}

// A stream read right after a read of its entry takes the value that read brought; one after a
// read of another entry, or of other attributes, asks again.
TEST_P(BothStoresTest, StreamsAreReadOnceFromADescriptor) {
  StartEither();
  const DirContext context = Context(0x04, "[Root]");
  const std::string task1 = "Task 1.Module A.Collection.Roles.Acme";
  const std::string task2 = "Task 2.Module A.Collection.Roles.Acme";
  const std::string taskInfo = "<task><version>2.1</version></task>";
  const std::string admin = "Admin.Sales.Acme";
  struct Case {
    std::string readFirst;  // the entry whose stream attribute is read just before; "" for none
    std::string object;
    std::string attribute;
    std::string bytes;
    int32_t code;
  };
  const std::vector<Case> cases = {
      {"", task1, "rbsXMLInfo", taskInfo, kDirOk},
      {"", admin, "loginScript", "MAP H:=SYS:USERS\\ADMIN\n", kDirOk},
      {"", admin, "Surname", "", kDirNoSuchAttribute},
      {"", "Nobody.Acme", "rbsXMLInfo", "", kDirNoSuchEntry},
      {task1, task1, "rbsXMLInfo", taskInfo, kDirOk},
      {task2, task1, "rbsXMLInfo", taskInfo, kDirOk},
      {task1, task2, "rbsXMLInfo", "", kDirNoSuchAttribute},
      {task1, admin, "loginScript", "MAP H:=SYS:USERS\\ADMIN\n", kDirOk},
      {task1, task1, "loginScript", "", kDirNoSuchAttribute},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.readFirst + " then " + c.object + " " + c.attribute);
    if (!c.readFirst.empty())
      static_cast<void>(ReadAttribute(client_, context, c.readFirst, "rbsXMLInfo"));
    int32_t code = 0;
    EXPECT_EQ(StreamOf(client_, context, c.object, c.attribute, code), c.bytes);
    EXPECT_EQ(code, c.code);
  }
}

// A live store remembers what reads told it of entries (their spelling and class, the last stream
// value) for the rest of the operation only: the next one sees the server's data as it is then.
TEST_F(ClientTest, WhatAReadLearntOfEntriesEndsWithTheOperation) {
  const auto tree = [](const std::string& module, const std::string& info) {
    std::string ldif = "dn: o=Acme\nobjectClass: organization\no: Acme\n\n";
    ldif += "dn: cn=" + module + ",o=Acme\nobjectClass: rbsModule2\ncn: " + module + "\n\n";
    ldif += "dn: cn=Task,o=Acme\nobjectClass: rbsTask2\nobjectClass: extensibleObject\ncn: Task\n";
    // What the server checks a change against; loading without checks does not add it.
    ldif += "structuralObjectClass: rbsTask2\n";
    ldif += "rbsXMLInfo: " + info + "\n";
    ldif += "rbsContentMembership: cn=Module,o=Acme\n";
    return ldif;
  };
  SlapdServer server(Write("before.ldif", tree("Module", "<old/>")));
  ASSERT_TRUE(server.Running()) << server.Error();
  ASSERT_EQ(Start(OneConnection("LIVE_TREE", server.Uri(), "context = Acme\n")), kDirConnectionOk);
  const DirContext context = Context(0x04, "[Root]");
  const auto readNow = [&](const std::string& expectedModule, const std::string& expectedInfo) {
    int32_t code = 0;
    EXPECT_EQ(StreamOf(client_, context, "Task.Acme", "rbsXMLInfo", code), expectedInfo);
    EXPECT_EQ(code, kDirOk);
    const Read membership = ReadAttribute(client_, context, "Task.Acme", "rbsContentMembership");
    ASSERT_EQ(membership.records.size(), 1u);
    EXPECT_EQ(TextOf(membership.records[0]), expectedModule);
    // Leaves the stream's value with the store, as the reads of a rebuild do.
    static_cast<void>(ReadAttribute(client_, context, "Task.Acme", "rbsXMLInfo"));
  };
  client_.DirClientBeginOperation();
  readNow("Module.Acme", "<old/>");
  // The same entry spelt anew, and another stream value.
  ASSERT_TRUE(server.Reload(Write("after.ldif", tree("MODULE", "<new/>")))) << server.Error();
  client_.DirClientBeginOperation();
  readNow("MODULE.Acme", "<new/>");
  // Nor does a read asked for ahead: its answer, come before the change, is not the next
  // operation's.
  ASSERT_EQ(client_.DirReadAhead(context, {"Task.Acme"}, {"rbsContentMembership"}), kDirOk);
  ASSERT_TRUE(
      server.Modify("dn: cn=Task,o=Acme\nchangetype: modify\nreplace: "
                    "rbsContentMembership\nrbsContentMembership: o=Acme\n"))
      << server.Error();
  client_.DirClientBeginOperation();
  const Read membership = ReadAttribute(client_, context, "Task.Acme", "rbsContentMembership");
  ASSERT_EQ(membership.records.size(), 1u);
  EXPECT_EQ(TextOf(membership.records[0]), "Acme");
}

TEST_P(BothStoresTest, ReadsFollowAliasesUnlessTheFlagIsCleared) {
  StartEither();
  const DirContext context = Context(kDirFlagDerefAliases | kDirFlagTypeless, "Sales.Acme");
  const Read followed = ReadAttribute(client_, context, "Bob Alias", "Surname");
  ASSERT_EQ(followed.records.size(), 1u);
  EXPECT_EQ(TextOf(followed.records[0]), "Builder");
  EXPECT_EQ(ReadAttribute(client_, context, "Bob Alias", "Aliased Object Name").code,
            kDirNoSuchAttribute);
  ASSERT_EQ(client_.DirSetContextValue(context, kDirKeyFlags, kDirFlagTypeless), kDirOk);
  const Read own = ReadAttribute(client_, context, "Bob Alias", "Aliased Object Name");
  ASSERT_EQ(own.records.size(), 1u);
  EXPECT_EQ(TextOf(own.records[0]), "Bob");
  EXPECT_EQ(ReadAttribute(client_, context, "Bob Alias", "Surname").code, kDirNoSuchAttribute);
}

// A generated tree: a container of `children` users, a container of A, B, an entry whose name is
// longer than a 4096-byte buffer, C and D, and an entry with `members` long member values.
std::string LargeTree(int children, int members) {
  std::string ldif =
      "dn: o=Big\nobjectClass: organization\n\ndn: ou=Many,o=Big\n"
      "objectClass: organizationalUnit\n\ndn: ou=Long,o=Big\n"
      "objectClass: organizationalUnit\n\n";
  for (int i = 0; i < children; ++i) {
    ldif += "dn: cn=User " + std::to_string(i) + ",ou=Many,o=Big\nobjectClass: inetOrgPerson\n\n";
  }
  for (const char* name : std::initializer_list<const char*>{"A", "B", nullptr, "C", "D"}) {
    ldif += "dn: cn=" + (name != nullptr ? std::string(name) : std::string(4100, 'x')) +
            ",ou=Long,o=Big\nobjectClass: inetOrgPerson\n\n";
  }
  ldif += "dn: cn=Crowd,o=Big\nobjectClass: groupOfNames\n";
  for (int i = 0; i < members; ++i) {
    ldif += "member: cn=User " + std::to_string(i) + ",ou=Many,o=Big\n";
  }
  ldif += "description: " + std::string(70000, 'd') + "\n";
  return ldif;
}

TEST_F(ClientTest, LargeResultsArriveInBatches) {
  const int kChildren = 700;
  const std::string ldif = Write("big.ldif", LargeTree(kChildren, 400));
  ASSERT_EQ(Start("[big]\ntree = BIG\nsource = big.ldif\nprimary = yes\n"), kDirConnectionOk);
  const DirContext context = Context(0x14, "Many.Big");

  const Listed listed = ListAll(client_, context, ".Many.Big");
  ASSERT_EQ(listed.code, kDirOk);
  EXPECT_GT(listed.batches, 1);
  std::set<std::string> unique(listed.names.begin(), listed.names.end());
  EXPECT_EQ(listed.names.size(), static_cast<size_t>(kChildren));
  EXPECT_EQ(unique.size(), static_cast<size_t>(kChildren));
  EXPECT_EQ(listed.names.front(), "User 0");

  // The long name does not fit 4096 bytes: what came before it is delivered, then the code.
  const Listed searched =
      SearchAll(client_, context, ".Big", kDirScopeSubtree, ClassFilter("User"), 4096);
  EXPECT_EQ(searched.code, kDirInsufficientBuffer);
  ASSERT_EQ(searched.names.size(), static_cast<size_t>(kChildren + 2));
  EXPECT_EQ(searched.names.back(), "B.Long.");
  const Listed wide =
      SearchAll(client_, context, ".Big", kDirScopeSubtree, ClassFilter("User"), 64512);
  ASSERT_EQ(wide.code, kDirOk);
  EXPECT_EQ(wide.names.size(), static_cast<size_t>(kChildren + 5));
  const Listed many =
      SearchAll(client_, context, ".Many.Big", kDirScopeSubtree, ClassFilter("User"));
  ASSERT_EQ(many.code, kDirOk);
  EXPECT_GT(many.batches, 1);
  EXPECT_EQ(std::set<std::string>(many.names.begin(), many.names.end()).size(),
            static_cast<size_t>(kChildren));

  // One entry larger than the buffer is refused and ends the iteration; the entries before it
  // in the same batch are kept.
  const Listed tooLong = ListAll(client_, context, ".Long.Big");
  EXPECT_EQ(tooLong.code, kDirInsufficientBuffer);
  EXPECT_EQ(tooLong.names, (std::vector<std::string>{"A.Long.", "B.Long."}));

  // Values of one attribute continue in the next batch under the same name.
  const Read crowd = ReadAttribute(client_, context, ".Crowd.Big", "Member", 4096);
  ASSERT_EQ(crowd.code, kDirOk);
  EXPECT_GT(crowd.batches, 1);
  ASSERT_EQ(crowd.records.size(), 400u);
  EXPECT_EQ(TextOf(crowd.records[0]), "User 0");
  EXPECT_EQ(TextOf(crowd.records[399]), "User 399");
  EXPECT_EQ(ReadAttribute(client_, context, ".Crowd.Big", "Description", 64512).code,
            kDirInsufficientBuffer);
  // Reading every attribute delivers those before the value that fits no buffer, then the code.
  DirBuffer all = 0;
  ASSERT_EQ(client_.DirAllocBuffer(64512, all), kDirOk);
  int32_t handle = -1;
  ASSERT_EQ(client_.DirRead(context, ".Crowd.Big", 1, 1, 0, handle, all), kDirOk);
  uint32_t count = 0;
  ASSERT_EQ(client_.DirGetAttributeCount(context, all, count), kDirOk);
  EXPECT_GE(count, 2u);
  EXPECT_EQ(client_.DirRead(context, ".Crowd.Big", 1, 1, 0, handle, all), kDirInsufficientBuffer);
  EXPECT_EQ(handle, -1);
}

TEST_F(ClientTest, BatchBoundariesAreExact) {
  // Each listed entry takes 16 bytes of information, its name and class with their NULs.
  const std::string ldif = Write("exact.ldif",
                                 "dn: o=E\nobjectClass: organization\n\n"
                                 "dn: cn=AA,o=E\nobjectClass: Thing\n\n"
                                 "dn: cn=BB,o=E\nobjectClass: Thing\n\n"
                                 "dn: cn=CC,o=E\nobjectClass: Thing\n\n");
  ASSERT_EQ(Start("[e]\ntree = E\nsource = exact.ldif\nprimary = yes\n"), kDirConnectionOk);
  const DirContext context = Context(0x04, "E");
  constexpr uint32_t kEntry = 16 + 3 + 6;
  struct Case {
    uint32_t size;
    int batches;
  };
  for (const Case c : {Case{kEntry * 3, 1}, Case{kEntry * 3 - 1, 2}, Case{kEntry * 2, 2},
                       Case{kEntry + kEntry - 1, 3}, Case{kEntry * 3 + 1, 1}}) {
    if (c.size < 64)
      continue;
    SCOPED_TRACE(c.size);
    const Listed listed = ListAll(client_, context, "[Root]", c.size);
    (void)listed;
    const Listed all = ListAll(client_, context, ".E", c.size);
    EXPECT_EQ(all.code, kDirOk);
    EXPECT_EQ(all.batches, c.batches);
    EXPECT_EQ(all.names, (std::vector<std::string>{"AA", "BB", "CC"}));
  }
  DirBuffer tiny = 0;
  EXPECT_EQ(client_.DirAllocBuffer(63, tiny), kDirInsufficientBuffer);
  EXPECT_EQ(client_.DirAllocBuffer(64513, tiny), kDirNotEnoughMemory);
  // An empty container gives one empty batch and ends.
  const Listed empty = ListAll(client_, context, "AA");
  EXPECT_EQ(empty.code, kDirOk);
  EXPECT_EQ(empty.batches, 1);
  EXPECT_TRUE(empty.names.empty());
}

TEST_F(ClientTest, FilterTokensThatBreakTheGrammarAreRefused) {
  StartFixture();
  const Token open{kFilterOpen, {}, 0};
  const Token close{kFilterClose, {}, 0};
  const Token andToken{kFilterAnd, {}, 0};
  const Token orToken{kFilterOr, {}, 0};
  const Token notToken{kFilterNot, {}, 0};
  const Token base{kFilterBaseClass, {}, 0};
  const Token rdn{kFilterRdn, {}, 0};
  const Token present{kFilterPresent, {}, 0};
  const Token cls{kFilterAttribute, std::string("User"), kSyntaxClassName};
  const Token attr{kFilterAttribute, std::string("Surname"), kSyntaxCaseIgnoreString};
  const Token boolAttr{kFilterAttribute, std::string("Login Disabled"), kSyntaxBoolean};
  const Token equal{kFilterEqual, {}, 0};
  const Token text{kFilterValue, std::string("x"), kSyntaxCaseIgnoreString};
  const Token number{kFilterValue, int32_t{1}, kSyntaxBoolean};
  const Token end{kFilterEnd, {}, 0};
  struct Case {
    const char* label;
    std::vector<Token> tokens;
    size_t refused;  // index of the first refused token; tokens.size() when all are taken
  };
  const std::vector<Case> cases = {
      {"a whole filter", {open, base, cls, close, end}, 5},
      {"AND, OR, NOT",
       {base, cls, andToken, notToken, attr, equal, text, orToken, present, attr, end},
       11},
      {"a closing parenthesis first", {close}, 0},
      {"a value without attribute", {text}, 0},
      {"an operator without attribute", {equal}, 0},
      {"two connectives", {base, cls, andToken, orToken}, 3},
      {"a connective first", {andToken}, 0},
      {"a base-class match without a class", {base, close}, 1},
      {"a base-class match followed by a value", {base, text}, 1},
      {"an attribute without operator", {attr, text}, 1},
      {"a comparison without value", {boolAttr, equal, close}, 2},
      {"a comparison ended without value", {boolAttr, equal, end}, 2},
      {"a value of the wrong kind", {boolAttr, equal, text}, 2},
      {"a number value", {boolAttr, equal, number, end}, 4},
      {"a term after a term", {base, cls, rdn}, 2},
      {"more closing than opening", {open, base, cls, close, close}, 4},
      {"the end inside parentheses", {open, base, cls, end}, 3},
      {"anything after the end", {base, cls, end, andToken}, 3},
      {"the end after a connective", {base, cls, orToken, end}, 3},
      {"an unknown token", {Token{11, {}, 0}}, 0},
      {"an attribute without a name", {Token{kFilterAttribute, {}, 0}}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    DirFilter filter = 0;
    ASSERT_EQ(client_.DirAllocFilter(filter), kDirOk);
    for (size_t i = 0; i < c.tokens.size(); ++i) {
      const int32_t code = client_.DirAddFilterToken(filter, c.tokens[i].token, c.tokens[i].value,
                                                     c.tokens[i].syntax);
      EXPECT_EQ(code, i == c.refused ? kDirBadSyntax : kDirOk) << "token " << i;
      if (code != kDirOk)
        break;
    }
    EXPECT_EQ(client_.DirFreeFilter(filter, nullptr), kDirOk);
  }

  const DirContext context = Context(0x04, "[Root]");
  DirBuffer buffer = 0;
  DirBuffer readBuffer = 0;
  ASSERT_EQ(client_.DirAllocBuffer(4096, buffer), kDirOk);
  ASSERT_EQ(client_.DirAllocBuffer(4096, readBuffer), kDirOk);
  ASSERT_EQ(client_.DirInitBuffer(context, kDirOperationSearchFilter, buffer), kDirOk);
  ASSERT_EQ(client_.DirInitBuffer(context, kDirOperationRead, readBuffer), kDirOk);
  DirFilter filter = 0;
  ASSERT_EQ(client_.DirAllocFilter(filter), kDirOk);
  EXPECT_EQ(client_.DirPutFilter(context, buffer, filter, nullptr), kDirFilterTreeEmpty);
  ASSERT_EQ(client_.DirAddFilterToken(filter, kFilterOpen, {}, 0), kDirOk);
  EXPECT_EQ(client_.DirPutFilter(context, buffer, filter, nullptr), kDirBadSyntax);
  ASSERT_EQ(client_.DirAddFilterToken(filter, kFilterBaseClass, {}, 0), kDirOk);
  ASSERT_EQ(client_.DirAddFilterToken(filter, kFilterAttribute, std::string("User"), 20), kDirOk);
  ASSERT_EQ(client_.DirAddFilterToken(filter, kFilterClose, {}, 0), kDirOk);
  EXPECT_EQ(client_.DirPutFilter(context, readBuffer, filter, nullptr), kDirBadVerb);
  ASSERT_EQ(client_.DirAddFilterToken(filter, kFilterEnd, {}, 0), kDirOk);
  EXPECT_EQ(client_.DirPutFilter(context, buffer, filter, nullptr), kDirOk);
  EXPECT_EQ(client_.DirFreeFilter(filter, nullptr), kDirInvalidHandle);  // consumed

  // A filter larger than its buffer does not fit.
  ASSERT_EQ(client_.DirAllocFilter(filter), kDirOk);
  for (int i = 0; i < 200; ++i) {
    if (i > 0) {
      ASSERT_EQ(client_.DirAddFilterToken(filter, kFilterOr, {}, 0), kDirOk);
    }
    ASSERT_EQ(client_.DirAddFilterToken(filter, kFilterBaseClass, {}, 0), kDirOk);
    ASSERT_EQ(client_.DirAddFilterToken(filter, kFilterAttribute, std::string(20, 'c'), 20),
              kDirOk);
  }
  ASSERT_EQ(client_.DirAddFilterToken(filter, kFilterEnd, {}, 0), kDirOk);
  EXPECT_EQ(client_.DirPutFilter(context, buffer, filter, nullptr), kDirBufferFull);
  EXPECT_EQ(client_.DirFreeFilter(filter, nullptr), kDirOk);

  // A search needs a filter in its buffer.
  DirBuffer result = 0;
  ASSERT_EQ(client_.DirAllocBuffer(4096, result), kDirOk);
  ASSERT_EQ(client_.DirInitBuffer(context, kDirOperationSearchFilter, buffer), kDirOk);
  int32_t handle = -1;
  EXPECT_EQ(client_.DirSearch(context, "[Root]", 2, 0, buffer, DirTimeStamp{}, 0, 0, nullptr,
                              handle, 0, nullptr, result),
            kDirFilterTreeEmpty);
  EXPECT_EQ(client_.DirSearch(context, "[Root]", 2, 0, readBuffer, DirTimeStamp{}, 0, 0, nullptr,
                              handle, 0, nullptr, result),
            kDirBadVerb);
}

TEST_F(ClientTest, FiltersCompareBySyntax) {
  StartFixture();
  const DirContext context = Context(0x04, "Sales.Acme");
  struct Case {
    const char* label;
    std::vector<Token> tokens;
    std::vector<std::string> names;
  };
  const Token open{kFilterOpen, {}, 0};
  const Token close{kFilterClose, {}, 0};
  const std::vector<Case> cases = {
      {"boolean",
       {{kFilterAttribute, std::string("Login Disabled"), 7},
        {kFilterEqual, {}, 0},
        {kFilterValue, int32_t{1}, 7}},
       {"Bob"}},
      {"time on or after",
       {{kFilterAttribute, std::string("Login Time"), 24},
        {kFilterGreaterOrEqual, {}, 0},
        {kFilterValue, DirTimeStamp{1086000000, 0, 0}, 24}},
       {"Admin"}},
      {"a typeless name relative to the context",
       {{kFilterAttribute, std::string("Member"), 1},
        {kFilterEqual, {}, 0},
        {kFilterValue, std::string("bob"), 1}},
       {"Printer Group"}},
      {"NOT binds tighter than AND, AND tighter than OR",
       {open,
        {kFilterBaseClass, {}, 0},
        {kFilterAttribute, std::string("User"), 20},
        {kFilterAnd, {}, 0},
        {kFilterNot, {}, 0},
        {kFilterRdn, {}, 0},
        {kFilterAttribute, std::string("Bob"), 1},
        {kFilterOr, {}, 0},
        {kFilterBaseClass, {}, 0},
        {kFilterAttribute, std::string("Alias"), 20},
        close},
       {"Admin", "Bob Alias"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const Listed found =
        SearchAll(client_, context, ".Sales.Acme", kDirScopeSubordinates, c.tokens);
    EXPECT_EQ(found.code, kDirOk);
    EXPECT_EQ(found.names, c.names);
  }
  uint32_t syntax = 0;
  EXPECT_EQ(client_.DirGetSyntaxId(context, "Login Time", syntax), kDirOk);
  EXPECT_EQ(syntax, 24u);
  EXPECT_EQ(client_.DirGetSyntaxId(context, "rbsxmlinfo", syntax), kDirOk);
  EXPECT_EQ(syntax, 21u);
  EXPECT_EQ(client_.DirGetSyntaxId(context, "Unheard Of", syntax), kDirNoSuchAttribute);
}

TEST_F(ClientTest, StaleAndForeignHandlesGiveCodes) {
  StartFixture();
  const DirContext context = Context(0x04, "Sales.Acme");
  DirContext freed = 0;
  ASSERT_EQ(client_.DirDuplicateContext(context, freed), kDirOk);
  ASSERT_EQ(client_.DirFreeContext(freed), kDirOk);
  DirBuffer buffer = 0;
  ASSERT_EQ(client_.DirAllocBuffer(4096, buffer), kDirOk);
  DirBuffer gone = 0;
  ASSERT_EQ(client_.DirAllocBuffer(4096, gone), kDirOk);
  ASSERT_EQ(client_.DirFreeBuffer(gone), kDirOk);
  std::string text;
  uint32_t number = 0;
  int32_t handle = -1;
  DirObjectInfo info;
  EXPECT_EQ(client_.DirFreeContext(freed), kDirBadContext);
  EXPECT_EQ(client_.DirGetContextValue(freed, kDirKeyFlags, number), kDirBadContext);
  EXPECT_EQ(client_.DirSetContextValue(freed, kDirKeyNameContext, std::string("Acme")),
            kDirBadContext);
  EXPECT_EQ(client_.DirWhoAmI(freed, text), kDirBadContext);
  EXPECT_EQ(client_.DirGetDefaultNameContext(freed, 256, text), kDirBadContext);
  EXPECT_EQ(client_.DirInitBuffer(freed, kDirOperationRead, buffer), kDirBadContext);
  EXPECT_EQ(client_.DirListSubordinates(freed, "Admin", handle, buffer), kDirBadContext);
  EXPECT_EQ(client_.DirGetSyntaxId(freed, "CN", number), kDirBadContext);
  EXPECT_EQ(client_.DirFreeBuffer(gone), kDirInvalidHandle);
  EXPECT_EQ(client_.DirFreeBuffer(context), kDirInvalidHandle);  // a context is no buffer
  EXPECT_EQ(client_.DirFreeContext(buffer), kDirBadContext);     // nor a buffer a context
  EXPECT_EQ(client_.DirInitBuffer(context, kDirOperationRead, gone), kDirInvalidHandle);
  EXPECT_EQ(client_.DirInitBuffer(context, 5, buffer), kDirInvalidRequest);
  EXPECT_EQ(client_.DirListSubordinates(context, ".Sales.Acme", handle, gone), kDirInvalidHandle);
  EXPECT_EQ(client_.DirGetObjectCount(context, gone, number), kDirInvalidHandle);
  EXPECT_EQ(client_.DirGetObjectName(context, gone, text, number, info), kDirInvalidHandle);
  EXPECT_EQ(client_.DirAddFilterToken(12345, kFilterOpen, {}, 0), kDirInvalidHandle);
  EXPECT_EQ(client_.DirPutAttributeName(context, gone, "CN"), kDirInvalidHandle);
  // A buffer holds nothing to read before a batch arrives.
  ASSERT_EQ(client_.DirInitBuffer(context, kDirOperationRead, buffer), kDirOk);
  EXPECT_EQ(client_.DirGetObjectCount(context, buffer, number), kDirBadVerb);
  EXPECT_EQ(client_.DirGetAttributeCount(context, buffer, number), kDirBadVerb);

  // Iteration handles: made up, finished, of another kind, of a freed context.
  handle = 4711;
  EXPECT_EQ(client_.DirListSubordinates(context, ".Sales.Acme", handle, buffer), kDirInvalidHandle);
  EXPECT_EQ(handle, -1);
  const Listed listed = ListAll(client_, context, ".Sales.Acme", 64);
  ASSERT_EQ(listed.code, kDirOk);
  DirBuffer small = 0;
  ASSERT_EQ(client_.DirAllocBuffer(64, small), kDirOk);
  handle = -1;
  ASSERT_EQ(client_.DirListSubordinates(context, ".Sales.Acme", handle, small), kDirOk);
  ASSERT_NE(handle, -1);
  const int32_t live = handle;
  DirBuffer request = 0;
  ASSERT_EQ(client_.DirAllocBuffer(4096, request), kDirOk);
  ASSERT_EQ(client_.DirInitBuffer(context, kDirOperationRead, request), kDirOk);
  ASSERT_EQ(client_.DirPutAttributeName(context, request, "CN"), kDirOk);
  handle = live;
  EXPECT_EQ(client_.DirRead(context, "Admin", 1, 0, request, handle, buffer), kDirInvalidHandle);
  DirContext other = 0;
  ASSERT_EQ(client_.DirDuplicateContext(context, other), kDirOk);
  handle = -1;
  ASSERT_EQ(client_.DirListSubordinates(other, ".Sales.Acme", handle, small), kDirOk);
  const int32_t ofOther = handle;
  ASSERT_EQ(client_.DirFreeContext(other), kDirOk);
  handle = ofOther;
  EXPECT_EQ(client_.DirListSubordinates(context, ".Sales.Acme", handle, small), kDirInvalidHandle);
  // A live handle continued through another live context.
  ASSERT_EQ(client_.DirDuplicateContext(context, other), kDirOk);
  handle = -1;
  ASSERT_EQ(client_.DirListSubordinates(context, ".Sales.Acme", handle, small), kDirOk);
  ASSERT_NE(handle, -1);
  EXPECT_EQ(client_.DirListSubordinates(other, ".Sales.Acme", handle, small), kDirInvalidHandle);
  EXPECT_EQ(handle, -1);

  // A failing call ends its iteration, so a caller looping on the handle stops.
  handle = -1;
  ASSERT_EQ(client_.DirListSubordinates(context, ".Sales.Acme", handle, small), kDirOk);
  ASSERT_NE(handle, -1);
  EXPECT_EQ(client_.DirListSubordinates(context, ".Sales.Acme", handle, gone), kDirInvalidHandle);
  EXPECT_EQ(handle, -1);
  DirBuffer classes = 0;
  ASSERT_EQ(client_.DirAllocBuffer(4096, classes), kDirOk);
  ASSERT_EQ(client_.DirInitBuffer(context, kDirOperationRead, classes), kDirOk);
  ASSERT_EQ(client_.DirPutAttributeName(context, classes, "Object Class"), kDirOk);
  handle = -1;
  ASSERT_EQ(client_.DirRead(context, "Admin", 1, 0, classes, handle, small), kDirOk);
  ASSERT_NE(handle, -1);
  EXPECT_EQ(client_.DirRead(freed, "Admin", 1, 0, classes, handle, small), kDirBadContext);
  EXPECT_EQ(handle, -1);

  // Reading past the end of a batch.
  handle = -1;
  ASSERT_EQ(client_.DirListSubordinates(context, ".Sales.Acme", handle, buffer), kDirOk);
  uint32_t count = 0;
  ASSERT_EQ(client_.DirGetObjectCount(context, buffer, count), kDirOk);
  for (uint32_t i = 0; i < count; ++i) {
    ASSERT_EQ(client_.DirGetObjectName(context, buffer, text, number, info), kDirOk);
  }
  EXPECT_EQ(client_.DirGetObjectName(context, buffer, text, number, info), kDirBufferEmpty);
  handle = -1;
  ASSERT_EQ(client_.DirRead(context, "Admin", 1, 0, request, handle, buffer), kDirOk);
  uint32_t values = 0;
  uint32_t syntax = 0;
  ASSERT_EQ(client_.DirGetAttributeName(context, buffer, text, values, syntax), kDirOk);
  uint32_t size = 0;
  ASSERT_EQ(client_.DirComputeValueSize(context, buffer, syntax, size), kDirOk);
  std::vector<uint8_t> record(size);
  EXPECT_EQ(
      client_.DirGetValue(context, buffer, syntax, std::span<uint8_t>(record).first(size - 1)),
      kDirInsufficientBuffer);
  ASSERT_EQ(client_.DirGetValue(context, buffer, syntax, record), kDirOk);
  EXPECT_EQ(client_.DirComputeValueSize(context, buffer, syntax, size), kDirBufferEmpty);
  EXPECT_EQ(client_.DirGetValue(context, buffer, syntax, record), kDirBufferEmpty);
  EXPECT_EQ(client_.DirGetAttributeName(context, buffer, text, values, syntax), kDirBufferEmpty);
  EXPECT_EQ(client_.DirGetObjectCount(context, buffer, count), kDirBadVerb);

  // After shutdown every handle of the run is gone.
  client_.DirClientShutdown();
  EXPECT_EQ(client_.DirGetContextValue(context, kDirKeyFlags, number), kDirBadContext);
  EXPECT_EQ(client_.DirFreeBuffer(buffer), kDirInvalidHandle);
  EXPECT_EQ(client_.DirCreateContext(other), kDirNoSuchTree);
  DirConnectionRef reference = 0;
  EXPECT_EQ(client_.DirGetPrimaryConnection(reference), kDirNoConnection);
}

}  // namespace
