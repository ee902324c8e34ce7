#include "tests/support/ldif_records.h"

#include <algorithm>

namespace {

std::string Folded(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

bool IsEntry(const LdifRecord& record) {
  const std::string dn = Folded(record.dn);
  return !dn.empty() && dn != "cn=schema" && dn != "cn=subschema";
}

}  // namespace

std::vector<LdifRecord> LdifRecords(std::string_view ldif) {
  std::vector<LdifRecord> records(1);
  bool inDn = false;
  size_t at = 0;
  while (at < ldif.size()) {
    size_t end = ldif.find('\n', at);
    end = end == std::string_view::npos ? ldif.size() : end + 1;
    const std::string_view line = ldif.substr(at, end - at);
    at = end;
    std::string_view bare = line;
    while (!bare.empty() && (bare.back() == '\n' || bare.back() == '\r'))
      bare.remove_suffix(1);
    if (bare.empty()) {
      if (!records.back().text.empty())
        records.emplace_back();
      inDn = false;
      continue;
    }
    LdifRecord& record = records.back();
    record.text += line;
    if (Folded(bare.substr(0, 3)) == "dn:" && record.dn.empty()) {
      std::string_view value = bare.substr(3);
      while (!value.empty() && value.front() == ' ')
        value.remove_prefix(1);
      record.dn = value;
      inDn = true;
    } else if (inDn && bare.front() == ' ') {
      record.dn += bare.substr(1);
    } else {
      inDn = false;
    }
  }
  if (records.back().text.empty())
    records.pop_back();
  // Each ends with its blank line, so that records join in any order.
  for (LdifRecord& record : records)
    record.text += record.text.ends_with('\n') ? "\n" : "\n\n";
  return records;
}

std::string SubtreeLdif(std::string_view ldif, std::string_view base) {
  const std::string folded = Folded(base);
  std::string out;
  for (const LdifRecord& record : LdifRecords(ldif)) {
    const std::string dn = Folded(record.dn);
    if (!IsEntry(record) || dn == folded || dn.ends_with("," + folded)) {
      out += record.text;
    }
  }
  return out;
}

std::string ReversedLdif(std::string_view ldif) {
  std::string out;
  std::vector<LdifRecord> entries;
  for (LdifRecord& record : LdifRecords(ldif)) {
    if (IsEntry(record))
      entries.push_back(std::move(record));
    else
      out += record.text;
  }
  std::reverse(entries.begin(), entries.end());
  for (const LdifRecord& record : entries)
    out += record.text;
  return out;
}
