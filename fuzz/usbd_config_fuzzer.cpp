// Arbitrary bytes as the configuration descriptor a device sent, through the
// interface search a driver runs (USBD_ParseConfigurationDescriptorEx) and
// the select-configuration request it builds from the hits
// (USBD_CreateConfigurationRequestEx). The buffer is exactly what the driver
// holds, so the sanitizer sees any read past it; what the routines return is
// checked against the descriptor's own bounds.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/kernel.h"
#include "winsim/kernel/sim.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

struct Held {
  std::vector<UCHAR> bytes;
  PUSB_CONFIGURATION_DESCRIPTOR config() {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
  }
  // What the routines may read: wTotalLength bytes (the header at least).
  const UCHAR* end() { return bytes.data() + config()->wTotalLength; }
};

// The driver read wTotalLength bytes (at least the 9 of the header); the
// device filled what it sent, the rest is uninitialised pool.
Held Hold(const uint8_t* data, size_t size) {
  UCHAR header[9];
  std::memset(header, 0xCD, sizeof header);
  std::memcpy(header, data, std::min(size, sizeof header));
  size_t total = static_cast<size_t>(header[2] | header[3] << 8);
  Held held{std::vector<UCHAR>(std::max<size_t>(9, total), 0xCD)};
  std::memcpy(held.bytes.data(), header, sizeof header);
  if (size > sizeof header) {
    std::memcpy(held.bytes.data() + sizeof header, data + sizeof header,
                std::min(size, held.bytes.size()) - sizeof header);
  }
  return held;
}

bool Inside(Held& held, const void* p, size_t length) {
  auto* at = static_cast<const UCHAR*>(p);
  return at >= held.bytes.data() && at + length <= held.end();
}

void CheckRequest(PURB urb, const std::vector<PUSB_INTERFACE_DESCRIPTOR>& found,
                  const std::vector<USBD_INTERFACE_LIST_ENTRY>& list) {
  Check(urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION);
  auto* begin = reinterpret_cast<PUCHAR>(urb);
  PUCHAR at = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
  for (size_t i = 0; i < found.size(); ++i) {
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
    Check(list[i].Interface == info);
    Check(info->InterfaceNumber == found[i]->bInterfaceNumber);
    Check(info->NumberOfPipes <= found[i]->bNumEndpoints);
    Check(info->Length == GET_USBD_INTERFACE_SIZE(info->NumberOfPipes));
    at += info->Length;
    Check(at <= begin + urb->UrbHeader.Length);
  }
  Check(at == begin + urb->UrbHeader.Length);
  Check(list[found.size()].Interface == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Held held = Hold(data, size);
  PUSB_CONFIGURATION_DESCRIPTOR config = held.config();

  std::vector<PUSB_INTERFACE_DESCRIPTOR> found;
  PVOID start = config;
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    PUSB_INTERFACE_DESCRIPTOR d =
        USBD_ParseConfigurationDescriptorEx(config, start, -1, -1, -1, -1, -1);
    if (d == nullptr) break;
    Check(Inside(held, d, sizeof *d) && d->bLength >= sizeof *d && Inside(held, d, d->bLength));
    Check(d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE);
    // Asking, from there, for exactly what was found finds it again.
    Check(USBD_ParseConfigurationDescriptorEx(config, d, d->bInterfaceNumber,
                                              d->bAlternateSetting, d->bInterfaceClass,
                                              d->bInterfaceSubClass, d->bInterfaceProtocol) == d);
    found.push_back(d);
    start = reinterpret_cast<PUCHAR>(d) + sizeof(USB_INTERFACE_DESCRIPTOR);
  }
  if (found.empty()) return 0;

  std::vector<USBD_INTERFACE_LIST_ENTRY> list(found.size() + 1);
  for (size_t i = 0; i < found.size(); ++i) list[i].InterfaceDescriptor = found[i];
  // Pool allocation needs a simulated thread; one short run per input.
  winsim::kernel::Run(0, [&] {
    PURB urb = USBD_CreateConfigurationRequestEx(config, list.data());
    if (urb == nullptr) {
      // Only a request too large for Hdr.Length may be refused.
      size_t worst = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
      for (auto* d : found) worst += GET_USBD_INTERFACE_SIZE(d->bNumEndpoints);
      Check(worst > 0xFFFF);
      return;
    }
    CheckRequest(urb, found, list);
    ExFreePool(urb);
  });
  return 0;
}
