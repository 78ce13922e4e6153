// Error stacks: records, walking, printing and the automatic report that
// follows a failing public call.
#include "quor7.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Seen {
    unsigned n;
    q7id_t cls, maj, min;
    unsigned line;
    std::string func, file, desc;
    q7id_t stack;
};

q7status_t collect(unsigned n, const Q7E_error2_t *e, void *data) {
    static_cast<std::vector<Seen> *>(data)->push_back(
        Seen{n, e->cls_id, e->maj_num, e->min_num, e->line, e->func_name, e->file_name, e->desc, e->stack_id});
    return 0;
}

std::string print_to_string(q7id_t stack) {
    FILE *f = std::tmpfile();
    EXPECT_NE(f, nullptr);
    EXPECT_GE(Q7Eprint2(stack, f), 0);
    std::rewind(f);
    std::string out;
    char buf[512];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
    return out;
}

class CoreErrors : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(Q7open(), 0);
        cls = Q7Eregister_class("Kit", "Toolkit", "2.0");
        maj = Q7Ecreate_msg(cls, Q7E_MAJOR, "Kit major");
        min = Q7Ecreate_msg(cls, Q7E_MINOR, "Kit minor");
        ASSERT_GE(cls, 0);
        ASSERT_GE(maj, 0);
        ASSERT_GE(min, 0);
    }
    void TearDown() override {
        Q7Eset_auto2(0, Q7Eprint_auto2, nullptr);
        Q7Eclose_msg(maj);
        Q7Eclose_msg(min);
        Q7Eunregister_class(cls);
    }
    q7id_t cls = -1, maj = -1, min = -1;
};

TEST_F(CoreErrors, PushWalkBothDirectionsAndClear) {
    q7id_t st = Q7Ecreate_stack();
    ASSERT_GT(st, 0);
    EXPECT_EQ(Q7Iget_type(st), Q7I_ERROR_STACK);
    EXPECT_GE(Q7Epush2(st, "a.c", "first", 11, cls, maj, min, "value %d of %s", 7, "x"), 0);
    EXPECT_GE(Q7Epush2(st, "b.c", "second", 22, cls, maj, min, "plain"), 0);
    EXPECT_EQ(Q7Eget_num(st), 2);

    std::vector<Seen> up, down;
    ASSERT_GE(Q7Ewalk2(st, Q7E_WALK_UPWARD, collect, &up), 0);
    ASSERT_GE(Q7Ewalk2(st, Q7E_WALK_DOWNWARD, collect, &down), 0);
    ASSERT_EQ(up.size(), 2u);
    ASSERT_EQ(down.size(), 2u);
    EXPECT_EQ(up[0].desc, "value 7 of x");
    EXPECT_EQ(up[0].file, "a.c");
    EXPECT_EQ(up[0].func, "first");
    EXPECT_EQ(up[0].line, 11u);
    EXPECT_EQ(up[0].cls, cls);
    EXPECT_EQ(up[0].maj, maj);
    EXPECT_EQ(up[0].min, min);
    EXPECT_EQ(up[0].stack, st);
    EXPECT_EQ(up[1].desc, "plain");
    EXPECT_EQ(down[0].desc, "plain");
    EXPECT_EQ(down[1].desc, "value 7 of x");
    EXPECT_EQ(down[0].n, 0u);
    EXPECT_EQ(down[1].n, 1u);

    // The default stack is untouched by work on another stack.
    EXPECT_EQ(Q7Eget_num(0), 0);
    EXPECT_GE(Q7Eclear2(st), 0);
    EXPECT_EQ(Q7Eget_num(st), 0);
    EXPECT_GE(Q7Eclose_stack(st), 0);
    Q7Eset_auto2(0, nullptr, nullptr);
    EXPECT_LT(Q7Eget_num(st), 0);  // closed
}

TEST_F(CoreErrors, RecordsKeepTheirOwnCopyOfTheTexts) {
    std::string text = "changing text";
    char file[] = "mod.c";
    ASSERT_GE(Q7Epush2(0, file, "f", 1, cls, maj, min, "%s", text.c_str()), 0);
    text.assign("overwritten");
    file[0] = 'X';
    // Closing the messages afterwards must not spoil the printed report.
    q7id_t m2 = Q7Ecreate_msg(cls, Q7E_MINOR, "short-lived");
    ASSERT_GE(Q7Epush2(0, "mod.c", "g", 2, cls, maj, m2, "second"), 0);
    ASSERT_GE(Q7Eclose_msg(m2), 0);
    std::vector<Seen> up;
    ASSERT_GE(Q7Ewalk2(0, Q7E_WALK_UPWARD, collect, &up), 0);
    ASSERT_EQ(up.size(), 2u);
    EXPECT_EQ(up[0].desc, "changing text");
    EXPECT_EQ(up[0].file, "mod.c");
    EXPECT_NE(print_to_string(0).find("minor: short-lived"), std::string::npos);
}

