// Many small calls into one file, each pass timed from the file's creation
// until its close has returned (what a caller waits for before the data
// is safely in the file), against SQLite alone doing comparable row work
// in the same directory, in the same run:
//   - 20,000 Q7Gcreate2 under the root group (g00000 .. g19999), each
//     group closed at once, then Q7Fclose;
//   - 20,000 Q7Dwrite calls of one int each, through a one-element
//     hyperslab of a chunked 1-D dataset of 20,000 ints (chunks of 1024),
//     the positions visited in a scattered order (i * 7919 mod 20,000), so
//     that consecutive calls land in different chunks, then Q7Fclose;
//   - baseline: a fresh SQLite database, rollback journal with
//     synchronous=FULL, one table (integer key, short text), 20,000 rows
//     inserted with one prepared statement in one transaction, closed.
// Each file is checked after its pass, outside the timing: every group
// listed under the root in order, every element read back.
//
// Each benchmark iteration is one round of every pass; the table at the
// end gives the median of each pass over the rounds.  Before each pass,
// the previous round's file is removed and sync() flushes what is dirty,
// outside the timing.
//
// The program uses only calls the library has long had, so the same
// source also builds against earlier versions of libquor7 and the two
// can be compared on one machine.
#include "quor7.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int kCount = 20000;
constexpr q7size_t kChunkElems = 1024;
constexpr q7size_t kScatter = 7919;  // prime, so i * kScatter mod kCount visits every position once

using Clock = std::chrono::steady_clock;
double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::map<std::string, std::vector<double>> g_seconds;  // per pass, one per round

const std::string kGroups = "20,000 Q7Gcreate2 + Q7Fclose";
const std::string kWrites = "20,000 one-element Q7Dwrite + Q7Fclose";
const std::string kSqlite = "SQLite alone, 20,000 rows, one transaction";

std::filesystem::path work_dir() {
    static std::filesystem::path dir = [] {
        auto d = std::filesystem::current_path() / "bench-small-calls-work";
        std::filesystem::create_directories(d);
        return d;
    }();
    return dir;
}

void clean_slate(const std::string &file) {
    std::error_code ec;
    for (const char *suffix : {"", "-wal", "-shm", "-journal"}) std::filesystem::remove(file + suffix, ec);
    sync();
}

std::string group_name(int i) {
    char name[16];
    snprintf(name, sizeof name, "g%05d", i);
    return name;
}

int value_at(q7size_t pos) { return (int)(pos * 3 + 1); }

bool create_groups(const std::string &file) {
    q7id_t f = Q7Fcreate(file.c_str(), Q7F_ACC_TRUNC, 0, 0);
    if (f < 0) return false;
    bool ok = true;
    for (int i = 0; ok && i < kCount; ++i) {
        q7id_t g = Q7Gcreate2(f, group_name(i).c_str(), 0, 0, 0);
        ok = g >= 0 && Q7Gclose(g) >= 0;
    }
    return Q7Fclose(f) >= 0 && ok;
}

struct Listing {
    int seen = 0;
    bool in_order = true;
};

q7status_t list_one(q7id_t, const char *name, const Q7L_info_t *info, void *op_data) {
    auto *l = (Listing *)op_data;
    if (info->type != Q7L_TYPE_HARD || group_name(l->seen) != name) l->in_order = false;
    ++l->seen;
    return 0;
}

bool groups_are_there(const std::string &file) {
    q7id_t f = Q7Fopen(file.c_str(), Q7F_ACC_RDONLY, 0);
    if (f < 0) return false;
    Listing l;
    bool ok = Q7Literate2(f, nullptr, list_one, &l) >= 0;
    Q7O_info2_t info;
    ok = ok && Q7Oget_info_by_name2(f, group_name(kCount - 1).c_str(), &info, Q7O_INFO_BASIC, 0) >= 0 &&
         info.type == Q7O_TYPE_GROUP;
    Q7Fclose(f);
    return ok && l.in_order && l.seen == kCount;
}

bool write_elements(const std::string &file) {
    q7id_t f = Q7Fcreate(file.c_str(), Q7F_ACC_TRUNC, 0, 0);
    if (f < 0) return false;
    q7size_t n = kCount, c = kChunkElems, one = 1;
    q7id_t file_space = Q7Screate_simple(1, &n, nullptr);
    q7id_t mem_space = Q7Screate_simple(1, &one, nullptr);
    q7id_t p = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
    bool ok = file_space >= 0 && mem_space >= 0 && p >= 0 && Q7Pset_chunk(p, 1, &c) >= 0;
    q7id_t d = ok ? Q7Dcreate2(f, "data", Q7T_NATIVE_INT_g, file_space, 0, p, 0) : -1;
    ok = ok && d >= 0;
    for (q7size_t i = 0; ok && i < (q7size_t)kCount; ++i) {
        q7size_t pos = i * kScatter % kCount;
        int v = value_at(pos);
        ok = Q7Sselect_hyperslab(file_space, Q7S_SELECT_SET, &pos, nullptr, &one, nullptr) >= 0 &&
             Q7Dwrite(d, Q7T_NATIVE_INT_g, mem_space, file_space, 0, &v) >= 0;
    }
    if (d >= 0) Q7Dclose(d);
    if (p >= 0) Q7Pclose(p);
    if (mem_space >= 0) Q7Sclose(mem_space);
    if (file_space >= 0) Q7Sclose(file_space);
    return Q7Fclose(f) >= 0 && ok;
}

