#include "winsim/usb/device_model.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace winsim::usb {

// ---- the tables -----------------------------------------------------------------

namespace {

constexpr USB_DEVICE_DESCRIPTOR kReaderDevice = {
    .bLength = sizeof(USB_DEVICE_DESCRIPTOR),
    .bDescriptorType = USB_DEVICE_DESCRIPTOR_TYPE,
    .bcdUSB = 0x0200,
    .bDeviceClass = USB_DEVICE_CLASS_RESERVED,  // defined per interface
    .bDeviceSubClass = 0,
    .bDeviceProtocol = 0,
    .bMaxPacketSize0 = 64,
    .idVendor = 0x2E6B,
    .idProduct = 0x7A31,
    .bcdDevice = 0x0100,
    .iManufacturer = 1,
    .iProduct = 2,
    .iSerialNumber = 3,
    .bNumConfigurations = 1,
};

constexpr USB_DEVICE_DESCRIPTOR WithoutSerial(USB_DEVICE_DESCRIPTOR d) {
  d.iSerialNumber = 0;
  return d;
}

constexpr EndpointDescription kOutThenIn[] = {
    {.address = 0x01, .attributes = USB_ENDPOINT_TYPE_BULK, .maxPacketSize = 64, .interval = 0},
    {.address = 0x82, .attributes = USB_ENDPOINT_TYPE_BULK, .maxPacketSize = 64, .interval = 0},
};
constexpr EndpointDescription kInThenOut[] = {kOutThenIn[1], kOutThenIn[0]};
constexpr EndpointDescription kSecondPair[] = {
    {.address = 0x03, .attributes = USB_ENDPOINT_TYPE_BULK, .maxPacketSize = 64, .interval = 0},
    {.address = 0x84, .attributes = USB_ENDPOINT_TYPE_BULK, .maxPacketSize = 64, .interval = 0},
};

constexpr InterfaceDescription ReaderInterface(std::span<const EndpointDescription> endpoints,
                                               std::span<const UCHAR> extra = {}) {
  return {.number = 0,
          .alternateSetting = 0,
          .interfaceClass = USB_DEVICE_CLASS_VENDOR_SPECIFIC,
          .interfaceSubClass = 0,
          .interfaceProtocol = 0,
          .endpoints = endpoints,
          .extra = extra};
}

// Three 200-byte class-specific descriptors: enough to push the
// configuration past 521 bytes.
constexpr auto kLongExtra = [] {
  std::array<UCHAR, 600> bytes{};
  for (size_t i = 0; i < bytes.size(); ++i) {
    size_t at = i % 200;
    bytes[i] = at == 0 ? 200 : at == 1 ? 0x24 : static_cast<UCHAR>(i);
  }
  return bytes;
}();

constexpr InterfaceDescription kReaderInterfaces[] = {ReaderInterface(kOutThenIn)};
constexpr InterfaceDescription kInBeforeOutInterfaces[] = {ReaderInterface(kInThenOut)};
constexpr InterfaceDescription kLongInterfaces[] = {ReaderInterface(kOutThenIn, kLongExtra)};
constexpr InterfaceDescription kTwoInterfaces[] = {
    ReaderInterface(kOutThenIn),
    {.number = 1,
     .alternateSetting = 0,
     .interfaceClass = USB_DEVICE_CLASS_VENDOR_SPECIFIC,
     .interfaceSubClass = 1,
     .interfaceProtocol = 0,
     .endpoints = kSecondPair},
};

constexpr UCHAR kReaderAttributes = USB_CONFIG_BUS_POWERED | USB_CONFIG_REMOTE_WAKEUP;

constexpr DeviceDescription Reader(const char* name, std::span<const InterfaceDescription> ifs,
                                   std::u16string_view serial) {
  return {.name = name,
          .device = kReaderDevice,
          .configurationValue = 1,
          .configurationAttributes = kReaderAttributes,
          .maxPower = 50,
          .interfaces = ifs,
          .manufacturer = u"Kestrova",
          .product = u"Magnetic Card Reader/Writer",
          .serialNumber = serial};
}

constexpr DeviceDescription Raw(const char* name, std::span<const UCHAR> bytes) {
  DeviceDescription d = Reader(name, kReaderInterfaces, u"KV7A31-BAD");
  d.rawConfiguration = bytes;
  return d;
}

// The well-formed configuration of the card reader, then one fault each.
#define KORV_READER_INTERFACE 0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0x00, 0x00, 0x00
#define KORV_READER_OUT 0x07, 0x05, 0x01, 0x02, 0x40, 0x00, 0x00
#define KORV_READER_IN 0x07, 0x05, 0x82, 0x02, 0x40, 0x00, 0x00
constexpr UCHAR kTruncated[] = {0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0xA0, 0x32,
                                KORV_READER_INTERFACE, KORV_READER_OUT};
constexpr UCHAR kZeroLength[] = {0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0xA0, 0x32,
                                 KORV_READER_INTERFACE,
                                 0x00, 0x05, 0x01, 0x02, 0x40, 0x00, 0x00,
                                 KORV_READER_IN};
constexpr UCHAR kLengthPastEnd[] = {0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0xA0, 0x32,
                                    KORV_READER_INTERFACE, KORV_READER_OUT,
                                    0x20, 0x05, 0x82, 0x02, 0x40, 0x00, 0x00};
constexpr UCHAR kTotalPastData[] = {0x09, 0x02, 0xFF, 0xFF, 0x01, 0x01, 0x00, 0xA0, 0x32,
                                    KORV_READER_INTERFACE, KORV_READER_OUT, KORV_READER_IN};
constexpr UCHAR kTooManyEndpoints[] = {0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0xA0, 0x32,
                                       0x09, 0x04, 0x00, 0x00, 0x03, 0xFF, 0x00, 0x00, 0x00,
                                       KORV_READER_OUT, KORV_READER_IN};
constexpr UCHAR kTooManyInterfaces[] = {0x09, 0x02, 0x20, 0x00, 0x02, 0x01, 0x00, 0xA0, 0x32,
                                        KORV_READER_INTERFACE, KORV_READER_OUT, KORV_READER_IN};
constexpr UCHAR kShortInterface[] = {0x09, 0x02, 0x1E, 0x00, 0x01, 0x01, 0x00, 0xA0, 0x32,
                                     0x07, 0x04, 0x00, 0x00, 0x02, 0xFF, 0x00,
                                     KORV_READER_OUT, KORV_READER_IN};
constexpr UCHAR kTotalBelowHeader[] = {0x09, 0x02, 0x04, 0x00, 0x01, 0x01, 0x00, 0xA0, 0x32,
                                       KORV_READER_INTERFACE, KORV_READER_OUT, KORV_READER_IN};
#undef KORV_READER_INTERFACE
#undef KORV_READER_OUT
#undef KORV_READER_IN

constexpr DeviceDescription kMalformed[] = {
    Raw("truncated in an endpoint descriptor", kTruncated),
    Raw("endpoint descriptor with bLength 0", kZeroLength),
    Raw("endpoint descriptor running past wTotalLength", kLengthPastEnd),
    Raw("wTotalLength far beyond the bytes sent", kTotalPastData),
    Raw("interface claims three endpoints, two follow", kTooManyEndpoints),
    Raw("configuration claims two interfaces, one follows", kTooManyInterfaces),
    Raw("interface descriptor 7 bytes long", kShortInterface),
    Raw("wTotalLength shorter than the header", kTotalBelowHeader),
};

constexpr MalformedCase kMalformedCases[] = {
    {kMalformed[0].name, &kMalformed[0]}, {kMalformed[1].name, &kMalformed[1]},
    {kMalformed[2].name, &kMalformed[2]}, {kMalformed[3].name, &kMalformed[3]},
    {kMalformed[4].name, &kMalformed[4]}, {kMalformed[5].name, &kMalformed[5]},
    {kMalformed[6].name, &kMalformed[6]}, {kMalformed[7].name, &kMalformed[7]},
};
static_assert(std::size(kMalformedCases) == std::size(kMalformed));

}  // namespace

