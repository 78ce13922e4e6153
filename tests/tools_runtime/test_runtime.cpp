// The tools runtime: start-up and shutdown, messages, the traversal, the
// command-line parser and the summary line.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "../tools_compare/q7files.hpp"
#include "q7tools.h"
#include "test_support.hpp"

namespace {

TEST(ToolsRuntime, MessagesCarryTheProgramName) {
    q7tools_setprogname("q7probe");
    EXPECT_STREQ(q7tools_getprogname(), "q7probe");
    q7tools_setstatus(3);
    EXPECT_EQ(q7tools_getstatus(), 3);
    ::testing::internal::CaptureStderr();
    error_msg("cannot open <%s> (%d)", "f.q7", 7);
    warn_msg("already ends its line\n");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "q7probe error: cannot open <f.q7> (7)\n"
              "q7probe warning: already ends its line\n");
}

TEST(ToolsRuntime, InitMakesTheErrorGlobalsAndCloseReleasesThem) {
    q7tools_init();
    q7id_t stack = Q7tools_ERR_STACK_g, cls = Q7tools_ERR_CLS_g;
    EXPECT_EQ(Q7Iget_type(stack), Q7I_ERROR_STACK);
    EXPECT_EQ(Q7Iget_type(cls), Q7I_ERROR_CLASS);
    Q7E_type_t type = Q7E_MINOR;
    char text[64];
    EXPECT_GT(Q7Eget_msg(Q7E_tools_g, &type, text, sizeof text), 0);
    EXPECT_EQ(type, Q7E_MAJOR);
    EXPECT_GT(Q7Eget_msg(Q7E_tools_min_id_g, &type, text, sizeof text), 0);
    EXPECT_EQ(type, Q7E_MINOR);

    q7tools_init();  // a second start-up keeps what exists
    EXPECT_EQ(Q7tools_ERR_STACK_g, stack);

    q7tools_close();
    EXPECT_LE(Q7Iis_valid(stack), 0);
    EXPECT_LE(Q7Iis_valid(cls), 0);
    EXPECT_EQ(Q7tools_ERR_STACK_g, -1);
    q7tools_init();
    EXPECT_EQ(Q7Iget_type(Q7tools_ERR_STACK_g), Q7I_ERROR_STACK);
}

// ---------------------------------------------------------------------
// Traversal
// ---------------------------------------------------------------------

struct Log {
    std::vector<std::string> lines;
    std::string stop_at;
    int stop_value = 0;
};

int on_object(const char *path, const Q7O_info2_t *info, const char *already, void *udata) {
    auto *log = static_cast<Log *>(udata);
    std::string line = std::string(info->type == Q7O_TYPE_GROUP ? "G " : "D ") + path;
    if (already) line += " =" + std::string(already);
    log->lines.push_back(line);
    return path == log->stop_at ? log->stop_value : 0;
}

int on_link(const char *path, const Q7L_info_t *info, void *udata) {
    auto *log = static_cast<Log *>(udata);
    log->lines.push_back(std::string(info->type == Q7L_TYPE_SOFT ? "S " : "E ") + path);
    return path == log->stop_at ? log->stop_value : 0;
}

class Traversal : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = dir_.file("walk.q7");
        q7files::File f(path_);
        q7id_t id = f.id();
        std::vector<int32_t> v{1, 2};
        // Made in reverse name order: the walk must sort by name itself.
        q7files::group(id, "/b");
        q7files::group(id, "/a");
        q7files::group(id, "/a/y");
        q7files::dataset(id, "/a/y/z", Q7T_STD_I32LE_g, Q7T_NATIVE_INT32_g, {2}, v);
        q7files::dataset(id, "/a/x", Q7T_STD_I32LE_g, Q7T_NATIVE_INT32_g, {2}, v);
        q7files::hard_link(id, "/a/x", "/b/hard");
        q7files::hard_link(id, "/a", "/a/y/back");  // a cycle
        q7files::soft_link(id, "/a", "/b/soft");
        q7files::external_link(id, "other.q7", "/x", "/b/ext");
        f.close();
        file_ = Q7Fopen(path_.c_str(), Q7F_ACC_RDONLY, 0);
        ASSERT_GE(file_, 0);
        q7tools_init();
    }
    void TearDown() override { Q7Fclose(file_); }
    int walk(const char *start, int visit_root, int recurse, Log &log) {
        return q7trav_visit(file_, start, visit_root, recurse, on_object, on_link, &log, Q7O_INFO_BASIC);
    }

    q7test::TempDir dir_;
    std::string path_;
    q7id_t file_ = -1;
};

