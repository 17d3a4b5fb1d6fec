#include "host/web_server.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "core/hspi.h"
#include "host/builtin_host.h"
#include "host/chain_position_json.h"
#include "host/channel_options.h"
#include "host/concurrency_limit.h"
#include "host/device_command.h"
#include "host/health_json.h"
#include "host/http_server.h"
#include "host/login_throttle.h"
#include "host/metrics_text.h"
#include "host/request_guard.h"
#include "host/utf8_text.h"
#include "host/web_users.h"
#include "logging/database_logging.h"
#include "onewire/sensor_replacement.h"
#include "platform/event_loop.h"
#include "web/html.h"
#include "web/shown_values.h"

namespace qb {

using nlohmann::json;

namespace {

constexpr const char* kHtml = "text/html; charset=utf-8";
constexpr const char* kJson = "application/json; charset=utf-8";

std::string StripTags(const std::string& html) {
  std::string out;
  bool in_tag = false;
  for (char c : html) {
    if (c == '<')
      in_tag = true;
    else if (c == '>')
      in_tag = false;
    else if (!in_tag)
      out += c;
  }
  return out;
}

// JSON text of an answer; text that is not valid UTF-8 (an old device table) is shown with
// replacement characters rather than failing the request.
std::string Dump(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

void JsonError(HttpResponse& res, int status, const std::string& message) {
  res.status = status;
  res.set_content(Dump(json{{"error", message}}), kJson);
}

void TextError(HttpResponse& res, int status, const std::string& message) {
  res.status = status;
  res.set_content(message + "\n", "text/plain; charset=utf-8");
}

bool ChangesSomething(const std::string& method) {
  return method != "GET" && method != "HEAD" && method != "OPTIONS";
}

bool IsApi(const std::string& path) {
  return path.rfind("/api/", 0) == 0;
}

// Headers every answer carries. Pages may run their own inline scripts and styles (the charts'
// tips), load the style sheet, scripts, images and forms of this server only and fetch from it
// alone (the live values); no other site may frame them. API answers are never kept in a cache:
// they hold the house's state at one moment.
void AddSafetyHeaders(const HttpRequest& req, HttpResponse& res) {
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_header("Referrer-Policy", "same-origin");
  res.set_header("X-Frame-Options", "DENY");
  if (res.get_header_value("Content-Type").rfind("text/html", 0) == 0) {
    res.set_header("Content-Security-Policy",
                   "default-src 'none'; script-src 'self' 'unsafe-inline'; connect-src 'self'; "
                   "style-src 'self' 'unsafe-inline'; img-src 'self'; form-action 'self'; "
                   "frame-ancestors 'none'; base-uri 'none'");
  } else {
    res.set_header("Content-Security-Policy", "default-src 'none'; frame-ancestors 'none'");
  }
  if (IsApi(req.path)) res.set_header("Cache-Control", "no-store");
}

// The link text GenPage takes for a request: the plug-in's link with the request's query.
std::string PageLink(HostedPlugin& plugin, const HttpRequest& req) {
  const auto q = req.target.find('?');
  return plugin.link() + (q == std::string::npos ? std::string() : req.target.substr(q));
}

bool ParseInt(const std::string& text, int& out) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, out);
  return ec == std::errc() && ptr == end;
}

}  // namespace

std::string FramePage(const std::string& page_title, const std::string& body,
                      const std::string& host_menu) {
  return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" +
         EscapeHtml(StripTags(page_title)) +
         "</title><link rel=\"stylesheet\" href=\"/style.css\">"
         "<script src=\"/live.js\" defer></script></head>\n<body>\n" +
         host_menu + "<div class=\"pagetitle\">" + page_title + "</div>\n" + body +
         "\n</body></html>\n";
}

