#include "widgets/thread_timer.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>

#include "framework/core/exceptions.h"

namespace widgets {

// The timer's clock thread. It sleeps for its own copy of the interval while
// armed, then delivers a tick: with SyncEvent it posts the tick to the GUI
// thread and waits until it has run, else it runs the tick itself. It never
// blocks on the GUI thread without also listening for re-arming and for its
// end, so the GUI thread may re-arm or destroy the timer from inside a tick
// or while a tick is queued without a deadlock.
class TTimerThread : public QThread {
 public:
  explicit TTimerThread(TThreadTimer* timer) : timer_(timer), state_(std::make_shared<TState>()) {}
  ~TTimerThread() override { Finish(); }

  // Suspends (run false) or resumes (run true) the clock with a new interval.
  // Any sleep or queued tick in progress is abandoned.
  void Arm(unsigned interval, bool run, QThread::Priority priority) {
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      state_->interval = interval;
      state_->armed = run;
      ++state_->generation;
    }
    state_->cv.notify_all();
    if (run) {
      if (!isRunning()) {
        start(priority);
      } else {
        setPriority(priority);
      }
    }
  }

  void SetSync(bool sync) { state_->sync = sync; }

  bool Armed() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->armed && !state_->ending;
  }

  // Tells the thread to end and waits for it.
  void Finish() {
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      state_->ending = true;
    }
    state_->cv.notify_all();
    wait();
  }

 protected:
  void run() override {
    TState& s = *state_;
    std::unique_lock<std::mutex> lock(s.mutex);
    while (!s.ending) {
      if (!s.armed) {
        s.cv.wait(lock);
        continue;
      }
      const uint64_t generation = s.generation;
      const auto changed = [&] { return s.ending || s.generation != generation; };
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(s.interval);
      if (s.cv.wait_until(lock, deadline, changed)) continue;
      if (QCoreApplication::closingDown()) {
        s.cv.wait(lock, changed);
        continue;
      }
      if (s.sync) {
        const uint64_t token = ++s.tickToken;
        s.tickPending = true;
        TThreadTimer* timer = timer_;
        std::shared_ptr<TState> state = state_;
        QMetaObject::invokeMethod(
            timer, [timer, state, generation, token] { RunQueuedTick(timer, state, generation, token); },
            Qt::QueuedConnection);
        s.cv.wait(lock, [&] { return changed() || !s.tickPending; });
      } else {
        lock.unlock();
        timer_->Tick();
        lock.lock();
      }
    }
  }

 private:
  // What the thread and the ticks it queues share. A queued tick holds its
  // own reference, so the timer may even be destroyed by its own tick.
  struct TState {
    std::mutex mutex;
    std::condition_variable cv;
    std::atomic<bool> sync{true};
    bool armed = false;
    bool ending = false;
    bool tickPending = false;
    unsigned interval = 0;
    uint64_t generation = 0;
    uint64_t tickToken = 0;
  };

  // Runs on the GUI thread. A tick queued before a re-arm is dropped.
  static void RunQueuedTick(TThreadTimer* timer, const std::shared_ptr<TState>& state, uint64_t generation,
                            uint64_t token) {
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      if (state->ending || generation != state->generation || token != state->tickToken) return;
    }
    struct TDone {
      std::shared_ptr<TState> state;
      uint64_t token;
      ~TDone() {
        {
          std::lock_guard<std::mutex> lock(state->mutex);
          if (token == state->tickToken) state->tickPending = false;
        }
        state->cv.notify_all();
      }
    } done{state, token};
    timer->Tick();
  }

  TThreadTimer* timer_;
  std::shared_ptr<TState> state_;
};

namespace {

QThread::Priority ToQtPriority(TThreadPriority priority) {
  switch (priority) {
    case TThreadPriority::tpIdle: return QThread::IdlePriority;
    case TThreadPriority::tpLowest: return QThread::LowestPriority;
    case TThreadPriority::tpLower: return QThread::LowPriority;
    case TThreadPriority::tpNormal: return QThread::NormalPriority;
    case TThreadPriority::tpHigher: return QThread::HighPriority;
    case TThreadPriority::tpHighest: return QThread::HighestPriority;
    case TThreadPriority::tpTimeCritical: return QThread::TimeCriticalPriority;
  }
  return QThread::NormalPriority;
}

}  // namespace

TThreadTimer::TThreadTimer(QObject* owner) : QObject(owner) {}

TThreadTimer::~TThreadTimer() {
  destroying_ = true;
  enabled_ = false;
  {
    std::lock_guard<std::mutex> lock(handlerMutex_);
    onTimer_ = nullptr;
  }
  thread_.reset();  // ends the thread and waits for it
  StopWindowTimer();
  windowTimer_.reset();
}

void TThreadTimer::SetEnabled(bool value) {
  if (value == enabled_) return;
  enabled_ = value;
  RearmTimer();
}

void TThreadTimer::SetInterval(unsigned value) {
  if (value == interval_) return;
  interval_ = value;
  RearmTimer();
}

void TThreadTimer::SetSyncEvent(bool value) {
  syncEvent_ = value;
  if (thread_) thread_->SetSync(value);
}

void TThreadTimer::SetThreaded(bool value) {
  if (value == threaded_) return;
  threaded_ = value;
  RearmTimer();
}

void TThreadTimer::SetThreadPriority(TThreadPriority value) {
  if (value == priority_) return;
  priority_ = value;
  if (threaded_) RearmTimer();
}

void TThreadTimer::SetOnTimer(TNotifyEvent handler) {
  {
    std::lock_guard<std::mutex> lock(handlerMutex_);
    onTimer_ = std::move(handler);
  }
  RearmTimer();
}

TNotifyEvent TThreadTimer::OnTimer() const {
  std::lock_guard<std::mutex> lock(handlerMutex_);
  return onTimer_;
}

void TThreadTimer::Tick() {
  if (!enabled_ || destroying_) return;
  TNotifyEvent handler = OnTimer();  // a copy: the handler may replace itself
  if (handler) handler(this);
}

bool TThreadTimer::IsRunning() const {
  if (threaded_) return thread_ && thread_->Armed();
  return windowTimer_ && windowTimer_->isActive();
}

void TThreadTimer::StopWindowTimer() {
  if (windowTimer_) windowTimer_->stop();
}

void TThreadTimer::RearmTimer() {
  const bool run = interval_ != 0 && enabled_ && static_cast<bool>(OnTimer()) && !destroying_;
  if (threaded_) {
    StopWindowTimer();
    windowTimer_.reset();
    if (!thread_ && run) {
      thread_ = std::make_unique<TTimerThread>(this);
      thread_->SetSync(syncEvent_);
    }
    if (thread_) thread_->Arm(interval_, run, ToQtPriority(priority_));
    return;
  }
  if (thread_) thread_->Arm(interval_, false, ToQtPriority(priority_));
  if (!windowTimer_) {
    windowTimer_ = std::make_unique<QTimer>();
    connect(windowTimer_.get(), &QTimer::timeout, this, [this] { Tick(); });
  }
  windowTimer_->stop();
  if (!run) return;
  if (QAbstractEventDispatcher::instance(windowTimer_->thread()) == nullptr) {
    throw fw::EOutOfResources("Not enough timers available");
  }
  windowTimer_->start(static_cast<int>(std::min<unsigned>(interval_, 0x7fffffff)));
  if (!windowTimer_->isActive()) throw fw::EOutOfResources("Not enough timers available");
}

}  // namespace widgets
