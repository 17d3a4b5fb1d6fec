#pragma once

#include <optional>
#include <string>

#include "platform/html_escape.h"  // EscapeHtml, for every page

namespace qb {

// The HTML fragments every page repeats. Arguments are inserted as they are: text that comes from
// device names, locations, status texts, comments or posted values goes through EscapeHtml first.

// <a href="{url}">{text}</a> and CR LF.
std::string MakeLink(const std::string& url, const std::string& text);
// An opening cell tag, no line break. align: 1 right, 2 left, 3 center, other values none.
std::string MakeCell(const std::string& cls, int colspan, int align, bool nowrap);
// An opening table tag and CR LF; the width, when given, is in percent.
std::string MakeTable(int border, int spacing, std::optional<int> width = std::nullopt);
// A hidden form field, no line break.
std::string MakeHidden(const std::string& name, const std::string& value);
// A submit button of class "formbutton" and CR LF.
std::string MakeButton(const std::string& name, const std::string& value);

// True unless the web user of the request is the guest (any case); the local user and every other
// name may make changes.
bool IsNotGuest();
// Whether the registry has a channel record with this key (a posted key is looked up without
// creating one).
bool ChannelExists(const std::string& key);
// The one rule for who is the guest, for the pages and the JSON API alike: the name "guest" in
// any case.
bool IsGuestUser(std::string user);

}  // namespace qb