TEST_F(Traversal, DepthFirstInNameOrderWithLaterHardLinksMarked) {
    Log log;
    EXPECT_EQ(walk("/", 1, 1, log), 0);
    std::vector<std::string> expected{"G /", "G /a", "D /a/x", "G /a/y", "G /a/y/back =/a", "D /a/y/z", "G /b",
                                      "E /b/ext", "D /b/hard =/a/x", "S /b/soft"};
    EXPECT_EQ(log.lines, expected);
}

TEST_F(Traversal, StartRootAndRecursionFlags) {
    Log below_a;
    EXPECT_EQ(walk("/a", 0, 1, below_a), 0);
    EXPECT_EQ(below_a.lines, (std::vector<std::string>{"D /a/x", "G /a/y", "G /a/y/back =/a", "D /a/y/z"}));

    Log top;
    EXPECT_EQ(walk("/", 0, 0, top), 0);
    EXPECT_EQ(top.lines, (std::vector<std::string>{"G /a", "G /b"}));

    Log one;
    EXPECT_EQ(walk("a/x", 1, 1, one), 0);
    EXPECT_EQ(one.lines, (std::vector<std::string>{"D /a/x"}));
}

TEST_F(Traversal, CallbackResultsStopOrFailTheWalk) {
    Log stop;
    stop.stop_at = "/a/y";
    stop.stop_value = 1;
    EXPECT_EQ(walk("/", 1, 1, stop), 0);
    EXPECT_EQ(stop.lines.back(), "G /a/y");
    EXPECT_EQ(stop.lines.size(), 4u);

    Log failing;
    failing.stop_at = "/b/ext";
    failing.stop_value = -1;
    EXPECT_LT(walk("/", 1, 1, failing), 0);
    EXPECT_EQ(failing.lines.back(), "E /b/ext");

    Q7Eset_auto2(0, nullptr, nullptr);
    Log missing;
    EXPECT_LT(walk("/nowhere", 1, 1, missing), 0);
    EXPECT_TRUE(missing.lines.empty());
    EXPECT_LT(q7trav_visit(-1, "/", 1, 1, on_object, on_link, &missing, Q7O_INFO_BASIC), 0);
    EXPECT_GE(Q7Eget_num(Q7tools_ERR_STACK_g), 1);
}

// ---------------------------------------------------------------------
// Command line and summary
// ---------------------------------------------------------------------

struct Parsed {
    const char *f1 = nullptr, *f2 = nullptr, *o1 = nullptr, *o2 = nullptr;
    diff_opt_t opts;
};

Parsed parse(std::vector<const char *> args) {
    args.insert(args.begin(), "q7diff");
    Parsed p;
    memset(&p.opts, 0x5a, sizeof p.opts);  // the parser must set every field
    parse_command_line(static_cast<int>(args.size()), args.data(), &p.f1, &p.f2, &p.o1, &p.o2, &p.opts);
    return p;
}

