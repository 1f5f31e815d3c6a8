// The simulated USB device: what it is (descriptor tables), how it answers
// control requests, what it sends on bulk IN and takes on bulk OUT, and the
// faults a test injects. Plain data and logic: nothing here blocks or calls
// the kernel; the bus driver (bus.h) carries requests to it and back.
#pragma once
#if defined(KORV_DRIVER)
#error "winsim/usb is for the stand-in, tests and the simulator, not for drivers"
#endif

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "winsim/kernel/wdk/ntstatus.h"
#include "winsim/kernel/wdk/usb.h"

namespace winsim::usb {

// ---- what a device is -------------------------------------------------------

struct EndpointDescription {
  UCHAR address;  // bit 7 set for IN
  UCHAR attributes;  // USB_ENDPOINT_TYPE_*
  USHORT maxPacketSize;
  UCHAR interval;
};

struct InterfaceDescription {
  UCHAR number;
  UCHAR alternateSetting;
  UCHAR interfaceClass;
  UCHAR interfaceSubClass;
  UCHAR interfaceProtocol;
  std::span<const EndpointDescription> endpoints;
  // Class- or vendor-specific descriptors sent between the interface
  // descriptor and its endpoints, whole descriptors back to back.
  std::span<const UCHAR> extra = {};
};

struct DeviceDescription {
  const char* name;  // for messages
  USB_DEVICE_DESCRIPTOR device;
  UCHAR configurationValue;
  UCHAR configurationAttributes;  // bmAttributes: USB_CONFIG_*
  UCHAR maxPower;                 // in 2 mA units
  std::span<const InterfaceDescription> interfaces;
  std::u16string_view manufacturer;
  std::u16string_view product;
  std::u16string_view serialNumber;  // empty: no serial number
  // The device state the sleeping system states S1..S3 map to (D2 or D3).
  DEVICE_POWER_STATE sleepState = PowerDeviceD2;
  // When not empty, exactly what the device answers for its configuration
  // descriptor, well formed or not; `interfaces` then only says which
  // endpoints the device serves.
  std::span<const UCHAR> rawConfiguration = {};
};

// The card reader: interface 0 with bulk OUT 0x01 then bulk IN 0x82, 64-byte packets.
extern const DeviceDescription kCardReader;
// Variants.
extern const DeviceDescription kCardReaderInBeforeOut;     // bulk IN listed first
extern const DeviceDescription kCardReaderTwoInterfaces;   // a second, vendor interface
extern const DeviceDescription kCardReaderLongConfiguration;  // wTotalLength above 521
extern const DeviceDescription kCardReaderSleepD3;         // S1..S3 map to D3, no remote wake-up
extern const DeviceDescription kCardReaderNoSerial;

// Devices whose configuration descriptor is malformed, one fault each.
struct MalformedCase {
  const char* what;
  const DeviceDescription* device;
};
std::span<const MalformedCase> MalformedDevices();

// ---- the wire format ----------------------------------------------------------

// Each writes the descriptor into `out` and returns its length, or nothing
// when `out` is too short (then `out` holds a prefix).
std::optional<size_t> SerializeDeviceDescriptor(const DeviceDescription& d, std::span<UCHAR> out);
std::optional<size_t> SerializeConfiguration(const DeviceDescription& d, std::span<UCHAR> out);
// Index 0 is the language list; the others follow iManufacturer, iProduct and
// iSerialNumber. Nothing either when the device has no such string.
std::optional<size_t> SerializeString(const DeviceDescription& d, UCHAR index,
                                      std::span<UCHAR> out);
size_t ConfigurationLength(const DeviceDescription& d);
std::vector<UCHAR> ConfigurationBytes(const DeviceDescription& d);

// ---- requests -----------------------------------------------------------------

struct SetupPacket {
  UCHAR bmRequestType;
  UCHAR bRequest;
  USHORT wValue;
  USHORT wIndex;
  USHORT wLength;
};

struct ControlRecord {
  SetupPacket setup;
  std::vector<UCHAR> data;  // the OUT data stage, or what the device answered
  bool stalled;
  std::string why;  // for a stall: what the device did not accept
};

struct LineCoding {
  ULONG dwDTERate;
  UCHAR bCharFormat;
  UCHAR bParityType;
  UCHAR bDataBits;
};

// CDC request codes the device answers (class, recipient interface).
constexpr UCHAR kSetLineCoding = 0x20;
constexpr UCHAR kGetLineCoding = 0x21;
constexpr UCHAR kSetControlLineState = 0x22;

enum class OutBehaviour {
  kTakeAll,     // every OUT transfer is taken at once
  kTakeSlowly,  // bytesPerMillisecond of virtual time
  kNever,       // OUT transfers stay pending
  kStall,       // the endpoint stalls every OUT transfer, also after a clear
};

// Kinds of request a test can make fail once (FailNext).
enum class RequestKind {
  kSelectConfiguration,
  kGetDescriptor,
  kBulkIn,
  kBulkOut,
  kClassOrVendor,
  kGetStatus,
  kAbortPipe,
  kResetPipe,
  kResetPort,
};

struct Fault {
  USBD_STATUS usbd;
  NTSTATUS nt;  // 0: the one the bus derives from usbd
};

// What a bulk transfer came to: finished (with a status) or still waiting.
struct BulkOutcome {
  bool finished;
  USBD_STATUS status;
};

class DeviceModel {
 public:
  explicit DeviceModel(const DeviceDescription& description);
  const DeviceDescription& Description() const { return *description_; }

