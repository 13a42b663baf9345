#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "TestSupport.h"
#include "DQUSBConfigurationDescriptor.h"
#include "DQUSBConstatns.h"
#include "DQUSBDeviceDescriptor.h"
#include "DQUSBDeviceInfoDescriptor.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Builds a configuration blob; wTotalLength is the length built unless set.
class ConfigurationBuilder {
 public:
  ConfigurationBuilder() : bytes_{9, 2, 0, 0, 1, 1, 0, 0xC0, 50} {}

  ConfigurationBuilder& add(std::initializer_list<std::uint8_t> descriptor) {
    bytes_.insert(bytes_.end(), descriptor);
    return *this;
  }
  ConfigurationBuilder& interface(std::uint8_t number, std::uint8_t alternate, std::uint8_t protocol) {
    return add({9, 4, number, alternate, 2, 7, 1, protocol, 0});
  }
  ConfigurationBuilder& endpoint(std::uint8_t address) { return add({7, 5, address, 2, 0x00, 0x02, 0}); }

  Bytes build(int totalLength = -1) const {
    Bytes bytes = bytes_;
    const auto total = static_cast<std::uint16_t>(totalLength < 0 ? bytes.size() : totalLength);
    bytes[2] = static_cast<std::uint8_t>(total & 0xFF);
    bytes[3] = static_cast<std::uint8_t>(total >> 8);
    return bytes;
  }

 private:
  Bytes bytes_;
};

std::vector<std::uint8_t> endpointAddresses(const DQUSBInterfaceDescriptor& interface) {
  std::vector<std::uint8_t> addresses;
  for (const auto& endpoint : interface.endpoints()) addresses.push_back(endpoint->endpointAddress());
  return addresses;
}

}  // namespace

TEST(USBDescriptorTest, DeviceDescriptorReadsLittleEndianFieldsAndNeedsEighteenBytes) {
  const Bytes raw{18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x7A, 0x2F, 0x34, 0x12, 0x01, 0x01, 1, 2, 3, 1};
  const auto device = DQUSBDeviceDescriptor::withIOKitDescriptor(raw);
  ASSERT_TRUE(device);
  EXPECT_EQ(device->vendorID(), DQUSBConstatns::ZarnVendorID());
  EXPECT_EQ(device->productID(), 0x1234);

  EXPECT_FALSE(DQUSBDeviceDescriptor::withIOKitDescriptor(std::span(raw).first(17)));
}

TEST(USBDescriptorTest, ConfigurationKeepsEveryAlternateWithItsOwnEndpoints) {
  // A class-specific descriptor between an interface and its endpoints does
  // not detach them from it.
  const Bytes raw = ConfigurationBuilder()
                        .interface(0, 0, 2)
                        .add({4, 0x21, 0, 0})
                        .endpoint(0x01)
                        .endpoint(0x81)
                        .interface(0, 1, 4)
                        .endpoint(0x02)
                        .endpoint(0x82)
                        .interface(1, 0, 2)
                        .build();
  const auto configuration = DQUSBConfigurationDescriptor::descriptorWithRawData(raw);
  ASSERT_TRUE(configuration);

  const auto& interfaces = configuration->interfaces();
  ASSERT_EQ(interfaces.size(), 3u);
  EXPECT_EQ(endpointAddresses(*interfaces[0]), (std::vector<std::uint8_t>{0x01, 0x81}));
  EXPECT_EQ(endpointAddresses(*interfaces[1]), (std::vector<std::uint8_t>{0x02, 0x82}));
  EXPECT_TRUE(interfaces[2]->endpoints().empty());
  EXPECT_EQ(configuration->interfaceDescriptorsForInterfaceNumber(0),
            (std::vector<std::shared_ptr<DQUSBInterfaceDescriptor>>{interfaces[0], interfaces[1]}));

  // The first match in descriptor order, though interface 1 matches too.
  EXPECT_EQ(configuration->interfaceDescriptorForClass(7, 1, 2), interfaces[0]);
  EXPECT_EQ(configuration->interfaceDescriptorForClass(7, 1, 4), interfaces[1]);
  EXPECT_EQ(configuration->interfaceDescriptorForClass(7, 1, 3), nullptr);
  EXPECT_FALSE(interfaces[0]->isAirPrintInterface());
  EXPECT_TRUE(interfaces[1]->isAirPrintInterface());
}

