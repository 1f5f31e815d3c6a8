#include "probe.h"

#include <gtest/gtest.h>

#include <cstring>

#include "winsim/kernel/fileio.h"

namespace probe {
namespace {

Probe* ProbeOf(PDEVICE_OBJECT device) { return *static_cast<Probe**>(device->DeviceExtension); }

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void Record(Probe* p, PIRP irp, ULONG length, LONGLONG offset) {
  p->length = length;
  p->byteOffset = offset;
  p->systemBuffer = irp->AssociatedIrp.SystemBuffer;
  p->mdl = irp->MdlAddress;
  p->mdlLocked = irp->MdlAddress && (irp->MdlAddress->MdlFlags & MDL_PAGES_LOCKED);
  p->mdlAddress = irp->MdlAddress ? MmGetMdlVirtualAddress(irp->MdlAddress) : nullptr;
  p->mdlByteCount = irp->MdlAddress ? MmGetMdlByteCount(irp->MdlAddress) : 0;
  p->userBuffer = irp->UserBuffer;
}

void CancelHeld(PDEVICE_OBJECT device, PIRP irp) {
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  ProbeOf(device)->log.push_back("cancel");
  Complete(irp, STATUS_CANCELLED);
}

NTSTATUS Create(PDEVICE_OBJECT device, PIRP irp) {
  Probe* p = ProbeOf(device);
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  p->log.push_back("create");
  p->fileObject = file;
  p->fileName.assign(file->FileName.Buffer ? file->FileName.Buffer : L"",
                     file->FileName.Length / sizeof(WCHAR));
  p->synchronousFileObject = (file->Flags & FO_SYNCHRONOUS_IO) != 0;
  return Complete(irp, p->createStatus);
}

NTSTATUS Read(PDEVICE_OBJECT device, PIRP irp) {
  Probe* p = ProbeOf(device);
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  p->log.push_back("read");
  Record(p, irp, s->Parameters.Read.Length, s->Parameters.Read.ByteOffset.QuadPart);
  if (p->holdReads) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelHeld);
    InsertTailList(&p->held, &irp->Tail.Overlay.ListEntry);
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
  }
  ULONG n = static_cast<ULONG>(p->readData.size());
  if (n > s->Parameters.Read.Length) n = s->Parameters.Read.Length;
  if (n != 0) std::memcpy(DataOf(device, irp), p->readData.data(), n);
  return Complete(irp, p->readStatus, p->readInformation == ~ULONG_PTR{0} ? n : p->readInformation);
}

NTSTATUS Write(PDEVICE_OBJECT device, PIRP irp) {
  Probe* p = ProbeOf(device);
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  p->log.push_back("write");
  ULONG n = s->Parameters.Write.Length;
  Record(p, irp, n, s->Parameters.Write.ByteOffset.QuadPart);
  auto* data = static_cast<UCHAR*>(DataOf(device, irp));
  p->written.assign(data, data + n);
  return Complete(irp, STATUS_SUCCESS, n);
}

NTSTATUS Control(PDEVICE_OBJECT device, PIRP irp) {
  Probe* p = ProbeOf(device);
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  p->log.push_back("control");
  Record(p, irp, s->Parameters.DeviceIoControl.OutputBufferLength, 0);
  p->type3Input = s->Parameters.DeviceIoControl.Type3InputBuffer;
  irp->IoStatus.Information = 0;
  NTSTATUS status = p->control ? p->control(irp, s) : STATUS_SUCCESS;
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS Cleanup(PDEVICE_OBJECT device, PIRP irp) {
  Probe* p = ProbeOf(device);
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  p->log.push_back("cleanup");
  while (p->cancelOnCleanup) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP found = nullptr;
    for (PLIST_ENTRY e = p->held.Flink; e != &p->held; e = e->Flink) {
      PIRP held = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
      if (IoGetCurrentIrpStackLocation(held)->FileObject == file) {
        found = held;
        break;
      }
    }
    if (found != nullptr) {
      RemoveEntryList(&found->Tail.Overlay.ListEntry);
      IoSetCancelRoutine(found, nullptr);
    }
    IoReleaseCancelSpinLock(irql);
    if (found == nullptr) break;
    Complete(found, STATUS_CANCELLED);
  }
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS Close(PDEVICE_OBJECT device, PIRP irp) {
  Probe* p = ProbeOf(device);
  p->log.push_back("close");
  KeSetEvent(&p->closed, IO_NO_INCREMENT, FALSE);
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_CREATE] = Create;
  driver->MajorFunction[IRP_MJ_READ] = Read;
  driver->MajorFunction[IRP_MJ_WRITE] = Write;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Control;
  driver->MajorFunction[IRP_MJ_CLEANUP] = Cleanup;
  driver->MajorFunction[IRP_MJ_CLOSE] = Close;
  return STATUS_SUCCESS;
}

