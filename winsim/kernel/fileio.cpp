// The I/O manager's side of a program: file objects opened by name, the
// requests built for a program and their completion, cancellation, cleanup
// and close; the process handle table, events and waits.
#include "winsim/kernel/fileio.h"

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <functional>
#include <map>
#include <vector>

#include "winsim/host/text.h"
#include "winsim/kernel/internal.h"
#include "winsim/kernel/pnp.h"
#include "winsim/kernel/sim.h"

namespace winsim::kernel {

void ResetFileIo();

namespace {

constexpr CSHORT kFileObjectType = 5;
// Process handles have a range of their own, so a kernel handle given to a
// program's call is refused instead of being taken for another object.
constexpr ULONG_PTR kFirstProcessHandle = 0x10000;
constexpr int kMaxLinksFollowed = 32;
// Buffers the I/O manager allocates are not zeroed; a driver that reports
// more bytes than it wrote shows this pattern to the program.
constexpr int kFreshBufferFill = 0xCD;

struct Request;

struct FileRecord {
  FILE_OBJECT object{};
  std::wstring name;                // as opened, for messages
  std::wstring fileName;            // backs object.FileName
  PDEVICE_OBJECT device = nullptr;  // the device the name led to
  ACCESS_MASK access = 0;           // granted: FILE_READ_DATA, FILE_WRITE_DATA, ...
  LONG handles = 0;
  LONG refs = 0;                // the handles, requests in flight, calls and waits in progress
  KEVENT event;                 // signalled at each completion; a wait on the handle waits for it
  KEVENT lock;                  // synchronous file objects: one request at a time
  Request* requests = nullptr;  // outstanding reads, writes and device controls
};

struct EventRecord {
  KEVENT event;
  LONG refs = 0;
};

struct Request {
  FileRecord* file = nullptr;
  PIRP irp = nullptr;
  bool transfer = false;  // read, write or device control: listed, holds the file
  bool waited = false;    // the issuing thread waits for `done` and owns the record
  KEVENT done;
  IO_STATUS_BLOCK result{};
  PVOID statusBlock = nullptr;  // the caller's, written at completion
  EventRecord* event = nullptr;
  PVOID copyTo = nullptr;  // buffered output goes back here, at most copyLength bytes
  ULONG copyLength = 0;
  bool advanceOffset = false;
  LONGLONG offset = 0;
  bool finished = false;
  ULONG sweep = 0;  // the last cancel pass that reached it
  Request* prev = nullptr;
  Request* next = nullptr;
};

struct ThreadIo {
  LIST_ENTRY irps;  // outstanding requests, through Irp->ThreadListEntry
  ThreadEnvironment environment;
};

enum class ObjectKind { kFile, kEvent };
struct ProcessHandle {
  ObjectKind kind;
  void* object;
};

std::map<ULONG_PTR, ProcessHandle> g_handles;
ULONG_PTR g_nextHandle = kFirstProcessHandle;
std::vector<FileRecord*> g_files;
std::vector<EventRecord*> g_events;
std::map<host::Thread*, ThreadIo*> g_threads;
ULONG g_sweep = 0;

ThreadIo* CurrentThreadIo() {
  host::Thread* thread = host::Current();
  if (thread == nullptr) host::Fail("winsim: a program's call was made outside a simulation run");
  ThreadIo*& io = g_threads[thread];
  if (io == nullptr) {
    io = new ThreadIo{};
    InitializeListHead(&io->irps);
  }
  return io;
}

HANDLE InsertProcessHandle(ObjectKind kind, void* object) {
  ULONG_PTR value = g_nextHandle;
  g_nextHandle += 4;
  g_handles[value] = {kind, object};
  return reinterpret_cast<HANDLE>(value);
}

const ProcessHandle* FindProcessHandle(HANDLE handle) {
  auto it = g_handles.find(reinterpret_cast<ULONG_PTR>(handle));
  return it == g_handles.end() ? nullptr : &it->second;
}

// ---- namespace ----------------------------------------------------------------

// \DosDevices, \DosDevices\Global, \GLOBAL?? and \??\Global all name \??.
std::wstring WithoutAlias(const std::wstring& path) {
  static const wchar_t* const kAliases[] = {L"\\DosDevices\\Global\\", L"\\??\\Global\\",
                                            L"\\GLOBAL??\\", L"\\DosDevices\\"};
  for (const wchar_t* alias : kAliases) {
    if (text::StartsWithNoCase(path, alias)) return L"\\??\\" + path.substr(std::wcslen(alias));
  }
  return path;
}

// Walks the name one component at a time, as the object manager does: a
// symbolic link is replaced by its target and the walk starts again; a device
// object ends it, and the rest of the name is the device's to interpret.
NTSTATUS Resolve(std::wstring path, PDEVICE_OBJECT* device, std::wstring* rest) {
  if (path.empty() || path[0] != L'\\') return STATUS_OBJECT_NAME_INVALID;
  for (int hops = 0; hops < kMaxLinksFollowed; ++hops) {
    path = WithoutAlias(path);
    bool followed = false;
    for (size_t end = path.find(L'\\', 1);; end = path.find(L'\\', end + 1)) {
      std::wstring prefix = path.substr(0, end);
      std::wstring remainder = end == std::wstring::npos ? std::wstring() : path.substr(end);
      if (PDEVICE_OBJECT found = FindDevice(prefix)) {
        *device = found;
        *rest = remainder;
        return STATUS_SUCCESS;
      }
      std::wstring target = ResolveSymbolicLink(prefix);
      if (!target.empty()) {
        path = target + remainder;
        followed = true;
        break;
      }
      if (end == std::wstring::npos) break;
    }
    if (!followed) {
      // A missing last component is a missing name; one before it, a missing path.
      size_t separators = 0;
      for (size_t i = 0; i + 1 < path.size(); ++i) separators += path[i] == L'\\';
      return separators <= 2 ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
    }
  }
  return STATUS_OBJECT_PATH_NOT_FOUND;
}

// ---- requests -----------------------------------------------------------------

void Link(FileRecord* f, Request* r) {
  r->prev = nullptr;
  r->next = f->requests;
  if (f->requests) f->requests->prev = r;
  f->requests = r;
}

void Unlink(FileRecord* f, Request* r) {
  if (r->prev) r->prev->next = r->next;
  if (r->next) r->next->prev = r->prev;
  if (f->requests == r) f->requests = r->next;
  r->prev = r->next = nullptr;
}

// Takes a record out of its live list (order does not matter) and frees it.
template <typename Record>
void Forget(std::vector<Record*>& live, Record* record) {
  auto at = std::find(live.begin(), live.end(), record);
  if (at != live.end()) {
    *at = live.back();
    live.pop_back();
  }
  delete record;
}

void ReleaseEvent(EventRecord* e) {
  if (--e->refs > 0) return;
  Forget(g_events, e);
}

void ReleaseFile(FileRecord* f, bool fromCompletion);

// The end of every request the I/O manager made for a program: buffered
// output copied back, buffers and MDLs freed, the status block written, the
// waiters woken, the request freed.
void Finish(PIRP irp, void* context) {
  auto* r = static_cast<Request*>(context);
  FileRecord* f = r->file;
  NTSTATUS status = irp->IoStatus.Status;
  ULONG_PTR information = irp->IoStatus.Information;
  ReleaseIoBuffers(irp, r->copyTo, r->copyLength);
  if (r->advanceOffset && NT_SUCCESS(status)) {
    f->object.CurrentByteOffset.QuadPart = r->offset + static_cast<LONGLONG>(information);
  }
  r->result = irp->IoStatus;
  // The caller's block may be the first two fields of an OVERLAPPED.
  if (r->statusBlock != nullptr) {
    std::memcpy(r->statusBlock, &irp->IoStatus, sizeof(IO_STATUS_BLOCK));
  }
  RemoveEntryList(&irp->ThreadListEntry);
  InitializeListHead(&irp->ThreadListEntry);
  if (r->transfer) Unlink(f, r);
  r->finished = true;
  r->irp = nullptr;
  ReleaseIrp(irp);

  EventRecord* event = r->event;
  bool transfer = r->transfer;
  bool waited = r->waited;
  if (!waited) delete r;
  if (transfer) {
    // Waiters on the handle are woken without a switch and the request's
    // reference is dropped before anyone woken here runs, so a program that
    // closes its handle once its request is done sends the close itself.
    f->event.Header.SignalState = 1;
    SatisfyWaiters(&f->event.Header);
    ReleaseFile(f, true);
  }
  if (event != nullptr) {
    KeSetEvent(&event->event, IO_NO_INCREMENT, FALSE);
    ReleaseEvent(event);
  }
  if (waited) KeSetEvent(&r->done, IO_NO_INCREMENT, FALSE);  // the waiter's from here on
}

PIRP NewRequestIrp(FileRecord* f, PDEVICE_OBJECT top, Request* r) {
  PIRP irp = AllocateSystemIrp(top->StackSize, Finish, r);
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.OriginalFileObject = &f->object;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  IoGetNextIrpStackLocation(irp)->FileObject = &f->object;
  r->irp = irp;
  return irp;
}

// IRP_MJ_CREATE, IRP_MJ_CLEANUP or IRP_MJ_CLOSE for a file object, sent to
// the top of its device's stack; waits for the answer.
NTSTATUS CallForFile(FileRecord* f, UCHAR major, ULONG options = 0, USHORT share = 0,
                     USHORT attributes = 0) {
  Request r;
  r.file = f;
  r.waited = true;
  KeInitializeEvent(&r.done, NotificationEvent, FALSE);
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(f->device);
  PIRP irp = NewRequestIrp(f, top, &r);
  irp->Flags = IRP_SYNCHRONOUS_API;
  PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
  s->MajorFunction = major;
  if (major == IRP_MJ_CREATE) {
    s->Parameters.Create.Options = options;
    s->Parameters.Create.ShareAccess = share;
    s->Parameters.Create.FileAttributes = attributes;
  }
  IoCallDriver(top, irp);
  ObDereferenceObject(top);
  KeWaitForSingleObject(&r.done, Executive, KernelMode, FALSE, nullptr);
  return r.result.Status;
}

void SendClose(FileRecord* f) {
  CallForFile(f, IRP_MJ_CLOSE);
  f->device->ReferenceCount--;
  StackHandleClosed(f->device);
  Forget(g_files, f);
}

// Dropping the last reference sends IRP_MJ_CLOSE. When that happens inside a
// completion (in a driver, perhaps at DISPATCH_LEVEL) a thread of the I/O
// manager sends it instead, as the system defers the close to a worker.
void ReleaseFile(FileRecord* f, bool fromCompletion) {
  if (--f->refs > 0) return;
  if (!fromCompletion) {
    SendClose(f);
    return;
  }
  host::Spawn("I/O manager: close of " + text::Printable(f->name), host::ThreadKind::kService,
              [f] { SendClose(f); });
}

// The object behind a process handle of the given kind, with a reference taken.
template <typename Record>
Record* ReferenceObject(HANDLE handle, ObjectKind kind, NTSTATUS* status) {
  const ProcessHandle* entry = FindProcessHandle(handle);
  if (entry == nullptr) {
    *status = STATUS_INVALID_HANDLE;
    return nullptr;
  }
  if (entry->kind != kind) {
    *status = STATUS_OBJECT_TYPE_MISMATCH;
    return nullptr;
  }
  auto* record = static_cast<Record*>(entry->object);
  record->refs++;
  return record;
}

FileRecord* ReferenceFile(HANDLE handle, NTSTATUS* status) {
  return ReferenceObject<FileRecord>(handle, ObjectKind::kFile, status);
}

EventRecord* ReferenceEvent(HANDLE handle, NTSTATUS* status) {
  return ReferenceObject<EventRecord>(handle, ObjectKind::kEvent, status);
}

bool Synchronous(const FileRecord* f) { return (f->object.Flags & FO_SYNCHRONOUS_IO) != 0; }

void LockFile(FileRecord* f) {
  if (Synchronous(f)) KeWaitForSingleObject(&f->lock, Executive, UserMode, FALSE, nullptr);
}
void UnlockFile(FileRecord* f) {
  if (Synchronous(f)) KeSetEvent(&f->lock, IO_NO_INCREMENT, FALSE);
}

// A synchronous request lives on its issuer's stack; should the issuer be
// unwound at the end of a run, it must not stay on the file's list.
struct ListedOnStack {
  Request* r;
  ~ListedOnStack() {
    if (r != nullptr && !r->finished) Unlink(r->file, r);
  }
};

// How the caller's buffers reach the driver, decided before anything is sent.
struct Transfer {
  UCHAR major;
  ACCESS_MASK needs;
  std::function<NTSTATUS(PIRP irp, PIO_STACK_LOCATION s, Request& r, PDEVICE_OBJECT top)> build;
};

// Builds and sends a read, write or device control request for a program;
// on a synchronous file object waits for it and returns its final status.
NTSTATUS Issue(const char* call, HANDLE fileHandle, HANDLE eventHandle,
               PIO_STATUS_BLOCK statusBlock, const Transfer& transfer) {
  RequireIrqlAtMost(call, PASSIVE_LEVEL);
  NTSTATUS status;
  FileRecord* f = ReferenceFile(fileHandle, &status);
  if (f == nullptr) return status;
  if ((f->access & transfer.needs) != transfer.needs) {
    ReleaseFile(f, false);
    return STATUS_ACCESS_DENIED;
  }
  EventRecord* event = nullptr;
  if (eventHandle != nullptr && (event = ReferenceEvent(eventHandle, &status)) == nullptr) {
    ReleaseFile(f, false);
    return status;
  }
  bool sync = Synchronous(f);
  LockFile(f);
  if (event != nullptr) KeClearEvent(&event->event);
  KeClearEvent(&f->event);

  Request onStack;
  Request* r = sync ? &onStack : new Request;
  r->file = f;
  r->transfer = true;
  r->waited = sync;
  r->statusBlock = statusBlock;
  r->event = event;
  KeInitializeEvent(&r->done, NotificationEvent, FALSE);
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(f->device);
  PIRP irp = NewRequestIrp(f, top, r);
  PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
  s->MajorFunction = transfer.major;
  status = transfer.build(irp, s, *r, top);
  if (!NT_SUCCESS(status)) {
    // Nothing reached the driver: undo what the builder allocated.
    if (irp->Flags & IRP_DEALLOCATE_BUFFER) KernelFree(irp->AssociatedIrp.SystemBuffer);
    while (PMDL mdl = irp->MdlAddress) {
      irp->MdlAddress = mdl->Next;
      if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
      IoFreeMdl(mdl);
    }
    ReleaseIrp(irp);
    ObDereferenceObject(top);
    if (!sync) delete r;
    if (event != nullptr) ReleaseEvent(event);
    UnlockFile(f);
    ReleaseFile(f, false);
    return status;
  }
  f->refs++;  // the request's
  Link(f, r);
  InsertTailList(&CurrentThreadIo()->irps, &irp->ThreadListEntry);
  ListedOnStack guard{sync ? r : nullptr};

  NTSTATUS returned = IoCallDriver(top, irp);
  ObDereferenceObject(top);
  if (sync) {
    KeWaitForSingleObject(&r->done, Executive, UserMode, FALSE, nullptr);
    returned = r->result.Status;
  }
  UnlockFile(f);
  ReleaseFile(f, false);
  return returned;
}

void SetOffset(Request& r, PLARGE_INTEGER byteOffset) {
  FileRecord* f = r.file;
  if (byteOffset != nullptr) {
    r.offset = byteOffset->QuadPart;
  } else if (Synchronous(f)) {
    r.offset = f->object.CurrentByteOffset.QuadPart;
  }
  r.advanceOffset = Synchronous(f);
}

NTSTATUS AttachLockedMdl(PIRP irp, PVOID buffer, ULONG length, LOCK_OPERATION operation) {
  PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
  if (mdl == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  MmProbeAndLockPages(mdl, UserMode, operation);
  return STATUS_SUCCESS;
}

PVOID NewSystemBuffer(PIRP irp, ULONG size, ULONG flags) {
  auto* buffer = static_cast<UCHAR*>(KernelAlloc(size));
  std::memset(buffer, kFreshBufferFill, size);
  irp->AssociatedIrp.SystemBuffer = buffer;
  irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | flags;
  return buffer;
}

NTSTATUS ReadOrWrite(const char* call, UCHAR major, HANDLE FileHandle, HANDLE Event,
                     PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                     PLARGE_INTEGER ByteOffset) {
  bool read = major == IRP_MJ_READ;
  if (Buffer == nullptr && Length != 0) return STATUS_ACCESS_VIOLATION;
  Transfer t{major, static_cast<ACCESS_MASK>(read ? FILE_READ_DATA : FILE_WRITE_DATA),
             [&](PIRP irp, PIO_STACK_LOCATION s, Request& r, PDEVICE_OBJECT top) {
               SetOffset(r, ByteOffset);
               s->Parameters.Read.Length = Length;
               s->Parameters.Read.ByteOffset.QuadPart = r.offset;
               irp->UserBuffer = Buffer;
               if (Length == 0) return STATUS_SUCCESS;
               if (top->Flags & DO_BUFFERED_IO) {
                 PVOID system = NewSystemBuffer(irp, Length, read ? IRP_INPUT_OPERATION : 0);
                 if (read) {
                   r.copyTo = Buffer;
                   r.copyLength = Length;
                 } else {
                   std::memcpy(system, Buffer, Length);
                 }
                 return STATUS_SUCCESS;
               }
               if (top->Flags & DO_DIRECT_IO) {
                 // A read writes into the caller's pages; a write reads them.
                 return AttachLockedMdl(irp, Buffer, Length, read ? IoWriteAccess : IoReadAccess);
               }
               return STATUS_SUCCESS;
             }};
  return Issue(call, FileHandle, Event, IoStatusBlock, t);
}

ACCESS_MASK Granted(ACCESS_MASK desired) {
  ACCESS_MASK granted = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  if (desired & (GENERIC_READ | GENERIC_ALL)) granted |= FILE_READ_DATA;
  if (desired & (GENERIC_WRITE | GENERIC_ALL)) granted |= FILE_WRITE_DATA;
  return granted;
}

// Cancels the listed requests `matches` picks, each once. A cancel routine
// may complete and free other requests too, so the walk starts over after
// each one; the request being cancelled is kept alive across the call.
template <typename First>
bool CancelEach(First first) {
  ULONG sweep = ++g_sweep;
  bool any = false;
  while (Request* r = first(sweep)) {
    r->sweep = sweep;
    any = true;
    PIRP irp = r->irp;
    IrpRecord* rec = RecordOf(irp);
    rec->callDepth++;
    IoCancelIrp(irp);
    if (--rec->callDepth == 0 && rec->freeDeferred) ReleaseIrp(irp);
  }
  return any;
}

PVOID WaitableOf(const ProcessHandle* entry) {
  if (entry->kind == ObjectKind::kEvent) {
    auto* e = static_cast<EventRecord*>(entry->object);
    e->refs++;
    return &e->event;
  }
  auto* f = static_cast<FileRecord*>(entry->object);
  f->refs++;
  return &f->event;
}

void ReleaseWaitable(const ProcessHandle& entry) {
  if (entry.kind == ObjectKind::kEvent) {
    ReleaseEvent(static_cast<EventRecord*>(entry.object));
  } else {
    ReleaseFile(static_cast<FileRecord*>(entry.object), false);
  }
}

}  // namespace

void ResetFileIo() {
  for (FileRecord* f : g_files) {
    // Requests still listed belong to nobody now; their IRPs go with the run.
    while (Request* r = f->requests) {
      Unlink(f, r);
      if (!r->waited) delete r;
    }
    delete f;
  }
  g_files.clear();
  for (EventRecord* e : g_events) delete e;
  g_events.clear();
  g_handles.clear();
  g_nextHandle = kFirstProcessHandle;
  for (auto& [thread, io] : g_threads) delete io;
  g_threads.clear();
  g_sweep = 0;
}

ThreadEnvironment* CurrentThreadEnvironment() { return &CurrentThreadIo()->environment; }

LONG OpenProcessHandles() { return static_cast<LONG>(g_handles.size()); }
LONG LiveFileObjects() { return static_cast<LONG>(g_files.size()); }

// ---- files --------------------------------------------------------------------

NTSTATUS NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, const std::wstring& ObjectName,
                      PIO_STATUS_BLOCK IoStatusBlock, ULONG FileAttributes, ULONG ShareAccess,
                      ULONG CreateDisposition, ULONG CreateOptions) {
  RequireIrqlAtMost("NtCreateFile", PASSIVE_LEVEL);
  SchedulePoint();
  if (FileHandle == nullptr || IoStatusBlock == nullptr) return STATUS_ACCESS_VIOLATION;
  if (CreateDisposition > FILE_OVERWRITE_IF) return STATUS_INVALID_PARAMETER;
  PDEVICE_OBJECT device = nullptr;
  std::wstring rest;
  NTSTATUS status = Resolve(ObjectName, &device, &rest);
  if (!NT_SUCCESS(status)) return status;
  if ((device->Flags & DO_DEVICE_INITIALIZING) || !StackAcceptsOpens(device)) {
    return STATUS_NO_SUCH_DEVICE;
  }
  // An exclusive device takes one open at a time; the count is taken before
  // the create is sent, so a second open cannot slip in meanwhile.
  if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount != 0) return STATUS_ACCESS_DENIED;
  device->ReferenceCount++;

