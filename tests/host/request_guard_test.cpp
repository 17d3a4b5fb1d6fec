#include "host/request_guard.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace qb {
namespace {

TEST(RequestGuard, HostNamesMustNameTheServer) {
  const RequestGuard loopback("127.0.0.1");
  for (const char* ok : {"127.0.0.1:8080", "127.0.0.1", "localhost:8080", "LOCALHOST", "[::1]:80"})
    EXPECT_TRUE(loopback.HostAllowed(ok)) << ok;
  for (const char* bad : {"evil.example:8080", "192.168.1.5:8080", "", "127.0.0.1:80x", "[::1",
                          "localhost.evil.example"})
    EXPECT_FALSE(loopback.HostAllowed(bad)) << bad;

  char name[256] = {};
  ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
  const std::string machine = name;
  const RequestGuard lan("192.168.1.5");
  EXPECT_TRUE(lan.HostAllowed("192.168.1.5:8080"));
  EXPECT_TRUE(lan.HostAllowed(machine + ".home.arpa:8080"));
  EXPECT_FALSE(lan.HostAllowed("localhost:8080"));  // not where it listens
  EXPECT_FALSE(lan.HostAllowed("10.1.2.3:8080"));
  EXPECT_FALSE(lan.HostAllowed("rebind.evil.example:8080"));
  EXPECT_FALSE(lan.HostAllowed(machine + "x.evil.example:8080"));

  const RequestGuard any("0.0.0.0");
  EXPECT_TRUE(any.HostAllowed("10.1.2.3:8080"));
  EXPECT_TRUE(any.HostAllowed(machine + ":8080"));
  EXPECT_TRUE(any.HostAllowed("localhost"));
  EXPECT_FALSE(any.HostAllowed("rebind.evil.example:8080"));
  EXPECT_FALSE(loopback.HostAllowed(machine + ":8080"));  // loopback answers for loopback only
}

TEST(RequestGuard, ChangesComeOnlyFromTheServersOwnPages) {
  const std::string host = "127.0.0.1:8080";
  EXPECT_EQ(RequestGuard::CrossSiteProblem(host, "http://127.0.0.1:8080", ""), "");
  EXPECT_EQ(RequestGuard::CrossSiteProblem(host, "", "http://127.0.0.1:8080/1-Wire?PAGE=2"), "");
  EXPECT_EQ(RequestGuard::CrossSiteProblem(host, "", ""), "");  // curl and scripts
  EXPECT_NE(RequestGuard::CrossSiteProblem(host, "http://evil.example", ""), "");
  EXPECT_NE(RequestGuard::CrossSiteProblem(host, "null", ""), "");  // sandboxed frames
  EXPECT_NE(RequestGuard::CrossSiteProblem(host, "http://127.0.0.1:8081", ""), "");
  EXPECT_NE(RequestGuard::CrossSiteProblem(host, "", "http://127.0.0.1:8080.evil.example/"), "");
  // Origin decides when both are sent.
  EXPECT_NE(RequestGuard::CrossSiteProblem(host, "http://evil.example", "http://127.0.0.1:8080/"),
            "");
}

TEST(RequestGuard, MediaTypesAndPaths) {
  EXPECT_EQ(RequestGuard::MediaType("Application/JSON; charset=utf-8"), "application/json");
  EXPECT_EQ(RequestGuard::MediaType(""), "");
  EXPECT_TRUE(RequestGuard::PrintablePath("/1wire/ä.jpg"));
  EXPECT_FALSE(RequestGuard::PrintablePath(std::string("/1wire/a.txt\0.html", 17)));
  EXPECT_FALSE(RequestGuard::PrintablePath("/1wire/a\x7f"));
}

}  // namespace
}  // namespace qb
