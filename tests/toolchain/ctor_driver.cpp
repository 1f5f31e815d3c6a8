// A driver with a global constructor: the image check must reject it.
#ifdef _WIN32
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>

namespace {

struct Announcer {
  Announcer() { DbgPrint("ctor_driver: constructed\n"); }
};

Announcer announcer;

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }
#endif