  auto* f = new FileRecord;
  f->name = ObjectName;
  f->fileName = rest;
  f->device = device;
  f->access = Granted(DesiredAccess);
  KeInitializeEvent(&f->event, NotificationEvent, FALSE);
  KeInitializeEvent(&f->lock, SynchronizationEvent, TRUE);
  FILE_OBJECT& o = f->object;
  o.Type = kFileObjectType;
  o.Size = sizeof(FILE_OBJECT);
  o.DeviceObject = device;
  o.Flags = (CreateOptions & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT))
                ? FO_SYNCHRONOUS_IO
                : 0;
  o.ReadAccess = (f->access & FILE_READ_DATA) != 0;
  o.WriteAccess = (f->access & FILE_WRITE_DATA) != 0;
  o.DeleteAccess = (f->access & DELETE) != 0;
  o.SharedRead = (ShareAccess & FILE_SHARE_READ) != 0;
  o.SharedWrite = (ShareAccess & FILE_SHARE_WRITE) != 0;
  o.SharedDelete = (ShareAccess & FILE_SHARE_DELETE) != 0;
  USHORT bytes = static_cast<USHORT>(f->fileName.size() * sizeof(WCHAR));
  o.FileName = {bytes, bytes, f->fileName.empty() ? nullptr : f->fileName.data()};
  g_files.push_back(f);

  status = CallForFile(f, IRP_MJ_CREATE, (CreateDisposition << 24) | (CreateOptions & 0x00FFFFFF),
                       static_cast<USHORT>(ShareAccess), static_cast<USHORT>(FileAttributes));
  IoStatusBlock->Status = status;
  IoStatusBlock->Information = 0;
  if (!NT_SUCCESS(status)) {
    // A failed create gets neither cleanup nor close.
    device->ReferenceCount--;
    for (auto& slot : g_files) {
      if (slot == f) {
        slot = g_files.back();
        g_files.pop_back();
        break;
      }
    }
    delete f;
    return status;
  }
  f->handles = 1;
  f->refs = 1;
  StackHandleOpened(device);
  *FileHandle = InsertProcessHandle(ObjectKind::kFile, f);
  return status;
}

