#include "web/replace_html.h"

#include <map>

#include "catalogue/family_catalogue.h"
#include "onewire/sensor_replacement.h"
#include "web/html.h"
#include "web/web_state.h"

namespace qb {

std::string ReplaceForm(const std::string& key) {
  const std::string rom = key.substr(0, 16);
  return "<br><b>Replace this sensor</b> (the new " + EscapeHtml(FamilyName(rom)) +
         " takes over this device's names, settings and history; connect it first)<br>" +
         MakeHidden("ReplaceKey", EscapeHtml(key)) +
         "New ROM id <input type=\"text\" size=\"18\" maxlength=\"16\" name=\"ReplaceRom\" "
         "value=\"\"> <input type=\"submit\" class=\"formbutton\" name=\"ReplaceSensor\" "
         "value=\"Replace\"><br>";
}

std::string ReplacePost(std::string& new_key) {
  std::map<std::string, std::string> posted;
  for (const auto& pair : Web().QueryPairs) posted[pair.name] = pair.value;
  const std::string key = posted["ReplaceKey"];
  if (!ChannelExists(key)) return "There is no 1-Wire channel " + key + ".";
  const ReplacementResult done = ReplaceSensor(key, posted["ReplaceRom"]);
  if (done.outcome != ReplacementOutcome::kDone) return "Not replaced: " + done.message + ".";
  new_key = done.new_rom + key.substr(16);
  return {};
}

}  // namespace qb
