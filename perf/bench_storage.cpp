// Storage throughput: 256 MiB of int written with Q7Dwrite and read back
// with Q7Dread in 1 MiB chunks, end to end, against write() and read() of
// the same bytes to a plain file in the same directory, in the same run.
//
// Each benchmark iteration is one round of every pass, so that load from
// other processes falls on all of them alike; the tables at the end give
// the median of each pass over the rounds.
//
// A write pass is timed from the file's creation until its close has
// returned, because a Quor7 file commits what it was given at its close
// (or at Q7Fflush), not when Q7Dwrite returns:
//   - the default file, durable once Q7Fclose returns, against
//     open() + write() + fdatasync() + close() of a plain file;
//   - the file made with Q7Pset_fapl_sync(fapl, 0), which skips the syncs,
//     against open() + write() + close();
//   - the default file through filter 257 (the offset plug-in), against
//     the durable plain write.
// Before each write pass, the file of the previous round is removed and
// sync() flushes what earlier passes left dirty, outside the timing, so
// that no pass pays for another's writeback.
//
// The read passes read the files just written (so from the page cache):
// Q7Fopen + Q7Dread + Q7Fclose against open() + read() + close(), with the
// Q7Dread call alone against the read() loop alone beside.
//
// Reference passes in the same rounds show what the container underneath
// costs by itself (storage_reference.hpp): the same blobs through SQLite
// alone with a rollback journal and synchronous=FULL (as a default Quor7
// file commits) and with the write-ahead log (as a file opened for a
// writer with concurrent readers commits), and the log's frame layout
// written with pwrite().
//
// Peak memory: a child process forked before the rounds, while this one
// is still small, fills its own 256 MiB buffer and writes it to a default
// file; its resident-set high-water mark minus that buffer is what the
// library and the process around it needed on top of the caller's data.
#include "quor7.h"
#include "storage_reference.hpp"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

// Weak, so that this program also builds and runs against a libquor7 from
// before the sync setting, to compare library versions on one machine;
// the sync-off pass is then left out.
extern "C" q7status_t Q7Pset_fapl_sync(q7id_t fapl_id, int sync) __attribute__((weak));

namespace {

constexpr size_t kMiB = size_t{1} << 20;
constexpr size_t kBytes = 256 * kMiB;
constexpr q7size_t kElems = kBytes / sizeof(int);
constexpr q7size_t kChunkElems = kMiB / sizeof(int);

using Clock = std::chrono::steady_clock;
double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::map<std::string, std::vector<double>> g_seconds;  // per pass, one per round

// Pass names, shared by the rounds and the tables.
const std::string kPlainWrite = "write()+close()";
const std::string kPlainWriteSync = "write()+fdatasync()+close()";
const std::string kPlainRead = "open()+read()+close()";
const std::string kPlainReadLoop = "read() loop";
const std::string kQ7Default = "Q7 default (durable)";
const std::string kQ7NoSync = "Q7 sync off";
const std::string kQ7Filter = "Q7 default, filter 257";
const std::string kQ7Read = "Q7Fopen+Q7Dread+Q7Fclose";
const std::string kQ7ReadFilter = "the same, filter 257";
const std::string kSqliteRollback = "SQLite alone, rollback journal FULL";
const std::string kSqliteWal = "SQLite alone, WAL NORMAL";
const std::string kLogLayout = "log layout, pwrite()";
const std::string kSqliteRead = "SQLite alone, blob reads";

std::filesystem::path work_dir() {
    static std::filesystem::path dir = [] {
        auto d = std::filesystem::current_path() / "bench-storage-work";
        std::filesystem::create_directories(d);
        return d;
    }();
    return dir;
}

void fill(int *x) {
    for (q7size_t i = 0; i < kElems; ++i) x[i] = (int)(i * 2654435761u);
}

std::vector<int> &source() {
    static std::vector<int> v = [] {
        std::vector<int> x(kElems);
        fill(x.data());
        return x;
    }();
    return v;
}

std::vector<int> &sink() {
    static std::vector<int> v(kElems, 1);
    return v;
}

// The previous round's file goes, and everything dirty reaches the disk,
// before a write pass starts its clock.
void clean_slate(const std::string &file) {
    storage_reference::remove_database(file);
    sync();
}

bool plain_write(const std::string &file, bool data_sync) {
    clean_slate(file);
    const char *src = (const char *)source().data();
    auto t = Clock::now();
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    bool ok = true;
    for (size_t off = 0; off < kBytes; off += kMiB) ok &= write(fd, src + off, kMiB) == (ssize_t)kMiB;
    if (data_sync) ok &= fdatasync(fd) == 0;
    ok &= close(fd) == 0;
    g_seconds[data_sync ? kPlainWriteSync : kPlainWrite].push_back(since(t));
    return ok;
}

bool plain_read(const std::string &file) {
    char *dst = (char *)sink().data();
    memset(dst, 0, kBytes);
    auto t = Clock::now();
    int fd = open(file.c_str(), O_RDONLY);
    if (fd < 0) return false;
    auto loop = Clock::now();
    bool ok = true;
    for (size_t off = 0; off < kBytes; off += kMiB) ok &= read(fd, dst + off, kMiB) == (ssize_t)kMiB;
    g_seconds[kPlainReadLoop].push_back(since(loop));
    close(fd);
    g_seconds[kPlainRead].push_back(since(t));
    return ok && memcmp(dst, source().data(), kBytes) == 0;
}

// Creates a file holding `data` as one chunked dataset written with one
// Q7Dwrite, and closes it.  fapl 0 is the default access list.  The
// parts are reported through the out-parameters when they are not null.
bool q7_create_write_close(const std::string &file, q7id_t fapl, int filter, const int *data, double *dwrite,
                           double *fclose) {
    q7id_t f = Q7Fcreate(file.c_str(), Q7F_ACC_TRUNC, 0, fapl);
    if (f < 0) return false;
    q7size_t n = kElems, c = kChunkElems;
    q7id_t s = Q7Screate_simple(1, &n, nullptr);
    q7id_t p = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
    bool ok = s >= 0 && p >= 0 && Q7Pset_chunk(p, 1, &c) >= 0;
    unsigned level = 5;
    if (filter) ok = ok && Q7Pset_filter(p, filter, Q7Z_FLAG_MANDATORY, 1, &level) >= 0;
    q7id_t d = ok ? Q7Dcreate2(f, "data", Q7T_NATIVE_INT_g, s, 0, p, 0) : -1;
    auto t = Clock::now();
    ok = d >= 0 && Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, 0, data) >= 0;
    if (dwrite) *dwrite = since(t);
    if (d >= 0) Q7Dclose(d);
    if (p >= 0) Q7Pclose(p);
    if (s >= 0) Q7Sclose(s);
    t = Clock::now();
    ok = Q7Fclose(f) >= 0 && ok;
    if (fclose) *fclose = since(t);
    return ok;
}

