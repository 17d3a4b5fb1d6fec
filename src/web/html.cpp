#include "web/html.h"

#include <algorithm>
#include <cctype>

#include "core/host_calls.h"
#include "registry/records.h"

namespace qb {

std::string MakeLink(const std::string& url, const std::string& text) {
  return "<a href=\"" + url + "\">" + text + "</a>\r\n";
}

std::string MakeCell(const std::string& cls, int colspan, int align, bool nowrap) {
  std::string cell = "<td";
  if (nowrap) cell += " nowrap";
  switch (align) {
    case 1:
      cell += " align=\"right\"";
      break;
    case 2:
      cell += " align=\"left\"";
      break;
    case 3:
      cell += " align=\"center\"";
      break;
    default:
      break;
  }
  cell += " colspan=\"" + std::to_string(colspan) + "\"";
  if (!cls.empty()) cell += " class=\"" + cls + "\"";
  return cell + ">";
}

std::string MakeTable(int border, int spacing, std::optional<int> width) {
  return "<table border=\"" + std::to_string(border) + "\" cellpadding=\"0\" cellspacing=\"" +
         std::to_string(spacing) + "\" " +
         (width ? "width=\"" + std::to_string(*width) + "%\"" : std::string()) + "> \r\n";
}

std::string MakeHidden(const std::string& name, const std::string& value) {
  return "<input type=\"hidden\" name=\"" + name + "\" value=\"" + value + "\">";
}

std::string MakeButton(const std::string& name, const std::string& value) {
  return "<input class=\"formbutton\" type=\"submit\" name=\"" + name + "\" value=\"" + value +
         "\">\r\n";
}

bool IsGuestUser(std::string user) {
  std::transform(user.begin(), user.end(), user.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return user == "GUEST";
}

bool IsNotGuest() {
  std::string user;
  Skip([&] { user = Host().WEBLoggedInUser(); });
  return !IsGuestUser(user);
}

bool ChannelExists(const std::string& key) {
  const auto rom = gROMs().FindParent(key);
  if (!rom || !rom->Devices) return false;
  const auto devices = rom->Devices->DevList;
  for (const auto& d : devices) {
    if (d && d->ROM == key) return true;
  }
  return false;
}

}  // namespace qb
