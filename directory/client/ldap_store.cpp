#include "directory/client/ldap_store.h"

#include <ldap.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "directory/client/builtin_schema.h"
#include "directory/client/dir_codes.h"
#include "directory/client/filter_expr.h"
#include "directory/client/ldap_connection.h"
#include "directory/client/ldap_filter.h"
#include "directory/client/ldap_referrals.h"
#include "directory/client/schema_catalog.h"
#include "directory/client/tls_refusal.h"
#include "directory/client/value_codec.h"
#include "util/atomic_file.h"
#include "util/secrets.h"

namespace {

struct BerMemFree {
  void operator()(char* text) const { ber_memfree(text); }
};
using BerText = std::unique_ptr<char, BerMemFree>;

constexpr size_t kMaxCachedNames = 100'000;
// The most answers waiting for their reads.
constexpr size_t kMaxWaitingAnswers = 64;
// From this many reads asked for ahead, they are fetched by searches naming their entries
// rather than one read each: two reads in flight already make some servers hold their answers.
constexpr size_t kSweepFrom = 2;
// The most entries one of those searches names. A page holds no more, so that a search costs
// one round trip; and the filter of this many names stays far below what servers take in one
// request (slapd: 256 KiB before a bind).
constexpr size_t kMaxNamesPerSweep = 1000;
// How many spare connections at most share the name lookups of one LearnChildren.
constexpr size_t kSparesForLookUps = 4;
// How many searches of one sweep travel at once, each on a connection of its own: one after
// another, each costs its round trip and the server's test of its names on top of the others'.
// The store's own connection and three of the pool's spares.
constexpr size_t kSweepsAtOnce = 4;
// The smallest page a search whose pages the server refused for their size is retried with.
constexpr int kSmallestRetriedPage = 50;
// The most searches started ahead of their callers, each on a connection of its own when paged.
constexpr size_t kMaxSearchesAhead = 8;
// The entry most servers hold their schema in.
constexpr std::string_view kUsualSubschema = "cn=Subschema";

// What one entry of a listing or search is asked for.
constexpr const char* kEntryAttributes[] = {"objectClass",      "modifyTimestamp",
                                            "hasSubordinates",  "numSubordinates",
                                            "subordinateCount", nullptr};

// The naming types a typeless name part may stand for.
constexpr std::string_view kNamingTypes[] = {"cn", "ou", "o", "l", "c", "st", "dc", "uid"};

bool ContainsIgnoringCase(const std::vector<std::string>& names, std::string_view name) {
  return std::any_of(names.begin(), names.end(),
                     [&](const std::string& n) { return EqualsIgnoringCase(n, name); });
}

// `names` as libldap takes a list of attributes: ending with nullptr, valid while `names` is.
std::vector<const char*> AttributeList(const std::vector<std::string>& names) {
  std::vector<const char*> list;
  list.reserve(names.size() + 1);
  for (const std::string& name : names)
    list.push_back(name.c_str());
  list.push_back(nullptr);
  return list;
}

// True when `name` is `ancestor` or below it.
bool IsWithin(const DirName& name, const DirName& ancestor) {
  return name.size() >= ancestor.size() &&
         SameName(DirName(name.end() - static_cast<std::ptrdiff_t>(ancestor.size()), name.end()),
                  ancestor);
}

// A listing or search whose first page may be asked for before its caller waits for it.
class PagedSearch : public EntryCursor {
 public:
  // Fetches the first page (the one sent ahead, when that is still to come on an open
  // connection); its code is the listing's or search's code.
  [[nodiscard]] virtual int32_t Start() = 0;
  // Takes the connection the first page goes over, adding it to `opening` when it is not open.
  virtual void Claim(std::vector<LdapConnection*>& opening) = 0;
  // Sends the first page's request, once the claimed connection has been opened.
  virtual void Send() = 0;
  // Takes in the page asked for ahead once all of it has arrived, and asks for the next; never
  // waits. A first page that does more than start the search (a failure, a referral, the last
  // page) is kept for Start.
  virtual void Pump() = 0;
  // The socket of the connection a page asked for ahead is to arrive on; -1 when none is.
  [[nodiscard]] virtual int AwaitedDescriptor() = 0;
};

}  // namespace

LdapSettings::~LdapSettings() {
  WipeText(password);
}

std::optional<LdapSettings> LdapSettingsFor(const ConnectionConfig& config, std::string& error) {
  LdapSettings settings;
  settings.uri = config.source;
  settings.startTls = config.startTls;
  settings.bindDn = config.bind;
  settings.caFile = config.caFile;
  settings.verify = config.verify;
  settings.timeoutSeconds = config.timeout;
  settings.pageSize = config.pageSize;
  settings.maxMessageMiB = config.maxMessageMiB;
  settings.followReferrals = config.referrals;
  if (!config.caFile.empty() && access(config.caFile.c_str(), R_OK) != 0) {
    error = config.caFile + ": cannot be read (" + std::strerror(errno) + ")";
    return std::nullopt;
  }
  // The TLS library gives no reason of its own for a file it cannot use: every handshake would
  // fail later with the same words as a certificate it refused.
  if (!config.caFile.empty()) {
    std::string authorities;
    if (const FileResult read = ReadRegularFile(config.caFile, authorities); !read.Succeeded()) {
      error = config.caFile + ": cannot be read (" + read.reason + ")";
      return std::nullopt;
    }
    if (authorities.find("-----BEGIN CERTIFICATE-----") == std::string::npos) {
      error = config.caFile +
              ": holds no certificate in PEM form (a \"-----BEGIN CERTIFICATE-----\" block)";
      return std::nullopt;
    }
  }
  if (!config.passwordFile.empty()) {
    auto password = ReadPasswordFile(config.passwordFile, error);
    if (!password)
      return std::nullopt;
    settings.password = std::move(*password);
  }
  return settings;
}

// The connections, the schema and the name cache; every call of the store goes through here.
struct LdapStore::Impl {
  Impl(const LdapSettings& settings, LdapDecoder decoder)
      : servers(settings), decoder(std::move(decoder)) {}

  LdapServers servers;
  LdapDecoder decoder;
  SchemaCatalog schema;
  std::vector<std::string> namingTypes;  // those the server's schema knows
  // Children by folded parent DN + '\n' + folded part ("type=value", "=value" when typeless).
  // Hashed: the keys of one container's children share its whole DN, which an ordered map
  // compares again at every step down.
  std::unordered_map<std::string, std::vector<ChildCandidate>> childCache;
  // The last lookups the cache answered, as they were spelled: resolving a name asks for each of
  // its parts from the top, siblings resolved one after another ask for the same ones, and each
  // would fold and hash its parent's whole name again to find the same answer. Emptied with the
  // cache, whose answers never change otherwise.
  struct RecentChildren {
    DirName parent;
    NamePart part;
    std::vector<ChildCandidate> found;
  };
  static constexpr size_t kRecentChildren = 8;
  std::vector<RecentChildren> recentChildren;
  size_t oldestRecent = 0;
  // The last parent ParentKey folded, and its key: the key of a name depends on nothing else.
  DirName lastParent;
  std::string lastParentKey = "\n";
  // The server's naming contexts; unless one of them is the root itself, the root's children
  // are these contexts and the root's subtree is theirs.
  std::vector<DirName> namingContexts;
  bool rootIsEntry = false;

  // Whether `name` lies above the naming contexts: a part of a context's name that no context
  // holds, which the store makes as a container, as an LDIF load makes the parts a dump of a
  // subtree leaves out.
  bool IsMade(const DirName& name) const {
    if (rootIsEntry || name.empty())
      return false;
    bool above = false;
    for (const DirName& context : namingContexts) {
      if (IsWithin(name, context))
        return false;
      above = above || (context.size() > name.size() && IsWithin(context, name));
    }
    return above;
  }
  static StoreEntry MadeEntry(const DirName& name) {
    StoreEntry entry;
    entry.name = name;
    entry.baseClass = std::string(MadeContainerClass(name.front().type));
    entry.flags = kDirObjectContainer;
    return entry;
  }
  // What lies below `above` (the root or a made name), in the contexts' order, each once: the
  // made names and the contexts, the immediate subordinates only unless `subtree`.
  void Below(const DirName& above, bool subtree, std::vector<DirName>& made,
             std::vector<DirName>& contexts) const {
    const auto add = [](std::vector<DirName>& list, DirName name) {
      if (std::none_of(list.begin(), list.end(),
                       [&](const DirName& known) { return SameName(known, name); }))
        list.push_back(std::move(name));
    };
    for (const DirName& context : namingContexts) {
      if (context.size() <= above.size() || !IsWithin(context, above))
        continue;
      const size_t deepest = subtree ? context.size() : above.size() + 1;
      for (size_t depth = above.size() + 1; depth <= deepest; ++depth) {
        DirName name(context.end() - static_cast<std::ptrdiff_t>(depth), context.end());
        if (IsMade(name))
          add(made, std::move(name));
        else if (depth == context.size() || !subtree)
          add(contexts, std::move(name));
      }
    }
  }

  // What this operation has learnt of entries, by folded DN: their names, classes and flags as
  // GetEntryWithoutCount gives them. A read of attributes brings them along, so that following
  // an alias to the entry just read and naming the entries inside values cost no requests of
  // their own once each entry has been met.
  std::unordered_map<std::string, StoreEntry> knownEntries;
  // The names this operation's lookups found no entry by, by folded DN. A search or listing
  // below one of them is of no entry, whatever the server answers: some answer a paged search
  // below a missing base with success and no entries, which would export an empty document
  // where an LDIF load says the container is not found.
  std::unordered_set<std::string> missingNames;
  // The last read of named attributes, which answers the read of a stream among them that
  // follows it for the same entry.
  struct LastRead {
    std::string key;
    std::vector<std::string> asked;  // the LDAP names requested
    std::vector<StoreAttribute> attributes;
  };
  std::optional<LastRead> lastRead;
  // What the last read of named attributes asked the server for. A typed name lookup asks for
  // the same, since the entry it finds is mostly read next: the lookup's answer is then the
  // read's, and a name read for the first time costs one request, not two.
  std::vector<std::string> lastRequest;

  // Answers waiting for the identical read of their entry, by folded DN: reads sent ahead of
  // their callers (ReadAhead), and the answers of name lookups that asked for lastRequest.
  struct WaitingAnswer {
    std::vector<std::string> requested;
    int msgid = -1;       // a request still on its way, or
    LdapMessage message;  // an answer already here
    uint64_t generation = 0;
  };
  std::unordered_map<std::string, WaitingAnswer> waiting;

  // The who-am-I request and the read of the bind DN's entry that the schema read sends along,
  // so that WhoAmI, asked right after the connection is made, waits for no answer of its own.
  // Given up when the first operation begins.
  struct StartAnswers {
    int whoAmI = -1;
    int boundEntry = -1;
    uint64_t generation = 0;
  };
  std::optional<StartAnswers> startAnswers;
  std::string bindDn;

  // Searches started ahead of their callers (SearchAhead), by SearchKey, in the callers' order;
  // declared after the connections, which they go back to when they go.
  std::vector<std::pair<std::string, std::unique_ptr<PagedSearch>>> searchesAhead;

