#include "app/xml_text.h"

#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>
#include <algorithm>
#include <string_view>

namespace {

// U+2028 in UTF-8: a line end inside a block.
constexpr std::string_view kLineBreak = "\xE2\x80\xA8";

// The lines `block` shows unwrapped: one more than the breaks inside it. Kept in the block's user
// state, which outlasts the layout's resets.
void CountLines(QTextBlock block) {
  block.setUserState(static_cast<int>(block.text().count(QChar::LineSeparator)) + 1);
  if (block.layout()->lineCount() == 0) {
    block.setLineCount(block.userState());
  }
}

}  // namespace

TXmlTextLayout::TXmlTextLayout(QTextDocument* document) : QPlainTextDocumentLayout(document) {
  // A view that changes width lays the whole document out afresh, and that takes every block it
  // has not laid out again for one line; the counts kept in the blocks put it right.
  connect(this, &QAbstractTextDocumentLayout::update, this, [this] {
    if (!changing_ && this->document()->lineCount() != countedLines_) {
      CountAll();
    }
  });
}

void TXmlTextLayout::documentChanged(int from, int charsRemoved, int charsAdded) {
  // The base announces the change before the new blocks are counted.
  changing_ = true;
  QPlainTextDocumentLayout::documentChanged(from, charsRemoved, charsAdded);
  changing_ = false;
  const QTextBlock last = document()->findBlock(from + charsAdded);
  for (QTextBlock block = document()->findBlock(from); block.isValid(); block = block.next()) {
    CountLines(block);
    if (block == last) {
      break;
    }
  }
  countedLines_ = document()->lineCount();
}

void TXmlTextLayout::CountAll() {
  for (QTextBlock block = document()->firstBlock(); block.isValid(); block = block.next()) {
    if (block.layout()->lineCount() == 0) {
      block.setLineCount(std::max(1, block.userState()));
    }
  }
  countedLines_ = document()->lineCount();
}

QTextDocument* NewXmlText(QPlainTextEdit& view) {
  const QTextDocument& shown = *view.document();
  auto* text = new QTextDocument(&view);
  text->setDocumentLayout(new TXmlTextLayout(text));
  text->setDefaultFont(shown.defaultFont());
  text->setDefaultTextOption(shown.defaultTextOption());
  text->setDocumentMargin(shown.documentMargin());
  // Filled without an undo history: the user's undo starts at the document as built.
  text->setUndoRedoEnabled(false);
  return text;
}

void AppendXmlLines(QTextDocument& text, const std::vector<std::string>& lines, size_t from,
                    size_t to) {
  // Decoded as one text: a QString per line costs as much again as taking the lines in.
  size_t size = 0;
  for (size_t i = from; i < to; ++i) {
    size += lines[i].size() + kLineBreak.size();
  }
  std::string piece;
  piece.reserve(size);
  for (size_t i = from; i < to; ++i) {
    if (i > 0) {
      piece += i % kXmlGroupLines == 0 ? std::string_view("\n") : kLineBreak;
    }
    piece += lines[i];
  }
  QTextCursor end(&text);
  end.movePosition(QTextCursor::End);
  end.insertText(QString::fromUtf8(piece.data(), static_cast<qsizetype>(piece.size())));
}

QString XmlTextReading(const std::vector<std::string>& lines) {
  QTextDocument text;
  text.setUndoRedoEnabled(false);
  AppendXmlLines(text, lines, 0, lines.size());
  return text.toPlainText();
}
