// Private to the stand-in kernel: per-thread and per-run state, the records
// the kernel keeps beside the objects drivers see, and the verifier.
#pragma once
#include <string>
#include <vector>

#include "winsim/host/scheduler.h"
#include "winsim/kernel/wdk/wdm.h"

namespace winsim::kernel {

// What a driver object is, seen from the kernel.
struct DriverRecord {
  DRIVER_OBJECT object{};
  DRIVER_EXTENSION extension{};
  std::wstring name;  // "\Driver\<service>"
  std::string label;  // the service name, for messages
  LONG poolBlocks = 0;
  LONG irps = 0;
  LONG mdls = 0;
  LONG handles = 0;
  LONG threads = 0;  // system threads created and not yet ended
  bool unloaded = false;
};

struct DeviceRecord {
  DEVICE_OBJECT object{};
  std::wstring name;
  bool deleted = false;
  ULONG extensionSize = 0;
  LONG refs = 0;                                  // object references taken by drivers
  DEVICE_POWER_STATE powerState = PowerDeviceD0;  // as the driver declared it
  LONG requestsInside = 0;  // stack locations of live requests naming this device
  PDEVICE_OBJECT attachedTo = nullptr;
};

enum class IrpState { kIdle, kDispatched, kCompleting, kInRoutine, kHalted, kDone };

struct alignas(16) IrpRecord {
  static constexpr ULONG kMagic = 0x50524949;  // "IIRP"
  ULONG magic = kMagic;
  IrpRecord* prev = nullptr;  // every live request, for counts and clean-up
  IrpRecord* next = nullptr;
  IrpState state = IrpState::kIdle;
  DriverRecord* owner = nullptr;  // allocated by; nullptr = I/O manager
  bool threaded = false;          // built for a thread; freed by the I/O manager
  bool bufferedCopyOut = false;   // copy SystemBuffer back to UserBuffer at the end
  ULONG copyOutLength = 0;
  LONG callDepth = 0;  // IoCallDriver frames still on some stack
  bool freeDeferred = false;
  PKEVENT event = nullptr;
  PIO_STATUS_BLOCK iosb = nullptr;
  // Per stack location (index 0 = location 1): returned STATUS_PENDING from
  // its dispatch routine, and completion has passed it.
  // The generation tells a frame whether its location was reused since.
  std::vector<UCHAR> returnedPending;  // kNotReturned, kReturnedPending or kReturnedOther
  std::vector<UCHAR> passed;
  std::vector<UCHAR> passedMarked;
  std::vector<ULONG> generation;
  ULONG nextGeneration = 0;
  // Called at the end of completion for requests the I/O manager made for an
  // application; frees nothing itself.
  void (*finish)(PIRP irp, void* context) = nullptr;
  void* finishContext = nullptr;
};

PIRP IrpOf(IrpRecord* record);
// The I/O manager's end of a request it built: `copyLength` bytes at most of
// the system buffer copied to `copyTo` (unless the request failed), the
// system buffer freed, the MDLs unlocked and freed.
void ReleaseIoBuffers(PIRP irp, void* copyTo, ULONG copyLength);
// A request of the kernel's own (power manager, I/O manager for programs):
// `finish` runs when completion reaches the top and must release it.
PIRP AllocateSystemIrp(CCHAR stackSize, void (*finish)(PIRP irp, void* context), void* context);
// Frees a request now, or when the last frame still using it returns.
void ReleaseIrp(PIRP irp);

// Stops the run, naming `call`, unless `irp` is a live request.
IrpRecord* RecordOf(PIRP irp, const char* call = "request check");
DriverRecord* RecordOf(PDRIVER_OBJECT driver);
DeviceRecord* RecordOf(PDEVICE_OBJECT device);
bool DeviceGone(PDEVICE_OBJECT device);
void PoisonIfGone(PDEVICE_OBJECT device);

// ---- dispatcher objects and threads -------------------------------------------

// Header.Type values of the waitable objects.
constexpr UCHAR kNotificationEventType = 0;
constexpr UCHAR kSynchronizationEventType = 1;
constexpr UCHAR kThreadType = 6;

struct WaitState;
}  // namespace winsim::kernel