  // Waits for the rest of the page `msgid` on `connection`. Meanwhile the searches asked for
  // ahead take in their pages as these arrive and ask for their next ones, so that the later
  // pages of the export's lists travel beside those of the list being read instead of after it.
  int32_t AwaitPage(LdapConnection& connection, int msgid, LdapPage& page, std::string_view what) {
    const auto deadline = connection.Deadline();
    std::vector<pollfd> awaited;
    for (;;) {
      // Pumped first: on a shared connection, what they read of this page waits in its queue.
      awaited.clear();
      for (auto& [key, search] : searchesAhead) {
        search->Pump();
        if (const int descriptor = search->AwaitedDescriptor(); descriptor >= 0)
          awaited.push_back({descriptor, POLLIN, 0});
      }
      const int own = connection.Descriptor();
      if (own < 0) {
        // A search pumped on this connection lost it.
        return connection.Fail(
            kDirTransportFailure,
            connection.Where() + ": the connection was lost during a " + std::string(what));
      }
      if (awaited.empty())
        return connection.FinishPage(msgid, page, what, deadline);
      if (const std::optional<int32_t> code = connection.GatherArrived(msgid, page, what))
        return *code;
      awaited.push_back({own, POLLIN, 0});
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0)
        return connection.FinishPage(msgid, page, what, deadline);
      if (poll(awaited.data(), awaited.size(), static_cast<int>(left.count()) + 1) < 0 &&
          errno != EINTR) {
        return connection.FinishPage(msgid, page, what, deadline);
      }
    }
  }

  void Wait(std::string key, WaitingAnswer answer) {
    // A bounded number: their answers take room until they are taken, and those of guesses that
    // missed are never taken.
    if (waiting.size() >= kMaxWaitingAnswers)
      ForgetWaitingAnswers();
    waiting.insert_or_assign(std::move(key), std::move(answer));
  }

  // The LDAP names of the attributes of `names` that the schema knows.
  std::vector<std::string> LdapNames(const std::vector<std::string>& names,
                                     bool& asksStream) const {
    std::vector<std::string> wanted;
    asksStream = false;
    for (const std::string& name : names) {
      if (const SchemaAttribute* def = schema.FindAttribute(name)) {
        wanted.push_back(def->ldapName);
        asksStream = asksStream || def->syntax == kSyntaxStream;
      }
    }
    return wanted;
  }

  // What a read of `wanted` asks the server for, and which of those attributes it only brings
  // along. A read of named attributes brings the entry's class and flags along, for the alias
  // check and the names inside values that follow it; those not asked for stay out of the
  // answer. A read of all of them asks for what the server counts as all, nothing more.
  static std::pair<std::vector<std::string>, std::vector<std::string>> RequestFor(
      const std::vector<std::string>& wanted, bool named) {
    if (!named)
      return {{"*", "modifyTimestamp"}, {}};
    std::vector<std::string> requested = wanted;
    std::vector<std::string> brought;
    for (const char* const* extra = kEntryAttributes; *extra != nullptr; ++extra) {
      if (!ContainsIgnoringCase(wanted, *extra)) {
        brought.emplace_back(*extra);
        requested.emplace_back(*extra);
      }
    }
    return {std::move(requested), std::move(brought)};
  }

  // The waiting answer to `requested` of the entry `key`, into `page`, with its code; nullopt
  // when there is none, or its request went out on a connection since lost (the caller then
  // asks for itself, and reconnects as any request does). One for other attributes stays for
  // its own read.
  std::optional<int32_t> TakeWaitingAnswer(const std::string& key,
                                           const std::vector<std::string>& requested,
                                           LdapPage& page) {
    // A name lookup that took the entry from the sweep parked it here: asked of the sweep
    // again, the read would wait for the sweep's last page.
    const auto found = waiting.find(key);
    if (found == waiting.end() || found->second.requested != requested) {
      std::optional<LdapMessage> swept = TakeSwept(key, requested);
      if (!swept)
        return std::nullopt;
      page = LdapPage();
      page.entries.push_back(std::move(*swept));
      return kDirOk;
    }
    WaitingAnswer answer = std::move(found->second);
    waiting.erase(found);
    if (answer.message) {
      page = LdapPage();
      page.entries.push_back(std::move(answer.message));
      return kDirOk;
    }
    LdapConnection& connection = Connection();
    if (answer.generation != connection.Generation() || !connection.Connected())
      return std::nullopt;
    const int32_t code = connection.CollectPage(answer.msgid, page, "read");
    // A read referred elsewhere is asked again by the caller, which follows the referral.
    if ((code == kDirTransportFailure && !connection.Connected()) ||
        page.ldapCode == LDAP_REFERRAL || !page.references.empty())
      return std::nullopt;
    return code;
  }

  void ForgetStartAnswers() {
    const std::optional<StartAnswers> sent = std::exchange(startAnswers, std::nullopt);
    LdapConnection& connection = Connection();
    if (!sent || sent->generation != connection.Generation())
      return;
    for (const int msgid : {sent->whoAmI, sent->boundEntry}) {
      if (msgid >= 0)
        connection.Abandon(msgid);
    }
  }

  // Reads asked for ahead many at a time: the named entries are fetched by subtree searches
  // below their deepest common ancestor, each naming up to a page of entries by their RDNs, a few
  // searches on their way at a time on connections of their own, taken in the order the reads
  // will come. Their entries answer the identical reads of this operation; an entry named in a
  // value of a DN syntax that arrived is looked up the same way in a later search, so that naming
  // it costs no request of its own.
  // A name no search brought is read as it would be without. An answer waits only for an asked
  // read and goes with it, so what waits never exceeds the entries asked for. Entries that the
  // caller says make up most of a search's are fetched by that search instead, its other
  // entries passed over: a filter naming thousands of entries costs the server a test of each
  // name against each entry it finds.
  struct Sweep {
    std::vector<std::string> requested;  // what each read of the asked entries requests
    bool namesInValues = false;          // whether the entries its values of DN syntax name come
    // The asked names in the order they will be read, as DN texts: a tenth of their size as
    // names, which a large rebuild would hold all along. Each points at its key in askedKeys.
    struct AskedName {
      std::string dn;
      const std::string* key = nullptr;
    };
    std::vector<AskedName> asked;
    size_t nextAsked = 0;       // those before this index have been searched for
    std::deque<DirName> named;  // entries named in values, not yet searched for
    // The folded DNs of the entries not yet searched for or still on their way.
    std::unordered_set<std::string> pending;
    std::unordered_set<std::string> askedKeys;
    std::unordered_map<std::string, LdapMessage> arrived;  // the answers waiting for their reads
    struct Search {
      LdapConnection* connection = nullptr;  // the store's own or one of the sweep's spares
      int msgid = -1;
      uint64_t generation = 0;
      std::string base;
      std::string filter;
      bool ofNamed = false;  // of the entries named in values, for their names and classes only
      // The folded DNs it brings: every asked one when it is the caller's search, which would
      // copy thousands of them.
      bool allAsked = false;
      std::unordered_set<std::string> keys;
      // The continuation references of the pages taken in so far: their parts are searched
      // once the last page is in.
      std::vector<LdapReference> references;
      // What it asks for; its later pages and referred parts ask for the same.
      std::vector<std::string> attributes;
    };
    // The caller's search that brings every asked entry, until it is sent.
    std::optional<Search> within;
    std::deque<Search> onItsWay;  // in the order sent, each on a connection of its own
    // The connections that searches beside the one on the store's own travel on; each keeps one
    // paging state, so a connection carries one search at a time.
    std::vector<std::unique_ptr<LdapConnection>> spares;
  };
  std::optional<Sweep> sweep;

  // Whether a subtree search below `base` reaches the server's entries below it.
  bool Searchable(const DirName& base) const {
    return (!base.empty() || rootIsEntry) && !IsMade(base) && !KnownMissing(base);
  }

  static DirName CommonAncestor(const std::vector<DirName>& names) {
    DirName common = names.front();
    for (const DirName& name : names) {
      size_t shared = 0;
      while (shared < common.size() && shared < name.size() &&
             SameRdn(common[common.size() - 1 - shared], name[name.size() - 1 - shared])) {
        ++shared;
      }
      common.erase(common.begin(), common.end() - static_cast<std::ptrdiff_t>(shared));
    }
    return common;
  }

  // An RFC 4515 filter matching the entries whose RDNs are those of `names`; the search's
  // base keeps it to their ancestors, and entries of the same RDN elsewhere below it are
  // passed over when they arrive.
  static std::string RdnFilter(const std::vector<DirName>& names) {
    const auto term = [](std::string& filter, const std::string& type, const std::string& value) {
      std::string ldapType = FoldCase(type);
      if (ldapType == "s")
        ldapType = "st";
      filter += "(" + ldapType + "=" + EscapeFilterValue(value) + ")";
    };
    std::string filter = "(|";
    for (const DirName& name : names) {
      const Rdn& rdn = name.front();
      if (rdn.more.empty()) {
        term(filter, rdn.type, rdn.value);
        continue;
      }
      filter += "(&";
      term(filter, rdn.type, rdn.value);
      for (const Ava& ava : rdn.more)
        term(filter, ava.type, ava.value);
      filter += ")";
    }
    return filter + ")";
  }

  void StartSweep(const std::vector<DirName>& names, std::vector<std::string> requested,
                  bool namedEntries, const StoreSearch* within) {
    ForgetSweep();
    // Filled in place: the asked names point at their keys in it.
    sweep = Sweep();
    Sweep& started = *sweep;
    started.requested = std::move(requested);
    for (const std::string& name : started.requested) {
      const SchemaAttribute* def = schema.FindAttribute(name);
      started.namesInValues = started.namesInValues || (namedEntries && def != nullptr &&
                                                        def->syntax == kSyntaxDistinguishedName);
    }
    std::string filter;
    // Not on a tree spread over several servers: the caller's search reaches the parts held
    // elsewhere only after its own last page, so that every entry of its own would wait for the
    // reads of those parts, all of them held at once. There the names are searched for instead.
    if (within != nullptr && !servers.ReferredElsewhere() && Searchable(within->base) &&
        LdapFilterText(within->filter, schema, namingTypes, filter) == kDirOk) {
      Sweep::Search whole;
      whole.base = LdapDnText(within->base);
      whole.filter = std::move(filter);
      started.within = std::move(whole);
    }
    for (const DirName& name : names) {
      std::string key = FoldedDnKey(name);
      if (name.empty() || IsMade(name) || !started.pending.insert(key).second)
        continue;
      const auto placed = started.askedKeys.insert(std::move(key)).first;
      // The caller's search goes first and brings them all: no search of theirs follows.
      started.asked.push_back({started.within ? std::string() : LdapDnText(name), &*placed});
    }
    SendSweep();
    // Opened once the first search is on its way, so that their binds travel beside it.
    if (sweep && sweep->nextAsked < sweep->asked.size()) {
      sweep->spares = SparesBoundTogether(kSweepsAtOnce - 1);
      SendSweep();
    }
  }

  // `count` spare connections to the store's own server, the binds of those not yet open sent
  // together. One whose bind failed is among them, not connected.
  std::vector<std::unique_ptr<LdapConnection>> SparesBoundTogether(size_t count) {
    LdapConnectionPool& pool = servers.Own();
    std::vector<std::unique_ptr<LdapConnection>> spares;
    std::vector<LdapConnection*> opening;
    while (spares.size() < count) {
      spares.push_back(pool.TakeSpare());
      if (!spares.back()->Connected())
        opening.push_back(spares.back().get());
    }
    pool.EnsureTogether(opening);
    return spares;
  }

  // The next search of the sweep, its keys taken from the names to come: the caller's search for
  // the asked entries before any of them, else the entries named in values first, which reads in
  // hand wait for, then the asked entries in their order. False when no search can be below the
  // names' common ancestor.
  bool NextSweepSearch(const LdapConnection& connection, Sweep::Search& search) {
    if (sweep->within && sweep->named.empty()) {
      search = std::move(*sweep->within);
      sweep->within.reset();
      search.allAsked = true;
      sweep->nextAsked = sweep->asked.size();
      return true;
    }
    std::vector<DirName> names;
    size_t most =
        std::min(kMaxNamesPerSweep, static_cast<size_t>(std::max(1, connection.PageSize())));
    // The server tests each entry it finds against each name, so a search of half the names
    // costs it a quarter as long (slapd, a thousand names: about 0.1 ms an entry, ten times what
    // a search by class costs). When the asked names take more than one search, the searches
    // travel side by side anyway, and twice as many of half the size come back sooner.
    if (sweep->asked.size() > most)
      most = std::max<size_t>(1, most / 2);
    search.ofNamed = !sweep->named.empty();
    while (names.size() < most && !sweep->named.empty() && search.ofNamed) {
      names.push_back(std::move(sweep->named.front()));
      sweep->named.pop_front();
    }
    for (const DirName& name : names)
      search.keys.insert(FoldedDnKey(name));
    while (names.size() < most && !search.ofNamed && sweep->nextAsked < sweep->asked.size()) {
      const Sweep::AskedName& asked = sweep->asked[sweep->nextAsked++];
      // Its own key, not one of the name read back: the reads wait under that one.
      search.keys.insert(*asked.key);
      if (auto name = ParseLdapDn(asked.dn))
        names.push_back(std::move(*name));
    }
    if (names.empty())
      return false;
    const DirName base = CommonAncestor(names);
    if (!Searchable(base))
      return false;
    search.base = LdapDnText(base);
    search.filter = RdnFilter(names);
    return true;
  }

  // A connection of the sweep that carries no search of it; nullptr when each carries one.
  LdapConnection* IdleSweepConnection() {
    const auto idle = [&](const LdapConnection* connection) {
      return std::none_of(
          sweep->onItsWay.begin(), sweep->onItsWay.end(),
          [&](const Sweep::Search& search) { return search.connection == connection; });
    };
    // A listing paging on the store's own connection meanwhile keeps it.
    if (idle(&Connection()) && !servers.Own().HasUnfinished())
      return &Connection();
    for (const std::unique_ptr<LdapConnection>& spare : sweep->spares) {
      if (spare->Connected() && idle(spare.get()))
        return spare.get();
    }
    return nullptr;
  }

  // Sends the next searches while a connection of the sweep is idle. Names no search can bring
  // are left to their own reads.
  void SendSweep() {
    while (sweep && (sweep->nextAsked < sweep->asked.size() || !sweep->named.empty())) {
      LdapConnection* connection = IdleSweepConnection();
      if (connection == nullptr)
        return;
      Sweep::Search search;
      if (!NextSweepSearch(*connection, search) || !connection->Connected()) {
        Settle(search);
        continue;
      }
      search.attributes = search.ofNamed ? std::vector<std::string>(std::begin(kEntryAttributes),
                                                                    std::end(kEntryAttributes) - 1)
                                         : sweep->requested;
      const std::vector<const char*> list = AttributeList(search.attributes);
      const std::string noCookie;
      if (connection->SendSearch(search.base, LDAP_SCOPE_SUBTREE, search.filter, list.data(),
                                 &noCookie, search.msgid, "read") != kDirOk) {
        StopSweep();
        return;
      }
      search.connection = connection;
      search.generation = connection->Generation();
      // The server keeps one paging state per connection: a paged search begun meanwhile
      // takes a spare connection.
      if (connection == &Connection())
        servers.Own().CountUnfinished(1);
      sweep->onItsWay.push_back(std::move(search));
    }
  }

  // Takes the page of the search sent first, parks its entries for their reads, and sends the
  // next search or page; false when there is none.
  bool CollectSweep() {
    if (!sweep)
      return false;
    SendSweep();
    if (!sweep || sweep->onItsWay.empty())
      return false;
    Sweep::Search& search = sweep->onItsWay.front();
    LdapConnection& connection = *search.connection;
    std::vector<LdapMessage> entries;
    bool sound = connection.Generation() == search.generation && connection.Connected();
    bool last = true;
    if (sound) {
      LdapPage page;
      sound = connection.CollectPage(search.msgid, page, "read") == kDirOk;
      for (LdapMessage& entry : page.entries)
        entries.push_back(std::move(entry));
      for (LdapReference& reference : page.references)
        search.references.push_back(std::move(reference));
      const std::vector<const char*> list = AttributeList(search.attributes);
      if (sound && !page.cookie.empty()) {
        // The next page travels while this one's entries are taken in and read: asked for only
        // once they were, every page would cost its round trip on top of the reading.
        last = false;
        sound = connection.SendSearch(search.base, LDAP_SCOPE_SUBTREE, search.filter, list.data(),
                                      &page.cookie, search.msgid, "read") == kDirOk;
      }
      // Whatever arrived before a failure is still an answer; the rest are read alone, and meet
      // the failure there as they would have without.
      if (sound && last)
        SweepReferred(search, search.references, list.data(), entries);
    }
    for (LdapMessage& message : entries) {
      StoreEntry entry;
      if (!FillEntry(message.get(), entry))
        continue;
      std::string key = FoldedDnKey(entry.name);
      if (!(search.allAsked ? sweep->askedKeys : search.keys).contains(key))
        continue;
      Remember(key, std::move(entry));
      // A search brings either names in values or asked entries.
      if (search.ofNamed)
        continue;
      if (sweep->namesInValues)
        QueueNamesIn(message.get());
      sweep->arrived.insert_or_assign(std::move(key), std::move(message));
    }
    if (sound && !last)
      return true;
    Settle(search);
    EndSearchOnItsWay();
    if (!sound) {
      StopSweep();
      return false;
    }
    SendSweep();
    return true;
  }

  // Takes the keys of `search`, which no longer brings them, from those pending.
  void Settle(const Sweep::Search& search) {
    for (const std::string& key : search.allAsked ? sweep->askedKeys : search.keys)
      sweep->pending.erase(key);
  }

  // The entries of the subtree search whose first page, answered `code`, is `page`, its later
  // pages asked for in turn, with its continuation references when `references` is given; the
  // code of the last page.
  static int32_t GatherPages(LdapConnection& connection, const std::string& base,
                             const std::string& filter, const char* const* attrs, int32_t code,
                             LdapPage& page, std::vector<LdapMessage>& entries,
                             std::vector<LdapReference>* references) {
    for (;;) {
      for (LdapMessage& entry : page.entries)
        entries.push_back(std::move(entry));
      if (references != nullptr) {
        for (LdapReference& reference : page.references)
          references->push_back(std::move(reference));
      }
      if (code != kDirOk || page.cookie.empty())
        return code;
      // The caller's search, or entries of the same RDN elsewhere below the base, made it more
      // than a page.
      const std::string cookie = page.cookie;
      code = connection.SearchPage(base, LDAP_SCOPE_SUBTREE, filter, attrs, &cookie, page, "read");
    }
  }

  // The entries of `search` in the parts of the tree its continuation `references` name, each
  // part searched on its own server with the same filter: read alone, each entry there would
  // cost a referred read. Whatever a part cannot give that way (its server out of reach, a
  // reference of its own) is left to the reads, which follow the referral and meet any failure
  // as they would have without.
  void SweepReferred(const Sweep::Search& search, const std::vector<LdapReference>& references,
                     const char* const* attrs, std::vector<LdapMessage>& entries) {
    const ReferralChain chain = LdapServers::StartOf(Connection());
    for (const LdapReference& reference : references) {
      const auto first =
          reference.urls.empty() ? std::nullopt : ParseReferral(reference.urls.front());
      const auto searchPart = [&](LdapConnectionPool& pool, const std::string& dn,
                                  const ReferralChain&) {
        // A listing of that server part way through its pages keeps the paging state of the
        // pool's own connection.
        std::unique_ptr<LdapConnection> spare = pool.HasUnfinished() ? pool.TakeSpare() : nullptr;
        LdapConnection& connection = spare ? *spare : pool.Main();
        const std::string noCookie;
        LdapPage page;
        const int32_t code =
            GatherPages(connection, dn, search.filter, attrs,
                        connection.SearchPage(dn, LDAP_SCOPE_SUBTREE, search.filter, attrs,
                                              &noCookie, page, "read"),
                        page, entries, nullptr);
        if (spare)
          pool.ReturnSpare(std::move(spare));
        return code;
      };
      static_cast<void>(servers.Follow(reference.urls, chain, "read",
                                       first ? first->dn : search.base, searchPart));
    }
  }

  // Queues the entries named in `message`'s values of a DN syntax that this operation has not
  // met and no search is bringing.
  void QueueNamesIn(LDAPMessage* message) {
    for (const auto& [description, values] : decoder.Attributes(message)) {
      const std::string ldapName = description.substr(0, description.find(';'));
      const SchemaAttribute* def = schema.FindAttribute(ldapName);
      if (def == nullptr || def->syntax != kSyntaxDistinguishedName)
        continue;
      for (const std::string& value : values) {
        auto name = ParseLdapDn(value);
        if (!name || name->empty() || IsMade(*name))
          continue;
        std::string key = FoldedDnKey(*name);
        if (knownEntries.contains(key) || sweep->arrived.contains(key) || KnownMissing(*name) ||
            !sweep->pending.insert(std::move(key)).second) {
          continue;
        }
        sweep->named.push_back(std::move(*name));
      }
    }
  }

  // Waits for the pages up to the one bringing `key`, when a search brings it. Not for the
  // search's last page: the later pages travel while the reads in hand are answered.
  void AwaitSweep(const std::string& key) {
    while (sweep && sweep->pending.contains(key) && !sweep->arrived.contains(key) &&
           CollectSweep()) {
    }
  }

  // The parked answer to `requested` of the entry `key`, when a sweep for those attributes
  // brought it.
  std::optional<LdapMessage> TakeSwept(const std::string& key,
                                       const std::vector<std::string>& requested) {
    if (!sweep || sweep->requested != requested)
      return std::nullopt;
    AwaitSweep(key);
    if (!sweep)
      return std::nullopt;
    const auto found = sweep->arrived.find(key);
    if (found == sweep->arrived.end())
      return std::nullopt;
    LdapMessage message = std::move(found->second);
    sweep->arrived.erase(found);
    return message;
  }

  // The entry `key` as it was taken in, when the sweep brought it for a read of lastRequest
  // and its answer waits for that read.
  const StoreEntry* SweptEntry(const std::string& key) {
    if (!sweep || lastRequest.empty() || sweep->requested != lastRequest)
      return nullptr;
    AwaitSweep(key);
    if (!sweep || !sweep->arrived.contains(key))
      return nullptr;
    const auto known = knownEntries.find(key);
    return known == knownEntries.end() || known->second.name.empty() ? nullptr : &known->second;
  }

  // Ends the searches; the answers already parked still answer their reads.
  void StopSweep() {
    if (!sweep)
      return;
    DropSearchesOnTheirWay();
    sweep->pending.clear();
    sweep->named.clear();
    sweep->nextAsked = sweep->asked.size();
  }

  // Forgets the search sent first, which its connection no longer carries.
  void EndSearchOnItsWay() {
    if (sweep->onItsWay.front().connection == &Connection())
      servers.Own().CountUnfinished(-1);
    sweep->onItsWay.pop_front();
  }

  void DropSearchesOnTheirWay() {
    if (!sweep)
      return;
    while (!sweep->onItsWay.empty()) {
      const Sweep::Search& search = sweep->onItsWay.front();
      // A paged search given up is waited for rather than abandoned: the server may still be
      // working on it when the next paged search begins, and it would take over that one's
      // state.
      if (search.connection->Generation() == search.generation && search.connection->Connected()) {
        LdapPage unwanted;
        static_cast<void>(search.connection->CollectPage(search.msgid, unwanted, "read"));
      }
      EndSearchOnItsWay();
    }
  }

  void ForgetSweep() {
    DropSearchesOnTheirWay();
    if (sweep) {
      for (std::unique_ptr<LdapConnection>& spare : sweep->spares)
        servers.Own().ReturnSpare(std::move(spare));
    }
    sweep.reset();
  }

  // Gives up every waiting answer, and the requests still on their way.
  void ForgetWaitingAnswers() {
    LdapConnection& connection = Connection();
    for (const auto& [key, answer] : waiting) {
      if (answer.msgid >= 0 && answer.generation == connection.Generation())
        connection.Abandon(answer.msgid);
    }
    waiting.clear();
  }

  void Remember(const std::string& key, StoreEntry entry) {
    // A long operation meets many entries once each; what it remembers keeps to a bounded size.
    if (knownEntries.size() >= kMaxCachedNames)
      knownEntries.clear();
    knownEntries.insert_or_assign(key, std::move(entry));
  }

  void RememberMissing(const DirName& name) {
    if (missingNames.size() >= kMaxCachedNames)
      missingNames.clear();
    missingNames.insert(FoldedDnKey(name));
  }
  // Whether a lookup of this operation found no entry by `name` or by a name above it.
  bool KnownMissing(const DirName& name) const {
    if (missingNames.empty())
      return false;
    for (size_t depth = name.size(); depth > 0; --depth) {
      if (missingNames.contains(
              FoldedDnKey(DirName(name.end() - static_cast<std::ptrdiff_t>(depth), name.end()))))
        return true;
    }
    return false;
  }

  // Whether the name cache holds `name` as a child that a lookup found.
  bool Cached(const DirName& name) const {
    if (name.empty())
      return false;
    const Rdn& rdn = name.front();
    const std::string parentKey = FoldedDnKey(DirName(name.begin() + 1, name.end())) + "\n";
    const std::string value = "=" + FoldCase(RdnValueKey(rdn.value, rdn.more));
    for (const std::string& key :
         {parentKey + FoldCase(RdnTypeKey(rdn)) + value, parentKey + value}) {
      const auto cached = childCache.find(key);
      if (cached != childCache.end() &&
          std::any_of(cached->second.begin(), cached->second.end(),
                      [&](const ChildCandidate& child) { return SameRdn(child.rdn, rdn); }))
        return true;
    }
    return false;
  }

  [[nodiscard]] LdapConnection& Connection() { return servers.Own().Main(); }

  int32_t SearchOnce(const std::string& base, int scope, const std::string& filter,
                     const char* const* attrs, LdapPage& page, std::string_view what) {
    return servers.SearchOnce(Connection(), base, scope, filter, attrs, page, what);
  }

  // Schema ----------------------------------------------------------------------------------

  int32_t ReadSchema() {
    static const char* const kRootAttributes[] = {"subschemaSubentry", "supportedControl",
                                                  "namingContexts", "vendorVersion", nullptr};
    static const char* const kSchemaAttributes[] = {"attributeTypes", "objectClasses", nullptr};
    // The usual schema entry and the identity are asked for beside the root DSE: on most servers
    // the schema then costs no round trip of its own, and who-am-I none either.
    LdapConnection& connection = Connection();
    int root = -1;
    int usual = -1;
    uint64_t generation = 0;
    {
      const LdapConnection::SendsTogether together(connection);
      const int32_t sent = connection.SendSearch("", LDAP_SCOPE_BASE, "(objectClass=*)",
                                                 kRootAttributes, nullptr, root, "root DSE");
      if (sent != kDirOk)
        return sent;
      generation = connection.Generation();
      if (connection.SendSearch(std::string(kUsualSubschema), LDAP_SCOPE_BASE, "(objectClass=*)",
                                kSchemaAttributes, nullptr, usual, "schema") != kDirOk) {
        usual = -1;
      }
      SendStartAnswers();
    }
    LdapPage page;
    int32_t code = connection.CollectPage(root, page, "root DSE");
    if (code == kDirTransportFailure && !connection.Connected()) {
      usual = -1;
      code = SearchOnce("", LDAP_SCOPE_BASE, "(objectClass=*)", kRootAttributes, page, "root DSE");
    }
    if (code != kDirOk)
      return code;
    std::string subschema(kUsualSubschema);
    for (const LdapMessage& entry : page.entries) {
      for (const auto& [attribute, value] : decoder.Pairs(entry.get(), kRootAttributes)) {
        if (EqualsIgnoringCase(attribute, "subschemaSubentry"))
          subschema = value;
        // 389 Directory Server holds an answer about 100 ms at times while further requests
        // wait on its connection (its reader polls for the next request before it lets the
        // answer go), a window of lookups several times over.
        if (EqualsIgnoringCase(attribute, "vendorVersion") && value.starts_with("389-Directory/"))
          connection.HoldAnswersWhileRequestsWait(true);
        if (EqualsIgnoringCase(attribute, "supportedControl") && value == kLdapPagedResultsOid)
          Connection().UsePagedResults(true);
        if (EqualsIgnoringCase(attribute, "namingContexts")) {
          if (value.empty()) {
            rootIsEntry = true;
          } else if (auto context = ParseLdapDn(value)) {
            namingContexts.push_back(std::move(*context));
          }
        }
      }
    }
    const bool sameConnection = connection.Connected() && connection.Generation() == generation;
    if (usual >= 0 && sameConnection && EqualsIgnoringCase(subschema, kUsualSubschema)) {
      code = connection.CollectPage(usual, page, "schema");
    } else {
      if (usual >= 0 && sameConnection)
        connection.Abandon(usual);
      code = SearchOnce(subschema, LDAP_SCOPE_BASE, "(objectClass=*)", kSchemaAttributes, page,
                        "schema");
    }
    if (code != kDirOk)
      return code;
    std::vector<std::pair<std::string, std::string>> values;
    for (const LdapMessage& entry : page.entries) {
      for (auto& pair : decoder.Pairs(entry.get(), kSchemaAttributes))
        values.push_back(std::move(pair));
    }
    std::vector<SchemaDescription> descriptions;
    for (const auto& [attribute, value] : values) {
      descriptions.push_back({EqualsIgnoringCase(attribute, "attributeTypes")
                                  ? SchemaDescription::Kind::kAttributeType
                                  : SchemaDescription::Kind::kObjectClass,
                              value});
    }
    // A description the server gets wrong costs that attribute or class its mapping only.
    static_cast<void>(schema.Read(descriptions));
    // A server that names no context is asked about the root itself.
    if (namingContexts.empty())
      rootIsEntry = true;
    for (const std::string_view type : kNamingTypes) {
      if (schema.FindAttribute(type) != nullptr || type == "cn")
        namingTypes.emplace_back(type);
    }
    return kDirOk;
  }

  void SendStartAnswers() {
    LdapConnection& connection = Connection();
    StartAnswers sent;
    sent.generation = connection.Generation();
    if (connection.SendWhoAmI(sent.whoAmI) != kDirOk)
      return;
    static const char* const kNoAttributes[] = {"1.1", nullptr};
    if (!bindDn.empty() &&
        connection.SendSearch(bindDn, LDAP_SCOPE_BASE, "(objectClass=*)", kNoAttributes, nullptr,
                              sent.boundEntry, "read the bound entry") != kDirOk) {
      sent.boundEntry = -1;
    }
    startAnswers = sent;
  }

  // Entries --------------------------------------------------------------------------------

  std::optional<DirName> EntryName(LDAPMessage* entry) const {
    const auto dn = decoder.Dn(entry);
    if (!dn)
      return std::nullopt;
    return ParseLdapDn(*dn);
  }

  // The base class: the last class value the schema marks structural, else the last one.
  std::string BaseClass(const std::vector<std::string>& objectClasses) const {
    const SchemaClass* structural = nullptr;
    std::string last;
    for (const std::string& value : objectClasses) {
      const SchemaClass* def = schema.FindClass(value);
      last = def != nullptr ? def->name : value;
      if (def != nullptr && def->structural)
        structural = def;
    }
    if (structural != nullptr)
      return structural->name;
    return last.empty() ? std::string("Unknown") : last;
  }

  bool FillEntry(LDAPMessage* message, StoreEntry& entry) const {
    auto name = EntryName(message);
    if (!name)
      return false;
    entry = StoreEntry();
    entry.name = std::move(*name);
    std::vector<std::string> objectClasses;
    bool hasChildren = false;
    for (const auto& [attribute, value] : decoder.Pairs(message, kEntryAttributes)) {
      if (attribute == std::string_view("objectClass")) {
        objectClasses.push_back(value);
      } else if (attribute == std::string_view("modifyTimestamp")) {
        entry.modificationTime = ParseGeneralizedTime(value).value_or(0);
      } else if (attribute == std::string_view("hasSubordinates")) {
        hasChildren = EqualsIgnoringCase(value, "TRUE");
      } else {
        entry.subordinateCount =
            static_cast<uint32_t>(ParseNumber(value, 0, UINT32_MAX).value_or(0));
        hasChildren = hasChildren || entry.subordinateCount > 0;
      }
    }
    entry.baseClass = BaseClass(objectClasses);
    const SchemaClass* def = schema.FindClass(entry.baseClass);
    entry.flags = (def != nullptr && def->container) || hasChildren ? kDirObjectContainer : 0;
    return true;
  }

  // Names ----------------------------------------------------------------------------------

  // FindChildren's typeless single-valued parts not yet cached, looked up under every naming
  // type in batches sent at once: resolving the containers of many names one after another
  // cost a round trip each.
  void LearnChildren(const std::vector<std::pair<DirName, NamePart>>& asked) {
    // Lookups of one batch, whose answers are all held until the batch is read (LookUpEach keeps
    // fewer of them waiting on the connection at a time).
    constexpr size_t kMostLookUps = 1024;
    std::vector<std::pair<DirName, std::string>> parts;  // parent and value, each once
    std::unordered_set<std::string> seen;
    for (const auto& [askedParent, part] : asked) {
      // Our compilers do not all let a lambda capture a structured binding.
      const DirName& parent = askedParent;
      if (!part.type.empty() || !part.more.empty() || !FindChildren(parent, part, false).empty() ||
          KnownMissing(parent) ||
          (!rootIsEntry &&
           std::none_of(namingContexts.begin(), namingContexts.end(),
                        [&](const DirName& context) { return IsWithin(parent, context); }))) {
        continue;
      }
      if (seen.insert(FoldedDnKey(parent) + "\n" + FoldCase(part.value)).second)
        parts.emplace_back(parent, part.value);
    }
    // Past a window's worth, the lookups are spread over spare connections as well, each share
    // costing its round trips beside the others'; spares not yet open bind together first.
    LdapConnectionPool& pool = servers.Own();
    std::vector<std::unique_ptr<LdapConnection>> spares;
    std::vector<LdapConnection*> across{&Connection()};
    const size_t lookUps = parts.size() * namingTypes.size();
    const size_t window = Connection().LookUpWindow();
    if (lookUps > window) {
      // One for each window's worth beyond the first.
      spares = SparesBoundTogether(std::min(kSparesForLookUps, (lookUps - 1) / window));
      for (const auto& spare : spares) {
        if (spare->Connected())
          across.push_back(spare.get());
      }
    }
    const size_t perBatch =
        std::max<size_t>(1, kMostLookUps * across.size() / std::max<size_t>(1, namingTypes.size()));
    for (size_t from = 0; from < parts.size(); from += perBatch) {
      const size_t to = std::min(parts.size(), from + perBatch);
      std::vector<DirName> names;
      std::vector<std::string> children;
      for (size_t i = from; i < to; ++i) {
        for (const std::string& type : namingTypes) {
          DirName child = parts[i].first;
          child.insert(child.begin(), Rdn{type, parts[i].second});
          children.push_back(LdapDnText(child));
          names.push_back(std::move(child));
        }
      }
      // A container held by another server answers by a referral: followed, it is known like
      // the others, and the names below it are guessed right.
      std::vector<LdapPage> pages;
      const int32_t code =
          servers.LookUpEach(across, children, kEntryAttributes, pages, "name lookup");
      if (code != kDirOk)
        break;
      for (size_t i = from; i < to; ++i) {
        std::vector<ChildCandidate> found;
        for (size_t t = 0; t < namingTypes.size(); ++t) {
          const size_t at = (i - from) * namingTypes.size() + t;
          if (at >= pages.size())
            break;
          if (pages[at].entries.empty())
            RememberMissing(names[at]);
          for (const LdapMessage& message : pages[at].entries) {
            StoreEntry entry;
            if (FillEntry(message.get(), entry) && !entry.name.empty() &&
                entry.name.front().more.empty() &&
                EqualsIgnoringCase(entry.name.front().value, parts[i].second)) {
              found.push_back({entry.name.front(), (entry.flags & kDirObjectContainer) != 0});
            }
          }
        }
        if (found.empty())
          continue;
        if (childCache.size() >= kMaxCachedNames)
          ClearChildCache();
        childCache.emplace(
            FoldedDnKey(parts[i].first) + "\n=" + FoldCase(RdnValueKey(parts[i].second, {})),
            std::move(found));
      }
    }
    for (std::unique_ptr<LdapConnection>& spare : spares)
      pool.ReturnSpare(std::move(spare));
  }

  void ClearChildCache() {
    childCache.clear();
    recentChildren.clear();
    oldestRecent = 0;
  }

  const std::vector<ChildCandidate>* RecentlyFound(const DirName& parent,
                                                   const NamePart& part) const {
    for (const RecentChildren& recent : recentChildren) {
      if (recent.part.value == part.value && recent.part.type == part.type &&
          recent.part.more == part.more && NamesSpelledAlike(recent.parent, parent)) {
        return &recent.found;
      }
    }
    return nullptr;
  }

  void RememberRecent(const DirName& parent, const NamePart& part,
                      const std::vector<ChildCandidate>& found) {
    RecentChildren recent{parent, part, found};
    if (recentChildren.size() < kRecentChildren) {
      recentChildren.push_back(std::move(recent));
      return;
    }
    recentChildren[oldestRecent] = std::move(recent);
    oldestRecent = (oldestRecent + 1) % kRecentChildren;
  }

  // The folded DN of `parent` and '\n', which begins the keys of its children. Siblings are
  // looked up one after another, each more than once, and would fold their parent's whole DN
  // again each time; names as spelled give the same key, so the last one is kept.
  std::string ParentKey(const DirName& parent) {
    if (!NamesSpelledAlike(lastParent, parent)) {
      lastParent = parent;
      lastParentKey = FoldedDnKey(parent);
      lastParentKey.push_back('\n');
    }
    return lastParentKey;
  }

  // `ask`: whether the server is asked what the cache and the naming contexts do not tell.
  std::vector<ChildCandidate> FindChildren(const DirName& parent, const NamePart& part,
                                           bool ask = true) {
    if (const std::vector<ChildCandidate>* recent = RecentlyFound(parent, part))
      return *recent;
    std::string parentKey = ParentKey(parent);
    const bool multi = !part.more.empty();
    // Typeless, its values are ordered by value alone: the key is that of the set.
    const Rdn asked = RdnOfPart(part);
    const std::string askedValues = multi && part.type.empty() ? RdnValueSetKey(asked) : "";
    const auto fits = [&](const Rdn& rdn) {
      if (!multi)
        return rdn.more.empty() && EqualsIgnoringCase(rdn.value, part.value) &&
               (part.type.empty() || EqualsIgnoringCase(rdn.type, part.type));
      return part.type.empty()
                 ? rdn.more.size() == part.more.size() && RdnValueSetKey(rdn) == askedValues
                 : SameRdn(rdn, asked);
    };
    const std::string value = FoldCase(RdnValueKey(asked.value, asked.more));
    std::string key;
    key.reserve(parentKey.size() + asked.type.size() + value.size() + 1);
    key += parentKey;
    key += FoldCase(part.type.empty() ? part.type : RdnTypeKey(asked));
    key += '=';
    key += value;
    if (const auto cached = childCache.find(key); cached != childCache.end()) {
      // Leaves are asked for once each; the containers above them again and again.
      if (std::all_of(cached->second.begin(), cached->second.end(),
                      [](const ChildCandidate& child) { return child.container; })) {
        RememberRecent(parent, part, cached->second);
      }
      return cached->second;
    }
    std::vector<ChildCandidate> found;
    if (!part.type.empty() && !multi) {
      // A typeless lookup of the same value already knows every child of that value.
      if (const auto all = childCache.find(parentKey + "=" + value); all != childCache.end()) {
        for (const ChildCandidate& candidate : all->second) {
          if (EqualsIgnoringCase(candidate.rdn.type, part.type))
            found.push_back(candidate);
        }
        return found;
      }
    }
    if (!rootIsEntry) {
      // Above and at the naming contexts, the names are the contexts' own parts.
      for (const DirName& context : namingContexts) {
        if (context.size() <= parent.size() || !IsWithin(context, parent))
          continue;
        const Rdn& rdn = context[context.size() - parent.size() - 1];
        const bool known = std::any_of(found.begin(), found.end(), [&](const ChildCandidate& c) {
          return SameRdn(c.rdn, rdn);
        });
        if (!known && fits(rdn))
          found.push_back({rdn, true});
      }
      if (parent.size() < 1 ||
          std::none_of(namingContexts.begin(), namingContexts.end(),
                       [&](const DirName& context) { return IsWithin(parent, context); })) {
        return found;
      }
    }
    if (!ask)
      return found;
    LdapPage page;
    const auto collect = [&] {
      for (const LdapMessage& message : page.entries) {
        StoreEntry entry;
        if (FillEntry(message.get(), entry) && !entry.name.empty() && fits(entry.name.front())) {
          found.push_back({entry.name.front(), (entry.flags & kDirObjectContainer) != 0});
        }
      }
    };
    if (!part.type.empty()) {
      // The child of this naming type, by a lookup of its exact name.
      DirName child = parent;
      child.insert(child.begin(), asked);
      const std::string key = FoldedDnKey(child);
      // One the sweep brought was taken in as it arrived; its answer stays parked for the read.
      if (const StoreEntry* swept = SweptEntry(key)) {
        if (fits(swept->name.front()))
          found.push_back({swept->name.front(), (swept->flags & kDirObjectContainer) != 0});
      } else {
        std::optional<int32_t> code;
        if (!lastRequest.empty())
          code = TakeWaitingAnswer(key, lastRequest, page);
        if (!code) {
          const std::vector<const char*> attributes =
              lastRequest.empty() ? std::vector<const char*>(std::begin(kEntryAttributes),
                                                             std::end(kEntryAttributes))
                                  : AttributeList(lastRequest);
          code = SearchOnce(LdapDnText(child), LDAP_SCOPE_BASE, "(objectClass=*)",
                            attributes.data(), page, "name lookup");
        }
        if (*code == kDirOk) {
          collect();
          if (!page.entries.empty() && !lastRequest.empty())
            Wait(key, WaitingAnswer{lastRequest, -1, std::move(page.entries.front()), 0});
        }
        if (*code == kDirNoSuchEntry || (*code == kDirOk && page.entries.empty()))
          RememberMissing(child);
        // Held by a server out of reach, the child is still there: the request that follows
        // fails naming it, where a name not found would call the part missing.
        if (*code != kDirOk && page.ldapCode == LDAP_REFERRAL)
          found.push_back({asked, true});
      }
    } else if (multi) {
      // Asked by exact names, the values would take every combination of naming types. One
      // one-level search instead, for the children holding each value under some naming type;
      // those whose RDN has other values, or the same ones outside it, are left out above. Few
      // names are typeless and multi-valued at once, so the scan of a container it may cost
      // where a naming type is not indexed is rare.
      std::string filter = "(&";
      const auto anyType = [&](const std::string& value) {
        const std::string escaped = EscapeFilterValue(value);
        filter += "(|";
        for (const std::string& type : namingTypes)
          filter += "(" + type + "=" + escaped + ")";
        filter += ")";
      };
      anyType(asked.value);
      for (const Ava& ava : asked.more)
        anyType(ava.value);
      filter += ")";
      // A server that stops at its size limit still sends the children it found before.
      static_cast<void>(SearchOnce(LdapDnText(parent), LDAP_SCOPE_ONELEVEL, filter,
                                   kEntryAttributes, page, "name lookup"));
      collect();
    } else {
      // The child of each naming type by its exact name, all asked at once: a one-level filter
      // over the naming types makes the server scan the whole container wherever one of the
      // types is not indexed, and a container of a hundred thousand tasks took milliseconds a
      // name.
      std::vector<DirName> names;
      std::vector<std::string> children;
      for (const std::string& type : namingTypes) {
        DirName child = parent;
        child.insert(child.begin(), Rdn{type, part.value});
        children.push_back(LdapDnText(child));
        names.push_back(std::move(child));
      }
      std::vector<LdapPage> pages;
      const int32_t code =
          servers.LookUpEach(Connection(), children, kEntryAttributes, pages, "name lookup");
      for (size_t i = 0; i < pages.size(); ++i) {
        page = std::move(pages[i]);
        // Only a batch answered whole tells that an empty answer is an entry missing.
        if (code == kDirOk && page.entries.empty())
          RememberMissing(names[i]);
        if (page.ldapCode == LDAP_REFERRAL && page.entries.empty())
          found.push_back({names[i].front(), true});
        collect();
      }
    }
    if (!found.empty()) {
      // A long session names many entries once each; the cache keeps to a bounded size.
      if (childCache.size() >= kMaxCachedNames)
        ClearChildCache();
      childCache.emplace(key, found);
    }
    return found;
  }
};

