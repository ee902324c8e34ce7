#include "directory/d_nw_search.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <deque>
#include <initializer_list>
#include <utility>
#include <variant>

#include "directory/client/dir_syntax.h"
#include "directory/scoped_dir_handles.h"
#include "util/hooks.h"
#include "util/numbers.h"
#include "util/text.h"
#include "util/times.h"

namespace {

constexpr uint32_t kSearchBufferSize = 4096;
constexpr std::string_view kBlanks = " \t";
constexpr std::string_view kLineBreak = "\r\n";
// Syntaxes of the operands of the class and relative-name matches.
constexpr uint32_t kClassNameSyntax = 20;
constexpr uint32_t kDistinguishedNameSyntax = 1;

std::string TrimBlanks(std::string_view text) {
  return TrimRightChars(TrimLeftChars(text, kBlanks), kBlanks);
}

bool IsOneOf(std::string_view text, std::initializer_list<std::string_view> words) {
  return std::any_of(words.begin(), words.end(),
                     [text](std::string_view word) { return SameTextAscii(text, word); });
}

// A whole decimal number of at most four digits (years, months and days); nothing else may
// stand in the part, so "05" is read and "5x", "" or "+5" are not.
std::optional<int> DatePart(std::string_view text) {
  if (text.empty() || text.size() > 4) {
    return std::nullopt;
  }
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

// Calendar value (days since 1899-12-30) of a date written year, month, day with `separator`
// between the parts; the parts are taken at the first and second separator.
std::optional<double> DateWithSeparator(std::string_view text, std::string_view separator) {
  const ThreeParts parts = SplitInThree(text, separator);
  const auto year = DatePart(parts.first);
  const auto month = DatePart(parts.second);
  const auto day = DatePart(parts.third);
  if (!year || !month || !day || *year < 1) {
    return std::nullopt;
  }
  const std::chrono::year_month_day date{std::chrono::year{*year},
                                         std::chrono::month{static_cast<unsigned>(*month)},
                                         std::chrono::day{static_cast<unsigned>(*day)}};
  if (*month < 1 || *day < 1 || !date.ok()) {
    return std::nullopt;
  }
  const auto daysSince1970 = std::chrono::sys_days{date}.time_since_epoch().count();
  return static_cast<double>(daysSince1970) + kUnixEpochDateTime;
}

// Directory time of a filter date: the "-" form first, then the "/" form. A date that cannot be
// read counts as one before 1970 and, like a date past the 32-bit range, gives nothing.
std::optional<uint32_t> FilterDateSeconds(std::string_view text) {
  auto calendar = DateWithSeparator(text, "-");
  if (!calendar) {
    calendar = DateWithSeparator(text, "/");
  }
  if (!calendar) {
    return std::nullopt;
  }
  return DateTimeToUnixTime(*calendar, false);
}

// The comparison value of a term, by the attribute's syntax; kDirInvalidFilter in `code` when
// the syntax has no text form or the text does not read as a value of it.
struct TermValue {
  int32_t code = kDirOk;
  DirFilterValue value;
  bool isTime = false;
};

TermValue MakeTermValue(uint32_t syntax, const std::string& text) {
  if (IsFilterTextSyntax(syntax)) {
    return {kDirOk, text, false};
  }
  if (syntax == kSyntaxBoolean) {
    if (IsOneOf(text, {"TRUE", "#TRUE#", "#YES#"})) {
      return {kDirOk, int32_t{1}, false};
    }
    if (IsOneOf(text, {"FALSE", "#FALSE#", "#NO#"})) {
      return {kDirOk, int32_t{0}, false};
    }
    // A comparison without a value would leave the search to the client's mercy.
    return {kDirInvalidFilter, {}, false};
  }
  if (IsFilterNumberSyntax(syntax)) {
    const auto number = TextToIntChecked(text);
    if (!number) {
      return {kDirInvalidFilter, {}, false};
    }
    return {kDirOk, *number, false};
  }
  if (IsTimeSyntax(syntax)) {
    const auto seconds = FilterDateSeconds(text);
    if (!seconds) {
      return {kDirInvalidFilter, {}, false};
    }
    return {kDirOk, DirTimeStamp{*seconds, 0, 0}, true};
  }
  if (syntax == kSyntaxUnknown || syntax > kSyntaxLast) {
    return {kDirOk, std::monostate{}, false};
  }
  return {kDirInvalidFilter, {}, false};
}

struct FilterOperator {
  std::string_view text;
  int token;
};

// In the order they are tried: "<=" before "=", so "a<=b" is never read as "a<" "=" "b".
constexpr FilterOperator kOperators[] = {
    {"<=", kFilterLessOrEqual},      {"#LE#", kFilterLessOrEqual},  {">=", kFilterGreaterOrEqual},
    {"#GE#", kFilterGreaterOrEqual}, {"=", kFilterEqual},           {"#EQ#", kFilterEqual},
    {"#APPROX#", kFilterApprox},     {"#PRESENT#", kFilterPresent},
};

constexpr std::string_view kPresent = "#PRESENT#";

int OperatorToken(std::string_view op) {
  for (const FilterOperator& candidate : kOperators) {
    if (candidate.text == op) {
      return candidate.token;
    }
  }
  return -1;
}

}  // namespace

ClientFilterSink::~ClientFilterSink() {
  if (filter_) {
    (void)client_.DirFreeFilter(*filter_, nullptr);
  }
}

int32_t ClientFilterSink::StartFilter() {
  if (filter_) {
    return kDirOk;
  }
  DirFilter filter = 0;
  const int32_t code = client_.DirAllocFilter(filter);
  if (code == kDirOk) {
    filter_ = filter;
  }
  return code;
}

int32_t ClientFilterSink::AddToken(int token, const DirFilterValue& value, uint32_t syntax) {
  if (!filter_) {
    return kDirInvalidHandle;
  }
  return client_.DirAddFilterToken(*filter_, token, value, syntax);
}

int32_t ClientFilterSink::GetSyntaxId(const std::string& attributeName, uint32_t& syntax) {
  return client_.DirGetSyntaxId(context_, attributeName, syntax);
}

int32_t ClientFilterSink::PutFilter(DirBuffer buffer) {
  if (!filter_) {
    return kDirInvalidHandle;
  }
  const int32_t code = client_.DirPutFilter(context_, buffer, *filter_, nullptr);
  if (code == kDirOk) {
    filter_.reset();
  }
  return code;
}

bool ParenthesesBalanced(std::string_view filterText) {
  return std::count(filterText.begin(), filterText.end(), '(') ==
         std::count(filterText.begin(), filterText.end(), ')');
}

std::vector<std::string> FilterToLines(std::string_view filterText) {
  std::string text(filterText);
  for (const std::string_view token : {"(", ")", "#AND#", "#NOT#", "#OR#"}) {
    std::string marked(kLineBreak);
    marked.append(token).append(kLineBreak);
    ReplaceTextInPlace(text, token, marked, true, true);
  }
  ReplaceTextInPlace(text, "\r\n\r\n", kLineBreak, true, true);

  // Lines end at CR LF, CR or LF; a break at the very end opens no further line.
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find_first_of(kLineBreak, start);
    if (end == std::string::npos) {
      lines.emplace_back(text.substr(start));
      break;
    }
    lines.emplace_back(text.substr(start, end - start));
    start = end + 1;
    if (text[end] == '\r' && start < text.size() && text[start] == '\n') {
      ++start;
    }
  }
  return lines;
}