// The thread object behind PKTHREAD/PETHREAD. Every simulated thread has one,
// created on first use; system threads get theirs from PsCreateSystemThread.
struct _KTHREAD {
  DISPATCHER_HEADER Header;  // signalled when the thread has ended
  LONG refs = 0;             // the running thread, handles and references
  winsim::host::Thread* host = nullptr;
  KIRQL irql = PASSIVE_LEVEL;
  LONG spinLocksHeld = 0;
  winsim::kernel::DriverRecord* driver = nullptr;   // whose code runs now
  winsim::kernel::DriverRecord* creator = nullptr;  // system threads: who made it
  KPRIORITY priority = 8;
  bool ended = false;
  NTSTATUS exitStatus = STATUS_SUCCESS;
  winsim::kernel::WaitState* wait = nullptr;  // the wait in progress
};
struct _ETHREAD {
  _KTHREAD Tcb;
};

namespace winsim::kernel {

using ThreadObject = _KTHREAD;
ThreadObject* CurrentThreadObject();
void ReleaseThreadObject(ThreadObject* thread);
// Signals a dispatcher object whose state was raised and satisfies waiters.
void SatisfyWaiters(DISPATCHER_HEADER* header);
void InitializeHeader(DISPATCHER_HEADER* header, UCHAR type, LONG state);
KIRQL& CurrentIrql();
LONG& SpinLocksHeld();

// The driver whose code the current thread is running; nullptr for the
// harness or the kernel itself.
DriverRecord* CurrentDriver();
class DriverScope {
 public:
  explicit DriverScope(DriverRecord* driver);
  ~DriverScope();
  DriverScope(const DriverScope&) = delete;
  DriverScope& operator=(const DriverScope&) = delete;

 private:
  DriverRecord* saved_;
};

// ---- verifier ---------------------------------------------------------------

std::string DriverLabel(const DriverRecord* driver);
std::string DescribeIrp(PIRP irp);
[[noreturn]] void Violation(const char* call, PIRP irp, const std::string& message);
void RequireIrqlAtMost(const char* call, KIRQL max);

// A scheduling point for kernel calls.
inline void SchedulePoint() { host::Yield(); }

// ---- per-run bookkeeping ------------------------------------------------------

// Drops every object of the run that is still alive, after the run ends.
void ResetIoState();
void ResetPool();
void ResetObjects();
void ResetThreads();

// ---- kernel handles -----------------------------------------------------------

enum class HandleKind { kThread, kKey, kFile };
struct HandleEntry {
  HandleKind kind;
  void* object;
  DriverRecord* owner;  // the driver whose code opened it
};
HANDLE InsertHandle(HandleKind kind, void* object, DriverRecord* owner);
const HandleEntry* FindHandle(HANDLE handle);
// What ZwClose does for each kind of object: drop the handle's reference.
void SetHandleCloser(HandleKind kind, void (*close)(void* object));
void ResetHandles();

// Totals over the whole machine, for the teardown check.
LONG LiveMdls();
void ResetMdls();
LONG LivePoolBlocks();
LONG RunningSystemThreads();
LONG LiveKernelHandles();
std::vector<std::wstring> SymbolicLinks();

// Tags and sizes of a driver's live pool blocks, for leak reports.
std::string LeakedBlocks(const DriverRecord* driver);
LONG LiveHandles(DriverRecord* driver);
void ResetSpinLocks();
bool HoldsCancelLock();

// Frees pool without the verifier's questions; for the kernel's own blocks.
void* KernelAlloc(SIZE_T size);
void KernelFree(void* block);

}  // namespace winsim::kernel