std::string HostMenuBar(const std::vector<std::string>& entries) {
  if (entries.empty()) return {};
  std::string bar = "<form class=\"hostmenu\" method=\"post\" action=\"/host/menu\">";
  for (const auto& entry : entries) {
    bar += "<button type=\"submit\" class=\"formbutton\" name=\"entry\" value=\"" +
           EscapeHtml(entry) + "\">" + EscapeHtml(entry) + "</button>";
  }
  return bar + "</form>\n";
}

HostWebServer::HostWebServer(BuiltInHost& host, EventLoop& loop, const WebUsers& users,
                             std::filesystem::path html_dir)
    : host_(host),
      loop_(loop),
      users_(users),
      html_dir_(std::move(html_dir)),
      server_(std::make_unique<HttpServer>()),
      throttle_(std::make_unique<LoginThrottle>(host.clock())),
      slow_pages_(std::make_unique<ConcurrencyLimit>(2, HttpServerLimits{}.slow_threads)) {
  Routes();
}

HostWebServer::~HostWebServer() {
  Stop();
}

std::string HostWebServer::Bind(const std::string& address, int port) {
  guard_ = std::make_unique<RequestGuard>(address);
  if (const std::string error = server_->Bind(address, port); !error.empty()) {
    return "cannot listen on " + address + ":" + std::to_string(port) + " (" + error +
           "); choose another with --http ADDR:PORT";
  }
  port_ = server_->Port();
  return {};
}

std::string HostWebServer::UseTls(const std::filesystem::path& certificate,
                                  const std::filesystem::path& key) {
  auto read = [](const std::filesystem::path& file, std::string& out) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
  };
  std::string certificate_text, key_text;
  if (!read(certificate, certificate_text))
    return "cannot read the certificate file " + certificate.string();
  if (!read(key, key_text)) return "cannot read the key file " + key.string();
  if (certificate_text.find("-----BEGIN CERTIFICATE-----") == std::string::npos)
    return "the certificate file " + certificate.string() + " holds no PEM certificate";
  if (key_text.find("PRIVATE KEY-----") == std::string::npos)
    return "the key file " + key.string() + " holds no PEM private key";
  server_->SetTls(std::move(certificate_text), std::move(key_text));
  tls_ = true;
  return {};
}

std::string HostWebServer::Start() {
  return server_->Start();
}

void HostWebServer::Stop() {
  if (server_) server_->Stop();
}

bool HostWebServer::Refuse(HttpRequest& req, HttpResponse& res) const {
  if (!RequestGuard::PrintablePath(req.path)) {
    TextError(res, 400, "The path holds control characters.");
    return true;
  }
  const std::string host = req.get_header_value("Host");
  if (req.has_header("Host") && guard_ && !guard_->HostAllowed(host)) {
    TextError(res, 421,
              "This server does not answer for the host name \"" + host +
                  "\"; use the address it listens on.");
    return true;
  }

  // The body is still unread: refuse one that is too large, or of unknown length, before it is.
  const bool changes = ChangesSomething(req.method);
  if (changes) {
    // The events' rules are a list: they may take as much as a form.
    const size_t limit = IsApi(req.path) && req.path != "/api/events" ? kMaxJsonBody : kMaxFormBody;
    if (req.has_header("Transfer-Encoding") || !req.has_header("Content-Length")) {
      TextError(res, 411, "Send the body with a Content-Length.");
      return true;
    }
    const std::string length = req.get_header_value("Content-Length");
    size_t bytes = 0;
    const auto [end, error] = std::from_chars(length.data(), length.data() + length.size(), bytes);
    if (error != std::errc() || end != length.data() + length.size() || bytes > limit) {
      TextError(
          res, 413,
          "The body may be at most " + std::to_string(limit) + " bytes for " + req.path + ".");
      return true;
    }
  }

  if (users_.Enabled()) {
    // An address that guessed wrong too often waits, whatever it sends now.
    if (const auto wait = throttle_->Wait(req.remote_address)) {
      res.set_header("Retry-After", std::to_string(*wait));
      TextError(res, 429,
                "Too many failed logins from this address; try again in " + std::to_string(*wait) +
                    " s.");
      return true;
    }
    const std::string authorization = req.get_header_value("Authorization");
    auto user = users_.Authenticate(authorization);
    if (user) throttle_->Succeeded(req.remote_address);
    if (!user && !authorization.empty()) {
      // A browser's first request carries no login: only a login that was tried counts.
      if (auto line = throttle_->Failed(req.remote_address, BasicUserName(authorization)))
        loop_.Post([this, text = *line] { host_.writelog("Host", text); });
    }
    if (!user) {
      res.set_header("WWW-Authenticate", "Basic realm=\"Quellbrook 1-Wire\", charset=\"UTF-8\"");
      TextError(res, 401, "Log in with a user of the web users file.");
      return true;
    }
    req.user = *user;
  }

  if (changes) {
    const std::string problem = RequestGuard::CrossSiteProblem(host, req.get_header_value("Origin"),
                                                               req.get_header_value("Referer"));
    if (!problem.empty()) {
      TextError(res, 403, "Refused: " + problem + ".");
      return true;
    }
    const std::string type = RequestGuard::MediaType(req.get_header_value("Content-Type"));
    const char* expected =
        IsApi(req.path) ? "application/json" : "application/x-www-form-urlencoded";
    if (type != expected) {
      TextError(res, 415, std::string("Send the body as ") + expected + ".");
      return true;
    }
  }

  return false;
}