// Entries of one listing or search, fetched a page at a time; a failure ends the cursor with a
// code, the entries read before it having been delivered. The parts of the tree the server
// refers to follow its own entries, each searched on its server by a cursor of its own; a base
// the server refers elsewhere is searched there instead.
class LdapStore::Cursor final : public PagedSearch {
 public:
  struct Check {
    std::vector<std::string> classes;  // directory names; empty = any
    std::string rdnPattern;            // empty = any
    std::string rdnType;
  };

  // On the server of `pool` (the store's own when none), reached through `chain`.
  Cursor(LdapStore::Impl& impl, std::string base, int scope, std::string filter, Check check,
         LdapConnectionPool* pool = nullptr, ReferralChain chain = {})
      : impl_(impl),
        pool_(pool != nullptr ? *pool : impl.servers.Own()),
        chain_(std::move(chain)),
        base_(std::move(base)),
        scope_(scope),
        filter_(std::move(filter)),
        check_(std::move(check)) {}

  Cursor(const Cursor&) = delete;
  Cursor& operator=(const Cursor&) = delete;

  // A page asked for ahead and no longer wanted is given up, so that its entries do not
  // travel for nothing; but a server keeps one paging state per connection and may still be
  // working on that request when the next paged search starts there, so a paged one is waited
  // for: otherwise it can overwrite the next search's state ("cookie is invalid or old").
  ~Cursor() override {
    LdapConnection& connection = Connection();
    if (nextPage_ >= 0 && connection.Generation() == generation_) {
      if (connection.PagedResults()) {
        LdapPage unwanted;
        static_cast<void>(connection.CollectPage(nextPage_, unwanted, "search"));
      } else {
        connection.Abandon(nextPage_);
      }
    }
    CountAsUnfinished(false);
    if (spare_)
      pool_.ReturnSpare(std::move(spare_));
  }

