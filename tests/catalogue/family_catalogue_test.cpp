#include "catalogue/family_catalogue.h"

#include <gtest/gtest.h>

#include <typeinfo>

#include "access/families.h"
#include "platform/settings_store.h"

namespace qb {
namespace {

TEST(FamilyCatalogue, NamesAndCapabilitiesFromTheFirstSixteenCharacters) {
  EXPECT_EQ(FamilyName("5A0000000001E228"), "DS18B20");
  EXPECT_EQ(FamilyCaps("5A0000000001E228"), kCapTemperature);
  EXPECT_EQ(FamilyName("5A0000000001E228M"), "DS18B20");  // a channel key names the same device
  EXPECT_EQ(FamilyCaps("5A0000000001E228K2"), 1u);
  EXPECT_EQ(FamilyName("0000000000000A3B"), "");
  EXPECT_EQ(FamilyCaps("0000000000000A3B"), 0u);
  EXPECT_EQ(FamilyName("0000000000000A3A"), "DS2413");
  EXPECT_EQ(FamilyCaps("0000000000000A42"), kCapTemperature | kCapSwitch);
  EXPECT_EQ(FamilyName("000000000000001d"), "DS2423");  // lower-case hex reads the same
  EXPECT_EQ(FamilyName("28"), "");
  const uint32_t ds2438 = FamilyCaps("6B00000000031B26");
  EXPECT_EQ(ds2438, 0x297u);
  for (uint32_t bit :
       {kCapTemperature, kCapSupplyVoltage, kCapADInput, kCapMemory, kCapClock, kCapCurrentSense}) {
    EXPECT_TRUE(ds2438 & bit) << bit;
  }
}

// The catalogue is the one list of families: every family the access library has a container of
// is in it, and the library names the part as the catalogue does.
TEST(FamilyCatalogue, EveryContainerFamilyIsCataloguedUnderTheSameName) {
  for (int code = 0; code < 256; ++code) {
    const auto container = access::CreateContainer(static_cast<uint8_t>(code));
    const FamilyEntry* family = FindFamily(static_cast<uint8_t>(code));
    const access::OneWireContainer& made = *container;
    const bool own = typeid(made) != typeid(access::OneWireContainer);
    if (own) {
      EXPECT_NE(family, nullptr) << "family " << std::hex << code;
    }
    EXPECT_EQ(container->getName(), family ? family->name : "DS????") << std::hex << code;
  }
  EXPECT_TRUE(FamilyWatchesActivity("0000000000000A29"));
  EXPECT_TRUE(FamilyWatchesActivity("0000000000000A12"));
  EXPECT_FALSE(FamilyWatchesActivity("0000000000000A1F")) << "the coupler's flags are no inputs";
  EXPECT_FALSE(FamilyWatchesActivity("0000000000000AZZ"));
}

TEST(FamilyCatalogue, ChannelLettersTabsAndSuffixes) {
  IniSettingsStore store;
  const std::string battery = "6B00000000031B26";
  EXPECT_EQ(ChannelLetter(0, battery, store), "M");
  EXPECT_EQ(ChannelLetter(1, battery, store), "G");
  store.Set("DS2438", battery, "1");
  EXPECT_EQ(ChannelLetter(1, battery, store), "N");
  EXPECT_EQ(ChannelLetter(2, battery, store), "H");
  EXPECT_EQ(ChannelLetter(5, battery, store), "");
  EXPECT_EQ(ChannelLetter(7, "2A00000000066912", store), "P");
  EXPECT_EQ(ChannelLetter(9, "0F00000000054A1D", store), "K");
  EXPECT_EQ(ChannelSetupTab("H"), 1);
  EXPECT_EQ(ChannelSetupTab("G"), 1);
  EXPECT_EQ(ChannelSetupTab("T"), 8);
  EXPECT_EQ(ChannelSetupTab("X"), 9);
  EXPECT_EQ(ChannelNameSuffix("B100000000045120G"), "-ChannelA");  // a four-channel converter
  EXPECT_EQ(ChannelNameSuffix("6B00000000031B26G"), "-Vdd");
  EXPECT_EQ(ChannelNameSuffix("6B00000000031B26I"), "-Vsense");
  EXPECT_EQ(ChannelNameSuffix("0F00000000054A1DK3"), "-Counter3");
  EXPECT_EQ(ChannelNameSuffix("2A00000000066912P1"), "-PIO1");
  EXPECT_EQ(ChannelNameSuffix("2A00000000066912"), "");
}

}  // namespace
}  // namespace qb
