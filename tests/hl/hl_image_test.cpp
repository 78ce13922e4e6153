// Images and palettes: made, marked, linked and read back, also after
// the file was closed and opened again.
#include "quor7.h"
#include "quor7_fault.h"
#include "quor7_hl.h"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using q7test::TempDir;

class HlImage : public ::testing::Test {
protected:
    void SetUp() override {
        Q7open();
        Q7Eset_auto2(0, nullptr, nullptr);
        path_ = dir_.file("images.q7");
        file_ = Q7Fcreate(path_.c_str(), Q7F_ACC_TRUNC, 0, 0);
        ASSERT_GE(file_, 0);
    }
    void TearDown() override {
        if (file_ >= 0) Q7Fclose(file_);
        Q7fault_clear();
    }
    void reopen() {
        ASSERT_GE(Q7Fclose(file_), 0);
        file_ = Q7Fopen(path_.c_str(), Q7F_ACC_RDWR, 0);
        ASSERT_GE(file_, 0);
    }
    static std::vector<unsigned char> pattern(size_t n, unsigned seed) {
        std::vector<unsigned char> v(n);
        for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>((i * 31 + seed) ^ (i >> 3));
        return v;
    }

    TempDir dir_;
    std::string path_;
    q7id_t file_ = -1;
};

TEST_F(HlImage, ImageWithPaletteSurvivesReopening) {
    const q7size_t width = 37, height = 5;  // not square, so rows and columns cannot swap unseen
    auto pixels = pattern(width * height, 3);
    auto colours = pattern(16 * 3, 9);
    q7size_t pal_dims[2] = {16, 3};
    ASSERT_GE(Q7IMmake_palette(file_, "pal", pal_dims, colours.data()), 0);
    ASSERT_GE(Q7IMmake_image_8bit(file_, "img", width, height, pixels.data()), 0);
    ASSERT_GE(Q7IMlink_palette(file_, "img", "pal"), 0);
    reopen();

    EXPECT_GT(Q7IMis_image(file_, "img"), 0);
    EXPECT_EQ(Q7IMis_palette(file_, "img"), 0);
    EXPECT_GT(Q7IMis_palette(file_, "pal"), 0);
    EXPECT_EQ(Q7IMis_image(file_, "pal"), 0);
    q7size_t w = 0, h = 0, npals = 0;
    ASSERT_GE(Q7IMget_image_info(file_, "img", &w, &h, &npals), 0);
    EXPECT_EQ(w, width);
    EXPECT_EQ(h, height);
    EXPECT_EQ(npals, 1u);
    // Stored as height rows of width columns.
    q7id_t dset = Q7Dopen2(file_, "img", 0);
    q7id_t space = Q7Dget_space(dset);
    q7size_t dims[2] = {0, 0};
    EXPECT_EQ(Q7Sget_simple_extent_dims(space, dims, nullptr), 2);
    EXPECT_EQ(dims[0], height);
    EXPECT_EQ(dims[1], width);
    Q7Sclose(space);
    Q7Dclose(dset);

    std::vector<unsigned char> back(width * height);
    ASSERT_GE(Q7IMread_image(file_, "img", back.data()), 0);
    EXPECT_EQ(back, pixels);
    q7size_t got_dims[2] = {0, 0};
    ASSERT_GE(Q7IMget_palette_info(file_, "img", 0, got_dims), 0);
    EXPECT_EQ(got_dims[0], 16u);
    EXPECT_EQ(got_dims[1], 3u);
    std::vector<unsigned char> pal_back(16 * 3);
    ASSERT_GE(Q7IMread_palette(file_, "img", 0, pal_back.data()), 0);
    EXPECT_EQ(pal_back, colours);
    char name[64];
    EXPECT_EQ(Q7IMget_palette_name(file_, "img", 0, name, sizeof name), 4);
    EXPECT_STREQ(name, "/pal");
    EXPECT_LT(Q7IMget_palette_info(file_, "img", 1, got_dims), 0);
    EXPECT_LT(Q7IMread_palette(file_, "img", -1, pal_back.data()), 0);
}

