#include "tools/bus_tool_files.h"

#include <fstream>
#include <iterator>
#include <vector>

#include "access/container.h"
#include "access/errors.h"
#include "access/owfile.h"
#include "access/owfile_streams.h"

namespace qb {

bool IsFileCommand(const std::string& command) {
  return command == "ls" || command == "cat" || command == "put" || command == "mkdir" ||
         command == "format";
}

std::string ParseFileCommand(const std::vector<std::string>& positional, FileCommand& into) {
  into.command = positional[0];
  const size_t n = positional.size();
  if (into.command == "ls" && (n < 2 || n > 3)) return "ls needs a ROM id and, if you like, a path";
  if (into.command == "cat" && n != 3) return "cat needs a ROM id and a path";
  if (into.command == "put" && n != 4) return "put needs a ROM id, a path and a local file";
  if (into.command == "mkdir" && n != 3) return "mkdir needs a ROM id and a path, such as /DATA";
  if (into.command == "format" && n != 2) return "format needs one ROM id";
  into.rom = positional[1];
  into.path = n > 2 ? positional[2] : "/";
  if (n > 3) into.local_file = positional[3];
  return {};
}

int RunFileCommand(const FileCommand& c, access::OneWireContainer& device, std::ostream& out,
                   std::ostream& err) {
  access::OWFile file(device, c.path);
  if (c.command == "format") {
    file.format();
    out << "formatted " << c.rom << "\n";
    return 0;
  }
  if (!access::OWFile(device, "/").exists()) {
    err << "quellbrook-bus: device " << c.rom
        << " has no 1-Wire file structure; create an empty one with: quellbrook-bus format "
        << c.rom << " (its memory's contents are then lost)\n";
    return 1;
  }
  if (c.command == "ls") {
    if (!file.isDirectory()) {
      err << "quellbrook-bus: there is no directory \"" << c.path << "\" on " << c.rom << "\n";
      return 1;
    }
    for (const auto& entry : file.listFiles())
      out << entry.name << (entry.directory ? "/" : "") << "\n";
    return 0;
  }
  if (c.command == "mkdir") {
    file.mkdir();
    out << "made directory " << c.path << " on " << c.rom << "\n";
    return 0;
  }
  if (c.command == "cat") {
    access::OWFileInputStream in(device, c.path);
    access::ByteBuffer buffer(4096);
    for (int n; (n = in.read(buffer)) > 0;)
      out.write(reinterpret_cast<const char*>(buffer.bytes().data()), n);
    in.close();
    return 0;
  }
  // put
  std::ifstream local(c.local_file, std::ios::binary);
  if (!local) {
    err << "quellbrook-bus: cannot read the local file \"" << c.local_file << "\"\n";
    return 1;
  }
  const access::Bytes data((std::istreambuf_iterator<char>(local)),
                           std::istreambuf_iterator<char>());
  access::OWFileOutputStream stream(device, c.path);
  stream.write(data);
  stream.close();
  out << "wrote " << data.size() << " bytes to " << c.path << " on " << c.rom << "\n";
  return 0;
}

std::vector<std::pair<std::string, std::string>> ReadMemoryDevice(
    access::OneWireContainer& device) {
  long bytes = 0;
  for (const auto& bank : device.getMemoryBanks())
    if (bank->isGeneralPurposeMemory()) bytes += bank->getSize();
  if (bytes == 0) return {{"present", "true"}};
  std::string files;
  access::OWFile root(device, "/");
  if (!root.exists()) {
    files = "none (no file structure)";
  } else {
    for (const auto& entry : root.listFiles())
      files += (files.empty() ? "" : ",") + entry.name + (entry.directory ? "/" : "");
    if (files.empty()) files = "none";
  }
  return {{"memory_bytes", std::to_string(bytes)}, {"files", files}};
}

}  // namespace qb
