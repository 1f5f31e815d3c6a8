// The USB driver interface library: URB builders, request sizes and the two
// configuration routines. The routines live in winsim/usb/usbd.cpp.
#pragma once
#include "winsim/kernel/wdk/usb.h"

typedef struct _USBD_INTERFACE_LIST_ENTRY {
  PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;  // NULL ends the list
  PUSBD_INTERFACE_INFORMATION Interface;          // set by USBD_CreateConfigurationRequestEx
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes)          \
  (sizeof(struct _URB_SELECT_CONFIGURATION) +                                       \
   ((totalInterfaces) - 1) * sizeof(USBD_INTERFACE_INFORMATION) +                   \
   ((totalPipes) - (totalInterfaces)) * sizeof(USBD_PIPE_INFORMATION))

#define GET_USBD_INTERFACE_SIZE(numEndpoints)                                       \
  (sizeof(USBD_INTERFACE_INFORMATION) + sizeof(USBD_PIPE_INFORMATION) * (numEndpoints) - \
   sizeof(USBD_PIPE_INFORMATION))

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId, \
                                     transferBuffer, transferBufferMDL, transferBufferLength, \
                                     link)                                                    \
  do {                                                                                        \
    (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                      \
    (urb)->UrbHeader.Length = (length);                                                       \
    (urb)->UrbControlDescriptorRequest.TransferBufferLength = (transferBufferLength);          \
    (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);               \
    (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                     \
    (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType);                     \
    (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex);                             \
    (urb)->UrbControlDescriptorRequest.LanguageId = (languageId);                             \
    (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                      \
  } while (0)

#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipeHandle, transferBuffer,      \
                                               transferBufferMDL, transferBufferLength,      \
                                               transferFlags, link)                          \
  do {                                                                                       \
    (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                     \
    (urb)->UrbHeader.Length = (length);                                                      \
    (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipeHandle);                             \
    (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength = (transferBufferLength);         \
    (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (transferBufferMDL);               \
    (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (transferBuffer);                     \
    (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (transferFlags);                       \
    (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                                      \
  } while (0)

// cmd is one of the URB_FUNCTION_VENDOR_* or URB_FUNCTION_CLASS_* codes.
#define UsbBuildVendorRequest(urb, cmd, length, transferFlags, reservedBits, request, value, \
                              index, transferBuffer, transferBufferMDL, transferBufferLength, \
                              link)                                                          \
  do {                                                                                       \
    (urb)->UrbHeader.Function = (cmd);                                                       \
    (urb)->UrbHeader.Length = (length);                                                      \
    (urb)->UrbControlVendorClassRequest.TransferBufferLength = (transferBufferLength);       \
    (urb)->UrbControlVendorClassRequest.TransferBufferMDL = (transferBufferMDL);             \
    (urb)->UrbControlVendorClassRequest.TransferBuffer = (transferBuffer);                   \
    (urb)->UrbControlVendorClassRequest.RequestTypeReservedBits = (reservedBits);            \
    (urb)->UrbControlVendorClassRequest.Request = (request);                                 \
    (urb)->UrbControlVendorClassRequest.Value = (value);                                     \
    (urb)->UrbControlVendorClassRequest.Index = (index);                                     \
    (urb)->UrbControlVendorClassRequest.TransferFlags = (transferFlags);                     \
    (urb)->UrbControlVendorClassRequest.UrbLink = (link);                                    \
  } while (0)

// op is one of the URB_FUNCTION_GET_STATUS_FROM_* codes; the status is two bytes.
#define UsbBuildGetStatusRequest(urb, op, index, transferBuffer, transferBufferMDL, link)   \
  do {                                                                                     \
    (urb)->UrbHeader.Function = (op);                                                      \
    (urb)->UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);              \
    (urb)->UrbControlGetStatusRequest.TransferBufferLength = sizeof(USHORT);               \
    (urb)->UrbControlGetStatusRequest.TransferBufferMDL = (transferBufferMDL);             \
    (urb)->UrbControlGetStatusRequest.TransferBuffer = (transferBuffer);                   \
    (urb)->UrbControlGetStatusRequest.Index = (index);                                     \
    (urb)->UrbControlGetStatusRequest.UrbLink = (link);                                    \
  } while (0)

// With a NULL configuration descriptor the request unconfigures the device.
#define UsbBuildSelectConfigurationRequest(urb, length, configurationDescriptor) \
  do {                                                                         \
    (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;             \
    (urb)->UrbHeader.Length = (length);                                        \
    (urb)->UrbSelectConfiguration.ConfigurationDescriptor = (configurationDescriptor); \
  } while (0)

// Searches the configuration from StartPosition for the first interface
// descriptor whose fields match; -1 matches anything. The search never goes
// past wTotalLength: the caller must hold that many bytes of the descriptor
// (the header's 9 at least).
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol);

// Allocates (non-paged pool, charged to the caller, freed with ExFreePool) a
// select-configuration URB for the interfaces of the NULL-terminated list and
// points each entry's Interface at its part of it. NULL when out of memory or
// when the list or the descriptor cannot be described safely.
PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList);
