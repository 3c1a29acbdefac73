// Page memory on mmap. The size of each block is kept in a side table rather
// than in a header page in front of it: VirtualFree() can then tell a block it
// handed out from any other address without reading memory that may not be
// mapped.
#include "virtualmem.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>

#include <sys/mman.h>
#include <unistd.h>

namespace {

struct Blocks {
    std::mutex mutex;
    std::unordered_map<void*, std::size_t> sizes;
};

// Never destroyed, so that a block freed from another static destructor at
// exit still finds its entry.
Blocks& AllBlocks() {
    static Blocks* blocks = new Blocks;
    return *blocks;
}

} // namespace

void* VirtualAlloc(void* lpAddress, std::size_t dwSize, DWORD flAllocationType, DWORD flProtect) {
    const bool commit =
        flAllocationType == MEM_COMMIT || flAllocationType == (MEM_COMMIT | MEM_RESERVE);
    if (lpAddress != nullptr || dwSize == 0 || !commit || flProtect != PAGE_READWRITE) {
        return nullptr;
    }
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    if (dwSize > SIZE_MAX - (page - 1)) {
        return nullptr;
    }
    const std::size_t length = (dwSize + page - 1) / page * page;
    // Anonymous mappings come zero-filled.
    void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        return nullptr;
    }
    Blocks& blocks = AllBlocks();
    try {
        std::lock_guard lock(blocks.mutex);
        blocks.sizes.emplace(p, length);
    } catch (...) {
        munmap(p, length);
        return nullptr;
    }
    return p;
}

BOOL VirtualFree(void* lpAddress, std::size_t dwSize, DWORD dwFreeType) {
    if (lpAddress == nullptr || dwSize != 0 || dwFreeType != MEM_RELEASE) {
        return 0;
    }
    Blocks& blocks = AllBlocks();
    std::size_t length = 0;
    {
        std::lock_guard lock(blocks.mutex);
        auto it = blocks.sizes.find(lpAddress);
        if (it == blocks.sizes.end()) {
            return 0;
        }
        length = it->second;
        blocks.sizes.erase(it);
    }
    return munmap(lpAddress, length) == 0 ? 1 : 0;
}