NTSTATUS NtReadFile(HANDLE FileHandle, HANDLE Event, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                    ULONG Length, PLARGE_INTEGER ByteOffset) {
  return ReadOrWrite("NtReadFile", IRP_MJ_READ, FileHandle, Event, IoStatusBlock, Buffer, Length,
                     ByteOffset);
}

NTSTATUS NtWriteFile(HANDLE FileHandle, HANDLE Event, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                     ULONG Length, PLARGE_INTEGER ByteOffset) {
  return ReadOrWrite("NtWriteFile", IRP_MJ_WRITE, FileHandle, Event, IoStatusBlock, Buffer, Length,
                     ByteOffset);
}

NTSTATUS NtDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_STATUS_BLOCK IoStatusBlock,
                               ULONG IoControlCode, PVOID InputBuffer, ULONG InputBufferLength,
                               PVOID OutputBuffer, ULONG OutputBufferLength) {
  ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
  if (method != METHOD_NEITHER && ((InputBuffer == nullptr && InputBufferLength != 0) ||
                                   (OutputBuffer == nullptr && OutputBufferLength != 0))) {
    return STATUS_ACCESS_VIOLATION;
  }
  ULONG accessBits = (IoControlCode >> 14) & 3;
  ACCESS_MASK needs = ((accessBits & FILE_READ_ACCESS) ? FILE_READ_DATA : 0) |
                      ((accessBits & FILE_WRITE_ACCESS) ? FILE_WRITE_DATA : 0);
  Transfer t{
      IRP_MJ_DEVICE_CONTROL, needs,
      [&](PIRP irp, PIO_STACK_LOCATION s, Request& r, PDEVICE_OBJECT) {
        s->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
        s->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
        s->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
        irp->UserBuffer = OutputBuffer;
        switch (method) {
          case METHOD_BUFFERED: {
            // One buffer for both directions, as large as the larger.
            ULONG size =
                InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
            if (size == 0) return STATUS_SUCCESS;
            PVOID system = NewSystemBuffer(irp, size, OutputBufferLength ? IRP_INPUT_OPERATION : 0);
            if (InputBufferLength) std::memcpy(system, InputBuffer, InputBufferLength);
            if (OutputBufferLength) {
              r.copyTo = OutputBuffer;
              r.copyLength = OutputBufferLength;
            }
            return STATUS_SUCCESS;
          }
          case METHOD_IN_DIRECT:
          case METHOD_OUT_DIRECT:
            if (InputBufferLength) {
              std::memcpy(NewSystemBuffer(irp, InputBufferLength, 0), InputBuffer,
                          InputBufferLength);
            }
            if (OutputBufferLength == 0) return STATUS_SUCCESS;
            return AttachLockedMdl(irp, OutputBuffer, OutputBufferLength,
                                   method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
          default:
            s->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
            return STATUS_SUCCESS;
        }
      }};
  return Issue("NtDeviceIoControlFile", FileHandle, Event, IoStatusBlock, t);
}

NTSTATUS NtCancelIoFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock) {
  RequireIrqlAtMost("NtCancelIoFile", PASSIVE_LEVEL);
  NTSTATUS status;
  FileRecord* f = ReferenceFile(FileHandle, &status);
  if (f == nullptr) return status;
  LIST_ENTRY* head = &CurrentThreadIo()->irps;
  CancelEach([&](ULONG sweep) -> Request* {
    for (LIST_ENTRY* e = head->Flink; e != head; e = e->Flink) {
      auto* r = static_cast<Request*>(
          RecordOf(CONTAINING_RECORD(e, IRP, ThreadListEntry))->finishContext);
      if (r->file == f && r->sweep != sweep) return r;
    }
    return nullptr;
  });
  if (IoStatusBlock != nullptr) *IoStatusBlock = {{STATUS_SUCCESS}, 0};
  ReleaseFile(f, false);
  return STATUS_SUCCESS;
}

