#pragma once
// Subtree search with the program's own filter text language: a filter text such as
// "(Base Class=rbsRole2)" becomes the token sequence of a client filter, the search runs batch
// by batch, and every object found is appended to a string list under its complete name.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "directory/client/dir_client.h"
#include "util/string_list.h"

// Where the tokens of a converted filter text go. The client's filter is the real destination;
// tests record the sequence instead, so the conversion can be checked without a directory.
class FilterTokenSink {
 public:
  virtual ~FilterTokenSink() = default;

  // Starts the filter; called once, before the first token.
  [[nodiscard]] virtual int32_t StartFilter() = 0;
  // Adds one token with its value (std::monostate for none) and syntax number.
  [[nodiscard]] virtual int32_t AddToken(int token, const DirFilterValue& value,
                                         uint32_t syntax) = 0;
  // The syntax number of an attribute, as the schema of the context's tree gives it.
  [[nodiscard]] virtual int32_t GetSyntaxId(const std::string& attributeName, uint32_t& syntax) = 0;
};

// The sink into the client: owns the client filter from StartFilter until PutFilter consumes it,
// and frees it on every other way out.
class ClientFilterSink final : public FilterTokenSink {
 public:
  // `client` must outlive the sink.
  ClientFilterSink(DirClient& client, DirContext context) : client_(client), context_(context) {}
  ~ClientFilterSink() override;
  ClientFilterSink(const ClientFilterSink&) = delete;
  ClientFilterSink& operator=(const ClientFilterSink&) = delete;

  [[nodiscard]] int32_t StartFilter() override;
  [[nodiscard]] int32_t AddToken(int token, const DirFilterValue& value, uint32_t syntax) override;
  [[nodiscard]] int32_t GetSyntaxId(const std::string& attributeName, uint32_t& syntax) override;

  // Writes the filter into a buffer prepared for the search-filter operation. On success the
  // client has consumed the filter; on failure it stays owned here and is freed later.
  [[nodiscard]] int32_t PutFilter(DirBuffer buffer);

 private:
  DirClient& client_;
  DirContext context_;
  std::optional<DirFilter> filter_;
};

// One filter text on its way into a sink: whether the filter was started, and the time stamp of
// the last time value met so far (all zero while there is none).
struct FilterConversion {
  explicit FilterConversion(FilterTokenSink& tokenSink) : sink(tokenSink) {}
  FilterTokenSink& sink;
  bool started = false;
  DirTimeStamp timeStamp{};
};

// True when the text holds as many "(" as ")" characters, wherever they stand.
[[nodiscard]] bool ParenthesesBalanced(std::string_view filterText);

// Splits a filter text into token lines: every "(", ")", "#AND#", "#NOT#" and "#OR#" (upper case
// exactly) stands on a line of its own; the text between them keeps its spaces. Lines end at CR
// LF, CR or LF; empty lines may occur and mean nothing.
[[nodiscard]] std::vector<std::string> FilterToLines(std::string_view filterText);

// Adds the tokens of one line (parenthesis, connective or comparison term). Spaces and tabs at
// both ends do not count; an empty line adds nothing and gives 0; a line with no operator gives
// kDirInvalidFilter. The filter is started by the first non-empty line.
[[nodiscard]] int32_t AddFilterLine(FilterConversion& conversion, std::string_view line);

// Adds the tokens of one comparison term: op is one of "<=", "#LE#", ">=", "#GE#", "=", "#EQ#",
// "#APPROX#", "#PRESENT#". Gives kDirInvalidFilter for "*" as a class value, a syntax without
// a text form, and a value its syntax cannot read (a boolean that is none of the six forms, a
// number outside the 32-bit range, a date before 1970-01-01 or past 2106-02-07); otherwise the
// first non-zero code of the sink.
[[nodiscard]] int32_t AddFilterTerm(FilterConversion& conversion, const std::string& attribute,
                                    std::string_view op, const std::string& value);

// Converts a whole filter text: kDirInvalidFilter for unbalanced parentheses (before the sink is
// asked anything) and for a text without a single token; otherwise every line while the code is
// 0, then the end token, which is added whatever the code. Gives the first non-zero code.
[[nodiscard]] int32_t ConvertFilter(std::string_view filterText, FilterConversion& conversion);

// Searches below baseName (a complete name, with or without a leading ".") with the filter text
// and appends one line per object found to results: its name as the context returns it, with the
// attached number 1. scope goes to the client unchanged (0 the base, 1 its subordinates, 2 the
// subtree); a negative scope gives kDirInvalidRequest before the client is asked. Objects whose
// names cannot be read are left out. Gives kDirInvalidFilter for a filter text that cannot be
// converted, else the first failing client code of the conversion, else that of putting the filter,
// else the code of the last call of the search (a search that fails midway keeps the lines it
// added). The search runs through a duplicate of `context`, freed at its end. Between batches and
// objects it lets window messages run and gives kWorkStopped, keeping the lines added, when the
// user has asked to stop; each object found is reported (ReportEntriesRead).
[[nodiscard]] int32_t DSSearch(DirClient& client, DirContext context, const std::string& baseName,
                               const std::string& filterText, int scope, TStringList& results);

// Tells the client that DSSearch runs next below `baseName` with `scope` for each of
// `filterTexts`, in this order, through `context`, so that a client whose server answers over the
// network sends the searches together; what each DSSearch gives is the same as without it. A
// filter text that cannot be converted is left out; nothing is reported.
void DSSearchAhead(DirClient& client, DirContext context, const std::string& baseName,
                   const std::vector<std::string>& filterTexts, int scope);

// A search that finds objects read ahead and not many others besides: the subtree of `baseName`
// by the filter text `filterText`.
struct ReadAheadScope {
  std::string baseName;
  std::string filterText;
};

// DirReadAheadWithin for `filterText`, converted as DSSearch converts it; DirReadAhead when it
// cannot be converted.
void DSReadAheadWithin(DirClient& client, DirContext context,
                       const std::vector<std::string>& objectNames,
                       const std::vector<std::string>& attributeNames, const std::string& baseName,
                       const std::string& filterText);
