#include "xcbpicture.h"

#include "picturerows.h"

#include <QImage>

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct Disconnect {
    void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};
using Connection = std::unique_ptr<xcb_connection_t, Disconnect>;

// Replies and events are malloc'ed by xcb.
struct Free {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, Free>;

struct Detach {
    void operator()(void* address) const { shmdt(address); }
};
using Mapping = std::unique_ptr<void, Detach>;

// The layout QImage::Format_RGB32 has in memory: 32 bits a pixel, least
// significant byte first, blue in the low byte.
bool MatchesRGB32(xcb_connection_t* connection, std::uint8_t depth, xcb_visualid_t visual) {
    const xcb_setup_t* setup = xcb_get_setup(connection);
    if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST || (depth != 24 && depth != 32)) {
        return false;
    }
    bool bits32 = false;
    for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem != 0; xcb_format_next(&f)) {
        if (f.data->depth == depth) {
            bits32 = f.data->bits_per_pixel == 32;
        }
    }
    if (!bits32) {
        return false;
    }
    for (auto s = xcb_setup_roots_iterator(setup); s.rem != 0; xcb_screen_next(&s)) {
        for (auto d = xcb_screen_allowed_depths_iterator(s.data); d.rem != 0; xcb_depth_next(&d)) {
            for (auto v = xcb_depth_visuals_iterator(d.data); v.rem != 0; xcb_visualtype_next(&v)) {
                if (v.data->visual_id == visual) {
                    return d.data->depth == depth &&
                           (v.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR ||
                            v.data->_class == XCB_VISUAL_CLASS_DIRECT_COLOR) &&
                           v.data->red_mask == 0xFF0000 && v.data->green_mask == 0xFF00 &&
                           v.data->blue_mask == 0xFF;
                }
            }
        }
    }
    return false;
}

} // namespace

struct TXcbPicture::State {
    // The longest a picture waits for the server to let go of a segment.
    static constexpr std::chrono::milliseconds kLongestWait{100};

    Connection connection;
    xcb_window_t window = 0;
    xcb_gcontext_t gc = 0;
    std::uint8_t depth = 0;
    // Bytes one request may carry.
    std::size_t maxRequest = 0;
    // The first event number of the shared-memory extension; 0 without it.
    std::uint8_t shmEvents = 0;
    bool shm = false;

    struct Segment {
        xcb_shm_seg_t id = 0;
        Mapping mapping;
        // Sent to the server and not yet reported done.
        bool busy = false;
        // The last request that sent from it, to match an error against.
        unsigned int sequence = 0;
        TPictureRows rows;
    };
    std::array<Segment, 2> segments;
    std::size_t next = 0;
    // The segment whose picture the window shows; none when that is not
    // known (at first, after an error, when the window was uncovered).
    Segment* shown = nullptr;
    int width = 0;
    int height = 0;
    // Window pixels a picture pixel, across and down.
    int scale = 1;
    // Whether the window can be seen: viewable and not wholly covered, as
    // the server last said. A window that becomes viewable is told how
    // covered it is, and exposed; one that stops being so learns it only
    // through the unmap of itself or of its top-level window (an iconified
    // window's is unmapped too, ICCCM 4.1.4; a hidden one's as well). A map
    // counts as seen: where a compositing manager draws the windows the
    // server may say no more.
    bool seen = true;

    xcb_connection_t* c() const { return connection.get(); }

    void Handle(const xcb_generic_event_t& event) {
        const std::uint8_t type = event.response_type & 0x7F;
        if (type == XCB_UNMAP_NOTIFY) {
            seen = false;
        } else if (type == XCB_MAP_NOTIFY) {
            seen = true;
        } else if (type == XCB_VISIBILITY_NOTIFY) {
            seen = reinterpret_cast<const xcb_visibility_notify_event_t&>(event).state !=
                   XCB_VISIBILITY_FULLY_OBSCURED;
        } else if (type == XCB_EXPOSE) {
            seen = true;
            // The server kept nothing of what was covered or unmapped. Qt
            // paints the whole picture again too, but only as its event
            // loop turns; a window manager that grows the window back as it
            // restores it uncovers it a strip at a time.
            shown = nullptr;
        } else if (event.response_type == 0) {
            // A put the server refused (the window gone, say) is never
            // reported done, but its segment is free all the same. Other
            // errors are of no use here: the next picture replaces a lost one.
            const auto& error = reinterpret_cast<const xcb_generic_error_t&>(event);
            for (Segment& segment : segments) {
                if (segment.busy && segment.sequence == error.full_sequence) {
                    segment.busy = false;
                }
            }
            shown = nullptr;
        } else if (shmEvents != 0 && type == shmEvents + XCB_SHM_COMPLETION) {
            const auto& done = reinterpret_cast<const xcb_shm_completion_event_t&>(event);
            for (Segment& segment : segments) {
                if (segment.id == done.shmseg) {
                    segment.busy = false;
                }
            }
        }
    }

