// CoreTypes: predefined types, copies, compound members, the stored byte
// form and the conversion rules.
#include "internal.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

namespace {

class CoreTypes : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(Q7open(), 0);
        Q7Eset_auto2(0, nullptr, nullptr);
    }
    void TearDown() override { Q7Eset_auto2(0, Q7Eprint_auto2, nullptr); }
};

TEST_F(CoreTypes, PredefinedPropertiesOfThisPlatform) {
    struct {
        q7id_t id;
        int32_t cls;
        size_t size;
        int32_t sign, order;
    } const cases[] = {
        {Q7T_NATIVE_INT_g, Q7T_INTEGER, 4, Q7T_SGN_2, Q7T_ORDER_LE},
        {Q7T_NATIVE_UINT64_g, Q7T_INTEGER, 8, Q7T_SGN_NONE, Q7T_ORDER_LE},
        {Q7T_STD_I16BE_g, Q7T_INTEGER, 2, Q7T_SGN_2, Q7T_ORDER_BE},
        {Q7T_STD_B32BE_g, Q7T_BITFIELD, 4, Q7T_SGN_NONE, Q7T_ORDER_BE},
        {Q7T_IEEE_F32BE_g, Q7T_FLOAT, 4, Q7T_SGN_NONE, Q7T_ORDER_BE},
        {Q7T_C_S1_g, Q7T_STRING, 1, Q7T_SGN_NONE, Q7T_ORDER_NONE},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(Q7Iget_type(c.id), Q7I_DATATYPE);
        EXPECT_EQ(Q7Tget_class(c.id), c.cls) << c.id;
        EXPECT_EQ(Q7Tget_size(c.id), c.size) << c.id;
        EXPECT_EQ(Q7Tget_sign(c.id), c.sign) << c.id;
        EXPECT_EQ(Q7Tget_order(c.id), c.order) << c.id;
    }
    EXPECT_EQ(Q7Tequal(Q7T_NATIVE_INT_g, Q7T_STD_I32LE_g), 1);
    EXPECT_EQ(Q7Tequal(Q7T_NATIVE_INT_g, Q7T_STD_I32BE_g), 0);
    EXPECT_EQ(Q7Tequal(Q7T_NATIVE_INT_g, Q7T_NATIVE_UINT_g), 0);
}

TEST_F(CoreTypes, PredefinedCannotBeClosedOrChangedButCopiesCan) {
    EXPECT_LT(Q7Tclose(Q7T_NATIVE_INT_g), 0);
    EXPECT_GE(Q7Eget_num(0), 1);
    EXPECT_LT(Q7Tset_size(Q7T_STD_I32LE_g, 8), 0);
    EXPECT_LT(Q7Tset_order(Q7T_NATIVE_INT_g, Q7T_ORDER_BE), 0);
    EXPECT_EQ(Q7Tget_size(Q7T_STD_I32LE_g), 4u);
    EXPECT_EQ(Q7Iis_valid(Q7T_NATIVE_INT_g), 1);

    q7id_t a = Q7Tcopy(Q7T_NATIVE_INT_g), b = Q7Tcopy(Q7T_NATIVE_INT_g);
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    EXPECT_NE(a, b);
    EXPECT_NE(a, Q7T_NATIVE_INT_g);
    EXPECT_EQ(Q7Tequal(a, Q7T_NATIVE_INT_g), 1);
    EXPECT_GE(Q7Tset_order(a, Q7T_ORDER_BE), 0);
    EXPECT_GE(Q7Tset_size(a, 3), 0);
    EXPECT_EQ(Q7Tget_order(a), Q7T_ORDER_BE);
    EXPECT_EQ(Q7Tget_size(a), 3u);
    EXPECT_EQ(Q7Tget_order(b), Q7T_ORDER_LE);  // copies are independent
    EXPECT_EQ(Q7Tget_order(Q7T_NATIVE_INT_g), Q7T_ORDER_LE);
    EXPECT_LT(Q7Tset_order(a, Q7T_ORDER_NONE), 0);
    EXPECT_GE(Q7Tclose(a), 0);
    EXPECT_GE(Q7Tclose(b), 0);
    EXPECT_LT(Q7Tclose(a), 0);  // already closed
    EXPECT_EQ(Q7Iis_valid(a), 0);
}

