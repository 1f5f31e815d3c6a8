// The smallest driver that proves the cross toolchain: it links against ntoskrnl, loads as a
// native image and can be unloaded.
#ifdef _WIN32
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>

namespace {

void ToolchainDriverUnload(PDRIVER_OBJECT) { DbgPrint("toolchain_driver: unloaded\n"); }

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
  DbgPrint("toolchain_driver: loaded from %wZ\n", registry_path);
  driver->DriverUnload = ToolchainDriverUnload;
  return STATUS_SUCCESS;
}
#endif
