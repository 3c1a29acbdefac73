// Loaded into the whole program by an end-to-end test (LD_PRELOAD): with
// MA_TEST_HOLD=capture or playback, the stream thread that reads or writes
// sound on the server is held inside the sound library for good, from its
// 50th call on, as a thread waiting on a lock that is never given back.
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <pulse/stream.h>
#include <unistd.h>

namespace {

void HoldIf(const char* side, int* calls) {
    const char* hold = getenv("MA_TEST_HOLD");
    if (hold == nullptr || strcmp(hold, side) != 0 || ++*calls < 50)
        return;
    for (;;)
        pause();
}

} // namespace

extern "C" {

int pa_stream_peek(pa_stream* s, const void** data, size_t* nbytes) {
    static int calls;
    HoldIf("capture", &calls);
    static int (*real)(pa_stream*, const void**, size_t*);
    if (real == nullptr)
        real = reinterpret_cast<int (*)(pa_stream*, const void**, size_t*)>(
            dlsym(RTLD_NEXT, "pa_stream_peek"));
    return real(s, data, nbytes);
}

int pa_stream_write(pa_stream* s, const void* data, size_t nbytes, pa_free_cb_t free_cb,
                    int64_t offset, pa_seek_mode_t seek) {
    static int calls;
    HoldIf("playback", &calls);
    static int (*real)(pa_stream*, const void*, size_t, pa_free_cb_t, int64_t, pa_seek_mode_t);
    if (real == nullptr)
        real = reinterpret_cast<int (*)(pa_stream*, const void*, size_t, pa_free_cb_t, int64_t,
                                        pa_seek_mode_t)>(dlsym(RTLD_NEXT, "pa_stream_write"));
    return real(s, data, nbytes, free_cb, offset, seek);
}

} // extern "C"
