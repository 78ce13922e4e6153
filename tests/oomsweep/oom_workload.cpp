// Helper program of the allocation-failure sweep: runs a workload of the
// storage library's C interface while its allocator (oom_alloc.c) fails one
// chosen allocation, and checks afterwards that the files hold exactly what
// was committed.
//
//   oom_workload run WORKLOAD DIR   runs the steps of WORKLOAD in DIR
//   oom_workload verify DIR         reopens the files of DIR in a clean
//                                   process and compares them with the
//                                   state of their last commit
//   oom_workload list               names the workloads
//
// Environment of `run`: QUOR7_OOM_FAIL_AT=N fails allocation N (counted from
// 1, inside library calls only) once; QUOR7_OOM_COUNT=1 prints
// "allocations N" on standard error at the end of the run.
//
// The program keeps a model of both files: every entry a dump of the file
// shows (groups, links, datasets with their shape, chunks, filters and
// values, attributes), keyed "file:/path", "file:/path:data" and
// "file:/path@attribute".  A call that returns success applies its effect
// to the model at once; a successful commit (creating, flushing or closing
// a file, closing the library) copies the model of that file into
// DIR/expected.txt.  `verify` compares a fresh dump with that file.
//
// When a call fails, its error stack must hold a record of the failed
// allocation.  After a failure in a step that commits (creating, flushing
// or closing) the process ends at once, without the close at exit (the
// files must be at their last commit); after any other failure it closes the
// library, which must commit every effect of the calls that succeeded and
// nothing of the failed one -- unless the failure's records say that the
// changes since the last commit are lost, when the file must be as then.
//
// Exit status of `run`: 0 every step done; 3 a call failed with a true
// record; 4 a call returned success but what it read or left differs from
// the model; 5 a call failed without a record of the failed allocation (or
// with a misleading one); 6 closing the library after the failure failed
// (verify then accepts the files at their last commit or with every
// effect committed, DIR/expected-or.txt);
// 2 misuse.  Progress lines "step NAME" on standard output tell which step
// was running if the process dies.
#include "oom_alloc.h"
#include "quor7.h"
#include "quor7_hl.h"
#include "sqlite_integrity.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------------
// Library calls: counted, checked, and reported when they fail
// ---------------------------------------------------------------------

struct LibScope {
    LibScope() { oom_enter(); }
    ~LibScope() { oom_leave(); }
};

// The workload's own code inside a callback the library calls.
struct OwnCode {
    OwnCode() { oom_leave(); }
    ~OwnCode() { oom_enter(); }
};

#define LIB(...) ([&] { LibScope lib_scope_; return (__VA_ARGS__); }())

struct Record {
    q7id_t minor;
    std::string desc;
};

struct CallFailed {
    std::string call;
    std::vector<Record> records;
};

struct Mismatch {
    std::string what;
};

std::vector<Record> error_records() {
    std::vector<Record> out;
    Q7Ewalk2(
        0, Q7E_WALK_UPWARD,
        [](unsigned, const Q7E_error2_t *e, void *op) -> q7status_t {
            ((std::vector<Record> *)op)->push_back({e->min_num, e->desc ? e->desc : ""});
            return 0;
        },
        &out);
    return out;
}

[[noreturn]] void failed(const char *call) { throw CallFailed{call, error_records()}; }

template <class T>
T must(T rc, const char *call) {
    if (rc < 0) failed(call);
    return rc;
}

#define CALL(...) must(LIB(__VA_ARGS__), #__VA_ARGS__)

// ---------------------------------------------------------------------
// The model and its text form
// ---------------------------------------------------------------------

using Model = std::map<std::string, std::string>;

const char *const kFiles[] = {"target", "main"};

std::string file_name(const std::string &file) { return file + ".q7"; }

std::string join(const std::vector<q7size_t> &v) {
    std::string s = "[";
    for (size_t i = 0; i < v.size(); ++i) s += (i ? "," : "") + std::to_string(v[i]);
    return s + "]";
}

std::string format_values(const std::vector<double> &v, bool integer) {
    std::string s;
    char buf[40];
    for (size_t i = 0; i < v.size(); ++i) {
        if (integer) std::snprintf(buf, sizeof buf, "%lld", (long long)v[i]);
        else std::snprintf(buf, sizeof buf, "%.17g", v[i]);
        s += (i ? "," : "") + std::string(buf);
    }
    return s;
}

std::vector<double> parse_values(const std::string &s) {
    std::vector<double> v;
    const char *p = s.c_str();
    while (*p) {
        char *end = nullptr;
        v.push_back(std::strtod(p, &end));
        p = *end == ',' ? end + 1 : end;
        if (end == p && *p) break;
    }
    return v;
}

std::string type_name(int32_t cls, size_t size) {
    switch (cls) {
    case Q7T_INTEGER: return "int" + std::to_string(size);
    case Q7T_FLOAT: return "float" + std::to_string(size);
    case Q7T_STRING: return "string" + std::to_string(size);
    default: return "class" + std::to_string(cls) + "/" + std::to_string(size);
    }
}

