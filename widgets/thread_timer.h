#pragma once
// TThreadTimer: a millisecond timer component. By default it ticks from a
// thread of its own that sleeps for the interval and hands each tick to the
// GUI thread (waiting for it, so ticks come every interval plus the time a
// tick takes); in the non-threaded mode it ticks from a QTimer of the thread
// that owns it (the stand-in for a hidden window with a window timer).

#include <QObject>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace widgets {

// A component event: called with the component as sender.
using TNotifyEvent = std::function<void(QObject* sender)>;

enum class TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

class TTimerThread;

class TThreadTimer : public QObject {
  Q_OBJECT

 public:
  explicit TThreadTimer(QObject* owner = nullptr);
  ~TThreadTimer() override;
  TThreadTimer(const TThreadTimer&) = delete;
  TThreadTimer& operator=(const TThreadTimer&) = delete;

  // Each setter re-arms the timer when the value changes (ThreadPriority only
  // in the threaded mode; OnTimer on every assignment).
  bool Enabled() const { return enabled_.load(); }
  void SetEnabled(bool value);
  unsigned Interval() const { return interval_; }
  void SetInterval(unsigned value);
  // With SyncEvent the threaded tick runs on the GUI thread, else on the timer thread.
  bool SyncEvent() const { return syncEvent_; }
  void SetSyncEvent(bool value);
  bool Threaded() const { return threaded_; }
  void SetThreaded(bool value);
  TThreadPriority ThreadPriority() const { return priority_; }
  void SetThreadPriority(TThreadPriority value);
  TNotifyEvent OnTimer() const;
  void SetOnTimer(TNotifyEvent handler);

  // One tick: calls OnTimer when the timer is enabled, not being destroyed
  // and has a handler. The clock calls it; callers may too.
  void Tick();

  // True while a clock (thread or QTimer) is armed to deliver ticks.
  bool IsRunning() const;

 private:
  friend class TTimerThread;
  void RearmTimer();
  void StopWindowTimer();

  // Read by the timer thread when ticks run there (SyncEvent off).
  std::atomic<bool> enabled_{true};
  std::atomic<bool> destroying_{false};
  mutable std::mutex handlerMutex_;
  unsigned interval_ = 1000;
  bool syncEvent_ = true;
  bool threaded_ = true;
  TThreadPriority priority_ = TThreadPriority::tpNormal;
  TNotifyEvent onTimer_;  // guarded by handlerMutex_

  std::unique_ptr<TTimerThread> thread_;
  std::unique_ptr<QTimer> windowTimer_;
};

}  // namespace widgets
