#include "logging/database_browser.h"

#include <algorithm>

#include "core/plugin_state.h"
#include "logging/database_logging.h"
#include "platform/database.h"
#include "platform/event_loop.h"

namespace qb {

namespace {

bool Contains(std::string text, const std::string& upper_part) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text.find(upper_part) != std::string::npos;
}

// Clears the browsing flag however the browsing ends.
struct Browsing {
  explicit Browsing(DatabaseBrowserLists& lists) : lists_(lists) { lists_.browsing = true; }
  ~Browsing() { lists_.browsing = false; }
  DatabaseBrowserLists& lists_;
};

bool ListTables(DatabaseBrowserLists& lists) {
  const std::string text = lists.connection_text;
  if (text.empty()) return false;
  Browsing browsing(lists);
  try {
    auto connection = OpenDatabase(text);
    lists.tables.clear();
    for (const auto& table : connection->Tables()) {
      if (Contains(table.Type, "TABLE") && !Contains(table.Type, "SYSTEM")) {
        lists.tables.push_back(table.Name);
        lists.table = table.Name;
      }
      Loop().DoEvents();
    }
    connection->Close();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void ListColumns(DatabaseBrowserLists& lists) {
  {
    Browsing browsing(lists);
    for (auto& list : lists.column_lists) list.clear();
    try {
      auto connection = OpenDatabase(lists.connection_text);
      for (const auto& column : connection->Columns(lists.table)) {
        for (auto& list : lists.column_lists) list.push_back(column.Name);
        switch (column.Type) {
          case field_type::kInteger:
          case field_type::kDouble:
            lists.columns[2] = column.Name;
            break;
          case field_type::kDate:
          case field_type::kTimestamp:
            lists.columns[1] = column.Name;
            break;
          case field_type::kChar:
          case field_type::kText:
            lists.columns[0] = column.Name;
            break;
          default:
            break;
        }
      }
      connection->Close();
    } catch (const std::exception&) {
      return;
    }
  }
  BuildInsertPrefix(lists);
}

}  // namespace

void BuildInsertPrefix(DatabaseBrowserLists& lists) {
  lists.sql_text = qb::BuildInsertPrefix(lists.table, lists.columns);
}

void BrowseDatabase(int mode, DatabaseBrowserLists& lists) {
  if (mode == 1) {
    if (ListTables(lists)) ListColumns(lists);
  } else if (mode == 2) {
    ListColumns(lists);
  }
}

}  // namespace qb
