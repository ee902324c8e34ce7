// Assembly of the install document from the checked items' attributes.
#include "xmlexport/install_document.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "directory/d_nw_list.h"
#include "util/hooks.h"
#include "util/numbers.h"
#include "util/text.h"
#include "xmlexport/d_xml.h"

namespace {

constexpr std::string_view kIndent = "     ";
constexpr std::string_view kDeepIndent = "          ";

// Privilege texts by bit, from bit value 1 up to 64.
constexpr std::array<std::string_view, 7> kPrivileges = {"Browse", "Create",     "Delete", "8",
                                                         "16",     "Supervisor", "64"};

}  // namespace

void XmlDocumentLines::AppendLine(std::string_view text) {
  size_t start = 0;
  while (true) {
    const size_t end = text.find("\r\n", start);
    if (end == std::string_view::npos) {
      lines_.emplace_back(text.substr(start));
      return;
    }
    lines_.emplace_back(text.substr(start, end - start));
    start = end + 2;
  }
}

void XmlDocumentText::AppendLine(std::string_view text) {
  constexpr size_t kPieceBytes = 1 << 20;
  const size_t size = text.size() + 2;
  if (pieces_.empty() || pieces_.back().capacity() - pieces_.back().size() < size) {
    pieces_.emplace_back().reserve(std::max(kPieceBytes, size));
  }
  // A CR LF inside `text` ends a line here as it does in the lines kept apart.
  pieces_.back() += text;
  pieces_.back() += "\r\n";
}

std::string XmlTextFaultText(const XmlTextFault& fault) {
  std::string text = fault.attributeName.empty()
                         ? "the name " + ReplaceBadXmlText(fault.objectName)
                         : fault.attributeName + " of " + ReplaceBadXmlText(fault.objectName);
  text += ", byte offset " + std::to_string(fault.bad.offset) + ": ";
  std::array<char, 16> hex{};
  if (fault.bad.character) {
    std::snprintf(hex.data(), hex.size(), "U+%04X", static_cast<unsigned>(*fault.bad.character));
    text += std::string(hex.data()) + " is not a character an XML document can hold";
  } else {
    std::snprintf(hex.data(), hex.size(), "0x%02X", static_cast<unsigned>(fault.bad.byte));
    text += "byte " + std::string(hex.data()) + " is not valid UTF-8";
  }
  return text;
}

void XmlInstallWriter::Note(const std::string& objectName, std::string_view attributeName,
                            std::string_view value, size_t offset) {
  if (textFault_) {
    return;
  }
  if (const std::optional<XmlBadText> bad = FindBadXmlText(value)) {
    textFault_ = XmlTextFault{objectName, std::string(attributeName),
                              XmlBadText{offset + bad->offset, bad->character, bad->byte}};
  }
}

void XmlInstallWriter::IndentedLine(std::string_view indent, std::string_view text) {
  line_.assign(indent);
  line_ += text;
  sink_.AppendLine(line_);
}

void XmlInstallWriter::ElementLine(std::string_view indent, std::string_view elementName,
                                   std::string_view value) {
  line_.assign(indent);
  AppendXmlElement(line_, elementName, value);
  sink_.AppendLine(line_);
}

void XmlInstallWriter::Indented(std::string_view elementName, std::string_view value) {
  ElementLine(kIndent, elementName, value);
}

void XmlInstallWriter::XmlAddStdAttributes(const std::string& objectName) {
  // A dot escaped in the name belongs to its leaf ("Audit v1\.2"), as its other escapes do.
  const std::string id(FirstNamePart(objectName));
  Note(objectName, "", id, 0);
  Indented("id", id);
  std::optional<XmlBadText> badParameter;
  const std::string parameters =
      ParametersToXml(source_, objectName, "rbsParameters", badParameter);
  if (badParameter && !textFault_) {
    textFault_ = XmlTextFault{objectName, "rbsParameters", *badParameter};
  }
  if (!parameters.empty()) {
    sink_.AppendLine(parameters);
  }
  AttributeListToXml(objectName, "rbsTargetObjectType", false, "object-type-name");
  AttributeListToXml(objectName, "rbsEntryPoint", false, "class-name");
  AttributeListToXml(objectName, "rbsContentMembership", true, "role-assignment");
  AttributeListToXml(objectName, "rbsPageMembership", false, "page-assignment");
}

void XmlInstallWriter::AttributeListToXml(const std::string& objectName,
                                          const std::string& attributeName, bool cutAtFirstDot,
                                          std::string_view elementName) {
  TStringList values;
  if (source_.ReadValues(objectName, attributeName, values) != 0) {
    return;
  }
  size_t offset = 0;
  for (const TStringList::Entry& value : values) {
    const std::string_view text =
        cutAtFirstDot ? FirstNamePart(value.text) : std::string_view(value.text);
    Note(objectName, attributeName, text, offset);
    Indented(elementName, text);
    offset += value.text.size() + 2;
  }
}

