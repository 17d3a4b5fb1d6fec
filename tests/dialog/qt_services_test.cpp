// The Qt event loop as the plug-in uses it: timers that never re-enter their own tick, work handed
// over from other threads, and a stop that frees the threads still waiting.
#include "dialog/qt_services.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <atomic>
#include <thread>

namespace qb::test {
namespace {

using namespace std::chrono_literals;

TEST(QtEventLoopTest, TicksDoNotReEnterInvokeRunsOnTheLoopAndQuitReleasesWaiters) {
  dialog::QtEventLoop loop;
  int ticks = 0, depth = 0, max_depth = 0;
  std::atomic<bool> ran_on_loop{false};
  std::atomic<int> invoked{0};
  TimerId timer = 0;
  timer = loop.AddTimer(1ms, [&] {
    ++ticks;
    max_depth = std::max(max_depth, ++depth);
    // A pause inside the tick: the same timer is due again but must not run inside it.
    const auto until = std::chrono::steady_clock::now() + 5ms;
    while (std::chrono::steady_clock::now() < until) loop.DoEvents();
    --depth;
    if (ticks >= 3 && invoked != 0) loop.Quit();  // stops once the other thread was served
  });
  loop.SetTimerEnabled(timer, true);
  EXPECT_TRUE(loop.TimerEnabled(timer));

  const auto loop_thread = std::this_thread::get_id();
  std::thread worker([&] {
    invoked = loop.Invoke([&] { ran_on_loop = std::this_thread::get_id() == loop_thread; }) ? 1 : 2;
  });
  loop.Run();
  worker.join();
  EXPECT_EQ(invoked, 1);
  EXPECT_TRUE(ran_on_loop);
  EXPECT_GE(ticks, 3);
  EXPECT_EQ(max_depth, 1);
  EXPECT_GT(loop.TimeInDoEvents(), 0ns);

  // After the loop stopped, Invoke says the work did not run instead of waiting for ever.
  std::thread late([&] { invoked = loop.Invoke([] {}) ? 1 : 2; });
  late.join();
  EXPECT_EQ(invoked, 2);
}

}  // namespace
}  // namespace qb::test