  int32_t Start() override {
    if (started_)
      return kDirOk;
    std::vector<LdapConnection*> opening;
    Claim(opening);
    LdapConnection& connection = Connection();
    if (chain_.empty())
      chain_ = LdapServers::StartOf(connection);
    if (nextPage_ >= 0 && (connection.Generation() != generation_ || !connection.Connected()))
      nextPage_ = -1;  // sent on a connection since lost: asked again
    generation_ = connection.Generation();
    int32_t code = Fetch();
    if (code == kDirTransportFailure && hadConnection_ && !connection.Connected() &&
        pending_.empty()) {
      code = Fetch();
    }
    code = WithSmallerPages(code);
    if (pageLdapCode_ == LDAP_REFERRAL) {
      done_ = true;
      return FollowBase();
    }
    // A first page cut short (a server that does not page stopping at its size limit) still
    // delivers its entries; the code ends the cursor after them.
    if (code != kDirOk && code != kDirNoSuchEntry && !pending_.empty()) {
      status_ = code;
      done_ = true;
      return kDirOk;
    }
    if (code == kDirOk && done_ && !answered_ && Paged())
      code = CheckBase();
    return code;
  }

  void Claim(std::vector<LdapConnection*>& opening) override {
    if (claimed_)
      return;
    claimed_ = true;
    if (Paged() && pool_.HasUnfinished())
      spare_ = pool_.TakeSpare();
    // Counted from now, so that the next search claimed beside this one takes a spare.
    if (Paged())
      CountAsUnfinished(true);
    hadConnection_ = Connection().Connected();
    if (!hadConnection_)
      opening.push_back(&Connection());
  }

