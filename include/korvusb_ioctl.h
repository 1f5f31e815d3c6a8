// The private interface of KORVUSB: its device-control codes and the header
// of its control transfers. KORVCOM uses the same definitions; the two
// drivers never link against each other.
#pragma once
#include "platform/kernel.h"

#define IOCTL_KORVUSB_IS_READY CTL_CODE(FILE_DEVICE_UNKNOWN, 0, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_KORVUSB_GET_DESCRIPTOR \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_KORVUSB_RESET_PIPE CTL_CODE(FILE_DEVICE_UNKNOWN, 2, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_KORVUSB_RESET_PORT CTL_CODE(FILE_DEVICE_UNKNOWN, 3, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_KORVUSB_GET_STATUS CTL_CODE(FILE_DEVICE_UNKNOWN, 4, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_KORVUSB_CONTROL_OUT \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 5, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_KORVUSB_CONTROL_IN CTL_CODE(FILE_DEVICE_UNKNOWN, 6, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_KORVUSB_GET_CONFIG_DESCRIPTOR \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 7, METHOD_BUFFERED, FILE_ANY_ACCESS)

static_assert(IOCTL_KORVUSB_IS_READY == 0x220000);
static_assert(IOCTL_KORVUSB_GET_CONFIG_DESCRIPTOR == 0x22001C);

// Opens the input of IOCTL_KORVUSB_CONTROL_OUT and IOCTL_KORVUSB_CONTROL_IN;
// for CONTROL_OUT the data to send follows it.
#pragma pack(push, 1)
typedef struct _KORVUSB_CONTROL_REQUEST {
  USHORT Function;  // URB function: a vendor or class request
  USHORT Reserved1;
  ULONG TransferFlags;  // only USBD_SHORT_TRANSFER_OK is used
  UCHAR RequestTypeReservedBits;
  UCHAR Request;
  USHORT Value;
  USHORT Index;  // replaced with the interface number
  USHORT Reserved2;
} KORVUSB_CONTROL_REQUEST, *PKORVUSB_CONTROL_REQUEST;
#pragma pack(pop)

static_assert(sizeof(KORVUSB_CONTROL_REQUEST) == 16);
static_assert(offsetof(KORVUSB_CONTROL_REQUEST, TransferFlags) == 4);
static_assert(offsetof(KORVUSB_CONTROL_REQUEST, RequestTypeReservedBits) == 8);
static_assert(offsetof(KORVUSB_CONTROL_REQUEST, Request) == 9);
static_assert(offsetof(KORVUSB_CONTROL_REQUEST, Value) == 10);
static_assert(offsetof(KORVUSB_CONTROL_REQUEST, Index) == 12);

// The device interface KORVUSB registers on its physical device:
// {6C0F3B92-4E7A-4D15-B2C8-915E07A3D46F}.
constexpr GUID kKorvUsbInterfaceGuid = {
    0x6C0F3B92, 0x4E7A, 0x4D15, {0xB2, 0xC8, 0x91, 0x5E, 0x07, 0xA3, 0xD4, 0x6F}};
