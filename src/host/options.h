#pragma once

#include <string>
#include <vector>

namespace qb {

struct ProgramOptions {
  bool standalone = false;  // "In IDE" or --standalone
  bool help = false;
  bool version = false;
  bool setup = false;         // open the Setup dialog at start (desktop builds)
  std::string app_dir;        // empty: the default folder
  std::string settings_file;  // empty: the default file
  std::string http_address = "127.0.0.1";
  int http_port = 8080;
  std::string tls_cert;  // PEM certificate for HTTPS (empty: the settings file's, or plain HTTP)
  std::string tls_key;   // its PEM private key
};

// Parses the command line (without the program name). Returns an error text, empty on success.
std::string ParseOptions(const std::vector<std::string>& args, ProgramOptions& out);

std::string UsageText();

// $XDG_DATA_HOME/quellbrook-1wire (default ~/.local/share/quellbrook-1wire).
std::string DefaultAppDir();
// $XDG_CONFIG_HOME/hspi_Vornlet/settings.ini (default ~/.config/hspi_Vornlet/settings.ini).
std::string DefaultSettingsFile();

}  // namespace qb