TEST_F(CoreErrors, PrintShowsClassThenNumberedEntries) {
    ASSERT_GE(Q7Epush2(0, "mod.c", "do_it", 42, cls, maj, min, "it broke"), 0);
    ASSERT_GE(Q7Epush2(0, "mod.c", "outer", 50, cls, maj, min, "and then"), 0);
    std::string out = print_to_string(0);
    EXPECT_NE(out.find("Toolkit-DIAG: Error detected in Kit (2.0):"), std::string::npos) << out;
    EXPECT_NE(out.find("#000: mod.c line 42 in do_it(): it broke"), std::string::npos) << out;
    EXPECT_NE(out.find("#001: mod.c line 50 in outer(): and then"), std::string::npos) << out;
    EXPECT_NE(out.find("major: Kit major"), std::string::npos);
    EXPECT_NE(out.find("minor: Kit minor"), std::string::npos);
    // Printing, counting and walking leave the default stack as it is.
    EXPECT_EQ(Q7Eget_num(0), 2);
}

TEST_F(CoreErrors, LibraryRecordsCarryTheLibraryClassAndMessages) {
    Q7Eset_auto2(0, nullptr, nullptr);
    ASSERT_LT(Q7Tclose(Q7T_NATIVE_INT_g), 0);
    std::vector<Seen> up;
    ASSERT_GE(Q7Ewalk2(0, Q7E_WALK_UPWARD, collect, &up), 0);
    ASSERT_EQ(up.size(), 1u);
    EXPECT_EQ(up[0].cls, Q7E_ERR_CLS_g);
    EXPECT_EQ(up[0].maj, Q7E_DATATYPE_g);
    EXPECT_EQ(up[0].func, "Q7Tclose");
    EXPECT_EQ(up[0].file, "core_types.cpp");
    EXPECT_GT(up[0].line, 0u);
    EXPECT_EQ(up[0].stack, 0);
    // The next successful public call starts with a clean stack.
    EXPECT_EQ(Q7Tget_size(Q7T_NATIVE_INT_g), 4u);
    EXPECT_EQ(Q7Eget_num(0), 0);
}