  // A request that cannot be sent is left to Start, which asks again and reports the failure.
  void Send() override {
    LdapConnection& connection = Connection();
    int msgid = 0;
    if (connection.SendSearch(base_, scope_, filter_, kEntryAttributes,
                              Paged() ? &cookie_ : nullptr, msgid, What()) == kDirOk) {
      nextPage_ = msgid;
      generation_ = connection.Generation();
    }
  }

  void Pump() override {
    if (!PageAheadToCome())
      return;
    LdapConnection& connection = Connection();
    const std::optional<int32_t> code = connection.GatherArrived(nextPage_, arriving_, What());
    if (!code)
      return;
    nextPage_ = -1;
    if (!started_) {
      if (Paged() && !retried_ && PageRefused(*code, arriving_.ldapCode) &&
          connection.PageSize() > kSmallestRetriedPage) {
        UseSmallerPages(static_cast<int>(arriving_.entries.size()));
        arriving_ = LdapPage();
        Send();
        return;
      }
      if (*code != kDirOk || arriving_.ldapCode != LDAP_SUCCESS || arriving_.cookie.empty()) {
        arrived_ = *code;
        return;
      }
      started_ = true;
      if (chain_.empty())
        chain_ = LdapServers::StartOf(connection);
    }
    status_ = TakeIn(*code);
  }