bool save_model(const Model &m, const std::string &path) {
    std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        for (auto &[k, v] : m) out << k << '\t' << v << '\n';
        if (!out.flush()) return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

Model load_model(const std::string &path) {
    Model m;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        size_t tab = line.find('\t');
        if (tab != std::string::npos) m[line.substr(0, tab)] = line.substr(tab + 1);
    }
    return m;
}

Model only_file(const Model &m, const std::string &file) {
    Model out;
    std::string prefix = file + ":";
    for (auto &[k, v] : m)
        if (k.compare(0, prefix.size(), prefix) == 0) out[k] = v;
    return out;
}

std::string clip(const std::string &s) { return s.size() > 160 ? s.substr(0, 160) + "..." : s; }

// Differences between what the file holds and what it should hold.
std::string differences(const Model &got, const Model &want) {
    std::string out;
    for (auto &[k, v] : want) {
        auto it = got.find(k);
        if (it == got.end()) out += "  missing " + k + " = " + clip(v) + "\n";
        else if (it->second != v) out += "  " + k + " is " + clip(it->second) + ", should be " + clip(v) + "\n";
    }
    for (auto &[k, v] : got)
        if (!want.count(k)) out += "  unexpected " + k + " = " + clip(v) + "\n";
    return out;
}

// ---------------------------------------------------------------------
// Dumping a file through the library
// ---------------------------------------------------------------------

struct Link {
    std::string name;
    Q7L_info_t info;
};

q7status_t collect_link(q7id_t, const char *name, const Q7L_info_t *info, void *op) {
    OwnCode own;
    try {
        ((std::vector<Link> *)op)->push_back({name, *info});
        return 0;
    } catch (...) {
        return -1;
    }
}

q7status_t collect_name(q7id_t, const char *name, void *op) {
    OwnCode own;
    try {
        ((std::vector<std::string> *)op)->push_back(name);
        return 0;
    } catch (...) {
        return -1;
    }
}

// "float8 [4] = 1,2,3,4": the type, shape and values of an attribute or
// dataset, read with `read(mem_type, buffer)`.
std::string typed_values(q7id_t type, q7id_t space, const std::function<void(q7id_t, void *)> &read,
                         std::string *shape = nullptr) {
    int32_t cls = CALL(Q7Tget_class(type));
    size_t size = LIB(Q7Tget_size(type));
    if (size == 0) failed("Q7Tget_size(type)");
    int rank = CALL(Q7Sget_simple_extent_ndims(space));
    std::vector<q7size_t> dims((size_t)rank);
    CALL(Q7Sget_simple_extent_dims(space, dims.data(), nullptr));
    q7ssize_t n = CALL(Q7Sget_simple_extent_npoints(space));
    std::string head = type_name(cls, size) + " " + join(dims);
    if (shape) *shape = head;
    std::string values;
    if (n == 0) {
    } else if (cls == Q7T_STRING) {
        std::vector<char> buf((size_t)n * size + 1, '\0');
        read(type, buf.data());
        for (q7ssize_t i = 0; i < n; ++i)
            values += (i ? "," : "") + ("\"" + std::string(buf.data() + i * size, strnlen(buf.data() + i * size, size)) + "\"");
    } else if (cls == Q7T_FLOAT) {
        std::vector<double> v((size_t)n);
        read(Q7T_NATIVE_DOUBLE_g, v.data());
        values = format_values(v, false);
    } else if (cls == Q7T_INTEGER && (size == 1 || size == 2 || size == 4 || size == 8)) {
        // Integers read as they are stored (the workloads' are native):
        // the library converts between integers of one size only.
        int32_t sign = CALL(Q7Tget_sign(type));
        std::vector<unsigned char> raw((size_t)n * size);
        read(type, raw.data());
        std::vector<double> v;
        for (q7ssize_t i = 0; i < n; ++i) {
            uint64_t u = 0;
            std::memcpy(&u, raw.data() + i * size, size);
            if (sign == Q7T_SGN_2 && size < 8 && (u >> (size * 8 - 1)) != 0) u |= ~uint64_t{0} << (size * 8);
            v.push_back((double)(int64_t)u);
        }
        values = format_values(v, true);
    } else {
        values = "?";
    }
    return shape ? values : head + " = " + values;
}

class Dumper {
public:
    Dumper(q7id_t file, const std::string &name) : file_(file), prefix_(name + ":") {}

    Model dump() {
        Q7O_info2_t oi{};
        CALL(Q7Oget_info2(file_, &oi, Q7O_INFO_BASIC));
        seen_[oi.addr] = "/";
        out_[prefix_ + "/"] = "group";
        attributes(file_, "/");
        group(file_, "/");
        return out_;
    }

private:
    static std::string child(const std::string &path, const std::string &name) {
        return path == "/" ? "/" + name : path + "/" + name;
    }

