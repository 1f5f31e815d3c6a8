// The local heap, as far as programs need it: buffers that system functions
// allocate for the caller (FormatMessageW) and that LocalFree returns.
#pragma once
#include "winsim/user/types.h"

typedef HANDLE HLOCAL;

#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

// Fixed blocks only. Without LMEM_ZEROINIT the block is filled with 0xCD, so
// code relying on zeroed memory shows up.
HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes);
// NULL on success; a block that is not live stops the run.
HLOCAL LocalFree(HLOCAL hMem);
