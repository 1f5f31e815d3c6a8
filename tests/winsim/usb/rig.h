// A bus with one device plugged in (not reported to the PnP manager) and a
// function driver attached to its PDO, inside a run. Afterwards the device is
// pulled out and removed, so the bus driver unloads and the verifier checks
// that neither driver left a request, MDL or pool block behind.
#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "function_driver.h"
#include "winsim/usb/bus.h"

namespace usbtest {

struct Rig {
  winsim::usb::Bus& bus;
  winsim::usb::UsbDevice& device;
  FunctionDriver& driver;
  winsim::usb::DeviceModel& model() { return device.Model(); }
};

struct Setup {
  const winsim::usb::DeviceDescription* device = &winsim::usb::kCardReader;
  winsim::usb::Completion completion = winsim::usb::Completion::kDeferred;
  uint64_t seed = 0;
  bool configure = true;  // select the configuration with 256-byte pipes first
};

inline void WithDevice(const Setup& setup, const std::function<void(Rig&)>& body) {
  winsim::kernel::Run(setup.seed, [&] {
    {
      winsim::usb::Bus bus;
      winsim::usb::UsbDevice& device =
          bus.Plug(*setup.device, {.reportArrival = false, .completion = setup.completion});
      FunctionDriver driver(device.Pdo());
      Rig rig{bus, device, driver};
      if (!setup.configure || driver.Configure() == STATUS_SUCCESS) {
        body(rig);
      } else {
        ADD_FAILURE() << "configuring " << setup.device->name << " failed";
      }
      EXPECT_EQ(device.PendingRequests(), 0u) << "requests left with the bus";
      bus.Unplug(device, false);
      if (device.Pdo() != nullptr) {
        EXPECT_EQ(SendRemove(device.Pdo()), STATUS_SUCCESS);
      }
    }
    EXPECT_EQ(winsim::kernel::LiveIrps(), 0);
  });
}

inline void WithDevice(const std::function<void(Rig&)>& body) { WithDevice(Setup{}, body); }

}  // namespace usbtest
