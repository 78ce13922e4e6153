// craft_sql.hpp - the hostile-file tests craft files by running SQL on
// files the library wrote, as someone sending such a file would.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

namespace q7craft {

// Runs `text` (one or more statements) on `file` through SQLite.
inline void sql(const std::string &file, const std::string &text) {
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    char *err = nullptr;
    const int rc = sqlite3_exec(db, text.c_str(), nullptr, nullptr, &err);
    const std::string msg = err ? err : "";
    sqlite3_free(err);
    sqlite3_close(db);
    ASSERT_EQ(rc, SQLITE_OK) << msg << " in: " << text.substr(0, 200);
}

} // namespace q7craft