    void attributes(q7id_t obj, const std::string &path) {
        std::vector<std::string> names;
        CALL(Q7Aiterate2(obj, nullptr, collect_name, &names));
        for (auto &name : names) {
            q7id_t a = CALL(Q7Aopen(obj, name.c_str(), 0));
            q7id_t t = CALL(Q7Aget_type(a));
            q7id_t s = CALL(Q7Aget_space(a));
            out_[prefix_ + path + "@" + name] =
                typed_values(t, s, [&](q7id_t mt, void *buf) { CALL(Q7Aread(a, mt, buf)); });
            CALL(Q7Sclose(s));
            CALL(Q7Tclose(t));
            CALL(Q7Aclose(a));
        }
    }

    void group(q7id_t g, const std::string &path) {
        std::vector<Link> links;
        CALL(Q7Literate2(g, nullptr, collect_link, &links));
        for (auto &l : links) {
            std::string p = child(path, l.name), key = prefix_ + p;
            const char *name = l.name.c_str();
            if (l.info.type == Q7L_TYPE_SOFT || l.info.type == Q7L_TYPE_EXTERNAL) {
                std::vector<char> val(l.info.val_size + 1, '\0');
                CALL(Q7Lget_val(g, name, val.data(), l.info.val_size, 0));
                if (l.info.type == Q7L_TYPE_SOFT) {
                    out_[key] = "soft " + std::string(val.data());
                } else {
                    unsigned flags = 0;
                    const char *f = nullptr, *o = nullptr;
                    CALL(Q7Lunpack_elink_val(val.data(), l.info.val_size, &flags, &f, &o));
                    out_[key] = "external " + std::string(f) + " " + o;
                }
                continue;
            }
            Q7O_info2_t oi{};
            CALL(Q7Oget_info_by_name2(g, name, &oi, Q7O_INFO_BASIC, 0));
            auto seen = seen_.find(oi.addr);
            if (seen != seen_.end()) {
                out_[key] = "=" + seen->second;
                continue;
            }
            seen_[oi.addr] = p;
            if (oi.type == Q7O_TYPE_GROUP) {
                out_[key] = "group";
                q7id_t sub = CALL(Q7Gopen2(g, name, 0));
                attributes(sub, p);
                group(sub, p);
                CALL(Q7Gclose(sub));
            } else if (oi.type == Q7O_TYPE_DATASET) {
                q7id_t d = CALL(Q7Dopen2(g, name, 0));
                dataset(d, key);
                attributes(d, p);
                CALL(Q7Dclose(d));
            } else {
                out_[key] = "object type " + std::to_string(oi.type);
            }
        }
    }

    void dataset(q7id_t d, const std::string &key) {
        q7id_t t = CALL(Q7Dget_type(d));
        q7id_t s = CALL(Q7Dget_space(d));
        q7id_t dcpl = CALL(Q7Dget_create_plist(d));
        std::string shape;
        out_[key + ":data"] = typed_values(
            t, s, [&](q7id_t mt, void *buf) { CALL(Q7Dread(d, mt, 0, 0, 0, buf)); }, &shape);
        q7size_t chunk[Q7_MAX_RANK];
        int crank = CALL(Q7Pget_chunk(dcpl, Q7_MAX_RANK, chunk));
        std::string desc = "dataset " + shape;
        if (crank == 0) {
            desc += " contiguous";
        } else {
            desc += " chunk " + join(std::vector<q7size_t>(chunk, chunk + crank)) + " filters";
            int nf = CALL(Q7Pget_nfilters(dcpl));
            for (int i = 0; i < nf; ++i)
                desc += (i ? "," : " ") +
                        std::to_string(CALL(Q7Pget_filter2(dcpl, (unsigned)i, nullptr, nullptr, nullptr, 0, nullptr,
                                                           nullptr)));
        }
        out_[key] = desc;
        CALL(Q7Pclose(dcpl));
        CALL(Q7Sclose(s));
        CALL(Q7Tclose(t));
    }

    q7id_t file_;
    std::string prefix_;
    Model out_;
    std::map<q7addr_t, std::string> seen_;
};

// ---------------------------------------------------------------------
// Workloads
// ---------------------------------------------------------------------

struct Ctx {
    Model current;    // every effect of the calls that succeeded
    Model committed;  // what the files hold at their last commit
    q7id_t main = -1;

    // A commit of `file` succeeded: it now holds its part of the model.
    void commit(const std::string &file) {
        Model keep;
        for (auto &[k, v] : committed)
            if (k.compare(0, file.size() + 1, file + ":") != 0) keep[k] = v;
        for (auto &[k, v] : only_file(current, file)) keep[k] = v;
        committed = keep;
        save();
    }
    // The library reported that the changes to `file` since its last
    // commit are lost: the model of the file goes back to that commit.
    void revert(const std::string &file) {
        Model keep;
        for (auto &[k, v] : current)
            if (k.compare(0, file.size() + 1, file + ":") != 0) keep[k] = v;
        for (auto &[k, v] : only_file(committed, file)) keep[k] = v;
        current = keep;
    }
    void commit_all() {
        committed = current;
        save();
    }
    void save() {
        if (!save_model(committed, "expected.txt")) {
            std::perror("oom_workload: expected.txt");
            _exit(2);
        }
    }
};

