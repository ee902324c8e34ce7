// Arbitrary filter texts through DSSearch on the built-in sample tree: whatever the text, the
// search ends with a code, reads nothing out of bounds, leaks nothing and does not hang. The
// first byte picks the scope and the base; the rest is the filter text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "directory/d_nw.h"
#include "directory/d_nw_search.h"
#include "tests/support/test_client.h"

namespace {

DirContext SampleTreeContext(DirSession& client) {
  // The client reads its connections when it starts; the folder is of no further use after.
  const TempFolder folder("orvane-search-fuzz");
  client.DirClientUseConnectionsFile(
      folder.Write("connections.ini", OneConnection("SAMPLE_TREE", "sample")).string());
  DirContext context = 0;
  if (client.DirClientInit(0, 0) != kDirConnectionOk ||
      client.DirCreateContext(context) != kDirOk) {
    std::abort();
  }
  DSModifyContextFlags(client, context, '+', kDirFlagTypeless);
  if (DSSetRootContext(client, context) != kDirOk) {
    std::abort();
  }
  return context;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static DirSession client;
  static const DirContext context = SampleTreeContext(client);
  static const char* const kBases[] = {"[Root]", "", ".", "[Root].x", "a.b..c"};
  if (size == 0) {
    return 0;
  }
  const int scope = data[0] % 4 - 1;  // -1 (refused) to 2
  const char* base = kBases[(data[0] / 4) % std::size(kBases)];
  const std::string filter(reinterpret_cast<const char*>(data + 1), size - 1);
  TStringList results;
  (void)DSSearch(client, context, base, filter, scope, results);
  return 0;
}
