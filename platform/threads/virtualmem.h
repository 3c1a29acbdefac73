// Page memory with the classic VirtualAlloc/VirtualFree semantics: committed,
// readable and writable, zero-filled, and in place until freed.
#pragma once

#include "windef.h"

#include <cstddef>

inline constexpr DWORD MEM_COMMIT = 0x00001000;
inline constexpr DWORD MEM_RESERVE = 0x00002000;
inline constexpr DWORD MEM_RELEASE = 0x00008000;
inline constexpr DWORD PAGE_READWRITE = 0x04;

// Only lpAddress == nullptr with MEM_COMMIT (optionally | MEM_RESERVE) and
// PAGE_READWRITE is served; anything else returns nullptr.
void* VirtualAlloc(void* lpAddress, std::size_t dwSize, DWORD flAllocationType, DWORD flProtect);
// MEM_RELEASE with dwSize 0 on an address VirtualAlloc returned frees it and
// returns nonzero; anything else returns 0 and frees nothing.
BOOL VirtualFree(void* lpAddress, std::size_t dwSize, DWORD dwFreeType);