TEST_F(CoreTypes, CompoundMembersFitAndOutliveTheirIdentifiers) {
    q7id_t rec = Q7Tcreate(Q7T_COMPOUND, 160);
    q7id_t blob = Q7Tcreate(Q7T_OPAQUE, 150);
    ASSERT_GT(rec, 0);
    ASSERT_GT(blob, 0);
    ASSERT_GE(Q7Tinsert(rec, "rec_id", 0, Q7T_NATIVE_UINT64_g), 0);
    ASSERT_GE(Q7Tinsert(rec, "payload", 8, blob), 0);
    ASSERT_GE(Q7Tclose(blob), 0);

    EXPECT_LT(Q7Tinsert(rec, "rec_id", 158, Q7T_NATIVE_UINT8_g), 0);    // duplicate name
    EXPECT_LT(Q7Tinsert(rec, "tail", 159, Q7T_NATIVE_INT16_g), 0);      // runs past the end
    EXPECT_LT(Q7Tinsert(rec, "lap", 4, Q7T_NATIVE_INT32_g), 0);         // overlaps rec_id
    EXPECT_LT(Q7Tinsert(rec, "huge", SIZE_MAX - 1, Q7T_NATIVE_INT_g), 0);  // offset wraps
    EXPECT_LT(Q7Tinsert(Q7T_NATIVE_INT_g, "x", 0, Q7T_NATIVE_INT8_g), 0);  // not a compound
    EXPECT_GE(Q7Tinsert(rec, "last", 158, Q7T_NATIVE_UINT16_g), 0);     // exactly fits

    ASSERT_EQ(Q7Tget_nmembers(rec), 3);
    char *name = Q7Tget_member_name(rec, 1);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "payload");
    Q7free_memory(name);
    EXPECT_EQ(Q7Tget_member_offset(rec, 1), 8u);
    q7id_t mt = Q7Tget_member_type(rec, 1);
    ASSERT_GT(mt, 0);
    EXPECT_EQ(Q7Tget_class(mt), Q7T_OPAQUE);
    EXPECT_EQ(Q7Tget_size(mt), 150u);
    EXPECT_GE(Q7Tclose(mt), 0);
    EXPECT_EQ(Q7Tget_member_type(rec, 3), -1);
    EXPECT_EQ(Q7Tget_member_name(rec, 9), nullptr);
    EXPECT_LT(Q7Tset_size(rec, 100), 0);  // would cut members
    EXPECT_LT(Q7Tcreate(Q7T_INTEGER, 4), 0);
    EXPECT_LT(Q7Tcreate(Q7T_COMPOUND, 0), 0);
    EXPECT_GE(Q7Tclose(rec), 0);
}

std::shared_ptr<q7::Datatype> nested_compound() {
    auto inner = std::make_shared<q7::Datatype>();
    inner->cls = Q7T_COMPOUND;
    inner->size = 12;
    inner->sign = Q7T_SGN_NONE;
    inner->order = Q7T_ORDER_NONE;
    auto i32 = std::make_shared<q7::Datatype>();
    i32->cls = Q7T_INTEGER;
    i32->size = 4;
    i32->sign = Q7T_SGN_2;
    i32->order = Q7T_ORDER_BE;
    auto f64 = std::make_shared<q7::Datatype>(*i32);
    f64->cls = Q7T_FLOAT;
    f64->size = 8;
    f64->sign = Q7T_SGN_NONE;
    inner->members = {{"a", 0, i32}, {"b", 4, f64}};
    auto outer = std::make_shared<q7::Datatype>(*inner);
    outer->size = 40;
    outer->members = {{"head", 0, i32}, {"nested", 8, inner}, {"tail", 24, f64}};
    return outer;
}