constinit const DeviceDescription kCardReader =
    Reader("card reader", kReaderInterfaces, u"KV7A31-000001");
constinit const DeviceDescription kCardReaderInBeforeOut =
    Reader("card reader, bulk IN listed first", kInBeforeOutInterfaces, u"KV7A31-000002");
constinit const DeviceDescription kCardReaderTwoInterfaces =
    Reader("card reader with a second interface", kTwoInterfaces, u"KV7A31-000003");
constinit const DeviceDescription kCardReaderLongConfiguration =
    Reader("card reader with a 632-byte configuration", kLongInterfaces, u"KV7A31-000004");
constinit const DeviceDescription kCardReaderSleepD3 = [] {
  DeviceDescription d = Reader("card reader sleeping in D3", kReaderInterfaces, u"KV7A31-000005");
  d.configurationAttributes = USB_CONFIG_BUS_POWERED;
  d.sleepState = PowerDeviceD3;
  return d;
}();
constinit const DeviceDescription kCardReaderNoSerial = [] {
  DeviceDescription d = Reader("card reader without serial number", kReaderInterfaces, u"");
  d.device = WithoutSerial(kReaderDevice);
  return d;
}();

std::span<const MalformedCase> MalformedDevices() { return kMalformedCases; }

// ---- the wire format ----------------------------------------------------------

