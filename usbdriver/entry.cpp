// The image's entry point; the rest of the driver lives in its namespace.
#include "usbdriver/korvusb.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  return korvusb::DriverEntry(driver, registryPath);
}
