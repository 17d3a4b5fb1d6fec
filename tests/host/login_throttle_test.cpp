#include "host/login_throttle.h"

#include <crypt.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "host/web_users.h"
#include "platform/clock.h"
#include "support/temp_dir.h"

namespace qb {
namespace {

using namespace std::chrono_literals;

// Five wrong guesses in a minute make the address wait; each new episode waits twice as long,
// is reported once, and another address meanwhile is not held up.
TEST(LoginThrottle, WaitsGrowPerEpisodeAndStayWithTheAddress) {
  SimulatedClock clock;
  LoginThrottle throttle(clock);
  const std::string guesser = "192.0.2.7", neighbour = "192.0.2.8";
  for (int i = 1; i < LoginThrottle::kFailuresAllowed; ++i) {
    EXPECT_FALSE(throttle.Failed(guesser, "admin")) << i;
    EXPECT_FALSE(throttle.Wait(guesser));
  }
  const auto first = throttle.Failed(guesser, "admin\x1b[2J");
  ASSERT_TRUE(first);
  EXPECT_NE(first->find("192.0.2.7"), std::string::npos) << *first;
  EXPECT_NE(first->find("30 s"), std::string::npos) << *first;
  EXPECT_EQ(first->find('\x1b'), std::string::npos) << "the guesser's text is logged raw";
  EXPECT_EQ(throttle.Wait(guesser), 30);
  EXPECT_FALSE(throttle.Wait(neighbour));
  clock.Advance(10s);
  EXPECT_EQ(throttle.Wait(guesser), 20);
  clock.Advance(20s);
  EXPECT_FALSE(throttle.Wait(guesser));

  std::optional<std::string> second;
  for (int i = 0; i < LoginThrottle::kFailuresAllowed; ++i) second = throttle.Failed(guesser, "x");
  ASSERT_TRUE(second);
  EXPECT_EQ(throttle.Wait(guesser), 60);
  clock.Advance(61s);
  for (int i = 0; i < LoginThrottle::kFailuresAllowed; ++i) throttle.Failed(guesser, "x");
  EXPECT_EQ(throttle.Wait(guesser), 120);

  // Slow guessing (four a minute) never waits.
  for (int minute = 0; minute < 5; ++minute) {
    clock.Advance(61s);
    for (int i = 1; i < LoginThrottle::kFailuresAllowed; ++i)
      EXPECT_FALSE(throttle.Failed(neighbour, "y"));
  }
  EXPECT_FALSE(throttle.Wait(neighbour));
}

// A correct login forgives the failures before it; an hour without failures forgets the episodes.
TEST(LoginThrottle, SuccessAndQuietForgive) {
  SimulatedClock clock;
  LoginThrottle throttle(clock);
  const std::string a = "10.0.0.5";
  for (int i = 1; i < LoginThrottle::kFailuresAllowed; ++i) throttle.Failed(a, "u");
  throttle.Succeeded(a);
  for (int i = 1; i < LoginThrottle::kFailuresAllowed; ++i) EXPECT_FALSE(throttle.Failed(a, "u"));
  EXPECT_TRUE(throttle.Failed(a, "u"));
  clock.Advance(2h);
  for (int i = 0; i < LoginThrottle::kFailuresAllowed; ++i) throttle.Failed(a, "u");
  EXPECT_EQ(throttle.Wait(a), 30) << "an episode an hour ago still doubles the wait";
}

// A wrong password for a name that is no user takes as long as for a real user's name: the time
// of an answer does not tell which names exist. (The hash is made slow so that the difference,
// should there be one, is a hundredfold, far beyond any noise.)
TEST(WebUsers, UnknownNamesCostAsMuchAsKnownOnes) {
  test::TempDir dir;
  crypt_data data;
  std::memset(&data, 0, sizeof data);
  const std::string hash = crypt_r("s3cret", "$6$rounds=200000$qbsalt$", &data);
  std::ofstream(dir.path() / "users") << "alice:" << hash << "\n";
  WebUsers users;
  ASSERT_EQ(users.Load(dir.path() / "users"), "");
  EXPECT_TRUE(users.Check("alice", "s3cret"));
  auto time = [&](const std::string& name) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(users.Check(name, "wrong"));
    return std::chrono::steady_clock::now() - start;
  };
  const auto known = time("alice");
  const auto unknown = time("mallory");
  EXPECT_GT(unknown * 4, known) << "an unknown name is answered at once";
}

}  // namespace
}  // namespace qb