// Compares what the open file `f` holds with the model of `file`.
void compare_file(Ctx &ctx, q7id_t f, const std::string &file) {
    Model got = Dumper(f, file).dump();
    std::string diff = differences(got, only_file(ctx.current, file));
    if (!diff.empty()) throw Mismatch{"reading " + file_name(file) + " back:\n" + diff};
}

q7id_t space(std::vector<q7size_t> dims) {
    return CALL(Q7Screate_simple((int)dims.size(), dims.data(), nullptr));
}

// Creates an attribute and writes it; `value` is its text in the model.
void attribute(Ctx &ctx, q7id_t loc, const std::string &key, q7id_t type, std::vector<q7size_t> dims,
               q7id_t mem_type, const void *buf, const std::string &zeros, const std::string &value) {
    q7id_t sp = space(dims);
    size_t at = key.rfind('@');
    const char *name = key.c_str() + at + 1;
    q7id_t a = CALL(Q7Acreate2(loc, name, type, sp, 0, 0));
    ctx.current[key] = zeros;
    CALL(Q7Awrite(a, mem_type, buf));
    ctx.current[key] = value;
    CALL(Q7Aclose(a));
    CALL(Q7Sclose(sp));
}

// The values of the datasets, and the parts rewritten later.
constexpr q7size_t kRows = 20, kCols = 12;
double packed_value(q7size_t i, q7size_t j) { return (double)(i * 100 + j) + 0.25; }
double rewritten_value(q7size_t i, q7size_t j) { return -(double)(i * 100 + j) - 0.5; }

// Writes `values` into the rectangle start/count of a 2-D or 1-D dataset,
// and applies the same to the model.
void write_block(Ctx &ctx, const char *path, const std::string &key, std::vector<q7size_t> dims,
                 std::vector<q7size_t> start, std::vector<q7size_t> count, q7id_t mem_type,
                 const std::function<double(q7size_t, q7size_t)> &value, bool integer) {
    q7size_t n = 1;
    for (auto c : count) n *= c;
    std::vector<double> dbuf;
    std::vector<int32_t> ibuf;
    for (q7size_t e = 0; e < n; ++e) {
        q7size_t i = start[0] + (count.size() > 1 ? e / count[1] : e), j = count.size() > 1 ? start[1] + e % count[1] : 0;
        if (integer) ibuf.push_back((int32_t)value(i, j));
        else dbuf.push_back(value(i, j));
    }
    q7id_t d = CALL(Q7Dopen2(ctx.main, path, 0));
    q7id_t fs = CALL(Q7Dget_space(d));
    q7id_t ms = space(count);
    CALL(Q7Sselect_hyperslab(fs, Q7S_SELECT_SET, start.data(), nullptr, count.data(), nullptr));
    CALL(Q7Dwrite(d, mem_type, ms, fs, 0, integer ? (const void *)ibuf.data() : (const void *)dbuf.data()));
    std::vector<double> all = parse_values(ctx.current[key]);
    q7size_t cols = dims.size() > 1 ? dims[1] : 1;
    for (q7size_t e = 0; e < n; ++e) {
        q7size_t i = start[0] + (count.size() > 1 ? e / count[1] : e), j = count.size() > 1 ? start[1] + e % count[1] : 0;
        all.at(i * cols + j) = integer ? ibuf[e] : dbuf[e];
    }
    ctx.current[key] = format_values(all, integer);
    CALL(Q7Sclose(ms));
    CALL(Q7Sclose(fs));
    CALL(Q7Dclose(d));
}

std::string zeros_of(size_t n) { return format_values(std::vector<double>(n, 0.0), true); }

void start_library(Ctx &) {
    CALL(Q7open());
    CALL(Q7Eset_auto2(0, nullptr, nullptr));
}

void create_target(Ctx &ctx) {
    q7id_t f = CALL(Q7Fcreate("target.q7", Q7F_ACC_TRUNC, 0, 0));
    ctx.current["target:/"] = "group";
    ctx.commit("target");
    q7id_t sp = space({8});
    q7id_t d = CALL(Q7Dcreate2(f, "x", Q7T_NATIVE_INT32_g, sp, 0, 0, 0));
    ctx.current["target:/x"] = "dataset int4 [8] contiguous";
    ctx.current["target:/x:data"] = zeros_of(8);
    int32_t x[8] = {7, 14, 21, 28, 35, 42, 49, 56};
    CALL(Q7Dwrite(d, Q7T_NATIVE_INT32_g, 0, 0, 0, x));
    ctx.current["target:/x:data"] = "7,14,21,28,35,42,49,56";
    q7id_t st = CALL(Q7Tcreate(Q7T_STRING, 6));
    attribute(ctx, d, "target:/x@origin", st, {}, st, "target", "string6 [] = \"\"",
              "string6 [] = \"target\"");
    CALL(Q7Tclose(st));
    CALL(Q7Sclose(sp));
    CALL(Q7Dclose(d));
    CALL(Q7Fclose(f));
    ctx.commit("target");
}

