// q7topng - writes an 8-bit image of a Quor7 file as a PNG, its pixels
// expanded through the image's first attached palette to RGB, so that a
// person can look at what was imported.  Colour indices beyond the
// palette are shown black; an image without a palette comes out grey,
// its indices taken as grey levels.
#include "quor7.h"
#include "quor7_hl.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr const char *kProgram = "q7topng";
// Largest image written (pixels); larger ones are refused, not allocated.
constexpr q7size_t kMaxPixels = q7size_t(1) << 30;

void print_usage(FILE *out) {
    std::fprintf(out,
                 "Usage: %s FILE.q7 IMAGE OUT.png\n"
                 "\n"
                 "Writes the 8-bit image IMAGE of FILE.q7 as an RGB PNG, its colour\n"
                 "indices expanded through the image's first palette.  Indices beyond\n"
                 "the palette are shown black; an image without a palette is written\n"
                 "as greyscale.\n"
                 "\n"
                 "Options:\n"
                 "  -h, --help   show this help and exit\n"
                 "\n"
                 "Exit status: 0 on success, 1 on failure.\n",
                 kProgram);
}

int fail(const char *fmt, const char *a = "", const char *b = "") {
    std::fprintf(stderr, "%s: ", kProgram);
    std::fprintf(stderr, fmt, a, b);
    std::fputc('\n', stderr);
    return 1;
}

void png_error_handler(png_structp png, png_const_charp message) {
    std::fprintf(stderr, "%s: PNG error: %s\n", kProgram, message);
    std::longjmp(png_jmpbuf(png), 1);
}

// Writes rows of width * channels bytes; false on any failure.
bool write_png(const char *path, q7size_t width, q7size_t height, int channels, const std::vector<unsigned char> &data) {
    FILE *out = std::fopen(path, "wb");
    if (!out) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, png_error_handler, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info) {
        png_destroy_write_struct(&png, &info);
        std::fclose(out);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(out);
        return false;
    }
    png_init_io(png, out);
    png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), 8,
                 channels == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const size_t stride = size_t(width) * size_t(channels);
    for (q7size_t row = 0; row < height; ++row)
        png_write_row(png, const_cast<png_bytep>(data.data() + size_t(row) * stride));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return std::fclose(out) == 0;
}

int convert(const char *file_name, const char *image_name, const char *png_name) {
    q7id_t file = Q7Fopen(file_name, Q7F_ACC_RDONLY, 0);
    if (file < 0) return fail("cannot open %s", file_name);
    q7size_t width = 0, height = 0, npals = 0;
    if (Q7IMis_image(file, image_name) <= 0 || Q7IMget_image_info(file, image_name, &width, &height, &npals) < 0)
        return fail("%s is not an image of %s", image_name, file_name);
    if (width > PNG_UINT_31_MAX || height > PNG_UINT_31_MAX || width * height > kMaxPixels)
        return fail("%s is too large to write as a PNG", image_name);

    std::vector<unsigned char> pixels(size_t(width * height));
    if (Q7IMread_image(file, image_name, pixels.data()) < 0) return fail("cannot read %s", image_name);

    std::vector<unsigned char> out;
    int channels = 1;
    if (npals > 0) {
        q7size_t dims[2] = {0, 0};
        if (Q7IMget_palette_info(file, image_name, 0, dims) < 0 || dims[0] > kMaxPixels)
            return fail("cannot read the palette of %s", image_name);
        std::vector<unsigned char> palette(size_t(dims[0]) * 3);
        if (Q7IMread_palette(file, image_name, 0, palette.data()) < 0)
            return fail("cannot read the palette of %s", image_name);
        channels = 3;
        out.assign(pixels.size() * 3, 0);
        bool beyond = false;
        for (size_t i = 0; i < pixels.size(); ++i) {
            size_t index = pixels[i];
            if (index < dims[0]) {
                std::memcpy(&out[3 * i], &palette[3 * index], 3);
            } else {
                beyond = true;  // stays black
            }
        }
        if (beyond)
            std::fprintf(stderr, "%s warning: %s uses colour indices beyond its %llu-colour palette; shown black\n",
                         kProgram, image_name, (unsigned long long)dims[0]);
    } else {
        std::fprintf(stderr, "%s warning: %s has no palette; written as greyscale\n", kProgram, image_name);
        out = std::move(pixels);
    }
    Q7Fclose(file);
    if (!write_png(png_name, width, height, channels, out)) {
        std::remove(png_name);
        return fail("cannot write %s", png_name);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            print_usage(stdout);
            return 0;
        }
    }
    if (argc != 4) {
        std::fprintf(stderr, "%s: expected a file, an image name and an output PNG\n", kProgram);
        print_usage(stderr);
        return 1;
    }
    int status = convert(argv[1], argv[2], argv[3]);
    Q7close();
    return status;
}
