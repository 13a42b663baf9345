#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "DQDeviceIDParser.h"

namespace {

using Triple = std::tuple<int, int, int>;

std::optional<std::vector<Triple>> interfacesOf(std::string_view deviceID) {
  const auto locators = DQDeviceIDParser(std::string(deviceID)).NEXAIS();
  if (!locators) return std::nullopt;
  std::vector<Triple> triples;
  for (const auto& locator : *locators) {
    triples.emplace_back(locator->interfaceClass(), locator->interfaceSubclass(), locator->interfaceProtocol());
  }
  return triples;
}

}  // namespace

TEST(DeviceIDParserTest, ReadsTheKnownFieldsWhereAFieldStarts) {
  const DQDeviceIDParser parser("MFG:Maker;MDL:Model 100;CMD:PCL;SN:CN12345;CID:ZRN_PCL;");
  EXPECT_EQ(parser.modelName(), "Model 100");
  EXPECT_EQ(parser.identifier(), "ZRN_PCL");
  EXPECT_EQ(parser.deviceDescription(), std::nullopt);
  EXPECT_EQ(DQDeviceIDParser("MODEL:X;").modelName(), "X");
  EXPECT_EQ(DQDeviceIDParser("MODEL:X;MDL:Y;").modelName(), "Y");
  EXPECT_EQ(DQDeviceIDParser("mfg:Maker;").manufacturer(), "Maker");
  EXPECT_EQ(DQDeviceIDParser("DES: A  B ;").deviceDescription(), " A  B ");  // as it stands
  EXPECT_EQ(DQDeviceIDParser("XSN:123;SN:456;").serialNumber(), "456");
  EXPECT_EQ(DQDeviceIDParser("DES:has SN:1 inside;").serialNumber(), std::nullopt);
  EXPECT_EQ(DQDeviceIDParser("MFG:A; SN:789;").serialNumber(), "789");
}

TEST(DeviceIDParserTest, TheLastValueRunsToTheEndOfTheText) {
  EXPECT_EQ(DQDeviceIDParser("MFG:Maker;MDL:Model 100").modelName(), "Model 100");
  EXPECT_EQ(DQDeviceIDParser("MDL:").modelName(), "");
  // The text ends at its first NUL: the padding devices add is no value's.
  using namespace std::string_literals;
  const auto padded = DQDeviceIDParser::parserWithDeviceIDString("MFG:Maker;MDL:Model 100\0\0;SN:1;\0"s);
  ASSERT_TRUE(padded);
  EXPECT_EQ(padded->deviceID(), "MFG:Maker;MDL:Model 100");
  EXPECT_EQ(padded->modelName(), "Model 100");
  EXPECT_EQ(padded->serialNumber(), std::nullopt);
  EXPECT_EQ(DQDeviceIDParser::parserWithDeviceIDString("\0MFG:Maker;"s), nullptr);
  EXPECT_EQ(DQDeviceIDParser::parserWithDeviceIDString(""), nullptr);
}

TEST(DeviceIDParserTest, ListsTheNEXAInterfaces) {
  EXPECT_EQ(interfacesOf("NEXADIS:USB#07#01#04;"), (std::vector<Triple>{{7, 1, 4}}));
  EXPECT_EQ(interfacesOf("nexadis:usb#ff#cc#1a;"), (std::vector<Triple>{{255, 204, 26}}));
  EXPECT_EQ(interfacesOf("NEXADIS:USB#07#01#04,USB#FF#CC#00;"), (std::vector<Triple>{{7, 1, 4}, {255, 204, 0}}));
  EXPECT_EQ(interfacesOf("NEXADIS:xUSB#07#01#02 USB#07#01#02;"), (std::vector<Triple>{{7, 1, 2}, {7, 1, 2}}));
  // Exactly two digits per field: a short field spoils the item.
  EXPECT_EQ(interfacesOf("NEXADIS:USB#07#01#4;"), std::vector<Triple>{});
  EXPECT_EQ(interfacesOf("NEXADIS:USB#7#01#04;"), std::vector<Triple>{});
  EXPECT_EQ(interfacesOf("NEXADIS:;"), std::nullopt);
  EXPECT_EQ(interfacesOf("MFG:Maker;"), std::nullopt);
}

