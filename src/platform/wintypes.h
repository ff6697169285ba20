// The handful of Windows type names the components are written against.
// Handles are opaque integers so that a stale handle can be recognised
// instead of dereferenced.
#pragma once
#include <cstdint>

namespace evc {

using BOOL = int;
using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using UINT = uint32_t;
using LONG = int32_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using LONG_PTR = intptr_t;
using ATOM = uint16_t;

using HWND = uintptr_t;       // 0 is no window
using HINSTANCE = uintptr_t;  // module instance; 0 is the calling program
using HMODULE = uintptr_t;    // 0 is no module
using HMENU = uintptr_t;
using FARPROC = void*;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

// Windows system error codes used by the stand-ins.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
constexpr DWORD ERROR_CLASS_ALREADY_EXISTS = 1410;
constexpr DWORD ERROR_CLASS_DOES_NOT_EXIST = 1411;
constexpr DWORD ERROR_CLASS_HAS_WINDOWS = 1412;
constexpr DWORD ERROR_INVALID_INDEX = 1413;
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr DWORD ERROR_ACCESS_DENIED = 5;

}  // namespace evc
