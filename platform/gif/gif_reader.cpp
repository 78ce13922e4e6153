// The GIF reader: decodes a GIF file with giflib, record by record, into
// the records of q7gif.h.  Image sizes are checked against the limits
// before any pixel memory is taken; interlaced rows are put back in
// order; the logical screen's packed byte is rebuilt from giflib's
// colour map so that the writer sees what the file held.
#include "q7gif.h"

#include <gif_lib.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct MemorySource {
    const unsigned char *data;
    size_t size;
    size_t pos;
};

int read_from_memory(GifFileType *gif, GifByteType *buf, int len) {
    auto *src = static_cast<MemorySource *>(gif->UserData);
    if (len <= 0) return 0;
    size_t n = std::min(src->size - src->pos, size_t(len));
    if (n == 0) return 0;
    std::memcpy(buf, src->data + src->pos, n);
    src->pos += n;
    return int(n);
}

// Pixel memory of one image.  Large images get memory aligned for huge
// pages: decoding then takes a page fault per 2 MiB instead of per 4 KiB,
// a noticeable share of the decoding time.  Released with free().
uint8_t *allocate_pixels(size_t bytes) {
    constexpr size_t kHugePage = size_t(2) << 20;
    if (bytes < 2 * kHugePage) return static_cast<uint8_t *>(std::malloc(bytes));
    size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void *p = nullptr;
    if (posix_memalign(&p, kHugePage, rounded) != 0) return nullptr;
    madvise(p, rounded, MADV_HUGEPAGE);  // a hint: failure changes nothing
    return static_cast<uint8_t *>(p);
}

// Largest value in the bytes, written so that the compiler vectorises it.
uint8_t highest_index(const uint8_t *p, size_t n) {
    uint8_t lanes[32] = {};
    size_t i = 0;
    for (; i + 32 <= n; i += 32)
        for (size_t k = 0; k < 32; ++k) lanes[k] = lanes[k] > p[i + k] ? lanes[k] : p[i + k];
    uint8_t m = 0;
    for (uint8_t v : lanes) m = std::max(m, v);
    for (; i < n; ++i) m = std::max(m, p[i]);
    return m;
}

class Decoder {
public:
    Decoder(q7gif_warning_fn warn, void *user_data, char *error, size_t error_size)
        : warn_(warn), user_data_(user_data), error_(error), error_size_(error_size) {}

