#include "directory/client/memory_store.h"

#include <fcntl.h>
#include <ldap.h>
#include <ldif.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <utility>

#include "directory/client/builtin_schema.h"
#include "directory/client/dir_codes.h"
#include "directory/client/filter_expr.h"
#include "directory/client/value_codec.h"
#include "util/atomic_file.h"
#include "util/text.h"
#include "util/unique_fd.h"

namespace {

uint64_t HashChild(uint32_t parent, std::string_view value) {
  uint64_t hash = 1469598103934665603ULL ^ (uint64_t{parent} * 0x9E3779B97F4A7C15ULL);
  for (const char c : value) {
    hash ^= static_cast<unsigned char>(LowerAscii(c));
    hash *= 1099511628211ULL;
  }
  return hash ^ (hash >> 29);
}

uint64_t HashTypedChild(uint32_t parent, std::string_view type, std::string_view value) {
  uint64_t hash = HashChild(parent, value);
  for (const char c : type) {
    hash ^= static_cast<unsigned char>(LowerAscii(c));
    hash *= 1099511628211ULL;
  }
  return hash ^ (hash >> 29);
}

// The slot of `hash` in `table`, or the first free one after it for which `occupiedBy` is false.
template <typename Occupied>
size_t ProbeSlot(const std::vector<uint32_t>& table, uint64_t hash, Occupied occupiedBy) {
  const size_t mask = table.size() - 1;
  size_t slot = hash & mask;
  while (table[slot] != 0 && !occupiedBy(table[slot]))
    slot = (slot + 1) & mask;
  return slot;
}

void PutVarint(std::vector<uint8_t>& out, uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<uint8_t>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<uint8_t>(value));
}

uint64_t GetVarint(const uint8_t*& at) {
  uint64_t value = 0;
  int shift = 0;
  while ((*at & 0x80) != 0) {
    value |= uint64_t{*at & 0x7Fu} << shift;
    shift += 7;
    ++at;
  }
  value |= uint64_t{*at} << shift;
  ++at;
  return value;
}

int CompareFolded(std::string_view a, std::string_view b, bool exact) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const char x = exact ? a[i] : LowerAscii(a[i]);
    const char y = exact ? b[i] : LowerAscii(b[i]);
    if (x != y)
      return static_cast<unsigned char>(x) < static_cast<unsigned char>(y) ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

std::string CannotRead(const std::string& path) {
  return path + ": cannot be read (" + std::strerror(errno) + ")";
}

// "<named>: <why>" for a file `result` says was not opened or read.
std::string Unreadable(const FileResult& result, const std::string& named) {
  if (result.kind != FileKind::kRegular) {
    const char* kind = result.kind == FileKind::kDirectory ? "a directory"
                       : result.kind == FileKind::kFifo    ? "a FIFO"
                       : result.kind == FileKind::kDevice  ? "a device"
                       : result.kind == FileKind::kSocket  ? "a socket"
                                                           : "of an unknown kind";
    return named + ": not a regular file (" + kind + ")";
  }
  return named + ": cannot be read (" + std::strerror(result.error) + ")";
}

// Reads from `fd` into `buffer`, retrying when interrupted; read's answer.
ssize_t ReadSome(int fd, char* buffer, size_t size) {
  for (;;) {
    const ssize_t n = read(fd, buffer, size);
    if (n >= 0 || errno != EINTR)
      return n;
  }
}

// Reads all of `path` into `bytes`; nullopt, or "<named>: <why>" when it is not a regular file
// or cannot be read.
std::optional<std::string> ReadUrlFile(const std::string& path, std::string& bytes,
                                       const std::string& named) {
  try {
    if (const FileResult read = ReadRegularFile(path, bytes); !read.Succeeded())
      return Unreadable(read, named);
    return std::nullopt;
  } catch (const std::bad_alloc&) {
    bytes.clear();
    bytes.shrink_to_fit();
    return named + ": too large to be read";
  }
}

// Hands the bytes of an LDIF to libldap's reader as a stdio stream, checking them as they pass,
// so that a file is read once, a piece at a time, and a fault near its start is found at once.
// The reader works on C strings, so a NUL byte would end a line there and drop the rest unseen;
// it opens the file an `include:` line names at the start of a record; it drops a carriage
// return that ends no line from the value; and it skips a record's first line that starts with
// a digit. The gate ends the stream before the reader sees any of them. It also notes where
// each record begins, which the reader does not tell: at its first line that is neither blank,
// a comment nor a comment's continuation; a record ends at a blank line.
class LdifGate {
 public:
  explicit LdifGate(std::string_view text) : text_(text) {}
  explicit LdifGate(int fd) : fd_(fd) {}
  LdifGate(const LdifGate&) = delete;
  LdifGate& operator=(const LdifGate&) = delete;

  // The stream, read up to the first fault; nullptr when stdio cannot make one.
  [[nodiscard]] FILE* Open() {
    const cookie_io_functions_t functions{&LdifGate::ReadCookie, nullptr, nullptr, nullptr};
    FILE* file = fopencookie(this, "r", functions);
    if (file != nullptr)
      setvbuf(file, nullptr, _IOFBF, 65536);
    return file;
  }

  // Whether the next record not yet taken has ended within the bytes handed out.
  [[nodiscard]] bool RecordEnded() const { return taken_ < ended_; }
  // Whether a record not yet taken has begun.
  [[nodiscard]] bool RecordBegun() const { return !starts_.empty(); }
  // The first line of the next record not yet taken; only when RecordBegun().
  [[nodiscard]] unsigned long RecordLine() const { return starts_.front(); }
  void TakeRecord() {
    starts_.pop_front();
    ++taken_;
  }
  // Whether the stream was ended by a fault (what was handed out before it is sound).
  [[nodiscard]] bool Stopped() const { return !why_.empty(); }
  // Whether the stream has handed out all of the input, or stopped.
  [[nodiscard]] bool Done() const { return done_; }
  // The fault: its line (0 when it is the file's, not a line's) and what is wrong.
  [[nodiscard]] unsigned long StopLine() const { return stopLine_; }
  [[nodiscard]] const std::string& Why() const { return why_; }

 private:
  enum class Line { kStart, kHead, kBody };
  static constexpr size_t kQuoted = 60;  // bytes of a line an error message quotes

  static ssize_t ReadCookie(void* cookie, char* buffer, size_t size) {
    return static_cast<LdifGate*>(cookie)->Read(buffer, size);
  }

  ssize_t Read(char* buffer, size_t size) {
    if (done_)
      return 0;
    size_t got = 0;
    if (fd_ >= 0) {
      const ssize_t n = ReadSome(fd_, buffer, size);
      if (n < 0) {
        Stop(0, std::string("cannot be read (") + std::strerror(errno) + ")");
        done_ = true;
        return 0;
      }
      got = static_cast<size_t>(n);
    } else {
      got = std::min(size, text_.size() - offset_);
      std::memcpy(buffer, text_.data() + offset_, got);
      offset_ += got;
    }
    if (got == 0) {
      EndOfInput();
      done_ = true;
      return 0;
    }
    const size_t passed = Check(buffer, got);
    if (passed < got)
      done_ = true;
    return static_cast<ssize_t>(passed);
  }

