// q7gif_sample - writes a sample GIF with giflib: a 256-colour palette
// and frames of coloured bands.
//
//   q7gif_sample OUT.gif [WIDTH HEIGHT FRAMES]      (default 64 48 3)
#include "gif_encode.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char **argv) {
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        std::printf("Usage: q7gif_sample OUT.gif [WIDTH HEIGHT FRAMES]\n"
                    "Writes a GIF of coloured bands (default 64x48, 3 frames).\n");
        return 0;
    }
    if (argc != 2 && argc != 5) {
        std::fprintf(stderr, "Usage: q7gif_sample OUT.gif [WIDTH HEIGHT FRAMES]\n");
        return 1;
    }
    int width = 64, height = 48, frames = 3;
    if (argc == 5) {
        width = std::atoi(argv[2]);
        height = std::atoi(argv[3]);
        frames = std::atoi(argv[4]);
    }
    if (width < 1 || width > 65535 || height < 1 || height > 65535 || frames < 1 || frames > 255) {
        std::fprintf(stderr, "q7gif_sample: width and height must be 1 to 65535, frames 1 to 255\n");
        return 1;
    }
    q7gif_encode::Gif gif;
    gif.screen_width = width;
    gif.screen_height = height;
    gif.global_palette = q7gif_encode::rainbow_palette();
    for (int f = 0; f < frames; ++f) gif.frames.push_back(q7gif_encode::pattern_frame(width, height, f));
    std::string error;
    if (!q7gif_encode::write_gif(argv[1], gif, &error)) {
        std::fprintf(stderr, "q7gif_sample: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
