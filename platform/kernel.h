// The drivers' one view of the kernel. The windows build sees the toolchain's
// real DDK; the host build sees the stand-in in winsim/. No other driver file
// may know which build it is in.
#pragma once

#if defined(_WIN32)
// mingw-w64's wdm.h declares these intrinsics in a way C++ rejects unless
// told they already exist.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
#include <ntddser.h>
#include <usb.h>
#include <usbioctl.h>
// The toolchain's usbdlib.h lacks C linkage of its own.
extern "C" {
#include <usbdlib.h>
}
#else
#include "winsim/kernel/wdk/ntddk.h"
#endif