TEST(USBDescriptorTest, ConfigurationWalkDistrustsTheDevicesLengths) {
  testsupport::CapturedLog log;
  EXPECT_FALSE(DQUSBConfigurationDescriptor::descriptorWithRawData(Bytes(8, 9)));
  EXPECT_TRUE(DQUSBConfigurationDescriptor::descriptorWithRawData(ConfigurationBuilder().build())->interfaces().empty());
  // An endpoint before any interface belongs to none.
  const auto orphan =
      DQUSBConfigurationDescriptor::descriptorWithRawData(ConfigurationBuilder().endpoint(0x81).interface(0, 0, 2).build());
  EXPECT_TRUE(orphan->interfaces()[0]->endpoints().empty());

  // bLength 0 ends the walk; what came before stays.
  const auto stopped = DQUSBConfigurationDescriptor::descriptorWithRawData(
      ConfigurationBuilder().interface(0, 0, 2).add({0, 4}).interface(1, 0, 2).build());
  ASSERT_EQ(stopped->interfaces().size(), 1u);

  // Descriptors too short for their kind are skipped and the walk goes on.
  const auto shortOnes = DQUSBConfigurationDescriptor::descriptorWithRawData(ConfigurationBuilder()
                                                                                 .interface(0, 0, 2)
                                                                                 .add({5, 4, 1, 0, 0})
                                                                                 .add({4, 5, 0x83, 2})
                                                                                 .add({1})
                                                                                 .endpoint(0x81)
                                                                                 .build());
  ASSERT_EQ(shortOnes->interfaces().size(), 1u);
  EXPECT_EQ(endpointAddresses(*shortOnes->interfaces()[0]), (std::vector<std::uint8_t>{0x81}));

  // wTotalLength past the data: the walk ends with the data, and a
  // descriptor cut off by the end is not read; short of the data: what lies
  // past it is not part of it.
  const ConfigurationBuilder two = ConfigurationBuilder().interface(0, 0, 2).interface(1, 0, 4);
  Bytes cut = two.build(400);
  cut.resize(cut.size() - 3);
  EXPECT_EQ(DQUSBConfigurationDescriptor::descriptorWithRawData(cut)->interfaces().size(), 1u);
  EXPECT_EQ(DQUSBConfigurationDescriptor::descriptorWithRawData(two.build(static_cast<int>(two.build().size()) - 9))
                ->interfaces().size(), 1u);
}

TEST(USBDescriptorTest, DeviceInfoDescriptorFormsAndCapabilities) {
  const Bytes extended{10, 0x21, 3, 0, 1, 4, 0x12, 0x00, 5, 6};
  const auto base = DQUSBDeviceInfoDescriptor::withDraftIOKitDescriptor(extended);
  ASSERT_TRUE(base);
  EXPECT_EQ(base->IPPVersionDescriptor(), 0);
  EXPECT_TRUE(base->isScanCapable());
  EXPECT_TRUE(base->isAirPrintCapable());
  EXPECT_FALSE(base->isFaxCapable());

  const auto full = DQUSBDeviceInfoDescriptor::withIOKitDescriptor(extended);
  ASSERT_TRUE(full);
  EXPECT_EQ(full->IPPPrinterUUIDDescriptor(), 6);

  EXPECT_FALSE(DQUSBDeviceInfoDescriptor::withIOKitDescriptor(std::span(extended).first(9)));
  EXPECT_FALSE(DQUSBDeviceInfoDescriptor::withDraftIOKitDescriptor(std::span(extended).first(7)));
}
