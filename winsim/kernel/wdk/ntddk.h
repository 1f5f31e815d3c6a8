// Everything a driver of this project sees of the stand-in kernel.
#pragma once
#include "winsim/kernel/wdk/ntdef.h"
#include "winsim/kernel/wdk/ntstatus.h"
#include "winsim/kernel/wdk/wdm.h"
#if __has_include("winsim/kernel/wdk/rtl.h")
#include "winsim/kernel/wdk/rtl.h"
#endif
#if __has_include("winsim/kernel/wdk/ntddser.h")
#include "winsim/kernel/wdk/ntddser.h"
#endif
