#pragma once
// The window's side of long work: while one of its operations runs, the status bar tells how far
// it has got and shows a Stop button; Esc or the button asks the operation to stop, and every
// other user input that arrives while it lets messages run is dropped.
#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

class QEvent;
class QToolButton;
class TClickableStatusBar;

class TWorkMonitor : public QObject {
  Q_OBJECT
 public:
  // Adds the hidden Stop button to `statusBar` and installs the work hook and the stop input
  // filter of the message pump; both are removed again when the monitor goes.
  explicit TWorkMonitor(TClickableStatusBar& statusBar);
  ~TWorkMonitor() override;
  TWorkMonitor(const TWorkMonitor&) = delete;
  TWorkMonitor& operator=(const TWorkMonitor&) = delete;

  // One operation of the window, a handler from its start to its end; an operation begun inside
  // another belongs to the outer one. The outermost one starts with no stop request and nothing
  // counted, and puts back the status bar's own text if a stopped one left its note there. At its
  // end the Stop button goes; a stopped operation leaves "<activity> stopped: ..." in the bar,
  // any other the bar's own text.
  class Operation {
   public:
    explicit Operation(TWorkMonitor& monitor) : monitor_(monitor) { monitor_.Begin(); }
    ~Operation() { monitor_.End(); }
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

   private:
    TWorkMonitor& monitor_;
  };

  // What the running operation does now, shown before its count ("Listing .Sales.Org").
  void SetActivity(const QString& activity);
  // What the running operation has done, for the bar when it ends ("Check Dependent Tasks: 3
  // tasks checked for 2 roles"). Work that has shown its progress and was not stopped leaves it
  // there for OutcomeTime, or without one its activity and count; then the bar's own text comes
  // back.
  void SetOutcome(const QString& outcome);
  // "1 task", "10,000 tasks": a count with its thousands grouped and the word that fits it.
  [[nodiscard]] static QString Counted(int64_t count, const char* one, const char* many);
  // True when the user has asked the running operation (or, after it, the last one) to stop.
  [[nodiscard]] bool StopRequested() const { return stopRequested_; }
  // Asks the running operation to stop; nothing outside one.
  void RequestStop();

  // Work shorter than this shows no progress, so that quick listings do not flicker.
  std::chrono::milliseconds ProgressDelay{250};
  // How long the bar tells what long work did.
  std::chrono::milliseconds OutcomeTime{10'000};

  QToolButton* ButtonStop;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Begin();
  void End();
  void EntriesRead(int64_t count);
  void ItemsDone(int64_t done, int64_t total, std::string_view many);
  // Shows the progress when the work has run for ProgressDelay, then at most every 50 ms.
  void Refresh();
  [[nodiscard]] QString CountText() const;
  // Writes the bar's text, remembering its own text the first time.
  void Say(const QString& text);
  void RestoreOwnText();
  bool Passes(QObject* receiver, QEvent* event);

  TClickableStatusBar& statusBar_;
  int depth_ = 0;
  bool stopRequested_ = false;
  QString activity_;
  QString outcome_;
  QTimer outcomeShown_;
  int64_t entries_ = 0;
  std::optional<std::pair<int64_t, int64_t>> items_;  // done and total, once items are reported
  QString itemsWord_;                                 // what they are, plural
  std::chrono::steady_clock::time_point begun_;
  std::optional<std::chrono::steady_clock::time_point> shownAt_;
  std::optional<QString> ownText_;  // the bar's text while ours stands in its place
};