  int AwaitedDescriptor() override { return PageAheadToCome() ? Connection().Descriptor() : -1; }

  bool Next(StoreEntry& entry) override {
    for (;;) {
      if (referred_) {
        if (referred_->Next(entry))
          return true;
        status_ = referred_->Status();
        referred_.reset();
        if (status_ != kDirOk)
          return false;
        continue;
      }
      if (!pending_.empty()) {
        Pending next = std::move(pending_.front());
        pending_.pop_front();
        if (!next.reference) {
          entry = std::move(next.entry);
          return true;
        }
        // After a failure the cursor ends with its code; the parts referred to are not wanted.
        if (status_ == kDirOk)
          status_ = FollowReference(*next.reference);
        continue;
      }
      if (done_ || status_ != kDirOk)
        return false;
      LdapConnection& connection = Connection();
      if (connection.Generation() != generation_ || !connection.Connected()) {
        // The connection the pages belong to is gone; its paging state went with it.
        status_ = connection.Fail(kDirTransportFailure,
                                  connection.Where() + ": the connection was lost during a search");
        CountAsUnfinished(false);
        return false;
      }
      // Entries that arrived before a failure are still handed out; the code follows them.
      status_ = Fetch();
      if (status_ != kDirOk && pending_.empty())
        return false;
    }
  }

  [[nodiscard]] int32_t Status() const override { return status_; }

 private:
  LdapConnection& Connection() { return spare_ ? *spare_ : pool_.Main(); }
  // The store's own connection says whether the server pages; the spares follow it.
  bool Paged() { return impl_.Connection().PagedResults(); }

  void CountAsUnfinished(bool unfinished) {
    if (spare_ || unfinished == countedAsUnfinished_)
      return;
    pool_.CountUnfinished(unfinished ? 1 : -1);
    countedAsUnfinished_ = unfinished;
  }

  // Whether a page asked for ahead is still to come on the connection it went out on, with no
  // page before it left to Start.
  bool PageAheadToCome() {
    if (nextPage_ < 0 || arrived_ || done_ || status_ != kDirOk)
      return false;
    const LdapConnection& connection = Connection();
    return connection.Generation() == generation_ && connection.Connected();
  }

  // Whether a page that ended with `code` and the LDAP result `ldapCode` was refused for its
  // size: over the size limit (servers that apply it to each page rather than to the whole
  // search), or over the largest page the server allows.
  static bool PageRefused(int32_t code, int ldapCode) {
    return code == kDirRemoteFailure &&
           (ldapCode == LDAP_SIZELIMIT_EXCEEDED || ldapCode == LDAP_ADMINLIMIT_EXCEEDED);
  }

  // Makes the search start again with smaller pages after its first page, which brought
  // `brought` entries, was refused for its size; the store keeps the size for its later searches.
  // A server that applies its limit to each page sends that many entries before it refuses the
  // page, and refuses a page of exactly its limit: one fewer is the largest page it takes, where
  // half the page may be refused again or cost twice the pages. Tried once; after that, halved.
  void UseSmallerPages(int brought) {
    LdapConnection& connection = Connection();
    const int size = connection.PageSize();
    if (!retried_)
      askedPageSize_ = size;
    int smaller = std::max(kSmallestRetriedPage, size / 2);
    if (!retried_ && brought > 1 && brought <= size)
      smaller = std::max(kSmallestRetriedPage, brought - 1);
    connection.UsePageSize(smaller);
    impl_.Connection().UsePageSize(smaller);
    pending_.clear();
    cookie_.clear();
    answered_ = false;
    retried_ = true;
  }

  // A first page refused for its size is asked again from the start with smaller pages, down to
  // kSmallestRetriedPage. Nothing of a refused first page has been handed out, so nothing is
  // repeated or lost. A server that counts its limit over all pages also refuses the smaller
  // pages, and ends as before.
  int32_t WithSmallerPages(int32_t code) {
    LdapConnection& connection = Connection();
    while (Paged() && PageRefused(code, pageLdapCode_) &&
           connection.PageSize() > kSmallestRetriedPage) {
      UseSmallerPages(static_cast<int>(pending_.size()));
      // Sent, then awaited: the searches asked for ahead take in their pages meanwhile.
      Send();
      code = Fetch();
    }
    if (retried_ && PageRefused(code, pageLdapCode_)) {
      // No smaller page helped: later searches go back to the size asked for.
      connection.UsePageSize(askedPageSize_);
      impl_.Connection().UsePageSize(askedPageSize_);
      connection.Fail(code, connection.FailureText(code).value_or(connection.Where()) +
                                "; the server refused pages of " + std::to_string(askedPageSize_) +
                                " down to " + std::to_string(kSmallestRetriedPage) +
                                " entries: its size limit is below the page size; set page-size "
                                "in this connection's section of connections.ini to fewer "
                                "entries than the server's size limit");
    }
    return code;
  }

  int32_t Fetch() {
    LdapConnection& connection = Connection();
    int32_t code = kDirOk;
    if (arrived_) {
      code = *std::exchange(arrived_, std::nullopt);
    } else if (nextPage_ >= 0) {
      code = impl_.AwaitPage(connection, std::exchange(nextPage_, -1), arriving_, What());
    } else {
      code = connection.SearchPage(base_, scope_, filter_, kEntryAttributes,
                                   Paged() ? &cookie_ : nullptr, arriving_, What());
    }
    return TakeIn(code);
  }

  // The page in arriving_, ended with `code`: its entries and references to hand out, and the
  // next page asked for.
  int32_t TakeIn(int32_t code) {
    LdapConnection& connection = Connection();
    LdapPage page = std::exchange(arriving_, LdapPage());
    const std::string_view what = What();
    const std::string* cookie = Paged() ? &cookie_ : nullptr;
    generation_ = connection.Generation();
    pageLdapCode_ = page.ldapCode;
    answered_ = answered_ || !page.entries.empty() || !page.references.empty();
    cookie_ = page.cookie;
    referrals_ = std::move(page.referrals);
    if (code == kDirOk && (!Paged() || cookie_.empty())) {
      done_ = true;
    } else if (code == kDirOk) {
      // The next page is asked for before this one is converted and handed out, so that the
      // server prepares it meanwhile; on one connection, waiting for every page in turn left
      // the server idle for half of a large search. A request that cannot be sent is sent again
      // by the next fetch, which reports its failure.
      int msgid = 0;
      if (connection.SendSearch(base_, scope_, filter_, kEntryAttributes, cookie, msgid, what) ==
              kDirOk &&
          connection.Generation() == generation_) {
        nextPage_ = msgid;
      }
    }
    CountAsUnfinished(code == kDirOk && !done_);
    // Each part referred to is delivered where its reference stood among the entries.
    size_t reference = 0;
    for (size_t i = 0; i <= page.entries.size(); ++i) {
      for (; reference < page.references.size() && page.references[reference].at <= i;
           ++reference) {
        pending_.push_back(Pending{{}, std::move(page.references[reference].urls)});
      }
      StoreEntry entry;
      if (i < page.entries.size() && impl_.FillEntry(page.entries[i].get(), entry) &&
          Passes(entry)) {
        pending_.push_back(Pending{std::move(entry), std::nullopt});
      }
    }
    return code;
  }

  // Whether the base of a search the server answered with nothing at all is there: some servers
  // answer a paged search below a missing base with success and no entries, where an LDIF load
  // says the container is not found. Only such an answer costs the read, and a base already met
  // (read in this operation, or found by the name lookups that resolved it) costs none.
  int32_t CheckBase() {
    const std::optional<DirName> name = ParseLdapDn(base_);
    if (!name || name->empty() || impl_.knownEntries.contains(FoldedDnKey(*name)) ||
        impl_.Cached(*name)) {
      return kDirOk;
    }
    static const char* const kNoAttributes[] = {"1.1", nullptr};
    LdapPage page;
    const int32_t code =
        impl_.servers.SearchOnce(Connection(), base_, LDAP_SCOPE_BASE, "(objectClass=*)",
                                 kNoAttributes, page, What(), chain_);
    if (code == kDirOk && !page.entries.empty())
      return kDirOk;
    if (code == kDirOk || code == kDirNoSuchEntry) {
      impl_.RememberMissing(*name);
      return kDirNoSuchEntry;
    }
    return code;
  }

  // The search of a base the server refers elsewhere, made there.
  int32_t FollowBase() {
    const std::vector<std::string> urls = std::move(referrals_);
    return impl_.servers.Follow(
        urls, chain_, What(), base_,
        [&](LdapConnectionPool& pool, const std::string& dn, const ReferralChain& longer) {
          auto referred =
              std::make_unique<Cursor>(impl_, dn, scope_, filter_, check_, &pool, longer);
          const int32_t code = referred->Start();
          if (code == kDirOk)
            referred_ = std::move(referred);
          return code;
        });
  }

  // The next part of the tree the server referred to, searched on its server: the whole subtree
  // for a subtree search, the entry itself for a listing.
  int32_t FollowReference(const std::vector<std::string>& urls) {
    const auto first = urls.empty() ? std::nullopt : ParseReferral(urls.front());
    const int scope = scope_ == LDAP_SCOPE_SUBTREE ? LDAP_SCOPE_SUBTREE : LDAP_SCOPE_BASE;
    return impl_.servers.Follow(
        urls, chain_, What(), first ? first->dn : base_,
        [&](LdapConnectionPool& pool, const std::string& dn, const ReferralChain& longer) {
          auto referred =
              std::make_unique<Cursor>(impl_, dn, scope, filter_, check_, &pool, longer);
          int32_t code = referred->Start();
          if (code == kDirNoSuchEntry) {
            code = impl_.servers.Fail(
                kDirUnreachableServer,
                longer.back() + ": " + std::string(What()) + ": holds no entry " + dn);
          }
          if (code == kDirOk)
            referred_ = std::move(referred);
          return code;
        });
  }

  [[nodiscard]] std::string_view What() const {
    return scope_ == LDAP_SCOPE_ONELEVEL ? "listing" : "search";
  }

  bool Passes(const StoreEntry& entry) const {
    // A base search of the root reaches the server's DSE, which is no entry of the tree.
    if (entry.name.empty())
      return false;
    if (!check_.classes.empty() &&
        std::none_of(check_.classes.begin(), check_.classes.end(), [&](const std::string& c) {
          return EqualsIgnoringCase(c, entry.baseClass);
        })) {
      return false;
    }
    if (!check_.rdnPattern.empty()) {
      if (entry.name.empty())
        return false;
      return RdnMatches(entry.name.front(), check_.rdnType, check_.rdnPattern);
    }
    return true;
  }

  LdapStore::Impl& impl_;
  LdapConnectionPool& pool_;  // the server's
  ReferralChain chain_;       // the servers the search was referred through, its own last
  std::string base_;
  int scope_;
  std::string filter_;
  Check check_;
  std::string cookie_;
  // An entry to hand out, or a part of the tree referred to, to follow there.
  struct Pending {
    StoreEntry entry;
    std::optional<std::vector<std::string>> reference;
  };
  std::deque<Pending> pending_;
  std::vector<std::string> referrals_;     // of a base referred elsewhere
  std::unique_ptr<Cursor> referred_;       // the part of the tree being delivered
  std::unique_ptr<LdapConnection> spare_;  // the pages' connection when not the pool's own
  bool claimed_ = false;
  bool hadConnection_ = false;  // the connection was open before the first page was asked for
  bool answered_ = false;       // the server sent an entry or a reference
  bool countedAsUnfinished_ = false;
  int nextPage_ = -1;                // message id of the page asked for ahead
  LdapPage arriving_;                // what has come of it
  std::optional<int32_t> arrived_;   // the code of a first page Pump took whole, left to Start
  bool started_ = false;             // Pump took in a first page that only started the search
  bool retried_ = false;             // with smaller pages than first asked for
  int askedPageSize_ = 0;            // the page size first asked for, once retried
  int pageLdapCode_ = LDAP_SUCCESS;  // the LDAP result of the last page
  uint64_t generation_ = 0;
  bool done_ = false;
  int32_t status_ = kDirOk;
};

