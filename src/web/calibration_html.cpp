#include "web/calibration_html.h"

#include <cmath>
#include <map>

#include "onewire/calibration.h"
#include "registry/records.h"
#include "registry/value_update.h"
#include "web/html.h"
#include "web/web_state.h"

namespace qb {

namespace {

std::string Field(const char* name, const std::string& value) {
  return "<input type=\"text\" size=\"7\" name=\"" + std::string(name) + "\" value=\"" +
         EscapeHtml(value) + "\">";
}

// A posted number; nullopt for an empty or malformed one.
std::optional<double> PostedNumber(const std::string& text) {
  try {
    size_t used = 0;
    const double v = std::stod(text, &used);
    if (used != text.size() || !std::isfinite(v)) return std::nullopt;
    return v;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace

std::string CalibrationForm(const std::string& key) {
  const auto c = CalibrationOf(key);
  auto text = [&](double v) { return c ? PlainNumberText(v) : std::string(); };
  // A temperature is calibrated before it is shown in °F, so its points are always in °C.
  std::string html =
      "<br><b>Calibration</b> (two readings and the true values they stand for; temperatures in "
      "&deg;C)<br>";
  html += MakeHidden("CalibrationKey", EscapeHtml(key));
  html += "Reads " + Field("CalRaw1", c ? text(c->raw1) : "") + " is " +
          Field("CalTrue1", c ? text(c->true1) : "") + "<br>";
  html += "Reads " + Field("CalRaw2", c ? text(c->raw2) : "") + " is " +
          Field("CalTrue2", c ? text(c->true2) : "") + "<br>";
  html += "<input type=\"submit\" class=\"formbutton\" name=\"SaveCalibration\" value=\"Save\">";
  if (c)
    html +=
        " <input type=\"submit\" class=\"formbutton\" name=\"RemoveCalibration\" "
        "value=\"Remove\">";
  return html + "<br>";
}

std::string CalibrationPost() {
  std::map<std::string, std::string> posted;
  for (const auto& pair : Web().QueryPairs) posted[pair.name] = pair.value;
  const std::string key = posted["CalibrationKey"];
  if (!ChannelExists(key) || key.size() != 17 ||
      std::string("MNGHIJ").find(key[16]) == std::string::npos)
    return "There is no measured channel " + key + ".";
  if (posted.count("RemoveCalibration")) {
    SetCalibration(key, std::nullopt);
    return {};
  }
  Calibration c;
  const std::pair<const char*, double*> fields[] = {
      {"CalRaw1", &c.raw1}, {"CalTrue1", &c.true1}, {"CalRaw2", &c.raw2}, {"CalTrue2", &c.true2}};
  for (const auto& [name, target] : fields) {
    const auto v = PostedNumber(posted[name]);
    if (!v) return "The calibration was not saved: give four numbers.";
    *target = *v;
  }
  if (c.raw1 == c.raw2) return "The calibration was not saved: the two readings must differ.";
  SetCalibration(key, c);
  return {};
}

}  // namespace qb
