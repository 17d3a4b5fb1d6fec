#pragma once

#include <memory>
#include <string>

#include "access/owfile.h"

namespace qb::access {

// Reads a file of the 1-Wire file structure. Opening reads the whole file (a GeneralFailure when
// it does not exist or its pages are broken); reads then hand it out in order.
class OWFileInputStream {
 public:
  OWFileInputStream(OneWireContainer& container, const std::string& path);
  OWFileInputStream(std::shared_ptr<PagedMemoryBank> bank, const std::string& path);

  // Fills `buffer` from its start with the next bytes; returns how many (0 at the end).
  int read(ByteBuffer& buffer);
  // The next byte, or -1 at the end.
  int read();
  int available() const;
  void close();

 private:
  void Open(OWFile& file);
  Bytes data_;
  size_t position_ = 0;
  bool open_ = false;
};

// Writes a file of the 1-Wire file structure, replacing it when it exists. The bytes written are
// collected and flush() stores them all as the file's new contents; close() stores them when
// they have not been stored yet (an output stream opened and closed leaves an empty file).
class OWFileOutputStream {
 public:
  // Opening checks that the device has a file structure and that the file's directory exists.
  OWFileOutputStream(OneWireContainer& container, const std::string& path);
  OWFileOutputStream(std::shared_ptr<PagedMemoryBank> bank, const std::string& path);

  void write(const ByteBuffer& buffer, int offset, int length);
  void write(const Bytes& data);
  void flush();
  void close();

 private:
  void Open();
  void CheckOpen() const;
  std::unique_ptr<OWFile> file_;
  Bytes data_;
  bool stored_ = false;
  bool open_ = false;
};

}  // namespace qb::access
