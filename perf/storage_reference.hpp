// Reference passes for the storage benchmark: what the container underneath
// a Quor7 file costs on its own, measured in the same run as Q7Dwrite and
// Q7Dread, so that the library's own share can be told apart from the
// share of SQLite it stores chunks in.
#pragma once

#include <cstddef>
#include <string>

namespace storage_reference {

// How the bare database commits, mirroring the two ways a Quor7 file can.
enum class Journal {
    // Rollback journal (journal_mode=DELETE) with synchronous=FULL: the
    // durable default of a Quor7 file.
    RollbackFull,
    // Write-ahead log with synchronous=NORMAL and its checkpoint every
    // 8192 pages: a writer with concurrent readers.
    WriteAheadLog,
};

struct WriteSeconds {
    double transaction = 0;  // BEGIN IMMEDIATE to COMMIT returned
    double whole = 0;        // sqlite3_open to sqlite3_close returned, schema and close included
};

// SQLite alone: the same blobs inserted into (and read back from) a bare
// database set up as a Quor7 file is (64 KiB pages, 16 MiB cache, the
// chunk table's shape), one blob per chunk in one transaction, with no
// Quor7 code in the way.  The write reports both the transaction alone
// and the whole life of the database, whose close folds a write-ahead log
// into the main file; the read times the blob reads.  Each returns false
// on any SQLite error or, for the read, on data that differs.
bool sqlite_write(const std::string &file, Journal journal, const unsigned char *data, size_t bytes, size_t chunk,
                  WriteSeconds *seconds);
bool sqlite_read(const std::string &file, unsigned char *out, const unsigned char *expect, size_t bytes, size_t chunk,
                 double *seconds);

// The write-ahead log's own layout, written with pwrite() to a plain file:
// a 32-byte header, then for every 64 KiB page a 24-byte frame header and
// the page, in two calls, as the log is written.  No SQLite work at all:
// this is the kernel's share of writing data through the log.
bool log_layout_write(const std::string &file, const unsigned char *data, size_t bytes, double *seconds);

// Removes a database and whatever journal, log or shared-memory file it left.
void remove_database(const std::string &file);

} // namespace storage_reference