bool elements_are_there(const std::string &file) {
    q7id_t f = Q7Fopen(file.c_str(), Q7F_ACC_RDONLY, 0);
    if (f < 0) return false;
    q7id_t d = Q7Dopen2(f, "data", 0);
    std::vector<int> got(kCount, 0);
    bool ok = d >= 0 && Q7Dread(d, Q7T_NATIVE_INT_g, 0, 0, 0, got.data()) >= 0;
    if (d >= 0) Q7Dclose(d);
    Q7Fclose(f);
    for (q7size_t pos = 0; ok && pos < (q7size_t)kCount; ++pos) ok = got[pos] == value_at(pos);
    return ok;
}

bool exec(sqlite3 *db, const char *sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

bool sqlite_rows(const std::string &file) {
    sqlite3 *db = nullptr;
    if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) {
        sqlite3_close(db);
        return false;
    }
    sqlite3_stmt *s = nullptr;
    bool ok = exec(db, "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL;"
                       "CREATE TABLE items(id INTEGER PRIMARY KEY, name TEXT NOT NULL);") &&
              sqlite3_prepare_v2(db, "INSERT INTO items(id, name) VALUES(?, ?)", -1, &s, nullptr) == SQLITE_OK &&
              exec(db, "BEGIN IMMEDIATE");
    for (int i = 0; ok && i < kCount; ++i) {
        std::string name = group_name(i);
        sqlite3_bind_int(s, 1, i);
        sqlite3_bind_text(s, 2, name.c_str(), (int)name.size(), SQLITE_TRANSIENT);
        ok = sqlite3_step(s) == SQLITE_DONE;
        sqlite3_reset(s);
    }
    ok = ok && exec(db, "COMMIT");
    sqlite3_finalize(s);
    return sqlite3_close(db) == SQLITE_OK && ok;
}

bool rows_are_there(const std::string &file) {
    sqlite3 *db = nullptr;
    sqlite3_stmt *s = nullptr;
    bool ok = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
              sqlite3_prepare_v2(db, "SELECT count(*), max(id) FROM items", -1, &s, nullptr) == SQLITE_OK &&
              sqlite3_step(s) == SQLITE_ROW && sqlite3_column_int(s, 0) == kCount &&
              sqlite3_column_int(s, 1) == kCount - 1;
    sqlite3_finalize(s);
    sqlite3_close(db);
    return ok;
}

// Runs one pass: a clean start, the timed work, then the check.
bool pass(const std::string &label, const std::string &file, bool (*work)(const std::string &),
          bool (*check)(const std::string &)) {
    clean_slate(file);
    auto t = Clock::now();
    bool ok = work(file);
    g_seconds[label].push_back(since(t));
    if (!ok) fprintf(stderr, "%s: a call failed\n", label.c_str());
    else if (!check(file)) {
        fprintf(stderr, "%s: the file does not hold what was written\n", label.c_str());
        ok = false;
    }
    return ok;
}

bool g_failed = false;

void round(benchmark::State &state) {
    std::string groups = (work_dir() / "groups.q7").string();
    std::string elements = (work_dir() / "elements.q7").string();
    std::string rows = (work_dir() / "rows.sqlite").string();
    for (auto _ : state) {
        bool ok = pass(kGroups, groups, create_groups, groups_are_there) &&
                  pass(kWrites, elements, write_elements, elements_are_there) &&
                  pass(kSqlite, rows, sqlite_rows, rows_are_there);
        if (!ok) {
            g_failed = true;
            state.SkipWithError("a pass failed or its file does not hold what was written");
            break;
        }
    }
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv) {
    Q7open();
    benchmark::RegisterBenchmark("small_calls/round", round)->Iterations(5)->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    int rc = 1;
    if (g_failed) {
        fprintf(stderr, "a round failed: no table\n");
    } else if (!g_seconds[kSqlite].empty()) {
        double base = median(g_seconds[kSqlite]);
        printf("\nmedian of %zu rounds, file creation to close returned; ratio = time / SQLite alone\n",
               g_seconds[kSqlite].size());
        printf("%-44s %10s %8s\n", "pass", "seconds", "ratio");
        for (const std::string &p : {kGroups, kWrites, kSqlite})
            printf("%-44s %10.3f %8.1f\n", p.c_str(), median(g_seconds[p]), median(g_seconds[p]) / base);
        rc = 0;
    }
    std::error_code ec;
    std::filesystem::remove_all(work_dir(), ec);
    Q7close();
    return rc;
}
