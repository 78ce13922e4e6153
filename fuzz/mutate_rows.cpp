// mutate_rows - the file format fuzzed through its own structure: a small
// valid file made by the library once, its SQLite rows, values and schema
// changed as the input says, then opened, walked, read and compared with
// the original by the same code as open_walk and diff_files.
//
// Input: byte 0 the comparison's option bits, then operations until the
// input ends, each a selector byte and its arguments:
//   selector % 4 == 0..2: one value of a row changed.  Next bytes: table
//     (mod 7), column (mod the table's columns), row (mod 8: the row's
//     offset in the table), value kind (mod 5: NULL, small integer, 64-bit
//     integer, text, blob) and the value (integer: 1 or 8 bytes; text and
//     blob: a length byte, then that many bytes).
//   selector % 4 == 3: one of kSchemaChanges, or a row deleted or copied
//     (next byte: which).
#include "harness.hpp"

#include <sqlite3.h>

#include <cstring>
#include <string>
#include <vector>

#include "fuzz_common.hpp"
#include "quor7.h"

namespace q7fuzz {

namespace {

struct Table {
    const char *name;
    const char *key;  // the columns that pick one row
    std::vector<const char *> columns;
};

const std::vector<Table> &tables() {
    static const std::vector<Table> t = {
        {"settings", "key", {"key", "value"}},
        {"objects", "addr", {"addr", "kind", "nlinks"}},
        {"links", "parent, name", {"parent", "name", "type", "target", "value"}},
        {"datasets", "addr", {"addr", "type", "dims", "maxdims", "chunk"}},
        {"filters", "dset, position", {"dset", "position", "id", "flags", "cd_values", "name"}},
        {"chunks", "rowid", {"dset", "coord", "mask", "data"}},
        {"attributes", "owner, name", {"owner", "name", "type", "dims", "value"}},
    };
    return t;
}

// What an author of a hostile file may add to or take from the schema.
const char *const kSchemaChanges[] = {
    "CREATE VIEW v AS WITH RECURSIVE r(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM r) SELECT x FROM r",
    ("ALTER TABLE settings RENAME TO s0; CREATE VIEW settings(key, value) AS SELECT key, "
     "CASE key WHEN 'root' THEN value ELSE sqlite_version() END FROM s0"),
    "CREATE TRIGGER t AFTER INSERT ON links BEGIN DELETE FROM chunks; END",
    "CREATE TABLE extra(x)",
    "CREATE INDEX li ON links(type)",
    "CREATE VIRTUAL TABLE ft USING fts4(x)",
    "DROP TABLE filters",
    "ALTER TABLE chunks ADD COLUMN extra DEFAULT (random())",
};
constexpr unsigned kNumSchemaChanges = sizeof kSchemaChanges / sizeof kSchemaChanges[0];

uint8_t take(const uint8_t *&p, size_t &left) {
    if (left == 0) return 0;
    --left;
    return *p++;
}

bool check(bool ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "mutate_rows: %s failed\n", what);
        abort();
    }
    return ok;
}

// The file every input starts from: groups, a chunked dataset with a
// pipeline and a fill value, a contiguous one, attributes, a soft link, a
// hard link and an external link (to the name the walk gives its file).
const std::vector<uint8_t> &base_file() {
    static const std::vector<uint8_t> &bytes = *new std::vector<uint8_t>([] {
        const std::string path = scratch_path("base.q7");
        const q7id_t f = Q7Fcreate(path.c_str(), Q7F_ACC_TRUNC, 0, 0);
        check(f >= 0, "Q7Fcreate");
        const q7id_t g = Q7Gcreate2(f, "g", 0, 0, 0);
        q7size_t dims[2] = {8, 8}, chunk[2] = {4, 4}, n3[1] = {3};
        std::vector<int> values(64);
        for (int i = 0; i < 64; ++i) values[size_t(i)] = i * 7 - 100;
        const q7id_t space = Q7Screate_simple(2, dims, nullptr), dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
        const unsigned level = 3;
        const int fill = -1;
        check(Q7Pset_chunk(dcpl, 2, chunk) >= 0 &&
                  Q7Pset_filter(dcpl, Q7Z_FILTER_SHUFFLE, Q7Z_FLAG_MANDATORY, 0, nullptr) >= 0 &&
                  Q7Pset_filter(dcpl, Q7Z_FILTER_DEFLATE, Q7Z_FLAG_MANDATORY, 1, &level) >= 0 &&
                  Q7Pset_fill_value(dcpl, Q7T_NATIVE_INT_g, &fill) >= 0,
              "dataset properties");
        const q7id_t d = Q7Dcreate2(g, "d", Q7T_NATIVE_INT_g, space, 0, dcpl, 0);
        check(d >= 0 && Q7Dwrite(d, Q7T_NATIVE_INT_g, Q7S_ALL, Q7S_ALL, 0, values.data()) >= 0, "chunked dataset");
        const q7id_t s3 = Q7Screate_simple(1, n3, nullptr);
        const q7id_t a = Q7Acreate2(d, "a", Q7T_NATIVE_INT_g, s3, 0, 0);
        check(a >= 0 && Q7Awrite(a, Q7T_NATIVE_INT_g, values.data()) >= 0, "attribute");
        const double reals[3] = {0.5, -2, 1e300};
        const q7id_t c = Q7Dcreate2(f, "c", Q7T_NATIVE_DOUBLE_g, s3, 0, 0, 0);
        check(c >= 0 && Q7Dwrite(c, Q7T_NATIVE_DOUBLE_g, Q7S_ALL, Q7S_ALL, 0, reals) >= 0, "contiguous dataset");
        const q7id_t b = Q7Acreate2(g, "b", Q7T_NATIVE_DOUBLE_g, s3, 0, 0);
        check(b >= 0 && Q7Awrite(b, Q7T_NATIVE_DOUBLE_g, reals) >= 0, "group attribute");
        check(Q7Lcreate_soft("/g/d", f, "s", 0, 0) >= 0 && Q7Lcreate_hard(f, "g", f, "h", 0, 0) >= 0 &&
                  Q7Lcreate_external("walk.q7", "/g", f, "e", 0, 0) >= 0,
              "links");
        Q7Aclose(b);
        Q7Dclose(c);
        Q7Aclose(a);
        Q7Sclose(s3);
        Q7Dclose(d);
        Q7Pclose(dcpl);
        Q7Sclose(space);
        Q7Gclose(g);
        check(Q7Fclose(f) >= 0, "Q7Fclose");
        FILE *in = fopen(path.c_str(), "rb");
        check(in != nullptr, "reading the base file");
        std::vector<uint8_t> out;
        int ch;
        while ((ch = fgetc(in)) != EOF) out.push_back(uint8_t(ch));
        fclose(in);
        clear_scratch();
        return out;
    }());
    return bytes;
}