namespace {

// Writes little-endian fields while they fit; remembers running short.
class Writer {
 public:
  explicit Writer(std::span<UCHAR> out) : out_(out) {}
  void Byte(UCHAR b) {
    if (size_ < out_.size()) {
      out_[size_] = b;
    } else {
      short_ = true;
    }
    ++size_;
  }
  void Word(USHORT w) {
    Byte(static_cast<UCHAR>(w & 0xFF));
    Byte(static_cast<UCHAR>(w >> 8));
  }
  void Bytes(std::span<const UCHAR> bytes) {
    for (UCHAR b : bytes) Byte(b);
  }
  std::optional<size_t> Result() const {
    return short_ ? std::nullopt : std::optional<size_t>(size_);
  }

 private:
  std::span<UCHAR> out_;
  size_t size_ = 0;
  bool short_ = false;
};

UCHAR InterfaceCount(const DeviceDescription& d) {
  return static_cast<UCHAR>(std::count_if(d.interfaces.begin(), d.interfaces.end(),
                                          [](const auto& i) { return i.alternateSetting == 0; }));
}

std::u16string_view StringAt(const DeviceDescription& d, UCHAR index) {
  if (index == 0) return {};
  if (index == d.device.iManufacturer) return d.manufacturer;
  if (index == d.device.iProduct) return d.product;
  if (index == d.device.iSerialNumber) return d.serialNumber;
  return {};
}

}  // namespace

std::optional<size_t> SerializeDeviceDescriptor(const DeviceDescription& d,
                                                std::span<UCHAR> out) {
  const USB_DEVICE_DESCRIPTOR& v = d.device;
  Writer w(out);
  w.Byte(v.bLength);
  w.Byte(v.bDescriptorType);
  w.Word(v.bcdUSB);
  w.Byte(v.bDeviceClass);
  w.Byte(v.bDeviceSubClass);
  w.Byte(v.bDeviceProtocol);
  w.Byte(v.bMaxPacketSize0);
  w.Word(v.idVendor);
  w.Word(v.idProduct);
  w.Word(v.bcdDevice);
  w.Byte(v.iManufacturer);
  w.Byte(v.iProduct);
  w.Byte(v.iSerialNumber);
  w.Byte(v.bNumConfigurations);
  return w.Result();
}

size_t ConfigurationLength(const DeviceDescription& d) {
  if (!d.rawConfiguration.empty()) return d.rawConfiguration.size();
  size_t n = sizeof(USB_CONFIGURATION_DESCRIPTOR);
  for (const InterfaceDescription& i : d.interfaces) {
    n += sizeof(USB_INTERFACE_DESCRIPTOR) + i.extra.size() +
         i.endpoints.size() * sizeof(USB_ENDPOINT_DESCRIPTOR);
  }
  return n;
}