    void Poll() {
        while (Reply<xcb_generic_event_t> event{xcb_poll_for_event(c())}) {
            Handle(*event);
        }
    }

    // What xcb has read already. Each flush reads whatever the server sent,
    // so a segment sent two pictures ago is normally known to be free
    // without asking the socket again.
    void PollQueued() {
        while (Reply<xcb_generic_event_t> event{xcb_poll_for_queued_event(c())}) {
            Handle(*event);
        }
    }

    // A free segment, the next one first. When both are still with the
    // server it waits for one, but only briefly: the caller holds the
    // canvas, and a server that stopped answering must not hold it up.
    // Null when none came free in time, or the connection broke.
    Segment* FreeSegment() {
        PollQueued();
        const auto deadline = std::chrono::steady_clock::now() + kLongestWait;
        for (bool asked = false;; asked = true) {
            if (!segments[next].busy) {
                return &segments[next];
            }
            if (!segments[next ^ 1].busy) {
                return &segments[next ^ 1];
            }
            if (asked) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                pollfd fd{xcb_get_file_descriptor(c()), POLLIN, 0};
                if (left.count() <= 0 || poll(&fd, 1, int(left.count())) <= 0) {
                    return nullptr;
                }
            }
            Poll();
            if (xcb_connection_has_error(c())) {
                return nullptr;
            }
        }
    }

    void DropSegments() {
        for (Segment& segment : segments) {
            if (segment.mapping) {
                xcb_shm_detach(c(), segment.id);
            }
            segment = Segment{};
        }
        shown = nullptr;
        width = height = 0;
    }

    // Two segments for pictures of this size. The server's answer to the
    // attachment is awaited: a remote server cannot map them, and then
    // plain requests carry the pictures from then on.
    bool MakeSegments(int w, int h) {
        DropSegments();
        const std::size_t size = std::size_t(w) * std::size_t(h) * 4 * scale * scale;
        for (Segment& segment : segments) {
            const int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
            if (id < 0) {
                return false;
            }
            void* address = shmat(id, nullptr, 0);
            if (address == reinterpret_cast<void*>(-1)) {
                shmctl(id, IPC_RMID, nullptr);
                return false;
            }
            segment.mapping.reset(address);
            segment.rows.Reset(address, w, h, scale);
            segment.id = xcb_generate_id(c());
            Reply<xcb_generic_error_t> error{
                xcb_request_check(c(), xcb_shm_attach_checked(c(), segment.id, id, 1))};
            // Gone once both sides let go of it, however the program ends.
            shmctl(id, IPC_RMID, nullptr);
            if (error) {
                segment = Segment{};
                return false;
            }
        }
        width = w;
        height = h;
        return true;
    }

    // Only the rows that differ from what the window shows are copied and
    // sent: a quiet input moves few rows of the traces, and every row not
    // sent is work neither side does.
    bool ShowShared(const QImage& image, bool whole) {
        if (image.width() != width || image.height() != height) {
            if (!MakeSegments(image.width(), image.height())) {
                DropSegments();
                shm = false;
                return false;
            }
        }
        if (whole) {
            shown = nullptr;
        }
        Segment* segment = FreeSegment();
        if (segment == nullptr) {
            // This picture is skipped; the next one shows what it would have.
            return true;
        }
        Segment& other = segments[std::size_t(segment - segments.data()) ^ 1];
        // Runs of changed rows a few rows apart go out as one request.
        constexpr int kJoin = 8;
        int first = -1;
        int last = -1;
        unsigned int sequence = 0;
        auto send = [&](bool final) {
            // Every row up to `last` is in the segment by now.
            sequence =
                xcb_shm_put_image(c(), window, gc, width * scale, height * scale, 0, first * scale,
                                  width * scale, (last - first + 1) * scale, 0, first * scale,
                                  depth, XCB_IMAGE_FORMAT_Z_PIXMAP, final ? 1 : 0, segment->id, 0)
                    .sequence;
        };
        segment->rows.Take(image, shown != nullptr ? &shown->rows : nullptr, [&](int y) {
            if (first >= 0 && y - last > kJoin) {
                send(false);
                first = -1;
            }
            if (first < 0) {
                first = y;
            }
            last = y;
        });
        if (first < 0) {
            // The window already shows this picture.
            return true;
        }
        send(true);
        // Done when the last request is: the server handles them in order.
        segment->sequence = sequence;
        segment->busy = true;
        shown = segment;
        next = std::size_t(&other - segments.data());
        return true;
    }

    // As many whole rows a request as it may carry.
    void ShowPlain(const QImage& picture) {
        const QImage image = scale == 1
                                 ? picture
                                 : picture.scaled(picture.size() * scale, Qt::IgnoreAspectRatio,
                                                  Qt::FastTransformation);
        const std::size_t row = std::size_t(image.width()) * 4;
        const int rows = std::max<int>(1, int((maxRequest - 64) / row));
        for (int y = 0; y < image.height(); y += rows) {
            const int n = std::min(rows, image.height() - y);
            // Rows of a Format_RGB32 image are contiguous, 32-bit aligned.
            xcb_put_image(c(), XCB_IMAGE_FORMAT_Z_PIXMAP, window, gc, image.width(), n, 0, y, 0,
                          depth, std::uint32_t(row * n), image.constScanLine(y));
        }
    }
};

