// The simulated USB bus, seen from tests and the simulator: plug a device
// model in and get its physical device object (PDO), drive the model, pull
// the device out. The bus driver ("\Driver\usbbus") answers the PDO's
// internal USB requests the way a host controller and hub do.
//
// Everything here is called from a simulated thread inside a run
// (winsim::kernel::Run), at PASSIVE_LEVEL.
#pragma once
#if defined(KORV_DRIVER)
#error "winsim/usb/bus.h is for tests and the simulator, not for drivers"
#endif

#include <memory>

#include "winsim/kernel/wdk/ntddk.h"
#include "winsim/usb/device_model.h"

namespace winsim::usb {

enum class Completion {
  // Requests the device answers complete from the bus's service thread at
  // DISPATCH_LEVEL after the dispatch routine returned STATUS_PENDING, as a
  // host controller completes them from its DPC.
  kDeferred,
  // Requests the device can answer at once complete inside the dispatch
  // routine; the others still wait for the device.
  kInline,
};

struct PlugOptions {
  // Report the PDO to the PnP manager, which asks its ids and loads and
  // starts the drivers bound to them.
  bool reportArrival = true;
  Completion completion = Completion::kDeferred;
};

// The largest MaximumTransferSize a select-configuration request may ask
// for; larger ones are refused with USBD_STATUS_INVALID_PARAMETER.
constexpr ULONG kMaximumTransferSizeLimit = 256 * 1024;

// The NTSTATUS a request gets when its URB ends with this USBD status.
NTSTATUS NtStatusFromUsbd(USBD_STATUS status);

struct Port;

// One plugged device.
class UsbDevice {
 public:
  explicit UsbDevice(Port* port) : port_(port) {}  // made by the bus
  PDEVICE_OBJECT Pdo() const;  // nullptr once removal deleted it
  DeviceModel& Model();
  ULONG PortNumber() const;
  bool Plugged() const;
  void SetCompletion(Completion completion);
  // Requests the bus holds for this device: transfers the device has not
  // finished and answers not yet completed.
  size_t PendingRequests() const;
  // Completes a pending wait-wake request with STATUS_SUCCESS, as a device's
  // remote wake-up does; false when none is pending.
  bool SignalWake();

 private:
  friend class Bus;
  Port* port_;
};

class Bus {
 public:
  // Loads the bus driver and starts its service thread.
  Bus();
  // Stops the service thread. When no PDO is left (every device unplugged
  // and removed) the driver is unloaded too, and the verifier checks that
  // the bus and everyone it handed memory to left nothing behind.
  ~Bus();
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  // Creates the PDO for a new device. The description must outlive the bus.
  UsbDevice& Plug(const DeviceDescription& description = kCardReader, PlugOptions options = {});
  // The device leaves the bus: requests in flight complete with
  // STATUS_DEVICE_NOT_CONNECTED (USBD_STATUS_DEVICE_GONE), a pending
  // wait-wake with STATUS_NO_SUCH_DEVICE, and later requests fail the same
  // way. With reportMissing the PnP manager then removes the stack, and the
  // removal deletes the PDO.
  void Unplug(UsbDevice& device, bool reportMissing = true);

  PDRIVER_OBJECT Driver() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace winsim::usb