bool q7_write(const std::string &file, bool data_sync, int filter, const std::string &label) {
    clean_slate(file);
    q7id_t fapl = 0;
    if (!data_sync) {
        fapl = Q7Pcreate(Q7P_CLS_FILE_ACCESS_ID_g);
        if (fapl < 0) return false;
        if (Q7Pset_fapl_sync(fapl, 0) < 0) {
            Q7Pclose(fapl);
            return false;
        }
    }
    double dwrite = 0, fclose = 0;
    auto t = Clock::now();
    bool ok = q7_create_write_close(file, fapl, filter, source().data(), &dwrite, &fclose);
    g_seconds[label].push_back(since(t));
    g_seconds[label + ": Q7Dwrite"].push_back(dwrite);
    g_seconds[label + ": Q7Fclose"].push_back(fclose);
    if (fapl > 0) Q7Pclose(fapl);
    return ok;
}

bool q7_read(const std::string &file, const std::string &label) {
    memset(sink().data(), 0, kBytes);
    auto t = Clock::now();
    q7id_t f = Q7Fopen(file.c_str(), Q7F_ACC_RDONLY, 0);
    q7id_t d = f >= 0 ? Q7Dopen2(f, "data", 0) : -1;
    auto call = Clock::now();
    bool ok = d >= 0 && Q7Dread(d, Q7T_NATIVE_INT_g, 0, 0, 0, sink().data()) >= 0;
    g_seconds[label + ": Q7Dread"].push_back(since(call));
    if (d >= 0) Q7Dclose(d);
    ok = f >= 0 && Q7Fclose(f) >= 0 && ok;
    g_seconds[label].push_back(since(t));
    return ok && memcmp(sink().data(), source().data(), kBytes) == 0;
}

bool reference_write(const std::string &rollback_db, const std::string &wal_db, const std::string &log) {
    using storage_reference::Journal;
    const auto *src = (const unsigned char *)source().data();
    storage_reference::WriteSeconds sec;
    clean_slate(rollback_db);
    if (!storage_reference::sqlite_write(rollback_db, Journal::RollbackFull, src, kBytes, kMiB, &sec)) return false;
    g_seconds[kSqliteRollback].push_back(sec.whole);
    g_seconds[kSqliteRollback + ": transaction"].push_back(sec.transaction);
    clean_slate(wal_db);
    if (!storage_reference::sqlite_write(wal_db, Journal::WriteAheadLog, src, kBytes, kMiB, &sec)) return false;
    g_seconds[kSqliteWal].push_back(sec.whole);
    g_seconds[kSqliteWal + ": transaction"].push_back(sec.transaction);
    clean_slate(log);
    double log_sec = 0;
    if (!storage_reference::log_layout_write(log, src, kBytes, &log_sec)) return false;
    g_seconds[kLogLayout].push_back(log_sec);
    return true;
}

