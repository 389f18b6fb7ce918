#pragma once
// TPlacementStore: a non-visual component on a form that saves the form's
// window placement (normal rectangle, minimized and maximized positions, show
// state) to an ini file when the form closes and restores it each time the
// form is shown. It can also hold the form's minimum and maximum tracking
// sizes (TMinMaxInfo) and stop the user from resizing the form; both act
// through the form's size constraints.
//
// The store watches its form through an event filter: a show restores, a
// close that the form's own close handler accepts saves, and the form's
// destruction saves when nothing was saved since the last restore. Errors on
// those paths go to the exception display and never stop the show or close.
//
// Ini content, one section per form (keys in the order written):
//   Flags=<placement flags>            2 = restore to maximized (minimized form)
//   ShowCmd=<1 normal, 2 minimized, 3 maximized>
//   PixelsPerInch=<logical pixels per inch of the screen>
//   MinMaxPos(<w>x<h>)=<minX>,<minY>,<maxX>,<maxY>   and the same under MinMaxPos
//   NormPos(<w>x<h>)=<left>,<top>,<right>,<bottom>   and the same under NormPos
//   ActiveControl=<name>               only with fpActiveControl
//   Visible=<1 when saved because the form was being destroyed, else 0>
// NormPos holds the form's normal client rectangle (Qt's normal geometry),
// so a window comes back exactly where it was whatever its frame.
//
// A relative IniFileName lies in the user's settings directory
// (QStandardPaths::AppConfigLocation).

#include <QFlags>
#include <QObject>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <QWidget>

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>

#include "widgets/thread_timer.h"  // TNotifyEvent

namespace fw {
class TIniFile;
}

namespace widgets {

class TPlacementStore;

// The form's minimum and maximum sizes; 0 means "not set". Tracking sizes
// bound the user's resizing; the maximized size and position have no
// counterpart in Qt's window management and are kept only.
class TMinMaxInfo {
 public:
  explicit TMinMaxInfo(TPlacementStore* owner = nullptr) : owner_(owner) {}
  TMinMaxInfo(const TMinMaxInfo&) = delete;
  TMinMaxInfo& operator=(const TMinMaxInfo&) = delete;

  int32_t MaxPosLeft() const { return values_[kMaxPosLeft]; }
  void SetMaxPosLeft(int32_t value) { SetValue(kMaxPosLeft, value); }
  int32_t MaxPosTop() const { return values_[kMaxPosTop]; }
  void SetMaxPosTop(int32_t value) { SetValue(kMaxPosTop, value); }
  int32_t MaxSizeHeight() const { return values_[kMaxSizeHeight]; }
  void SetMaxSizeHeight(int32_t value) { SetValue(kMaxSizeHeight, value); }
  int32_t MaxSizeWidth() const { return values_[kMaxSizeWidth]; }
  void SetMaxSizeWidth(int32_t value) { SetValue(kMaxSizeWidth, value); }
  int32_t MaxTrackHeight() const { return values_[kMaxTrackHeight]; }
  void SetMaxTrackHeight(int32_t value) { SetValue(kMaxTrackHeight, value); }
  int32_t MaxTrackWidth() const { return values_[kMaxTrackWidth]; }
  void SetMaxTrackWidth(int32_t value) { SetValue(kMaxTrackWidth, value); }
  int32_t MinTrackHeight() const { return values_[kMinTrackHeight]; }
  void SetMinTrackHeight(int32_t value) { SetValue(kMinTrackHeight, value); }
  int32_t MinTrackWidth() const { return values_[kMinTrackWidth]; }
  void SetMinTrackWidth(int32_t value) { SetValue(kMinTrackWidth, value); }

  // Copies all eight values.
  void Assign(const TMinMaxInfo& source);
  // True when no value is set.
  bool DefaultMinMaxInfo() const;

 private:
  enum TIndex {
    kMaxPosLeft,
    kMaxPosTop,
    kMaxSizeHeight,
    kMaxSizeWidth,
    kMaxTrackHeight,
    kMaxTrackWidth,
    kMinTrackHeight,
    kMinTrackWidth,
    kValueCount
  };
  void SetValue(TIndex index, int32_t value);

  std::array<int32_t, kValueCount> values_{};
  TPlacementStore* owner_;
};

enum class TPlacementOption { fpState = 0x1, fpPosition = 0x2, fpActiveControl = 0x4 };
using TPlacementOptions = QFlags<TPlacementOption>;
Q_DECLARE_OPERATORS_FOR_FLAGS(TPlacementOptions)

// What the store needs to know about the screen.
struct TScreenInfo {
  int Width = 0;
  int Height = 0;
  int PixelsPerInch = 96;
};

class TPlacementStore : public QObject {
  Q_OBJECT

 public:
  // The store belongs to `form` (its parent) and watches it from now on.
  explicit TPlacementStore(QWidget* form);
  ~TPlacementStore() override;
  TPlacementStore(const TPlacementStore&) = delete;
  TPlacementStore& operator=(const TPlacementStore&) = delete;