TEST_F(HlImage, PalettesAcrossGroupsLinkOnceEachAndUnlink) {
    q7id_t images = Q7Gcreate2(file_, "images", 0, 0, 0);
    q7id_t colours = Q7Gcreate2(file_, "colours", 0, 0, 0);
    ASSERT_GE(images, 0);
    ASSERT_GE(colours, 0);
    auto pixels = pattern(4 * 4, 1);
    auto grey = pattern(2 * 3, 2);
    auto warm = pattern(256 * 3, 4);
    q7size_t grey_dims[2] = {2, 3}, warm_dims[2] = {256, 3};
    ASSERT_GE(Q7IMmake_palette(colours, "grey", grey_dims, grey.data()), 0);
    ASSERT_GE(Q7IMmake_palette(colours, "warm", warm_dims, warm.data()), 0);
    ASSERT_GE(Q7IMmake_image_8bit(images, "a", 4, 4, pixels.data()), 0);
    // Paths relative to the file, reached from another group.
    EXPECT_GE(Q7IMlink_palette(file_, "images/a", "colours/warm"), 0);
    EXPECT_GE(Q7IMlink_palette(file_, "images/a", "/colours/grey"), 0);
    EXPECT_GE(Q7IMlink_palette(images, "a", "/colours/warm"), 0);  // already attached: no change
    EXPECT_EQ(Q7IMget_npalettes(images, "a"), 2);
    std::vector<unsigned char> back(256 * 3);
    ASSERT_GE(Q7IMread_palette(images, "a", 0, back.data()), 0);
    EXPECT_EQ(back, warm);
    ASSERT_GE(Q7IMread_palette(images, "a", 1, back.data()), 0);
    EXPECT_EQ(std::vector<unsigned char>(back.begin(), back.begin() + 6), grey);

    ASSERT_GE(Q7IMunlink_palette(images, "a", "/colours/warm"), 0);
    EXPECT_LT(Q7IMunlink_palette(images, "a", "/colours/warm"), 0);
    EXPECT_EQ(Q7IMget_npalettes(images, "a"), 1);
    ASSERT_GE(Q7IMread_palette(images, "a", 0, back.data()), 0);
    EXPECT_EQ(std::vector<unsigned char>(back.begin(), back.begin() + 6), grey);
    Q7Gclose(images);
    Q7Gclose(colours);
}