NTSTATUS NtCancelIoFileEx(HANDLE FileHandle, PIO_STATUS_BLOCK IoRequestToCancel,
                          PIO_STATUS_BLOCK IoStatusBlock) {
  RequireIrqlAtMost("NtCancelIoFileEx", PASSIVE_LEVEL);
  NTSTATUS status;
  FileRecord* f = ReferenceFile(FileHandle, &status);
  if (f == nullptr) return status;
  bool any = CancelEach([&](ULONG sweep) -> Request* {
    for (Request* r = f->requests; r != nullptr; r = r->next) {
      if (r->sweep != sweep &&
          (IoRequestToCancel == nullptr || r->statusBlock == IoRequestToCancel)) {
        return r;
      }
    }
    return nullptr;
  });
  status = any ? STATUS_SUCCESS : STATUS_NOT_FOUND;
  if (IoStatusBlock != nullptr) *IoStatusBlock = {{status}, 0};
  ReleaseFile(f, false);
  return status;
}

NTSTATUS NtClose(HANDLE Handle) {
  RequireIrqlAtMost("NtClose", PASSIVE_LEVEL);
  SchedulePoint();
  auto it = g_handles.find(reinterpret_cast<ULONG_PTR>(Handle));
  if (it == g_handles.end()) return STATUS_INVALID_HANDLE;
  ProcessHandle entry = it->second;
  g_handles.erase(it);
  if (entry.kind == ObjectKind::kEvent) {
    ReleaseEvent(static_cast<EventRecord*>(entry.object));
    return STATUS_SUCCESS;
  }
  auto* f = static_cast<FileRecord*>(entry.object);
  if (--f->handles == 0) {
    LockFile(f);
    CallForFile(f, IRP_MJ_CLEANUP);
    UnlockFile(f);
  }
  ReleaseFile(f, false);
  return STATUS_SUCCESS;
}

