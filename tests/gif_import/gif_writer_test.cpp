// The image writer's own rules, on decoded GIFs built by hand and the
// real high-level library, with faults injected where a rule needs one.
#include "q7gif.h"
#include "quor7.h"
#include "quor7_fault.h"
#include "quor7_hl.h"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

using q7test::TempDir;

// A decoded GIF owned by the test: images of w x h with distinct pixels.
struct DecodedGif {
    DecodedGif(int count, int width, int height, uint8_t packed, int64_t colours) {
        screen = std::make_unique<q7gif_screen_t>();
        screen->packed = packed;
        screen->num_colours = colours;
        screen->image_count = uint8_t(count);
        for (int i = 0; i < 256 * 3; ++i) screen->global_palette[i] = uint8_t(i * 7 + 1);
        for (int i = 0; i < count; ++i) {
            auto image = std::make_unique<q7gif_image_t>();
            image->width = width;
            image->height = height;
            pixels.emplace_back(size_t(width * height));
            for (size_t p = 0; p < pixels.back().size(); ++p) pixels.back()[p] = uint8_t(p * 13 + size_t(i));
            image->pixels = pixels.back().data();
            pointers.push_back(image.get());
            images.push_back(std::move(image));
        }
    }
    q7gif_t gif() { return q7gif_t{screen.get(), pointers.data(), pointers.size()}; }

    std::unique_ptr<q7gif_screen_t> screen;
    std::vector<std::unique_ptr<q7gif_image_t>> images;
    std::vector<q7gif_image_t *> pointers;
    std::vector<std::vector<uint8_t>> pixels;
};

class Writer : public ::testing::Test {
protected:
    void SetUp() override {
        Q7open();
        Q7Eset_auto2(0, nullptr, nullptr);
        path_ = dir_.file("out.q7");
    }
    void TearDown() override {
        Q7fault_clear();
        Q7close();  // also closes what a failed write left open
        Q7open();
    }
    // Runs the writer, capturing what it prints.
    int32_t write(DecodedGif &d) {
        ::testing::internal::CaptureStderr();
        int32_t rc = WriteQuor(d.gif(), path_.c_str());
        printed_ = ::testing::internal::GetCapturedStderr();
        return rc;
    }
    q7id_t open() {
        q7id_t f = Q7Fopen(path_.c_str(), Q7F_ACC_RDONLY, 0);
        EXPECT_GE(f, 0);
        return f;
    }
    static std::vector<uint8_t> read_image(q7id_t file, const char *name) {
        q7size_t w = 0, h = 0, n = 0;
        if (Q7IMget_image_info(file, name, &w, &h, &n) < 0) return {};
        std::vector<uint8_t> v(w * h);
        if (Q7IMread_image(file, name, v.data()) < 0) return {};
        return v;
    }

    TempDir dir_;
    std::string path_;
    std::string printed_;
};

TEST_F(Writer, StoresThePaletteAndEveryImageWithItAttached) {
    DecodedGif d(2, 5, 3, 0x80 | 0x71, 4);
    ASSERT_EQ(write(d), 0);
    EXPECT_EQ(printed_, "");
    q7id_t f = open();
    q7size_t dims[2] = {0, 0};
    ASSERT_GE(Q7IMget_palette_info(f, "Image0", 0, dims), 0);
    EXPECT_EQ(dims[0], 4u);
    EXPECT_EQ(dims[1], 3u);
    EXPECT_GT(Q7IMis_palette(f, "global"), 0);
    for (int i = 0; i < 2; ++i) {
        std::string name = "Image" + std::to_string(i);
        SCOPED_TRACE(name);
        q7size_t w = 0, h = 0, n = 0;
        ASSERT_GE(Q7IMget_image_info(f, name.c_str(), &w, &h, &n), 0);
        EXPECT_EQ(w, 5u);
        EXPECT_EQ(h, 3u);
        EXPECT_EQ(n, 1u);
        EXPECT_EQ(read_image(f, name.c_str()), d.pixels[size_t(i)]);
        char pal[32];
        EXPECT_GT(Q7IMget_palette_name(f, name.c_str(), 0, pal, sizeof pal), 0);
        EXPECT_STREQ(pal, "/global");
        std::vector<uint8_t> colours(12);
        ASSERT_GE(Q7IMread_palette(f, name.c_str(), 0, colours.data()), 0);
        EXPECT_EQ(colours, std::vector<uint8_t>(d.screen->global_palette, d.screen->global_palette + 12));
    }
    Q7Fclose(f);
}

TEST_F(Writer, OnlyTheTopBitSaysThereIsAPalette) {
    // Every other bit set, and a colour count that could not be stored:
    // neither the count nor the palette bytes are looked at.
    DecodedGif d(1, 2, 2, 0x7F, -5);
    ASSERT_EQ(write(d), 0);
    q7id_t f = open();
    EXPECT_EQ(Q7Lexists(f, "global", 0), 0);
    EXPECT_EQ(Q7IMget_npalettes(f, "Image0"), 0);
    EXPECT_EQ(read_image(f, "Image0"), d.pixels[0]);
    Q7Fclose(f);
}

