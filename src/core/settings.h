#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace qb {

class SettingsStore;

// Section of the store that holds the plug-in's general settings.
inline constexpr const char* kSettingsSection = "Settings";

// The plug-in's general settings as process variables. Field defaults are the defaults of a
// fresh store, except "Database", which depends on the host's folder (see DefaultSettings).
struct Settings {
  std::string IntType = "DS9097U";
  std::string IntPort = "1";
  int32_t IntSpeed = 0;           // 0 regular, 1 flex, 2 overdrive, 3 hyperdrive
  int32_t StartColor = 0xFFFFFF;  // colours as red + 256 * green + 65536 * blue
  int32_t EndColor = 0xFFFFFF;
  bool Chart3D = true;
  int32_t StartColor1 = 0xFFFFFF;
  int32_t EndColor1 = 0xFFFFFF;
  bool Chart3D1 = true;
  bool Presence = true;
  bool Alarming = false;
  bool PollAlarming = false;
  bool Append = true;
  int32_t AlarmMode = 0;  // 0 ignore, 1 beep, 2 speak
  bool chkTimer = true;
  bool Display = false;
  bool WebPage = true;
  std::array<bool, 4> WebPages = {true, true, true, true};  // devices, charts, setup, debug
  int32_t DefaultPage = 0;
  int32_t ChartX = 590;
  int32_t ChartY = 430;
  int32_t ChartX1 = 500;
  int32_t ChartY1 = 300;
  int32_t DebugLevel = 1;
  int32_t CycleSeconds = 30;
  int32_t PollTemp = 1;
  int32_t PollAD = 1;
  int32_t PollI = 1;
  // 1: the thermometers are converted together (one Skip ROM + Convert T) and each read in the
  // same cycle; 0: one thermometer is converted and read per temperature poll, in turn.
  int32_t BusConvert = 0;
  uint8_t SigFigs = 3;
  std::string Database;
  bool chkDBLog = true;
  bool chkDBKeepOpen = false;
  std::string Table = "T_Temps";
  std::array<std::string, 3> Fields = {"ROMAddress", "DTime", "Temp"};
  bool chkChanges = true;
  std::string DefaultPort = "1";
  bool Range = false;          // Fahrenheit when true
  bool DeviceIDByName = true;  // logged rows name the device by name ("1") or by address
  std::string Speech = "1 Wire Interface for Hearthmoor by Orrinvale";
  std::string AlarmSpeech = "Warning! an alarm is active on";
  bool LogAlarms = true;
  int32_t Tab = 1;
};

// The settings of a fresh store. `app_path` is the host's folder (for the default database).
Settings DefaultSettings(const std::string& app_path);

// The default connection string: the embedded SQLite database in the host's folder.
std::string DefaultDatabase(const std::string& app_path);

// True for a "Database" value that cannot be used here and is replaced by the default when the
// settings load: empty, the old plain path "C:\Program Files\Hearthmoor\1WireTemps.mdb", or a
// Jet connection string ("Provider=Microsoft.Jet.OLEDB...").
bool IsRetiredDatabase(const std::string& connection_string);

// Reads every general setting from the store, in the order the Setup dialog loads them, without
// applying the limits. A key that is absent takes its default; an unreadable number reads as 0.
Settings LoadSettings(const SettingsStore& store, const std::string& app_path);

// Replaces each value outside its limits by the bound. Returns the keys that were changed, so a
// form can show the bound it applied.
std::vector<std::string> ApplySettingsLimits(Settings& settings);

// Writes every general setting to the store ("DeviceID" as 0 when rows name devices by address).
void SaveSettings(SettingsStore& store, const Settings& settings);

// The stored form of one general setting, by key (case-insensitive); empty for an unknown key.
std::string SettingText(const Settings& settings, const std::string& key);
// Sets one general setting from its stored form; false for an unknown key.
bool SetSettingText(Settings& settings, const std::string& key, const std::string& text);
// Every general setting key, in load order.
std::vector<std::string> SettingKeys();

// The store's conversions: booleans accept "True", "False" or a number (non-zero is true);
// numbers that cannot be read are 0 (whole numbers round halves to even, as the store always did).
bool SettingToBool(const std::string& text);
int32_t SettingToInt(const std::string& text);
double SettingToDouble(const std::string& text);

}  // namespace qb