// ---- events and waits -----------------------------------------------------------

NTSTATUS NtCreateEvent(PHANDLE EventHandle, EVENT_TYPE EventType, BOOLEAN InitialState) {
  RequireIrqlAtMost("NtCreateEvent", PASSIVE_LEVEL);
  if (EventHandle == nullptr) return STATUS_ACCESS_VIOLATION;
  auto* e = new EventRecord;
  KeInitializeEvent(&e->event, EventType, InitialState);
  e->refs = 1;
  g_events.push_back(e);
  *EventHandle = InsertProcessHandle(ObjectKind::kEvent, e);
  return STATUS_SUCCESS;
}

NTSTATUS NtSetEvent(HANDLE EventHandle, PLONG PreviousState) {
  NTSTATUS status;
  EventRecord* e = ReferenceEvent(EventHandle, &status);
  if (e == nullptr) return status;
  LONG previous = KeSetEvent(&e->event, IO_NO_INCREMENT, FALSE);
  if (PreviousState != nullptr) *PreviousState = previous;
  ReleaseEvent(e);
  return STATUS_SUCCESS;
}

NTSTATUS NtResetEvent(HANDLE EventHandle, PLONG PreviousState) {
  NTSTATUS status;
  EventRecord* e = ReferenceEvent(EventHandle, &status);
  if (e == nullptr) return status;
  LONG previous = KeResetEvent(&e->event);
  if (PreviousState != nullptr) *PreviousState = previous;
  ReleaseEvent(e);
  return STATUS_SUCCESS;
}

