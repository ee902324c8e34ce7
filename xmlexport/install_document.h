#pragma once
// The install document: "<install>", a block per checked module, category, role, property book
// and task, "</install>", written line by line to a sink that the window's text view, the
// command-line export and the tests implement alike.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "xmlexport/attribute_source.h"
#include "xmlexport/xml_check.h"

// Takes the document's lines as they are made.
class XmlLineSink {
 public:
  virtual ~XmlLineSink() = default;
  // Appends `text` as one line; a CR LF pair inside it starts a further line (the parameter
  // block arrives this way). Any other byte, a lone CR or LF included, stays in its line.
  virtual void AppendLine(std::string_view text) = 0;
};

// A sink that keeps the lines, split at CR LF, as a text view holds them.
class XmlDocumentLines : public XmlLineSink {
 public:
  void AppendLine(std::string_view text) override;
  [[nodiscard]] const std::vector<std::string>& Lines() const { return lines_; }
  // The lines, leaving the sink empty.
  [[nodiscard]] std::vector<std::string> TakeLines() { return std::exchange(lines_, {}); }
  void Clear() { lines_.clear(); }

 private:
  std::vector<std::string> lines_;
};

// A sink that keeps the document as its file's bytes, every line ended by CR LF: what
// XmlFileText makes of XmlDocumentLines' lines, without a string per line on the way. The bytes
// come in pieces of about a megabyte: one string, grown as the document is, would hold a large
// document twice over while it moves to a larger buffer.
class XmlDocumentText : public XmlLineSink {
 public:
  void AppendLine(std::string_view text) override;
  [[nodiscard]] const std::vector<std::string>& Pieces() const { return pieces_; }

 private:
  std::vector<std::string> pieces_;
};

// The checked entries of the five item lists, each in its list's order: complete object names.
struct XmlCheckedItems {
  std::vector<std::string> modules;
  std::vector<std::string> categories;
  std::vector<std::string> roles;
  std::vector<std::string> books;
  std::vector<std::string> tasks;
};

// Directory text that the document could not hold, and where it came from. The document has
// U+FFFD in its place, so it stays well-formed but has lost bytes.
struct XmlTextFault {
  std::string objectName;     // the item, as its list line names it
  std::string attributeName;  // empty when the fault is in the item's name
  // Its offset is counted in the name, or in the attribute's text (the values joined by CR LF).
  XmlBadText bad;
};

// The fault for a message: "<attribute> of <item>, byte offset <n>: byte 0x<hex> is not valid
// UTF-8" or "...: U+<hex> is not a character an XML document can hold"; "the name <item>, byte
// offset <n>: ..." for a fault in the name. Bad text in the item's name shows as U+FFFD.
[[nodiscard]] std::string XmlTextFaultText(const XmlTextFault& fault);

// Writes the blocks of the install document. Every attribute is read through `source`; an
// attribute that cannot be read adds no line and the writing goes on, unless the source has
// become unreachable: then no further line is written (a document so cut lacks its closing
// "</install>"). Text the document cannot hold is written as U+FFFD and the first such text is
// remembered.
class XmlInstallWriter {
 public:
  XmlInstallWriter(const XmlAttributeSource& source, XmlLineSink& sink)
      : source_(source), guard_(source, sink), sink_(guard_) {}
  XmlInstallWriter(const XmlInstallWriter&) = delete;
  XmlInstallWriter& operator=(const XmlInstallWriter&) = delete;

  // The lines every block shares: the id (the name up to its first unescaped "."), the parameter
  // block of "rbsParameters", then "object-type-name", "class-name", "role-assignment" (cut
  // likewise) and "page-assignment" lines from their attributes.
  void XmlAddStdAttributes(const std::string& objectName);
  // Five spaces and XmlElement(elementName, value) for each value of the attribute, the value
  // cut before its first unescaped "." when `cutAtFirstDot`; nothing when it cannot be read.
  void AttributeListToXml(const std::string& objectName, const std::string& attributeName,
                          bool cutAtFirstDot, std::string_view elementName);
  // A "rights-assignment" block for each value "attribute;rights" whose rights part is a
  // number from 0 to 2^31-1; other values are skipped.
  void RightsToXml(const std::string& objectName, const std::string& attributeName);
  // The "privilege" lines of one rights number: Browse, Create, Delete, 8, 16, Supervisor, 64
  // for the bits 1 to 64 that are set; bits of 128 and above are ignored.
  void PrivilegesToXml(int32_t rights);

  // The blocks of one kind, one per name, each followed by an empty line. A module block ends
  // with its "version" line from "rbsXMLInfo", a task block with its rights blocks from
  // "rbsTaskRights".
  void SaveModulesXml(const std::vector<std::string>& checked);
  void SaveCategoriesXml(const std::vector<std::string>& checked);
  void SaveRolesXML(const std::vector<std::string>& checked);
  void SaveBooksXml(const std::vector<std::string>& checked);
  void SaveTasksXml(const std::vector<std::string>& checked);

  // The whole document: "<install>", an empty line, the blocks of the five kinds in the order
  // above, an empty line, "</install>". Before each block it lets window messages run and, when
  // the user has asked to stop, writes no further line (Stopped()); after each block it reports
  // how many of the document's items are done (ReportItemsDone).
  void WriteDocument(const XmlCheckedItems& items);

  // True once a stop request ended the writing; the lines written are then no whole document.
  [[nodiscard]] bool Stopped() const { return stopped_; }

  // The first text written so far that the document could not hold; nullopt when there was none.
  [[nodiscard]] const std::optional<XmlTextFault>& FirstTextFault() const { return textFault_; }

 private:
  // Remembers the first bad text of `value`, found at `offset` of the attribute's text (or of
  // the name, for an empty `attributeName`).
  void Note(const std::string& objectName, std::string_view attributeName, std::string_view value,
            size_t offset);
  // `indent` and `text`, or `indent` and the element, as one line made in the writer's own line
  // buffer.
  void IndentedLine(std::string_view indent, std::string_view text);
  void ElementLine(std::string_view indent, std::string_view elementName, std::string_view value);
  // Five spaces and the element, the form of every indented line outside the parameter block.
  void Indented(std::string_view elementName, std::string_view value);
  void ModuleVersion(const std::string& objectName);
  enum class BlockEnd { kNothing, kVersion, kRights };
  void Blocks(const std::vector<std::string>& checked, std::string_view kind, BlockEnd end);

  // Passes lines on while the source is reachable.
  class ReachableLines : public XmlLineSink {
   public:
    ReachableLines(const XmlAttributeSource& source, XmlLineSink& sink)
        : source_(source), sink_(sink) {}
    void AppendLine(std::string_view text) override {
      if (!source_.Unreachable()) {
        sink_.AppendLine(text);
      }
    }

   private:
    const XmlAttributeSource& source_;
    XmlLineSink& sink_;
  };

  const XmlAttributeSource& source_;
  ReachableLines guard_;
  XmlLineSink& sink_;
  std::optional<XmlTextFault> textFault_;
  std::string line_;           // the line being made; kept only so that its room is reused
  int64_t documentItems_ = 0;  // the items of the document WriteDocument writes; 0 outside it
  int64_t itemsDone_ = 0;
  bool stopped_ = false;
};

// The document of `items` read through `source`, as its lines.
[[nodiscard]] std::vector<std::string> BuildInstallDocument(const XmlAttributeSource& source,
                                                            const XmlCheckedItems& items);