  // How many of `bytes` pass before the first fault.
  size_t Check(const char* bytes, size_t count) {
    size_t i = 0;
    while (i < count) {
      if (line_ == Line::kBody && !pendingCr_) {
        // Inside a line only its end and the bytes the reader mishandles matter.
        i = NextOfInterest(bytes, i, count);
        if (i == count)
          break;
      }
      if (!Step(bytes[i]))
        return i;
      ++i;
    }
    return count;
  }

  // The first line end, carriage return or NUL byte of `bytes` from `from`; `count` when none.
  static size_t NextOfInterest(const char* bytes, size_t from, size_t count) {
    const char* const start = bytes + from;
    const auto* end = static_cast<const char*>(std::memchr(start, '\n', count - from));
    if (end == nullptr)
      end = bytes + count;
    if (const auto* cr = static_cast<const char*>(std::memchr(start, '\r', end - start)))
      end = cr;
    if (const auto* nul = static_cast<const char*>(std::memchr(start, '\0', end - start)))
      end = nul;
    return static_cast<size_t>(end - bytes);
  }

  bool Step(char c) {
    if (pendingCr_) {
      pendingCr_ = false;
      if (c != '\n')
        return StopAtCarriageReturn();
      return EndLine();
    }
    switch (c) {
      case '\0':
        return Stop(number_, "a NUL byte (a value holding one must be written in base64)");
      case '\r':
        pendingCr_ = true;
        return true;
      case '\n':
        return EndLine();
      default:
        break;
    }
    if (line_ == Line::kStart)
      return StartLine(c);
    if (line_ == Line::kHead) {
      head_ += c;
      if (!digitFirst_ && head_.size() == 8) {
        if (EqualsIgnoringCase(head_, "include:"))
          return Stop(number_, "include lines are not read");
        line_ = Line::kBody;
      } else if (digitFirst_ && head_.size() > kQuoted) {
        return StopAtDigit();
      }
    }
    return true;
  }

  bool StartLine(char c) {
    line_ = Line::kBody;
    if (inRecord_)
      return true;
    if (c == '#') {
      afterComment_ = true;
      return true;
    }
    if (afterComment_ && c == ' ')
      return true;
    inRecord_ = true;
    starts_.push_back(number_);
    // The first line of a record is kept until it can be told from an include line, or, when
    // it starts with a digit, as far as the message quotes it.
    line_ = Line::kHead;
    digitFirst_ = std::isdigit(static_cast<unsigned char>(c)) != 0;
    head_.assign(1, c);
    return true;
  }

  bool EndLine() {
    if (line_ == Line::kHead && digitFirst_)
      return StopAtDigit();
    if (line_ == Line::kStart) {
      if (inRecord_)
        ++ended_;
      inRecord_ = false;
      afterComment_ = false;
    }
    line_ = Line::kStart;
    ++number_;
    return true;
  }

  void EndOfInput() {
    if (pendingCr_) {
      StopAtCarriageReturn();
      return;
    }
    if (line_ == Line::kHead && digitFirst_) {
      StopAtDigit();
      return;
    }
    if (inRecord_)
      ++ended_;
    inRecord_ = false;
  }

  bool StopAtCarriageReturn() {
    return Stop(number_,
                "a carriage return inside a line (a value holding one must be written in base64)");
  }

  bool StopAtDigit() {
    const bool cut = head_.size() > kQuoted;
    return Stop(number_,
                "malformed line \"" + head_.substr(0, kQuoted) + (cut ? "..." : "") + "\"");
  }

  bool Stop(unsigned long line, std::string why) {
    stopLine_ = line;
    why_ = std::move(why);
    return false;
  }

  std::string_view text_;
  size_t offset_ = 0;
  int fd_ = -1;
  bool done_ = false;
  unsigned long number_ = 1;  // of the line being checked
  Line line_ = Line::kStart;
  bool pendingCr_ = false;  // the line's last byte was a carriage return
  bool inRecord_ = false;
  bool afterComment_ = false;
  bool digitFirst_ = false;
  std::string head_;                  // the start of a record's first line
  std::deque<unsigned long> starts_;  // the first lines of the records not yet taken
  size_t taken_ = 0;
  size_t ended_ = 0;  // records that ended, taken or not
  unsigned long stopLine_ = 0;
  std::string why_;
};

struct FileClose {
  void operator()(FILE* file) const { std::fclose(file); }
};
struct MallocFree {
  void operator()(char* p) const { ber_memfree(p); }
};

}  // namespace

// A filter with its class and attribute names resolved to the store's ids.
struct MemoryStore::CompiledFilter {
  FilterNode::Kind kind = FilterNode::Kind::kAnd;
  FilterNode::Op op = FilterNode::Op::kEqual;
  std::vector<CompiledFilter> children;
  uint32_t id = kNone;  // class or attribute id; kNone never matches
  uint32_t syntax = 0;
  std::string text;
  std::string rdnType;
  std::string textValue;
  int64_t numberValue = 0;
};

class MemoryStore::ChildCursor final : public EntryCursor {
 public:
  ChildCursor(const MemoryStore& store, uint32_t next) : store_(store), next_(next) {}
  bool Next(StoreEntry& entry) override {
    if (next_ == kNone)
      return false;
    store_.FillEntry(next_, entry);
    next_ = store_.entries_[next_].nextSibling;
    return true;
  }

 private:
  const MemoryStore& store_;
  uint32_t next_;
};

class MemoryStore::SearchCursor final : public EntryCursor {
 public:
  // One run of candidates: pre-order numbers [begin, end) of `numbers`, or of the identity
  // when `numbers` is null.
  struct Run {
    const std::vector<uint32_t>* numbers = nullptr;
    size_t begin = 0;
    size_t end = 0;
  };
  SearchCursor(const MemoryStore& store, CompiledFilter filter, std::vector<Run> runs)
      : store_(store), filter_(std::move(filter)), runs_(std::move(runs)) {}

  bool Next(StoreEntry& entry) override {
    while (run_ < runs_.size()) {
      Run& run = runs_[run_];
      while (run.begin < run.end) {
        const size_t at = run.begin++;
        const uint32_t pre =
            run.numbers != nullptr ? (*run.numbers)[at] : static_cast<uint32_t>(at);
        const uint32_t id = store_.preOrder_[pre];
        if (store_.Matches(id, filter_)) {
          store_.FillEntry(id, entry);
          return true;
        }
      }
      ++run_;
    }
    return false;
  }

 private:
  const MemoryStore& store_;
  CompiledFilter filter_;
  std::vector<Run> runs_;
  size_t run_ = 0;
};

// Reads LDIF records into a store under construction, then indexes it.
class MemoryStore::Loader {
 public:
  Loader(MemoryStore& store, std::string_view source, LdifUrls urls, std::string& error)
      : store_(store), source_(source), error_(error), urls_(urls) {}

  // A store of the records `gate` hands out, or nullptr and the message in `error`.
  static std::unique_ptr<MemoryStore> Load(LdifGate& gate, size_t sizeHint, std::string_view source,
                                           LdifUrls urls, std::string& error);

