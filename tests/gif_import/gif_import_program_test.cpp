// gif2q7 and q7topng run as programs on GIFs written with giflib; what
// they stored is read back through the high-level calls and libpng.
#include "gif_test_support.hpp"
#include "quor7.h"
#include "quor7_hl.h"
#include "test_support.hpp"

#include <gtest/gtest.h>
#include <png.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

using gif_test::Gif;
using q7test::TempDir;

std::string shell_word(const std::string &s) { return "'" + s + "'"; }

q7test::CommandResult gif2q7(const std::string &args, const std::string &faults = "") {
    std::string env = faults.empty() ? "" : "QUOR7_FAULTS='" + faults + "' ";
    return q7test::run(env + q7test::program("gif2q7") + " " + args);
}

std::string write_gif(const TempDir &dir, const Gif &gif, const std::string &name = "in.gif") {
    std::string path = dir.file(name);
    std::string error;
    EXPECT_TRUE(q7gif_encode::write_gif(path, gif, &error)) << error;
    return path;
}

// Every file in dir but the ones named.
std::vector<std::string> other_files(const TempDir &dir, const std::vector<std::string> &known) {
    std::vector<std::string> rest;
    for (const auto &e : std::filesystem::directory_iterator(dir.path())) {
        std::string name = e.path().filename().string();
        bool is_known = false;
        for (const auto &k : known) is_known = is_known || k == name;
        if (!is_known) rest.push_back(name);
    }
    return rest;
}

// Checks that file holds gif as gif2q7 stores it.
void expect_file_holds(const std::string &path, const Gif &gif) {
    Q7open();
    q7id_t f = Q7Fopen(path.c_str(), Q7F_ACC_RDONLY, 0);
    ASSERT_GE(f, 0);
    const bool has_palette = !gif.global_palette.empty();
    EXPECT_EQ(Q7Lexists(f, "global", 0) > 0, has_palette);
    for (size_t i = 0; i < gif.frames.size(); ++i) {
        std::string name = "Image" + std::to_string(i);
        SCOPED_TRACE(name);
        q7size_t w = 0, h = 0, n = 0;
        ASSERT_GE(Q7IMget_image_info(f, name.c_str(), &w, &h, &n), 0);
        EXPECT_EQ(w, q7size_t(gif.frames[i].width));
        EXPECT_EQ(h, q7size_t(gif.frames[i].height));
        std::vector<uint8_t> pixels(w * h);
        ASSERT_GE(Q7IMread_image(f, name.c_str(), pixels.data()), 0);
        EXPECT_EQ(pixels, gif.frames[i].pixels);
        ASSERT_EQ(n, has_palette ? 1u : 0u);
        if (has_palette) {
            q7size_t dims[2] = {0, 0};
            ASSERT_GE(Q7IMget_palette_info(f, name.c_str(), 0, dims), 0);
            std::vector<uint8_t> colours(dims[0] * dims[1]);
            ASSERT_GE(Q7IMread_palette(f, name.c_str(), 0, colours.data()), 0);
            EXPECT_EQ(colours, gif.global_palette);
        }
    }
    EXPECT_EQ(Q7Lexists(f, ("Image" + std::to_string(gif.frames.size())).c_str(), 0), 0);
    Q7Fclose(f);
}

TEST(Gif2q7, ImportsEveryIndexAndPaletteByteExactly) {
    struct Case {
        const char *what;
        Gif gif;
    };
    std::vector<Case> cases;
    cases.push_back({"one frame, 2 colours", gif_test::simple_gif(17, 3, 2, 1)});
    cases.push_back({"many frames, 16 colours", gif_test::simple_gif(40, 25, 16, 6)});
    Gif interlaced = gif_test::simple_gif(31, 29, 8, 2);
    for (auto &f : interlaced.frames) f.interlaced = true;
    cases.push_back({"interlaced", interlaced});
    cases.push_back({"256 colours", gif_test::simple_gif(64, 64, 256, 2)});
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        std::string in = write_gif(dir, c.gif);
        auto r = gif2q7(shell_word(in) + " " + shell_word(dir.file("out.q7")));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(other_files(dir, {"in.gif", "out.q7"}), std::vector<std::string>{});
        expect_file_holds(dir.file("out.q7"), c.gif);
    }
}

TEST(Gif2q7, OddInputIsImportedWithWarningsNamingTheImage) {
    TempDir dir;
    Gif gif = gif_test::simple_gif(8, 8, 4, 2);
    gif.global_palette.clear();
    for (auto &f : gif.frames) f.local_palette = gif_test::palette(4, 1);
    std::string in = write_gif(dir, gif);
    auto r = gif2q7(shell_word(in) + " " + shell_word(dir.file("out.q7")));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("gif2q7 warning: " + in + ": Image1 has a local colour table"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("no global colour table"), std::string::npos) << r.err;
    expect_file_holds(dir.file("out.q7"), gif);
}

