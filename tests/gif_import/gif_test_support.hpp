// Helpers of the GIF import tests: GIFs built with giflib's encoder, and
// hand-made byte streams for input the encoder refuses to write.
#pragma once

#include "gif_encode.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace gif_test {

using q7gif_encode::Frame;
using q7gif_encode::Gif;

// A palette of n colours whose bytes all differ from their neighbours.
inline std::vector<uint8_t> palette(int n, int seed = 0) {
    std::vector<uint8_t> rgb(size_t(n) * 3);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = uint8_t(i * 37 + size_t(seed) * 11 + 5);
    return rgb;
}

// A frame whose every pixel index depends on its row and column, using
// indices 0 .. colours-1.
inline Frame frame(int width, int height, int colours, int seed = 0) {
    Frame f;
    f.width = width;
    f.height = height;
    f.pixels.resize(size_t(width) * size_t(height));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            f.pixels[size_t(y) * size_t(width) + size_t(x)] = uint8_t((x * 3 + y * 7 + seed) % colours);
    return f;
}

inline Gif simple_gif(int width, int height, int colours, int frames) {
    Gif g;
    g.screen_width = width;
    g.screen_height = height;
    g.global_palette = palette(colours);
    for (int i = 0; i < frames; ++i) g.frames.push_back(frame(width, height, colours, i));
    return g;
}

// Bytes of a GIF with a 2-colour global table and the given image
// descriptors' sizes, each followed by a minimal one-pixel LZW stream.
// Used for sizes and counts giflib's encoder will not write.
inline std::vector<uint8_t> handmade_gif(int screen_w, int screen_h, const std::vector<std::pair<int, int>> &images,
                                         bool trailer = true) {
    std::vector<uint8_t> b = {'G', 'I', 'F', '8', '9', 'a'};
    auto put16 = [&](int v) {
        b.push_back(uint8_t(v & 0xFF));
        b.push_back(uint8_t((v >> 8) & 0xFF));
    };
    put16(screen_w);
    put16(screen_h);
    b.push_back(0x80);  // global table, 2 colours
    b.push_back(0);
    b.push_back(0);
    for (int i = 0; i < 6; ++i) b.push_back(uint8_t(i * 40));
    for (auto [w, h] : images) {
        b.push_back(0x2C);
        put16(0);
        put16(0);
        put16(w);
        put16(h);
        b.push_back(0);
        // LZW minimum code size 2; codes: clear(4), 0, end(5) in 3-bit codes.
        b.push_back(2);
        b.push_back(2);
        b.push_back(0x44);  // 100 000 -> bits: clear=4, pixel 0 ...
        b.push_back(0x01);  // ... end=5
        b.push_back(0);
    }
    if (trailer) b.push_back(0x3B);
    return b;
}

} // namespace gif_test