  // Reads the records `gate` hands out through `file`, its stream.
  bool Read(LdifGate& gate, FILE* file) {
    // No include line reaches the reader, so it never stacks another file on this one.
    LDIFFP stream{file, nullptr};
    unsigned long lineNumber = 0;
    char* buffer = nullptr;
    int bufferSize = 0;
    bool ok = true;
    for (;;) {
      const int got = ldif_read_record(&stream, &lineNumber, &buffer, &bufferSize);
      if (got == 0)
        break;
      // A record the gate has not seen end was cut short by a fault, or the reader read
      // elsewhere: either way it must not load as if whole.
      if (got < 0 || !gate.RecordEnded()) {
        ok = gate.Stopped() ? Stopped(gate) : ReaderStopped();
        break;
      }
      const unsigned long firstLine = gate.RecordLine();
      gate.TakeRecord();
      if (!Record(buffer, firstLine)) {
        ok = false;
        break;
      }
    }
    ber_memfree(buffer);
    if (!ok)
      return false;
    if (gate.Stopped())
      return Stopped(gate);
    if (!gate.Done())
      return ReaderStopped();
    if (gate.RecordBegun()) {
      return Fail(gate.RecordLine(), "the LDIF reader stopped before this record");
    }
    // An empty tree is no tree: most likely the file was cut short or is not the one meant.
    if (store_.entries_.size() == 1) {
      error_ = source_ + ": holds no entries";
      return false;
    }
    return Finish();
  }

  // The folder of the LDIF whose file URLs may be read, as `source` names the file.
  void SetFolder(std::string_view source) {
    const size_t slash = source.rfind('/');
    folder_ = slash == std::string_view::npos ? "." : std::string(source.substr(0, slash + 1));
  }

 private:
  bool Fail(unsigned long line, const std::string& what) {
    error_ = source_ + " line " + std::to_string(line) + ": " + what;
    return false;
  }

  bool Stopped(const LdifGate& gate) {
    if (gate.StopLine() == 0) {
      error_ = source_ + ": " + gate.Why();
      return false;
    }
    return Fail(gate.StopLine(), gate.Why());
  }

  bool ReaderStopped() {
    error_ = source_ + ": the LDIF reader stopped before its end";
    return false;
  }

  // One attribute line of a record, its value decoded.
  struct Field {
    std::string_view type;
    std::string_view value;
    unsigned long line = 0;
  };

  bool Record(char* text, unsigned long firstLine) {
    // Where the physical lines start, before ldif_getline joins folded lines in place.
    lineStarts_.clear();
    lineStarts_.push_back(0);
    for (size_t i = 0; text[i] != '\0'; ++i) {
      if (text[i] == '\n')
        lineStarts_.push_back(i + 1);
    }
    fields_.clear();
    fetched_.clear();
    std::string_view dn;
    bool haveDn = false;
    bool changeAllowed = false;
    size_t physical = 0;
    size_t firstPhysical = SIZE_MAX;
    char* next = text;
    while (char* line = ldif_getline(&next)) {
      const auto offset = static_cast<size_t>(line - text);
      while (physical + 1 < lineStarts_.size() && lineStarts_[physical + 1] <= offset)
        ++physical;
      if (firstPhysical == SIZE_MAX)
        firstPhysical = physical;
      const unsigned long number = firstLine + (physical - firstPhysical);
      Field field;
      field.line = number;
      if (!ParseLine(line, field))
        return false;
      if (!haveDn) {
        if (number == firstLine && EqualsIgnoringCase(field.type, "version")) {
          if (field.value != "1") {
            return Fail(number, "LDIF version \"" + Shown(field.value) +
                                    "\" is not supported (only version 1)");
          }
          continue;
        }
        if (!EqualsIgnoringCase(field.type, "dn"))
          return Fail(number, "a record must begin with dn:, not " + std::string(field.type));
        dn = field.value;
        haveDn = true;
        recordLine_ = number;
        changeAllowed = true;
        continue;
      }
      if (changeAllowed && EqualsIgnoringCase(field.type, "control"))
        continue;  // a request control means nothing to a tree that is only read
      if (changeAllowed && EqualsIgnoringCase(field.type, "changetype")) {
        if (!EqualsIgnoringCase(field.value, "add"))
          return Fail(recordLine_, "only entries may appear, not changes");
        changeAllowed = false;
        continue;
      }
      changeAllowed = false;
      if (EqualsIgnoringCase(field.type, "dn"))
        return Fail(number, "a second dn: line in one record (a blank line missing before it?)");
      fields_.push_back(field);
    }
    if (!haveDn)
      return true;  // only a version line
    if (EqualsIgnoringCase(dn, "cn=schema") || EqualsIgnoringCase(dn, "cn=subschema"))
      return Schema();
    return Entry(dn);
  }

  // Splits one unfolded line into its attribute description and value. libldap's line parser
  // trusts the line to start with an attribute description (a line of ":" alone crashes it), so
  // that is checked first; URL values are fetched here, never by libldap.
  bool ParseLine(char* line, Field& field) {
    char* colon = std::strchr(line, ':');
    bool valid = colon != nullptr && colon != line;
    for (const char* c = line; valid && c < colon; ++c) {
      valid =
          std::isalnum(static_cast<unsigned char>(*c)) != 0 || *c == '-' || *c == ';' || *c == '.';
    }
    if (!valid)
      return Fail(field.line, "malformed line \"" + Shown(line) + "\"");
    field.type = std::string_view(line, static_cast<size_t>(colon - line));
    if (colon[1] == '<')
      return FetchUrl(colon + 2, field);
    struct berval type {};
    struct berval value {};
    int freeValue = 0;
    const bool base64 = colon[1] == ':';
    if (ldif_parse_line2(line, &type, &value, &freeValue) != 0) {
      return Fail(field.line, "attribute " + std::string(field.type) +
                                  (base64 ? ": the base64 value cannot be decoded"
                                          : ": the value cannot be read"));
    }
    field.type = std::string_view(type.bv_val, type.bv_len);
    field.value = std::string_view(value.bv_val, value.bv_len);
    return true;
  }

  bool FetchUrl(const char* text, Field& field) {
    std::string url;
    for (const char* c = text; *c != '\0'; ++c) {
      if (*c != '\r')  // what is left of a folded line
        url += *c;
    }
    const size_t first = url.find_first_not_of(" \t");
    url.erase(0, first == std::string::npos ? url.size() : first);
    const std::string where = "attribute " + std::string(field.type) + ": ";
    if (urls_ == LdifUrls::kRefuse) {
      return Fail(field.line,
                  "URL values are not read (" + std::string(field.type) + ":< " + Shown(url) + ")");
    }
    const auto path = FileUrlPath(url);
    if (!path) {
      return Fail(field.line,
                  where + "only file:///path URLs of regular files are read, not " + Shown(url));
    }
    std::string resolved;
    if (const auto problem = InFolder(*path, resolved))
      return Fail(field.line, where + *problem);
    std::string bytes;
    if (const auto problem = ReadUrlFile(resolved, bytes, *path))
      return Fail(field.line, where + *problem);
    field.value = fetched_.emplace_back(std::move(bytes));
    return true;
  }

