// The verifier's verdicts: every fault stops the run with the call, the
// driver whose code made it, the request and the thread.
#include <cstdio>

#include "winsim/kernel/internal.h"

namespace winsim::kernel {
namespace {

const char* MajorName(UCHAR major) {
  static const char* const kNames[] = {"IRP_MJ_CREATE",
                                       "IRP_MJ_CREATE_NAMED_PIPE",
                                       "IRP_MJ_CLOSE",
                                       "IRP_MJ_READ",
                                       "IRP_MJ_WRITE",
                                       "IRP_MJ_QUERY_INFORMATION",
                                       "IRP_MJ_SET_INFORMATION",
                                       "IRP_MJ_QUERY_EA",
                                       "IRP_MJ_SET_EA",
                                       "IRP_MJ_FLUSH_BUFFERS",
                                       "IRP_MJ_QUERY_VOLUME_INFORMATION",
                                       "IRP_MJ_SET_VOLUME_INFORMATION",
                                       "IRP_MJ_DIRECTORY_CONTROL",
                                       "IRP_MJ_FILE_SYSTEM_CONTROL",
                                       "IRP_MJ_DEVICE_CONTROL",
                                       "IRP_MJ_INTERNAL_DEVICE_CONTROL",
                                       "IRP_MJ_SHUTDOWN",
                                       "IRP_MJ_LOCK_CONTROL",
                                       "IRP_MJ_CLEANUP",
                                       "IRP_MJ_CREATE_MAILSLOT",
                                       "IRP_MJ_QUERY_SECURITY",
                                       "IRP_MJ_SET_SECURITY",
                                       "IRP_MJ_POWER",
                                       "IRP_MJ_SYSTEM_CONTROL",
                                       "IRP_MJ_DEVICE_CHANGE",
                                       "IRP_MJ_QUERY_QUOTA",
                                       "IRP_MJ_SET_QUOTA",
                                       "IRP_MJ_PNP"};
  return major <= IRP_MJ_MAXIMUM_FUNCTION ? kNames[major] : "IRP_MJ_?";
}

}  // namespace

std::string DriverLabel(const DriverRecord* driver) {
  return driver ? driver->label : std::string("(no driver: harness or kernel)");
}

std::string DescribeIrp(PIRP irp) {
  if (irp == nullptr) return "none";
  char buf[192];
  bool inside = irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount;
  // Not yet sent, or completed back to its sender: the top location still
  // says what the request is.
  bool withSender = irp->CurrentLocation == irp->StackCount + 1 && irp->StackCount >= 1;
  if (!inside && !withSender) {
    std::snprintf(buf, sizeof buf, "IRP %p (not inside any driver, %d stack locations)",
                  static_cast<void*>(irp), irp->StackCount);
    return buf;
  }
  PIO_STACK_LOCATION s = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) +
                         (inside ? irp->CurrentLocation : irp->StackCount) - 1;
  int n = std::snprintf(buf, sizeof buf, "IRP %p %s minor 0x%x", static_cast<void*>(irp),
                        MajorName(s->MajorFunction), s->MinorFunction);
  if (s->MajorFunction == IRP_MJ_DEVICE_CONTROL ||
      s->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
    n += std::snprintf(buf + n, sizeof buf - n, " code 0x%x",
                       s->Parameters.DeviceIoControl.IoControlCode);
  }
  if (inside) {
    std::snprintf(buf + n, sizeof buf - n, ", stack location %d of %d", irp->CurrentLocation,
                  irp->StackCount);
  } else {
    std::snprintf(buf + n, sizeof buf - n, ", not inside any driver (%d stack locations)",
                  irp->StackCount);
  }
  return buf;
}

void Violation(const char* call, PIRP irp, const std::string& message) {
  std::string thread = host::Current() ? host::Name(host::Current()) : "(outside the run)";
  DriverRecord* driver = host::Current() ? CurrentThreadObject()->driver : nullptr;
  host::Fail("winsim verifier: " + std::string(call) + ": " + message +
             "\n  driver: " + DriverLabel(driver) + "\n  request: " + DescribeIrp(irp) +
             "\n  thread: " + thread + "\n  seed: " + std::to_string(host::Seed()));
}

}  // namespace winsim::kernel

VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
  char buf[160];
  std::snprintf(buf, sizeof buf, "bug check 0x%08x (0x%llx, 0x%llx, 0x%llx, 0x%llx)", BugCheckCode,
                static_cast<unsigned long long>(P1), static_cast<unsigned long long>(P2),
                static_cast<unsigned long long>(P3), static_cast<unsigned long long>(P4));
  winsim::kernel::Violation("KeBugCheckEx", nullptr, buf);
}

VOID KeBugCheck(ULONG BugCheckCode) { KeBugCheckEx(BugCheckCode, 0, 0, 0, 0); }