// The root's listing or search on a server whose naming contexts sit below the root: one
// search per context, one after the other; a context the server does not hold is passed over.
class LdapStore::RootCursor final : public PagedSearch {
 public:
  // The containers `made` first, then each of `contexts` searched with `scope` and `filter`.
  RootCursor(LdapStore::Impl& impl, std::vector<StoreEntry> made, std::vector<DirName> contexts,
             int scope, std::string filter, Cursor::Check check)
      : impl_(impl),
        made_(std::move(made)),
        contexts_(std::move(contexts)),
        scope_(scope),
        filter_(std::move(filter)),
        check_(std::move(check)) {}

  // Starts the first context's search; its failure (but a missing context) is the code.
  int32_t Start() override {
    if (current_) {
      // Claimed and sent ahead.
      const int32_t code = current_->Start();
      if (code == kDirOk)
        return kDirOk;
      current_.reset();
      if (code != kDirNoSuchEntry) {
        status_ = code;
        return code;
      }
    }
    return Advance();
  }

  // The first context's search; those after it follow it in turn, as the entries are read.
  void Claim(std::vector<LdapConnection*>& opening) override {
    if (current_ || next_ > 0 || contexts_.empty())
      return;
    current_ =
        std::make_unique<Cursor>(impl_, LdapDnText(contexts_[next_++]), scope_, filter_, check_);
    current_->Claim(opening);
  }

  void Send() override {
    if (current_)
      current_->Send();
  }

  void Pump() override {
    if (current_)
      current_->Pump();
  }

  int AwaitedDescriptor() override { return current_ ? current_->AwaitedDescriptor() : -1; }

  bool Next(StoreEntry& entry) override {
    if (nextMade_ < made_.size()) {
      entry = made_[nextMade_++];
      return true;
    }
    while (current_) {
      if (current_->Next(entry))
        return true;
      if (current_->Status() != kDirOk) {
        status_ = current_->Status();
        current_.reset();
        return false;
      }
      if (Advance() != kDirOk) {
        current_.reset();
        return false;
      }
    }
    return false;
  }

  [[nodiscard]] int32_t Status() const override { return status_; }

 private:
  int32_t Advance() {
    current_.reset();
    while (next_ < contexts_.size()) {
      auto cursor =
          std::make_unique<Cursor>(impl_, LdapDnText(contexts_[next_++]), scope_, filter_, check_);
      const int32_t code = cursor->Start();
      if (code == kDirNoSuchEntry)
        continue;
      if (code != kDirOk) {
        status_ = code;
        return code;
      }
      current_ = std::move(cursor);
      return kDirOk;
    }
    return kDirOk;
  }

  LdapStore::Impl& impl_;
  std::vector<StoreEntry> made_;
  std::vector<DirName> contexts_;
  int scope_;
  std::string filter_;
  Cursor::Check check_;
  size_t nextMade_ = 0;
  size_t next_ = 0;
  std::unique_ptr<Cursor> current_;
  int32_t status_ = kDirOk;
};

namespace {

class NoEntries final : public EntryCursor {
 public:
  bool Next(StoreEntry& /*entry*/) override { return false; }
};

// Whether a container made above the naming contexts, whose one attribute is its class, matches
// `filter` as the in-memory store's made containers do.
bool MadeMatches(const FilterNode& filter, const StoreEntry& made) {
  using Kind = FilterNode::Kind;
  const auto isClass = [](const std::string& attribute) {
    return EqualsIgnoringCase(attribute, "objectClass") ||
           EqualsIgnoringCase(attribute, "Object Class");
  };
  switch (filter.kind) {
    case Kind::kAnd:
      return std::all_of(filter.children.begin(), filter.children.end(),
                         [&](const FilterNode& c) { return MadeMatches(c, made); });
    case Kind::kOr:
      return std::any_of(filter.children.begin(), filter.children.end(),
                         [&](const FilterNode& c) { return MadeMatches(c, made); });
    case Kind::kNot:
      return !filter.children.empty() && !MadeMatches(filter.children.front(), made);
    case Kind::kBaseClass:
      return EqualsIgnoringCase(filter.text, made.baseClass);
    case Kind::kRdn:
      return RdnMatches(made.name.front(), filter.rdnType, filter.text);
    case Kind::kPresent:
      return isClass(filter.text);
    case Kind::kCompare:
      return isClass(filter.text) &&
             (filter.op == FilterNode::Op::kEqual || filter.op == FilterNode::Op::kApprox) &&
             WildcardMatch(filter.textValue, made.baseClass);
  }
  return false;
}

// Hands `started` out as `cursor` once its first page has come; otherwise the code of that page.
template <typename PagedCursor>
int32_t StartCursor(std::unique_ptr<PagedCursor> started, std::unique_ptr<EntryCursor>& cursor) {
  if (const int32_t code = started->Start(); code != kDirOk)
    return code;
  cursor = std::move(started);
  return kDirOk;
}

// Counts what `cursor` delivers into `count`; the code that ended it early, if any.
int32_t CountEntries(EntryCursor& cursor, uint32_t& count) {
  StoreEntry entry;
  while (cursor.Next(entry))
    ++count;
  return cursor.Status();
}

// The RDN term every match must satisfy, if any: the server matches attribute values, the
// client the entry's own relative name.
const FilterNode* RequiredRdn(const FilterNode& node) {
  if (node.kind == FilterNode::Kind::kRdn)
    return &node;
  if (node.kind == FilterNode::Kind::kAnd) {
    for (const FilterNode& child : node.children) {
      if (const FilterNode* rdn = RequiredRdn(child))
        return rdn;
    }
  }
  return nullptr;
}

// The search Search starts for its arguments, not started yet, and what tells it from any other
// (base, scope, filter text and the client's own checks); the code of arguments it refuses, or
// of a base known to be missing.
int32_t PrepareSearch(LdapStore::Impl& impl, const DirName& base, int scope,
                      const FilterNode& filter, std::unique_ptr<PagedSearch>& search,
                      std::string& key) {
  int ldapScope = LDAP_SCOPE_BASE;
  if (scope == 1) {
    ldapScope = LDAP_SCOPE_ONELEVEL;
  } else if (scope == 2) {
    ldapScope = LDAP_SCOPE_SUBTREE;
  } else if (scope != 0) {
    return kDirInvalidFilter;
  }
  std::string text;
  if (const int32_t code = LdapFilterText(filter, impl.schema, impl.namingTypes, text);
      code != kDirOk) {
    return code;
  }
  // The server matches any class value, the client the base class alone: the entries the server
  // returns are checked again here.
  LdapStore::Cursor::Check check;
  if (const auto classes = RequiredClasses(filter)) {
    for (const std::string& name : *classes) {
      const SchemaClass* def = impl.schema.FindClass(name);
      check.classes.push_back(def != nullptr ? def->name : name);
    }
  }
  if (const FilterNode* rdn = RequiredRdn(filter)) {
    check.rdnPattern = rdn->text;
    check.rdnType = rdn->rdnType;
  }
  key = FoldedDnKey(base) + '\n' + std::to_string(scope) + '\n' + text + '\n' + check.rdnType +
        '=' + check.rdnPattern;
  for (const std::string& name : check.classes)
    key += '\n' + name;
  if ((base.empty() && !impl.rootIsEntry) || impl.IsMade(base)) {
    // The root's subordinates are the contexts and the containers made above them, its subtree
    // theirs; itself it is no entry. A made container is the base of its own subtree.
    std::vector<DirName> made;
    std::vector<DirName> contexts;
    if (scope != 0)
      impl.Below(base, scope == 2, made, contexts);
    if (!base.empty() && scope != 1)
      made.insert(made.begin(), base);
    std::vector<StoreEntry> entries;
    for (const DirName& name : made) {
      StoreEntry entry = LdapStore::Impl::MadeEntry(name);
      if (MadeMatches(filter, entry))
        entries.push_back(std::move(entry));
    }
    search = std::make_unique<LdapStore::RootCursor>(
        impl, std::move(entries), std::move(contexts),
        scope == 2 ? LDAP_SCOPE_SUBTREE : LDAP_SCOPE_BASE, std::move(text), std::move(check));
    return kDirOk;
  }
  if (impl.KnownMissing(base))
    return kDirNoSuchEntry;
  search = std::make_unique<LdapStore::Cursor>(impl, LdapDnText(base), ldapScope, std::move(text),
                                               std::move(check));
  return kDirOk;
}

}  // namespace

