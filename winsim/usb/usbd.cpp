// The USB driver interface library's configuration routines. Both read a
// configuration descriptor the device sent, so every read is bounded by
// wTotalLength and by each descriptor's own bLength, whatever they say.
#include <cstdint>
#include <cstring>

#include "winsim/kernel/wdk/ntddk.h"

namespace {

constexpr ULONG kUrbTag = 0x44425355;  // "USBD"

struct Bounds {
  const UCHAR* begin;
  const UCHAR* end;  // begin + wTotalLength

  // The whole descriptor at p fits, and it can be stepped over. Compared as
  // addresses: a caller's pointer may lie anywhere.
  bool Holds(const UCHAR* p) const {
    auto at = reinterpret_cast<uintptr_t>(p);
    auto lo = reinterpret_cast<uintptr_t>(begin), hi = reinterpret_cast<uintptr_t>(end);
    if (at < lo || at >= hi || hi - at < 2) return false;
    return p[0] >= 2 && p[0] <= hi - at;
  }
};

Bounds BoundsOf(PUSB_CONFIGURATION_DESCRIPTOR configuration) {
  const auto* begin = reinterpret_cast<const UCHAR*>(configuration);
  return {begin, begin + configuration->wTotalLength};
}

bool IsInterface(const UCHAR* p) {
  return p[1] == USB_INTERFACE_DESCRIPTOR_TYPE && p[0] >= sizeof(USB_INTERFACE_DESCRIPTOR);
}

bool Matches(LONG wanted, UCHAR actual) { return wanted == -1 || wanted == actual; }

// Endpoint descriptors that follow the interface descriptor at p, up to the
// next interface descriptor or the first one that does not fit, at most
// bNumEndpoints of them.
ULONG EndpointsAfter(const Bounds& bounds, const UCHAR* p) {
  auto* interface = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(p);
  ULONG found = 0;
  for (p += p[0]; found < interface->bNumEndpoints && bounds.Holds(p) && !IsInterface(p);
       p += p[0]) {
    if (p[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && p[0] >= sizeof(USB_ENDPOINT_DESCRIPTOR)) ++found;
  }
  return found;
}

}  // namespace

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
  if (ConfigurationDescriptor == nullptr || StartPosition == nullptr) return nullptr;
  Bounds bounds = BoundsOf(ConfigurationDescriptor);
  for (auto* p = static_cast<const UCHAR*>(StartPosition); bounds.Holds(p); p += p[0]) {
    if (!IsInterface(p)) continue;
    auto* d = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(p);
    if (Matches(InterfaceNumber, d->bInterfaceNumber) &&
        Matches(AlternateSetting, d->bAlternateSetting) &&
        Matches(InterfaceClass, d->bInterfaceClass) &&
        Matches(InterfaceSubClass, d->bInterfaceSubClass) &&
        Matches(InterfaceProtocol, d->bInterfaceProtocol)) {
      return const_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
    }
  }
  return nullptr;
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) return nullptr;
  Bounds bounds = BoundsOf(ConfigurationDescriptor);

  // Every listed interface must be a whole interface descriptor inside the
  // configuration; its pipes are the endpoint descriptors really there.
  SIZE_T size = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
  ULONG count = 0;
  for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
    auto* p = reinterpret_cast<const UCHAR*>(e->InterfaceDescriptor);
    if (!bounds.Holds(p) || !IsInterface(p)) return nullptr;
    size += GET_USBD_INTERFACE_SIZE(EndpointsAfter(bounds, p));
    if (size > 0xFFFF) return nullptr;  // Hdr.Length could not say it
    ++count;
  }
  if (count == 0) return nullptr;

  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUrbTag));
  if (urb == nullptr) return nullptr;
  std::memset(urb, 0, size);
  UsbBuildSelectConfigurationRequest(urb, static_cast<USHORT>(size), ConfigurationDescriptor);

  auto* info = &urb->UrbSelectConfiguration.Interface;
  for (ULONG i = 0; i < count; ++i) {
    PUSB_INTERFACE_DESCRIPTOR d = InterfaceList[i].InterfaceDescriptor;
    ULONG pipes = EndpointsAfter(bounds, reinterpret_cast<const UCHAR*>(d));
    info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipes));
    info->InterfaceNumber = d->bInterfaceNumber;
    info->AlternateSetting = d->bAlternateSetting;
    info->Class = d->bInterfaceClass;
    info->SubClass = d->bInterfaceSubClass;
    info->Protocol = d->bInterfaceProtocol;
    info->NumberOfPipes = pipes;
    for (ULONG k = 0; k < pipes; ++k) {
      info->Pipes[k].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    }
    InterfaceList[i].Interface = info;
    info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) +
                                                         info->Length);
  }
  return urb;
}