  // Without Active nothing is saved or restored on the form's events.
  bool Active() const { return active_; }
  void SetActive(bool value) { active_ = value; }
  // Empty means DefaultIniFileName().
  const QString& IniFileName() const { return iniFileName_; }
  void SetIniFileName(const QString& value) { iniFileName_ = value; }
  // Empty means DefaultSectionOf(form). Windows-1251 bytes.
  const std::string& IniSection() const { return iniSection_; }
  void SetIniSection(const std::string& value) { iniSection_ = value; }
  TMinMaxInfo& MinMaxInfo() { return minMaxInfo_; }
  void SetMinMaxInfo(const TMinMaxInfo& value) { minMaxInfo_.Assign(value); }
  TPlacementOptions Options() const { return options_; }
  void SetOptions(TPlacementOptions value) { options_ = value; }
  bool PreventResize() const { return preventResize_; }
  void SetPreventResize(bool value);
  // Kept for the form's description; there is no registry, the ini file is used.
  bool UseRegistry() const { return useRegistry_; }
  void SetUseRegistry(bool value) { useRegistry_ = value; }

  TNotifyEvent OnSavePlacement;
  TNotifyEvent OnRestorePlacement;

  // Called when the form has been built: notes the form's maximize button and
  // applies PreventResize and MinMaxInfo. The first show calls it when the
  // form has not.
  void Loaded();
  // Writes the placement; does nothing while Active and not restored yet, so
  // a form whose placement was never restored keeps the stored one.
  void SavePlacement();
  void RestorePlacement();

  // True after a save, until the next restore; true after the first restore.
  bool Saved() const { return saved_; }
  bool Restored() const { return restored_; }
  // The minimized and maximized positions as last restored, adjusted or saved.
  QPoint MinPosition() const { return minPos_; }
  QPoint MaxPosition() const { return maxPos_; }

  // The full name of the ini file used.
  QString IniFilePath() const;

  // The shared ini access calls. WriteIniText wraps a value that starts and
  // ends with a double quote, or with a single quote, in one more pair of
  // double quotes, so that reading it back keeps its quotes.
  static std::string ReadIniText(const fw::TIniFile& ini, const std::string& section, const std::string& key,
                                 const std::string& defaultValue);
  static void WriteIniText(fw::TIniFile& ini, const std::string& section, const std::string& key,
                           const std::string& value);
  static int32_t ReadIniNumber(const fw::TIniFile& ini, const std::string& section, const std::string& key,
                               int32_t defaultValue);
  static void WriteIniNumber(fw::TIniFile& ini, const std::string& section, const std::string& key, int32_t value);
  // A window's class name (without namespaces); other components' object name.
  static std::string DefaultSectionOf(const QObject* component);
  // The program's file name with its extension changed to ".INI".
  static QString DefaultIniFileName();

  // Where the screen's size and pixels per inch come from; empty means the
  // primary screen. Replaceable for tests and for screens that misreport.
  std::function<TScreenInfo()> ScreenInfoSource;

  // Shows an error that the store swallows on the form's show, close and
  // destroy paths. The application sets its message box here; by default the
  // text goes to the Qt warning log.
  static void SetExceptionDisplay(std::function<void(const std::exception&)> display);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  friend class TMinMaxInfo;

  std::string Section() const;
  TScreenInfo CurrentScreen() const;
  // Writing: the form's flags, show command, screen resolution, positions,
  // active control (when asked) and visible flag into its ini section.
  // Reading: the stored positions and state applied to the form. The public
  // SavePlacement / RestorePlacement wrap them with the file and the events.
  void WriteWindowState(fw::TIniFile& ini);
  void ReadWindowState(const fw::TIniFile& ini);
  void RestoreActiveControl(const fw::TIniFile& ini);
  void UpdatePlacement();
  void UpdateHook();
  void ApplyConstraints();
  void LiftConstraints();
  void SetMaximizeButton(bool present);
  void FormShow();
  bool FormCloseQuery(QEvent* event);
  void FormDestroy();
  bool IsSizeable() const;
  void ShowException(const std::exception& error) const;

  QWidget* form_;  // cleared when the form is gone
  bool formDying_ = false;               // the form's destructor is running
  mutable std::string defaultSection_;  // the form's class name while it had one
  bool active_ = true;
  QString iniFileName_;
  std::string iniSection_;
  TMinMaxInfo minMaxInfo_{this};
  TPlacementOptions options_ = TPlacementOption::fpState | TPlacementOption::fpPosition;
  bool preventResize_ = false;
  bool useRegistry_ = false;

  bool loaded_ = false;
  bool saved_ = false;
  bool restored_ = false;
  bool destroying_ = false;
  bool hadMaximizeButton_ = true;
  Qt::WindowFlags originalFlags_;
  bool hookInstalled_ = false;
  QSize formMinimum_;  // the form's own constraints while the hook overrides them
  QSize formMaximum_;

  int flags_ = 0;
  QPoint minPos_{-1, -1};
  QPoint maxPos_{-1, -1};
};

}  // namespace widgets
