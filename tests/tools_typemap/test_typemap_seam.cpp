// The mapping module linked with wrappers around the datatype queries and
// the copy (--wrap): the order of the calls, sign codes the library never
// returns, and a failing copy.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kit_typemap.h"
#include "quor7.h"

namespace {
std::vector<std::string> calls;
bool override_sign = false;
int32_t forced_sign = 0;
bool fail_copy = false;
q7id_t copy_argument = -1;
} // namespace

extern "C" {
int32_t __real_Q7Tget_class(q7id_t);
size_t __real_Q7Tget_size(q7id_t);
int32_t __real_Q7Tget_sign(q7id_t);
q7id_t __real_Q7Tcopy(q7id_t);

int32_t __wrap_Q7Tget_class(q7id_t t) {
    calls.push_back("class");
    return __real_Q7Tget_class(t);
}
size_t __wrap_Q7Tget_size(q7id_t t) {
    calls.push_back("size");
    return __real_Q7Tget_size(t);
}
int32_t __wrap_Q7Tget_sign(q7id_t t) {
    calls.push_back("sign");
    return override_sign ? forced_sign : __real_Q7Tget_sign(t);
}
q7id_t __wrap_Q7Tcopy(q7id_t t) {
    calls.push_back("copy");
    copy_argument = t;
    return fail_copy ? -7 : __real_Q7Tcopy(t);
}
}

namespace {

class TypeMapSeam : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(Q7open(), 0);
        calls.clear();
        override_sign = false;
        fail_copy = false;
        copy_argument = -1;
    }
};

TEST_F(TypeMapSeam, QueriesComeFirstAndInOrderForEveryClass) {
    const std::vector<std::string> with_copy = {"class", "size", "sign", "copy"};
    const std::vector<std::string> without_copy = {"class", "size", "sign"};
    for (q7id_t t : {Q7T_NATIVE_INT_g, Q7T_IEEE_F64BE_g, Q7T_STD_B8LE_g}) {
        calls.clear();
        q7id_t r = q7tools_get_little_endian_type(t);
        EXPECT_EQ(calls, with_copy);
        Q7Tclose(r);
    }
    calls.clear();
    EXPECT_EQ(q7tools_get_big_endian_type(Q7T_C_S1_g), -1);
    EXPECT_EQ(calls, without_copy);
}

TEST_F(TypeMapSeam, SignCodeOutsideZeroAndOneHasNoIntegerRow) {
    override_sign = true;
    for (int32_t sign : {2, -1, 7}) {
        forced_sign = sign;
        calls.clear();
        EXPECT_EQ(q7tools_get_little_endian_type(Q7T_STD_I32BE_g), -1) << sign;
        EXPECT_EQ(q7tools_get_big_endian_type(Q7T_STD_U8LE_g), -1) << sign;
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "copy"), 0);
    }
}

TEST_F(TypeMapSeam, FloatsAndBitFieldsIgnoreTheSign) {
    override_sign = true;
    for (int32_t sign : {0, 1, 2, -1}) {
        forced_sign = sign;
        q7id_t f = q7tools_get_big_endian_type(Q7T_IEEE_F32LE_g);
        EXPECT_EQ(copy_argument, Q7T_IEEE_F32BE_g) << sign;
        q7id_t b = q7tools_get_little_endian_type(Q7T_STD_B64BE_g);
        EXPECT_EQ(copy_argument, Q7T_STD_B64LE_g) << sign;
        EXPECT_GE(f, 0);
        EXPECT_GE(b, 0);
        Q7Tclose(f);
        Q7Tclose(b);
    }
}

TEST_F(TypeMapSeam, FailedCopyResultIsReturnedUnchanged) {
    fail_copy = true;
    EXPECT_EQ(q7tools_get_little_endian_type(Q7T_NATIVE_INT_g), -7);
    EXPECT_EQ(q7tools_get_big_endian_type(Q7T_NATIVE_DOUBLE_g), -7);
}

TEST_F(TypeMapSeam, PredefinedGlobalIsReadAtTheCall) {
    // Whatever the global holds when the call is made is what gets copied.
    const q7id_t saved = Q7T_STD_I16BE_g;
    Q7T_STD_I16BE_g = Q7T_STD_U16BE_g;
    q7id_t r = q7tools_get_big_endian_type(Q7T_NATIVE_SHORT_g);
    Q7T_STD_I16BE_g = saved;
    EXPECT_EQ(copy_argument, Q7T_STD_U16BE_g);
    EXPECT_GE(r, 0);
    Q7Tclose(r);
    r = q7tools_get_big_endian_type(Q7T_NATIVE_SHORT_g);
    EXPECT_EQ(copy_argument, saved);
    Q7Tclose(r);
}

} // namespace
