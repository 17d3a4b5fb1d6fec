#pragma once

#include <array>
#include <string>
#include <vector>

namespace qb {

// What the database browser of the Setup dialog shows: the connection-string text, the table
// list and choice, the three column lists (device identifier, date and time, reading) with their
// choices, and the SQL text box. The dialog (or a test) owns one and reacts to its changes.
struct DatabaseBrowserLists {
  std::string connection_text;
  std::vector<std::string> tables;
  std::string table;
  std::array<std::vector<std::string>, 3> column_lists;
  std::array<std::string, 3> columns;
  std::string sql_text;
  // True while the browser refills the lists: the dialog's list-change handlers do nothing then.
  bool browsing = false;
};

// The display names of the three column roles.
inline constexpr std::array<const char*, 3> kColumnRoles = {"Device ID", "Date/Time", "Reading"};

// Mode 1: lists the tables of the database in `connection_text` (the last one stays chosen), then
// runs mode 2. Mode 2: lists the chosen table's columns in the three lists and pre-selects, by
// kind, a text column for the identifier, a date column for the time and a number column for the
// reading (a later column of a kind replaces an earlier one), then rebuilds the SQL text.
// Mode 0 (editing the connection string in a dialog) belongs to the desktop dialog and does
// nothing here. An error ends the browsing quietly; the lists keep what was filled.
void BrowseDatabase(int mode, DatabaseBrowserLists& lists);

// The SQL text box from the chosen table and columns ("INSERT INTO T (a, b, c) VALUES").
void BuildInsertPrefix(DatabaseBrowserLists& lists);

}  // namespace qb
