// Reference passes for the storage benchmark (see storage_reference.hpp).
#include "storage_reference.hpp"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>

namespace storage_reference {

namespace {

using Clock = std::chrono::steady_clock;
double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

constexpr size_t kPage = 65536;

bool exec(sqlite3 *db, const char *sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

// Closes on every early return; the close folds a log into the database.
struct Db {
    sqlite3 *db = nullptr;
    ~Db() { sqlite3_close(db); }
};

} // namespace

void remove_database(const std::string &file) {
    std::error_code ec;
    for (const char *suffix : {"", "-wal", "-shm", "-journal"}) std::filesystem::remove(file + suffix, ec);
}

bool sqlite_write(const std::string &file, Journal journal, const unsigned char *data, size_t bytes, size_t chunk,
                  WriteSeconds *seconds) {
    remove_database(file);
    const char *setup = journal == Journal::RollbackFull
                            ? "PRAGMA page_size=65536; PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL;"
                              "PRAGMA cache_size=-16384;"
                            : "PRAGMA page_size=65536; PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                              "PRAGMA cache_size=-16384; PRAGMA wal_autocheckpoint=8192;";
    auto whole = Clock::now();
    bool ok = false;
    {
        Db d;
        if (sqlite3_open(file.c_str(), &d.db) != SQLITE_OK) return false;
        if (!exec(d.db, setup) ||
            !exec(d.db, "CREATE TABLE chunks(dset INTEGER NOT NULL, coord BLOB NOT NULL, mask INTEGER NOT NULL,"
                        "  data BLOB NOT NULL, UNIQUE(dset, coord));"))
            return false;
        sqlite3_stmt *s = nullptr;
        if (sqlite3_prepare_v2(d.db, "INSERT INTO chunks(dset, coord, mask, data) VALUES(1, ?, 0, ?)", -1, &s,
                               nullptr) != SQLITE_OK)
            return false;
        auto t = Clock::now();
        ok = exec(d.db, "BEGIN IMMEDIATE");
        for (size_t off = 0, i = 0; ok && off < bytes; off += chunk, ++i) {
            unsigned char key[8];
            for (int b = 0; b < 8; ++b) key[b] = (unsigned char)((uint64_t)i >> (8 * (7 - b)));
            sqlite3_bind_blob(s, 1, key, sizeof key, SQLITE_TRANSIENT);
            sqlite3_bind_blob(s, 2, data + off, (int)std::min(chunk, bytes - off), SQLITE_STATIC);
            ok = sqlite3_step(s) == SQLITE_DONE;
            sqlite3_reset(s);
        }
        ok = ok && exec(d.db, "COMMIT");
        seconds->transaction = since(t);
        sqlite3_finalize(s);
        ok = ok && sqlite3_close(d.db) == SQLITE_OK;
        d.db = nullptr;
    }
    seconds->whole = since(whole);
    return ok;
}

bool sqlite_read(const std::string &file, unsigned char *out, const unsigned char *expect, size_t bytes, size_t chunk,
                 double *seconds) {
    Db d;
    if (sqlite3_open_v2(file.c_str(), &d.db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) return false;
    // The same page cache as a Quor7 file's connection: its size alone
    // moves bulk reads by a fifth (a smaller cache stays in the CPU's).
    if (!exec(d.db, "PRAGMA cache_size=-16384")) return false;
    memset(out, 0, bytes);
    auto t = Clock::now();
    bool ok = exec(d.db, "BEGIN");
    sqlite3_blob *blob = nullptr;
    // Rows were inserted in order, so chunk i has rowid i + 1.
    for (size_t off = 0, i = 0; ok && off < bytes; off += chunk, ++i) {
        int n = (int)std::min(chunk, bytes - off);
        ok = (blob ? sqlite3_blob_reopen(blob, (sqlite3_int64)i + 1)
                   : sqlite3_blob_open(d.db, "main", "chunks", "data", (sqlite3_int64)i + 1, 0, &blob)) == SQLITE_OK &&
             sqlite3_blob_bytes(blob) == n && sqlite3_blob_read(blob, out + off, n, 0) == SQLITE_OK;
    }
    sqlite3_blob_close(blob);
    ok = ok && exec(d.db, "COMMIT");
    *seconds = since(t);
    return ok && memcmp(out, expect, bytes) == 0;
}

bool log_layout_write(const std::string &file, const unsigned char *data, size_t bytes, double *seconds) {
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    unsigned char header[32] = {0}, frame[24] = {0};
    auto t = Clock::now();
    bool ok = pwrite(fd, header, sizeof header, 0) == (ssize_t)sizeof header;
    off_t at = sizeof header;
    for (size_t off = 0; ok && off < bytes; off += kPage) {
        size_t n = std::min(kPage, bytes - off);
        memcpy(frame, &off, sizeof off);  // a frame header that differs per frame, as the real ones do
        ok = pwrite(fd, frame, sizeof frame, at) == (ssize_t)sizeof frame &&
             pwrite(fd, data + off, n, at + (off_t)sizeof frame) == (ssize_t)n;
        at += (off_t)(sizeof frame + kPage);
    }
    *seconds = since(t);
    return close(fd) == 0 && ok;
}

} // namespace storage_reference