TEST_F(Writer, ColourCountIsTakenAsStoredNotFromTheSizeBits) {
    DecodedGif d(1, 2, 2, 0x80 | 0x07, 3);  // size bits say 256 colours
    ASSERT_EQ(write(d), 0);
    q7id_t f = open();
    q7size_t dims[2] = {0, 0};
    ASSERT_GE(Q7IMget_palette_info(f, "Image0", 0, dims), 0);
    EXPECT_EQ(dims[0], 3u);
    EXPECT_EQ(dims[1], 3u);
    Q7Fclose(f);
}

TEST_F(Writer, ZeroAndTwoHundredFiftyFiveImages) {
    {
        DecodedGif d(0, 1, 1, 0x80, 2);
        ASSERT_EQ(write(d), 0);
        q7id_t f = open();
        EXPECT_GT(Q7IMis_palette(f, "global"), 0);
        EXPECT_EQ(Q7Lexists(f, "Image0", 0), 0);
        Q7Fclose(f);
    }
    {
        DecodedGif d(255, 1, 2, 0x80, 2);
        ASSERT_EQ(write(d), 0);
        q7id_t f = open();
        for (int i = 0; i < 255; ++i) {
            std::string name = "Image" + std::to_string(i);
            ASSERT_GT(Q7IMis_image(f, name.c_str()), 0) << name;
            ASSERT_EQ(Q7IMget_npalettes(f, name.c_str()), 1) << name;
        }
        EXPECT_EQ(Q7Lexists(f, "Image255", 0), 0);
        EXPECT_EQ(Q7Lexists(f, "Image00", 0), 0);
        EXPECT_EQ(read_image(f, "Image254"), d.pixels[254]);
        Q7Fclose(f);
    }
}

TEST_F(Writer, AFailingStepReturnsAtOnceLeavingTheFileOpenAndInPlace) {
    if (!Q7fault_enabled()) GTEST_SKIP() << "fault injection not compiled in";
    struct Case {
        const char *fault;
        long nth;
        std::vector<long> palettes;  // images in the file afterwards, and the palettes of each
    };
    const Case cases[] = {
        {"Q7IMmake_palette", 1, {}},
        {"Q7IMmake_image_8bit", 1, {}},
        {"Q7IMmake_image_8bit", 2, {1}},  // the second image
        {"Q7IMlink_palette", 1, {0}},
        {"Q7IMlink_palette", 2, {1, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.fault) + "@" + std::to_string(c.nth));
        DecodedGif d(3, 4, 4, 0x80, 8);
        long closes = Q7fault_calls("Q7Fclose");
        Q7fault_arm(c.fault, c.nth, 1);
        EXPECT_EQ(write(d), -1);
        EXPECT_EQ(printed_, "");
        EXPECT_EQ(Q7fault_calls("Q7Fclose"), closes);  // not closed
        EXPECT_TRUE(std::filesystem::exists(path_));   // not removed
        Q7fault_clear();
        Q7close();  // the only way to reach the identifier the writer kept
        Q7open();
        Q7Eset_auto2(0, nullptr, nullptr);
        q7id_t f = open();
        for (size_t i = 0; i < 3; ++i) {
            std::string name = "Image" + std::to_string(i);
            bool present = i < c.palettes.size();
            EXPECT_EQ(Q7Lexists(f, name.c_str(), 0) > 0, present) << name;
            if (present) {
                EXPECT_EQ(Q7IMget_npalettes(f, name.c_str()), c.palettes[i]) << name;
                EXPECT_EQ(read_image(f, name.c_str()), d.pixels[i]) << name;
            }
        }
        EXPECT_EQ(Q7Lexists(f, "global", 0) > 0, std::string(c.fault) != "Q7IMmake_palette");
        Q7Fclose(f);
    }
}

TEST_F(Writer, AFailedCloseIsReportedAndTheProcessGoesOn) {
    if (!Q7fault_enabled()) GTEST_SKIP() << "fault injection not compiled in";
    DecodedGif d(1, 2, 2, 0x80, 2);
    Q7fault_arm("Q7Fclose", 1, 1);
    EXPECT_EQ(write(d), -1);
    EXPECT_EQ(printed_, "Could not close Quor7 file. Aborting...\n");
}

TEST_F(Writer, AFileThatCannotBeCreatedEndsTheProcess) {
    DecodedGif d(1, 2, 2, 0x80, 2);
    std::string nowhere = dir_.file("no/such/dir/out.q7");
    EXPECT_EXIT(
        {
            Q7Eset_auto2(0, nullptr, nullptr);
            WriteQuor(d.gif(), nowhere.c_str());
        },
        ::testing::ExitedWithCode(1),
        "^Quor file could not be opened for writing\n"
        "NOTE: GIF file must be present in the same directory as the binary on UNIX systems\\.\n$");
    EXPECT_FALSE(std::filesystem::exists(nowhere));
}

} // namespace
