#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "DQHTTPResponseRest.h"
#include "DQUSBInterface.h"
#include "Usb/UsbBackend.h"
#include "Usb/UsbDeviceRef.h"

// What the printers of one USB host still owe of answers cut short, by
// printer interface: the interface's place on the bus, its number and the
// printer's serial number (a printer plugged in again gets a new address,
// and owes nothing). An exchange takes its interface's rest out once it has
// the interface open (no one else has it then) and leaves what is owed when
// it ends. Thread-safe: exchanges on several threads share one table.
class DQUSBOwedResponses {
 public:
  // The table of `host`, made on first use and let go with the host.
  static std::shared_ptr<DQUSBOwedResponses> forHost(const std::shared_ptr<platform::UsbBackend>& host);

  // What the interface's printer owes, taken out of the table; nullptr when
  // nothing.
  std::shared_ptr<DQHTTPResponseRest> take(const DQUSBInterface& interface, const std::optional<std::string>& serial);
  // Leaves `rest` owed on the interface; nullptr leaves nothing.
  void leave(const DQUSBInterface& interface, const std::optional<std::string>& serial,
             std::shared_ptr<DQHTTPResponseRest> rest);

 private:
  // Where a rest is owed.
  struct Place {
    platform::UsbDeviceKey device;
    std::uint8_t interface = 0;
    std::optional<std::string> serial;
    friend bool operator==(const Place&, const Place&) = default;
  };
  static std::optional<Place> placeOf(const DQUSBInterface& interface, const std::optional<std::string>& serial);

  std::mutex mutex_;  // guards entries_; the exchanges' threads
  std::vector<std::pair<Place, std::shared_ptr<DQHTTPResponseRest>>> entries_;
};
