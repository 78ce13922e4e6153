// Reference passes for the storage benchmark: what the container underneath
// a Quor7 file costs on its own, measured in the same run as Q7Dwrite and
// Q7Dread, so that the library's own share can be told apart from the
// share of the SQLite write-ahead log it stores chunks in.
#pragma once

#include <cstddef>
#include <string>

namespace storage_reference {

// SQLite alone: the same blobs inserted into (and read back from) a bare
// database set up as a Quor7 file is (64 KiB pages, write-ahead log,
// synchronous=NORMAL, 16 MiB cache), one blob per chunk in one
// transaction, with no Quor7 code in the way.  The timed part is the
// transaction (write) or the blob reads (read); the database is closed,
// and its log folded, outside it.  Each returns false on any SQLite error
// or, for the read, on data that differs.
bool sqlite_write(const std::string &file, const unsigned char *data, size_t bytes, size_t chunk, double *seconds);
bool sqlite_read(const std::string &file, unsigned char *out, const unsigned char *expect, size_t bytes, size_t chunk,
                 double *seconds);

// The write-ahead log's own layout, written with pwrite() to a plain file:
// a 32-byte header, then for every 64 KiB page a 24-byte frame header and
// the page, in two calls, as the log is written.  No SQLite work at all:
// this is the kernel's share of writing data through the log.
bool log_layout_write(const std::string &file, const unsigned char *data, size_t bytes, double *seconds);

} // namespace storage_reference