  // Nullopt, with the path `path` leads to (every link followed) in `resolved`, when that lies in
  // the LDIF's folder or below: a file URL is there to take a big value out of the LDIF, not to
  // copy the user's other files (or /proc/self/environ) into the tree. Else "<path>: <why>".
  std::optional<std::string> InFolder(const std::string& path, std::string& resolved) {
    const auto real = [](const std::string& name) -> std::optional<std::string> {
      const std::unique_ptr<char, decltype(&std::free)> found(realpath(name.c_str(), nullptr),
                                                              &std::free);
      if (!found)
        return std::nullopt;
      return std::string(found.get());
    };
    if (folderReal_.empty()) {
      const auto folder = real(folder_);
      if (!folder)
        return folder_ + ": the LDIF file's folder cannot be read (" + std::strerror(errno) + ")";
      folderReal_ = *folder;
      if (!folderReal_.ends_with('/'))
        folderReal_ += '/';
    }
    const auto target = real(path);
    if (!target)
      return CannotRead(path);
    if (!(*target + '/').starts_with(folderReal_))
      return path + ": not in the LDIF file's folder or below (" + folderReal_ + ")";
    resolved = *target;
    return std::nullopt;
  }

  // The local path of a file:///path URL (%XX escapes decoded); nullopt for any other URL.
  static std::optional<std::string> FileUrlPath(std::string_view url) {
    if (url.size() < 8 || !EqualsIgnoringCase(url.substr(0, 7), "file://") || url[7] != '/')
      return std::nullopt;
    std::string path;
    for (size_t i = 7; i < url.size(); ++i) {
      if (url[i] != '%') {
        path += url[i];
        continue;
      }
      const auto hex = [&](size_t k) {
        return k < url.size() && std::isxdigit(static_cast<unsigned char>(url[k])) != 0;
      };
      unsigned byte = 0;
      if (!hex(i + 1) || !hex(i + 2))
        return std::nullopt;
      static_cast<void>(std::from_chars(url.data() + i + 1, url.data() + i + 3, byte, 16));
      if (byte == 0)
        return std::nullopt;  // a path ends at a NUL
      path += static_cast<char>(byte);
      i += 2;
    }
    return path;
  }

  // A line as an error message quotes it: up to its end or a fold, at most 60 bytes.
  static std::string Shown(std::string_view text) {
    text = text.substr(0, std::min(text.find_first_of("\r\n"), text.size()));
    if (text.size() > 60)
      return std::string(text.substr(0, 60)) + "...";
    return std::string(text);
  }

  bool Schema() {
    std::vector<SchemaDescription> descriptions;
    for (const Field& field : fields_) {
      if (EqualsIgnoringCase(field.type, "attributeTypes"))
        descriptions.push_back({SchemaDescription::Kind::kAttributeType, field.value});
      else if (EqualsIgnoringCase(field.type, "objectClasses"))
        descriptions.push_back({SchemaDescription::Kind::kObjectClass, field.value});
    }
    if (const auto bad = store_.schema_.Read(descriptions)) {
      const SchemaDescription& description = descriptions[*bad];
      return Fail(recordLine_,
                  std::string(description.kind == SchemaDescription::Kind::kAttributeType
                                  ? "attribute type"
                                  : "object class") +
                      " cannot be parsed: " + std::string(description.text));
    }
    return true;
  }

  bool Entry(std::string_view dn) {
    std::string why;
    // Consecutive entries mostly share their parent: its DN text is compared before parsing.
    const size_t comma = FirstUnescapedComma(dn);
    const std::string_view parentDn =
        comma == std::string_view::npos ? std::string_view() : dn.substr(comma + 1);
    const auto name = ParseLdapDn(dn, &why);
    if (!name)
      return Fail(recordLine_, "dn \"" + std::string(dn) + "\": " + why);
    if (name->empty())
      return Fail(recordLine_, "an entry needs a non-empty dn");
    // A dump of a subtree, or entries in another order than parents first: the parts of the
    // name that no entry defines yet are made as containers, and an entry defined later takes
    // the place made for it.
    uint32_t parent = 0;
    if (name->size() > 1) {
      if (lastParentId_ != kNone && parentDn == lastParentDn_) {
        parent = lastParentId_;
      } else {
        for (size_t i = name->size() - 1; i >= 1; --i) {
          const uint32_t child = store_.FindChild(parent, (*name)[i]);
          parent = child != kNone ? child : MakeAncestor(parent, (*name)[i]);
        }
        lastParentDn_.assign(parentDn);
        lastParentId_ = parent;
      }
    }
    const Rdn& rdn = name->front();
    uint32_t id = store_.FindChild(parent, rdn);
    if (id != kNone && lines_[id - 1] != 0) {
      return Fail(recordLine_, "\"" + std::string(dn) + "\" is defined twice (first at line " +
                                   std::to_string(lines_[id - 1]) + ")");
    }
    if (id == kNone) {
      id = AddEntry(parent, rdn);
    } else {
      // The spelling the entry itself gives wins over that of its subordinates' names; the two
      // differ in letter case only.
      const MemoryStore::Entry& made = store_.entries_[id];
      const std::string value = RdnValueKey(rdn.value, rdn.more);
      if (value.size() == made.rdnLength)
        store_.names_.replace(made.rdnOffset, made.rdnLength, value);
    }
    MemoryStore::Entry entry = store_.entries_[id];
    lines_[id - 1] = static_cast<uint32_t>(recordLine_);
    entry.attrOffset = store_.values_.size();

    // Values grouped by attribute in the order the attributes first appear.
    grouped_.clear();
    for (const Field& field : fields_) {
      const uint32_t attr = store_.schema_.InternAttribute(field.type);
      auto slot = std::find_if(grouped_.begin(), grouped_.end(),
                               [attr](const auto& g) { return g.first == attr; });
      if (slot == grouped_.end()) {
        grouped_.emplace_back(attr, std::vector<std::string_view>());
        slot = grouped_.end() - 1;
      }
      slot->second.push_back(field.value);
    }
    uint32_t structural = kNone;
    uint32_t lastClass = kNone;
    PutVarint(store_.values_, grouped_.size());
    for (const auto& [attr, values] : grouped_) {
      const SchemaAttribute& def = store_.schema_.Attribute(attr);
      if (def.singleValued && values.size() > 1) {
        return Fail(recordLine_, "attribute " + def.ldapName + " takes one value, " +
                                     std::to_string(values.size()) + " were given");
      }
      PutVarint(store_.values_, attr);
      PutVarint(store_.values_, values.size());
      const bool isClass = attr == objectClassId_;
      const bool isModified = attr == modifyTimestampId_;
      for (std::string_view text : values) {
        if (isClass) {
          const uint32_t classId = store_.schema_.InternClass(text);
          text = store_.schema_.Class(classId).name;
          lastClass = classId;
          if (store_.schema_.Class(classId).structural)
            structural = classId;
        } else if (isModified) {
          // One that is no time is told of with the other values outside their syntax.
          if (const auto seconds = ParseGeneralizedTime(text))
            entry.modificationTime = *seconds;
        }
        if (!def.declared && !IsUtf8(text)) {
          if (notUtf8_.size() <= attr)
            notUtf8_.resize(attr + 1, false);
          notUtf8_[attr] = true;
        }
        PutVarint(store_.values_, text.size());
        store_.values_.insert(store_.values_.end(), text.begin(), text.end());
      }
    }
    entry.baseClass =
        structural != kNone ? structural : (lastClass != kNone ? lastClass : unknownClassId_);
    store_.entries_[id] = entry;
    return true;
  }

