// The Windows headers the SCSI pass-through backend needs, included once in the
// same way everywhere (no min/max macros, no rarely used parts of windows.h).
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// The order matters: each header needs the ones before it.
// clang-format off
#include <winioctl.h>
#include <ntddscsi.h>
// clang-format on