TEST_F(CoreTypes, ByteFormRoundTripsAndRefusesDamage) {
    auto t = nested_compound();
    std::string bytes = t->encode();
    auto back = q7::Datatype::decode(bytes.data(), bytes.size());
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->equal(*t));
    EXPECT_FALSE(back->predefined);
    EXPECT_EQ(back->encode(), bytes);

    // Every predefined type survives the trip too.
    for (q7id_t id : {Q7T_NATIVE_INT_g, Q7T_STD_U16BE_g, Q7T_IEEE_F64BE_g, Q7T_STD_B8LE_g, Q7T_C_S1_g}) {
        auto p = q7::get<q7::Datatype>(id, Q7I_DATATYPE);
        std::string b = p->encode();
        auto d = q7::Datatype::decode(b.data(), b.size());
        ASSERT_TRUE(d);
        EXPECT_TRUE(d->equal(*p));
    }

    // Every truncation and any trailing byte is refused.
    for (size_t n = 0; n < bytes.size(); ++n) EXPECT_FALSE(q7::Datatype::decode(bytes.data(), n)) << n;
    std::string longer = bytes + '\0';
    EXPECT_FALSE(q7::Datatype::decode(longer.data(), longer.size()));
    EXPECT_FALSE(q7::Datatype::decode(nullptr, 4));

    // Targeted damage: version, class, order of an integer, zero size.
    auto damaged = [&](size_t at, char v) {
        std::string b = bytes;
        b[at] = v;
        return q7::Datatype::decode(b.data(), b.size());
    };
    EXPECT_FALSE(damaged(0, 9));
    EXPECT_FALSE(damaged(1, 2));  // class 2 is not stored
    std::string i32 = t->members[0].type->encode();
    i32[3] = 2;  // integer without a byte order
    EXPECT_FALSE(q7::Datatype::decode(i32.data(), i32.size()));
    i32 = t->members[0].type->encode();
    for (int k = 4; k < 12; ++k) i32[k] = 0;
    EXPECT_FALSE(q7::Datatype::decode(i32.data(), i32.size()));

    // Random corruption never crashes; whatever decodes is self-consistent.
    std::mt19937 rng(7);
    for (int i = 0; i < 3000; ++i) {
        std::string b = bytes;
        int flips = 1 + (int)(rng() % 4);
        for (int f = 0; f < flips; ++f) b[rng() % b.size()] = (char)(rng() & 0xff);
        auto d = q7::Datatype::decode(b.data(), b.size());
        if (d) {
            for (const auto &m : d->members) EXPECT_LE(m.offset + m.type->size, d->size);
            EXPECT_EQ(d->encode(), b);
        }
    }
}

TEST_F(CoreTypes, ConversionRules) {
    using q7::Conversion;
    auto T = [](q7id_t id) { return *q7::get<q7::Datatype>(id, Q7I_DATATYPE); };
    EXPECT_EQ(q7::conversion_between(T(Q7T_NATIVE_INT_g), T(Q7T_STD_I32LE_g)), Conversion::Copy);
    EXPECT_EQ(q7::conversion_between(T(Q7T_NATIVE_INT_g), T(Q7T_STD_I32BE_g)), Conversion::Swap);
    EXPECT_EQ(q7::conversion_between(T(Q7T_IEEE_F64BE_g), T(Q7T_NATIVE_DOUBLE_g)), Conversion::Swap);
    EXPECT_EQ(q7::conversion_between(T(Q7T_STD_B16LE_g), T(Q7T_STD_B16BE_g)), Conversion::Swap);
    EXPECT_EQ(q7::conversion_between(T(Q7T_NATIVE_INT_g), T(Q7T_NATIVE_UINT_g)), Conversion::Refused);
    EXPECT_EQ(q7::conversion_between(T(Q7T_STD_I32BE_g), T(Q7T_NATIVE_UINT_g)), Conversion::Refused);
    EXPECT_EQ(q7::conversion_between(T(Q7T_NATIVE_INT_g), T(Q7T_NATIVE_FLOAT_g)), Conversion::Refused);
    EXPECT_EQ(q7::conversion_between(T(Q7T_NATIVE_INT_g), T(Q7T_NATIVE_LONG_g)), Conversion::Refused);
    EXPECT_EQ(q7::conversion_between(T(Q7T_STD_B32LE_g), T(Q7T_STD_U32BE_g)), Conversion::Refused);
    auto c = nested_compound();
    EXPECT_EQ(q7::conversion_between(*c, *c), Conversion::Copy);

    uint8_t buf[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    q7::swap_bytes(buf, 2, 4);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 12),
              (std::vector<uint8_t>{4, 3, 2, 1, 8, 7, 6, 5, 9, 10, 11, 12}));
    q7::swap_bytes(buf, 4, 3);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 12),
              (std::vector<uint8_t>{2, 3, 4, 7, 8, 1, 9, 5, 6, 12, 11, 10}));
    EXPECT_EQ(q7::describe(T(Q7T_STD_I32BE_g)), "32-bit big-endian signed integer");
}

} // namespace
