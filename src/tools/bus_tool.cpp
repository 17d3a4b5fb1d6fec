#include "tools/bus_tool.h"

#include <pthread.h>
#include <signal.h>

#include <charconv>
#include <cmath>

#include "access/ds18b20.h"
#include "access/ds18s20.h"
#include "access/errors.h"
#include "access/families.h"
#include "access/masters/adapter_detection.h"
#include "access/masters/all_adapters.h"
#include "access/provider.h"
#include "catalogue/family_table.h"
#include "platform/clock.h"
#include "sim/bus_file.h"
#include "sim/emulations/passive_emulator.h"
#include "sim/emulations/pty_server.h"
#include "tools/bus_tool_files.h"
#include "tools/clock_values.h"
#include "tools/pages_dump.h"
#include "tools/serve_command.h"
#include "tools/serve_ds2482.h"
#include "tools/serve_usb.h"
#include "tools/w1_serve.h"

namespace qb {

namespace {

using access::DeviceState;
using access::OneWireContainer;

std::string NumberText(double value) {
  return ToolNumber(value);
}

std::string Bools(const std::vector<bool>& values) {
  std::string out;
  for (bool v : values) out += (out.empty() ? "" : ",") + std::string(v ? "true" : "false");
  return out;
}

std::string Numbers(const std::vector<double>& values) {
  std::string out;
  for (double v : values) out += (out.empty() ? "" : ",") + NumberText(v);
  return out;
}

using Values = std::vector<std::pair<std::string, std::string>>;

Values ReadThermometer(OneWireContainer& c) {
  DeviceState state = c.readDevice();
  c.doTemperatureConvert(state);
  // A DS18B20 whose conversion was lost (a brief loss of power) holds what it powers up with,
  // 85 C with the reserved bytes of power-on: converted once more, and no reading if it still
  // holds them (a real 85 C is told apart by those bytes).
  if (c.getAddress().family() == 0x28 && access::DS18B20PowerOnScratchpad(state)) {
    c.doTemperatureConvert(state);
    if (access::DS18B20PowerOnScratchpad(state))
      access::ThrowBusError(c.getName(), "the " + c.getName() + " " + c.getAddress().ToString() +
                                             " lost its conversion twice: its scratchpad holds "
                                             "the power-on value, not a reading");
  }
  // The DS18S20's finer reading from its count registers; the others to their resolution.
  const double t = c.getAddress().family() == 0x10 ? access::DS18S20ExtendedTemperature(state)
                                                   : c.getTemperature(state);
  Values v = {{"temperature", NumberText(t)},
              {"alarm_low", NumberText(c.getTemperatureAlarm(access::ALARM_LOW, state))},
              {"alarm_high", NumberText(c.getTemperatureAlarm(access::ALARM_HIGH, state))}};
  if (c.hasSelectableTemperatureResolution()) {
    const double step = c.getTemperatureResolution(state);
    v.emplace_back("resolution",
                   std::to_string(static_cast<int>(std::lround(8 - std::log2(step) + 0.0))));
  }
  return v;
}

Values ReadBatteryMonitor(OneWireContainer& c) {
  DeviceState state = c.readDevice();
  c.doTemperatureConvert(state);
  const double t = c.getTemperature(state);
  if (!c.getFlag(access::DS2438_IAD_FLAG)) c.setFlag(access::DS2438_IAD_FLAG, true);
  c.doADConvert(access::DS2438_CHANNEL_VDD, state);
  c.doADConvert(access::DS2438_CHANNEL_VAD, state);
  const double vdd = c.getADVoltage(access::DS2438_CHANNEL_VDD, state);
  const double vad = c.getADVoltage(access::DS2438_CHANNEL_VAD, state);
  state = c.readDevice();
  const double vsense_mv = c.getCurrent(state) * 50;
  return {{"temperature", NumberText(t)},
          {"vdd", NumberText(vdd)},
          {"vad", NumberText(vad)},
          {"vsense_mv", NumberText(vsense_mv)}};
}

// The four inputs at the range each channel is set to, or at `range` (2.56 or 5.12 V) when one
// is asked for: the channels are then set to it on the device first. An input at the top of the
// 2.56 V range may be higher: the note on `err` says how to read it.
Values ReadQuadAD(OneWireContainer& c, double range, std::ostream& err) {
  DeviceState state = c.readDevice();
  if (range > 0) {
    for (int ch = 0; ch < 4; ++ch) c.setADRange(ch, range, state);
    c.writeDevice(state);
  }
  std::vector<double> inputs, ranges;
  for (int ch = 0; ch < 4; ++ch) {
    c.doADConvert(ch, state);
    inputs.push_back(c.getADVoltage(ch, state));
    ranges.push_back(c.getADRange(ch, state));
    if (ranges.back() < 5 && inputs.back() >= ranges.back() - c.getADResolution(ch, state)) {
      err << "quellbrook-bus: input " << static_cast<char>('A' + ch) << " is at the top of its "
          << NumberText(ranges.back()) << " V range; read with --range 5.12 for up to 5.12 V\n";
    }
  }
  return {{"inputs", Numbers(inputs)}, {"ranges", Numbers(ranges)}};
}

Values ReadSwitch(OneWireContainer& c) {
  DeviceState state = c.readDevice();
  std::vector<bool> latches, levels;
  const int n = c.getNumberChannels(state);
  for (int ch = 0; ch < n; ++ch) {
    latches.push_back(c.getLatchState(ch, state));
    if (c.hasLevelSensing()) levels.push_back(c.getLevel(ch, state));
  }
  Values v = {{"latches", Bools(latches)}};
  if (c.hasLevelSensing()) v.emplace_back("levels", Bools(levels));
  return v;
}

Values ReadCounters(OneWireContainer& c) {
  std::vector<double> counts;
  for (int page = 12; page <= 15; ++page)
    counts.push_back(static_cast<double>(c.readCounter(page)));
  return {{"counters", Numbers(counts)}};
}

struct ReadOptions {
  double range = 0;  // DS2450: the input range to read at, 0 for the device's own
};

Values ReadValues(OneWireContainer& c, const ReadOptions& options, std::ostream& err) {
  // The parts with readings of their own first; every other family is read by what the
  // catalogue says it has, so a new thermometer or switch family needs nothing here.
  switch (c.getAddress().family()) {
    case 0x26:
      return ReadBatteryMonitor(c);
    case 0x20:
      return ReadQuadAD(c, options.range, err);
    case 0x04:
      return ReadClockButton(c);
    case 0x21:
      return ReadThermochron(c);
    case 0x30:
      return ReadBatteryDS2760(c);
    default:
      break;
  }
  const FamilyEntry* family = FindFamily(c.getAddress().family());
  const uint32_t caps = family ? family->caps : 0;
  Values v;
  if (caps & kCapTemperature) v = ReadThermometer(c);
  if (caps & kCapSwitch) {
    for (auto& pio : ReadSwitch(c)) v.push_back(std::move(pio));
  }
  if (caps & kCapCounter) return ReadCounters(c);
  if (caps & kCapPotentiometer) return {{"wiper", std::to_string(c.getWiperPosition())}};
  return v.empty() ? ReadMemoryDevice(c) : v;
}

struct Options {
  std::string adapter, port, command, rom;
  std::string bus, pty, record;  // serve
  bool passive = false;          // serve a passive DS9097E adapter instead of a DS2480B
  bool w1 = false;               // serve as the kernel's 1-Wire netlink to a command
  bool refuse_join = false;      // the emulated kernel refuses the 1-Wire group
  bool ds2490 = false;           // serve an emulated DS9490R (USB) to a command
  bool ds2482 = false;           // serve a DS2482 on an emulated I2C bus to a command
  int channels = 1;              // serve --ds2482: 8 for a DS2482-800
  std::vector<std::string> run;  // the command after "--"
  bool alarm = false;
  int family = -1;
  std::string range;  // read --range
  FileCommand file;   // ls, cat, put, format
};

std::string ParseArgs(const std::vector<std::string>& args, Options& o) {
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& into) -> std::string {
      if (i + 1 >= args.size()) return a + " needs a value";
      into = args[++i];
      return {};
    };
    std::string error;
    if (a == "--") {
      o.run.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
      if (o.run.empty()) return "-- needs a command after it";
      break;
    }
    if (a == "--ds2482") {
      o.ds2482 = true;
    } else if (a == "--channels") {
      std::string text;
      error = value(text);
      if (error.empty() && text != "1" && text != "8")
        error = "--channels takes 1 (a DS2482-100) or 8 (a DS2482-800)";
      o.channels = text == "8" ? 8 : 1;
    } else if (a == "--adapter") {
      error = value(o.adapter);
    } else if (a == "--port") {
      error = value(o.port);
    } else if (a == "--bus") {
      error = value(o.bus);
    } else if (a == "--pty") {
      error = value(o.pty);
    } else if (a == "--record") {
      error = value(o.record);
    } else if (a == "--passive") {
      o.passive = true;
    } else if (a == "--w1") {
      o.w1 = true;
    } else if (a == "--refuse-join") {
      o.refuse_join = true;
    } else if (a == "--ds2490") {
      o.ds2490 = true;
    } else if (a == "--range") {
      error = value(o.range);
      if (error.empty() && o.range != "2.56" && o.range != "5.12")
        error = "--range takes 2.56 or 5.12 (volts, the DS2450's input ranges)";
    } else if (a == "--alarm") {
      o.alarm = true;
    } else if (a == "--family") {
      std::string text;
      error = value(text);
      int f = -1;
      auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), f, 16);
      if (error.empty() &&
          (ec != std::errc() || end != text.data() + text.size() || text.size() != 2)) {
        error = "--family needs a family code of two hexadecimal digits, such as 28";
      }
      o.family = f;
    } else if (!a.empty() && a[0] == '-') {
      error = "unknown option \"" + a + "\"";
    } else {
      positional.push_back(a);
    }
    if (!error.empty()) return error;
  }
  if (positional.empty())
    return "name a command: search, read ROM, info ROM, pages ROM, ls ROM, cat, put, mkdir, "
           "format, adapters or serve";
  o.command = positional[0];
  const bool serve_options =
      !o.bus.empty() || !o.pty.empty() || !o.record.empty() || o.passive || o.ds2490;
  if (o.command == "serve" && (positional.size() != 1 || !o.adapter.empty() || !o.port.empty() ||
                               o.alarm || o.family >= 0 || !o.range.empty()))
    return "serve takes no ROM id, --adapter, --port, --alarm, --family or --range";
  if (o.command == "serve" && o.w1) {
    if (o.bus.empty() || o.run.empty()) return "serve --w1 needs --bus FILE and -- COMMAND";
    if (!o.pty.empty() || o.passive || !o.record.empty() || o.ds2482 || o.ds2490 || o.channels != 1)
      return "serve --w1 takes only --bus, --refuse-join and -- COMMAND";
    return {};
  }
  if (o.command == "serve" && o.ds2482) {
    if (o.bus.empty() || o.run.empty()) return "serve --ds2482 needs --bus FILE and -- COMMAND";
    if (!o.pty.empty() || o.passive || !o.record.empty() || o.refuse_join || o.ds2490)
      return "serve --ds2482 takes only --bus, --channels and -- COMMAND";
    return {};
  }
  if (o.w1 || o.refuse_join || o.ds2482 || o.channels != 1 ||
      (!o.run.empty() && (o.command != "serve" || !o.ds2490)))
    return "--w1, --refuse-join, --ds2482, --ds2490, --channels and -- COMMAND belong to serve";
  if (o.command == "serve") {
    if (o.ds2490) {
      if (o.bus.empty() || o.run.empty()) return "serve --ds2490 needs --bus FILE and -- COMMAND";
      if (!o.pty.empty() || o.passive || !o.record.empty())
        return "serve --ds2490 takes only --bus and -- COMMAND";
      return {};
    }
    if (o.bus.empty() || o.pty.empty()) return "serve needs --bus FILE and --pty LINK";
    return {};
  }
  if (serve_options) return "--bus, --pty, --passive, --ds2490 and --record belong to serve";
  if (!o.range.empty() && o.command != "read") return "--range belongs to read";
  if (o.command == "adapters") {
    if (positional.size() != 1 || !o.adapter.empty() || !o.port.empty() || o.alarm ||
        o.family >= 0 || !o.range.empty())
      return "adapters takes no arguments";
    return {};
  }
  if (o.command == "search") {
    if (positional.size() != 1) return "search takes no ROM id";
  } else if (o.command == "read" || o.command == "info" || o.command == "pages") {
    if (positional.size() != 2) return o.command + " needs one ROM id";
    o.rom = positional[1];
    if (o.alarm || o.family >= 0) return "--alarm and --family belong to search";
  } else if (IsFileCommand(o.command)) {
    if (std::string error = ParseFileCommand(positional, o.file); !error.empty()) return error;
    o.rom = o.file.rom;
    if (o.alarm || o.family >= 0) return "--alarm and --family belong to search";
  } else {
    return "unknown command \"" + o.command + "\"";
  }
  if (o.adapter.empty() != o.port.empty())
    return "give --adapter and --port together (or neither, for the default adapter)";
  return {};
}