  // A new entry named `rdn` below `parent`, last of its children, without a line until an entry
  // of the file defines it; the caller writes its attribute block next.
  uint32_t AddEntry(uint32_t parent, const Rdn& rdn) {
    const auto id = static_cast<uint32_t>(store_.entries_.size());
    MemoryStore::Entry entry;
    entry.parent = parent;
    const std::string value = RdnValueKey(rdn.value, rdn.more);
    entry.rdnType = InternRdnType(RdnTypeKey(rdn));
    entry.rdnOffset = store_.names_.size();
    entry.rdnLength = static_cast<uint32_t>(value.size());
    store_.names_ += value;
    entry.attrOffset = store_.values_.size();
    store_.entries_.push_back(entry);
    lines_.push_back(0);
    MemoryStore::Entry& parentEntry = store_.entries_[parent];
    if (parentEntry.lastChild == kNone) {
      parentEntry.firstChild = id;
    } else {
      store_.entries_[parentEntry.lastChild].nextSibling = id;
    }
    parentEntry.lastChild = id;
    ++parentEntry.childCount;
    store_.IndexChild(id);
    return id;
  }

  // A container for a part of a name that no entry defines (yet), of the class its naming type
  // stands for, with that class as its one objectClass value.
  uint32_t MakeAncestor(uint32_t parent, const Rdn& rdn) {
    const uint32_t id = AddEntry(parent, rdn);
    const uint32_t classId = store_.schema_.InternClass(MadeContainerClass(rdn.type));
    const std::string_view className = store_.schema_.Class(classId).name;
    MemoryStore::Entry& entry = store_.entries_[id];
    entry.baseClass = classId;
    PutVarint(store_.values_, 1);
    PutVarint(store_.values_, objectClassId_);
    PutVarint(store_.values_, 1);
    PutVarint(store_.values_, className.size());
    store_.values_.insert(store_.values_.end(), className.begin(), className.end());
    return id;
  }

  static size_t FirstUnescapedComma(std::string_view dn) {
    for (size_t i = 0; i < dn.size(); ++i) {
      if (dn[i] == '\\') {
        ++i;
      } else if (dn[i] == ',') {
        return i;
      }
    }
    return std::string_view::npos;
  }

  uint32_t InternRdnType(const std::string& type) {
    const auto [found, added] =
        rdnTypeIds_.try_emplace(type, static_cast<uint32_t>(store_.rdnTypes_.size()));
    if (added)
      store_.rdnTypes_.push_back(type);
    return found->second;
  }

  // Settles the syntaxes of undeclared attributes, checks every structured value against its
  // form, and builds the pre-order and class indexes.
  bool Finish() {
    for (uint32_t attr = 0; attr < store_.schema_.AttributeCount(); ++attr) {
      if (!store_.schema_.Attribute(attr).declared) {
        const bool notUtf8 = attr < notUtf8_.size() && notUtf8_[attr];
        store_.schema_.SetSyntax(attr, notUtf8 ? kSyntaxOctetString : kSyntaxCaseIgnoreString);
      }
    }
    ValueNaming naming;
    naming.nameText = [](std::string_view dn) -> std::optional<std::string> {
      if (!ParseLdapDn(dn))
        return std::nullopt;
      return std::string();
    };
    naming.attributeName = [](std::string_view name) { return std::string(name); };
    std::string why;
    for (uint32_t id = 1; id < store_.entries_.size(); ++id) {
      for (const RawAttribute& attribute : store_.DecodeAttributes(id)) {
        const SchemaAttribute& def = store_.schema_.Attribute(attribute.id);
        if (def.syntax == kSyntaxCaseIgnoreString || def.syntax == kSyntaxOctetString ||
            def.syntax == kSyntaxStream || def.syntax == kSyntaxClassName) {
          continue;
        }
        for (const std::string_view value : attribute.values) {
          if (!EncodeValueRecord(def.syntax, def.name, value, naming, why))
            NoteMisfit(lines_[id - 1], def.ldapName, value, why);
        }
      }
    }
    // Pre-order numbers, children in the order they were defined.
    const size_t count = store_.entries_.size();
    store_.preOrder_.assign(count, 0);
    store_.preByClass_.assign(store_.schema_.ClassCount(), {});
    uint32_t next = 0;
    // (entry, expanded): an entry is numbered when first met and closed when met again.
    std::vector<std::pair<uint32_t, bool>> stack{{0, false}};
    while (!stack.empty()) {
      auto [id, expanded] = stack.back();
      MemoryStore::Entry& entry = store_.entries_[id];
      if (expanded) {
        entry.subtreeEnd = next;
        stack.pop_back();
        continue;
      }
      stack.back().second = true;
      entry.pre = next;
      store_.preOrder_[next] = id;
      if (id != 0)
        store_.preByClass_[entry.baseClass].push_back(next);
      ++next;
      // Children are pushed in reverse so that the first one is numbered first.
      const size_t mark = stack.size();
      for (uint32_t c = entry.firstChild; c != kNone; c = store_.entries_[c].nextSibling) {
        stack.emplace_back(c, false);
      }
      std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(mark), stack.end());
    }
    lines_.clear();
    lines_.shrink_to_fit();
    if (misfits_ > 0) {
      store_.loadWarning_ =
          source_ + ": " + std::to_string(misfits_) +
          (misfits_ == 1 ? " value does not fit its attribute's syntax; it is"
                         : " values do not fit their attribute's syntax; they are") +
          " kept as written and shown as text (as bytes when not UTF-8): " + misfitLines_ +
          (misfits_ > kMisfitsNamed ? "; ..." : "");
    }
    return true;
  }

  // A value outside its syntax is kept as the bytes it was; the load tells of the first few.
  void NoteMisfit(uint32_t line, const std::string& attribute, std::string_view value,
                  const std::string& why) {
    if (++misfits_ > kMisfitsNamed)
      return;
    if (!misfitLines_.empty())
      misfitLines_ += "; ";
    misfitLines_ += "line " + std::to_string(line) + " " + attribute + " \"" + Shown(value) +
                    "\" (" + why + ")";
  }

  MemoryStore& store_;
  std::string source_;
  std::string& error_;
  unsigned long recordLine_ = 0;
  std::string lastParentDn_;
  uint32_t lastParentId_ = kNone;
  LdifUrls urls_;
  std::string folder_ = ".";         // of the LDIF, as its source names it
  std::string folderReal_;           // the same, links followed, with a final '/'
  std::vector<size_t> lineStarts_;   // of the record being read
  std::vector<Field> fields_;        // of the record being read
  std::deque<std::string> fetched_;  // the values read from URLs, for fields_
  std::unordered_map<std::string, uint32_t> rdnTypeIds_{{"", 0}};
  std::vector<std::pair<uint32_t, std::vector<std::string_view>>> grouped_;
  std::vector<uint32_t> lines_;  // the first line of every entry, by id - 1; 0 for one made
  std::vector<bool> notUtf8_;    // by attribute id: an undeclared one met with other bytes
  static constexpr size_t kMisfitsNamed = 3;
  size_t misfits_ = 0;       // values outside their attribute's syntax
  std::string misfitLines_;  // the first kMisfitsNamed of them

 public:
  uint32_t objectClassId_ = kNone;
  uint32_t modifyTimestampId_ = kNone;
  uint32_t unknownClassId_ = kNone;
};