void XmlInstallWriter::RightsToXml(const std::string& objectName,
                                   const std::string& attributeName) {
  TStringList values;
  if (source_.ReadValues(objectName, attributeName, values) != 0) {
    return;
  }
  size_t offset = 0;
  for (const TStringList::Entry& value : values) {
    const size_t valueOffset = offset;
    offset += value.text.size() + 2;
    if (value.text.find(';') == std::string::npos) {
      continue;
    }
    // TextToInt gives -1 both for a text that is no number and for one beyond 32 bits, so
    // every unusable rights part ends up here.
    const int32_t rights = TextToInt(TextAfter(value.text, ";", true));
    if (rights < 0) {
      continue;
    }
    const std::string_view name = std::string_view(value.text).substr(0, value.text.find(';'));
    Note(objectName, attributeName, name, valueOffset);
    IndentedLine(kIndent, "<rights-assignment>");
    ElementLine(kDeepIndent, "attribute-name", name);
    PrivilegesToXml(rights);
    IndentedLine(kIndent, "</rights-assignment>");
  }
}

void XmlInstallWriter::PrivilegesToXml(int32_t rights) {
  for (size_t bit = 0; bit < kPrivileges.size(); ++bit) {
    if ((rights & (1 << bit)) != 0) {
      ElementLine(kDeepIndent, "privilege", kPrivileges[bit]);
    }
  }
}

void XmlInstallWriter::ModuleVersion(const std::string& objectName) {
  std::string info;
  // A module without the attribute still gets its version line, from the empty text.
  static_cast<void>(source_.ReadText(objectName, "rbsXMLInfo", info));
  const std::string beforeEnd = TextBefore(info, "</version", true);
  const size_t start = beforeEnd.find("<version>");
  const std::string version = TextAfter(beforeEnd, "<version>", true);
  Note(objectName, "rbsXMLInfo", version,
       start == std::string::npos ? 0 : start + std::string_view("<version>").size());
  Indented("version", version);
}

void XmlInstallWriter::Blocks(const std::vector<std::string>& checked, std::string_view kind,
                              BlockEnd end) {
  const BusyCursorScope busy;
  const std::string opening = "<" + std::string(kind) + ">";
  const std::string closing = "</" + std::string(kind) + ">";
  // Called alone, a kind's blocks are all the items there are, and the objects read next.
  const int64_t total =
      documentItems_ > 0 ? documentItems_ : itemsDone_ + static_cast<int64_t>(checked.size());
  if (documentItems_ == 0) {
    source_.Expect(checked);
  }
  for (const std::string& name : checked) {
    if (source_.Unreachable() || stopped_) {
      return;
    }
    if (!ContinueAfterMessages()) {
      stopped_ = true;
      return;
    }
    sink_.AppendLine(opening);
    XmlAddStdAttributes(name);
    if (end == BlockEnd::kVersion) {
      ModuleVersion(name);
    } else if (end == BlockEnd::kRights) {
      RightsToXml(name, "rbsTaskRights");
    }
    sink_.AppendLine(closing);
    sink_.AppendLine("");
    ReportItemsDone(++itemsDone_, total);
  }
}

void XmlInstallWriter::SaveModulesXml(const std::vector<std::string>& checked) {
  Blocks(checked, "module", BlockEnd::kVersion);
}

void XmlInstallWriter::SaveCategoriesXml(const std::vector<std::string>& checked) {
  Blocks(checked, "category", BlockEnd::kNothing);
}

void XmlInstallWriter::SaveRolesXML(const std::vector<std::string>& checked) {
  Blocks(checked, "role", BlockEnd::kNothing);
}

void XmlInstallWriter::SaveBooksXml(const std::vector<std::string>& checked) {
  Blocks(checked, "book", BlockEnd::kNothing);
}

void XmlInstallWriter::SaveTasksXml(const std::vector<std::string>& checked) {
  Blocks(checked, "task", BlockEnd::kRights);
}

void XmlInstallWriter::WriteDocument(const XmlCheckedItems& items) {
  const BusyCursorScope busy;
  documentItems_ =
      static_cast<int64_t>(items.modules.size() + items.categories.size() + items.roles.size() +
                           items.books.size() + items.tasks.size());
  ReportItemsDone(itemsDone_, documentItems_);
  // The whole document's objects at once, in the order the blocks read them.
  std::vector<std::string> objects;
  objects.reserve(static_cast<size_t>(documentItems_));
  for (const auto* kind :
       {&items.modules, &items.categories, &items.roles, &items.books, &items.tasks}) {
    objects.insert(objects.end(), kind->begin(), kind->end());
  }
  source_.Expect(objects);
  sink_.AppendLine("<install>");
  sink_.AppendLine("");
  SaveModulesXml(items.modules);
  SaveCategoriesXml(items.categories);
  SaveRolesXML(items.roles);
  SaveBooksXml(items.books);
  SaveTasksXml(items.tasks);
  if (stopped_) {
    return;
  }
  sink_.AppendLine("");
  sink_.AppendLine("</install>");
}

std::vector<std::string> BuildInstallDocument(const XmlAttributeSource& source,
                                              const XmlCheckedItems& items) {
  XmlDocumentLines lines;
  XmlInstallWriter(source, lines).WriteDocument(items);
  return lines.TakeLines();
}