std::optional<size_t> SerializeConfiguration(const DeviceDescription& d, std::span<UCHAR> out) {
  Writer w(out);
  if (!d.rawConfiguration.empty()) {
    w.Bytes(d.rawConfiguration);
    return w.Result();
  }
  w.Byte(sizeof(USB_CONFIGURATION_DESCRIPTOR));
  w.Byte(USB_CONFIGURATION_DESCRIPTOR_TYPE);
  w.Word(static_cast<USHORT>(ConfigurationLength(d)));
  w.Byte(InterfaceCount(d));
  w.Byte(d.configurationValue);
  w.Byte(0);  // iConfiguration
  w.Byte(d.configurationAttributes);
  w.Byte(d.maxPower);
  for (const InterfaceDescription& i : d.interfaces) {
    w.Byte(sizeof(USB_INTERFACE_DESCRIPTOR));
    w.Byte(USB_INTERFACE_DESCRIPTOR_TYPE);
    w.Byte(i.number);
    w.Byte(i.alternateSetting);
    w.Byte(static_cast<UCHAR>(i.endpoints.size()));
    w.Byte(i.interfaceClass);
    w.Byte(i.interfaceSubClass);
    w.Byte(i.interfaceProtocol);
    w.Byte(0);  // iInterface
    w.Bytes(i.extra);
    for (const EndpointDescription& e : i.endpoints) {
      w.Byte(sizeof(USB_ENDPOINT_DESCRIPTOR));
      w.Byte(USB_ENDPOINT_DESCRIPTOR_TYPE);
      w.Byte(e.address);
      w.Byte(e.attributes);
      w.Word(e.maxPacketSize);
      w.Byte(e.interval);
    }
  }
  return w.Result();
}

std::optional<size_t> SerializeString(const DeviceDescription& d, UCHAR index,
                                      std::span<UCHAR> out) {
  Writer w(out);
  if (index == 0) {
    w.Byte(4);
    w.Byte(USB_STRING_DESCRIPTOR_TYPE);
    w.Word(0x0409);  // English (United States)
    return w.Result();
  }
  std::u16string_view text = StringAt(d, index);
  if (text.empty()) return std::nullopt;
  text = text.substr(0, 126);  // bLength is one byte
  w.Byte(static_cast<UCHAR>(2 + 2 * text.size()));
  w.Byte(USB_STRING_DESCRIPTOR_TYPE);
  for (char16_t c : text) w.Word(static_cast<USHORT>(c));
  return w.Result();
}

std::vector<UCHAR> ConfigurationBytes(const DeviceDescription& d) {
  std::vector<UCHAR> bytes(ConfigurationLength(d));
  SerializeConfiguration(d, bytes);
  return bytes;
}

// ---- the device -----------------------------------------------------------------

DeviceModel::DeviceModel(const DeviceDescription& description) : description_(&description) {
  for (const InterfaceDescription& i : description.interfaces) {
    for (const EndpointDescription& e : i.endpoints) EndpointAt(e.address);
  }
}

DeviceModel::Endpoint& DeviceModel::EndpointAt(UCHAR address) {
  auto [it, added] = endpoints_.try_emplace(address);
  if (added) {
    for (const InterfaceDescription& i : description_->interfaces) {
      for (const EndpointDescription& e : i.endpoints) {
        if (e.address == address) it->second.maxPacket = e.maxPacketSize & 0x7FF;
      }
    }
    if (it->second.maxPacket == 0) it->second.maxPacket = 64;
  }
  return it->second;
}

const DeviceModel::Endpoint* DeviceModel::FindEndpoint(UCHAR address) const {
  auto it = endpoints_.find(address);
  return it == endpoints_.end() ? nullptr : &it->second;
}

const InterfaceDescription* DeviceModel::FindInterface(UCHAR number) const {
  for (const InterfaceDescription& i : description_->interfaces) {
    if (i.number == number) return &i;
  }
  return nullptr;
}

