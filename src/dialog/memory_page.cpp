#include "dialog/memory_page.h"

#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "access/container.h"
#include "catalogue/family_catalogue.h"
#include "core/plugin_state.h"
#include "dialog/bus_claim.h"
#include "dialog/controls.h"
#include "dialog/device_commands.h"
#include "dialog/file_browser.h"
#include "platform/user_interface.h"

namespace qb::dialog {

MemoryPage::MemoryPage(DeviceView& view) : DevicePage(view) {
  files = new FileBrowser;
  BankCombo = Named(new QComboBox, "BankCombo");
  FeatureList = Named(new QListWidget, "FeatureList");
  DataList = Named(new QListWidget, "DataList");
  DataList->setFont(QFont("Monospace"));
  cmdMemoryEdit = Named(new QPushButton("Edit"), "cmdMemoryEdit");
  cmdMemPause = Named(new QPushButton("Pause Update"), "cmdMemPause");
  auto* files_box = new QGroupBox("Files");
  (new QVBoxLayout(files_box))->addWidget(files);
  auto* mem_box = new QGroupBox("Memory");
  auto* ml = new QVBoxLayout(mem_box);
  ml->addWidget(BankCombo);
  ml->addWidget(FeatureList, 1);
  ml->addWidget(DataList, 2);
  auto* mb = new QHBoxLayout;
  mb->addWidget(cmdMemoryEdit);
  mb->addWidget(cmdMemPause);
  ml->addLayout(mb);
  auto* l = new QHBoxLayout(this);
  l->addWidget(files_box, 1);
  l->addWidget(mem_box, 2);
  connect(BankCombo, &QComboBox::currentIndexChanged, [this](int i) {
    if (!view_.loading) ShowBank(i);
  });
  connect(cmdMemPause, &QPushButton::clicked, [this] {
    paused_ = !paused_;
    cmdMemPause->setText(paused_ ? "Continue" : "Pause Update");
  });
  connect(cmdMemoryEdit, &QPushButton::clicked, [this] { EditClicked(); });
}

void MemoryPage::Unpause() {
  paused_ = false;
  cmdMemPause->setText("Pause Update");
}

void MemoryPage::Show(const std::string& rom, uint32_t caps) {
  if (caps & (kCapMemory | kCapEprom)) {
    files->SetDevice(rom);
    ShowMemory();
  } else {
    files->SetDevice({});
    BankCombo->clear();
    FeatureList->clear();
    DataList->clear();
  }
}

void MemoryPage::EditClicked() {
  const int bank_index = BankCombo->currentIndex();
  const int page_index = std::max(0, DataList->currentRow());
  const std::string rom = view_.rom;
  if (rom.empty() || bank_index < 0) return;
  const std::string typed =
      UI().InputBox("Bytes to write at the start of page " + std::to_string(page_index) +
                        " (hexadecimal, e.g. 01 02 FF):",
                    std::string());
  if (typed.empty()) return;
  std::string bad;
  const auto bytes = ParseHexBytes(typed, bad);
  if (!bytes) {
    UI().MessageBox("Not a byte in hexadecimal: " + bad, MessageIcon::Exclamation, "Edit Memory");
    return;
  }
  const std::string problem = WriteMemory(rom, bank_index, page_index, *bytes);
  if (!problem.empty()) UI().MessageBox(problem, MessageIcon::Critical, "Edit Memory");
  ShowBank(bank_index);
}

void MemoryPage::ShowMemory() {
  const std::string rom = view_.rom;
  QStringList names;
  {
    BusClaim bus(rom);
    try {
      if (bus.Present())
        for (const auto& bank : bus.Container().getMemoryBanks())
          names << Q(bank->getBankDescription());
    } catch (const std::exception&) {
    }
  }
  {
    Filling filling(view_.loading);
    BankCombo->clear();
    BankCombo->addItems(names);
  }
  ShowBank(names.isEmpty() ? -1 : 0);
}

void MemoryPage::ShowBank(int index) {
  FeatureList->clear();
  DataList->clear();
  if (index < 0 || view_.rom.empty()) return;
  QStringList features, data;
  {
    BusClaim bus(view_.rom);
    try {
      if (!bus.Present()) return;
      const auto banks = bus.Container().getMemoryBanks();
      if (index >= static_cast<int>(banks.size())) return;
      const auto bank = banks[index];
      features << Q("Description: " + bank->getBankDescription())
               << QString("Size: %1 bytes").arg(bank->getSize())
               << QString("Start address: %1").arg(bank->getStartPhysicalAddress());
      if (bank->isOTPMemoryBank()) features << "Add-only (EPROM)";
      if (auto* paged = dynamic_cast<access::PagedMemoryBank*>(bank.get())) {
        features << QString("Pages: %1 of %2 bytes")
                        .arg(paged->getNumberPages())
                        .arg(paged->getPageLength());
        for (int page = 0; page < paged->getNumberPages(); ++page) {
          const access::Bytes bytes = paged->readPage(page).data;
          QString line = QString("%1: ").arg(page, 3);
          for (uint8_t b : bytes) line += QString("%1 ").arg(b, 2, 16, QChar('0')).toUpper();
          data << line;
        }
      }
    } catch (const std::exception& e) {
      data << Q(std::string("Could not read: ") + e.what());
    }
  }
  FeatureList->addItems(features);
  DataList->addItems(data);
}

void MemoryPage::Refresh() {
  if (!paused_) ShowBank(BankCombo->currentIndex());
}

void MemoryPage::Reread(const std::string& rom) {
  if (paused_ || view_.rom.empty() || view_.rom != rom.substr(0, 16)) return;
  const int bank = BankCombo->currentIndex();
  ShowMemory();
  if (bank > 0 && bank < BankCombo->count()) BankCombo->setCurrentIndex(bank);
}

}  // namespace qb::dialog
