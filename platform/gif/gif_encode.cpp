#include "gif_encode.hpp"

#include <gif_lib.h>

#include <memory>

namespace q7gif_encode {

namespace {

struct MapDeleter {
    void operator()(ColorMapObject *map) const { GifFreeMapObject(map); }
};
using MapPtr = std::unique_ptr<ColorMapObject, MapDeleter>;

MapPtr make_map(const std::vector<uint8_t> &rgb) {
    if (rgb.empty()) return nullptr;
    int count = int(rgb.size() / 3);
    std::vector<GifColorType> colours(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) colours[size_t(i)] = {rgb[3 * size_t(i)], rgb[3 * size_t(i) + 1], rgb[3 * size_t(i) + 2]};
    return MapPtr(GifMakeMapObject(count, colours.data()));
}

bool failed(std::string *error, const std::string &what, int code) {
    if (error) {
        const char *s = GifErrorString(code);
        *error = what + ": " + (s ? s : "unknown error");
    }
    return false;
}

} // namespace

bool write_gif(const std::string &path, const Gif &gif, std::string *error) {
    int code = 0;
    GifFileType *out = EGifOpenFileName(path.c_str(), false, &code);
    if (!out) return failed(error, "cannot create " + path, code);
    MapPtr global = make_map(gif.global_palette);
    if (!gif.global_palette.empty() && !global) {
        EGifCloseFile(out, &code);
        return failed(error, "bad global palette size", E_GIF_ERR_NO_COLOR_MAP);
    }
    if (global) global->SortFlag = gif.sorted;
    bool ok = EGifPutScreenDesc(out, gif.screen_width, gif.screen_height, gif.colour_resolution, gif.background,
                                global.get()) != GIF_ERROR;
    for (size_t f = 0; ok && f < gif.frames.size(); ++f) {
        const Frame &frame = gif.frames[f];
        MapPtr local = make_map(frame.local_palette);
        // giflib keeps a copy of the previous frame's local table and
        // drops it without freeing when the next frame has none.
        if (out->Image.ColorMap) {
            GifFreeMapObject(out->Image.ColorMap);
            out->Image.ColorMap = nullptr;
        }
        ok = EGifPutImageDesc(out, frame.left, frame.top, frame.width, frame.height, frame.interlaced, local.get()) !=
             GIF_ERROR;
        if (!ok) break;
        auto put_row = [&](int row) {
            return EGifPutLine(out, const_cast<GifPixelType *>(frame.pixels.data()) + size_t(row) * size_t(frame.width),
                               frame.width) != GIF_ERROR;
        };
        if (frame.interlaced) {
            static const int first_row[4] = {0, 4, 2, 1};
            static const int row_step[4] = {8, 8, 4, 2};
            for (int pass = 0; ok && pass < 4; ++pass)
                for (int row = first_row[pass]; ok && row < frame.height; row += row_step[pass]) ok = put_row(row);
        } else {
            for (int row = 0; ok && row < frame.height; ++row) ok = put_row(row);
        }
    }
    int write_error = out->Error;
    if (EGifCloseFile(out, &code) == GIF_ERROR && ok) return failed(error, "cannot finish " + path, code);
    if (!ok) return failed(error, "cannot write " + path, write_error);
    return true;
}

std::vector<uint8_t> rainbow_palette() {
    std::vector<uint8_t> rgb(256 * 3);
    for (int i = 0; i < 256; ++i) {
        rgb[3 * size_t(i)] = uint8_t(i);
        rgb[3 * size_t(i) + 1] = uint8_t((i * 7 + 64) & 0xFF);
        rgb[3 * size_t(i) + 2] = uint8_t(255 - i);
    }
    return rgb;
}

Frame pattern_frame(int width, int height, int frame_number) {
    Frame frame;
    frame.width = width;
    frame.height = height;
    frame.pixels.resize(size_t(width) * size_t(height));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            // Bands of one colour along each row, so the encoder finds
            // repeats as in a real picture.
            int band = (((x + frame_number * 16) / 32) * 37 + (y / 32) * 59) & 0xFF;
            frame.pixels[size_t(y) * size_t(width) + size_t(x)] = uint8_t(band);
        }
    }
    return frame;
}

} // namespace q7gif_encode
