// KORVUSB on the simulated machine: the reader plugged into the simulated
// bus, the driver bound to it through the Plug and Play manager, and a spy
// filter below the driver that records (and can fail) what it sends down.
// The test plays the layer above: it opens handles by name and sends reads,
// writes and control requests the way the serial port driver does.
#pragma once

#include <functional>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "usbdriver/korvusb.h"
#include "winsim/kernel/pnp.h"
#include "winsim/kernel/sim.h"
#include "winsim/usb/bus.h"

namespace korvtest {

// What crossed from KORVUSB to the bus, one line a request: the URB
// function or "reset-port", "power D2" and the like.
struct SpyRecord {
  std::string what;
  ULONG length = 0;  // TransferBufferLength asked for, for transfers
};

struct SpyFailure {
  NTSTATUS status;
  int skip = 0;  // matching requests let through first
};

struct Spy {
  std::vector<SpyRecord> records;
  // URB functions (or kResetPortKey) that fail with a status instead of
  // reaching the bus.
  std::map<USHORT, SpyFailure> failures;
  bool failPowerUp = false;  // device set-power D0 fails below KORVUSB
  std::vector<std::string> Whats() const;
  size_t Count(const std::string& what) const;
};
constexpr USHORT kResetPortKey = 0xFFFF;

struct Reader {
  winsim::usb::Bus* bus;
  winsim::usb::UsbDevice* device;
  winsim::kernel::DeviceNode* node;
  PDEVICE_OBJECT fdo;  // KORVUSB's device object, nullptr when the start failed
  Spy* spy;
  korvusb::KORVUSB_EXTENSION* Ext() const { return korvusb::ExtensionOf(fdo); }
  winsim::usb::DeviceModel& Model() const { return device->Model(); }
};

struct ReaderOptions {
  const winsim::usb::DeviceDescription* description = &winsim::usb::kCardReader;
  winsim::usb::Completion completion = winsim::usb::Completion::kDeferred;
  bool spy = true;
  std::map<USHORT, SpyFailure> failures;  // in place from the first request
  std::function<void()> beforePlug;
};

// Runs `body` with the reader plugged in and started (or its start failed),
// under `seed`. Afterwards the reader is unplugged, every driver unloads with
// the verifier's leak check and the machine must be clean.
void WithReader(const std::function<void(Reader&)>& body, uint64_t seed = 0,
                ReaderOptions options = {});

// A handle of the layer above: a file object of its own.
struct Handle {
  FILE_OBJECT file{};
  std::wstring name;
};

// A request sent and not yet waited for.
struct Pending {
  PIRP irp = nullptr;
  KEVENT done;
  IO_STATUS_BLOCK io{};
  bool Finished() const { return KeReadStateEvent(const_cast<PKEVENT>(&done)) != 0; }
};

NTSTATUS Open(PDEVICE_OBJECT fdo, Handle& h, const wchar_t* name);
NTSTATUS Close(PDEVICE_OBJECT fdo, Handle& h);
NTSTATUS Read(PDEVICE_OBJECT fdo, Handle& h, std::span<UCHAR> buffer, ULONG_PTR* information);
NTSTATUS Write(PDEVICE_OBJECT fdo, Handle& h, std::span<const UCHAR> data,
               ULONG_PTR* information);
void StartRead(PDEVICE_OBJECT fdo, Handle& h, std::span<UCHAR> buffer, Pending& p);
void StartWrite(PDEVICE_OBJECT fdo, Handle& h, std::span<const UCHAR> data, Pending& p);
NTSTATUS Wait(Pending& p, ULONG_PTR* information = nullptr);
// Cancels a request that has not finished yet, as a caller giving up does.
void CancelIfPending(Pending& p);
NTSTATUS Control(PDEVICE_OBJECT fdo, ULONG code, std::span<UCHAR> in, std::span<UCHAR> out,
                 ULONG_PTR* information, Handle* h = nullptr);
// A Plug and Play request sent to KORVUSB's device object.
NTSTATUS Pnp(PDEVICE_OBJECT fdo, UCHAR minor, PDEVICE_CAPABILITIES caps = nullptr);
// Lets the other simulated threads run for `ms` of virtual time.
void Sleep(ULONG ms);

}  // namespace korvtest
