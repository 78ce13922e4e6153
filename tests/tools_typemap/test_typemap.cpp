// Fixed-endian mapping against the storage library's own datatypes.
#include <gtest/gtest.h>

#include "kit_typemap.h"
#include "quor7.h"
#include "quor7_fault.h"

namespace {

struct StandardPair {
    const char *name;
    const q7id_t *little;
    const q7id_t *big;
};

// The standard types that have a fixed-endian counterpart.
const StandardPair kPairs[] = {
    {"I8", &Q7T_STD_I8LE_g, &Q7T_STD_I8BE_g},       {"I16", &Q7T_STD_I16LE_g, &Q7T_STD_I16BE_g},
    {"I32", &Q7T_STD_I32LE_g, &Q7T_STD_I32BE_g},    {"I64", &Q7T_STD_I64LE_g, &Q7T_STD_I64BE_g},
    {"U8", &Q7T_STD_U8LE_g, &Q7T_STD_U8BE_g},       {"U16", &Q7T_STD_U16LE_g, &Q7T_STD_U16BE_g},
    {"U32", &Q7T_STD_U32LE_g, &Q7T_STD_U32BE_g},    {"U64", &Q7T_STD_U64LE_g, &Q7T_STD_U64BE_g},
    {"F32", &Q7T_IEEE_F32LE_g, &Q7T_IEEE_F32BE_g},  {"F64", &Q7T_IEEE_F64LE_g, &Q7T_IEEE_F64BE_g},
    {"B8", &Q7T_STD_B8LE_g, &Q7T_STD_B8BE_g},       {"B16", &Q7T_STD_B16LE_g, &Q7T_STD_B16BE_g},
    {"B32", &Q7T_STD_B32LE_g, &Q7T_STD_B32BE_g},    {"B64", &Q7T_STD_B64LE_g, &Q7T_STD_B64BE_g},
};

class TypeMap : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_GE(Q7open(), 0); }
};

// The result must be a new identifier that describes exactly `expected`,
// closable without harm to `expected`.
void expect_copy_of(q7id_t result, q7id_t expected, int32_t order, const std::string &what) {
    SCOPED_TRACE(what);
    ASSERT_GE(result, 0);
    EXPECT_NE(result, expected);
    EXPECT_GT(Q7Tequal(result, expected), 0);
    EXPECT_EQ(Q7Tget_class(result), Q7Tget_class(expected));
    EXPECT_EQ(Q7Tget_size(result), Q7Tget_size(expected));
    EXPECT_EQ(Q7Tget_order(result), order);
    EXPECT_GE(Q7Tclose(result), 0);
    EXPECT_LE(Q7Iis_valid(result), 0);
    // The predefined type is untouched by closing the copy.
    EXPECT_GT(Q7Iis_valid(expected), 0);
    EXPECT_EQ(Q7Tget_order(expected), order);
}

TEST_F(TypeMap, EveryStandardTypeMapsInBothDirections) {
    for (const auto &p : kPairs) {
        for (q7id_t arg : {*p.little, *p.big}) {
            std::string tag = std::string(p.name) + (arg == *p.little ? " from LE" : " from BE");
            expect_copy_of(q7tools_get_little_endian_type(arg), *p.little, Q7T_ORDER_LE, tag + " to LE");
            expect_copy_of(q7tools_get_big_endian_type(arg), *p.big, Q7T_ORDER_BE, tag + " to BE");
        }
        // The argument stays open and unchanged.
        EXPECT_GT(Q7Iis_valid(*p.big), 0);
    }
}

TEST_F(TypeMap, EachCallGivesADistinctIdentifier) {
    q7id_t a = q7tools_get_little_endian_type(Q7T_NATIVE_INT_g);
    q7id_t b = q7tools_get_little_endian_type(Q7T_NATIVE_INT_g);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    EXPECT_NE(a, b);
    EXPECT_GE(Q7Tclose(a), 0);
    // b survives the close of a.
    EXPECT_EQ(Q7Tget_size(b), 4u);
    EXPECT_GE(Q7Tclose(b), 0);
}

// A copy of `base` resized to `size` bytes.
q7id_t resized(q7id_t base, size_t size) {
    q7id_t t = Q7Tcopy(base);
    if (t < 0) return t;
    if (Q7Tset_size(t, size) < 0) {
        Q7Tclose(t);
        return -1;
    }
    return t;
}

TEST_F(TypeMap, SizesWithoutAStandardTypeGiveMinusOne) {
    struct Case {
        q7id_t base;
        size_t size;
    } cases[] = {
        {Q7T_IEEE_F32LE_g, 2}, {Q7T_IEEE_F64BE_g, 16}, {Q7T_STD_I32LE_g, 3},
        {Q7T_STD_U64BE_g, 16}, {Q7T_STD_B32LE_g, 3},   {Q7T_STD_B64BE_g, 16},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << "class " << Q7Tget_class(c.base) << " size " << c.size);
        q7id_t t = resized(c.base, c.size);
        ASSERT_GE(t, 0);
        ASSERT_EQ(Q7Tget_size(t), c.size);
        long copies = Q7fault_calls("Q7Tcopy");
        EXPECT_EQ(q7tools_get_little_endian_type(t), -1);
        EXPECT_EQ(q7tools_get_big_endian_type(t), -1);
        // No row: no copy is attempted.
        EXPECT_EQ(Q7fault_calls("Q7Tcopy"), copies);
        EXPECT_GE(Q7Tclose(t), 0);
    }
}

TEST_F(TypeMap, OtherClassesGiveMinusOne) {
    q7id_t opaque = Q7Tcreate(Q7T_OPAQUE, 4);
    q7id_t compound = Q7Tcreate(Q7T_COMPOUND, 4);
    ASSERT_GE(opaque, 0);
    ASSERT_GE(compound, 0);
    ASSERT_GE(Q7Tinsert(compound, "x", 0, Q7T_NATIVE_INT_g), 0);
    q7id_t string4 = resized(Q7T_C_S1_g, 4);
    ASSERT_GE(string4, 0);
    for (q7id_t t : {opaque, compound, string4, Q7T_C_S1_g}) {
        SCOPED_TRACE(::testing::Message() << "class " << Q7Tget_class(t));
        EXPECT_EQ(q7tools_get_little_endian_type(t), -1);
        EXPECT_EQ(q7tools_get_big_endian_type(t), -1);
    }
    Q7Tclose(opaque);
    Q7Tclose(compound);
    Q7Tclose(string4);
}

TEST_F(TypeMap, FailingCopyIsPassedBack) {
    if (!Q7fault_enabled()) GTEST_SKIP() << "fault injection not compiled in";
    Q7fault_arm("Q7Tcopy", 1, 1);
    EXPECT_LT(q7tools_get_big_endian_type(Q7T_NATIVE_INT_g), 0);
    Q7fault_clear();
    // The next call copies again.
    q7id_t t = q7tools_get_big_endian_type(Q7T_NATIVE_INT_g);
    EXPECT_GE(t, 0);
    Q7Tclose(t);
}

} // namespace
