// TThreadTimer: ticks on the GUI thread (threaded and window modes), on the
// timer thread without SyncEvent, re-arming, and destruction that never hangs.

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QThread>

#include <atomic>
#include <thread>

#include "tests/widgets/gif_test_util.h"
#include "widgets/thread_timer.h"

using namespace widgets;

namespace {

void Pump(int milliseconds, const std::function<bool()>& done = nullptr) {
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < milliseconds && !(done && done())) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::msleep(1);
  }
}

TEST(ThreadTimerTest, Defaults) {
  TThreadTimer timer;
  EXPECT_TRUE(timer.Enabled());
  EXPECT_EQ(timer.Interval(), 1000u);
  EXPECT_TRUE(timer.SyncEvent());
  EXPECT_TRUE(timer.Threaded());
  EXPECT_EQ(timer.ThreadPriority(), TThreadPriority::tpNormal);
  EXPECT_FALSE(timer.IsRunning());  // no handler
}

TEST(ThreadTimerTest, TicksArriveOnTheGuiThreadInBothModes) {
  gif_test::EnsureApp();
  for (bool threaded : {true, false}) {
    TThreadTimer timer;
    timer.SetThreaded(threaded);
    timer.SetInterval(5);
    int ticks = 0;
    bool offThread = false;
    timer.SetOnTimer([&](QObject* sender) {
      EXPECT_EQ(sender, &timer);
      ++ticks;
      offThread = offThread || QThread::currentThread() != QCoreApplication::instance()->thread();
    });
    EXPECT_TRUE(timer.IsRunning());
    Pump(3000, [&] { return ticks >= 5; });
    EXPECT_GE(ticks, 5) << "threaded " << threaded;
    EXPECT_FALSE(offThread) << "threaded " << threaded;
  }
}

TEST(ThreadTimerTest, WithoutSyncEventTicksRunOnTheTimerThread) {
  gif_test::EnsureApp();
  TThreadTimer timer;
  timer.SetSyncEvent(false);
  timer.SetInterval(2);
  std::atomic<int> ticks{0};
  std::atomic<bool> onGui{false};
  const std::thread::id gui = std::this_thread::get_id();
  timer.SetOnTimer([&](QObject*) {
    ++ticks;
    if (std::this_thread::get_id() == gui) onGui = true;
  });
  QElapsedTimer clock;
  clock.start();
  while (ticks < 3 && clock.elapsed() < 3000) QThread::msleep(2);  // no event loop needed
  EXPECT_GE(ticks.load(), 3);
  EXPECT_FALSE(onGui.load());
}

TEST(ThreadTimerTest, RearmingStartsAndStopsTheClock) {
  gif_test::EnsureApp();
  TThreadTimer timer;
  int ticks = 0;
  timer.SetInterval(3);
  timer.SetOnTimer([&](QObject*) { ++ticks; });
  struct TStep {
    const char* name;
    std::function<void()> change;
    bool running;
  } steps[] = {
      {"disabled", [&] { timer.SetEnabled(false); }, false},
      {"enabled", [&] { timer.SetEnabled(true); }, true},
      {"interval 0", [&] { timer.SetInterval(0); }, false},
      {"interval 4", [&] { timer.SetInterval(4); }, true},
      {"no handler", [&] { timer.SetOnTimer(nullptr); }, false},
      {"handler again", [&] { timer.SetOnTimer([&](QObject*) { ++ticks; }); }, true},
      {"window mode", [&] { timer.SetThreaded(false); }, true},
      {"window mode disabled", [&] { timer.SetEnabled(false); }, false},
      {"threaded again", [&] { timer.SetEnabled(true); timer.SetThreaded(true); }, true},
      {"priority", [&] { timer.SetThreadPriority(TThreadPriority::tpHigher); }, true},
  };
  for (const TStep& step : steps) {
    step.change();
    EXPECT_EQ(timer.IsRunning(), step.running) << step.name;
    ticks = 0;
    Pump(step.running ? 3000 : 80, [&] { return step.running && ticks >= 2; });
    if (step.running) {
      EXPECT_GE(ticks, 2) << step.name;
    } else {
      EXPECT_EQ(ticks, 0) << step.name;
    }
  }
}

TEST(ThreadTimerTest, HandlerMayRearmItsOwnTimer) {
  gif_test::EnsureApp();
  TThreadTimer timer;
  timer.SetInterval(2);
  std::vector<unsigned> intervals;
  timer.SetOnTimer([&](QObject*) {
    intervals.push_back(timer.Interval());
    timer.SetInterval(timer.Interval() == 2 ? 3 : 2);  // as the animator does each frame
  });
  Pump(3000, [&] { return intervals.size() >= 6; });
  ASSERT_GE(intervals.size(), 6u);
  for (std::size_t i = 1; i < intervals.size(); ++i) EXPECT_NE(intervals[i], intervals[i - 1]);
}

TEST(ThreadTimerTest, DestructionNeverHangs) {
  gif_test::EnsureApp();
  // While ticks are queued for the GUI thread.
  for (int round = 0; round < 20; ++round) {
    auto timer = std::make_unique<TThreadTimer>();
    timer->SetInterval(1);
    timer->SetOnTimer([](QObject*) {});
    QThread::msleep(5);  // the thread queues a tick and waits for it
    timer.reset();
    QCoreApplication::processEvents();  // a stale tick must not run
  }
  // From inside its own tick.
  TThreadTimer* self = new TThreadTimer();
  bool deleted = false;
  self->SetInterval(1);
  self->SetOnTimer([&](QObject*) {
    if (!deleted) {
      deleted = true;
      delete self;
    }
  });
  Pump(3000, [&] { return deleted; });
  EXPECT_TRUE(deleted);
  // Without SyncEvent, while the handler runs on the timer thread.
  {
    TThreadTimer timer;
    timer.SetSyncEvent(false);
    timer.SetInterval(1);
    std::atomic<int> ticks{0};
    timer.SetOnTimer([&](QObject*) {
      ++ticks;
      QThread::msleep(3);
    });
    while (ticks < 2) QThread::msleep(1);
  }
  SUCCEED();
}

}  // namespace
