#include "web/html.h"

#include <gtest/gtest.h>

#include "support/plugin_fixture.h"
#include "web/query.h"
#include "web/web_state.h"

namespace qb::test {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs Parsed(const std::string& text) {
  ParseQuery(text);
  Pairs out;
  for (const auto& p : Web().QueryPairs) out.emplace_back(p.name, p.value);
  return out;
}

class QueryTest : public ::testing::Test {
 protected:
  ~QueryTest() override { ResetWeb(); }
};

TEST_F(QueryTest, LinksAndPostsSplitIntoDecodedPairs) {
  EXPECT_EQ(Parsed("1-Wire?PAGE=2"), (Pairs{{"PAGE", "2"}}));
  EXPECT_EQ(Parsed("Update%41+1=On&ref_page=1-Wire"),
            (Pairs{{"UpdateA 1", "On"}, {"ref_page", "1-Wire"}}));
  EXPECT_EQ(Parsed("From=06+Dec+2026+10%3A00&To="),
            (Pairs{{"From", "06 Dec 2026 10:00"}, {"To", ""}}));
  EXPECT_EQ(Parsed("1-Wire"), Pairs{});
  // A plain "=" in a value uses up a pair; encoded ones stay in their value.
  EXPECT_EQ(Parsed("a=b=c"), (Pairs{{"a", "b=c"}, {"", ""}}));
  EXPECT_EQ(Parsed("x=1%262%3D3&y=4"), (Pairs{{"x", "1&2=3"}, {"y", "4"}}));
  // A new parse replaces the last one.
  EXPECT_EQ(Parsed("k=v"), (Pairs{{"k", "v"}}));
}

TEST_F(QueryTest, DecodingFollowsTheFormRules) {
  EXPECT_EQ(URLDecode(""), "");
  EXPECT_EQ(URLDecode("a+b%20c"), "a b c");
  EXPECT_EQ(URLDecode("%zz"), "%");        // malformed: "%" stays, two characters go
  EXPECT_EQ(URLDecode("ab%4"), "ab\x04");  // one digit at the end
  EXPECT_EQ(URLDecode("50%"), "50%");      // a "%" that ends the text
  EXPECT_EQ(URLDecode("%2541"), "%41");    // a decoded "%" is not decoded again
  EXPECT_EQ(URLDecode("%C2%BAC"),
            "\u00BA"
            "C");  // bytes pass through: UTF-8 stays UTF-8
  EXPECT_EQ(URLDecode("1-Wire?PAGE"), "PAGE");
  EXPECT_EQ(URLDecode("a%3Fb"), "a?b");  // a "?" is looked for after the escapes only
}

TEST_F(QueryTest, ValuesAreFoundByNameInAnyCase) {
  ParseQuery("Range=1&range=0&Name=Cellar");
  EXPECT_EQ(GetQueryValue("RANGE"), "1");
  EXPECT_EQ(GetQueryValue("name"), "Cellar");
  EXPECT_EQ(GetQueryValue("Missing"), "");
}

TEST(HtmlTest, FragmentsAreExact) {
  EXPECT_EQ(MakeLink("1-Wire?PAGE=0", "Refresh"), "<a href=\"1-Wire?PAGE=0\">Refresh</a>\r\n");
  EXPECT_EQ(MakeCell("tablecolumn", 1, 3, false),
            "<td align=\"center\" colspan=\"1\" class=\"tablecolumn\">");
  EXPECT_EQ(MakeCell("", 8, 0, true), "<td nowrap colspan=\"8\">");
  EXPECT_EQ(MakeCell("x", 2, 1, false), "<td align=\"right\" colspan=\"2\" class=\"x\">");
  EXPECT_EQ(MakeCell("x", 2, 2, false), "<td align=\"left\" colspan=\"2\" class=\"x\">");
  EXPECT_EQ(MakeTable(0, 1), "<table border=\"0\" cellpadding=\"0\" cellspacing=\"1\" > \r\n");
  EXPECT_EQ(MakeTable(0, 1, 100),
            "<table border=\"0\" cellpadding=\"0\" cellspacing=\"1\" width=\"100%\"> \r\n");
  EXPECT_EQ(MakeHidden("ref_page", "1-Wire"),
            "<input type=\"hidden\" name=\"ref_page\" value=\"1-Wire\">");
  EXPECT_EQ(MakeButton("UpdateB7", "Off"),
            "<input class=\"formbutton\" type=\"submit\" name=\"UpdateB7\" value=\"Off\">\r\n");
  EXPECT_EQ(EscapeHtml("<script>\"a\" & 'b'</script>"),
            "&lt;script&gt;&quot;a&quot; &amp; &#39;b&#39;&lt;/script&gt;");
}

class GuestTest : public PluginTest {
 protected:
  GuestTest() { ConnectHost(); }
};

TEST_F(GuestTest, OnlyTheGuestUserIsAGuest) {
  for (const char* guest : {"guest", "Guest", "GUEST"}) {
    host->web_user = guest;
    EXPECT_FALSE(IsNotGuest()) << guest;
  }
  for (const char* user : {"", "admin", "guests"}) {
    host->web_user = user;
    EXPECT_TRUE(IsNotGuest()) << user;
  }
}

}  // namespace
}  // namespace qb::test