UNICODE_STRING Counted(const std::wstring& s) {
  USHORT bytes = static_cast<USHORT>(s.size() * sizeof(WCHAR));
  return {bytes, bytes, const_cast<PWSTR>(s.c_str())};
}

}  // namespace

PVOID DataOf(PDEVICE_OBJECT device, PIRP irp) {
  if (device->Flags & DO_BUFFERED_IO) return irp->AssociatedIrp.SystemBuffer;
  if (device->Flags & DO_DIRECT_IO) {
    return irp->MdlAddress ? MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority)
                           : nullptr;
  }
  return irp->UserBuffer;
}

PDRIVER_OBJECT Load() {
  PDRIVER_OBJECT driver = winsim::kernel::LoadDriver(L"probe", Entry);
  EXPECT_NE(driver, nullptr);
  return driver;
}

void AddDevice(PDRIVER_OBJECT driver, Probe* probe, const wchar_t* name, ULONG flags,
               bool exclusive, bool ready) {
  winsim::kernel::AsDriver(driver, [&] {
    std::wstring owned = name;
    UNICODE_STRING n = Counted(owned);
    PDEVICE_OBJECT device;
    ASSERT_EQ(IoCreateDevice(driver, sizeof(Probe*), &n, FILE_DEVICE_UNKNOWN, 0,
                             exclusive ? TRUE : FALSE, &device),
              STATUS_SUCCESS);
    *static_cast<Probe**>(device->DeviceExtension) = probe;
    device->Flags |= flags;
    if (ready) device->Flags &= ~DO_DEVICE_INITIALIZING;
    probe->device = device;
    InitializeListHead(&probe->held);
    KeInitializeEvent(&probe->closed, NotificationEvent, FALSE);
  });
}

void Link(const std::wstring& link, const std::wstring& target) {
  UNICODE_STRING l = Counted(link), t = Counted(target);
  ASSERT_EQ(IoCreateSymbolicLink(&l, &t), STATUS_SUCCESS);
}

void Unlink(const std::wstring& link) {
  UNICODE_STRING l = Counted(link);
  EXPECT_EQ(IoDeleteSymbolicLink(&l), STATUS_SUCCESS);
}

int Held(Probe* probe) {
  int n = 0;
  for (PLIST_ENTRY e = probe->held.Flink; e != &probe->held; e = e->Flink) ++n;
  return n;
}

bool Release(PDRIVER_OBJECT driver, Probe* probe, const std::vector<UCHAR>& data, NTSTATUS status) {
  bool released = false;
  winsim::kernel::AsDriver(driver, [&] {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (IsListEmpty(&probe->held)) {
      IoReleaseCancelSpinLock(irql);
      return;
    }
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(&probe->held), IRP, Tail.Overlay.ListEntry);
    IoSetCancelRoutine(irp, nullptr);
    IoReleaseCancelSpinLock(irql);
    ULONG n = static_cast<ULONG>(data.size());
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    if (n > length) n = length;
    if (n != 0) std::memcpy(DataOf(probe->device, irp), data.data(), n);
    Complete(irp, status, n);
    released = true;
  });
  return released;
}

void TearDown(PDRIVER_OBJECT driver, const std::vector<Probe*>& probes) {
  EXPECT_EQ(winsim::kernel::OpenProcessHandles(), 0);
  EXPECT_EQ(winsim::kernel::LiveFileObjects(), 0);
  EXPECT_EQ(winsim::kernel::LiveIrps(), 0);
  winsim::kernel::AsDriver(driver, [&] {
    for (Probe* p : probes) {
      EXPECT_EQ(Held(p), 0);
      IoDeleteDevice(p->device);
    }
  });
  winsim::kernel::DriverCounts counts = winsim::kernel::CountsOf(driver);
  EXPECT_EQ(counts.poolBlocks, 0);
  EXPECT_EQ(counts.irps, 0);
  EXPECT_EQ(counts.mdls, 0);
  EXPECT_EQ(counts.devices, 0);
  winsim::kernel::UnloadDriver(driver);
  winsim::kernel::CheckCleanMachine();
}

void WithLinkedProbe(ULONG flags, const std::function<void(PDRIVER_OBJECT, Probe&)>& body) {
  winsim::kernel::Run(0, [&] {
    PDRIVER_OBJECT driver = Load();
    Probe p;
    AddDevice(driver, &p, L"\\Device\\Probe0", flags);
    Link(L"\\DosDevices\\PROBE", L"\\Device\\Probe0");
    body(driver, p);
    Unlink(L"\\DosDevices\\PROBE");
    TearDown(driver, {&p});
  });
}

}  // namespace probe
