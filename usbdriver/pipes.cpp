// Pipe handles and staged bulk transfers: every read or write moves through
// one partial MDL onto the caller's pages, 256 bytes a stage, each stage sent
// from the completion of the one before.
#include "usbdriver/korvusb.h"

namespace korvusb {
namespace {

struct KORVUSB_TRANSFER {
  PURB Urb;
  PMDL PartialMdl;
  ULONG Remaining;
  ULONG Transferred;
  PUCHAR NextAddress;
  KORVUSB_EXTENSION* Extension;
  PIRP Irp;
  ULONG StageLength;  // the window of the stage in flight
  bool Read;
};

constexpr ULONG kNoIndex = 0xFFFFFFFF;

bool IsDigit(WCHAR c) { return c >= L'0' && c <= L'9'; }

// Reads the digit run at `i`; a run too long for 32 bits names nothing.
ULONG ReadNumber(const UNICODE_STRING& name, ULONG count, ULONG* i) {
  ULONG value = 0;
  bool overflow = false;
  for (; *i < count && IsDigit(name.Buffer[*i]); ++*i) {
    ULONG digit = name.Buffer[*i] - L'0';
    if (value > (0xFFFFFFFFu - digit) / 10) overflow = true;
    value = value * 10 + digit;
  }
  return overflow ? kNoIndex : value;
}

bool SkipToDigit(const UNICODE_STRING& name, ULONG count, ULONG* i) {
  for (; *i < count; ++*i) {
    if (name.Buffer[*i] == L'\0') return false;
    if (IsDigit(name.Buffer[*i])) return true;
  }
  return false;
}

void ClearResetFlags(KORVUSB_EXTENSION* ext) {
  ext->WriteNeedsReset = FALSE;
  ext->ReadNeedsReset = FALSE;
}

NTSTATUS OpenPipe(PDEVICE_OBJECT fdo, PFILE_OBJECT file) {
  KORVUSB_EXTENSION* ext = ExtensionOf(fdo);
  ULONG iface, pipe;
  if (!ParsePipeName(ext, file->FileName, &iface, &pipe)) return STATUS_INVALID_PARAMETER;
  KORVUSB_PIPE_ENTRY* entry = &ext->Interfaces[iface].Pipes[pipe];
  if (InterlockedIncrement(&entry->OpenCount) > 1) {
    InterlockedDecrement(&entry->OpenCount);
    RecoverPipe(ext->LowerDevice, entry->PipeInfo.PipeHandle);
    ClearResetFlags(ext);
    return STATUS_INVALID_PARAMETER;
  }
  file->FsContext = entry;
  file->FsContext2 = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(ext->TableGeneration));
  ext->OpenPipeCount++;
  ClearResetFlags(ext);
  IdlePowerCheck(fdo, IdleCheck::kHandleOpened);
  return STATUS_SUCCESS;
}

void FreeTransfer(KORVUSB_TRANSFER* t) {
  if (t->Urb != nullptr) ExFreePoolWithTag(t->Urb, kPoolTag);
  if (t->PartialMdl != nullptr) IoFreeMdl(t->PartialMdl);
  ExFreePoolWithTag(t, kPoolTag);
}

void PrepareStage(KORVUSB_TRANSFER* t, PIRP irp);
NTSTATUS BulkStageComplete(PDEVICE_OBJECT fdo, PIRP irp, PVOID context);

// Maps the next window of the caller's buffer and points the stack below at
// the request block.
void PrepareStage(KORVUSB_TRANSFER* t, PIRP irp) {
  ULONG stage = t->Remaining < t->Extension->StageSize ? t->Remaining : t->Extension->StageSize;
  MmPrepareMdlForReuse(t->PartialMdl);
  IoBuildPartialMdl(irp->MdlAddress, t->PartialMdl, t->NextAddress, stage);
  t->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength = stage;
  t->StageLength = stage;
  t->NextAddress += stage;
  t->Remaining -= stage;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = t->Urb;
  IoSetCompletionRoutine(irp, BulkStageComplete, t, TRUE, TRUE, TRUE);
}

NTSTATUS BulkStageComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* t = static_cast<KORVUSB_TRANSFER*>(context);
  KORVUSB_EXTENSION* ext = t->Extension;
  NTSTATUS status = irp->IoStatus.Status;
  if (NT_SUCCESS(status)) {
    ULONG got = t->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (got > t->StageLength) got = t->StageLength;
    t->Transferred += got;
    // A short stage ends the transfer: the bytes reported are then exactly
    // the bytes at the start of the caller's buffer.
    if (t->Remaining != 0 && got == t->StageLength) {
      PrepareStage(t, irp);
      IoCallDriver(ext->LowerDevice, irp);
      return STATUS_MORE_PROCESSING_REQUIRED;
    }
    irp->IoStatus.Information = t->Transferred;
  } else {
    if (status == STATUS_CANCELLED || status == STATUS_DEVICE_NOT_CONNECTED) {
      if (!t->Read) ext->WriteNeedsReset = TRUE;
    } else if (t->Read) {
      ext->ReadNeedsReset = TRUE;
    } else {
      ext->WriteNeedsReset = TRUE;
    }
    // A cancelled write tells the layer above how much reached the device.
    irp->IoStatus.Information = status == STATUS_CANCELLED ? t->Transferred : 0;
  }
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  ReleaseIo(ext);
  FreeTransfer(t);
  return status;
}

