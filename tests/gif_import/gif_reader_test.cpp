// The GIF reader against GIFs written by giflib's encoder and against
// hand-made streams it must refuse.
#include "gif_test_support.hpp"
#include "q7gif.h"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using gif_test::Gif;
using q7test::TempDir;

struct ReadResult {
    int rc = -1;
    q7gif_t gif{};
    std::vector<std::string> warnings;
    std::string error;
    ReadResult() = default;
    ReadResult(const ReadResult &) = delete;
    ~ReadResult() { q7gif_free(&gif); }
};

void collect(const char *message, void *user_data) {
    static_cast<std::vector<std::string> *>(user_data)->push_back(message);
}

void read_path(const std::string &path, ReadResult &r) {
    char error[256] = "";
    r.rc = q7gif_read_file(path.c_str(), &r.gif, collect, &r.warnings, error, sizeof error);
    r.error = error;
}

void read_bytes(const std::vector<uint8_t> &bytes, ReadResult &r) {
    char error[256] = "";
    r.rc = q7gif_read_memory(bytes.data(), bytes.size(), &r.gif, collect, &r.warnings, error, sizeof error);
    r.error = error;
}

std::string write(const TempDir &dir, const Gif &gif, const std::string &name = "in.gif") {
    std::string path = dir.file(name);
    std::string error;
    EXPECT_TRUE(q7gif_encode::write_gif(path, gif, &error)) << error;
    return path;
}

bool mentions(const std::vector<std::string> &warnings, const std::string &a, const std::string &b) {
    for (const auto &w : warnings)
        if (w.find(a) != std::string::npos && w.find(b) != std::string::npos) return true;
    return false;
}

std::vector<uint8_t> pixels_of(const q7gif_image_t *image) {
    return std::vector<uint8_t>(image->pixels, image->pixels + image->width * image->height);
}

TEST(GifReader, RecordsHoldTheFileExactly) {
    TempDir dir;
    Gif gif = gif_test::simple_gif(13, 7, 4, 3);
    gif.frames[1].left = 2;  // a frame smaller than the screen, placed inside it
    gif.frames[1] = gif_test::frame(5, 6, 4, 9);
    gif.frames[1].left = 8;
    gif.frames[1].top = 1;
    ReadResult r;
    read_path(write(dir, gif), r);
    ASSERT_EQ(r.rc, 0) << r.error;
    EXPECT_TRUE(r.warnings.empty()) << r.warnings.front();
    const q7gif_screen_t *s = r.gif.screen;
    // Global table flag, colour resolution 8 (bits 0x70), table size 4 (bits 1).
    EXPECT_EQ(s->packed, 0x80 | 0x70 | 0x01);
    EXPECT_EQ(s->num_colours, 4);
    EXPECT_EQ(s->image_count, 3);
    EXPECT_EQ(s->screen_width, 13);
    EXPECT_EQ(s->screen_height, 7);
    EXPECT_EQ(std::vector<uint8_t>(s->global_palette, s->global_palette + 12), gif.global_palette);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const q7gif_image_t *image = r.gif.images[i];
        EXPECT_EQ(image->width, gif.frames[size_t(i)].width);
        EXPECT_EQ(image->height, gif.frames[size_t(i)].height);
        EXPECT_EQ(image->left, gif.frames[size_t(i)].left);
        EXPECT_EQ(image->top, gif.frames[size_t(i)].top);
        EXPECT_EQ(pixels_of(image), gif.frames[size_t(i)].pixels);
    }
}

TEST(GifReader, InterlacedRowsComeBackInOrder) {
    TempDir dir;
    // Heights that end inside each of the four passes.
    for (int height : {1, 2, 3, 4, 5, 7, 8, 9, 12, 17, 33}) {
        SCOPED_TRACE(height);
        Gif gif = gif_test::simple_gif(6, height, 16, 1);
        gif.frames[0].interlaced = true;
        ReadResult r;
        read_path(write(dir, gif), r);
        ASSERT_EQ(r.rc, 0) << r.error;
        EXPECT_EQ(r.gif.images[0]->interlaced, 1);
        EXPECT_EQ(pixels_of(r.gif.images[0]), gif.frames[0].pixels);
    }
}

TEST(GifReader, LargeImagesDecodeWhole) {
    // Large enough for the reader's huge-page buffers, and not a whole
    // number of them; interlaced too.
    TempDir dir;
    Gif gif = gif_test::simple_gif(2304, 2001, 256, 2);
    gif.frames[1].interlaced = true;
    ReadResult r;
    read_path(write(dir, gif), r);
    ASSERT_EQ(r.rc, 0) << r.error;
    EXPECT_TRUE(pixels_of(r.gif.images[0]) == gif.frames[0].pixels);
    EXPECT_TRUE(pixels_of(r.gif.images[1]) == gif.frames[1].pixels);
}

TEST(GifReader, PackedByteKeepsResolutionSortAndSizeBits) {
    TempDir dir;
    Gif gif = gif_test::simple_gif(16, 16, 256, 1);
    gif.colour_resolution = 5;
    gif.sorted = true;
    ReadResult r;
    read_path(write(dir, gif), r);
    ASSERT_EQ(r.rc, 0) << r.error;
    EXPECT_EQ(r.gif.screen->packed, 0x80 | (4 << 4) | 0x08 | 0x07);
    EXPECT_EQ(r.gif.screen->num_colours, 256);
    EXPECT_EQ(std::vector<uint8_t>(r.gif.screen->global_palette, r.gif.screen->global_palette + 768),
              gif.global_palette);
    EXPECT_EQ(pixels_of(r.gif.images[0]), gif.frames[0].pixels);
}