void create_main(Ctx &ctx) {
    ctx.main = CALL(Q7Fcreate("main.q7", Q7F_ACC_TRUNC, 0, 0));
    ctx.current["main:/"] = "group";
    ctx.commit("main");
}

void groups(Ctx &ctx) {
    q7id_t g = CALL(Q7Gcreate2(ctx.main, "data", 0, 0, 0));
    ctx.current["main:/data"] = "group";
    q7id_t sub = CALL(Q7Gcreate2(g, "sub", 0, 0, 0));
    ctx.current["main:/data/sub"] = "group";
    CALL(Q7Gclose(sub));
    CALL(Q7Gclose(g));
}

// Creates the 2-D float64 dataset `name` (under /data) through shuffle and
// deflate at `level`, and records it, all zeros, in the model.
void create_packed(Ctx &ctx, const std::string &name, q7size_t rows, q7size_t cols, q7size_t chunk_rows,
                   q7size_t chunk_cols, unsigned level) {
    q7id_t sp = space({rows, cols});
    q7id_t dcpl = CALL(Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g));
    q7size_t chunk[2] = {chunk_rows, chunk_cols};
    CALL(Q7Pset_chunk(dcpl, 2, chunk));
    CALL(Q7Pset_filter(dcpl, Q7Z_FILTER_SHUFFLE, 0, 0, nullptr));
    CALL(Q7Pset_filter(dcpl, Q7Z_FILTER_DEFLATE, 0, 1, &level));
    q7id_t d = CALL(Q7Dcreate2(ctx.main, ("data/" + name).c_str(), Q7T_NATIVE_DOUBLE_g, sp, 0, dcpl, 0));
    auto dims = [](q7size_t a, q7size_t b) { return "[" + std::to_string(a) + "," + std::to_string(b) + "]"; };
    ctx.current["main:/data/" + name] =
        "dataset float8 " + dims(rows, cols) + " chunk " + dims(chunk_rows, chunk_cols) + " filters 2,1";
    ctx.current["main:/data/" + name + ":data"] = zeros_of((size_t)(rows * cols));
    CALL(Q7Dclose(d));
    CALL(Q7Pclose(dcpl));
    CALL(Q7Sclose(sp));
}

void datasets(Ctx &ctx) {
    create_packed(ctx, "packed", kRows, kCols, 6, 5, 6);  // edge chunks on both axes

    q7id_t sp1 = space({50});
    q7id_t plain = CALL(Q7Dcreate2(ctx.main, "data/plain", Q7T_NATIVE_INT32_g, sp1, 0, 0, 0));
    ctx.current["main:/data/plain"] = "dataset int4 [50] contiguous";
    ctx.current["main:/data/plain:data"] = zeros_of(50);
    CALL(Q7Dclose(plain));
    CALL(Q7Sclose(sp1));
}

void whole_writes(Ctx &ctx) {
    write_block(ctx, "data/packed", "main:/data/packed:data", {kRows, kCols}, {0, 0}, {kRows, kCols},
                Q7T_NATIVE_DOUBLE_g, packed_value, false);
    write_block(ctx, "data/plain", "main:/data/plain:data", {50}, {0}, {50}, Q7T_NATIVE_INT32_g,
                [](q7size_t i, q7size_t) { return (double)(i * 3 + 1); }, true);
}

void attributes(Ctx &ctx) {
    q7id_t st = CALL(Q7Tcreate(Q7T_STRING, 6));
    q7id_t d = CALL(Q7Dopen2(ctx.main, "data/packed", 0));
    attribute(ctx, d, "main:/data/packed@units", st, {}, st, "kelvin", "string6 [] = \"\"",
              "string6 [] = \"kelvin\"");
    CALL(Q7Dclose(d));
    CALL(Q7Tclose(st));
    q7id_t g = CALL(Q7Gopen2(ctx.main, "data", 0));
    double scale = 0.125;
    attribute(ctx, g, "main:/data@scale", Q7T_NATIVE_DOUBLE_g, {}, Q7T_NATIVE_DOUBLE_g, &scale,
              "float8 [] = 0", "float8 [] = 0.125");
    CALL(Q7Gclose(g));
    double calib[4] = {1.5, -2.25, 1e-3, 4096};
    attribute(ctx, ctx.main, "main:/@calib", Q7T_IEEE_F64LE_g, {4}, Q7T_NATIVE_DOUBLE_g, calib,
              "float8 [4] = 0,0,0,0", "float8 [4] = 1.5,-2.25,0.001,4096");
}

