#include "waylandpicture.h"

#include "picturerows.h"

#include <QImage>

#include <wayland-client.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

template <typename T, void (*Destroy)(T*)> struct Deleter {
    void operator()(T* object) const { Destroy(object); }
};
template <typename T, void (*Destroy)(T*)> using Owned = std::unique_ptr<T, Deleter<T, Destroy>>;

// The globals are plain proxies at the versions bound here: destroying one
// only forgets it on this side.
template <typename T> void Forget(T* proxy) {
    wl_proxy_destroy(reinterpret_cast<wl_proxy*>(proxy));
}

using Queue = Owned<wl_event_queue, wl_event_queue_destroy>;
using Registry = Owned<wl_registry, Forget<wl_registry>>;
using Compositor = Owned<wl_compositor, Forget<wl_compositor>>;
using Subcompositor = Owned<wl_subcompositor, wl_subcompositor_destroy>;
using Shm = Owned<wl_shm, Forget<wl_shm>>;
using Surface = Owned<wl_surface, wl_surface_destroy>;
using Subsurface = Owned<wl_subsurface, wl_subsurface_destroy>;
using Region = Owned<wl_region, wl_region_destroy>;
using Pool = Owned<wl_shm_pool, wl_shm_pool_destroy>;
using Buffer = Owned<wl_buffer, wl_buffer_destroy>;
using Callback = Owned<wl_callback, wl_callback_destroy>;

struct Unmap {
    std::size_t bytes = 0;
    void operator()(void* address) const { munmap(address, bytes); }
};
using Mapping = std::unique_ptr<void, Unmap>;

} // namespace

struct TWaylandPicture::State {
    wl_display* display = nullptr;
    wl_surface* parent = nullptr;
    int scale = 1;
    int bufferScale = 1;
    // Declared first so that it goes last, after every object on it.
    Queue queue;
    Registry registry;
    Compositor compositor;
    Subcompositor subcompositor;
    Shm shm;
    Surface surface;
    Subsurface subsurface;

    struct Frame {
        Buffer buffer;
        // Attached and not yet released by the compositor.
        bool busy = false;
        TPictureRows rows;
    };
    // The compositor holds the one it shows and, until it has taken the
    // next, the one before: a third is then still free to write.
    std::array<Frame, 3> frames;
    Mapping mapping;
    std::size_t next = 0;
    // The frame whose picture the surface shows; none when that is not
    // known.
    Frame* shown = nullptr;
    int width = 0;
    int height = 0;

    // Whether anybody looks. Wayland does not tell a client that its window
    // is minimized or on another workspace, but a compositor answers a
    // frame callback only as it draws the surface. Now and then a picture
    // asks for one; one that goes unanswered for a while means nobody
    // sees the pictures, and none are sent until the answer comes, which
    // it does as the compositor draws the surface again. Asking at every
    // picture would wake Qt's event loop once more each time.
    static constexpr std::chrono::milliseconds kAskEvery{500};
    static constexpr std::chrono::milliseconds kUnseenAfter{250};
    using Clock = std::chrono::steady_clock;
    Callback probe;
    Clock::time_point asked{};
    bool seen = true;

    static void Drawn(void* data, wl_callback*, std::uint32_t) {
        auto& s = *static_cast<State*>(data);
        s.probe.reset();
        if (!s.seen) {
            s.seen = true;
            // Nothing went out meanwhile: the next picture goes out whole.
            s.shown = nullptr;
        }
    }
    static constexpr wl_callback_listener kDrawn{Drawn};

    static void Global(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                       std::uint32_t version) {
        static_cast<State*>(data)->Bound(registry, name, interface, version);
    }
    static void GlobalRemoved(void*, wl_registry*, std::uint32_t) {}
    static constexpr wl_registry_listener kRegistry{Global, GlobalRemoved};

    static void Released(void* data, wl_buffer*) { static_cast<Frame*>(data)->busy = false; }
    static constexpr wl_buffer_listener kBuffer{Released};

