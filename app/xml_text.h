#pragma once
// The XML page's text: documents of millions of lines taken into a QPlainTextEdit in a fraction
// of the time a text block per line costs it (some 4 µs a line, ten seconds for the largest
// trees). The lines go in groups of kXmlGroupLines, broken inside a group by U+2028, which the
// view shows, scrolls and gives back as line ends like any other.
#include <QPlainTextDocumentLayout>
#include <QString>
#include <cstddef>
#include <string>
#include <vector>

class QPlainTextEdit;
class QTextDocument;

inline constexpr size_t kXmlGroupLines = 128;

// A plain-text layout that keeps each block's line count at the number of lines it holds, laid
// out or not. The view sizes its scroll bar by those counts and takes every block it has not laid
// out as one line, which a group of lines is not.
class TXmlTextLayout : public QPlainTextDocumentLayout {
 public:
  explicit TXmlTextLayout(QTextDocument* document);

 protected:
  void documentChanged(int from, int charsRemoved, int charsAdded) override;

 private:
  void CountAll();

  int countedLines_ = 0;  // the document's line count when the blocks were last counted
  bool changing_ = false;
};

// A new, empty document for `view`: its face, tab stops and margin, a TXmlTextLayout, and
// `view` as its parent. It is not shown until the caller hands it to the view.
[[nodiscard]] QTextDocument* NewXmlText(QPlainTextEdit& view);

// Appends lines [from, to) of `lines` (UTF-8) to `text`, grouped as above; `from` counts from the
// document's first line, and `text` must hold lines [0, from) already.
void AppendXmlLines(QTextDocument& text, const std::vector<std::string>& lines, size_t from,
                    size_t to);

// The text a view shows of `lines` as it gives it back (toPlainText), without showing them.
[[nodiscard]] QString XmlTextReading(const std::vector<std::string>& lines);
