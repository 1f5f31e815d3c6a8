// Everything a driver of this project sees of the stand-in kernel.
#pragma once
#include "winsim/kernel/wdk/ntdef.h"
#include "winsim/kernel/wdk/ntstatus.h"
#include "winsim/kernel/wdk/wdm.h"
#include "winsim/kernel/wdk/rtl.h"
#include "winsim/kernel/wdk/ntddser.h"
#include "winsim/kernel/wdk/usbdlib.h"
#include "winsim/kernel/wdk/usbioctl.h"