    void Bound(wl_registry* from, std::uint32_t name, const char* interface,
               std::uint32_t version) {
        auto bind = [&](const wl_interface& kind, std::uint32_t wanted) {
            return wl_registry_bind(from, name, &kind, std::min(version, wanted));
        };
        // Damage in buffer pixels and the buffer scale need version 4.
        if (std::strcmp(interface, wl_compositor_interface.name) == 0 && version >= 4) {
            compositor.reset(static_cast<wl_compositor*>(bind(wl_compositor_interface, 4)));
        } else if (std::strcmp(interface, wl_subcompositor_interface.name) == 0) {
            subcompositor.reset(
                static_cast<wl_subcompositor*>(bind(wl_subcompositor_interface, 1)));
        } else if (std::strcmp(interface, wl_shm_interface.name) == 0) {
            shm.reset(static_cast<wl_shm*>(bind(wl_shm_interface, 1)));
        }
    }

    bool Broken() const { return wl_display_get_error(display) != 0; }

    void DropFrames() {
        for (Frame& frame : frames) {
            frame = Frame{};
        }
        mapping.reset();
        shown = nullptr;
        width = height = 0;
    }

    // Three buffers for pictures of this size, in one pool of memory shared
    // with the compositor.
    bool MakeFrames(int w, int h) {
        DropFrames();
        const int wide = w * scale;
        const int high = h * scale;
        const std::size_t one = std::size_t(wide) * std::size_t(high) * 4;
        const std::size_t all = one * frames.size();
        const int fd = memfd_create("monitor-audio-picture", MFD_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        void* address = MAP_FAILED;
        if (ftruncate(fd, off_t(all)) == 0) {
            address = mmap(nullptr, all, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        }
        if (address == MAP_FAILED) {
            close(fd);
            return false;
        }
        mapping = Mapping(address, Unmap{all});
        // The request carries its own copy of the descriptor.
        const Pool pool(wl_shm_create_pool(shm.get(), fd, int(all)));
        close(fd);
        for (std::size_t i = 0; i < frames.size(); ++i) {
            Frame& frame = frames[i];
            frame.buffer.reset(wl_shm_pool_create_buffer(pool.get(), int(one * i), wide, high,
                                                         wide * 4, WL_SHM_FORMAT_XRGB8888));
            wl_buffer_add_listener(frame.buffer.get(), &kBuffer, &frame);
            frame.rows.Reset(static_cast<unsigned char*>(address) + one * i, w, h, scale);
        }
        width = w;
        height = h;
        return true;
    }

    Frame* FreeFrame() {
        for (std::size_t i = 0; i < frames.size(); ++i) {
            Frame& frame = frames[(next + i) % frames.size()];
            if (!frame.busy) {
                return &frame;
            }
        }
        return nullptr;
    }
};

TWaylandPicture::TWaylandPicture(std::unique_ptr<State> state) : state_(std::move(state)) {}

TWaylandPicture::~TWaylandPicture() {
    State& s = *state_;
    s.DropFrames();
    s.subsurface.reset();
    s.surface.reset();
    s.shm.reset();
    s.subcompositor.reset();
    s.compositor.reset();
    s.registry.reset();
    if (!s.Broken()) {
        wl_display_flush(s.display);
    }
}

std::unique_ptr<TWaylandPicture> TWaylandPicture::Create(wl_display* display, wl_surface* parent,
                                                         int x, int y, int scale, int bufferScale) {
    if (display == nullptr || parent == nullptr || scale < 1 || bufferScale < 1 ||
        scale % bufferScale != 0) {
        return nullptr;
    }
    auto state = std::make_unique<State>();
    State& s = *state;
    s.display = display;
    s.parent = parent;
    s.scale = scale;
    s.bufferScale = bufferScale;
    s.queue.reset(wl_display_create_queue(display));
    if (!s.queue) {
        return nullptr;
    }
    // Objects made from a proxy on this queue are on it too, their events
    // with them. The registry is asked through a wrapper of the display, so
    // that Qt's own use of the display is left as it is.
    auto* wrapped = static_cast<wl_display*>(wl_proxy_create_wrapper(display));
    if (wrapped == nullptr) {
        return nullptr;
    }
    wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(wrapped), s.queue.get());
    s.registry.reset(wl_display_get_registry(wrapped));
    wl_proxy_wrapper_destroy(wrapped);
    wl_registry_add_listener(s.registry.get(), &State::kRegistry, &s);
    // Once, at set-up, on the GUI thread: the globals are needed now.
    if (wl_display_roundtrip_queue(display, s.queue.get()) < 0 || !s.compositor ||
        !s.subcompositor || !s.shm) {
        return nullptr;
    }
    s.surface.reset(wl_compositor_create_surface(s.compositor.get()));
    // Input goes to the window underneath, as if the picture were Qt's.
    const Region none(wl_compositor_create_region(s.compositor.get()));
    wl_surface_set_input_region(s.surface.get(), none.get());
    // Every pixel of the picture is opaque: the compositor need not draw
    // the window underneath it, nor blend the picture over that.
    const Region all(wl_compositor_create_region(s.compositor.get()));
    wl_region_add(all.get(), 0, 0, INT32_MAX, INT32_MAX);
    wl_surface_set_opaque_region(s.surface.get(), all.get());
    wl_surface_set_buffer_scale(s.surface.get(), bufferScale);
    s.subsurface.reset(
        wl_subcompositor_get_subsurface(s.subcompositor.get(), s.surface.get(), parent));
    // Its own commits show at once, not with the window's next one.
    wl_subsurface_set_desync(s.subsurface.get());
    wl_subsurface_set_position(s.subsurface.get(), x, y);
    if (wl_display_flush(display) < 0 && errno != EAGAIN) {
        return nullptr;
    }
    return std::unique_ptr<TWaylandPicture>(new TWaylandPicture(std::move(state)));
}

void TWaylandPicture::Place(int x, int y) {
    wl_subsurface_set_position(state_->subsurface.get(), x, y);
}

wl_surface* TWaylandPicture::Parent() const {
    return state_->parent;
}
int TWaylandPicture::Scale() const {
    return state_->scale;
}
int TWaylandPicture::BufferScale() const {
    return state_->bufferScale;
}

bool TWaylandPicture::Show(const QImage& image, bool whole) {
    State& s = *state_;
    // The releases Qt's reading thread has put on this queue since; the
    // socket itself is never waited on here.
    if (s.Broken() || wl_display_dispatch_queue_pending(s.display, s.queue.get()) < 0) {
        return false;
    }
    if (image.width() != s.width || image.height() != s.height) {
        if (!s.MakeFrames(image.width(), image.height())) {
            s.DropFrames();
            return false;
        }
    }
    if (whole) {
        s.shown = nullptr;
    }
    const State::Clock::time_point now = State::Clock::now();
    if (s.probe && now - s.asked > State::kUnseenAfter) {
        s.seen = false;
    }
    if (!s.seen) {
        // Until the compositor draws the surface again.
        return true;
    }
    State::Frame* frame = s.FreeFrame();
    if (frame == nullptr) {
        // The compositor holds every buffer: this picture is skipped, and
        // the next one shows what it would have.
        return true;
    }
    wl_surface* surface = s.surface.get();
    // Asked for with this picture's commit, or with a commit of its own
    // when the picture is the one shown.
    const bool ask = !s.probe && now - s.asked >= State::kAskEvery;
    if (ask) {
        s.probe.reset(wl_surface_frame(surface));
        wl_callback_add_listener(s.probe.get(), &State::kDrawn, &s);
        s.asked = now;
    }
    const int k = s.scale;
    // Runs of changed rows a few rows apart are damaged as one.
    constexpr int kJoin = 8;
    int first = -1;
    int last = -1;
    bool any = false;
    auto damage = [&] {
        wl_surface_damage_buffer(surface, 0, first * k, s.width * k, (last - first + 1) * k);
    };
    frame->rows.Take(image, s.shown != nullptr ? &s.shown->rows : nullptr, [&](int y) {
        if (first >= 0 && y - last > kJoin) {
            damage();
            first = -1;
        }
        if (first < 0) {
            first = y;
        }
        last = y;
        any = true;
    });
    if (any) {
        damage();
        wl_surface_attach(surface, frame->buffer.get(), 0, 0);
        frame->busy = true;
        s.shown = frame;
        s.next = std::size_t(frame - s.frames.data() + 1) % s.frames.size();
    } else if (!ask) {
        // The surface already shows this picture.
        return true;
    }
    wl_surface_commit(surface);
    // A compositor that stopped reading leaves the requests queued here;
    // with every buffer soon busy, few more come until it reads again.
    if (wl_display_flush(s.display) < 0 && errno != EAGAIN) {
        return false;
    }
    return !s.Broken();
}