LdapStore::LdapStore(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
LdapStore::~LdapStore() = default;

std::unique_ptr<LdapStore> LdapStore::Connect(const LdapSettings& settings, std::string& error,
                                              int32_t& code) {
  auto decoder = LdapDecoder::ForUri(settings.uri);
  if (!decoder) {
    code = kDirUnreachableServer;
    error = settings.uri + ": not an LDAP address";
    return nullptr;
  }
  auto impl = std::make_unique<Impl>(settings, std::move(*decoder));
  impl->bindDn = settings.bindDn;
  code = impl->Connection().Open();
  if (code == kDirOk)
    code = impl->ReadSchema();
  if (code != kDirOk) {
    const auto text = impl->servers.FailureText(code);
    error = text ? *text : settings.uri + ": cannot be reached";
    if (code == kDirUnreachableServer) {
      if (const std::optional<std::string> refusal = CertificateRefusal(settings))
        error += "; the server's certificate was refused: " + *refusal;
    }
    return nullptr;
  }
  return std::unique_ptr<LdapStore>(new LdapStore(std::move(impl)));
}

int32_t LdapStore::GetEntry(const DirName& name, StoreEntry& entry) {
  if (name.empty()) {
    // The root is no entry on the server (its DSE describes the server instead).
    static_cast<void>(GetEntryWithoutCount(name, entry));
    std::unique_ptr<EntryCursor> children;
    if (const int32_t code = ListChildren(name, children); code != kDirOk)
      return code;
    return CountEntries(*children, entry.subordinateCount);
  }
  if (const int32_t code = GetEntryWithoutCount(name, entry); code != kDirOk)
    return code;
  if (entry.subordinateCount == 0 && (entry.flags & kDirObjectContainer) != 0) {
    // The server does not count subordinates: they are counted by name.
    std::unique_ptr<EntryCursor> children;
    if (ListChildren(name, children) == kDirOk) {
      uint32_t count = 0;
      static_cast<void>(CountEntries(*children, count));
      entry.subordinateCount = count;
    }
  }
  return kDirOk;
}

// A server without a subordinate count pays for a listing with a scan of its whole tree (a
// one-level search by an unindexed filter), which no reader that skips the count should wait for.
int32_t LdapStore::GetEntryWithoutCount(const DirName& name, StoreEntry& entry) {
  if (name.empty()) {
    entry = StoreEntry();
    entry.baseClass = "Tree Root";
    entry.flags = kDirObjectContainer;
    return kDirOk;
  }
  if (impl_->IsMade(name)) {
    entry = Impl::MadeEntry(name);
    return kDirOk;
  }
  const std::string key = FoldedDnKey(name);
  auto known = impl_->knownEntries.find(key);
  if (known == impl_->knownEntries.end()) {
    // A search asked for ahead may be bringing the entry.
    impl_->AwaitSweep(key);
    known = impl_->knownEntries.find(key);
  }
  if (known != impl_->knownEntries.end()) {
    entry = known->second;
    return kDirOk;
  }
  LdapPage page;
  if (const int32_t code = impl_->SearchOnce(LdapDnText(name), LDAP_SCOPE_BASE, "(objectClass=*)",
                                             kEntryAttributes, page, "read entry");
      code != kDirOk) {
    return code;
  }
  if (page.entries.empty() || !impl_->FillEntry(page.entries.front().get(), entry))
    return kDirNoSuchEntry;
  impl_->Remember(key, entry);
  return kDirOk;
}

std::vector<ChildCandidate> LdapStore::FindChildren(const DirName& parent, const NamePart& part) {
  return impl_->FindChildren(parent, part);
}

std::vector<ChildCandidate> LdapStore::KnownChildren(const DirName& parent, const NamePart& part) {
  return impl_->FindChildren(parent, part, false);
}

void LdapStore::ReadAhead(const std::vector<DirName>& names,
                          const std::vector<std::string>& attributeNames, bool namedEntries,
                          const StoreSearch* within) {
  bool asksStream = false;
  const std::vector<std::string> wanted = impl_->LdapNames(attributeNames, asksStream);
  if (wanted.empty())
    return;
  std::vector<std::string> requested = Impl::RequestFor(wanted, true).first;
  LdapConnection& connection = impl_->Connection();
  if (names.size() >= kSweepFrom && connection.Connected() && connection.PagedResults() &&
      !impl_->servers.Own().HasUnfinished()) {
    impl_->StartSweep(names, std::move(requested), namedEntries, within);
    return;
  }
  const std::vector<const char*> list = AttributeList(requested);
  // Beyond what may wait, the reads are asked for as they come.
  const size_t most = std::min(names.size(), kMaxWaitingAnswers);
  const LdapConnection::SendsTogether together(connection);
  for (size_t i = 0; i < most; ++i) {
    const DirName& name = names[i];
    std::string key = FoldedDnKey(name);
    if (impl_->waiting.contains(key))
      continue;
    int msgid = 0;
    if (!connection.Connected() ||
        connection.SendSearch(LdapDnText(name), LDAP_SCOPE_BASE, "(objectClass=*)", list.data(),
                              nullptr, msgid, "read") != kDirOk) {
      return;
    }
    impl_->Wait(std::move(key),
                Impl::WaitingAnswer{requested, msgid, nullptr, connection.Generation()});
  }
}

void LdapStore::LearnChildren(const std::vector<std::pair<DirName, NamePart>>& asked) {
  impl_->LearnChildren(asked);
}

int32_t LdapStore::ListChildren(const DirName& parent, std::unique_ptr<EntryCursor>& cursor) {
  if ((parent.empty() && !impl_->rootIsEntry) || impl_->IsMade(parent)) {
    std::vector<DirName> made;
    std::vector<DirName> contexts;
    impl_->Below(parent, false, made, contexts);
    std::vector<StoreEntry> entries;
    for (const DirName& name : made)
      entries.push_back(Impl::MadeEntry(name));
    return StartCursor(
        std::make_unique<RootCursor>(*impl_, std::move(entries), std::move(contexts),
                                     LDAP_SCOPE_BASE, "(objectClass=*)", Cursor::Check()),
        cursor);
  }
  if (impl_->KnownMissing(parent))
    return kDirNoSuchEntry;
  return StartCursor(std::make_unique<Cursor>(*impl_, LdapDnText(parent), LDAP_SCOPE_ONELEVEL,
                                              "(objectClass=*)", Cursor::Check()),
                     cursor);
}

int32_t LdapStore::Search(const DirName& base, int scope, const FilterNode& filter,
                          std::unique_ptr<EntryCursor>& cursor) {
  std::unique_ptr<PagedSearch> search;
  std::string key;
  if (const int32_t code = PrepareSearch(*impl_, base, scope, filter, search, key); code != kDirOk)
    return code;
  auto& ahead = impl_->searchesAhead;
  if (const auto started = std::find_if(ahead.begin(), ahead.end(),
                                        [&](const auto& sent) { return sent.first == key; });
      started != ahead.end()) {
    search = std::move(started->second);
    ahead.erase(started);
  }
  return StartCursor(std::move(search), cursor);
}

void LdapStore::SearchAhead(const DirName& base, int scope,
                            const std::vector<FilterNode>& filters) {
  // Those of an earlier call not searched for go first, giving their connections back.
  impl_->searchesAhead.clear();
  std::vector<LdapConnection*> opening;
  for (const FilterNode& filter : filters) {
    std::unique_ptr<PagedSearch> search;
    std::string key;
    if (impl_->searchesAhead.size() >= kMaxSearchesAhead ||
        PrepareSearch(*impl_, base, scope, filter, search, key) != kDirOk) {
      continue;
    }
    search->Claim(opening);
    impl_->searchesAhead.emplace_back(std::move(key), std::move(search));
  }
  // The spares' binds go out together, and then the first pages: two round trips however many
  // searches, one once the spares are kept from an earlier call.
  impl_->servers.Own().EnsureTogether(opening);
  for (auto& [key, search] : impl_->searchesAhead)
    search->Send();
}

int32_t LdapStore::ReadAttributes(const DirName& name, const std::vector<std::string>& names,
                                  std::vector<StoreAttribute>& attributes) {
  if (impl_->IsMade(name)) {
    // A made container's one attribute is its class.
    attributes.clear();
    if (names.empty() || std::any_of(names.begin(), names.end(), [&](const std::string& n) {
          return impl_->schema.AttributeName(n) == "Object Class";
        })) {
      attributes.push_back({"Object Class", kSyntaxClassName, {Impl::MadeEntry(name).baseClass}});
      return kDirOk;
    }
    return kDirNoSuchAttribute;
  }
  bool asksStream = false;
  const std::vector<std::string> wanted = impl_->LdapNames(names, asksStream);
  const bool named = !names.empty();
  const auto [requested, brought] = Impl::RequestFor(wanted, named);
  if (named && wanted.empty()) {
    // Nothing the server knows was asked for; the entry must still exist.
    StoreEntry entry;
    if (const int32_t code = GetEntryWithoutCount(name, entry); code != kDirOk)
      return code;
    return kDirNoSuchAttribute;
  }
  const std::string key = FoldedDnKey(name);
  LdapPage page;
  if (const auto waiting = impl_->TakeWaitingAnswer(key, requested, page)) {
    if (*waiting != kDirOk && *waiting != kDirNoSuchEntry)
      return *waiting;
  } else {
    const std::vector<const char*> list = AttributeList(requested);
    if (const int32_t code = impl_->SearchOnce(LdapDnText(name), LDAP_SCOPE_BASE, "(objectClass=*)",
                                               list.data(), page, "read");
        code != kDirOk) {
      return code;
    }
  }
  if (named)
    impl_->lastRequest = requested;
  if (page.entries.empty())
    return kDirNoSuchEntry;
  LDAPMessage* message = page.entries.front().get();
  // An answer a sweep brought was taken in as it arrived.
  if (named && !impl_->knownEntries.contains(key)) {
    if (StoreEntry entry; impl_->FillEntry(message, entry))
      impl_->Remember(key, std::move(entry));
  }
  attributes.clear();
  for (auto& [description, values] : impl_->decoder.Attributes(message)) {
    std::string ldapName = description;
    if (const size_t semicolon = ldapName.find(';'); semicolon != std::string::npos)
      ldapName.resize(semicolon);
    if (ContainsIgnoringCase(brought, ldapName))
      continue;
    StoreAttribute attribute;
    const SchemaAttribute* def = impl_->schema.FindAttribute(ldapName);
    attribute.name = def != nullptr ? def->name : ldapName;
    attribute.syntax = def != nullptr ? def->syntax : kSyntaxOctetString;
    const bool isClass = EqualsIgnoringCase(ldapName, "objectClass");
    for (std::string& value : values)
      attribute.values.push_back(isClass ? ClassName(value) : std::move(value));
    attributes.push_back(std::move(attribute));
  }
  if (asksStream) {
    // Reading a stream's value means reading the attribute again; the stream read that follows
    // this one takes the value it brought.
    Impl::LastRead last{key, wanted, {}};
    for (const StoreAttribute& attribute : attributes) {
      if (attribute.syntax == kSyntaxStream)
        last.attributes.push_back(attribute);
    }
    impl_->lastRead = std::move(last);
  }
  if (named && attributes.empty())
    return kDirNoSuchAttribute;
  return kDirOk;
}

int32_t LdapStore::ReadStream(const DirName& name, std::string_view attribute, std::string& bytes) {
  const SchemaAttribute* def = impl_->schema.FindAttribute(attribute);
  if (def == nullptr || def->syntax != kSyntaxStream) {
    StoreEntry entry;
    if (const int32_t code = GetEntryWithoutCount(name, entry); code != kDirOk)
      return code;
    return kDirNoSuchAttribute;
  }
  if (const auto& last = impl_->lastRead;
      last && last->key == FoldedDnKey(name) && ContainsIgnoringCase(last->asked, def->ldapName)) {
    for (const StoreAttribute& attribute : last->attributes) {
      if (EqualsIgnoringCase(attribute.name, def->name) && !attribute.values.empty()) {
        bytes = attribute.values.front();
        return kDirOk;
      }
    }
    return kDirNoSuchAttribute;
  }
  std::vector<StoreAttribute> attributes;
  if (const int32_t code = ReadAttributes(name, {def->ldapName}, attributes); code != kDirOk)
    return code;
  if (attributes.empty() || attributes.front().values.empty())
    return kDirNoSuchAttribute;
  bytes = attributes.front().values.front();
  return kDirOk;
}

std::optional<std::string> LdapStore::FailureText(int32_t code) const {
  return impl_->servers.FailureText(code);
}

void LdapStore::BeginOperation() {
  impl_->searchesAhead.clear();
  impl_->ForgetStartAnswers();
  impl_->ForgetSweep();
  impl_->ForgetWaitingAnswers();
  impl_->servers.RetryServers();
  impl_->knownEntries.clear();
  impl_->missingNames.clear();
  impl_->lastRead.reset();
}

std::optional<uint32_t> LdapStore::SyntaxOf(std::string_view attribute) const {
  const SchemaAttribute* def = impl_->schema.FindAttribute(attribute);
  if (def == nullptr)
    return std::nullopt;
  return def->syntax;
}

std::string LdapStore::AttributeName(std::string_view attribute) const {
  return impl_->schema.AttributeName(attribute);
}

std::string LdapStore::ClassName(std::string_view ldapClass) const {
  return impl_->schema.ClassName(ldapClass);
}

int32_t LdapStore::FilterText(const FilterNode& filter, std::string& text) const {
  return LdapFilterText(filter, impl_->schema, impl_->namingTypes, text);
}

std::string LdapStore::ServerInUse() const {
  return impl_->servers.Own().Main().Where();
}

int32_t LdapStore::WhoAmI(DirName& name) {
  LdapConnection& connection = impl_->Connection();
  std::optional<Impl::StartAnswers> sent = std::exchange(impl_->startAnswers, std::nullopt);
  if (sent && (sent->generation != connection.Generation() || !connection.Connected()))
    sent.reset();
  // The read sent along with who-am-I is of the bind DN: it answers only for that entry.
  const auto boundEntry = [&](const DirName* self) {
    const int msgid = sent ? std::exchange(sent->boundEntry, -1) : -1;
    if (msgid < 0 || connection.Generation() != sent->generation)
      return -1;
    const auto bound = ParseLdapDn(impl_->bindDn);
    if (self != nullptr && bound && SameName(*bound, *self))
      return msgid;
    connection.Abandon(msgid);
    return -1;
  };
  std::string authzId;
  if (const int32_t code = connection.WhoAmI(authzId, sent ? sent->whoAmI : -1); code != kDirOk) {
    static_cast<void>(boundEntry(nullptr));
    return code;
  }
  const std::string_view text = authzId;
  const auto parsed = text.starts_with("dn:") && text.size() > 3 ? ParseLdapDn(text.substr(3))
                                                                 : std::optional<DirName>();
  const int read = boundEntry(parsed ? &*parsed : nullptr);
  if (!text.starts_with("dn:") || text.size() == 3)
    return kDirNoSuchEntry;
  if (!parsed)
    return kDirInvalidObjectName;
  name = *parsed;
  // Some servers answer the identity in their own normalised spelling, lower-cased: the user is
  // shown as the entry's own DN spells it, when the entry can be read.
  static const char* const kNoAttributes[] = {"1.1", nullptr};
  LdapPage page;
  const int32_t code =
      read >= 0 ? connection.CollectPage(read, page, "read the bound entry")
                : impl_->SearchOnce(std::string(text.substr(3)), LDAP_SCOPE_BASE, "(objectClass=*)",
                                    kNoAttributes, page, "read the bound entry");
  if (code == kDirOk && !page.entries.empty()) {
    if (auto own = impl_->EntryName(page.entries.front().get()); own && SameName(*own, name))
      name = std::move(*own);
  }
  return kDirOk;
}