bool TakeResetFlag(KORVUSB_EXTENSION* ext, bool read) {
  KIRQL irql;
  KeAcquireSpinLock(&ext->ResetFlagLock, &irql);
  BOOLEAN* flag = read ? &ext->ReadNeedsReset : &ext->WriteNeedsReset;
  bool was = *flag != FALSE;
  *flag = FALSE;
  KeReleaseSpinLock(&ext->ResetFlagLock, irql);
  return was;
}

KORVUSB_TRANSFER* NewTransfer(KORVUSB_EXTENSION* ext, PIRP irp, USBD_PIPE_HANDLE pipe, bool read) {
  ULONG total = irp->MdlAddress != nullptr ? MmGetMdlByteCount(irp->MdlAddress) : 0;
  if (total == 0) return nullptr;
  auto* t = static_cast<KORVUSB_TRANSFER*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(KORVUSB_TRANSFER), kPoolTag));
  if (t == nullptr) return nullptr;
  RtlZeroMemory(t, sizeof(*t));
  t->Extension = ext;
  t->Irp = irp;
  t->Read = read;
  t->NextAddress = static_cast<PUCHAR>(MmGetMdlVirtualAddress(irp->MdlAddress));
  t->Remaining = total;
  t->PartialMdl = IoAllocateMdl(t->NextAddress, total, FALSE, FALSE, nullptr);
  t->Urb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), kPoolTag));
  if (t->PartialMdl == nullptr || t->Urb == nullptr) {
    FreeTransfer(t);
    return nullptr;
  }
  RtlZeroMemory(t->Urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  auto& bulk = t->Urb->UrbBulkOrInterruptTransfer;
  bulk.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  bulk.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  bulk.PipeHandle = pipe;
  bulk.TransferFlags = USBD_SHORT_TRANSFER_OK | (read ? USBD_TRANSFER_DIRECTION_IN : 0);
  bulk.TransferBufferMDL = t->PartialMdl;
  return t;
}

