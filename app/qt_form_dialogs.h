#pragma once
// The window's dialogs on screen: Qt message boxes and the Qt file-save dialog, behind the
// FormDialogs seam the window is given.
#include <QWidget>

#include "app/form_dialogs.h"

class QMessageBox;

// The program's title: the application's name on the desktop and the title of its message boxes.
inline constexpr const char* kApplicationTitle = "iManager: Save Role and Property Book Info";

// Gives `box` the program's title and makes it wide enough for the window manager to show that
// title whole above a short message.
void TitleMessageBox(QMessageBox& box);

class QtFormDialogs : public FormDialogs {
 public:
  // `owner` (may be null) is the window the boxes are modal to; it must outlive the dialogs.
  explicit QtFormDialogs(QWidget* owner = nullptr) : owner_(owner) {}
  void SetOwner(QWidget* owner) { owner_ = owner; }

  void ShowError(const std::string& text) override;
  [[nodiscard]] std::optional<std::string> ExecuteSave(const TSaveDialog& dialog) override;

 private:
  QWidget* owner_;
};

// "Caption|*.a;*.b|Caption2|*.c" as Qt name filters ("Caption (*.a *.b)", "Caption2 (*.c)"). A
// trailing caption without pattern is dropped.
[[nodiscard]] QStringList QtNameFilters(const std::string& filter);