TEST(GifReader, OddButImportableInputWarnsNamingTheImage) {
    TempDir dir;
    {   // No global table: every frame brings its own.
        Gif gif = gif_test::simple_gif(8, 8, 4, 2);
        gif.global_palette.clear();
        for (auto &f : gif.frames) f.local_palette = gif_test::palette(4, 3);
        ReadResult r;
        read_path(write(dir, gif), r);
        ASSERT_EQ(r.rc, 0) << r.error;
        EXPECT_EQ(r.gif.screen->packed & 0x80, 0);
        EXPECT_EQ(r.gif.images[1]->has_local_palette, 1);
        EXPECT_EQ(r.gif.images[1]->local_num_colours, 4);
        EXPECT_TRUE(mentions(r.warnings, "Image0", "local colour table"));
        EXPECT_TRUE(mentions(r.warnings, "Image1", "local colour table"));
        EXPECT_TRUE(mentions(r.warnings, "no global colour table", "2 images"));
        EXPECT_EQ(pixels_of(r.gif.images[1]), gif.frames[1].pixels);
    }
    {   // Indices beyond the 4-colour global table (through a larger local
        // one), and a frame beyond the logical screen.
        Gif gif = gif_test::simple_gif(8, 8, 4, 2);
        gif.frames[0] = gif_test::frame(8, 8, 64, 1);
        gif.frames[0].local_palette = gif_test::palette(64, 2);
        gif.frames[1].left = 4;
        ReadResult r;
        read_path(write(dir, gif), r);
        ASSERT_EQ(r.rc, 0) << r.error;
        EXPECT_TRUE(mentions(r.warnings, "Image0", "beyond the 4-colour global colour table"));
        EXPECT_TRUE(mentions(r.warnings, "Image1", "extends beyond the 8x8 logical screen"));
        EXPECT_FALSE(mentions(r.warnings, "Image1", "colour index"));
        EXPECT_EQ(pixels_of(r.gif.images[0]), gif.frames[0].pixels);  // stored as they are
    }
    {   // No trailer after the last image.
        auto bytes = gif_test::handmade_gif(1, 1, {{1, 1}}, false);
        ReadResult r;
        read_bytes(bytes, r);
        ASSERT_EQ(r.rc, 0) << r.error;
        EXPECT_TRUE(mentions(r.warnings, "without a trailer", "Image0"));
        EXPECT_EQ(r.gif.images[0]->pixels[0], 0);
    }
}

TEST(GifReader, InputThatCannotBeImportedIsRefusedWithAReason) {
    TempDir dir;
    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
        const char *reason;
    };
    std::vector<uint8_t> text = {'n', 'o', 't', ' ', 'a', ' ', 'g', 'i', 'f', '\n'};
    Gif big = gif_test::simple_gif(64, 64, 256, 1);
    std::string full_path = write(dir, big);
    std::vector<uint8_t> full;
    {
        FILE *f = std::fopen(full_path.c_str(), "rb");
        int c;
        while ((c = std::fgetc(f)) != EOF) full.push_back(uint8_t(c));
        std::fclose(f);
    }
    std::vector<uint8_t> truncated(full.begin(), full.begin() + long(full.size() / 2));
    std::vector<Case> cases = {
        {"not a GIF", text, "not a readable GIF"},
        {"empty", {}, "not a readable GIF"},
        {"truncated image data", truncated, "Image0: the image data is truncated or corrupt"},
        {"no image", gif_test::handmade_gif(4, 4, {}), "holds no image"},
        {"zero width", gif_test::handmade_gif(4, 4, {{0, 4}}), "Image0 has no pixels (0x4)"},
        {"zero height after a good image", gif_test::handmade_gif(4, 4, {{1, 1}, {4, 0}}), "Image1 has no pixels"},
        {"huge", gif_test::handmade_gif(65535, 65535, {{65535, 65535}}), "Image0 is too large"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ReadResult r;
        read_bytes(c.bytes, r);
        EXPECT_EQ(r.rc, -1);
        EXPECT_NE(r.error.find(c.reason), std::string::npos) << r.error;
        // Nothing is handed back on failure.
        EXPECT_EQ(r.gif.screen, nullptr);
        EXPECT_EQ(r.gif.images, nullptr);
    }
    ReadResult missing;
    read_path(dir.file("missing.gif"), missing);
    EXPECT_EQ(missing.rc, -1);
    EXPECT_NE(missing.error.find("cannot open"), std::string::npos) << missing.error;
}

TEST(GifReader, ImageCountLimitIs255) {
    TempDir dir;
    Gif gif = gif_test::simple_gif(2, 1, 2, 255);
    ReadResult ok;
    read_path(write(dir, gif), ok);
    ASSERT_EQ(ok.rc, 0) << ok.error;
    EXPECT_EQ(ok.gif.screen->image_count, 255);
    EXPECT_EQ(pixels_of(ok.gif.images[254]), gif.frames[254].pixels);

    gif.frames.push_back(gif_test::frame(2, 1, 2, 0));
    ReadResult too_many;
    read_path(write(dir, gif), too_many);
    EXPECT_EQ(too_many.rc, -1);
    EXPECT_NE(too_many.error.find("more than 255 images"), std::string::npos) << too_many.error;
}

} // namespace