int32_t AddFilterLine(FilterConversion& conversion, std::string_view line) {
  const std::string trimmed = TrimBlanks(line);
  if (trimmed.empty()) {
    return kDirOk;
  }
  if (!conversion.started) {
    const int32_t code = conversion.sink.StartFilter();
    if (code != kDirOk) {
      return code;
    }
    conversion.started = true;
  }

  static constexpr std::pair<std::string_view, int> kStructure[] = {
      {"(", kFilterOpen},  {")", kFilterClose},   {"#AND#", kFilterAnd},
      {"#OR#", kFilterOr}, {"#NOT#", kFilterNot},
  };
  for (const auto& [text, token] : kStructure) {
    if (trimmed == text) {
      return conversion.sink.AddToken(token, std::monostate{}, 0);
    }
  }

  for (const FilterOperator& op : kOperators) {
    const size_t at = trimmed.find(op.text);
    if (at != std::string::npos) {
      return AddFilterTerm(conversion, TrimBlanks(std::string_view(trimmed).substr(0, at)), op.text,
                           TrimBlanks(std::string_view(trimmed).substr(at + op.text.size())));
    }
  }
  return kDirInvalidFilter;
}

int32_t AddFilterTerm(FilterConversion& conversion, const std::string& attribute,
                      std::string_view op, const std::string& value) {
  FilterTokenSink& sink = conversion.sink;
  int32_t code = kDirOk;
  // Each token goes only while every earlier one was accepted.
  const auto add = [&](int token, const DirFilterValue& tokenValue, uint32_t syntax) {
    if (code == kDirOk) {
      code = sink.AddToken(token, tokenValue, syntax);
    }
  };

  if (IsOneOf(attribute, {"Object Class", "Base Class"})) {
    if (value == "*") {
      return kDirInvalidFilter;
    }
    add(kFilterBaseClass, std::monostate{}, 0);
    add(kFilterAttribute, value, kClassNameSyntax);
    return code;
  }
  if (op == "=" && IsOneOf(attribute, {"Name", "CN", "RDN"})) {
    add(kFilterRdn, std::monostate{}, 0);
    add(kFilterAttribute, value, kDistinguishedNameSyntax);
    return code;
  }

  const int opToken = OperatorToken(op);
  if (opToken < 0) {
    return kDirInvalidFilter;
  }
  const std::string name = SameTextAscii(attribute, "Aux Class") ? "Object Class" : attribute;
  uint32_t syntax = 0;
  code = sink.GetSyntaxId(name, syntax);
  if (code != kDirOk) {
    return code;
  }
  if (op == kPresent) {
    add(kFilterPresent, std::monostate{}, 0);
    add(kFilterAttribute, name, syntax);
    return code;
  }

  // The value is checked before the term's first token: a value that cannot be read fails the
  // whole filter, never a half-added term.
  TermValue termValue = MakeTermValue(syntax, value);
  if (termValue.code != kDirOk) {
    return termValue.code;
  }
  add(kFilterAttribute, name, syntax);
  add(opToken, std::monostate{}, 0);
  add(kFilterValue, termValue.value, syntax);
  if (code == kDirOk && termValue.isTime) {
    conversion.timeStamp = std::get<DirTimeStamp>(termValue.value);
  }
  return code;
}

