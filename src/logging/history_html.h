#pragma once

#include <optional>
#include <string>

// The two HTML fragments the history block shares with the pages' helpers (web/html.h:
// MakeTable, MakeCell), written here so that the logging library does not depend on the web
// pages, which use it. The logging tests check that both give the same text.
namespace qb::history_html {

inline std::string Table(int border, int spacing) {
  return "<table border=\"" + std::to_string(border) + "\" cellpadding=\"0\" cellspacing=\"" +
         std::to_string(spacing) + "\" > \r\n";
}

// align: 3 centre, anything else none.
inline std::string Cell(const std::string& cls, int colspan, int align) {
  std::string cell = "<td";
  if (align == 3) cell += " align=\"center\"";
  cell += " colspan=\"" + std::to_string(colspan) + "\"";
  if (!cls.empty()) cell += " class=\"" + cls + "\"";
  return cell + ">";
}

inline std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace qb::history_html
