// Everything the emulated NT machine offers a program: the native API, the
// 16-bit string routines and the Win32 SDK declarations.
#pragma once

#include "ntdef.h"
#include "ntstatus.h"
#include "ntioapi.h"
#include "ntapi.h"
#include "ntcrt.h"
#include "win32defs.h"
