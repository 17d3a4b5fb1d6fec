#pragma once

#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace qb {

namespace access {
class OneWireContainer;
}

// The bus tool's commands on the 1-Wire file structure of a memory device.
struct FileCommand {
  std::string command;  // ls, cat, put, mkdir or format
  std::string rom;
  std::string path;        // the path on the device
  std::string local_file;  // put: the file to write to the device
};

bool IsFileCommand(const std::string& command);
// Checks the positional arguments of a file command (the command first); empty when right,
// else what is wrong.
std::string ParseFileCommand(const std::vector<std::string>& positional, FileCommand& into);
// Runs the command on a device that is present; returns the exit status (0 done, 1 failed).
int RunFileCommand(const FileCommand& command, access::OneWireContainer& device, std::ostream& out,
                   std::ostream& err);

// What `read` prints for a device without measured values: the size of its general-purpose
// memory and the files at the root of its 1-Wire file structure ("memory_bytes=512",
// "files=NOTE.1,DATA/", or "files=none (no file structure)"); a device without memory reports
// "present=true".
std::vector<std::pair<std::string, std::string>> ReadMemoryDevice(access::OneWireContainer& device);

}  // namespace qb
