// The concurrent-access programs: a writer and two readers running at the
// same time, a check of the finished file, and a reader that must notice a
// damaged record.
#include <gtest/gtest.h>

#include "conc_common.h"
#include "test_support.hpp"

#include <quor7.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

extern char **environ;

namespace {

struct Child {
    pid_t pid = -1;
    std::string out_path, err_path;
};

// Starts a program of the build tree with its output in files.
Child spawn(const q7test::TempDir &dir, const std::string &tag, const std::vector<std::string> &args) {
    Child c;
    c.out_path = dir.file(tag + ".out");
    c.err_path = dir.file(tag + ".err");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, c.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, c.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char *> argv;
    std::vector<std::string> copy = args;
    for (auto &a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    int rc = posix_spawn(&c.pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    EXPECT_EQ(rc, 0) << args[0];
    return c;
}

// Waits at most `limit` seconds; kills the child when it overruns.
int finish(const Child &c, int limit) {
    for (int waited = 0; waited < limit * 10; waited++) {
        int status = 0;
        pid_t r = waitpid(c.pid, &status, WNOHANG);
        if (r == c.pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        usleep(100000);
    }
    kill(c.pid, SIGKILL);
    waitpid(c.pid, nullptr, 0);
    return -1;
}

long field(const std::string &text, const std::string &pattern) {
    std::smatch m;
    if (!std::regex_search(text, m, std::regex(pattern))) return -1;
    return std::stol(m[1]);
}

const std::string writer = q7test::program("q7conc_writer");
const std::string reader = q7test::program("q7conc_reader");

} // namespace

TEST(Concurrent, OneWriterTwoReadersSeeProgressAndIntactRecords) {
    q7test::TempDir dir;
    std::string file = dir.file("symbols.q7");
    Child w = spawn(dir, "writer", {writer, file, "--seconds", "8", "--flush-every", "10"});
    Child r1 = spawn(dir, "reader1", {reader, file, "--seconds", "5", "--wait", "240", "--seed", "11",
                                      "--expect-progress"});
    Child r2 = spawn(dir, "reader2", {reader, file, "--seconds", "5", "--wait", "240", "--seed", "12",
                                      "--expect-progress"});
    int ws = finish(w, 300), s1 = finish(r1, 300), s2 = finish(r2, 300);
    std::string wout = q7test::read_file(w.out_path), werr = q7test::read_file(w.err_path);
    EXPECT_EQ(ws, 0) << wout << werr;
    long written = field(wout, R"(wrote (\d+) records)");
    EXPECT_GT(written, 0) << wout;

    for (const Child *r : {&r1, &r2}) {
        std::string out = q7test::read_file(r->out_path), err = q7test::read_file(r->err_path);
        SCOPED_TRACE(out + err);
        EXPECT_EQ(r == &r1 ? s1 : s2, 0);
        EXPECT_EQ(field(out, R"((\d+) verification failures)"), 0);
        EXPECT_GT(field(out, R"((\d+) growth steps seen)"), 0);
        EXPECT_GT(field(out, R"((\d+) records checked)"), 0);
        EXPECT_EQ(err.find("went backwards"), std::string::npos);
    }

    // Once the writer is done, every record it wrote is there and intact.
    auto all = q7test::run(reader + " " + file + " --all --wait 5");
    EXPECT_EQ(all.status, 0) << all.out << all.err;
    EXPECT_EQ(field(all.out, R"((\d+) datasets watched)"), 3100);
    EXPECT_EQ(field(all.out, R"((\d+) records visible)"), written);
    EXPECT_EQ(field(all.out, R"((\d+) verification failures)"), 0);
}

TEST(Concurrent, ReaderNoticesADamagedRecordAndAMissingFile) {
    q7test::TempDir dir;
    std::string file = dir.file("symbols.q7");
    auto w = q7test::run(writer + " " + file + " --records 300 --seconds 60");
    ASSERT_EQ(w.status, 0) << w.out << w.err;
    ASSERT_EQ(field(w.out, R"(wrote (\d+) records)"), 300);

    // Damage one info byte of record 0 of the first level-0 dataset that
    // has records.
    ASSERT_GE(Q7open(), 0);
    q7id_t fid = Q7Fopen(file.c_str(), Q7F_ACC_RDWR, 0);
    ASSERT_GE(fid, 0);
    q7id_t rec_type = create_symbol_datatype();
    ASSERT_GE(rec_type, 0);
    std::string damaged;
    for (unsigned u = 0; u < 100 && damaged.empty(); u++) {
        char name[MAX_SYMBOL_NAME_LEN];
        generate_name(name, 0, u);
        q7id_t did = Q7Dopen2(fid, name, 0);
        ASSERT_GE(did, 0) << name;
        q7id_t space = Q7Dget_space(did);
        q7size_t dims[1] = {0};
        ASSERT_EQ(Q7Sget_simple_extent_dims(space, dims, nullptr), 1);
        if (dims[0] > 0) {
            std::vector<symbol_record> recs(dims[0]);
            ASSERT_GE(Q7Dread(did, rec_type, 0, 0, 0, recs.data()), 0);
            recs[0].info[17] ^= 0x40;
            ASSERT_GE(Q7Dwrite(did, rec_type, 0, 0, 0, recs.data()), 0);
            damaged = name;
        }
        Q7Sclose(space);
        Q7Dclose(did);
    }
    Q7Tclose(rec_type);
    ASSERT_GE(Q7Fclose(fid), 0);
    ASSERT_FALSE(damaged.empty());

    auto r = q7test::run(reader + " " + file + " --all --wait 5");
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("dataset " + damaged + ": record 0 has wrong info bytes"), std::string::npos) << r.err;
    EXPECT_EQ(field(r.out, R"((\d+) verification failures)"), 1);

    auto missing = q7test::run(reader + " " + dir.file("absent.q7") + " --wait 1");
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("did not hold the symbol datasets"), std::string::npos) << missing.err;
    EXPECT_EQ(q7test::run(reader + " " + file + " --seconds x").status, 2);
    EXPECT_EQ(q7test::run(writer).status, 2);
}