bool reference_read(const std::string &db) {
    double sec = 0;
    if (!storage_reference::sqlite_read(db, (unsigned char *)sink().data(), (const unsigned char *)source().data(),
                                        kBytes, kMiB, &sec))
        return false;
    g_seconds[kSqliteRead].push_back(sec);
    return true;
}

bool g_have_offset = false;
bool g_have_sync_setting = false;
bool g_failed = false;  // some round stopped part way: the tables would mix rounds

void round(benchmark::State &state) {
    auto in_work = [](const char *name) { return (work_dir() / name).string(); };
    std::string plain = in_work("plain.bin"), plain_synced = in_work("plain-synced.bin");
    std::string q7 = in_work("default.q7"), q7_nosync = in_work("nosync.q7"), q7f = in_work("filtered.q7");
    std::string rollback = in_work("rollback.sqlite"), wal = in_work("wal.sqlite"), log = in_work("log-layout.bin");
    for (auto _ : state) {
        bool ok = plain_write(plain, false) && plain_write(plain_synced, true) && q7_write(q7, true, 0, kQ7Default) &&
                  (!g_have_sync_setting || q7_write(q7_nosync, false, 0, kQ7NoSync)) &&
                  (!g_have_offset || q7_write(q7f, true, 257, kQ7Filter)) && reference_write(rollback, wal, log) &&
                  plain_read(plain) && q7_read(q7, kQ7Read) && (!g_have_offset || q7_read(q7f, kQ7ReadFilter)) &&
                  reference_read(rollback);
        if (!ok) {
            g_failed = true;
            state.SkipWithError("a pass failed or read back different data");
            break;
        }
    }
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct PeakMemory {
    bool ok = false;
    long buffer_filled_kib = 0;  // high-water mark once the caller's buffer is filled, before Q7Fcreate
    long peak_kib = 0;           // high-water mark once Q7Fclose has returned
};

long max_rss_kib() {
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// Runs the default 256 MiB write in a child forked while this process
// holds no large buffer yet, so the child's high-water mark starts small
// and no earlier pass is in it.
PeakMemory peak_memory_of_default_write() {
    PeakMemory r;
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return r;
    std::string file = (work_dir() / "peak.q7").string();
    pid_t pid = fork();
    if (pid == 0) {
        close(pipe_fds[0]);
        PeakMemory c;
        Q7open();
        std::vector<int> data(kElems);
        fill(data.data());
        c.buffer_filled_kib = max_rss_kib();
        c.ok = q7_create_write_close(file, 0, 0, data.data(), nullptr, nullptr);
        c.peak_kib = max_rss_kib();
        Q7close();
        bool sent = write(pipe_fds[1], &c, sizeof c) == (ssize_t)sizeof c;
        _exit(sent ? 0 : 1);
    }
    close(pipe_fds[1]);
    if (pid > 0 && read(pipe_fds[0], &r, sizeof r) != (ssize_t)sizeof r) r.ok = false;
    close(pipe_fds[0]);
    int status = 0;
    if (pid > 0 && (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)) r.ok = false;
    storage_reference::remove_database(file);
    return r;
}

void print_tables(const PeakMemory &peak) {
    auto ms = [](const std::string &k) { return 1000 * median(g_seconds[k]); };
    auto mibs = [](const std::string &k) { return (double)kBytes / kMiB / median(g_seconds[k]); };
    auto has = [](const std::string &k) { return g_seconds.count(k) && !g_seconds[k].empty(); };

    printf("\nmedian of %zu rounds, 256 MiB each\n", g_seconds[kPlainWrite].size());
    printf("\nwriting, file creation to close returned: time ratio to the plain file (lower is better)\n");
    printf("%-24s %8s %7s  %-28s %8s %6s  %-10s %10s %10s\n", "pass", "ms", "MiB/s", "baseline", "ms", "ratio",
           "target", "Q7Dwrite", "Q7Fclose");
    struct WriteRow {
        const std::string &pass, &baseline;
        double target;  // 0: none
    };
    const WriteRow writes[] = {{kQ7Default, kPlainWriteSync, 1.6}, {kQ7NoSync, kPlainWrite, 3.0},
                               {kQ7Filter, kPlainWriteSync, 0}};
    for (auto &w : writes) {
        if (!has(w.pass)) {
            printf("%-24s %8s\n", w.pass.c_str(), "skipped");
            continue;
        }
        double ratio = median(g_seconds[w.pass]) / median(g_seconds[w.baseline]);
        char target[32] = "";
        if (w.target > 0) snprintf(target, sizeof target, "<= %.1f %s", w.target, ratio <= w.target ? "met" : "NOT MET");
        printf("%-24s %8.0f %7.0f  %-28s %8.0f %6.2f  %-10s %7.0f ms %7.0f ms\n", w.pass.c_str(), ms(w.pass),
               mibs(w.pass), w.baseline.c_str(), ms(w.baseline), ratio, target, ms(w.pass + ": Q7Dwrite"),
               ms(w.pass + ": Q7Fclose"));
    }

    printf("\nreading the files just written: throughput ratio to the plain file (higher is better)\n");
    printf("%-24s %8s %7s %6s   %-24s %7s %6s\n", "pass", "ms", "MiB/s", "ratio", "call alone", "MiB/s", "ratio");
    for (const std::string &pass : {kQ7Read, kQ7ReadFilter}) {
        if (!has(pass + ": Q7Dread")) {
            printf("%-24s %8s\n", pass.c_str(), "skipped");
            continue;
        }
        std::string call = pass + ": Q7Dread";
        printf("%-24s %8.0f %7.0f %6.2f   %-24s %7.0f %6.2f\n", pass.c_str(), ms(pass), mibs(pass),
               mibs(pass) / mibs(kPlainRead), "Q7Dread / read() loop", mibs(call), mibs(call) / mibs(kPlainReadLoop));
    }
    printf("%-24s %8.0f %7.0f %6s   %-24s %7.0f\n", kPlainRead.c_str(), ms(kPlainRead), mibs(kPlainRead), "",
           kPlainReadLoop.c_str(), mibs(kPlainReadLoop));

    printf("\nreference: the container alone, same rounds (open to close returned; the transaction alone beside)\n");
    printf("%-36s %8s %-28s %6s %12s\n", "pass", "ms", "baseline", "ratio", "transaction");
    struct RefRow {
        const std::string &pass, &baseline;
    };
    const RefRow refs[] = {{kSqliteRollback, kPlainWriteSync}, {kSqliteWal, kPlainWriteSync}, {kLogLayout, kPlainWrite}};
    for (auto &r : refs) {
        if (!has(r.pass)) continue;
        char txn[32] = "";
        if (has(r.pass + ": transaction")) snprintf(txn, sizeof txn, "%9.0f ms", ms(r.pass + ": transaction"));
        printf("%-36s %8.0f %-28s %6.2f %12s\n", r.pass.c_str(), ms(r.pass), r.baseline.c_str(),
               median(g_seconds[r.pass]) / median(g_seconds[r.baseline]), txn);
    }
    if (has(kSqliteRead))
        printf("%-36s %8.0f %-28s %6.2f  (throughput ratio)\n", kSqliteRead.c_str(), ms(kSqliteRead),
               kPlainReadLoop.c_str(), mibs(kSqliteRead) / mibs(kPlainReadLoop));

    printf("\npeak memory of a child writing 256 MiB to a default file (RSS high-water mark)\n");
    if (!peak.ok) {
        printf("the child's write failed: no figure\n");
        return;
    }
    double peak_mib = peak.peak_kib / 1024.0, filled_mib = peak.buffer_filled_kib / 1024.0;
    double over = peak_mib - (double)kBytes / kMiB;
    printf("peak %.0f MiB, minus the caller's 256 MiB buffer: %.0f MiB (target <= 96: %s); "
           "with the buffer filled, before Q7Fcreate: %.0f MiB\n",
           peak_mib, over, over <= 96 ? "met" : "NOT MET", filled_mib);
}

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    PeakMemory peak = peak_memory_of_default_write();
    Q7open();
    source();
    sink();
    g_have_offset = Q7Zfilter_avail(257) > 0;
    if (!g_have_offset)
        fprintf(stderr, "filter 257 is not available (offset_plugin not built or not on QUOR7_PLUGIN_PATH): "
                        "its cases are skipped\n");
    g_have_sync_setting = Q7Pset_fapl_sync != nullptr;
    if (!g_have_sync_setting)
        fprintf(stderr, "this libquor7 has no Q7Pset_fapl_sync: the sync-off pass is skipped\n");
    benchmark::RegisterBenchmark("storage/round_256MiB", round)->Iterations(5)->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    int rc = 1;
    if (g_failed)
        fprintf(stderr, "a round failed: no table\n");
    else if (!g_seconds[kPlainWrite].empty()) {
        print_tables(peak);
        rc = peak.ok ? 0 : 1;
        // Every pass runs once a round; more or fewer values means two
        // passes were filed under one name and the medians mix them.
        for (auto &[pass, values] : g_seconds)
            if (values.size() != g_seconds[kPlainWrite].size()) {
                fprintf(stderr, "pass \"%s\" has %zu values for %zu rounds\n", pass.c_str(), values.size(),
                        g_seconds[kPlainWrite].size());
                rc = 1;
            }
    }
    std::error_code ec;
    std::filesystem::remove_all(work_dir(), ec);
    Q7close();
    return rc;
}
