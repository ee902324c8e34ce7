#pragma once
// An attribute source over a table of values, for tests that need exact attribute texts without
// a directory. Reads of anything not in the table fail with the directory's no-such-attribute
// code, as the directory does.
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "util/text.h"
#include "xmlexport/attribute_source.h"

class TableAttributeSource : public XmlAttributeSource {
 public:
  static constexpr int32_t kNoSuchAttribute = -603;
  static constexpr int32_t kLostServer = -625;

  void Set(const std::string& object, const std::string& attribute,
           std::vector<std::string> values) {
    values_[{object, attribute}] = std::move(values);
  }

  // From the `read`-th read on (1 = the first), every read fails as on a lost server.
  void LoseServerAtRead(int read) { lostAt_ = read; }

  int32_t ReadValues(const std::string& objectName, const std::string& attributeName,
                     TStringList& values) const override {
    ++reads_;
    if (Unreachable()) {
      return kLostServer;
    }
    const auto found = values_.find({objectName, attributeName});
    if (found == values_.end()) {
      return kNoSuchAttribute;
    }
    for (const std::string& value : found->second) {
      values.Add(value);
    }
    return 0;
  }

  int32_t ReadText(const std::string& objectName, const std::string& attributeName,
                   std::string& text) const override {
    TStringList values;
    const int32_t code = ReadValues(objectName, attributeName, values);
    std::string joined;
    for (const TStringList::Entry& entry : values) {
      joined += entry.text + "\r\n";
    }
    text = TrimRightChars(joined, "\r\n");
    return code;
  }

  [[nodiscard]] int Reads() const { return reads_; }
  [[nodiscard]] bool Unreachable() const override { return lostAt_ > 0 && reads_ >= lostAt_; }

 private:
  std::map<std::pair<std::string, std::string>, std::vector<std::string>> values_;
  mutable int reads_ = 0;
  int lostAt_ = 0;
};