NTSTATUS NtWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  return NtWaitForMultipleObjects(1, &Handle, WaitAny, Alertable, Timeout);
}

NTSTATUS NtWaitForMultipleObjects(ULONG Count, const HANDLE Handles[], WAIT_TYPE WaitType,
                                  BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  RequireIrqlAtMost("NtWaitForMultipleObjects", PASSIVE_LEVEL);
  if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS) return STATUS_INVALID_PARAMETER_1;
  ProcessHandle entries[MAXIMUM_WAIT_OBJECTS];
  PVOID objects[MAXIMUM_WAIT_OBJECTS];
  for (ULONG i = 0; i < Count; ++i) {
    const ProcessHandle* entry = FindProcessHandle(Handles[i]);
    if (entry == nullptr) {
      for (ULONG j = 0; j < i; ++j) ReleaseWaitable(entries[j]);
      return STATUS_INVALID_HANDLE;
    }
    entries[i] = *entry;
    objects[i] = WaitableOf(entry);
  }
  KWAIT_BLOCK blocks[MAXIMUM_WAIT_OBJECTS];
  NTSTATUS status = KeWaitForMultipleObjects(Count, objects, WaitType, UserRequest, UserMode,
                                             Alertable, Timeout, blocks);
  for (ULONG i = 0; i < Count; ++i) ReleaseWaitable(entries[i]);
  return status;
}

NTSTATUS NtDelayExecution(BOOLEAN Alertable, PLARGE_INTEGER DelayInterval) {
  return KeDelayExecutionThread(UserMode, Alertable, DelayInterval);
}

}  // namespace winsim::kernel