TEST_F(HlImage, RefusalsLeaveNothingBehind) {
    auto pixels = pattern(6, 0);
    q7size_t bad_dims[2] = {2, 4};
    q7size_t no_colours[2] = {0, 3};
    EXPECT_LT(Q7IMmake_image_8bit(file_, "zero", 0, 3, pixels.data()), 0);
    EXPECT_LT(Q7IMmake_image_8bit(file_, "zero", 3, 0, pixels.data()), 0);
    EXPECT_LT(Q7IMmake_image_8bit(file_, "null", 3, 2, nullptr), 0);
    EXPECT_LT(Q7IMmake_image_8bit(file_, "", 3, 2, pixels.data()), 0);
    EXPECT_LT(Q7IMmake_palette(file_, "rgba", bad_dims, pixels.data()), 0);
    EXPECT_LT(Q7IMmake_palette(file_, "none", no_colours, pixels.data()), 0);
    EXPECT_EQ(Q7Lexists(file_, "zero", 0), 0);
    EXPECT_EQ(Q7Lexists(file_, "null", 0), 0);
    EXPECT_EQ(Q7Lexists(file_, "rgba", 0), 0);
    EXPECT_EQ(Q7Lexists(file_, "none", 0), 0);

    // A name that is taken is refused and the first image stays.
    ASSERT_GE(Q7IMmake_image_8bit(file_, "img", 3, 2, pixels.data()), 0);
    auto other = pattern(6, 50);
    EXPECT_LT(Q7IMmake_image_8bit(file_, "img", 3, 2, other.data()), 0);
    std::vector<unsigned char> back(6);
    ASSERT_GE(Q7IMread_image(file_, "img", back.data()), 0);
    EXPECT_EQ(back, pixels);

    // Only palettes attach, only to images; plain datasets are neither.
    q7size_t dims[2] = {2, 3};
    q7id_t space = Q7Screate_simple(2, dims, nullptr);
    q7id_t plain = Q7Dcreate2(file_, "plain", Q7T_NATIVE_UINT8_g, space, 0, 0, 0);
    ASSERT_GE(plain, 0);
    Q7Dclose(plain);
    Q7Sclose(space);
    EXPECT_EQ(Q7IMis_image(file_, "plain"), 0);
    EXPECT_EQ(Q7IMis_palette(file_, "plain"), 0);
    EXPECT_LT(Q7IMis_image(file_, "missing"), 0);
    EXPECT_LT(Q7IMlink_palette(file_, "img", "plain"), 0);
    EXPECT_LT(Q7IMlink_palette(file_, "plain", "img"), 0);
    EXPECT_LT(Q7IMlink_palette(file_, "img", "missing"), 0);
    EXPECT_LT(Q7IMread_image(file_, "plain", back.data()), 0);
    EXPECT_LT(Q7IMget_image_info(file_, "plain", nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(Q7IMget_npalettes(file_, "img"), 0);
}

TEST_F(HlImage, APaletteInAnotherFileIsNotAttached) {
    // Reached through an external link, a palette of another file would
    // be recorded under a path that means something else in this file.
    std::string other = dir_.file("other.q7");
    q7id_t f2 = Q7Fcreate(other.c_str(), Q7F_ACC_TRUNC, 0, 0);
    ASSERT_GE(f2, 0);
    auto colours = pattern(6, 1);
    q7size_t dims[2] = {2, 3};
    ASSERT_GE(Q7IMmake_palette(f2, "pal", dims, colours.data()), 0);
    ASSERT_GE(Q7Fclose(f2), 0);
    ASSERT_GE(Q7Lcreate_external(other.c_str(), "/pal", file_, "ext", 0, 0), 0);
    auto pixels = pattern(4, 0);
    ASSERT_GE(Q7IMmake_image_8bit(file_, "img", 2, 2, pixels.data()), 0);
    ASSERT_GT(Q7IMis_palette(file_, "ext"), 0);
    EXPECT_LT(Q7IMlink_palette(file_, "img", "ext"), 0);
    EXPECT_EQ(Q7IMget_npalettes(file_, "img"), 0);
}

TEST_F(HlImage, AFailedWriteRemovesTheHalfMadeImage) {
    if (!Q7fault_enabled()) GTEST_SKIP() << "fault injection not compiled in";
    auto pixels = pattern(64, 0);
    Q7fault_arm("Q7Dwrite", 1, 1);
    EXPECT_LT(Q7IMmake_image_8bit(file_, "img", 8, 8, pixels.data()), 0);
    EXPECT_EQ(Q7Lexists(file_, "img", 0), 0);
    Q7fault_arm("Q7Acreate2", 1, 1);
    EXPECT_LT(Q7IMmake_image_8bit(file_, "img", 8, 8, pixels.data()), 0);
    EXPECT_EQ(Q7Lexists(file_, "img", 0), 0);
    ASSERT_GE(Q7IMmake_image_8bit(file_, "img", 8, 8, pixels.data()), 0);

    // A link whose update fails keeps the earlier links.
    q7size_t dims[2] = {2, 3};
    ASSERT_GE(Q7IMmake_palette(file_, "p1", dims, pixels.data()), 0);
    ASSERT_GE(Q7IMmake_palette(file_, "p2", dims, pixels.data() + 6), 0);
    ASSERT_GE(Q7IMlink_palette(file_, "img", "p1"), 0);
    Q7fault_arm("Q7Acreate2", 1, 1);
    EXPECT_LT(Q7IMlink_palette(file_, "img", "p2"), 0);
    EXPECT_EQ(Q7IMget_npalettes(file_, "img"), 1);
    char name[16];
    EXPECT_GT(Q7IMget_palette_name(file_, "img", 0, name, sizeof name), 0);
    EXPECT_STREQ(name, "/p1");
}

TEST_F(HlImage, ALargeImageSpanningManyChunksReadsBackWhole) {
    const q7size_t width = 3000, height = 700;  // more than one chunk, a partial last one
    auto pixels = pattern(width * height, 77);
    ASSERT_GE(Q7IMmake_image_8bit(file_, "big", width, height, pixels.data()), 0);
    reopen();
    std::vector<unsigned char> back(width * height);
    ASSERT_GE(Q7IMread_image(file_, "big", back.data()), 0);
    EXPECT_TRUE(back == pixels);
}

} // namespace
