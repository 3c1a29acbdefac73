// Private to the toolkit: what one display buffer holds of a picture, and
// the copying of only the rows that changed into it. On a high-density
// screen each picture pixel goes out as a scale x scale block, nearest
// neighbour, as Qt's own painting shows it.
#pragma once

#include <QImage>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

class TPictureRows {
public:
    // `pixels`: the buffer the display reads, (scale * width) x (scale *
    // height) pixels of 32 bits, rows back to back. Nothing of it is known
    // yet: the first picture is written whole.
    void Reset(void* pixels, int width, int height, int scale) {
        pixels_ = static_cast<std::uint32_t*>(pixels);
        width_ = width;
        height_ = height;
        scale_ = scale;
        // The picture as the buffer holds it: comparing with it is cheaper
        // than reading back the blocks, and at scale 1 just as cheap.
        held_.assign(std::size_t(width) * std::size_t(height), 0);
        fresh_ = true;
    }

    int Width() const { return width_; }
    int Height() const { return height_; }

    // Brings the buffer to `picture` (of this size), writing only the rows
    // that differ from what it holds. Calls `changed(y)`, rows in order, for
    // each row that differs from what `shown` holds (the buffer the display
    // shows now; may be this one), or for every row when `shown` is null.
    template <class Changed>
    void Take(const QImage& picture, const TPictureRows* shown, Changed&& changed) {
        const std::size_t row = std::size_t(width_) * sizeof(std::uint32_t);
        for (int y = 0; y < height_; ++y) {
            const auto* from = reinterpret_cast<const std::uint32_t*>(picture.constScanLine(y));
            // Before this buffer's row is written: `shown` may be this one.
            if (shown == nullptr || std::memcmp(from, shown->Held(y), row) != 0) {
                changed(y);
            }
            std::uint32_t* held = Held(y);
            if (fresh_ || std::memcmp(from, held, row) != 0) {
                std::memcpy(held, from, row);
                Write(y, from);
            }
        }
        fresh_ = false;
    }

private:
    const std::uint32_t* Held(int y) const { return held_.data() + std::size_t(y) * width_; }
    std::uint32_t* Held(int y) { return held_.data() + std::size_t(y) * width_; }

    void Write(int y, const std::uint32_t* from) {
        const std::size_t wide = std::size_t(width_) * scale_;
        std::uint32_t* to = pixels_ + std::size_t(y) * scale_ * wide;
        if (scale_ == 1) {
            std::memcpy(to, from, wide * sizeof(std::uint32_t));
            return;
        }
        for (int x = 0; x < width_; ++x) {
            std::fill_n(to + std::size_t(x) * scale_, scale_, from[x]);
        }
        for (int copy = 1; copy < scale_; ++copy) {
            std::memcpy(to + copy * wide, to, wide * sizeof(std::uint32_t));
        }
    }

    std::uint32_t* pixels_ = nullptr;
    int width_ = 0;
    int height_ = 0;
    int scale_ = 1;
    std::vector<std::uint32_t> held_;
    bool fresh_ = true;
};