int32_t ConvertFilter(std::string_view filterText, FilterConversion& conversion) {
  if (!ParenthesesBalanced(filterText)) {
    return kDirInvalidFilter;
  }
  int32_t code = kDirOk;
  for (const std::string& line : FilterToLines(filterText)) {
    code = AddFilterLine(conversion, line);
    if (code != kDirOk) {
      break;
    }
  }
  if (!conversion.started) {
    // Nothing to search for: refused here rather than handing the client a filter never begun.
    return code != kDirOk ? code : kDirInvalidFilter;
  }
  const int32_t endCode = conversion.sink.AddToken(kFilterEnd, std::monostate{}, 0);
  return code != kDirOk ? code : endCode;
}

int32_t DSSearch(DirClient& client, DirContext context, const std::string& baseName,
                 const std::string& filterText, int scope, TStringList& results) {
  if (scope < 0) {
    return kDirInvalidRequest;
  }
  if (!ParenthesesBalanced(filterText)) {
    return kDirInvalidFilter;
  }

  ScopedDirBuffer filterBuffer(client);
  ScopedDirBuffer resultBuffer(client);
  int32_t code = filterBuffer.Allocate(kSearchBufferSize);
  if (code == kDirOk) {
    code = resultBuffer.Allocate(kSearchBufferSize);
  }
  if (code == kDirOk) {
    code = client.DirInitBuffer(context, kDirOperationSearchFilter, filterBuffer.Get());
  }
  if (code != kDirOk) {
    return code;
  }

  ClientFilterSink sink(client, context);
  FilterConversion conversion(sink);
  code = ConvertFilter(filterText, conversion);
  if (code != kDirOk) {
    return code;
  }
  code = sink.PutFilter(filterBuffer.Get());
  if (code != kDirOk) {
    return code;
  }

  ScopedDirContext searching(client);
  code = searching.Duplicate(context);
  if (code != kDirOk) {
    return code;
  }
  int32_t iterationHandle = -1;
  do {
    if (!ContinueAfterMessages()) {
      return kWorkStopped;
    }
    code = client.DirSearch(searching.Get(), baseName, scope, 0, filterBuffer.Get(),
                            conversion.timeStamp, 0, 0, nullptr, iterationHandle, 0, nullptr,
                            resultBuffer.Get());
    if (code != kDirOk) {
      break;
    }
    uint32_t count = 0;
    code = client.DirGetObjectCount(searching.Get(), resultBuffer.Get(), count);
    if (code != kDirOk) {
      break;
    }
    for (uint32_t i = 0; i < count; ++i) {
      if (!ContinueAfterMessages()) {
        return kWorkStopped;
      }
      std::string name;
      uint32_t attributeCount = 0;
      DirObjectInfo info;
      code =
          client.DirGetObjectName(searching.Get(), resultBuffer.Get(), name, attributeCount, info);
      if (code == kDirOk) {
        results.Add(std::move(name), 1);
        ReportEntriesRead(1);
      } else if (code == kDirBufferEmpty) {
        // Past the batch's last object every further read fails the same way.
        break;
      }
    }
  } while (iterationHandle != -1);
  return code;
}

