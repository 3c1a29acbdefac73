// The playback side of the wave-audio layer. Backend-neutral.
//
// waveOutWrite copies the buffer into the stream's own queue and hands the
// header back at once, so the layer never holds a header: the program re-uses
// a played header for capture one block later without waiting for playback,
// and frees the ring right after closing. Playback is not on the capture
// callback path, so a table lock and a per-device lock are fine here; they
// make close safe against a write racing it on another thread.
#include "handles.h"
#include "mmsystem.h"
#include "waveback.h"
#include "wavehdr.h"

#include <array>
#include <memory>
#include <mutex>
#include <vector>

namespace {

using namespace wave;

struct OutDevice {
    std::mutex lock;
    std::unique_ptr<PlaybackStream> stream; // null once closed
    std::vector<char> staging;              // a block read out of the caller's buffer
};

struct OutSlot {
    std::uint64_t gen = 0;
    bool reserved = false; // an open is in progress
    std::shared_ptr<OutDevice> device;
};

std::mutex tableLock;
std::array<OutSlot, kDeviceSlots> table;

// The device behind a handle, kept alive by the caller while it works on it.
std::shared_ptr<OutDevice> Find(HWAVEOUT h) {
    std::size_t slot = 0;
    std::uint64_t gen = 0;
    if (!DecodeHandle(h, &slot, &gen))
        return nullptr;
    std::lock_guard guard(tableLock);
    if (table[slot].gen != gen)
        return nullptr;
    return table[slot].device;
}

} // namespace

MMRESULT waveOutOpen(HWAVEOUT* phwo, UINT uDeviceID, const WAVEFORMATEX* pwfx,
                     DWORD_PTR /*dwCallback*/, DWORD_PTR /*dwInstance*/, DWORD fdwOpen) {
    // A window is accepted as the notification target; nothing is sent to
    // it, since the program ignores playback notifications.
    StreamFormat format{};
    if (MMRESULT r = CheckOpen(pwfx, uDeviceID, fdwOpen, CALLBACK_WINDOW, &format))
        return r;
    if (fdwOpen & WAVE_FORMAT_QUERY)
        return MMSYSERR_NOERROR;
    if (phwo == nullptr)
        return MMSYSERR_INVALPARAM;
    *phwo = nullptr;

    std::size_t slot = kDeviceSlots;
    {
        std::lock_guard guard(tableLock);
        for (std::size_t i = 0; i < kDeviceSlots; ++i) {
            if (!table[i].device && !table[i].reserved) {
                table[i].reserved = true;
                slot = i;
                break;
            }
        }
    }
    if (slot == kDeviceSlots)
        return MMSYSERR_NOMEM;

    // Connecting can take a while; no lock is held meanwhile.
    MMRESULT r = MMSYSERR_ERROR;
    auto device = std::make_shared<OutDevice>();
    device->stream = OpenPlaybackStream(format, &r);

    std::lock_guard guard(tableLock);
    OutSlot& s = table[slot];
    s.reserved = false;
    if (!device->stream)
        return r != MMSYSERR_NOERROR ? r : MMSYSERR_ERROR;
    s.gen = NextGeneration(s.gen);
    s.device = std::move(device);
    *phwo = MakeHandle<HWAVEOUT>(slot, s.gen);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, WAVEHDR* pwh, UINT cbwh) {
    if (!Find(hwo))
        return MMSYSERR_INVALHANDLE;
    if (MMRESULT r = CheckHeaderArg(pwh, cbwh))
        return r;
    const MMRESULT r = PrepareHeader(pwh);
    PublishPlayback();
    return r;
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT hwo, WAVEHDR* pwh, UINT cbwh) {
    if (!Find(hwo))
        return MMSYSERR_INVALHANDLE;
    if (MMRESULT r = CheckHeaderArg(pwh, cbwh))
        return r;
    // A header queued for capture in the meantime answers WAVERR_STILLPLAYING here too.
    const MMRESULT r = UnprepareHeader(pwh);
    PublishPlayback();
    return r;
}

MMRESULT waveOutWrite(HWAVEOUT hwo, WAVEHDR* pwh, UINT cbwh) {
    std::shared_ptr<OutDevice> device = Find(hwo);
    if (!device)
        return MMSYSERR_INVALHANDLE;
    if (MMRESULT r = CheckHeaderArg(pwh, cbwh))
        return r;
    DWORD f = Flags(pwh).load(std::memory_order_acquire);
    if (!(f & WHDR_PREPARED))
        return WAVERR_UNPREPARED;
    // Still queued for capture: its memory is the capture device's now.
    if (IsHeld(pwh))
        return WAVERR_STILLPLAYING;
    if (pwh->lpData == nullptr)
        return MMSYSERR_INVALPARAM;
    // The program re-arms the length when it queues the header for capture
    // again, possibly while a late playback worker is still here.
    const DWORD length =
        std::atomic_ref<DWORD>(pwh->dwBufferLength).load(std::memory_order_relaxed);
    bool taken = false;
    {
        std::lock_guard guard(device->lock);
        if (!device->stream)
            return MMSYSERR_INVALHANDLE;
        device->staging.resize(length);
        LoadSamples(device->staging.data(), pwh->lpData, length);
        taken = device->stream->Write(device->staging.data(), length);
    }
    // Handed back at once. Should the capture side have queued it while it
    // was being copied, its flags are left to the capture side.
    f = Flags(pwh).load(std::memory_order_relaxed);
    do {
        if (IsHeld(pwh))
            break;
    } while (!Flags(pwh).compare_exchange_weak(f, f | WHDR_DONE, std::memory_order_acq_rel,
                                               std::memory_order_relaxed));
    PublishPlayback();
    return taken ? MMSYSERR_NOERROR : MMSYSERR_NOMEM;
}

MMRESULT waveOutReset(HWAVEOUT hwo) {
    std::shared_ptr<OutDevice> device = Find(hwo);
    if (!device)
        return MMSYSERR_INVALHANDLE;
    std::lock_guard guard(device->lock);
    if (!device->stream)
        return MMSYSERR_INVALHANDLE;
    device->stream->Flush();
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutClose(HWAVEOUT hwo) {
    std::size_t slot = 0;
    std::uint64_t gen = 0;
    if (!DecodeHandle(hwo, &slot, &gen))
        return MMSYSERR_INVALHANDLE;
    std::shared_ptr<OutDevice> device;
    {
        std::lock_guard guard(tableLock);
        if (table[slot].gen != gen || !table[slot].device)
            return MMSYSERR_INVALHANDLE;
        device = std::move(table[slot].device);
    }
    // A write that found the device before it left the table either
    // finishes first or finds the stream gone.
    std::unique_ptr<PlaybackStream> stream;
    {
        std::lock_guard guard(device->lock);
        stream = std::move(device->stream);
    }
    // A thread that does not end in time is left with the stream it uses.
    if (!stream->Stop())
        LeaveBehind(std::move(stream));
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutGetDroppedBytes(HWAVEOUT hwo, std::uint64_t* bytes) {
    std::shared_ptr<OutDevice> device = Find(hwo);
    if (!device)
        return MMSYSERR_INVALHANDLE;
    if (bytes == nullptr)
        return MMSYSERR_INVALPARAM;
    std::lock_guard guard(device->lock);
    if (!device->stream)
        return MMSYSERR_INVALHANDLE;
    *bytes = device->stream->Dropped();
    return MMSYSERR_NOERROR;
}
