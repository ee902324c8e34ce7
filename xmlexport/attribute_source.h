#pragma once
// Where the install document reads an object's attributes: the directory in the program and
// the command-line export, a table of texts in tests. The two reads are those of the directory
// layer, with their codes.
#include <cstdint>
#include <string>
#include <vector>

#include "util/string_list.h"

class XmlAttributeSource {
 public:
  virtual ~XmlAttributeSource() = default;

  // Appends the values of `attributeName` of `objectName` (a complete name) to `values` as text
  // entries, in the directory's order; a non-zero code when the object or attribute cannot be
  // read.
  [[nodiscard]] virtual int32_t ReadValues(const std::string& objectName,
                                           const std::string& attributeName,
                                           TStringList& values) const = 0;

  // All values as one text, each followed by CR LF and then every trailing CR and LF removed;
  // `text` is set whatever the code ("" when nothing was read).
  [[nodiscard]] virtual int32_t ReadText(const std::string& objectName,
                                         const std::string& attributeName,
                                         std::string& text) const = 0;

  // The objects whose attributes the document reads next, in this order; a source whose reads
  // wait for a server may ask for them ahead. Changes no answer.
  virtual void Expect(const std::vector<std::string>& /*objectNames*/) const {}

  // True once a read has failed because the directory's server was lost: the rest of the
  // document cannot be read, and its writing stops there.
  [[nodiscard]] virtual bool Unreachable() const { return false; }
};
