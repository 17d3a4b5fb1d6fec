#pragma once

#include <initializer_list>
#include <string>

namespace qb {

// The frame the plug-in's pages share: a post form, the version line, the menu above and below
// the body, the fields that bring a post back to the plug-in's link, and the note for guests.

// A page menu: "Refresh" linking to `refresh` (already escaped), then a link to each page of
// `pages` that is enabled (0 the device list, 1 charts, 2 setup, 3 debug), in that order, joined
// by " | " (none after the last page of the list).
std::string MenuLinks(const std::string& refresh, std::initializer_list<int> pages);

// The menu: Refresh, then Charts, Setup and Debug when those pages are enabled.
std::string PageMenu();

// Everything before the page body. `empty_heading` opens with an empty heading (debug and detail
// pages) instead of a paragraph end.
std::string PageTop(bool empty_heading);

// Everything after the page body: closes the body's table and the form, repeats the menu and,
// for a guest, says that changes are not possible.
std::string PageBottom();

// The program version as the pages show it ("1.6.0").
std::string VersionText();

}  // namespace qb
