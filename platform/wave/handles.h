// How both device sides turn a slot of their fixed device table into a
// handle and back. A handle is (generation << 8 | slot + 1): never null,
// never dereferenced, and stale once its slot is opened again, so a closed
// or garbage handle is answered with MMSYSERR_INVALHANDLE instead of
// reaching another device.
#pragma once

#include <cstddef>
#include <cstdint>

namespace wave {

inline constexpr std::size_t kDeviceSlots = 64;
// Generations wrap within 24 bits.
inline constexpr std::uint64_t kGenerationMask = 0xFFFFFF;

inline std::uint64_t NextGeneration(std::uint64_t gen) {
    return (gen + 1) & kGenerationMask;
}

template <class Handle> Handle MakeHandle(std::size_t slot, std::uint64_t gen) {
    return reinterpret_cast<Handle>(static_cast<std::uintptr_t>(gen << 8 | (slot + 1)));
}

// False for a handle no open could have made.
template <class Handle> bool DecodeHandle(Handle h, std::size_t* slot, std::uint64_t* gen) {
    const auto token = reinterpret_cast<std::uintptr_t>(h);
    const std::size_t index = token & 0xFF;
    if (index == 0 || index > kDeviceSlots || (token >> 8) > kGenerationMask)
        return false;
    *slot = index - 1;
    *gen = token >> 8;
    return true;
}

} // namespace wave
