#include "host/options.h"

#include <charconv>
#include <cstdlib>

namespace qb {

namespace {

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  return home && *home ? home : ".";
}

std::string XdgFolder(const char* variable, const char* fallback_under_home) {
  const char* value = std::getenv(variable);
  if (value && *value == '/') return value;  // relative values are ignored, as the XDG rules say
  return HomeFolder() + "/" + fallback_under_home;
}

}  // namespace

std::string DefaultAppDir() {
  return XdgFolder("XDG_DATA_HOME", ".local/share") + "/quellbrook-1wire";
}

std::string DefaultSettingsFile() {
  return XdgFolder("XDG_CONFIG_HOME", ".config") + "/hspi_Vornlet/settings.ini";
}

std::string UsageText() {
  return "Usage: quellbrook-1wire --standalone [options]\n"
         "       quellbrook-1wire \"In IDE\" [options]\n"
         "\n"
         "Runs the Quellbrook 1-Wire Interface with its built-in stand-alone host: a device table, "
         "a log,\n"
         "speech, web pages and a JSON API.\n"
         "\n"
         "Options:\n"
         "  --standalone        run with the built-in host (the same as the command line \"In "
         "IDE\")\n"
         "  --app-dir DIR       the host's folder: device table, log, database, web images, web "
         "users file\n"
         "                      (default $XDG_DATA_HOME/quellbrook-1wire, created when missing)\n"
         "  --settings FILE     the settings file (default "
         "$XDG_CONFIG_HOME/hspi_Vornlet/settings.ini)\n"
         "  --http ADDR:PORT    where the web server listens (default 127.0.0.1:8080; port 0 picks "
         "a free one)\n"
         "  --tls-cert FILE     serve HTTPS with this PEM certificate (also TlsCert= in the\n"
         "                      settings file's [Web] section)\n"
         "  --tls-key FILE      the certificate's PEM private key (also TlsKey= under [Web])\n"
         "  --setup             open the Setup dialog at start (needs a display: DISPLAY or\n"
         "                      WAYLAND_DISPLAY)\n"
         "  --help              show this text\n"
         "  --version           show the program's version\n";
}

std::string ParseOptions(const std::vector<std::string>& args, ProgramOptions& out) {
  if (args.size() == 1 && args[0] == "In IDE") {
    out.standalone = true;
    return {};
  }
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& into) -> std::string {
      if (i + 1 >= args.size() || args[i + 1].empty()) return a + " needs a value (see --help)";
      into = args[++i];
      return {};
    };
    std::string error;
    if (a == "--standalone") {
      out.standalone = true;
    } else if (a == "In" && i + 1 < args.size() && args[i + 1] == "IDE") {
      out.standalone = true;
      ++i;
    } else if (a == "--help" || a == "-h") {
      out.help = true;
    } else if (a == "--setup") {
      out.setup = true;
    } else if (a == "--version") {
      out.version = true;
    } else if (a == "--app-dir") {
      error = value(out.app_dir);
    } else if (a == "--settings") {
      error = value(out.settings_file);
    } else if (a == "--tls-cert") {
      error = value(out.tls_cert);
    } else if (a == "--tls-key") {
      error = value(out.tls_key);
    } else if (a == "--http") {
      std::string text;
      error = value(text);
      if (error.empty()) {
        const auto colon = text.rfind(':');
        std::string address = colon == std::string::npos ? std::string() : text.substr(0, colon);
        if (address.size() > 2 && address.front() == '[' && address.back() == ']')
          address = address.substr(1, address.size() - 2);
        const std::string port_text =
            colon == std::string::npos ? std::string() : text.substr(colon + 1);
        int port = -1;
        auto [ptr, ec] =
            std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
        if (address.empty() || ec != std::errc() || ptr != port_text.data() + port_text.size() ||
            port < 0 || port > 65535) {
          error = "--http needs ADDR:PORT, such as 127.0.0.1:8080 (got \"" + text + "\")";
        } else {
          out.http_address = address;
          out.http_port = port;
        }
      }
    } else {
      error = "unknown option \"" + a + "\" (see --help)";
    }
    if (!error.empty()) return error;
  }
  return {};
}

}  // namespace qb