TXcbPicture::TXcbPicture(std::unique_ptr<State> state) : state_(std::move(state)) {}

TXcbPicture::~TXcbPicture() {
    if (state_->connection && !xcb_connection_has_error(state_->c())) {
        state_->DropSegments();
        xcb_free_gc(state_->c(), state_->gc);
        xcb_flush(state_->c());
    }
}

std::unique_ptr<TXcbPicture> TXcbPicture::Create(std::uint32_t window, int scale,
                                                 std::uint32_t toplevel) {
    auto state = std::make_unique<State>();
    state->scale = std::max(scale, 1);
    state->connection.reset(xcb_connect(nullptr, nullptr));
    xcb_connection_t* c = state->c();
    if (xcb_connection_has_error(c)) {
        return nullptr;
    }
    // Asked for before the window's state below, so that no change after
    // that goes unreported. These are this connection's own choices; Qt's
    // stay as they are.
    const std::uint32_t watch = XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_STRUCTURE_NOTIFY |
                                XCB_EVENT_MASK_VISIBILITY_CHANGE;
    xcb_change_window_attributes(c, window, XCB_CW_EVENT_MASK, &watch);
    if (toplevel != 0 && toplevel != window) {
        const std::uint32_t unmaps = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        xcb_change_window_attributes(c, toplevel, XCB_CW_EVENT_MASK, &unmaps);
    }
    Reply<xcb_get_geometry_reply_t> geometry{
        xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr)};
    Reply<xcb_get_window_attributes_reply_t> attributes{
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr)};
    if (!geometry || !attributes || !MatchesRGB32(c, geometry->depth, attributes->visual)) {
        return nullptr;
    }
    state->window = window;
    state->seen = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
    state->depth = geometry->depth;
    state->maxRequest = std::size_t(xcb_get_maximum_request_length(c)) * 4;
    state->gc = xcb_generate_id(c);
    const std::uint32_t noExposures = 0;
    xcb_create_gc(c, state->gc, window, XCB_GC_GRAPHICS_EXPOSURES, &noExposures);
    const xcb_query_extension_reply_t* shm = xcb_get_extension_data(c, &xcb_shm_id);
    if (shm != nullptr && shm->present) {
        Reply<xcb_shm_query_version_reply_t> version{
            xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr)};
        if (version) {
            state->shm = true;
            state->shmEvents = shm->first_event;
        }
    }
    return std::unique_ptr<TXcbPicture>(new TXcbPicture(std::move(state)));
}

std::uint32_t TXcbPicture::Window() const {
    return state_->window;
}

bool TXcbPicture::Show(const QImage& image, bool whole) {
    State& s = *state_;
    if (xcb_connection_has_error(s.c())) {
        return false;
    }
    if (s.seen) {
        s.PollQueued();
    } else {
        // Nothing goes out, and so nothing reads the socket on the way:
        // the news that the window shows again is asked for here, without
        // waiting.
        s.Poll();
    }
    if (!s.seen) {
        return !xcb_connection_has_error(s.c());
    }
    if (!s.shm || !s.ShowShared(image, whole)) {
        s.Poll();
        s.ShowPlain(image);
    }
    xcb_flush(s.c());
    return !xcb_connection_has_error(s.c());
}