TEST(CommandLine, DefaultsAndEveryOption) {
    Parsed d = parse({"a.q7", "b.q7"});
    EXPECT_STREQ(d.f1, "a.q7");
    EXPECT_STREQ(d.f2, "b.q7");
    EXPECT_EQ(d.o1, nullptr);
    EXPECT_EQ(d.o2, nullptr);
    EXPECT_EQ(d.opts.mode_quiet + d.opts.mode_verbose + d.opts.mode_report, 0);
    EXPECT_EQ(d.opts.delta_bool + d.opts.percent_bool + d.opts.count_bool + d.opts.strict_nan, 0);
    EXPECT_EQ(d.opts.err_stat, 0);
    EXPECT_EQ(d.opts.equal_allowed, 1);
    EXPECT_EQ(d.opts.n_exclude, 0);
    EXPECT_EQ(d.opts.nfound, 0u);
    EXPECT_EQ(enable_error_stack, 0);

    Parsed p = parse({"-n5", "--delta=0.25", "-p", "0.5", "--strict-nan", "-rS", "--exclude-path", "/g",
                      "--exclude-path=/h/i", "--enable-error-stack=3", "x", "y", "/o1", "/o2"});
    EXPECT_EQ(p.opts.count_bool, 1);
    EXPECT_EQ(p.opts.count, 5u);
    EXPECT_EQ(p.opts.delta_bool, 1);
    EXPECT_EQ(p.opts.delta, 0.25);
    EXPECT_EQ(p.opts.percent_bool, 1);
    EXPECT_EQ(p.opts.percent, 0.5);
    EXPECT_EQ(p.opts.strict_nan, 1);
    EXPECT_EQ(p.opts.mode_report, 1);
    EXPECT_EQ(p.opts.statistics, 1);
    ASSERT_EQ(p.opts.n_exclude, 2);
    EXPECT_STREQ(p.opts.exclude[0], "/g");
    EXPECT_STREQ(p.opts.exclude[1], "/h/i");
    EXPECT_EQ(enable_error_stack, 3);
    EXPECT_STREQ(p.o1, "/o1");
    EXPECT_STREQ(p.o2, "/o2");

    Parsed last_mode = parse({"-v", "--quiet", "--enable-error-stack", "a", "b"});
    EXPECT_EQ(last_mode.opts.mode_quiet, 1);
    EXPECT_EQ(last_mode.opts.mode_verbose, 0);
    EXPECT_EQ(enable_error_stack, 1);
}

TEST(CommandLine, BadCommandLinesEndWithUsageAndStatusTwo) {
    const std::string q7diff = q7test::program("q7diff");
    for (const char *args : {"", "only.q7", "a b c d e", "--bogus a b", "-x a b", "-n 0 a b", "-n -2 a b", "-n a b",
                             "-d -1 a b", "-d abc a b", "-p inf a b", "--count", "--quiet=1 a b"}) {
        auto r = q7test::run(q7diff + " " + args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_NE(r.err.find("q7diff error: "), std::string::npos) << args << "\n" << r.err;
        EXPECT_NE(r.err.find("usage: q7diff"), std::string::npos) << args;
        EXPECT_EQ(r.out, "") << args;
    }
    auto help = q7test::run(q7diff + " --help");
    EXPECT_EQ(help.status, 0);
    for (const char *opt : {"--help", "--version", "--quiet", "--verbose", "--report", "--count", "--delta",
                            "--relative", "--strict-nan", "--statistics", "--exclude-path", "--enable-error-stack"})
        EXPECT_NE(help.out.find(opt), std::string::npos) << opt;
    auto version = q7test::run(q7diff + " -V");
    EXPECT_EQ(version.status, 0);
    EXPECT_NE(version.out.find("1.10.4"), std::string::npos);
}

TEST(Summary, WholeCountAndVerbosePrefix) {
    // The plain lines are checked through the program; here what a test
    // file cannot easily produce.
    diff_opt_t o;
    memset(&o, 0, sizeof o);
    o.nfound = 4294967296ull;
    o.n_not_compared = 2;
    o.err_stat = 1;
    o.mode_verbose = 1;
    o.n_compared = 7;
    ::testing::internal::CaptureStdout();
    print_info(&o);
    o.mode_verbose = 0;
    o.mode_quiet = 1;
    print_info(&o);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "7 objects compared, 4294967296 differences found, 2 objects not comparable, "
              "the comparison met an error\n");
}

} // namespace
