// No exception leaves a high-level call: an exception thrown by any one
// allocation inside the call - an allocation failure, or any other kind -
// makes the call fail with a record on the default stack, or leaves it
// succeeding; the next call without a fault gives the right answer.
#include "quor7.h"
#include "quor7_hl.h"
#include "error_stack.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>

// Allocation number g_throw_at (counted from 1 since arming) throws once;
// 0: none does.  Replaces operator new for the whole test program, the
// libraries included.
namespace {
long g_throw_at = 0;
long g_count = 0;
bool g_bad_alloc = true;  // which exception the armed allocation throws
} // namespace

void *operator new(std::size_t n) {
    if (g_throw_at > 0 && ++g_count == g_throw_at) {
        if (g_bad_alloc) throw std::bad_alloc();
        throw std::runtime_error("armed allocation");
    }
    if (void *p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
// GCC pairs the replaced operator new with free() as mismatched; the pair
// here is malloc and free on both sides.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

using q7test::TempDir;

TEST(HlExceptions, AnyThrowingAllocationFailsTheCallCleanly) {
    Q7open();
    Q7Eset_auto2(0, nullptr, nullptr);
    TempDir dir;
    const std::string path = dir.file("exceptions.q7");
    q7id_t file = Q7Fcreate(path.c_str(), Q7F_ACC_TRUNC, 0, 0);
    ASSERT_GE(file, 0);
    unsigned char pixels[4 * 3] = {}, colours[2 * 3] = {1, 2, 3, 4, 5, 6};
    q7size_t pal_dims[2] = {2, 3};
    ASSERT_GE(Q7IMmake_palette(file, "pal", pal_dims, colours), 0);
    ASSERT_GE(Q7IMmake_image_8bit(file, "img", 4, 3, pixels), 0);
    ASSERT_GE(Q7IMlink_palette(file, "img", "pal"), 0);

    struct Case {
        const char *what;
        std::function<long long()> call;  // result, -1 on failure
        long long expected;               // result without a fault
    };
    char name[64];
    const Case cases[] = {
        {"Q7IMget_npalettes", [&] { return (long long)Q7IMget_npalettes(file, "img"); }, 1},
        {"Q7IMget_palette_name", [&] { return (long long)Q7IMget_palette_name(file, "img", 0, name, sizeof name); }, 4},
        {"Q7IMis_image", [&] { return (long long)Q7IMis_image(file, "img"); }, 1},
        {"Q7IMlink_palette again", [&] { return (long long)Q7IMlink_palette(file, "img", "pal"); }, 0},
    };
    for (bool bad_alloc : {true, false}) {
        for (const Case &c : cases) {
            for (long at = 1;; ++at) {
                SCOPED_TRACE(std::string(c.what) + (bad_alloc ? ", bad_alloc" : ", runtime_error") +
                             " at allocation " + std::to_string(at));
                g_bad_alloc = bad_alloc;
                g_count = 0;
                g_throw_at = at;
                long long rc = 0;
                bool escaped = false;
                try {
                    rc = c.call();
                } catch (...) {
                    escaped = true;
                }
                const bool reached = g_count >= at;
                g_throw_at = 0;
                ASSERT_FALSE(escaped) << "an exception left the call";
                if (rc < 0) {
                    EXPECT_NE(q7test::error_text(), "") << "a failed call left no record";
                } else {
                    EXPECT_EQ(rc, c.expected);
                }
                EXPECT_EQ(c.call(), c.expected) << "the call without a fault";
                if (!reached) break;  // every allocation of the call has thrown once
            }
        }
    }
    EXPECT_EQ(std::string(name), "/pal");
    ASSERT_GE(Q7Fclose(file), 0);
}

} // namespace