TEST_F(CoreErrors, DefaultHandlerPrintsOnStandardError) {
    unsigned is_v2 = 0;
    ASSERT_GE(Q7Eauto_is_v2(0, &is_v2), 0);
    EXPECT_EQ(is_v2, 1u);
    Q7E_auto2_t f = nullptr;
    void *d = reinterpret_cast<void *>(1);
    ASSERT_GE(Q7Eget_auto2(0, &f, &d), 0);
    EXPECT_EQ(f, &Q7Eprint_auto2);
    EXPECT_EQ(d, nullptr);

    testing::internal::CaptureStderr();
    EXPECT_LT(Q7Sclose(-1), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Q7Sclose(): invalid dataspace identifier -1"), std::string::npos) << err;
    EXPECT_NE(err.find("Error detected in Quor7 (1.10.4)"), std::string::npos) << err;
}

int v1_calls = 0;
void *v1_data = nullptr;
q7status_t v1_handler(void *data) {
    ++v1_calls;
    v1_data = data;
    return 0;
}

int v2_calls = 0;
q7id_t v2_stack = -1;
q7ssize_t v2_depth = -1;
q7status_t v2_handler(q7id_t stack, void *) {
    ++v2_calls;
    v2_stack = stack;
    v2_depth = Q7Eget_num(stack);  // a nested call: must not clear
    return 0;
}

TEST_F(CoreErrors, SaveSilenceAndRestoreHandlersOfBothKinds) {
    Q7E_auto2_t saved_f;
    void *saved_d;
    ASSERT_GE(Q7Eget_auto2(0, &saved_f, &saved_d), 0);

    // Version 2: runs once per failing outermost call, sees the records.
    v2_calls = 0;
    ASSERT_GE(Q7Eset_auto2(0, v2_handler, nullptr), 0);
    EXPECT_LT(Q7Tclose(-1), 0);
    EXPECT_EQ(v2_calls, 1);
    EXPECT_EQ(v2_stack, 0);
    EXPECT_EQ(v2_depth, 1);
    EXPECT_EQ(Q7Tget_size(Q7T_NATIVE_INT_g), 4u);  // success: no report
    EXPECT_EQ(v2_calls, 1);

    // Version 1 on the default stack.
    int token = 0;
    v1_calls = 0;
    ASSERT_GE(Q7Eset_auto1(v1_handler, &token), 0);
    unsigned is_v2 = 1;
    ASSERT_GE(Q7Eauto_is_v2(0, &is_v2), 0);
    EXPECT_EQ(is_v2, 0u);
    Q7E_auto1_t f1 = nullptr;
    void *d1 = nullptr;
    ASSERT_GE(Q7Eget_auto1(&f1, &d1), 0);
    EXPECT_EQ(f1, &v1_handler);
    EXPECT_EQ(d1, &token);
    EXPECT_LT(Q7Pclose(12345678), 0);
    EXPECT_EQ(v1_calls, 1);
    EXPECT_EQ(v1_data, &token);
    EXPECT_EQ(v2_calls, 1);

    // Silenced: nothing runs and nothing is printed.
    ASSERT_GE(Q7Eset_auto2(0, nullptr, nullptr), 0);
    testing::internal::CaptureStderr();
    EXPECT_LT(Q7Tclose(-1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(v1_calls, 1);
    EXPECT_EQ(Q7Eget_num(0), 1);  // the record is still there

    // Restored exactly as found.
    ASSERT_GE(Q7Eset_auto2(0, saved_f, saved_d), 0);
    Q7E_auto2_t f2;
    void *d2;
    ASSERT_GE(Q7Eget_auto2(0, &f2, &d2), 0);
    EXPECT_EQ(f2, saved_f);
    EXPECT_EQ(d2, saved_d);
}

q7status_t stop_at_second(unsigned n, const Q7E_error2_t *, void *data) {
    ++*static_cast<int *>(data);
    return n == 1 ? 7 : 0;
}

TEST_F(CoreErrors, RefusesBadArgumentsWithoutCrashing) {
    Q7Eset_auto2(0, nullptr, nullptr);
    EXPECT_LT(Q7Epush2(999999, "f", "g", 1, cls, maj, min, "x"), 0);
    EXPECT_LT(Q7Epush2(0, "f", "g", 1, maj, maj, min, "x"), 0);  // not a class
    EXPECT_LT(Q7Epush2(0, "f", "g", 1, cls, cls, min, "x"), 0);  // not a message
    EXPECT_LT(Q7Ecreate_msg(-1, Q7E_MAJOR, "x"), 0);
    EXPECT_LT(Q7Eclose_stack(0), 0);
    EXPECT_LT(Q7Eunregister_class(Q7E_ERR_CLS_g), 0);
    EXPECT_LT(Q7Eclose_msg(Q7E_ARGS_g), 0);
    EXPECT_LT(Q7Ewalk2(0, Q7E_WALK_UPWARD, nullptr, nullptr), 0);
    EXPECT_EQ(Q7Eget_num(0), 8);  // every refusal left one record

    int visits = 0;
    EXPECT_EQ(Q7Ewalk2(0, Q7E_WALK_UPWARD, stop_at_second, &visits), 7);
    EXPECT_EQ(visits, 2);

    char text[8];
    Q7E_type_t type;
    EXPECT_EQ(Q7Eget_msg(maj, &type, text, sizeof text), 9);  // "Kit major"
    EXPECT_EQ(type, Q7E_MAJOR);
    EXPECT_STREQ(text, "Kit maj");  // truncated, terminated
}

struct Reentry {
    q7id_t stack, cls, maj, min;
    int visits;
};

q7status_t push_while_walking(unsigned, const Q7E_error2_t *, void *data) {
    auto *r = static_cast<Reentry *>(data);
    ++r->visits;
    Q7Epush2(r->stack, "w.c", "walker", 1, r->cls, r->maj, r->min, "pushed during the walk");
    return 0;
}

TEST_F(CoreErrors, WalkSeesTheStackAsItWasWhenTheWalkBegan) {
    q7id_t st = Q7Ecreate_stack();
    for (int i = 0; i < 3; ++i) ASSERT_GE(Q7Epush2(st, "f.c", "f", i, cls, maj, min, "record %d", i), 0);
    Reentry r{st, cls, maj, min, 0};
    ASSERT_EQ(Q7Ewalk2(st, Q7E_WALK_DOWNWARD, push_while_walking, &r), 0);
    EXPECT_EQ(r.visits, 3);
    EXPECT_EQ(Q7Eget_num(st), 6);
    Q7Eclose_stack(st);
}

} // namespace