TEST(Gif2q7, InputThatCannotBeImportedLeavesNothingAndKeepsAnOldOutput) {
    TempDir dir;
    std::string in = dir.file("bad.gif");
    {
        FILE *f = std::fopen(in.c_str(), "wb");
        std::fputs("GIF89a but nothing else", f);
        std::fclose(f);
    }
    std::string out = dir.file("out.q7");
    {
        FILE *f = std::fopen(out.c_str(), "wb");
        std::fputs("an earlier result", f);
        std::fclose(f);
    }
    auto r = gif2q7(shell_word(in) + " " + shell_word(out));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("gif2q7: cannot import " + in + ": "), std::string::npos) << r.err;
    EXPECT_EQ(q7test::read_file(out), "an earlier result");

    auto missing = gif2q7(shell_word(dir.file("missing.gif")) + " " + shell_word(dir.file("m.q7")));
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("cannot open"), std::string::npos) << missing.err;
    EXPECT_EQ(other_files(dir, {"bad.gif", "out.q7"}), std::vector<std::string>{});
}

TEST(Gif2q7, AFailureWhileWritingRemovesTheHalfWrittenFile) {
    TempDir dir;
    Gif gif = gif_test::simple_gif(8, 8, 4, 3);
    std::string in = write_gif(dir, gif);
    for (const char *fault : {"Q7IMmake_image_8bit@2", "Q7IMlink_palette@3", "Q7Fclose@1"}) {
        SCOPED_TRACE(fault);
        auto r = gif2q7(shell_word(in) + " " + shell_word(dir.file("out.q7")), fault);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("gif2q7: could not write " + dir.file("out.q7")), std::string::npos) << r.err;
        EXPECT_EQ(other_files(dir, {"in.gif"}), std::vector<std::string>{});
    }
    auto uncreatable = gif2q7(shell_word(in) + " " + shell_word(dir.file("no/dir/out.q7")));
    EXPECT_EQ(uncreatable.status, 1);
    EXPECT_NE(uncreatable.err.find("Quor file could not be opened for writing\n"), std::string::npos);
}

// Decodes a PNG with libpng into 8-bit RGB.
bool read_png_rgb(const std::string &path, png_uint_32 &width, png_uint_32 &height, std::vector<uint8_t> &rgb) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
    image.format = PNG_FORMAT_RGB;
    rgb.assign(PNG_IMAGE_SIZE(image), 0);
    width = image.width;
    height = image.height;
    bool ok = png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr) != 0;
    png_image_free(&image);
    return ok;
}

TEST(Q7topng, PixelsComeOutThroughThePalette) {
    TempDir dir;
    Gif gif = gif_test::simple_gif(23, 11, 16, 2);
    // The second frame uses indices 0..63 through a local table, beyond
    // the 16 stored colours: those come out black.
    gif.frames[1] = gif_test::frame(23, 11, 64, 5);
    gif.frames[1].local_palette = gif_test::palette(64, 9);
    std::string in = write_gif(dir, gif);
    ASSERT_EQ(gif2q7(shell_word(in) + " " + shell_word(dir.file("a.q7"))).status, 0);
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        std::string png = dir.file("img" + std::to_string(i) + ".png");
        auto r = q7test::run(q7test::program("q7topng") + " " + shell_word(dir.file("a.q7")) + " Image" +
                             std::to_string(i) + " " + shell_word(png));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err.find("beyond") != std::string::npos, i == 1) << r.err;
        png_uint_32 w = 0, h = 0;
        std::vector<uint8_t> rgb;
        ASSERT_TRUE(read_png_rgb(png, w, h, rgb));
        EXPECT_EQ(w, 23u);
        EXPECT_EQ(h, 11u);
        std::vector<uint8_t> expected;
        for (uint8_t index : gif.frames[size_t(i)].pixels)
            for (int c = 0; c < 3; ++c)
                expected.push_back(index < 16 ? gif.global_palette[size_t(index) * 3 + size_t(c)] : 0);
        EXPECT_EQ(rgb, expected);
    }
}

TEST(Q7topng, ImageWithoutPaletteIsGreyAndBadRequestsFail) {
    TempDir dir;
    Gif gif = gif_test::simple_gif(6, 5, 4, 1);
    gif.global_palette.clear();
    gif.frames[0].local_palette = gif_test::palette(4);
    std::string in = write_gif(dir, gif);
    ASSERT_EQ(gif2q7(shell_word(in) + " " + shell_word(dir.file("a.q7"))).status, 0);
    std::string png = dir.file("grey.png");
    auto r = q7test::run(q7test::program("q7topng") + " " + shell_word(dir.file("a.q7")) + " Image0 " + shell_word(png));
    ASSERT_EQ(r.status, 0) << r.err;
    png_uint_32 w = 0, h = 0;
    std::vector<uint8_t> rgb;
    ASSERT_TRUE(read_png_rgb(png, w, h, rgb));
    std::vector<uint8_t> expected;
    for (uint8_t index : gif.frames[0].pixels) expected.insert(expected.end(), 3, index);
    EXPECT_EQ(rgb, expected);

    for (const std::string &args : {shell_word(dir.file("a.q7")) + " Image7 " + shell_word(dir.file("x.png")),
                                    shell_word(dir.file("missing.q7")) + " Image0 " + shell_word(dir.file("x.png")),
                                    shell_word(in) + " Image0 " + shell_word(dir.file("x.png")), std::string("a b")}) {
        SCOPED_TRACE(args);
        auto bad = q7test::run(q7test::program("q7topng") + " " + args);
        EXPECT_EQ(bad.status, 1);
        EXPECT_NE(bad.err.find("q7topng"), std::string::npos);
        EXPECT_FALSE(std::filesystem::exists(dir.file("x.png")));
    }
}

} // namespace