  // ---- seen from the bus ----

  // Answers one control transfer. IN: writes at most wLength bytes into
  // `data` and returns how many; OUT: `data` holds the wLength bytes of the
  // data stage. Nothing when the device stalls.
  std::optional<ULONG> Control(const SetupPacket& setup, std::span<UCHAR> data);

  // Moves bulk data for one transfer on `endpoint` whose `done` bytes of
  // `buffer` already moved. IN takes whole packets of the endpoint's size;
  // a short packet ends the transfer (an error unless shortOk). `now` is
  // virtual time in 100 ns units and `start` when the transfer began.
  BulkOutcome BulkIn(UCHAR endpoint, std::span<UCHAR> buffer, ULONG* done, bool shortOk);
  BulkOutcome BulkOut(UCHAR endpoint, std::span<const UCHAR> buffer, ULONG* done,
                      uint64_t now, uint64_t start);
  // True when an OUT transfer in progress waits for time to pass.
  bool OutIsTimed(UCHAR endpoint) const;

  void ClearHalt(UCHAR endpoint);  // the host's clear-feature(ENDPOINT_HALT)
  void ResetPort();                // bus reset; the configuration is restored by the host
  void SetPowerState(DEVICE_POWER_STATE state) { powerState_ = state; }
  std::optional<Fault> TakeFault(RequestKind kind);

  // ---- seen from a test ----

  // Bytes the device sends on bulk IN, as packets of at most the endpoint's
  // size; each call starts a new packet. Endpoint 0 means the first bulk IN.
  void QueueIn(std::span<const UCHAR> bytes, UCHAR endpoint = 0);
  void QueueIn(std::string_view text, UCHAR endpoint = 0);
  void QueueZeroLengthPacket(UCHAR endpoint = 0);
  size_t PacketsQueued(UCHAR endpoint = 0) const;

  void SetOutBehaviour(OutBehaviour behaviour, ULONG bytesPerMillisecond = 0,
                       UCHAR endpoint = 0);
  const std::vector<UCHAR>& OutData(UCHAR endpoint = 0) const;  // everything taken

  void Stall(UCHAR endpoint);  // halts the endpoint until the host clears it
  bool Halted(UCHAR endpoint) const;

  // The next request of that kind fails with the status, once per call.
  void FailNext(RequestKind kind, USBD_STATUS usbd, NTSTATUS nt = 0);

  const std::vector<ControlRecord>& ControlRequests() const { return control_; }
  std::vector<ControlRecord> ClassRequests() const;  // bmRequestType type bits = class
  std::vector<ControlRecord> Stalls() const;         // every control request stalled
  LineCoding CurrentLineCoding() const { return lineCoding_; }
  USHORT ControlLineState() const { return controlLines_; }  // bit 0 DTR, bit 1 RTS
  UCHAR Configuration() const { return configuration_; }     // 0: not configured
  DEVICE_POWER_STATE PowerState() const { return powerState_; }
  bool RemoteWakeupEnabled() const { return remoteWakeup_; }
  ULONG PortResets() const { return portResets_; }

  UCHAR FirstBulkIn() const;
  UCHAR FirstBulkOut() const;

  // Called after every test-side change, so the bus can move pending transfers.
  void SetChangeHook(std::function<void()> hook) { changed_ = std::move(hook); }

 private:
  struct Endpoint {
    USHORT maxPacket = 64;
    bool halted = false;
    std::deque<std::vector<UCHAR>> packets;  // IN
    OutBehaviour out = OutBehaviour::kTakeAll;
    ULONG rate = 0;
    std::vector<UCHAR> taken;  // OUT
  };
  Endpoint& EndpointAt(UCHAR address);
  const Endpoint* FindEndpoint(UCHAR address) const;
  const InterfaceDescription* FindInterface(UCHAR number) const;
  UCHAR Resolve(UCHAR endpoint, bool in) const;
  void Changed() {
    if (changed_) changed_();
  }

  std::optional<ULONG> Standard(const SetupPacket& s, std::span<UCHAR> data, std::string* why);
  std::optional<ULONG> Class(const SetupPacket& s, std::span<UCHAR> data, std::string* why);

  const DeviceDescription* description_;
  std::map<UCHAR, Endpoint> endpoints_;
  std::vector<ControlRecord> control_;
  std::map<RequestKind, std::deque<Fault>> faults_;
  LineCoding lineCoding_{9600, 0, 0, 8};
  USHORT controlLines_ = 0;
  UCHAR configuration_ = 0;
  bool remoteWakeup_ = false;
  DEVICE_POWER_STATE powerState_ = PowerDeviceD0;
  ULONG portResets_ = 0;
  std::function<void()> changed_;
};

}  // namespace winsim::usb
