#include "widgets/placement.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMetaObject>
#include <QPointer>
#include <QScreen>
#include <QStandardPaths>
#include <QtGlobal>

#include <charconv>
#include <vector>

#include "framework/core/ini_file.h"

namespace widgets {

namespace {

const char kFlagsKey[] = "Flags";
const char kShowCmdKey[] = "ShowCmd";
const char kPixelsKey[] = "PixelsPerInch";
const char kMinMaxPosKey[] = "MinMaxPos";
const char kNormPosKey[] = "NormPos";
const char kActiveControlKey[] = "ActiveControl";
const char kVisibleKey[] = "Visible";

// Show commands of the stored placement.
constexpr int kShowNormal = 1;
constexpr int kShowMinimized = 2;
constexpr int kShowMaximized = 3;
// Placement flag: a minimized window goes back to maximized.
constexpr int kRestoreToMaximized = 2;

std::function<void(const std::exception&)>& ExceptionDisplay() {
  static std::function<void(const std::exception&)> display = [](const std::exception& error) {
    qWarning("%s", error.what());
  };
  return display;
}

std::string ScreenSuffix(const TScreenInfo& screen) {
  return "(" + std::to_string(screen.Width) + "x" + std::to_string(screen.Height) + ")";
}

std::string FourNumbers(int a, int b, int c, int d) {
  return std::to_string(a) + "," + std::to_string(b) + "," + std::to_string(c) + "," + std::to_string(d);
}

// The words of a position text, separated by blanks, tabs and commas.
std::vector<std::string> SplitWords(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == ',') {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

// Word `index` (0-based) of `words` as an integer: `missing` when there is no
// such word, 0 when it is not a number.
int WordNumber(const std::vector<std::string>& words, size_t index, int missing) {
  if (index >= words.size()) return missing;
  const std::string& word = words[index];
  const char* begin = word.data();
  const char* end = word.data() + word.size();
  if (begin != end && *begin == '+') ++begin;
  int value = 0;
  const auto [ptr, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || ptr != end) return 0;
  return value;
}

// The text of a position key: the one for this screen size, else the plain one.
std::string ReadPosition(const fw::TIniFile& ini, const std::string& section, const std::string& key,
                         const std::string& suffix) {
  std::string text = TPlacementStore::ReadIniText(ini, section, key + suffix, "");
  if (text.empty()) text = TPlacementStore::ReadIniText(ini, section, key, "");
  return text;
}

}  // namespace

// ---------------------------------------------------------------------------
// TMinMaxInfo

void TMinMaxInfo::SetValue(TIndex index, int32_t value) {
  if (values_[index] == value) return;
  values_[index] = value;
  if (owner_) owner_->UpdateHook();
}

void TMinMaxInfo::Assign(const TMinMaxInfo& source) {
  values_ = source.values_;
  if (owner_) owner_->UpdateHook();
}

bool TMinMaxInfo::DefaultMinMaxInfo() const {
  for (int32_t value : values_) {
    if (value != 0) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// TPlacementStore

TPlacementStore::TPlacementStore(QWidget* form) : QObject(form), form_(form) {
  if (form_ == nullptr || !form_->isWindow()) options_ = {};
  if (form_) {
    originalFlags_ = form_->windowFlags();
    defaultSection_ = DefaultSectionOf(form_);
    form_->installEventFilter(this);
    // A widget announces its destruction while it is still a whole widget
    // and before its children (this store among them) are deleted: that is
    // the form's destroy event.
    connect(form_, &QObject::destroyed, this, [this] {
      formDying_ = true;
      FormDestroy();
      form_ = nullptr;
    });
  }
}

TPlacementStore::~TPlacementStore() {
  if (!form_) return;  // the form is gone, and its constraints and flags with it
  // The store is removed from a living form: the form gets back what it had.
  form_->removeEventFilter(this);
  if (hookInstalled_) {
    LiftConstraints();
    hookInstalled_ = false;
  }
  if (loaded_ && preventResize_ && hadMaximizeButton_) SetMaximizeButton(true);
}

void TPlacementStore::SetExceptionDisplay(std::function<void(const std::exception&)> display) {
  ExceptionDisplay() = std::move(display);
}

void TPlacementStore::ShowException(const std::exception& error) const {
  if (ExceptionDisplay()) ExceptionDisplay()(error);
}

// ----- names ---------------------------------------------------------------

std::string TPlacementStore::DefaultSectionOf(const QObject* component) {
  if (component == nullptr) return std::string();
  const auto* widget = qobject_cast<const QWidget*>(component);
  if (widget == nullptr || !widget->isWindow()) {
    const QString name = component->objectName();
    if (!name.isEmpty()) return name.toLatin1().toStdString();
  }
  std::string className = component->metaObject()->className();
  const size_t colons = className.rfind("::");
  if (colons != std::string::npos) className.erase(0, colons + 2);
  return className;
}

QString TPlacementStore::DefaultIniFileName() {
  const QFileInfo program(QCoreApplication::applicationFilePath());
  return program.completeBaseName() + QStringLiteral(".INI");
}

QString TPlacementStore::IniFilePath() const {
  const QString name = iniFileName_.isEmpty() ? DefaultIniFileName() : iniFileName_;
  if (QDir::isAbsolutePath(name)) return name;
  return QDir(QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation)).filePath(name);
}

std::string TPlacementStore::Section() const {
  if (!iniSection_.empty()) return iniSection_;
  // A form in its destructor has lost its own class; it keeps the name it had.
  if (form_ != nullptr && !formDying_) defaultSection_ = DefaultSectionOf(form_);
  return defaultSection_;
}

TScreenInfo TPlacementStore::CurrentScreen() const {
  if (ScreenInfoSource) return ScreenInfoSource();
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return TScreenInfo{};
  return TScreenInfo{screen->geometry().width(), screen->geometry().height(),
                     qRound(screen->logicalDotsPerInch())};
}

// ----- shared ini access ---------------------------------------------------

std::string TPlacementStore::ReadIniText(const fw::TIniFile& ini, const std::string& section,
                                         const std::string& key, const std::string& defaultValue) {
  return ini.ReadString(section, key, defaultValue);
}

void TPlacementStore::WriteIniText(fw::TIniFile& ini, const std::string& section, const std::string& key,
                                   const std::string& value) {
  const bool quoted = !value.empty() && ((value.front() == '"' && value.back() == '"') ||
                                         (value.front() == '\'' && value.back() == '\''));
  ini.WriteString(section, key, quoted ? "\"" + value + "\"" : value);
}

int32_t TPlacementStore::ReadIniNumber(const fw::TIniFile& ini, const std::string& section, const std::string& key,
                                       int32_t defaultValue) {
  return ini.ReadInteger(section, key, defaultValue);
}

void TPlacementStore::WriteIniNumber(fw::TIniFile& ini, const std::string& section, const std::string& key,
                                     int32_t value) {
  ini.WriteInteger(section, key, value);
}

// ----- save ----------------------------------------------------------------

void TPlacementStore::SavePlacement() {
  if (!form_) return;
  if (active_ && !restored_) return;
  fw::TIniFile ini(QFile::encodeName(IniFilePath()).toStdString());
  WriteWindowState(ini);
  if (OnSavePlacement) OnSavePlacement(this);
  saved_ = true;
}

void TPlacementStore::WriteWindowState(fw::TIniFile& ini) {
  const std::string section = Section();
  const TScreenInfo screen = CurrentScreen();
  const std::string suffix = ScreenSuffix(screen);
  const Qt::WindowStates state = form_->windowState();
  int showCmd = kShowNormal;
  if (state & Qt::WindowMinimized) {
    showCmd = kShowMinimized;
  } else if (state & (Qt::WindowMaximized | Qt::WindowFullScreen)) {
    showCmd = kShowMaximized;
  }
  flags_ = (state & Qt::WindowMinimized) && (state & Qt::WindowMaximized) ? kRestoreToMaximized : 0;
  QRect normal = form_->normalGeometry();
  if (!normal.isValid() || !(state & (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen))) {
    normal = form_->geometry();
  }
  const std::string minMax = FourNumbers(minPos_.x(), minPos_.y(), maxPos_.x(), maxPos_.y());
  const std::string norm =
      FourNumbers(normal.left(), normal.top(), normal.left() + normal.width(), normal.top() + normal.height());

  WriteIniNumber(ini, section, kFlagsKey, flags_);
  WriteIniNumber(ini, section, kShowCmdKey, showCmd);
  WriteIniNumber(ini, section, kPixelsKey, screen.PixelsPerInch);
  WriteIniText(ini, section, kMinMaxPosKey + suffix, minMax);
  WriteIniText(ini, section, kMinMaxPosKey, minMax);
  WriteIniText(ini, section, kNormPosKey + suffix, norm);
  WriteIniText(ini, section, kNormPosKey, norm);
  if (options_.testFlag(TPlacementOption::fpActiveControl)) {
    const QWidget* focus = form_->focusWidget();
    if (focus != nullptr && focus != form_ && !focus->objectName().isEmpty()) {
      WriteIniText(ini, section, kActiveControlKey, focus->objectName().toLatin1().toStdString());
    }
  }
  ini.WriteBool(section, kVisibleKey, destroying_);
}

// ----- restore -------------------------------------------------------------

void TPlacementStore::RestorePlacement() {
  if (!form_) return;
  saved_ = false;
  const fw::TIniFile ini(QFile::encodeName(IniFilePath()).toStdString());
  ReadWindowState(ini);
  restored_ = true;
  if (OnRestorePlacement) OnRestorePlacement(this);
  if (options_.testFlag(TPlacementOption::fpActiveControl)) RestoreActiveControl(ini);
  UpdatePlacement();
}

bool TPlacementStore::IsSizeable() const {
  if (form_->windowFlags().testFlag(Qt::MSWindowsFixedSizeDialogHint)) return false;
  // The store's own resize prevention does not make the form unsizeable.
  const QSize minimum = hookInstalled_ ? formMinimum_ : form_->minimumSize();
  const QSize maximum = hookInstalled_ ? formMaximum_ : form_->maximumSize();
  return minimum != maximum;
}

void TPlacementStore::ReadWindowState(const fw::TIniFile& ini) {
  const bool position = options_.testFlag(TPlacementOption::fpPosition);
  const bool state = options_.testFlag(TPlacementOption::fpState);
  if (!position && !state) return;
  const std::string section = Section();
  const TScreenInfo screen = CurrentScreen();
  const std::string suffix = ScreenSuffix(screen);

  if (position) {
    const int flags = ReadIniNumber(ini, section, kFlagsKey, flags_);
    const std::string minMaxText = ReadPosition(ini, section, kMinMaxPosKey, suffix);
    const std::vector<std::string> minMax = SplitWords(minMaxText);
    const std::string normText = ReadPosition(ini, section, kNormPosKey, suffix);
    const std::vector<std::string> norm = SplitWords(normText);
    const QRect current = form_->geometry();
    int left = WordNumber(norm, 0, current.left());
    int top = WordNumber(norm, 1, current.top());
    int right = WordNumber(norm, 2, current.left() + current.width());
    int bottom = WordNumber(norm, 3, current.top() + current.height());
    const int pixels = ReadIniNumber(ini, section, kPixelsKey, screen.PixelsPerInch);
    if ((!minMaxText.empty() || !normText.empty()) && pixels == screen.PixelsPerInch) {
      if (!IsSizeable()) {
        right = left + current.width();
        bottom = top + current.height();
      }
      // A rectangle without width or height would leave the window unusable.
      if (left < right && top < bottom) {
        flags_ = flags;
        minPos_ = QPoint(WordNumber(minMax, 0, 0), WordNumber(minMax, 1, 0));
        maxPos_ = QPoint(WordNumber(minMax, 2, 0), WordNumber(minMax, 3, 0));
        QRect rect(left, top, right - left, bottom - top);
        // A rectangle that lies on no screen any more (a screen was removed)
        // comes back at the top left of the primary screen, keeping its size.
        QRect desktop;
        for (const QScreen* s : QGuiApplication::screens()) desktop |= s->geometry();
        if (!desktop.isEmpty() && !desktop.intersects(rect)) {
          const QScreen* primary = QGuiApplication::primaryScreen();
          rect.moveTopLeft(primary != nullptr ? primary->availableGeometry().topLeft() : QPoint(0, 0));
        }
        const bool lift = hookInstalled_;
        if (lift) LiftConstraints();
        const Qt::WindowStates old = form_->windowState();
        if (old & (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen)) {
          form_->setWindowState(Qt::WindowNoState);
          form_->setGeometry(rect);
          form_->setWindowState(old);
        } else {
          form_->setGeometry(rect);
        }
        if (lift) ApplyConstraints();
      }
    }
  }

  if (!state) return;
  enum class TState { kNormal, kMinimized, kMaximized } newState = TState::kNormal;
  switch (ReadIniNumber(ini, section, kShowCmdKey, 0)) {
    case 1: case 5: case 9: newState = TState::kNormal; break;
    case 2: case 6: case 7: newState = TState::kMinimized; break;
    case 3: newState = TState::kMaximized; break;
    default: break;
  }
  if (newState == TState::kMinimized) {
    // The form comes up normal and is minimized once it is on the screen.
    form_->setWindowState(Qt::WindowNoState);
    const Qt::WindowStates minimized =
        (flags_ & kRestoreToMaximized) ? (Qt::WindowMinimized | Qt::WindowMaximized) : Qt::WindowMinimized;
    QPointer<QWidget> form = form_;
    QMetaObject::invokeMethod(
        form_,
        [form, minimized] {
          if (form) form->setWindowState(minimized);
        },
        Qt::QueuedConnection);
    return;
  }
  form_->setWindowState(newState == TState::kMaximized ? Qt::WindowMaximized : Qt::WindowNoState);
  form_->update();
}

void TPlacementStore::RestoreActiveControl(const fw::TIniFile& ini) {
  const std::string name = ReadIniText(ini, Section(), kActiveControlKey, "");
  if (name.empty()) return;
  auto* control = form_->findChild<QWidget*>(QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size())));
  if (control == nullptr || control->isWindow() || !control->isEnabled() || control->focusPolicy() == Qt::NoFocus ||
      !control->isVisibleTo(form_)) {
    return;
  }
  control->setFocus(Qt::OtherFocusReason);
}

// After a restore the maximized position is set so that a maximized window's
// frame lies just outside the screen.
void TPlacementStore::UpdatePlacement() {
  if (!form_ || !loaded_ || form_->windowHandle() == nullptr) return;
  if (preventResize_ || !minMaxInfo_.DefaultMinMaxInfo()) return;
  if (form_->windowFlags().testFlag(Qt::FramelessWindowHint)) {
    maxPos_ = QPoint(0, 0);
    return;
  }
  const QRect frame = form_->frameGeometry();
  const QRect client = form_->geometry();
  maxPos_ = QPoint(-(client.left() - frame.left()), -(frame.bottom() - client.bottom()));
}

// ----- resize prevention and size limits --------------------------------------

void TPlacementStore::Loaded() {
  if (!form_) return;
  loaded_ = true;
  defaultSection_ = DefaultSectionOf(form_);
  originalFlags_ = form_->windowFlags();
  hadMaximizeButton_ = !originalFlags_.testFlag(Qt::CustomizeWindowHint) ||
                       originalFlags_.testFlag(Qt::WindowMaximizeButtonHint);
  if (preventResize_) SetMaximizeButton(false);
  UpdateHook();
}

void TPlacementStore::SetPreventResize(bool value) {
  if (value == preventResize_) return;
  preventResize_ = value;
  if (!form_ || !loaded_) return;
  if (hadMaximizeButton_) SetMaximizeButton(!value);
  UpdateHook();
  UpdatePlacement();
}

void TPlacementStore::SetMaximizeButton(bool present) {
  Qt::WindowFlags flags = form_->windowFlags();
  if (present) {
    flags = originalFlags_;
  } else {
    if (!flags.testFlag(Qt::CustomizeWindowHint)) {
      flags |= Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
               Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint;
    }
    flags &= ~Qt::WindowMaximizeButtonHint;
  }
  if (flags == form_->windowFlags()) return;
  const bool visible = form_->isVisible();
  form_->setWindowFlags(flags);  // hides a visible window
  if (visible) form_->show();
}

void TPlacementStore::UpdateHook() {
  if (!form_ || !loaded_) return;
  const bool needed = preventResize_ || !minMaxInfo_.DefaultMinMaxInfo();
  if (needed && !hookInstalled_) {
    formMinimum_ = form_->minimumSize();
    formMaximum_ = form_->maximumSize();
    hookInstalled_ = true;
  } else if (!needed && hookInstalled_) {
    LiftConstraints();
    hookInstalled_ = false;
    return;
  }
  if (hookInstalled_) ApplyConstraints();
}

void TPlacementStore::LiftConstraints() {
  form_->setMinimumSize(formMinimum_);
  form_->setMaximumSize(formMaximum_);
}

void TPlacementStore::ApplyConstraints() {
  if (preventResize_) {
    // The size may not change while the form is on the screen.
    if (form_->isVisible()) {
      form_->setFixedSize(form_->size());
    } else {
      LiftConstraints();
    }
    return;
  }
  QSize minimum = formMinimum_;
  QSize maximum = formMaximum_;
  if (minMaxInfo_.MinTrackWidth() != 0) minimum.setWidth(minMaxInfo_.MinTrackWidth());
  if (minMaxInfo_.MinTrackHeight() != 0) minimum.setHeight(minMaxInfo_.MinTrackHeight());
  if (minMaxInfo_.MaxTrackWidth() != 0) maximum.setWidth(minMaxInfo_.MaxTrackWidth());
  if (minMaxInfo_.MaxTrackHeight() != 0) maximum.setHeight(minMaxInfo_.MaxTrackHeight());
  form_->setMinimumSize(minimum);
  form_->setMaximumSize(maximum);
}

// ----- the form's events -----------------------------------------------------

bool TPlacementStore::eventFilter(QObject* watched, QEvent* event) {
  if (watched != form_) return false;
  switch (event->type()) {
    case QEvent::Show:
      // Showing again after a minimize is the window manager's doing, not a show of the form.
      if (!event->spontaneous()) FormShow();
      return false;
    case QEvent::Hide:
      if (!event->spontaneous() && hookInstalled_ && preventResize_) LiftConstraints();
      return false;
    case QEvent::Close:
      return FormCloseQuery(event);
    default:
      return false;
  }
}

void TPlacementStore::FormShow() {
  if (!loaded_) Loaded();
  if (active_) {
    try {
      RestorePlacement();
    } catch (const std::exception& error) {
      ShowException(error);
    }
  }
  if (hookInstalled_) ApplyConstraints();
}

bool TPlacementStore::FormCloseQuery(QEvent* event) {
  // The form's own close handler decides first.
  static_cast<QObject*>(form_)->event(event);
  if (event->isAccepted() && active_ && form_ && form_->windowHandle() != nullptr) {
    try {
      SavePlacement();
    } catch (const std::exception& error) {
      ShowException(error);
    }
  }
  return true;
}

void TPlacementStore::FormDestroy() {
  if (!active_ || saved_) return;
  destroying_ = true;
  try {
    SavePlacement();
  } catch (const std::exception& error) {
    ShowException(error);
  }
  destroying_ = false;
}

}  // namespace widgets