void flush_main(Ctx &ctx) {
    CALL(Q7Fflush(ctx.main));
    ctx.commit("main");
}

void hyperslab_rewrite(Ctx &ctx) {
    write_block(ctx, "data/packed", "main:/data/packed:data", {kRows, kCols}, {3, 2}, {7, 6},
                Q7T_NATIVE_DOUBLE_g, rewritten_value, false);
}

void links(Ctx &ctx) {
    CALL(Q7Lcreate_soft("/data/packed", ctx.main, "latest", 0, 0));
    ctx.current["main:/latest"] = "soft /data/packed";
    CALL(Q7Lcreate_hard(ctx.main, "data", ctx.main, "same", 0, 0));
    ctx.current["main:/same"] = "=/data";
    CALL(Q7Lcreate_external("target.q7", "/x", ctx.main, "ext", 0, 0));
    ctx.current["main:/ext"] = "external target.q7 /x";
}

void after_flush(Ctx &ctx) {
    q7id_t st = CALL(Q7Tcreate(Q7T_STRING, 7));
    q7id_t g = CALL(Q7Gopen2(ctx.main, "data/sub", 0));
    attribute(ctx, g, "main:/data/sub@note", st, {}, st, "pending", "string7 [] = \"\"", "string7 [] = \"pending\"");
    CALL(Q7Gclose(g));
    CALL(Q7Tclose(st));
    write_block(ctx, "data/plain", "main:/data/plain:data", {50}, {40}, {10}, Q7T_NATIVE_INT32_g,
                [](q7size_t i, q7size_t) { return -(double)i; }, true);
}

void close_main(Ctx &ctx) {
    CALL(Q7Fclose(ctx.main));
    ctx.main = -1;
    ctx.commit("main");
}

void reread(Ctx &ctx) {
    for (const char *file : kFiles) {
        q7id_t f = CALL(Q7Fopen(file_name(file).c_str(), Q7F_ACC_RDONLY, 0));
        compare_file(ctx, f, file);
        CALL(Q7Fclose(f));
    }
}

void external_read(Ctx &ctx) {
    q7id_t f = CALL(Q7Fopen("main.q7", Q7F_ACC_RDONLY, 0));
    q7id_t d = CALL(Q7Dopen2(f, "ext", 0));
    int32_t x[8] = {};
    CALL(Q7Dread(d, Q7T_NATIVE_INT32_g, 0, 0, 0, x));
    std::vector<double> v(x, x + 8);
    if (format_values(v, true) != ctx.current["target:/x:data"])
        throw Mismatch{"/ext read " + format_values(v, true) + ", /x of target.q7 holds " + ctx.current["target:/x:data"]};
    CALL(Q7Dclose(d));
    CALL(Q7Fclose(f));
}

void reopen_main(Ctx &ctx) { ctx.main = CALL(Q7Fopen("main.q7", Q7F_ACC_RDWR, 0)); }

void update(Ctx &ctx) {
    write_block(ctx, "data/packed", "main:/data/packed:data", {kRows, kCols}, {14, 7}, {6, 5},
                Q7T_NATIVE_DOUBLE_g, [](q7size_t i, q7size_t j) { return (double)(i * j) / 8; }, false);
    q7id_t g = CALL(Q7Gopen2(ctx.main, "data", 0));
    CALL(Q7Adelete(g, "scale"));
    ctx.current.erase("main:/data@scale");
    CALL(Q7Gclose(g));
    CALL(Q7Ldelete(ctx.main, "latest", 0));
    ctx.current.erase("main:/latest");
}

void grow(Ctx &ctx) {
    q7size_t dims[1] = {0}, max[1] = {Q7S_UNLIMITED}, chunk[1] = {16};
    q7id_t sp = CALL(Q7Screate_simple(1, dims, max));
    q7id_t dcpl = CALL(Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g));
    CALL(Q7Pset_chunk(dcpl, 1, chunk));
    q7id_t d = CALL(Q7Dcreate2(ctx.main, "data/sub/log", Q7T_NATIVE_INT32_g, sp, 0, dcpl, 0));
    ctx.current["main:/data/sub/log"] = "dataset int4 [0] chunk [16] filters";
    ctx.current["main:/data/sub/log:data"] = "";
    q7size_t grown[1] = {40};
    CALL(Q7Dset_extent(d, grown));
    ctx.current["main:/data/sub/log"] = "dataset int4 [40] chunk [16] filters";
    ctx.current["main:/data/sub/log:data"] = zeros_of(40);
    CALL(Q7Dclose(d));
    CALL(Q7Pclose(dcpl));
    CALL(Q7Sclose(sp));
    write_block(ctx, "data/sub/log", "main:/data/sub/log:data", {40}, {0}, {40}, Q7T_NATIVE_INT32_g,
                [](q7size_t i, q7size_t) { return (double)(i * i); }, true);
}

