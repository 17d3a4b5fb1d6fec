#pragma once

#include <filesystem>
#include <string>

namespace qb {

// The chart images live in the host's web folder "html/1wire", which the pages refer to as
// "1wire/" + file name. Each chart gets a fresh file named by a random whole number from 1 to
// 100000 and ".jpg".

// Which page a chart was drawn for: the history block of the device page or the charts page.
enum class ChartPage { Device, Charts };

// How many of the newest chart files each page keeps, so that a page still loading its image
// finds it while other pages draw theirs.
inline constexpr size_t kChartsKeptPerPage = 4;

// The chart folder (the host's folder + "html/1wire"), created when missing.
std::filesystem::path ChartFolder();

// A new chart file name: a random number from 1 to 100000 followed by ".jpg", neither an existing
// file of the chart folder nor one handed out and not yet deleted.
std::string NewChartFileName();

// Deletes the old "*.jpg" files of the chart folder: every one except the newest
// kChartsKeptPerPage charts drawn for each page and the charts handed out a name and not yet
// noted (being drawn). Errors (a file already gone) are ignored.
void DeleteOldCharts();

// Records that a chart file was written for a page (its newest).
void NoteChartFile(ChartPage page, const std::string& file_name);

// Forgets every chart file noted (tests).
void ResetChartFiles();

}  // namespace qb
