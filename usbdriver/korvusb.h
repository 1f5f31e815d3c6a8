// KORVUSB: the function driver of the card reader's USB device. Its device
// extension, tables and the operations its files share.
#pragma once
#include "include/korvusb_ioctl.h"
#include "platform/kernel.h"

namespace korvusb {

constexpr ULONG kPoolTag = 0x4253554B;  // "KUSB" in a pool dump
constexpr ULONG kStageSize = 256;
constexpr ULONG kFirstConfigurationRead = 521;

struct KORVUSB_PIPE_ENTRY {
  LONG OpenCount;  // 0 or 1, interlocked
  USBD_PIPE_INFORMATION PipeInfo;
};

struct KORVUSB_INTERFACE_ENTRY {
  ULONG PipeCount;
  KORVUSB_PIPE_ENTRY* Pipes;
};

struct KORVUSB_EXTENSION {
  PDEVICE_OBJECT LowerDevice;
  PDEVICE_OBJECT PhysicalDevice;
  DEVICE_POWER_STATE DevicePowerState;
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;
  PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
  PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
  ULONG InterfaceCount;
  KORVUSB_INTERFACE_ENTRY* Interfaces;
  DEVICE_CAPABILITIES Capabilities;
  PIRP PendingSystemPowerIrp;
  KEVENT RemoveEvent;
  KEVENT NoPendingIoEvent;
  KEVENT SelfPowerEvent;
  KSPIN_LOCK IoCountLock;
  LONG IoCount;
  LONG OpenPipeCount;
  WCHAR InterfaceLinkName[256];
  BOOLEAN Removed;
  BOOLEAN RemovePending;
  BOOLEAN StopPending;
  BOOLEAN Started;
  BOOLEAN WaitWakeActive;
  BOOLEAN SelfPowerRequestActive;
  DEVICE_POWER_STATE PowerDownState;
  ULONG StageSize;
  LONG DeviceOpenCount;
  BOOLEAN WriteNeedsReset;
  BOOLEAN ReadNeedsReset;
  KSPIN_LOCK ResetFlagLock;
  ULONG InterfaceNumber;
  // Counts the pipe tables built; a handle remembers the one it was opened
  // on, so a handle that outlives its table never reaches freed memory.
  ULONG TableGeneration;
};

inline KORVUSB_EXTENSION* ExtensionOf(PDEVICE_OBJECT fdo) {
  return static_cast<KORVUSB_EXTENSION*>(fdo->DeviceExtension);
}

// ---- driver.cpp: entry, accounting, forwarding -------------------------------

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice);
void AcquireIo(KORVUSB_EXTENSION* ext);
LONG ReleaseIo(KORVUSB_EXTENSION* ext);
bool CanAcceptRequests(const KORVUSB_EXTENSION* ext);
NTSTATUS ForwardAndWait(PDEVICE_OBJECT fdo, PIRP irp);
// Completion routine that signals the KEVENT given as context and keeps the
// request for the code waiting on it.
NTSTATUS SignalAndHold(PDEVICE_OBJECT device, PIRP irp, PVOID event);
NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information);
NTSTATUS DispatchSystemControl(PDEVICE_OBJECT fdo, PIRP irp);

// ---- pnp.cpp: Plug and Play and configuration --------------------------------

NTSTATUS DispatchPnp(PDEVICE_OBJECT fdo, PIRP irp);
NTSTATUS StartDevice(PDEVICE_OBJECT fdo);
NTSTATUS SelectConfiguration(PDEVICE_OBJECT fdo, PUSB_CONFIGURATION_DESCRIPTOR config);
NTSTATUS StopDevice(PDEVICE_OBJECT fdo, bool unconfigure);

// ---- bus.cpp: synchronous bus requests and recovery --------------------------

NTSTATUS SubmitUrb(PDEVICE_OBJECT lower, PURB urb);
NTSTATUS ResetPort(PDEVICE_OBJECT lower);
NTSTATUS AbortPipe(PDEVICE_OBJECT lower, USBD_PIPE_HANDLE pipe);
NTSTATUS ResetPipe(PDEVICE_OBJECT lower, USBD_PIPE_HANDLE pipe);
void RecoverPipe(PDEVICE_OBJECT lower, USBD_PIPE_HANDLE pipe);
// The shortened recovery after a failed first submission: a pass is skipped
// while the latest status says the request was cancelled or the device left.
void RecoverPipeAfter(PDEVICE_OBJECT lower, USBD_PIPE_HANDLE pipe, NTSTATUS status);

// ---- power.cpp: power policy ---------------------------------------------------

NTSTATUS DispatchPower(PDEVICE_OBJECT fdo, PIRP irp);
enum class IdleCheck { kHandleOpened, kHandleClosed };
NTSTATUS IdlePowerCheck(PDEVICE_OBJECT fdo, IdleCheck form);
NTSTATUS RequestDevicePower(PDEVICE_OBJECT fdo, DEVICE_POWER_STATE state);

// ---- pipes.cpp and control.cpp (handles, transfers, private codes) ------------

// Reads the interface and pipe index from the first two digit runs of a
// handle's file name; false when there are not two runs or either index is
// out of range.
bool ParsePipeName(const KORVUSB_EXTENSION* ext, const UNICODE_STRING& name, ULONG* iface,
                   ULONG* pipe);
// The pipe a handle is bound to; nullptr for a whole-device handle, and for
// one whose table a stop has released since it was opened (then `stale`).
KORVUSB_PIPE_ENTRY* PipeOfHandle(const KORVUSB_EXTENSION* ext, PFILE_OBJECT file, bool* stale);
NTSTATUS DispatchCreate(PDEVICE_OBJECT fdo, PIRP irp);
NTSTATUS DispatchClose(PDEVICE_OBJECT fdo, PIRP irp);
NTSTATUS DispatchRead(PDEVICE_OBJECT fdo, PIRP irp);
NTSTATUS DispatchWrite(PDEVICE_OBJECT fdo, PIRP irp);
NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT fdo, PIRP irp);

}  // namespace korvusb