    int decode(GifFileType *gif, q7gif_t *out);

private:
    int fail(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    void warn(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    int read_image(GifFileType *gif, q7gif_t *out);
    int skip_extension(GifFileType *gif);

    q7gif_warning_fn warn_;
    void *user_data_;
    char *error_;
    size_t error_size_;
    uint64_t total_pixels_ = 0;
};

int Decoder::fail(const char *fmt, ...) {
    if (error_ && error_size_ > 0) {
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(error_, error_size_, fmt, ap);
        va_end(ap);
    }
    return -1;
}

void Decoder::warn(const char *fmt, ...) {
    if (!warn_) return;
    char message[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(message, sizeof message, fmt, ap);
    va_end(ap);
    warn_(message, user_data_);
}

const char *gif_error(int code) {
    const char *s = GifErrorString(code);
    return s ? s : "unknown error";
}

// The packed field of the logical screen descriptor, rebuilt: giflib
// keeps its parts (colour resolution, sort flag, table size) apart.
uint8_t rebuild_packed(const GifFileType *gif) {
    uint8_t packed = uint8_t(((gif->SColorResolution - 1) & 0x7) << 4);
    const ColorMapObject *map = gif->SColorMap;
    if (map) {
        packed |= 0x80;
        if (map->SortFlag) packed |= 0x08;
        packed |= uint8_t((map->BitsPerPixel - 1) & 0x7);
    }
    return packed;
}

void copy_colours(const ColorMapObject *map, uint8_t *dest, size_t max_colours, size_t *count) {
    size_t n = std::min(size_t(std::max(map->ColorCount, 0)), max_colours);
    for (size_t i = 0; i < n; ++i) {
        dest[3 * i] = map->Colors[i].Red;
        dest[3 * i + 1] = map->Colors[i].Green;
        dest[3 * i + 2] = map->Colors[i].Blue;
    }
    *count = n;
}

int Decoder::skip_extension(GifFileType *gif) {
    int code = 0;
    GifByteType *block = nullptr;
    if (DGifGetExtension(gif, &code, &block) == GIF_ERROR) return -1;
    while (block) {
        if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) return -1;
    }
    return 0;
}

int Decoder::read_image(GifFileType *gif, q7gif_t *out) {
    q7gif_screen_t *screen = out->screen;
    const int index = screen->image_count;
    if (index >= Q7GIF_MAX_IMAGES) return fail("the GIF holds more than %d images", Q7GIF_MAX_IMAGES);
    if (DGifGetImageDesc(gif) == GIF_ERROR)
        return fail("Image%d: bad image descriptor (%s)", index, gif_error(gif->Error));

    const GifImageDesc &desc = gif->Image;
    if (desc.Width <= 0 || desc.Height <= 0)
        return fail("Image%d has no pixels (%dx%d)", index, desc.Width, desc.Height);
    const uint64_t pixels = uint64_t(desc.Width) * uint64_t(desc.Height);
    if (pixels > Q7GIF_MAX_IMAGE_PIXELS)
        return fail("Image%d is too large: %dx%d pixels, at most %llu pixels per image are imported", index,
                    desc.Width, desc.Height, (unsigned long long)Q7GIF_MAX_IMAGE_PIXELS);
    if (total_pixels_ + pixels > Q7GIF_MAX_TOTAL_PIXELS)
        return fail("the GIF's images hold more than %llu pixels together", (unsigned long long)Q7GIF_MAX_TOTAL_PIXELS);
    total_pixels_ += pixels;

    auto *image = static_cast<q7gif_image_t *>(std::calloc(1, sizeof(q7gif_image_t)));
    if (!image) return fail("out of memory");
    // Owned by *out from here on, so q7gif_free releases it on any failure.
    out->images[index] = image;
    screen->image_count = uint8_t(index + 1);
    image->width = desc.Width;
    image->height = desc.Height;
    image->left = uint16_t(desc.Left);
    image->top = uint16_t(desc.Top);
    image->interlaced = desc.Interlace ? 1 : 0;
    if (desc.ColorMap) {
        size_t n = 0;
        copy_colours(desc.ColorMap, image->local_palette, Q7GIF_MAX_COLOURS, &n);
        image->has_local_palette = 1;
        image->local_num_colours = uint16_t(n);
        warn("Image%d has a local colour table of %zu colours; only the global colour table is stored", index, n);
    }
    if (desc.Left + desc.Width > gif->SWidth || desc.Top + desc.Height > gif->SHeight)
        warn("Image%d (%dx%d at %d,%d) extends beyond the %dx%d logical screen", index, desc.Width, desc.Height,
             desc.Left, desc.Top, gif->SWidth, gif->SHeight);

    image->pixels = allocate_pixels(size_t(pixels));
    if (!image->pixels) return fail("out of memory for Image%d (%llu bytes)", index, (unsigned long long)pixels);

    const int width = desc.Width;
    const int height = desc.Height;
    if (desc.Interlace) {
        // Rows come in four passes: every 8th row from 0, every 8th from 4,
        // every 4th from 2, every 2nd from 1.
        static const int first_row[4] = {0, 4, 2, 1};
        static const int row_step[4] = {8, 8, 4, 2};
        for (int pass = 0; pass < 4; ++pass) {
            for (int row = first_row[pass]; row < height; row += row_step[pass]) {
                if (DGifGetLine(gif, image->pixels + size_t(row) * size_t(width), width) == GIF_ERROR)
                    return fail("Image%d: the image data is truncated or corrupt (%s)", index, gif_error(gif->Error));
            }
        }
    } else if (DGifGetLine(gif, image->pixels, int(pixels)) == GIF_ERROR) {
        return fail("Image%d: the image data is truncated or corrupt (%s)", index, gif_error(gif->Error));
    }

    // With a full 256-colour table no index can lie beyond it.
    if ((screen->packed & 0x80) && screen->num_colours < Q7GIF_MAX_COLOURS) {
        uint8_t highest = highest_index(image->pixels, size_t(pixels));
        if (int64_t(highest) >= screen->num_colours)
            warn("Image%d uses colour index %u, beyond the %lld-colour global colour table; indices are stored as "
                 "they are",
                 index, unsigned(highest), (long long)screen->num_colours);
    }
    return 0;
}

int Decoder::decode(GifFileType *gif, q7gif_t *out) {
    auto *screen = static_cast<q7gif_screen_t *>(std::calloc(1, sizeof(q7gif_screen_t)));
    out->images = static_cast<q7gif_image_t **>(std::calloc(Q7GIF_MAX_IMAGES, sizeof(q7gif_image_t *)));
    out->screen = screen;
    if (!screen || !out->images) return fail("out of memory");
    out->image_slots = Q7GIF_MAX_IMAGES;

    screen->packed = rebuild_packed(gif);
    screen->screen_width = uint16_t(gif->SWidth);
    screen->screen_height = uint16_t(gif->SHeight);
    screen->background_index = uint8_t(gif->SBackGroundColor);
    screen->aspect_byte = gif->AspectByte;
    if (gif->SColorMap) {
        size_t n = 0;
        copy_colours(gif->SColorMap, screen->global_palette, Q7GIF_MAX_COLOURS, &n);
        screen->num_colours = int64_t(n);
    }

    for (;;) {
        GifRecordType type = UNDEFINED_RECORD_TYPE;
        if (DGifGetRecordType(gif, &type) == GIF_ERROR) {
            // Many writers leave out the trailer after the last image.
            if (screen->image_count > 0 && gif->Error == D_GIF_ERR_READ_FAILED) {
                warn("the GIF ends without a trailer after Image%d", screen->image_count - 1);
                break;
            }
            return fail("the GIF is truncated or corrupt (%s)", gif_error(gif->Error));
        }
        if (type == TERMINATE_RECORD_TYPE) break;
        if (type == IMAGE_DESC_RECORD_TYPE) {
            if (read_image(gif, out) < 0) return -1;
        } else if (type == EXTENSION_RECORD_TYPE) {
            if (skip_extension(gif) < 0)
                return fail("a GIF extension block is truncated or corrupt (%s)", gif_error(gif->Error));
        } else {
            return fail("the GIF holds an unknown record");
        }
    }

    if (screen->image_count == 0) return fail("the GIF holds no image");
    if (!(screen->packed & 0x80))
        warn("the GIF has no global colour table; its %d image%s stored without a palette", screen->image_count,
             screen->image_count == 1 ? " is" : "s are");
    return 0;
}

int finish(GifFileType *gif, int open_error, q7gif_t *gif_out, q7gif_warning_fn warn, void *user_data, char *error,
           size_t error_size) {
    *gif_out = q7gif_t{};
    if (!gif) {
        if (error && error_size > 0) std::snprintf(error, error_size, "not a readable GIF (%s)", gif_error(open_error));
        return -1;
    }
    Decoder decoder(warn, user_data, error, error_size);
    int rc = decoder.decode(gif, gif_out);
    int close_error = 0;
    DGifCloseFile(gif, &close_error);
    if (rc < 0) q7gif_free(gif_out);
    return rc;
}

} // namespace

extern "C" {

int q7gif_read_file(const char *path, q7gif_t *gif, q7gif_warning_fn warn, void *user_data, char *error,
                    size_t error_size) {
    if (!gif) return -1;
    if (!path) {
        *gif = q7gif_t{};
        if (error && error_size > 0) std::snprintf(error, error_size, "no file name given");
        return -1;
    }
    int open_error = 0;
    GifFileType *file = DGifOpenFileName(path, &open_error);
    if (!file && open_error == D_GIF_ERR_OPEN_FAILED) {
        *gif = q7gif_t{};
        if (error && error_size > 0) std::snprintf(error, error_size, "cannot open %s: %s", path, std::strerror(errno));
        return -1;
    }
    return finish(file, open_error, gif, warn, user_data, error, error_size);
}

int q7gif_read_memory(const void *data, size_t size, q7gif_t *gif, q7gif_warning_fn warn, void *user_data,
                      char *error, size_t error_size) {
    if (!gif) return -1;
    MemorySource src{static_cast<const unsigned char *>(data), data ? size : 0, 0};
    int open_error = 0;
    GifFileType *file = DGifOpen(&src, read_from_memory, &open_error);
    return finish(file, open_error, gif, warn, user_data, error, error_size);
}

void q7gif_free(q7gif_t *gif) {
    if (!gif) return;
    if (gif->images) {
        for (size_t i = 0; i < gif->image_slots; ++i) {
            if (gif->images[i]) {
                std::free(gif->images[i]->pixels);
                std::free(gif->images[i]);
            }
        }
        std::free(gif->images);
    }
    std::free(gif->screen);
    *gif = q7gif_t{};
}

} // extern "C"