UCHAR DeviceModel::FirstBulkIn() const {
  for (const InterfaceDescription& i : description_->interfaces) {
    for (const EndpointDescription& e : i.endpoints) {
      if (USB_ENDPOINT_DIRECTION_IN(e.address) &&
          (e.attributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_BULK) {
        return e.address;
      }
    }
  }
  return 0x82;
}

UCHAR DeviceModel::FirstBulkOut() const {
  for (const InterfaceDescription& i : description_->interfaces) {
    for (const EndpointDescription& e : i.endpoints) {
      if (USB_ENDPOINT_DIRECTION_OUT(e.address) &&
          (e.attributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_BULK) {
        return e.address;
      }
    }
  }
  return 0x01;
}

UCHAR DeviceModel::Resolve(UCHAR endpoint, bool in) const {
  if (endpoint != 0) return endpoint;
  return in ? FirstBulkIn() : FirstBulkOut();
}

// ---- control transfers --------------------------------------------------------

std::optional<ULONG> DeviceModel::Control(const SetupPacket& s, std::span<UCHAR> data) {
  std::string why;
  std::optional<ULONG> answer;
  switch ((s.bmRequestType >> 5) & 3) {
    case 0:
      answer = Standard(s, data, &why);
      break;
    case 1:
      answer = Class(s, data, &why);
      break;
    default:
      why = "vendor or reserved request type not modelled";
      break;
  }
  ControlRecord record{s, {}, !answer.has_value(), why};
  bool in = (s.bmRequestType & 0x80) != 0;
  size_t n = in ? (answer ? *answer : 0) : data.size();
  record.data.assign(data.begin(), data.begin() + static_cast<ptrdiff_t>(n));
  control_.push_back(std::move(record));
  return answer;
}

namespace {

ULONG CopyPrefix(std::span<const UCHAR> from, std::span<UCHAR> to) {
  size_t n = std::min(from.size(), to.size());
  if (n != 0) std::memcpy(to.data(), from.data(), n);
  return static_cast<ULONG>(n);
}

}  // namespace

std::optional<ULONG> DeviceModel::Standard(const SetupPacket& s, std::span<UCHAR> data,
                                           std::string* why) {
  const UCHAR recipient = s.bmRequestType & 0x1F;
  const bool in = (s.bmRequestType & 0x80) != 0;
  const bool configured = configuration_ != 0;
  switch (s.bRequest) {
    case USB_REQUEST_GET_DESCRIPTOR: {
      if (!in || recipient != 0) break;
      UCHAR type = static_cast<UCHAR>(s.wValue >> 8);
      UCHAR index = static_cast<UCHAR>(s.wValue & 0xFF);
      std::vector<UCHAR> full(type == USB_CONFIGURATION_DESCRIPTOR_TYPE
                                  ? ConfigurationLength(*description_)
                                  : 256);
      std::optional<size_t> n;
      if (type == USB_DEVICE_DESCRIPTOR_TYPE && index == 0) {
        n = SerializeDeviceDescriptor(*description_, full);
      } else if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0) {
        n = SerializeConfiguration(*description_, full);
      } else if (type == USB_STRING_DESCRIPTOR_TYPE) {
        n = SerializeString(*description_, index, full);
      }
      if (!n) {
        *why = "no descriptor of type " + std::to_string(type) + " index " +
               std::to_string(index);
        return std::nullopt;
      }
      return CopyPrefix(std::span<const UCHAR>(full.data(), *n), data);
    }
    case USB_REQUEST_SET_CONFIGURATION: {
      if (in || recipient != 0 || s.wLength != 0) break;
      UCHAR value = static_cast<UCHAR>(s.wValue & 0xFF);
      if (value != 0 && value != description_->configurationValue) {
        *why = "no configuration " + std::to_string(value);
        return std::nullopt;
      }
      configuration_ = value;
      for (auto& [address, e] : endpoints_) e.halted = false;
      return 0;
    }
    case USB_REQUEST_GET_CONFIGURATION: {
      if (!in || recipient != 0 || s.wLength == 0) break;
      data[0] = configuration_;
      return 1;
    }
    case USB_REQUEST_GET_STATUS: {
      if (!in || s.wLength != 2) break;
      USHORT status = 0;
      if (recipient == 0) {
        if (description_->configurationAttributes & USB_CONFIG_SELF_POWERED) {
          status |= USB_GETSTATUS_SELF_POWERED;
        }
        if (remoteWakeup_) status |= USB_GETSTATUS_REMOTE_WAKEUP_ENABLED;
      } else if (recipient == 1) {
        if (!configured || FindInterface(static_cast<UCHAR>(s.wIndex)) == nullptr) {
          *why = "no interface " + std::to_string(s.wIndex);
          return std::nullopt;
        }
      } else if (recipient == 2) {
        UCHAR address = static_cast<UCHAR>(s.wIndex);
        const Endpoint* e = FindEndpoint(address);
        if ((address & 0x7F) != 0 && (!configured || e == nullptr)) {
          *why = "no endpoint " + std::to_string(address);
          return std::nullopt;
        }
        if (e != nullptr && e->halted) status = 1;
      } else {
        break;
      }
      data[0] = static_cast<UCHAR>(status & 0xFF);
      data[1] = static_cast<UCHAR>(status >> 8);
      return 2;
    }
    case USB_REQUEST_CLEAR_FEATURE:
    case USB_REQUEST_SET_FEATURE: {
      if (in || s.wLength != 0) break;
      bool set = s.bRequest == USB_REQUEST_SET_FEATURE;
      if (recipient == 0 && s.wValue == USB_FEATURE_REMOTE_WAKEUP) {
        remoteWakeup_ = set;
        return 0;
      }
      if (recipient == 2 && s.wValue == USB_FEATURE_ENDPOINT_STALL) {
        UCHAR address = static_cast<UCHAR>(s.wIndex);
        if ((address & 0x7F) == 0) return 0;
        if (!configured || FindEndpoint(address) == nullptr) {
          *why = "no endpoint " + std::to_string(address);
          return std::nullopt;
        }
        EndpointAt(address).halted = set;
        return 0;
      }
      break;
    }
    default:
      break;
  }
  *why = "standard request " + std::to_string(s.bRequest) + " with bmRequestType " +
         std::to_string(s.bmRequestType) + " not modelled";
  return std::nullopt;
}

std::optional<ULONG> DeviceModel::Class(const SetupPacket& s, std::span<UCHAR> data,
                                        std::string* why) {
  if ((s.bmRequestType & 0x1F) != 1) {
    *why = "class request to a recipient other than an interface";
    return std::nullopt;
  }
  if (configuration_ == 0) {
    *why = "class request while not configured";
    return std::nullopt;
  }
  if (FindInterface(static_cast<UCHAR>(s.wIndex & 0xFF)) == nullptr) {
    *why = "class request to missing interface " + std::to_string(s.wIndex);
    return std::nullopt;
  }
  const bool in = (s.bmRequestType & 0x80) != 0;
  switch (s.bRequest) {
    case kSetLineCoding:
      if (in || s.wLength < 7) break;
      lineCoding_.dwDTERate = static_cast<ULONG>(data[0]) | static_cast<ULONG>(data[1]) << 8 |
                              static_cast<ULONG>(data[2]) << 16 |
                              static_cast<ULONG>(data[3]) << 24;
      lineCoding_.bCharFormat = data[4];
      lineCoding_.bParityType = data[5];
      lineCoding_.bDataBits = data[6];
      return s.wLength;
    case kGetLineCoding: {
      if (!in) break;
      const UCHAR bytes[7] = {static_cast<UCHAR>(lineCoding_.dwDTERate),
                              static_cast<UCHAR>(lineCoding_.dwDTERate >> 8),
                              static_cast<UCHAR>(lineCoding_.dwDTERate >> 16),
                              static_cast<UCHAR>(lineCoding_.dwDTERate >> 24),
                              lineCoding_.bCharFormat,
                              lineCoding_.bParityType,
                              lineCoding_.bDataBits};
      return CopyPrefix(bytes, data);
    }
    case kSetControlLineState:
      if (in || s.wLength != 0) break;
      controlLines_ = s.wValue & 0x3;
      return 0;
    default:
      break;
  }
  *why = "class request " + std::to_string(s.bRequest) + " with bmRequestType " +
         std::to_string(s.bmRequestType) + " and wLength " + std::to_string(s.wLength) +
         " not modelled";
  return std::nullopt;
}

std::vector<ControlRecord> DeviceModel::ClassRequests() const {
  std::vector<ControlRecord> out;
  for (const ControlRecord& r : control_) {
    if (((r.setup.bmRequestType >> 5) & 3) == 1) out.push_back(r);
  }
  return out;
}

std::vector<ControlRecord> DeviceModel::Stalls() const {
  std::vector<ControlRecord> out;
  for (const ControlRecord& r : control_) {
    if (r.stalled) out.push_back(r);
  }
  return out;
}

// ---- bulk transfers -----------------------------------------------------------

BulkOutcome DeviceModel::BulkIn(UCHAR endpoint, std::span<UCHAR> buffer, ULONG* done,
                                bool shortOk) {
  Endpoint& e = EndpointAt(endpoint);
  if (e.halted) return {true, USBD_STATUS_STALL_PID};
  while (*done < buffer.size()) {
    if (e.packets.empty()) return {false, USBD_STATUS_PENDING};
    std::vector<UCHAR> packet = std::move(e.packets.front());
    e.packets.pop_front();
    if (packet.size() > buffer.size() - *done) {
      // More than the transfer has room for: babble; the packet is lost.
      return {true, USBD_STATUS_DATA_OVERRUN};
    }
    if (!packet.empty()) std::memcpy(buffer.data() + *done, packet.data(), packet.size());
    *done += static_cast<ULONG>(packet.size());
    if (packet.size() < e.maxPacket) {
      bool full = *done == buffer.size();
      return {true, full || shortOk ? USBD_STATUS_SUCCESS : USBD_STATUS_DATA_UNDERRUN};
    }
  }
  return {true, USBD_STATUS_SUCCESS};
}

BulkOutcome DeviceModel::BulkOut(UCHAR endpoint, std::span<const UCHAR> buffer, ULONG* done,
                                 uint64_t now, uint64_t start) {
  Endpoint& e = EndpointAt(endpoint);
  if (e.out == OutBehaviour::kStall) e.halted = true;
  if (e.halted) return {true, USBD_STATUS_STALL_PID};
  size_t allowed = buffer.size();
  if (e.out == OutBehaviour::kNever) return {false, USBD_STATUS_PENDING};
  if (e.out == OutBehaviour::kTakeSlowly) {
    uint64_t milliseconds = (now - start) / 10000;
    allowed = static_cast<size_t>(std::min<uint64_t>(buffer.size(), milliseconds * e.rate));
  }
  if (allowed > *done) {
    e.taken.insert(e.taken.end(), buffer.begin() + *done, buffer.begin() + allowed);
    *done = static_cast<ULONG>(allowed);
  }
  if (*done < buffer.size()) return {false, USBD_STATUS_PENDING};
  return {true, USBD_STATUS_SUCCESS};
}

bool DeviceModel::OutIsTimed(UCHAR endpoint) const {
  const Endpoint* e = FindEndpoint(endpoint);
  return e != nullptr && e->out == OutBehaviour::kTakeSlowly && e->rate != 0;
}

void DeviceModel::ClearHalt(UCHAR endpoint) { EndpointAt(endpoint).halted = false; }

void DeviceModel::ResetPort() {
  ++portResets_;
  remoteWakeup_ = false;
  for (auto& [address, e] : endpoints_) e.halted = false;
}

std::optional<Fault> DeviceModel::TakeFault(RequestKind kind) {
  auto it = faults_.find(kind);
  if (it == faults_.end() || it->second.empty()) return std::nullopt;
  Fault f = it->second.front();
  it->second.pop_front();
  return f;
}

// ---- test surface ---------------------------------------------------------------

void DeviceModel::QueueIn(std::span<const UCHAR> bytes, UCHAR endpoint) {
  Endpoint& e = EndpointAt(Resolve(endpoint, true));
  do {
    size_t n = std::min<size_t>(bytes.size(), e.maxPacket);
    e.packets.emplace_back(bytes.begin(), bytes.begin() + n);
    bytes = bytes.subspan(n);
  } while (!bytes.empty());
  Changed();
}

void DeviceModel::QueueIn(std::string_view text, UCHAR endpoint) {
  QueueIn(std::span<const UCHAR>(reinterpret_cast<const UCHAR*>(text.data()), text.size()),
          endpoint);
}

void DeviceModel::QueueZeroLengthPacket(UCHAR endpoint) {
  EndpointAt(Resolve(endpoint, true)).packets.emplace_back();
  Changed();
}

size_t DeviceModel::PacketsQueued(UCHAR endpoint) const {
  const Endpoint* e = FindEndpoint(Resolve(endpoint, true));
  return e ? e->packets.size() : 0;
}

void DeviceModel::SetOutBehaviour(OutBehaviour behaviour, ULONG bytesPerMillisecond,
                                  UCHAR endpoint) {
  Endpoint& e = EndpointAt(Resolve(endpoint, false));
  e.out = behaviour;
  e.rate = bytesPerMillisecond;
  Changed();
}

const std::vector<UCHAR>& DeviceModel::OutData(UCHAR endpoint) const {
  static const std::vector<UCHAR> kNone;
  const Endpoint* e = FindEndpoint(Resolve(endpoint, false));
  return e ? e->taken : kNone;
}

void DeviceModel::Stall(UCHAR endpoint) {
  EndpointAt(endpoint).halted = true;
  Changed();
}

bool DeviceModel::Halted(UCHAR endpoint) const {
  const Endpoint* e = FindEndpoint(endpoint);
  return e != nullptr && e->halted;
}

void DeviceModel::FailNext(RequestKind kind, USBD_STATUS usbd, NTSTATUS nt) {
  faults_[kind].push_back(Fault{usbd, nt});
}

}  // namespace winsim::usb
