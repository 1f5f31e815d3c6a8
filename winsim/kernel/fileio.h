// The object manager and I/O manager as a program reaches them: a process
// handle table of its own, file objects opened by name, the read, write,
// device control and cancel requests the I/O manager builds for a program,
// events and waits. winsim/user builds the Win32 functions on these, the way
// the system's libraries build them on the native services. The calls take
// the native services' parameters in their order, less what no program here
// uses (APCs, keys, extended attributes). Every call runs on a simulated
// thread at PASSIVE_LEVEL and may switch threads; the ones that wait say so.
// Drivers never include this.
#pragma once
#if defined(KORV_DRIVER)
#error "winsim/kernel/fileio.h is for the stand-in, tests and the simulator, not for drivers"
#endif

#include <string>

#include "winsim/kernel/wdk/wdm.h"

namespace winsim::kernel {

// ---- files --------------------------------------------------------------------

// Opens `ObjectName`, an NT path ("\??\COM3", "\Device\Serial0",
// "\??\USB#...#{guid}\pipe"): symbolic links are followed (\DosDevices,
// \DosDevices\Global, \GLOBAL?? and \?? are one directory) until a device
// name is reached; what follows the device name becomes FileObject->FileName.
// Sends IRP_MJ_CREATE to the top of the device's stack and waits for it.
// FILE_SYNCHRONOUS_IO_NONALERT in CreateOptions makes a synchronous file
// object: its requests are serialised and wait for completion, and it keeps
// a current byte offset.
NTSTATUS NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, const std::wstring& ObjectName,
                      PIO_STATUS_BLOCK IoStatusBlock, ULONG FileAttributes, ULONG ShareAccess,
                      ULONG CreateDisposition, ULONG CreateOptions);

// Read and write requests. On a synchronous file object these wait for the
// request and return its final status; otherwise they return what the driver
// returned (STATUS_PENDING while it holds the request). `IoStatusBlock` gets
// the final status and Information when the request completes, and `Event`
// (or, without one, the file object) is signalled then. A null ByteOffset
// means the current offset on a synchronous file object, 0 otherwise.
NTSTATUS NtReadFile(HANDLE FileHandle, HANDLE Event, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                    ULONG Length, PLARGE_INTEGER ByteOffset);
NTSTATUS NtWriteFile(HANDLE FileHandle, HANDLE Event, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                     ULONG Length, PLARGE_INTEGER ByteOffset);
NTSTATUS NtDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_STATUS_BLOCK IoStatusBlock,
                               ULONG IoControlCode, PVOID InputBuffer, ULONG InputBufferLength,
                               PVOID OutputBuffer, ULONG OutputBufferLength);

// Cancels the calling thread's outstanding requests on the file.
NTSTATUS NtCancelIoFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock);
// Cancels the process's outstanding requests on the file, or only those whose
// status block is `IoRequestToCancel`; STATUS_NOT_FOUND when there is none.
// Does not wait for them to complete.
NTSTATUS NtCancelIoFileEx(HANDLE FileHandle, PIO_STATUS_BLOCK IoRequestToCancel,
                          PIO_STATUS_BLOCK IoStatusBlock);

// Closes a process handle. Closing the last handle of a file object sends
// IRP_MJ_CLEANUP and waits for it (after the request in progress, on a
// synchronous file object); IRP_MJ_CLOSE follows once no request holds the
// file object, from this thread or, when a request completes later, from a
// system thread of the I/O manager.
NTSTATUS NtClose(HANDLE Handle);

// ---- events and waits -----------------------------------------------------------

NTSTATUS NtCreateEvent(PHANDLE EventHandle, EVENT_TYPE EventType, BOOLEAN InitialState);
NTSTATUS NtSetEvent(HANDLE EventHandle, PLONG PreviousState);
NTSTATUS NtResetEvent(HANDLE EventHandle, PLONG PreviousState);

// Waits on events and file handles (a file handle is signalled when a request
// on it completes). Blocks; STATUS_WAIT_0 + index, STATUS_TIMEOUT, or
// STATUS_INVALID_HANDLE without waiting.
NTSTATUS NtWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTSTATUS NtWaitForMultipleObjects(ULONG Count, const HANDLE Handles[], WAIT_TYPE WaitType,
                                  BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTSTATUS NtDelayExecution(BOOLEAN Alertable, PLARGE_INTEGER DelayInterval);

// ---- per thread, per process ------------------------------------------------------

// What the system keeps for a program's thread beside the kernel's own
// record: one per simulated thread, dropped when the run ends.
struct ThreadEnvironment {
  ULONG lastError = 0;
};
ThreadEnvironment* CurrentThreadEnvironment();

// For teardown checks.
LONG OpenProcessHandles();
LONG LiveFileObjects();  // opened and not yet closed (IRP_MJ_CLOSE not yet sent)

}  // namespace winsim::kernel
