#include "access/owfile.h"

#include "access/container.h"
#include "access/errors.h"

namespace qb::access {

ByteBuffer::ByteBuffer(int size) : bytes_(size > 0 ? size : 0, 0) {}

uint8_t ByteBuffer::get(int i) const {
  if (i < 0 || i >= length())
    ThrowBusError("ByteBuffer", "byte " + std::to_string(i) + " is outside the buffer of " +
                                    std::to_string(length()) + " bytes");
  return bytes_[i];
}

void ByteBuffer::set(int i, uint8_t value) {
  get(i);
  bytes_[i] = value;
}

OWFile::OWFile(OneWireContainer& container, std::string path)
    : container_(&container), path_(std::move(path)) {}

OWFile::OWFile(std::shared_ptr<PagedMemoryBank> bank, std::string path)
    : bank_(std::move(bank)), path_(std::move(path)) {}

FileStructure& OWFile::Structure() {
  if (!fs_) {
    if (!bank_) bank_ = FileStructure::BankFor(container_->getMemoryBanks(), container_->getName());
    fs_ = std::make_unique<FileStructure>(bank_);
  }
  return *fs_;
}

bool OWFile::exists() {
  return Structure().Find(path_).has_value();
}

bool OWFile::isFile() {
  auto node = Structure().Find(path_);
  return node && !node->directory;
}

bool OWFile::isDirectory() {
  auto node = Structure().Find(path_);
  return node && node->directory;
}

std::vector<FileEntry> OWFile::listFiles() {
  return Structure().List(path_);
}

int OWFile::length() {
  return static_cast<int>(Structure().ReadFile(path_).size());
}

void OWFile::format() {
  Structure().Format();
}

void OWFile::deleteFile() {
  Structure().Delete(path_);
}

void OWFile::mkdir() {
  Structure().MakeDirectory(path_);
}

void OWFile::renameTo(OWFile& target) {
  Structure();
  target.Structure();
  if (bank_ != target.bank_ &&
      (!container_ || !target.container_ ||
       container_->getAddressAsString() != target.container_->getAddressAsString()))
    ThrowNotSupported("1-Wire file structure", "Renaming a file to another device");
  Structure().Rename(path_, target.path_);
}

}  // namespace qb::access
