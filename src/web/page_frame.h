#pragma once

#include <string>

namespace qb {

// The frame the plug-in's pages share: a post form, the version line, the menu above and below
// the body, the fields that bring a post back to the plug-in's link, and the note for guests.

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