MemoryStore::MemoryStore(ConstructionKey /*key*/) {
  Entry root;
  root.baseClass = schema_.InternClass("Tree Root");
  entries_.push_back(root);
  rdnTypes_.emplace_back();
  childTable_.assign(1024, 0);
  laterNamesakes_.assign(16, 0);
}

MemoryStore::~MemoryStore() = default;

std::unique_ptr<MemoryStore> MemoryStore::Loader::Load(LdifGate& gate, size_t sizeHint,
                                                       std::string_view source, LdifUrls urls,
                                                       std::string& error) {
  // libldap's base64 decoder reports a bad character on standard error until the library is
  // initialised with a debug level; the load's own message is to be the only one.
  static const bool quiet = [] {
    int level = 0;
    return ldap_set_option(nullptr, LDAP_OPT_DEBUG_LEVEL, &level) == LDAP_OPT_SUCCESS;
  }();
  static_cast<void>(quiet);
  try {
    auto store = std::make_unique<MemoryStore>(ConstructionKey());
    Loader loader(*store, source, urls, error);
    loader.SetFolder(source);
    loader.objectClassId_ = store->schema_.InternAttribute("objectClass");
    loader.modifyTimestampId_ = store->schema_.InternAttribute("modifyTimestamp");
    loader.unknownClassId_ = store->schema_.InternClass("Unknown");
    // The values hardly ever take more room than their LDIF text: reserving that much spares the
    // copies of a growing arena, and pages never written are never resident. Only a hint: a
    // size that cannot be reserved is grown into instead.
    try {
      store->values_.reserve(sizeHint);
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    const std::unique_ptr<FILE, FileClose> file(gate.Open());
    if (!file) {
      error = std::string(source) + ": cannot be opened";
      return nullptr;
    }
    if (!loader.Read(gate, file.get()))
      return nullptr;
    return store;
  } catch (const std::bad_alloc&) {
    error = std::string(source) + ": not enough memory to load it";
    return nullptr;
  }
}

std::unique_ptr<MemoryStore> MemoryStore::LoadText(std::string text, std::string_view source,
                                                   std::string& error, LdifUrls urls) {
  LdifGate gate(text);
  return Loader::Load(gate, text.size(), source, urls, error);
}

std::unique_ptr<MemoryStore> MemoryStore::LoadFile(const std::string& path, std::string& error,
                                                   LdifUrls urls) {
  UniqueFd file;
  size_t size = 0;
  if (const FileResult opened = OpenRegularFile(path, file, size); !opened.Succeeded()) {
    error = Unreadable(opened, path);
    return nullptr;
  }
  // Read as it is checked, a piece at a time: the memory a load takes is the tree's, whatever
  // the file holds after a fault.
  LdifGate gate(file.Get());
  return Loader::Load(gate, size, path, urls, error);
}

size_t MemoryStore::MemoryBytes() const {
  size_t bytes = entries_.capacity() * sizeof(Entry) + preOrder_.capacity() * 4 +
                 (childTable_.capacity() + laterNamesakes_.capacity()) * 4 + names_.capacity() +
                 values_.size();
  for (const auto& numbers : preByClass_)
    bytes += numbers.capacity() * 4;
  for (const auto& [key, ids] : valueSets_)
    bytes += key.capacity() + ids.capacity() * 4;
  return bytes;
}

std::string_view MemoryStore::RdnValue(const Entry& entry) const {
  return std::string_view(names_).substr(entry.rdnOffset, entry.rdnLength);
}

uint32_t MemoryStore::FirstNamesake(uint32_t parent, std::string_view value) const {
  const size_t slot = ProbeSlot(childTable_, HashChild(parent, value), [&](uint32_t id) {
    return entries_[id].parent == parent && EqualsIgnoringCase(RdnValue(entries_[id]), value);
  });
  return childTable_[slot];
}

uint64_t MemoryStore::TypedHash(uint32_t id) const {
  const Entry& entry = entries_[id];
  return HashTypedChild(entry.parent, rdnTypes_[entry.rdnType], RdnValue(entry));
}

void MemoryStore::AddToTable(std::vector<uint32_t>& table, size_t entries, uint32_t id,
                             uint64_t (MemoryStore::*hashOf)(uint32_t) const) {
  const auto none = [](uint32_t) { return false; };
  if ((entries + 1) * 2 > table.size()) {
    const std::vector<uint32_t> old = std::move(table);
    table.assign(old.size() * 2, 0);
    for (const uint32_t kept : old) {
      if (kept != 0)
        table[ProbeSlot(table, (this->*hashOf)(kept), none)] = kept;
    }
  }
  table[ProbeSlot(table, (this->*hashOf)(id), none)] = id;
}

uint64_t MemoryStore::ValueHash(uint32_t id) const {
  return HashChild(entries_[id].parent, RdnValue(entries_[id]));
}

std::string MemoryStore::ValueSetKey(uint32_t parent, const Rdn& rdn) {
  return std::to_string(parent) + '\n' + RdnValueSetKey(rdn);
}

void MemoryStore::IndexChild(uint32_t child) {
  Entry& entry = entries_[child];
  if (const std::string_view type = rdnTypes_[entry.rdnType];
      type.find('+') != std::string_view::npos) {
    valueSets_[ValueSetKey(entry.parent, RdnOfKeys(type, RdnValue(entry)))].push_back(child);
  }
  const uint32_t first = FirstNamesake(entry.parent, RdnValue(entry));
  if (first == 0) {
    AddToTable(childTable_, entries_.size(), child, &MemoryStore::ValueHash);
    return;
  }
  // After the first namesake, which stays the one a typeless look-up finds.
  entry.nextNamesake = entries_[first].nextNamesake;
  entries_[first].nextNamesake = child;
  AddToTable(laterNamesakes_, laterNamesakeCount_++, child, &MemoryStore::TypedHash);
}

uint32_t MemoryStore::FindTypedChild(uint32_t parent, std::string_view type,
                                     std::string_view value) const {
  // A typeless part that fits several children (CN=Sales and OU=Sales) names the one defined
  // first.
  const uint32_t first = FirstNamesake(parent, value);
  if (first == 0)
    return kNone;
  if (type.empty() || EqualsIgnoringCase(rdnTypes_[entries_[first].rdnType], type))
    return first;
  if (entries_[first].nextNamesake == kNone)
    return kNone;
  const size_t slot =
      ProbeSlot(laterNamesakes_, HashTypedChild(parent, type, value), [&](uint32_t id) {
        const Entry& entry = entries_[id];
        return entry.parent == parent && EqualsIgnoringCase(RdnValue(entry), value) &&
               EqualsIgnoringCase(rdnTypes_[entry.rdnType], type);
      });
  return laterNamesakes_[slot] != 0 ? laterNamesakes_[slot] : kNone;
}

uint32_t MemoryStore::FindChild(uint32_t parent, const Rdn& rdn) const {
  if (rdn.more.empty())
    return FindTypedChild(parent, rdn.type, rdn.value);
  return FindTypedChild(parent, RdnTypeKey(rdn), RdnValueKey(rdn.value, rdn.more));
}

std::optional<uint32_t> MemoryStore::Lookup(const DirName& name) const {
  uint32_t id = 0;
  for (auto rdn = name.rbegin(); rdn != name.rend(); ++rdn) {
    if (rdn->type.empty())
      return std::nullopt;
    id = FindChild(id, *rdn);
    if (id == kNone)
      return std::nullopt;
  }
  return id;
}

void MemoryStore::FillEntry(uint32_t id, StoreEntry& out) const {
  const Entry& entry = entries_[id];
  out.name.clear();
  size_t depth = 0;
  for (uint32_t at = id; at != 0; at = entries_[at].parent)
    ++depth;
  out.name.reserve(depth);
  for (uint32_t at = id; at != 0; at = entries_[at].parent) {
    const Entry& e = entries_[at];
    out.name.push_back(RdnOfKeys(rdnTypes_[e.rdnType], RdnValue(e)));
  }
  out.baseClass = schema_.Class(entry.baseClass).name;
  out.flags = IsContainer(entry) ? kDirObjectContainer : 0;
  out.subordinateCount = entry.childCount;
  out.modificationTime = entry.modificationTime;
}

std::vector<MemoryStore::RawAttribute> MemoryStore::DecodeAttributes(
    uint32_t id, std::span<const uint32_t> only) const {
  std::vector<RawAttribute> attributes;
  const uint8_t* at = values_.data() + entries_[id].attrOffset;
  for (uint64_t left = GetVarint(at); left > 0; --left) {
    const auto attributeId = static_cast<uint32_t>(GetVarint(at));
    const uint64_t count = GetVarint(at);
    const bool wanted =
        only.empty() || std::find(only.begin(), only.end(), attributeId) != only.end();
    RawAttribute* attribute = nullptr;
    if (wanted) {
      attribute = &attributes.emplace_back();
      attribute->id = attributeId;
      attribute->values.reserve(count);
    }
    for (uint64_t i = 0; i < count; ++i) {
      const uint64_t length = GetVarint(at);
      if (attribute != nullptr)
        attribute->values.emplace_back(reinterpret_cast<const char*>(at), length);
      at += length;
    }
  }
  return attributes;
}

int32_t MemoryStore::GetEntry(const DirName& name, StoreEntry& entry) {
  const auto id = Lookup(name);
  if (!id)
    return kDirNoSuchEntry;
  FillEntry(*id, entry);
  return kDirOk;
}

bool MemoryStore::IsContainer(const Entry& entry) const {
  return schema_.Class(entry.baseClass).container || entry.childCount > 0;
}

std::vector<ChildCandidate> MemoryStore::FindChildren(const DirName& parent, const NamePart& part) {
  std::vector<ChildCandidate> found;
  const auto parentId = Lookup(parent);
  if (!parentId)
    return found;
  const auto add = [&](uint32_t id) {
    const Entry& entry = entries_[id];
    found.push_back({RdnOfKeys(rdnTypes_[entry.rdnType], RdnValue(entry)), IsContainer(entry)});
  };
  if (!part.type.empty()) {
    if (const uint32_t id = FindChild(*parentId, RdnOfPart(part)); id != kNone)
      add(id);
    return found;
  }
  if (!part.more.empty()) {
    if (const auto named = valueSets_.find(ValueSetKey(*parentId, RdnOfPart(part)));
        named != valueSets_.end()) {
      for (const uint32_t id : named->second)
        add(id);
    }
    return found;
  }
  // A single value may be spelt as the joined values of a multi-valued RDN ("a+b" and a, b):
  // those are namesakes of the store's keys, not of the part.
  for (uint32_t id = FindTypedChild(*parentId, "", part.value); id != kNone;
       id = entries_[id].nextNamesake) {
    const std::string_view type = rdnTypes_[entries_[id].rdnType];
    if (type.find('+') == std::string_view::npos)
      add(id);
  }
  return found;
}

int32_t MemoryStore::ListChildren(const DirName& parent, std::unique_ptr<EntryCursor>& cursor) {
  const auto id = Lookup(parent);
  if (!id)
    return kDirNoSuchEntry;
  cursor = std::make_unique<ChildCursor>(*this, entries_[*id].firstChild);
  return kDirOk;
}

MemoryStore::CompiledFilter MemoryStore::Compile(const FilterNode& node) const {
  CompiledFilter compiled;
  compiled.kind = node.kind;
  compiled.op = node.op;
  compiled.syntax = node.syntax;
  compiled.text = node.text;
  compiled.rdnType = node.rdnType;
  compiled.textValue = node.textValue;
  compiled.numberValue = node.numberValue;
  for (const FilterNode& child : node.children)
    compiled.children.push_back(Compile(child));
  if (node.kind == FilterNode::Kind::kBaseClass) {
    compiled.id = schema_.ClassId(node.text).value_or(kNone);
  } else if (node.kind == FilterNode::Kind::kPresent || node.kind == FilterNode::Kind::kCompare) {
    compiled.id = schema_.AttributeId(node.text).value_or(kNone);
    // The store's own syntax decides how its values compare.
    if (compiled.id != kNone)
      compiled.syntax = schema_.Attribute(compiled.id).syntax;
    // A name compares in its folded form, whichever escapes its LDAP text uses; one that is no
    // name matches nothing.
    if (node.kind == FilterNode::Kind::kCompare && compiled.id != kNone &&
        compiled.syntax == kSyntaxDistinguishedName) {
      const auto name = ParseLdapDn(node.textValue);
      if (name)
        compiled.textValue = FoldedDnKey(*name);
      else
        compiled.id = kNone;
    }
  }
  return compiled;
}

namespace {

// How one stored value compares with a filter value: <0, 0, >0, or nullopt when the two
// cannot be compared.
std::optional<int> CompareValue(uint32_t syntax, std::string_view stored,
                                const std::string& textValue, int64_t numberValue, bool& wildcard) {
  wildcard = false;
  switch (syntax) {
    case kSyntaxDistinguishedName: {
      const auto name = ParseLdapDn(stored);
      if (!name)
        return std::nullopt;
      return FoldedDnKey(*name).compare(textValue) == 0 ? 0 : 1;
    }
    case kSyntaxBoolean: {
      const int64_t value = EqualsIgnoringCase(stored, "TRUE") ? 1 : 0;
      return value == numberValue ? 0 : (value < numberValue ? -1 : 1);
    }
    case kSyntaxInteger:
    case kSyntaxCounter:
    case kSyntaxInterval:
    case kSyntaxHold: {
      std::string_view digits = stored;
      if (syntax == kSyntaxHold)
        digits = stored.substr(stored.rfind('#') + 1);
      const auto value = ParseNumber(digits, INT32_MIN, UINT32_MAX);
      if (!value)
        return std::nullopt;
      int64_t wanted = numberValue;
      if (syntax == kSyntaxCounter && *value > INT32_MAX)
        wanted = static_cast<uint32_t>(wanted);
      return *value == wanted ? 0 : (*value < wanted ? -1 : 1);
    }
    case kSyntaxTime:
    case kSyntaxTimestamp: {
      std::optional<int64_t> seconds;
      if (syntax == kSyntaxTime) {
        if (const auto t = ParseGeneralizedTime(stored))
          seconds = *t;
      } else {
        seconds = ParseNumber(stored.substr(0, stored.find('#')), 0, UINT32_MAX);
      }
      if (!seconds)
        return std::nullopt;
      return *seconds == numberValue ? 0 : (*seconds < numberValue ? -1 : 1);
    }
    case kSyntaxCaseExactString:
    case kSyntaxCaseIgnoreString:
    case kSyntaxPrintableString:
    case kSyntaxNumericString:
    case kSyntaxTelephoneNumber:
    case kSyntaxClassName:
    case kSyntaxCaseIgnoreList:
    case kSyntaxTypedName:
      wildcard = true;
      return CompareFolded(stored, textValue, syntax == kSyntaxCaseExactString);
    default:
      return std::nullopt;
  }
}

}  // namespace

bool MemoryStore::Matches(uint32_t id, const CompiledFilter& filter) const {
  using Kind = FilterNode::Kind;
  switch (filter.kind) {
    case Kind::kAnd:
      return std::all_of(filter.children.begin(), filter.children.end(),
                         [&](const CompiledFilter& c) { return Matches(id, c); });
    case Kind::kOr:
      return std::any_of(filter.children.begin(), filter.children.end(),
                         [&](const CompiledFilter& c) { return Matches(id, c); });
    case Kind::kNot:
      return !filter.children.empty() && !Matches(id, filter.children.front());
    case Kind::kBaseClass:
      return filter.id != kNone && entries_[id].baseClass == filter.id;
    case Kind::kRdn: {
      const Entry& entry = entries_[id];
      const std::string_view typeKey = rdnTypes_[entry.rdnType];
      if (typeKey.find('+') != std::string_view::npos)
        return RdnMatches(RdnOfKeys(typeKey, RdnValue(entry)), filter.rdnType, filter.text);
      if (!filter.rdnType.empty() && !EqualsIgnoringCase(typeKey, filter.rdnType)) {
        return false;
      }
      return WildcardMatch(filter.text, RdnValue(entry), false);
    }
    case Kind::kPresent:
    case Kind::kCompare: {
      if (filter.id == kNone)
        return false;
      for (const RawAttribute& attribute : DecodeAttributes(id)) {
        if (attribute.id != filter.id)
          continue;
        if (filter.kind == Kind::kPresent)
          return !attribute.values.empty();
        for (std::string_view value : attribute.values) {
          std::vector<std::string> items;
          if (filter.syntax == kSyntaxTypedName)
            value = value.substr(0, value.find('#'));
          if (filter.syntax == kSyntaxCaseIgnoreList) {
            // Any item of the list may match.
            size_t start = 0;
            for (size_t at = value.find('$');; at = value.find('$', start)) {
              items.emplace_back(value.substr(start, at - start));
              if (at == std::string_view::npos)
                break;
              start = at + 1;
            }
          } else {
            items.emplace_back(value);
          }
          for (const std::string& item : items) {
            bool wildcard = false;
            const auto order =
                CompareValue(filter.syntax, item, filter.textValue, filter.numberValue, wildcard);
            if (!order)
              continue;
            switch (filter.op) {
              case FilterNode::Op::kEqual:
              case FilterNode::Op::kApprox:
                if (wildcard ? WildcardMatch(filter.textValue, item,
                                             filter.syntax == kSyntaxCaseExactString &&
                                                 filter.op == FilterNode::Op::kEqual)
                             : *order == 0) {
                  return true;
                }
                break;
              case FilterNode::Op::kGreaterOrEqual:
                if (*order >= 0)
                  return true;
                break;
              case FilterNode::Op::kLessOrEqual:
                if (*order <= 0)
                  return true;
                break;
            }
          }
        }
      }
      return false;
    }
  }
  return false;
}

int32_t MemoryStore::Search(const DirName& base, int scope, const FilterNode& filter,
                            std::unique_ptr<EntryCursor>& cursor) {
  const auto id = Lookup(base);
  if (!id)
    return kDirNoSuchEntry;
  const Entry& entry = entries_[*id];
  std::vector<SearchCursor::Run> runs;
  if (scope == 0) {
    runs.push_back({nullptr, entry.pre, entry.pre + size_t{1}});
  } else if (scope == 1) {
    // Children are contiguous in pre-order only one by one; each is its own run.
    for (uint32_t c = entry.firstChild; c != kNone; c = entries_[c].nextSibling) {
      runs.push_back({nullptr, entries_[c].pre, entries_[c].pre + size_t{1}});
    }
  } else if (scope == 2) {
    const size_t begin = *id == 0 ? 1 : entry.pre;
    if (const auto classes = RequiredClasses(filter)) {
      std::vector<uint32_t> seen;
      for (const std::string& name : *classes) {
        const auto cls = schema_.ClassId(name);
        if (!cls || std::find(seen.begin(), seen.end(), *cls) != seen.end())
          continue;
        seen.push_back(*cls);
        const std::vector<uint32_t>& numbers = preByClass_[*cls];
        const auto first = std::lower_bound(numbers.begin(), numbers.end(), begin);
        const auto last = std::lower_bound(first, numbers.end(), entry.subtreeEnd);
        runs.push_back({&numbers, static_cast<size_t>(first - numbers.begin()),
                        static_cast<size_t>(last - numbers.begin())});
      }
    } else {
      runs.push_back({nullptr, begin, entry.subtreeEnd});
    }
  } else {
    return kDirInvalidFilter;
  }
  cursor = std::make_unique<SearchCursor>(*this, Compile(filter), std::move(runs));
  return kDirOk;
}

int32_t MemoryStore::ReadAttributes(const DirName& name, const std::vector<std::string>& names,
                                    std::vector<StoreAttribute>& attributes) {
  const auto id = Lookup(name);
  if (!id)
    return kDirNoSuchEntry;
  std::vector<uint32_t> wanted;
  wanted.reserve(names.size());
  for (const std::string& n : names) {
    if (const auto attr = schema_.AttributeId(n))
      wanted.push_back(*attr);
  }
  attributes.clear();
  // Named attributes none of which the schema knows: the entry can hold none of them.
  if (!names.empty() && wanted.empty())
    return kDirNoSuchAttribute;
  const std::vector<RawAttribute> raws = DecodeAttributes(*id, wanted);
  attributes.reserve(raws.size());
  for (const RawAttribute& raw : raws) {
    StoreAttribute& attribute = attributes.emplace_back();
    attribute.name = schema_.Attribute(raw.id).name;
    attribute.syntax = schema_.Attribute(raw.id).syntax;
    attribute.values.assign(raw.values.begin(), raw.values.end());
  }
  if (!names.empty() && attributes.empty())
    return kDirNoSuchAttribute;
  return kDirOk;
}

int32_t MemoryStore::ReadStream(const DirName& name, std::string_view attribute,
                                std::string& bytes) {
  const auto id = Lookup(name);
  if (!id)
    return kDirNoSuchEntry;
  const auto attr = schema_.AttributeId(attribute);
  if (!attr || schema_.Attribute(*attr).syntax != kSyntaxStream)
    return kDirNoSuchAttribute;
  for (const RawAttribute& raw : DecodeAttributes(*id)) {
    if (raw.id == *attr && !raw.values.empty()) {
      bytes.assign(raw.values.front());
      return kDirOk;
    }
  }
  return kDirNoSuchAttribute;
}

std::optional<uint32_t> MemoryStore::SyntaxOf(std::string_view attribute) const {
  const auto id = schema_.AttributeId(attribute);
  if (!id)
    return std::nullopt;
  return schema_.Attribute(*id).syntax;
}

std::string MemoryStore::AttributeName(std::string_view attribute) const {
  return schema_.AttributeName(attribute);
}
