// sqlite_integrity.hpp - SQLite's own verdict on a file, for tests that
// link SQLite: "ok", the problems it lists, or "cannot open".
#pragma once

#include <sqlite3.h>

#include <string>

namespace q7test {

inline std::string sqlite_integrity(const std::string &file) {
    sqlite3 *db = nullptr;
    std::string result;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        result = "cannot open";
    } else {
        sqlite3_stmt *st = nullptr;
        sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr);
        while (st && sqlite3_step(st) == SQLITE_ROW) result += (const char *)sqlite3_column_text(st, 0);
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return result;
}

} // namespace q7test