namespace {

// Whether `buffer` now holds `text` converted as DSSearch converts it.
bool HoldsFilter(DirClient& client, DirContext context, const std::string& text,
                 ScopedDirBuffer& buffer) {
  ClientFilterSink sink(client, context);
  FilterConversion conversion(sink);
  return buffer.Allocate(kSearchBufferSize) == kDirOk &&
         client.DirInitBuffer(context, kDirOperationSearchFilter, buffer.Get()) == kDirOk &&
         ConvertFilter(text, conversion) == kDirOk && sink.PutFilter(buffer.Get()) == kDirOk;
}

}  // namespace

void DSReadAheadWithin(DirClient& client, DirContext context,
                       const std::vector<std::string>& objectNames,
                       const std::vector<std::string>& attributeNames, const std::string& baseName,
                       const std::string& filterText) {
  ScopedDirBuffer filter(client);
  if (HoldsFilter(client, context, filterText, filter)) {
    static_cast<void>(
        client.DirReadAheadWithin(context, objectNames, attributeNames, baseName, filter.Get()));
  } else {
    static_cast<void>(client.DirReadAhead(context, objectNames, attributeNames));
  }
}

void DSSearchAhead(DirClient& client, DirContext context, const std::string& baseName,
                   const std::vector<std::string>& filterTexts, int scope) {
  // The buffers live until the client has them.
  std::deque<ScopedDirBuffer> buffers;
  std::vector<DirBuffer> filters;
  for (const std::string& text : filterTexts) {
    if (HoldsFilter(client, context, text, buffers.emplace_back(client))) {
      filters.push_back(buffers.back().Get());
    }
  }
  if (!filters.empty()) {
    static_cast<void>(client.DirSearchAhead(context, baseName, scope, filters));
  }
}