// Serves the bus file as a DS2480B (or passive) adapter behind a pseudo-terminal until SIGINT or
// SIGTERM.
int Serve(const Options& o, std::ostream& out, std::ostream& err) {
  SystemClock clock;  // programs on the terminal run in real time, and so does the bus
  const auto bus = LoadServedBus(o.bus, clock, err);
  if (!bus) return 1;
  // Edits of the bus file reach the served bus while it runs.
  sim::FollowBusFile(
      *bus, o.bus, [&err](const std::string& text) { err << "quellbrook-bus: " << text << "\n"; });
  // The signals are blocked before the serving thread starts, so it inherits the mask and only
  // this thread takes them, in sigwait.
  sigset_t stop_signals, previous;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, &previous);
  int status = 0;
  {
    sim::PtyServer server =
        o.passive ? sim::PtyServer(std::make_unique<sim::PassiveEmulator>(bus), o.pty, o.record)
                  : sim::PtyServer(bus, o.pty, o.record);
    try {
      server.Start();
      out << "serving " << o.bus << " as " << server.emulation().Name() << " on "
          << server.TerminalPath() << " (link " << server.LinkPath() << ")" << std::endl;
      int signal = 0;
      sigwait(&stop_signals, &signal);
      server.Stop();
      out << "stopped" << std::endl;
    } catch (const std::exception& e) {
      err << "quellbrook-bus: " << e.what() << "\n";
      status = 1;
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return status;
}

// Lists the adapters found on this machine, one a line: the type and port to give --adapter and
// --port (or the settings' IntType and IntPort), then a description.
int ListAdapters(std::ostream& out, std::ostream& err) {
  access::DetectionOptions options;
  options.log = [&err](const std::string& line) { err << "quellbrook-bus: " << line << "\n"; };
  const auto found = access::DetectAdapters(options);
  for (const auto& a : found) out << access::FormatFoundAdapter(a) << "\n";
  if (found.empty()) {
    err << "quellbrook-bus: no 1-Wire adapter found (looked for USB DS2490s, DS2482s on "
           "/dev/i2c-*, kernel 1-Wire masters and DS2480B serial adapters)\n";
    return 1;
  }
  return 0;
}

}  // namespace

