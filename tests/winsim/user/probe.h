// A small driver for tests of the program side of the I/O manager. Each
// device is run by a Probe the test owns: it logs what reached the driver,
// records how each request's buffers arrived, answers reads and writes from
// its fields and can hold reads pending (cancellable) until the test
// releases them. Everything here runs inside a simulation run.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "winsim/kernel/sim.h"

namespace probe {

struct Probe {
  PDEVICE_OBJECT device = nullptr;

  // What reached the driver, in order: "create", "read", "write", "control",
  // "cancel", "cleanup", "close".
  std::vector<std::string> log;

  // IRP_MJ_CREATE.
  NTSTATUS createStatus = STATUS_SUCCESS;
  std::wstring fileName;  // FileObject->FileName of the last create
  PFILE_OBJECT fileObject = nullptr;
  bool synchronousFileObject = false;

  // IRP_MJ_READ: answered at once from readData (at most the request's
  // length) with readStatus, Information = readInformation or the bytes
  // copied; or held until Release when holdReads is set.
  std::vector<UCHAR> readData;
  NTSTATUS readStatus = STATUS_SUCCESS;
  ULONG_PTR readInformation = ~ULONG_PTR{0};  // ~0: the bytes copied
  bool holdReads = false;
  // IRP_MJ_CLEANUP cancels the held reads of the file object being cleaned up.
  bool cancelOnCleanup = true;

  // IRP_MJ_WRITE: the bytes that arrived, Information = their count.
  std::vector<UCHAR> written;

  // IRP_MJ_DEVICE_CONTROL: called with the request; returns the status to
  // complete it with and sets Information. Without it requests succeed.
  std::function<NTSTATUS(PIRP irp, PIO_STACK_LOCATION s)> control;

  // How the last read, write or control request arrived.
  ULONG length = 0;
  LONGLONG byteOffset = -1;
  PVOID systemBuffer = nullptr;
  PMDL mdl = nullptr;  // freed once the request is done: compare, do not follow
  bool mdlLocked = false;
  PVOID mdlAddress = nullptr;
  ULONG mdlByteCount = 0;
  PVOID userBuffer = nullptr;
  PVOID type3Input = nullptr;

  LIST_ENTRY held;
  KEVENT closed;  // set by every IRP_MJ_CLOSE
};

// Loads the probe driver.
PDRIVER_OBJECT Load();

// Creates a device run by `probe` (which must outlive it) with `flags`
// (DO_BUFFERED_IO, DO_DIRECT_IO) and, unless `ready` is false, ready for
// opens as an AddDevice routine would leave it.
void AddDevice(PDRIVER_OBJECT driver, Probe* probe, const wchar_t* name, ULONG flags = 0,
               bool exclusive = false, bool ready = true);

// Creates and deletes a symbolic link, as a driver does.
void Link(const std::wstring& link, const std::wstring& target);
void Unlink(const std::wstring& link);

// The number of reads held by the device.
int Held(Probe* probe);

// Completes the oldest held read with `data` (at most its length), from the
// calling thread, as the device's completion would. Returns false when no
// read is held.
bool Release(PDRIVER_OBJECT driver, Probe* probe, const std::vector<UCHAR>& data,
             NTSTATUS status = STATUS_SUCCESS);

// Deletes the devices, unloads the driver and checks that nothing is left:
// no request, MDL, pool block, kernel or process handle, file object or link.
void TearDown(PDRIVER_OBJECT driver, const std::vector<Probe*>& probes);

// Runs `body` on a fresh machine with one probe, "\Device\Probe0" with
// `flags`, reachable as \\.\PROBE, and takes it all down afterwards.
void WithLinkedProbe(ULONG flags, const std::function<void(PDRIVER_OBJECT, Probe&)>& body);

// The buffer a request's data is in, by the device's I/O method.
PVOID DataOf(PDEVICE_OBJECT device, PIRP irp);

}  // namespace probe