void bind_value(sqlite3_stmt *s, int at, const uint8_t *&p, size_t &left) {
    switch (take(p, left) % 5) {
    case 0: sqlite3_bind_null(s, at); break;
    case 1: sqlite3_bind_int64(s, at, int8_t(take(p, left))); break;
    case 2: {
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= uint64_t(take(p, left)) << (8 * i);
        sqlite3_bind_int64(s, at, int64_t(v));
        break;
    }
    default: {
        const bool text = (p[-1] % 5) == 3;
        size_t n = take(p, left);
        if (n > left) n = left;
        if (text)
            sqlite3_bind_text(s, at, reinterpret_cast<const char *>(p), int(n), SQLITE_TRANSIENT);
        else
            sqlite3_bind_blob(s, at, p, int(n), SQLITE_TRANSIENT);
        p += n;
        left -= n;
    }
    }
}

void run(sqlite3 *db, const std::string &sql, const uint8_t *&p, size_t &left, bool with_value) {
    sqlite3_stmt *s = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK) {
        if (with_value) bind_value(s, 1, p, left);
        while (sqlite3_step(s) == SQLITE_ROW) {
        }
    }
    sqlite3_finalize(s);
}

// Applies the input's operations to the file at `path` through SQLite.
void mutate(const std::string &path, const uint8_t *p, size_t left) {
    sqlite3 *db = nullptr;
    check(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK, "sqlite3_open");
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (int ops = 0; left > 0 && ops < 32; ++ops) {
        const uint8_t sel = take(p, left);
        const Table &t = tables()[take(p, left) % tables().size()];
        if (sel % 4 < 3) {
            const char *col = t.columns[take(p, left) % t.columns.size()];
            const unsigned row = take(p, left) % 8;
            run(db,
                std::string("UPDATE OR IGNORE ") + t.name + " SET " + col + " = ? WHERE (" + t.key + ") IN (SELECT " +
                    t.key + " FROM " + t.name + " LIMIT 1 OFFSET " + std::to_string(row) + ")",
                p, left, true);
            continue;
        }
        const unsigned which = take(p, left);
        std::string sql;
        if (which % 3 == 0)
            sql = kSchemaChanges[(which / 3) % kNumSchemaChanges];
        else if (which % 3 == 1)
            sql = std::string("DELETE FROM ") + t.name + " WHERE (" + t.key + ") IN (SELECT " + t.key + " FROM " +
                  t.name + " LIMIT 1 OFFSET " + std::to_string((which / 3) % 8) + ")";
        else if (std::strcmp(t.name, "links") == 0)
            // A copy of a link under a new name (the name is the next value).
            sql = "INSERT OR IGNORE INTO links SELECT parent, ?, type, target, value FROM links LIMIT 1 OFFSET " +
                  std::to_string((which / 3) % 8);
        else
            continue;
        if (sql.find('?') != std::string::npos) {
            run(db, sql, p, left, true);
        } else {
            sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
        }
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

std::vector<uint8_t> slurp(const std::string &path) {
    std::vector<uint8_t> out;
    FILE *in = fopen(path.c_str(), "rb");
    if (!in) return out;
    int ch;
    while ((ch = fgetc(in)) != EOF) out.push_back(uint8_t(ch));
    fclose(in);
    return out;
}

} // namespace

Outcome mutate_rows(const uint8_t *data, size_t size) {
    quiet_library();
    const std::vector<uint8_t> &base = base_file();
    const uint8_t *p = data;
    size_t left = size;
    const uint8_t bits = take(p, left);
    const std::string path = scratch_path("mutated.q7");
    write_bytes(path, base.data(), base.size());
    mutate(path, p, left);
    const std::vector<uint8_t> changed = slurp(path);
    clear_scratch();
    // Opened, walked and read; then compared with the file it came from.
    Outcome out = open_walk(changed.data(), changed.size());
    std::vector<uint8_t> pair;
    pair.reserve(5 + changed.size() + base.size());
    pair.push_back(bits);
    for (int i = 0; i < 4; ++i) pair.push_back(uint8_t(changed.size() >> (8 * i)));
    pair.insert(pair.end(), changed.begin(), changed.end());
    pair.insert(pair.end(), base.begin(), base.end());
    const Outcome compared = diff_files(pair.data(), pair.size());
    out.objects += compared.objects;
    out.values_read += compared.values_read;
    return out;
}

} // namespace q7fuzz