std::string BusToolUsage() {
  return "Usage: quellbrook-bus [--adapter TYPE --port PORT] COMMAND\n"
         "\n"
         "Commands:\n"
         "  search [--alarm] [--family FF]   list the devices on the bus, one ROM id per line\n"
         "  read ROM [--range 2.56|5.12]     the device's measured values, one key=value per "
         "line;\n"
         "                                   a DS2450 is read at its inputs' ranges, or at the\n"
         "                                   range given (which is then set on the device)\n"
         "  info ROM                         the device's name, alternate names and description\n"
         "  pages ROM                        a hex dump of every memory bank, one line per page\n"
         "  ls ROM [PATH]                    the files and directories (NAME/) in the device's\n"
         "                                   1-Wire file structure, at PATH or the root\n"
         "  cat ROM PATH                     a file of the device's file structure, to the output\n"
         "  put ROM PATH FILE                write the local FILE as PATH (such as /LOG.1) on the\n"
         "                                   device, replacing a file of that name\n"
         "  mkdir ROM PATH                   a directory (such as /DATA) on the device\n"
         "  format ROM                       an empty file structure on the device (its files\n"
         "                                   are lost)\n"
         "  adapters                         the adapters found on this machine, one a line: "
         "type,\n"
         "                                   port and a description\n"
         "  serve --bus FILE --pty LINK [--passive] [--record FILE]\n"
         "                                   serve the bus file as a DS2480B serial adapter\n"
         "                                   (DS9097U), or with --passive as a passive DS9097E, "
         "on\n"
         "                                   a pseudo-terminal linked from LINK, until "
         "interrupted;\n"
         "                                   --record writes every byte both ways to FILE\n"
         "  serve --bus FILE --w1 [--refuse-join] -- COMMAND [ARGS...]\n"
         "                                   run COMMAND with the kernel's 1-Wire netlink\n"
         "                                   emulated on the bus file (adapter W1, port W1);\n"
         "                                   --refuse-join refuses the netlink group as to a\n"
         "                                   program without CAP_NET_ADMIN; SIGUSR1 removes the\n"
         "                                   master, SIGUSR2 adds it again\n"
         "  serve --bus FILE --ds2482 [--channels 8] -- COMMAND [ARGS...]\n"
         "                                   run COMMAND with the bus file behind an emulated\n"
         "                                   DS2482-100 (or -800, the bus on every channel) at\n"
         "                                   /dev/i2c-1:0x18, through umockdev\n"
         "  serve --bus FILE --ds2490 -- COMMAND [ARGS...]\n"
         "                                   run COMMAND with the bus file served as an emulated\n"
         "                                   DS9490R USB adapter (DS2490, port USB) and end when "
         "it\n"
         "                                   ends, with its exit status; SIGUSR1 unplugs the\n"
         "                                   adapter, SIGUSR2 plugs it in again\n"
         "\n"
         "  --adapter TYPE --port PORT       the adapter, such as --adapter SIM --port "
         "demo/bus.json;\n"
         "                                   without them the system's default adapter is used\n"
         "                                   (/etc/quellbrook-1wire/default-adapter.ini), or\n"
         "                                   without that file the first one adapters lists\n";
}

int RunBusTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
               Clock& clock) {
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    out << BusToolUsage();
    return 0;
  }
  Options o;
  if (std::string error = ParseArgs(args, o); !error.empty()) {
    err << "quellbrook-bus: " << error << " (see --help)\n";
    return 2;
  }
  if (o.command == "serve" && o.w1) return ServeW1(o.bus, o.refuse_join, o.run, err);
  if (o.command == "serve" && o.ds2482) {
    DS2482ServeOptions serve;
    serve.bus_file = o.bus;
    serve.channels = o.channels;
    serve.command = o.run;
    return ServeDS2482(serve, args, err);
  }
  if (o.command == "serve" && o.ds2490) return ServeUsb(args, o.bus, o.run, err);
  if (o.command == "serve") return Serve(o, out, err);
  if (o.command == "adapters") return ListAdapters(out, err);
  access::OneWireAccessProvider provider;
  sim::RegisterSimAdapter(provider, clock);
  const auto note = [&err](const std::string& text) { err << "quellbrook-bus: " << text << "\n"; };
  access::RegisterHardwareAdapters(provider, note);
  try {
    auto adapter =
        o.adapter.empty() ? provider.openDefaultAdapter() : provider.openAdapter(o.adapter, o.port);
    adapter->beginExclusive(true);
    if (o.command == "search") {
      if (o.alarm) adapter->setSearchOnlyAlarmingDevices();
      if (o.family >= 0) adapter->targetFamily(o.family);
      for (bool more = adapter->findFirstDevice(); more; more = adapter->findNextDevice())
        out << adapter->getAddressAsString() << "\n";
      adapter->endExclusive();
      return 0;
    }
    auto rom = access::RomId::Parse(o.rom);
    if (!rom || o.rom.size() != 16) {
      err << "quellbrook-bus: \"" << o.rom << "\" is not a ROM id of 16 hexadecimal digits\n";
      return 2;
    }
    auto container = access::CreateContainer(rom->family());
    container->SetupContainer(adapter.get(), o.rom);
    if (o.command == "info") {
      out << "name=" << container->getName() << "\n"
          << "alternate_names=" << container->getAlternateNames() << "\n"
          << "description=" << container->GetDescription() << "\n";
      return 0;
    }
    if (!container->isPresent()) {
      err << "quellbrook-bus: device " << o.rom << " is not on the bus\n";
      return 1;
    }
    if (IsFileCommand(o.command)) {
      const int status = RunFileCommand(o.file, *container, out, err);
      adapter->endExclusive();
      return status;
    }
    if (o.command == "pages") {
      DumpPages(*container, out);
      adapter->endExclusive();
      return 0;
    }
    ReadOptions read;
    if (!o.range.empty()) {
      if (rom->family() != 0x20) {
        err << "quellbrook-bus: --range is for a DS2450 (family 20), and " << o.rom << " is a "
            << container->getName() << "\n";
        return 2;
      }
      read.range = std::stod(o.range);
    }
    for (const auto& [key, value] : ReadValues(*container, read, err))
      out << key << "=" << value << "\n";
    adapter->endExclusive();
    return 0;
  } catch (const std::exception& e) {
    err << "quellbrook-bus: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace qb
