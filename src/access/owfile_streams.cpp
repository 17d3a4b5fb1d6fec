#include "access/owfile_streams.h"

#include <algorithm>

#include "access/errors.h"

namespace qb::access {

namespace {
const char* const kSource = "1-Wire file stream";

std::string ParentOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? "/" : path.substr(0, slash);
}
}  // namespace

OWFileInputStream::OWFileInputStream(OneWireContainer& container, const std::string& path) {
  OWFile file(container, path);
  Open(file);
}

OWFileInputStream::OWFileInputStream(std::shared_ptr<PagedMemoryBank> bank,
                                     const std::string& path) {
  OWFile file(std::move(bank), path);
  Open(file);
}

void OWFileInputStream::Open(OWFile& file) {
  data_ = file.Structure().ReadFile(file.getPath());
  open_ = true;
}

int OWFileInputStream::read(ByteBuffer& buffer) {
  if (!open_) ThrowBusError(kSource, "the input stream is closed");
  const size_t n = std::min(data_.size() - position_, buffer.bytes().size());
  std::copy_n(data_.begin() + position_, n, buffer.bytes().begin());
  position_ += n;
  return static_cast<int>(n);
}

int OWFileInputStream::read() {
  if (!open_) ThrowBusError(kSource, "the input stream is closed");
  return position_ < data_.size() ? data_[position_++] : -1;
}

int OWFileInputStream::available() const {
  return open_ ? static_cast<int>(data_.size() - position_) : 0;
}

void OWFileInputStream::close() {
  open_ = false;
  data_.clear();
}

OWFileOutputStream::OWFileOutputStream(OneWireContainer& container, const std::string& path)
    : file_(std::make_unique<OWFile>(container, path)) {
  Open();
}

OWFileOutputStream::OWFileOutputStream(std::shared_ptr<PagedMemoryBank> bank,
                                       const std::string& path)
    : file_(std::make_unique<OWFile>(std::move(bank), path)) {
  Open();
}

void OWFileOutputStream::Open() {
  FileStructure& fs = file_->Structure();
  if (!fs.IsFormatted())
    ThrowBusError(kSource, "the device has no 1-Wire file structure; format it first");
  const std::string parent = ParentOf(file_->getPath());
  auto dir = fs.Find(parent);
  if (!dir || !dir->directory)
    ThrowBusError(kSource, "\"" + file_->getPath() + "\": there is no directory \"" + parent +
                               "\" on the device");
  auto node = fs.Find(file_->getPath());
  if (node && node->directory)
    ThrowBusError(kSource, "\"" + file_->getPath() + "\" is a directory, not a file");
  open_ = true;
}

void OWFileOutputStream::CheckOpen() const {
  if (!open_) ThrowBusError(kSource, "the output stream is closed");
}

void OWFileOutputStream::write(const ByteBuffer& buffer, int offset, int length) {
  CheckOpen();
  if (offset < 0 || length < 0 || offset > buffer.length() || length > buffer.length() - offset)
    ThrowBusError(kSource, "bytes " + std::to_string(offset) + " to " +
                               std::to_string(offset + length) + " are outside the buffer of " +
                               std::to_string(buffer.length()) + " bytes");
  data_.insert(data_.end(), buffer.bytes().begin() + offset,
               buffer.bytes().begin() + offset + length);
  stored_ = false;
}

void OWFileOutputStream::write(const Bytes& data) {
  CheckOpen();
  data_.insert(data_.end(), data.begin(), data.end());
  stored_ = false;
}

void OWFileOutputStream::flush() {
  CheckOpen();
  if (stored_) return;
  file_->Structure().WriteFile(file_->getPath(), data_);
  stored_ = true;
}

void OWFileOutputStream::close() {
  if (!open_) return;
  // Closed even when the last store fails, so a failing close is not repeated.
  open_ = false;
  if (!stored_) {
    stored_ = true;
    file_->Structure().WriteFile(file_->getPath(), data_);
  }
}

}  // namespace qb::access
