#include "platform/event_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

namespace qb {
namespace {

using namespace std::chrono_literals;

TEST(HeadlessEventLoop, TimersFireOnSimulatedTimeOnlyWhileEnabled) {
  SimulatedClock clock;
  HeadlessEventLoop loop(clock);
  int fast = 0, slow = 0;
  const TimerId t1 = loop.AddTimer(250ms, [&] { ++fast; });
  const TimerId t2 = loop.AddTimer(2000ms, [&] { ++slow; });
  loop.AdvanceAndRun(clock, 10s, 50ms);
  EXPECT_EQ(fast + slow, 0);  // created disabled
  loop.SetTimerEnabled(t1, true);
  loop.SetTimerEnabled(t2, true);
  EXPECT_TRUE(loop.TimerEnabled(t2));
  loop.AdvanceAndRun(clock, 10s, 50ms);
  EXPECT_EQ(fast, 40);
  EXPECT_EQ(slow, 5);
  loop.SetTimerEnabled(t1, false);
  loop.AdvanceAndRun(clock, 2s, 50ms);
  EXPECT_EQ(fast, 40);
  EXPECT_EQ(slow, 6);
}

TEST(HeadlessEventLoop, ATickThatYieldsIsNotReentered) {
  SimulatedClock clock;
  HeadlessEventLoop loop(clock);
  int depth = 0, max_depth = 0, ticks = 0;
  TimerId id = 0;
  id = loop.AddTimer(100ms, [&] {
    ++ticks;
    max_depth = std::max(max_depth, ++depth);
    clock.Advance(500ms);  // a long tick that lets events run
    loop.DoEvents();
    --depth;
  });
  loop.SetTimerEnabled(id, true);
  loop.AdvanceAndRun(clock, 1s, 100ms);
  EXPECT_EQ(max_depth, 1);
  EXPECT_GT(ticks, 0);
}

TEST(HeadlessEventLoop, OtherThreadsHandWorkToTheLoopThread) {
  SystemClock clock;
  HeadlessEventLoop loop(clock);
  std::thread loop_thread([&] { loop.Run(); });
  std::promise<std::thread::id> started;
  loop.Post([&] { started.set_value(std::this_thread::get_id()); });
  EXPECT_EQ(started.get_future().get(), loop_thread.get_id());
  std::thread::id ran_on;
  EXPECT_TRUE(loop.Invoke([&] { ran_on = std::this_thread::get_id(); }));
  EXPECT_EQ(ran_on, loop_thread.get_id());

  std::atomic<int> posted{0};
  loop.Post([&] { ++posted; });
  EXPECT_TRUE(loop.Invoke([] {}));  // runs after the posted task
  EXPECT_EQ(posted, 1);
  EXPECT_TRUE(loop.Invoke([] { throw std::runtime_error("a failing task"); }) == false);

  loop.Quit();
  loop_thread.join();
  EXPECT_FALSE(loop.Invoke([] {}));  // a stopped loop takes no more work
}

}  // namespace
}  // namespace qb