void HostWebServer::Routes() {
  HttpServer& s = *server_;
  HttpServerLimits limits;
  // Bodies are checked by route before they are read; this is the backstop for any other.
  limits.max_body = kMaxFormBody;
  s.SetLimits(limits);
  std::error_code ec;
  std::filesystem::create_directories(html_dir_, ec);
  s.Mount("/1wire", html_dir_);

  // Every request is checked before anything else is served (before its body is read); a
  // refused one closes its connection.
  s.SetGuard([this](HttpRequest& req, HttpResponse& res) { return Refuse(req, res); });
  // Every answer carries the safety headers, and is counted by its status (refusals included)
  // for the metrics.
  s.SetFinisher([this](const HttpRequest& req, HttpResponse& res) {
    AddSafetyHeaders(req, res);
    std::lock_guard<std::mutex> lock(answered_mutex_);
    ++answered_[res.status];
  });

  // Runs `work` on the plug-in thread as the request's user; 503 when the program is stopping.
  auto on_plugin_thread = [this](const HttpRequest& req, HttpResponse& res, auto work) {
    const std::string user = req.user;
    const bool ran = loop_.Invoke([&] {
      host_.SetWebUser(user);
      try {
        work();
      } catch (const std::exception& e) {
        host_.writelog("Host ERROR",
                       "Web request " + req.method + " " + req.path + " failed: " + e.what());
        res.status = 500;
        res.set_content(std::string("The request failed: ") + e.what() + "\n",
                        "text/plain; charset=utf-8");
      }
      host_.SetWebUser("");
    });
    if (!ran) {
      res.status = 503;
      res.set_content("The program is shutting down.\n", "text/plain; charset=utf-8");
    }
  };

  s.Get("/style.css", [](const HttpRequest&, HttpResponse& res) {
    res.set_content(HostStyleSheet(), "text/css; charset=utf-8");
  });

  s.Get("/live.js", [](const HttpRequest&, HttpResponse& res) {
    res.set_content(LivePageScript(), "text/javascript; charset=utf-8");
  });

  // What the device list and device pages show now, for their script to bring an open page up to
  // date: one entry per device key.
  s.Get("/api/page-values", [=](const HttpRequest& req, HttpResponse& res) {
    on_plugin_thread(req, res, [&] {
      json list = json::array();
      for (const auto& v : ShownValues()) {
        list.push_back({{"key", v.key},
                        {"list_class", v.list_class},
                        {"list_text", v.list_text},
                        {"changed", v.changed},
                        {"reading", v.reading},
                        {"value", v.value}});
      }
      res.set_content(Dump(list), kJson);
    });
  });

  s.Get("/api/devices", [=, this](const HttpRequest& req, HttpResponse& res) {
    on_plugin_thread(req, res, [&] {
      json list = json::array();
      // A copy of the list: the registry lookups below let other work of the plug-in thread run
      // (a scan may add host devices), which must not move the list under this loop.
      const std::vector<std::shared_ptr<DeviceRecord>> devices = host_.devices().All();
      for (const auto& d : devices) {
        json device = DeviceToJson(*d);
        if (json health = DeviceHealthJson(*d); !health.is_null()) device["health"] = health;
        if (json position = ChainPositionJson(*d); !position.is_null())
          device["position"] = position;
        AddChannelOptions(device, *d);
        list.push_back(std::move(device));
      }
      res.set_content(Dump(list), kJson);
    });
  });

  // The Prometheus scrape: behind the same users and checks as everything else.
  s.Get("/metrics", [=, this](const HttpRequest& req, HttpResponse& res) {
    MetricsInputs in;
    {
      std::lock_guard<std::mutex> lock(answered_mutex_);
      in.requests_by_status = answered_;
    }
    on_plugin_thread(req, res, [&] {
      in.devices = &host_.devices();
      const auto database = ReadingsDatabase();
      in.rows_written = database->RowsWritten();
      in.rows_failed = database->RowsFailed();
      res.set_content(MetricsText(in), kMetricsContentType);
    });
  });

  // How reliably the bus and each of its devices answer, with the adapter's errors.
  s.Get("/api/health", [=](const HttpRequest& req, HttpResponse& res) {
    on_plugin_thread(req, res, [&] { res.set_content(Dump(BusHealthJson()), kJson); });
  });

  s.Patch(
      R"(/api/devices/(-?\d+))", [=, this](const HttpRequest& req, HttpResponse& res) {
        int ref = 0;
        if (!ParseInt(req.matches[1], ref))
          return JsonError(res, 404, "no device has that reference");
        json body;
        try {
          body = json::parse(req.body);
        } catch (const json::exception&) {
          return JsonError(res, 400,
                           "the body must be a JSON object such as {\"name\": \"Cellar\", "
                           "\"Location\": \"Basement\"}");
        }
        if (!body.is_object() ||
            (!body.contains("name") && !body.contains("Location") && !HasChannelOptions(body))) {
          return JsonError(res, 400,
                           "give \"name\", \"Location\", \"counter_total\" or \"calibration\" "
                           "in a JSON object");
        }
        for (const char* key : {"name", "Location"}) {
          if (!body.contains(key)) continue;
          if (!body[key].is_string())
            return JsonError(res, 400, std::string("\"") + key + "\" must be a text");
          if (auto problem = DeviceTextProblem(key, body[key].get<std::string>()); !problem.empty())
            return JsonError(res, 400, problem);
        }
        on_plugin_thread(req, res, [&] {
          if (IsGuestUser(host_.WEBLoggedInUser()))
            return JsonError(res, 403, "guests cannot change devices");
          auto d = host_.devices().ByRef(ref);
          if (!d) return JsonError(res, 404, "no device has the reference " + std::to_string(ref));
          if (auto problem = ChannelOptionsProblem(body, *d); !problem.empty())
            return JsonError(res, 400, problem);
          ApplyChannelOptions(body, *d);
          if (body.contains("name")) d->name = body["name"].get<std::string>();
          if (body.contains("Location")) d->Location = body["Location"].get<std::string>();
          host_.devices().MarkChanged();
          host_.SaveDevices();
          host_.DeviceEdited(*d);
          host_.writelog("Host", "Device " + std::to_string(ref) + " is now \"" + d->name +
                                     "\" in \"" + d->Location + "\"");
          json shown = DeviceToJson(*d);
          AddChannelOptions(shown, *d);
          res.set_content(Dump(shown), kJson);
        });
      });

  // A failed sensor replaced by a new one of its family: the new one takes over the host device,
  // its settings and its history.
  s.Post(R"(/api/devices/(-?\d+)/replace)", [=, this](const HttpRequest& req, HttpResponse& res) {
    int ref = 0;
    if (!ParseInt(req.matches[1], ref)) return JsonError(res, 404, "no device has that reference");
    std::string rom;
    try {
      const json body = json::parse(req.body);
      rom = body.at("rom").get<std::string>();
    } catch (const json::exception&) {
      return JsonError(res, 400,
                       "the body must be a JSON object such as {\"rom\": \"7F00000012345628\"}, "
                       "the ROM id of the new sensor");
    }
    on_plugin_thread(req, res, [&] {
      if (IsGuestUser(host_.WEBLoggedInUser()))
        return JsonError(res, 403, "guests cannot replace sensors");
      auto d = host_.devices().ByRef(ref);
      if (!d || d->deleted)
        return JsonError(res, 404, "no device has the reference " + std::to_string(ref));
      if (d->interface != kPluginName) {
        return JsonError(
            res, 400, "device " + std::to_string(ref) + " is not a device of the 1-Wire plug-in");
      }
      const ReplacementResult done = ReplaceSensor(d->iomisc, rom);
      switch (done.outcome) {
        case ReplacementOutcome::kDone:
          break;
        case ReplacementOutcome::kBadRequest:
        case ReplacementOutcome::kNotOurs:
          return JsonError(res, 400, done.message);
        case ReplacementOutcome::kUnavailable:
          return JsonError(res, 503, done.message);
      }
      host_.devices().MarkChanged();
      host_.SaveDevices();
      json shown = DeviceToJson(*host_.devices().ByRef(ref));
      AddChannelOptions(shown, *host_.devices().ByRef(ref));
      shown["replaced"] = {{"message", done.message},
                           {"rows_moved", done.rows_moved},
                           {"removed", done.removed_refs}};
      res.set_content(Dump(shown), kJson);
    });
  });

  s.Post(R"(/api/devices/(-?\d+)/command)", [=, this](const HttpRequest& req, HttpResponse& res) {
    int ref = 0;
    if (!ParseInt(req.matches[1], ref)) return JsonError(res, 404, "no device has that reference");
    std::string command;
    int value = 0;
    try {
      const json body = json::parse(req.body);
      command = body.at("command").get<std::string>();
      // A potentiometer's "Level" takes "level" (0 to 255), "Dim" and "Bright" take
      // "brightness" (0 to 100 per cent).
      const char* number = CommandName(command) == "Level" ? "level" : "brightness";
      if (CommandName(command) == "Level" || CommandName(command) == "Dim" ||
          CommandName(command) == "Bright") {
        if (!body.contains(number) || !body[number].is_number_integer())
          return JsonError(res, 400,
                           "\"" + CommandName(command) + "\" needs \"" + number +
                               "\", a whole number, such as {\"command\": \"Level\", "
                               "\"level\": 128}");
        const auto n = body[number].get<int64_t>();
        value = n < -1 || n > 1000 ? -1 : static_cast<int>(n);
      }
    } catch (const json::exception&) {
      return JsonError(res, 400, "the body must be a JSON object such as {\"command\": \"On\"}");
    }
    if (CommandName(command).empty()) {
      return JsonError(res, 400,
                       "unknown command \"" + command +
                           "\" (use On, Off, Update, Level, Dim or Bright, as the device takes)");
    }
    on_plugin_thread(req, res, [&] {
      if (IsGuestUser(host_.WEBLoggedInUser()))
        return JsonError(res, 403, "guests cannot send commands");
      auto d = host_.devices().ByRef(ref);
      const DeviceCommandOutcome sent = SendDeviceCommand(host_, d, command, value);
      switch (sent.result) {
        case DeviceCommandResult::kNoDevice:
          return JsonError(res, 404, "no device has the reference " + std::to_string(ref));
        case DeviceCommandResult::kNoCode:
          return JsonError(res, 409, sent.problem);
        case DeviceCommandResult::kRefused:
          return JsonError(res, 400, sent.problem);
        case DeviceCommandResult::kSent:
          break;
      }
      res.set_content(Dump(DeviceToJson(*d)), kJson);
    });
  });

  s.Get("/api/events", [=, this](const HttpRequest& req, HttpResponse& res) {
    on_plugin_thread(req, res, [&] { res.set_content(Dump(host_.events().ToJson()), kJson); });
  });

  s.Put("/api/events", [=, this](const HttpRequest& req, HttpResponse& res) {
    on_plugin_thread(req, res, [&] {
      if (IsGuestUser(host_.WEBLoggedInUser()))
        return JsonError(res, 403, "guests cannot change events");
      // Rules from here name the host's present devices, with commands they take.
      auto device_problem = [this](const std::string& code, const std::string& command) {
        const auto d = host_.devices().ByCode(code);
        if (!d || d->deleted) return "device \"" + code + "\" does not exist";
        if (command.empty()) return std::string();
        if (auto bad = DeviceCommandProblem(*d, command); !bad.empty())
          return "device \"" + code + "\": " + bad;
        return std::string();
      };
      if (std::string problem = host_.events().Replace(req.body, device_problem);
          !problem.empty()) {
        host_.writelog("Host ERROR", "New events refused, the previous ones are kept: " + problem);
        return JsonError(res, 400, problem);
      }
      host_.writelog("Host", "Events replaced by " + (host_.WEBLoggedInUser().empty()
                                                          ? std::string("the local user")
                                                          : host_.WEBLoggedInUser()));
      res.set_content(Dump(host_.events().ToJson()), kJson);
    });
  });

  s.Get("/api/log", [=, this](const HttpRequest& req, HttpResponse& res) {
    int tail = 100;
    if (req.has_param("tail") && (!ParseInt(req.get_param_value("tail"), tail) || tail < 0)) {
      return JsonError(res, 400, "tail must be a whole number of lines, 0 or more");
    }
    json list = json::array();
    for (const auto& line : host_.log().Tail(static_cast<size_t>(tail))) {
      list.push_back(json{{"time", line.time}, {"category", line.category}, {"text", line.text}});
    }
    // Log lines are valid UTF-8 when written; should one not be, it is shown, not refused.
    res.set_content(Dump(list), kJson);
  });

  s.Get("/", [](const HttpRequest&, HttpResponse& res) { res.set_redirect("/1-Wire"); });

  // The plug-in's own link: GET hands the link text (path without the slash, with its query) to
  // GenPage, POST hands the raw form body to PagePut. Either answers a framed page.
  auto plugin_page = [this](const HttpRequest& req, HttpResponse& res,
                            std::string (*build)(HostedPlugin&, const HttpRequest&)) {
    HostedPlugin* plugin = host_.LinkedPlugin();
    if (!plugin || req.path != "/" + plugin->link()) {
      res.status = 404;
      res.set_content(FramePage("", "<p>There is no page at " + EscapeHtml(req.path) + ".</p>"),
                      kHtml);
      return;
    }
    const std::string page = build(*plugin, req);
    const PageAnswer answer = plugin->LastPageAnswer();
    if (!answer.redirect.empty()) {
      // A post that changed something: the browser loads the page anew, and a reload repeats
      // nothing.
      res.set_redirect("/" + answer.redirect, 303);
      return;
    }
    res.status = answer.status;
    // The menu entries open desktop windows: offered only where a desktop shows them.
    res.set_content(FramePage(plugin->page_title(), page,
                              host_.Desktop() ? HostMenuBar(host_.MenuEntries()) : std::string()),
                    kHtml);
  };

  // A host menu entry chosen on a page: the plug-in that registered it opens what it stands for
  // (the Setup dialog) on this machine's desktop, and the browser goes back to the plug-in's page.
  s.Post("/host/menu", [=, this](const HttpRequest& req, HttpResponse& res) {
    const std::string entry = req.has_param("entry") ? req.get_param_value("entry") : "";
    on_plugin_thread(req, res, [&] {
      auto refuse = [&](int status, const std::string& why) {
        res.status = status;
        res.set_content(FramePage("", "<p>" + EscapeHtml(why) + "</p>"), kHtml);
      };
      if (IsGuestUser(host_.WEBLoggedInUser()))
        return refuse(403, "Guests cannot open the host's menu entries.");
      if (!host_.Desktop())
        return refuse(409, "There is no desktop here to show \"" + entry + "\" on.");
      const auto& entries = host_.MenuEntries();
      HostedPlugin* plugin = host_.AttachedPlugin();
      if (!plugin || std::find(entries.begin(), entries.end(), entry) == entries.end())
        return refuse(404, "There is no menu entry \"" + entry + "\".");
      host_.writelog("Host", "Menu entry \"" + entry + "\" chosen on the web page");
      plugin->SelectMenu(entry);
      HostedPlugin* linked = host_.LinkedPlugin();
      res.set_redirect(linked ? "/" + linked->link() : "/", 303);
    });
  });
  auto generated_page = [=](const HttpRequest& req, HttpResponse& res) {
    on_plugin_thread(req, res, [&] {
      plugin_page(req, res, [](HostedPlugin& plugin, const HttpRequest& r) {
        return plugin.GenPage(PageLink(plugin, r));
      });
    });
  };
  s.Get(R"(/([^/]+))", [=, this](const HttpRequest& req, HttpResponse& res) {
    // A page with a slow part (a chart read from the database and drawn): that part runs on one
    // of the server's slow-work threads, so that neither the plug-in thread nor the connections
    // of other clients wait for it, and the page is built around it afterwards. Each address
    // may have a few under way, the server a few more in all.
    std::function<void()> groundwork;
    on_plugin_thread(req, res, [&] {
      HostedPlugin* plugin = host_.LinkedPlugin();
      if (plugin && req.path == "/" + plugin->link())
        groundwork = plugin->PageGroundwork(PageLink(*plugin, req));
    });
    if (!groundwork) return generated_page(req, res);
    ConcurrencyLimit::Refusal refusal = ConcurrencyLimit::Refusal::kNone;
    auto place = slow_pages_->Enter(req.remote_address, refusal);
    if (!place) {
      const bool mine = refusal == ConcurrencyLimit::Refusal::kAddressBusy;
      res.status = mine ? 429 : 503;
      res.set_header("Retry-After", "5");
      res.set_content(
          FramePage("", mine ? "<p>This address already waits for " +
                                   std::to_string(slow_pages_->per_address()) +
                                   " charts; try again when they are shown.</p>"
                             : "<p>The server is drawing as many charts as it can at once (" +
                                   std::to_string(slow_pages_->total()) +
                                   "); try again in a few seconds.</p>"),
          kHtml);
      return;
    }
    res.later = [=](const HttpRequest& r, HttpResponse& out) {
      groundwork();
      generated_page(r, out);
      (void)place;  // the place is given back once the page is built
    };
  });
  s.Post(R"(/([^/]+))", [=](const HttpRequest& req, HttpResponse& res) {
    on_plugin_thread(req, res, [&] {
      plugin_page(req, res, [](HostedPlugin& plugin, const HttpRequest& r) {
        return plugin.PagePut(r.body);
      });
    });
  });
}

}  // namespace qb