NTSTATUS StartBulkTransfer(PDEVICE_OBJECT fdo, PIRP irp, bool read) {
  KORVUSB_EXTENSION* ext = ExtensionOf(fdo);
  ext->StageSize = kStageSize;
  irp->IoStatus.Information = 0;
  if (!CanAcceptRequests(ext)) return CompleteRequest(irp, STATUS_DELETE_PENDING, 0);
  bool stale;
  KORVUSB_PIPE_ENTRY* entry = PipeOfHandle(ext, IoGetCurrentIrpStackLocation(irp)->FileObject, &stale);
  if (entry == nullptr) return CompleteRequest(irp, STATUS_INVALID_HANDLE, 0);
  USBD_PIPE_HANDLE pipe = entry->PipeInfo.PipeHandle;
  if (TakeResetFlag(ext, read)) RecoverPipe(ext->LowerDevice, pipe);
  KORVUSB_TRANSFER* t = NewTransfer(ext, irp, pipe, read);
  if (t == nullptr) return CompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  PrepareStage(t, irp);
  IoMarkIrpPending(irp);
  AcquireIo(ext);
  NTSTATUS status = IoCallDriver(ext->LowerDevice, irp);
  if (!NT_SUCCESS(status)) RecoverPipeAfter(ext->LowerDevice, pipe, status);
  return STATUS_PENDING;
}

}  // namespace

KORVUSB_PIPE_ENTRY* PipeOfHandle(const KORVUSB_EXTENSION* ext, PFILE_OBJECT file, bool* stale) {
  *stale = false;
  if (file == nullptr || file->FsContext == nullptr) return nullptr;
  if (reinterpret_cast<ULONG_PTR>(file->FsContext2) != ext->TableGeneration) {
    *stale = true;
    return nullptr;
  }
  return static_cast<KORVUSB_PIPE_ENTRY*>(file->FsContext);
}

bool ParsePipeName(const KORVUSB_EXTENSION* ext, const UNICODE_STRING& name, ULONG* iface,
                   ULONG* pipe) {
  ULONG count = name.Buffer != nullptr ? name.Length / sizeof(WCHAR) : 0;
  ULONG i = 0;
  if (!SkipToDigit(name, count, &i)) return false;
  *iface = ReadNumber(name, count, &i);
  if (!SkipToDigit(name, count, &i)) return false;
  *pipe = ReadNumber(name, count, &i);
  if (*iface >= ext->InterfaceCount) return false;
  return *pipe < ext->Interfaces[*iface].PipeCount;
}

NTSTATUS DispatchCreate(PDEVICE_OBJECT fdo, PIRP irp) {
  KORVUSB_EXTENSION* ext = ExtensionOf(fdo);
  AcquireIo(ext);
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  NTSTATUS status;
  if (!CanAcceptRequests(ext)) {
    status = STATUS_DELETE_PENDING;
  } else if (file == nullptr || file->FileName.Length == 0) {
    if (InterlockedIncrement(&ext->DeviceOpenCount) > 1) {
      InterlockedDecrement(&ext->DeviceOpenCount);
      status = STATUS_INVALID_PARAMETER;
    } else {
      status = STATUS_SUCCESS;
      IdlePowerCheck(fdo, IdleCheck::kHandleOpened);
    }
  } else {
    status = OpenPipe(fdo, file);
  }
  CompleteRequest(irp, status, 0);
  ReleaseIo(ext);
  return status;
}

NTSTATUS DispatchClose(PDEVICE_OBJECT fdo, PIRP irp) {
  KORVUSB_EXTENSION* ext = ExtensionOf(fdo);
  AcquireIo(ext);
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  bool stale;
  KORVUSB_PIPE_ENTRY* entry = PipeOfHandle(ext, file, &stale);
  if (entry != nullptr) {
    if (entry->OpenCount != 0) {
      ext->OpenPipeCount--;
      InterlockedDecrement(&entry->OpenCount);
    }
  } else if (!stale) {
    InterlockedDecrement(&ext->DeviceOpenCount);
  }
  if (file != nullptr) file->FsContext = nullptr;
  ReleaseIo(ext);
  CompleteRequest(irp, STATUS_SUCCESS, 0);
  IdlePowerCheck(fdo, IdleCheck::kHandleClosed);
  return STATUS_SUCCESS;
}

NTSTATUS DispatchRead(PDEVICE_OBJECT fdo, PIRP irp) { return StartBulkTransfer(fdo, irp, true); }

NTSTATUS DispatchWrite(PDEVICE_OBJECT fdo, PIRP irp) { return StartBulkTransfer(fdo, irp, false); }

}  // namespace korvusb