// Whole-chunk I/O of the high-level library: one stored chunk of the
// unfiltered growing dataset replaced as bytes and fetched back.
void direct_chunk(Ctx &ctx) {
    const char *key = "main:/data/sub/log:data";
    q7id_t d = CALL(Q7Dopen2(ctx.main, "data/sub/log", 0));
    int32_t chunk[16];
    for (int i = 0; i < 16; ++i) chunk[i] = 1000 + i;
    q7size_t offset[1] = {16};
    CALL(Q7DOwrite_chunk(d, 0, 0, offset, sizeof chunk, chunk));
    std::vector<double> all = parse_values(ctx.current[key]);
    for (int i = 0; i < 16; ++i) all.at(16 + i) = chunk[i];
    ctx.current[key] = format_values(all, true);
    int32_t back[16] = {};
    uint32_t mask = 99;
    CALL(Q7DOread_chunk(d, 0, offset, &mask, back));
    if (mask != 0 || std::memcmp(back, chunk, sizeof chunk) != 0)
        throw Mismatch{"the chunk at 16 of /data/sub/log reads back other bytes or mask " + std::to_string(mask) + "\n"};
    CALL(Q7Dclose(d));
}

// A dataset of 48 filtered chunks, 768 KiB: its write and every read of it
// run the filters on worker threads (main() asks for two), so allocations
// fail on workers too and their records must reach the caller.
void wide(Ctx &ctx) {
    create_packed(ctx, "wide", 48, 2048, 8, 256, 1);
    write_block(ctx, "data/wide", "main:/data/wide:data", {48, 2048}, {0, 0}, {48, 2048}, Q7T_NATIVE_DOUBLE_g,
                [](q7size_t i, q7size_t j) { return (double)((i * 31 + j * 7) % 1000) * 0.5; }, false);
}

void close_library(Ctx &ctx) {
    CALL(Q7close());
    ctx.commit_all();
}

struct Step {
    const char *name;
    void (*run)(Ctx &);
    bool commits;  // a failure leaves the files at their last commit
};

struct Workload {
    const char *name;
    const char *base;  // workload whose complete run makes the files this one starts from
    std::vector<Step> steps;
};

const std::vector<Workload> &workloads() {
    static const std::vector<Workload> all = {
        {"build",
         nullptr,
         {{"start library", start_library, false},
          {"create target file", create_target, true},
          {"create main file", create_main, true},
          {"groups", groups, false},
          {"datasets", datasets, false},
          {"whole writes", whole_writes, false},
          {"attributes", attributes, false},
          {"first flush", flush_main, true},
          {"hyperslab rewrite", hyperslab_rewrite, false},
          {"links", links, false},
          {"second flush", flush_main, true},
          {"changes after the flush", after_flush, false},
          {"close main file", close_main, true},
          {"reopen and compare", reread, false},
          {"read through the external link", external_read, false},
          {"close library", close_library, true}}},
        {"reread",
         "build",
         {{"start library", start_library, false},
          {"reopen and compare", reread, false},
          {"read through the external link", external_read, false},
          {"close library", close_library, true}}},
        {"update",
         "build",
         {{"start library", start_library, false},
          {"reopen main file", reopen_main, false},
          {"rewrite, delete attribute and link", update, false},
          {"flush", flush_main, true},
          {"growing dataset", grow, false},
          {"direct chunk write and read", direct_chunk, false},
          {"wide dataset through worker threads", wide, false},
          {"close main file", close_main, true},
          {"reopen and compare", reread, false},
          {"close library", close_library, true}}},
    };
    return all;
}

void progress(const char *step) {
    std::string line = std::string("step ") + step + "\n";
    if (write(1, line.data(), line.size()) < 0) {
    }
}

// A true record of a failed allocation: the library's "no memory" minor
// message, or a description that says so (SQLite's "out of memory").
bool is_memory_record(const Record &r) {
    if (r.minor == Q7E_NOSPACE_g) return true;
    std::string d = r.desc;
    for (auto &c : d) c = (char)std::tolower((unsigned char)c);
    return d.find("out of memory") != std::string::npos || d.find("no memory") != std::string::npos ||
           d.find("cannot allocate") != std::string::npos;
}

// A record that names another cause than the failed allocation.
bool is_misleading(const Record &r) {
    if (r.minor == Q7E_NOTFOUND_g || r.minor == Q7E_NOTQUOR7_g || r.minor == Q7E_EXISTS_g) return true;
    return r.desc.find("not found") != std::string::npos || r.desc.find("does not exist") != std::string::npos;
}

