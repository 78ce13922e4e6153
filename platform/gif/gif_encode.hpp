// gif_encode - writes GIF files with giflib's encoder, for the sample
// program, the benchmarks and the tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace q7gif_encode {

struct Frame {
    int width = 0;
    int height = 0;
    int left = 0;
    int top = 0;
    bool interlaced = false;
    std::vector<uint8_t> local_palette;  // red, green, blue per colour; empty: none
    std::vector<uint8_t> pixels;         // height rows of width indices
};

struct Gif {
    int screen_width = 0;
    int screen_height = 0;
    int colour_resolution = 8;           // 1 to 8
    bool sorted = false;                 // sort flag of the global table
    int background = 0;
    std::vector<uint8_t> global_palette; // red, green, blue per colour; empty: none
    std::vector<Frame> frames;
};

// Writes gif to path.  Palettes must hold 2, 4, ..., 256 colours.  False
// (with a message in *error when not null) on failure.
bool write_gif(const std::string &path, const Gif &gif, std::string *error = nullptr);

// A 256-colour palette of smooth, distinct colours.
std::vector<uint8_t> rainbow_palette();

// A frame of width x height filled with a moving pattern of all 256
// indices (different for each frame number).
Frame pattern_frame(int width, int height, int frame_number);

} // namespace q7gif_encode
