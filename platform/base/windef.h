// The scalar types of the classic platform API, at their original widths,
// shared by the wave devices, the worker threads and the window toolkit.
#pragma once

#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = std::uint32_t;
using BOOL = int;
using DWORD_PTR = std::uintptr_t;
using UINT_PTR = std::uintptr_t;
using LPSTR = char*;
using HWND = void*;