int run(const Workload &w) {
    Ctx ctx;
    ctx.current = ctx.committed = load_model("expected.txt");
    if (const char *n = std::getenv("QUOR7_OOM_FAIL_AT")) oom_arm(std::atol(n));
    auto finish = [&](int status) {
        if (std::getenv("QUOR7_OOM_COUNT")) std::fprintf(stderr, "allocations %ld\n", oom_count());
        std::fflush(stdout);
        _exit(status);
    };
    for (const Step &step : w.steps) {
        progress(step.name);
        try {
            step.run(ctx);
        } catch (const Mismatch &m) {
            std::fprintf(stderr, "oom_workload: step \"%s\" succeeded but %s", step.name, m.what.c_str());
            finish(4);
        } catch (const CallFailed &f) {
            bool true_record = false, misleading = false;
            for (auto &r : f.records) {
                true_record |= is_memory_record(r);
                misleading |= is_misleading(r);
            }
            std::fprintf(stderr, "oom_workload: step \"%s\": %s failed; its error stack:\n", step.name, f.call.c_str());
            for (auto &r : f.records) std::fprintf(stderr, "  %s\n", r.desc.c_str());
            int status = true_record && !misleading ? 3 : 5;
            if (status == 5)
                std::fprintf(stderr, "oom_workload: %s\n",
                             misleading ? "a record names another cause than the failed allocation"
                                        : "no record tells of the failed allocation");
            // A failure may take the changes since the last commit with it, as
            // long as the library says so.
            for (auto &r : f.records)
                for (const char *file : kFiles)
                    if (r.desc.find("the file is as last flushed") != std::string::npos &&
                        r.desc.find(file_name(file)) != std::string::npos) {
                        std::fprintf(stderr, "oom_workload: reported lost: the changes to %s since its last commit\n",
                                     file_name(file).c_str());
                        ctx.revert(file);
                    }
            // A failed commit leaves the files at their last commit; after any
            // other failure, closing commits what the calls that succeeded did.
            if (!step.commits) {
                if (Q7close() < 0) {
                    // Whether the commit came before the failure of the close is
                    // not told: either state is accepted, the run is a defect.
                    std::fprintf(stderr, "oom_workload: closing the library after the failure failed\n");
                    if (!save_model(ctx.current, "expected-or.txt")) finish(2);
                    finish(6);
                }
                ctx.commit_all();
            }
            finish(status);
        }
    }
    finish(0);
    return 0;
}

// Reopens every file and compares it with expected.txt; SQLite checks it too.
int verify() {
    Model want = load_model("expected.txt");
    struct stat or_st;
    bool has_or = ::stat("expected-or.txt", &or_st) == 0;
    Model want_or = has_or ? load_model("expected-or.txt") : Model{};
    Q7open();
    Q7Eset_auto2(0, nullptr, nullptr);
    int bad = 0;
    for (const char *file : kFiles) {
        std::string name = file_name(file);
        struct stat st;
        if (!want.count(std::string(file) + ":/")) {
            if (::stat(name.c_str(), &st) == 0) {
                std::fprintf(stderr, "verify: %s exists, but its creation did not succeed\n", name.c_str());
                bad = 1;
            }
            continue;
        }
        try {
            q7id_t f = CALL(Q7Fopen(name.c_str(), Q7F_ACC_RDONLY, 0));
            Model got = Dumper(f, file).dump();
            CALL(Q7Fclose(f));
            std::string diff = differences(got, only_file(want, file));
            if (!diff.empty() && has_or && differences(got, only_file(want_or, file)).empty()) diff.clear();
            if (!diff.empty()) {
                std::fprintf(stderr, "verify: %s is not at its last commit:\n%s", name.c_str(), diff.c_str());
                bad = 1;
            }
        } catch (const CallFailed &f) {
            std::fprintf(stderr, "verify: reading %s: %s failed:\n", name.c_str(), f.call.c_str());
            for (auto &r : f.records) std::fprintf(stderr, "  %s\n", r.desc.c_str());
            bad = 1;
        }
        std::string integrity = q7test::sqlite_integrity(name);
        if (integrity != "ok") {
            std::fprintf(stderr, "verify: integrity_check of %s: %s\n", name.c_str(), integrity.c_str());
            bad = 1;
        }
    }
    Q7close();
    return bad;
}

} // namespace

int main(int argc, char **argv) {
    // Two pipeline threads whatever the machine, so that the sweep fails
    // allocations on worker threads as well.
    setenv("QUOR7_NUM_THREADS", "2", 1);
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "list" && argc == 2) {
        for (auto &w : workloads()) std::printf("%s %s\n", w.name, w.base ? w.base : "-");
        return 0;
    }
    if (mode == "run" && argc == 4) {
        for (auto &w : workloads())
            if (w.name == std::string(argv[2])) {
                if (chdir(argv[3]) != 0) return 2;
                return run(w);
            }
    }
    if (mode == "verify" && argc == 3) {
        if (chdir(argv[2]) != 0) return 2;
        return verify();
    }
    std::fprintf(stderr, "usage: oom_workload run WORKLOAD DIR | verify DIR | list\n");
    return 2;
}
