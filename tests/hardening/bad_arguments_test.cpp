// Every public entry point of libquor7, libquor7_hl and libq7tools called
// with null pointers, -1 identifiers, identifiers of the wrong kind, zero
// and huge sizes: each must answer with its failure value and leave an
// error record, never crash.
#include "q7tools.h"
#include "quor7.h"
#include "quor7_hl.h"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace {

struct Handles {
    q7id_t f = -1, g = -1, d = -1, a = -1, s = -1, t = -1, p = -1, es = -1;
};

struct Case {
    const char *what;
    std::function<bool(const Handles &)> fails;  // true when the failure value came back
};

constexpr q7size_t kHuge = (q7size_t)1 << 62;
constexpr size_t kHugeSize = SIZE_MAX / 2;

// Records on the default stack or on the tools stack.
q7ssize_t records() {
    q7ssize_t n = Q7Eget_num(0);
    if (Q7tools_ERR_STACK_g > 0) n += Q7Eget_num(Q7tools_ERR_STACK_g);
    return n;
}

// Cases that clean up after the call under test note the records first:
// the next library call starts with a clear stack.
q7ssize_t noted = -1;
void note() { noted = records(); }

int obj_cb(const char *, const Q7O_info2_t *, const char *, void *) { return 0; }
q7status_t link_cb(q7id_t, const char *, const Q7L_info_t *, void *) { return 0; }
q7status_t attr_cb(q7id_t, const char *, void *) { return 0; }

// clang-format off
const std::vector<Case> &cases() {
    static const std::vector<Case> table = {
    // identifiers
    {"Q7Iget_type(-1)",            [](auto &) { return Q7Iget_type(-1) == Q7I_BADID; }},
    {"Q7Iget_name(-1)",            [](auto &) { char b[8]; return Q7Iget_name(-1, b, sizeof b) < 0; }},
    {"Q7Iget_name(space)",         [](auto &h) { char b[8]; return Q7Iget_name(h.s, b, sizeof b) < 0; }},
    {"Q7Iget_file_id(type)",       [](auto &h) { return Q7Iget_file_id(h.t) < 0; }},
    // error stacks
    {"Q7Eregister_class(null)",    [](auto &) { return Q7Eregister_class(nullptr, nullptr, nullptr) < 0; }},
    {"Q7Eunregister_class(file)",  [](auto &h) { return Q7Eunregister_class(h.f) < 0; }},
    {"Q7Ecreate_msg(-1)",          [](auto &) { return Q7Ecreate_msg(-1, Q7E_MAJOR, "x") < 0; }},
    {"Q7Ecreate_msg(null text)",   [](auto &) { return Q7Ecreate_msg(Q7E_ERR_CLS_g, Q7E_MAJOR, nullptr) < 0; }},
    {"Q7Ecreate_msg(bad type)",    [](auto &) { return Q7Ecreate_msg(Q7E_ERR_CLS_g, (Q7E_type_t)7, "x") < 0; }},
    {"Q7Eclose_msg(dataset)",      [](auto &h) { return Q7Eclose_msg(h.d) < 0; }},
    {"Q7Eget_msg(-1)",             [](auto &) { char b[8]; return Q7Eget_msg(-1, nullptr, b, sizeof b) < 0; }},
    {"Q7Eclose_stack(group)",      [](auto &h) { return Q7Eclose_stack(h.g) < 0; }},
    {"Q7Eget_num(file)",           [](auto &h) { return Q7Eget_num(h.f) < 0; }},
    {"Q7Eclear2(-1)",              [](auto &) { return Q7Eclear2(-1) < 0; }},
    {"Q7Eprint2(-1)",              [](auto &) { return Q7Eprint2(-1, stderr) < 0; }},
    {"Q7Ewalk2(null callback)",    [](auto &h) { return Q7Ewalk2(h.es, Q7E_WALK_UPWARD, nullptr, nullptr) < 0; }},
    {"Q7Ewalk2(bad direction)",    [](auto &h) { return Q7Ewalk2(h.es, (Q7E_direction_t)9, [](unsigned, const Q7E_error2_t *, void *) { return 0; }, nullptr) < 0; }},
    {"Q7Eget_auto2(-1)",           [](auto &) { Q7E_auto2_t fn; void *cd; return Q7Eget_auto2(-1, &fn, &cd) < 0; }},
    {"Q7Eset_auto2(space)",        [](auto &h) { return Q7Eset_auto2(h.s, nullptr, nullptr) < 0; }},
    {"Q7Epush2(-1 stack)",         [](auto &) { return Q7Epush2(-1, "f", "g", 1, Q7E_ERR_CLS_g, Q7E_ARGS_g, Q7E_BADVALUE_g, "x") < 0; }},
    {"Q7Epush2(null message)",     [](auto &) { return Q7Epush2(0, "f", "g", 1, Q7E_ERR_CLS_g, Q7E_ARGS_g, Q7E_BADVALUE_g, nullptr) < 0; }},
    // datatypes
    {"Q7Tget_class(-1)",           [](auto &) { return Q7Tget_class(-1) == Q7T_NO_CLASS; }},
    {"Q7Tget_size(space)",         [](auto &h) { return Q7Tget_size(h.s) == 0; }},
    {"Q7Tget_sign(file)",          [](auto &h) { return Q7Tget_sign(h.f) == Q7T_SGN_ERROR; }},
    {"Q7Tget_order(-1)",           [](auto &) { return Q7Tget_order(-1) == Q7T_ORDER_ERROR; }},
    {"Q7Tcopy(dataset)",           [](auto &h) { return Q7Tcopy(h.d) < 0; }},
    {"Q7Tcreate(integer class)",   [](auto &) { return Q7Tcreate(Q7T_INTEGER, 4) < 0; }},
    {"Q7Tcreate(size 0)",          [](auto &) { return Q7Tcreate(Q7T_OPAQUE, 0) < 0; }},
    {"Q7Tinsert(null name)",       [](auto &h) { return Q7Tinsert(h.t, nullptr, 0, Q7T_NATIVE_INT_g) < 0; }},
    {"Q7Tinsert(not compound)",    [](auto &h) { return Q7Tinsert(h.t, "m", 0, Q7T_NATIVE_INT_g) < 0; }},
    {"Q7Tset_size(predefined)",    [](auto &) { return Q7Tset_size(Q7T_NATIVE_INT_g, 8) < 0; }},
    {"Q7Dcreate2(huge type)",      [](auto &h) { q7id_t t = Q7Tcreate(Q7T_OPAQUE, kHugeSize); bool r = Q7Dcreate2(h.f, "dh", t, h.s, 0, 0, 0) < 0; note(); Q7Tclose(t); return r; }},
    {"Q7Acreate2(huge type)",      [](auto &h) { q7id_t t = Q7Tcreate(Q7T_OPAQUE, kHugeSize); bool r = Q7Acreate2(h.d, "ah", t, h.s, 0, 0) < 0; note(); Q7Tclose(t); return r; }},
    {"Q7Dcreate2(huge chunk)",     [](auto &h) { q7id_t x = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g); q7size_t c[2] = {kHuge, kHuge}, d[2] = {1, 1}, m[2] = {Q7S_UNLIMITED, Q7S_UNLIMITED}; Q7Pset_chunk(x, 2, c); q7id_t s = Q7Screate_simple(2, d, m); bool r = Q7Dcreate2(h.f, "dc", Q7T_NATIVE_INT_g, s, 0, x, 0) < 0; note(); Q7Sclose(s); Q7Pclose(x); return r; }},
    {"Q7Tset_order(bad order)",    [](auto &h) { return Q7Tset_order(h.t, 77) < 0; }},
    {"Q7Tequal(-1)",               [](auto &h) { return Q7Tequal(-1, h.t) < 0; }},
    {"Q7Tget_nmembers(integer)",   [](auto &h) { return Q7Tget_nmembers(h.t) < 0; }},
    {"Q7Tget_member_name(integer)",[](auto &h) { return Q7Tget_member_name(h.t, 0) == nullptr; }},
    {"Q7Tget_member_offset(int)",  [](auto &h) { return Q7Tget_member_offset(h.t, 0) == 0; }},
    {"Q7Tget_member_type(-1)",     [](auto &) { return Q7Tget_member_type(-1, 0) < 0; }},
    {"Q7Tclose(predefined)",       [](auto &) { return Q7Tclose(Q7T_NATIVE_INT_g) < 0; }},
    {"Q7Tclose(space)",            [](auto &h) { return Q7Tclose(h.s) < 0; }},
    // dataspaces
    {"Q7Screate_simple(null dims)",[](auto &) { return Q7Screate_simple(1, nullptr, nullptr) < 0; }},
    {"Q7Screate_simple(rank -1)",  [](auto &) { q7size_t d[1] = {1}; return Q7Screate_simple(-1, d, nullptr) < 0; }},
    {"Q7Screate_simple(rank 33)",  [](auto &) { q7size_t d[33] = {}; for (auto &x : d) x = 1; return Q7Screate_simple(33, d, nullptr) < 0; }},
    {"Q7Screate_simple(overflow)", [](auto &) { q7size_t d[2] = {kHuge, kHuge}; return Q7Screate_simple(2, d, nullptr) < 0; }},
    {"Q7Screate_simple(max<dims)", [](auto &) { q7size_t d[1] = {5}, m[1] = {4}; return Q7Screate_simple(1, d, m) < 0; }},
    {"Q7Scopy(type)",              [](auto &h) { return Q7Scopy(h.t) < 0; }},
    {"Q7Sselect_hyperslab(null)",  [](auto &h) { return Q7Sselect_hyperslab(h.s, Q7S_SELECT_SET, nullptr, nullptr, nullptr, nullptr) < 0; }},
    {"Q7Sselect_hyperslab(out)",   [](auto &h) { q7size_t st[1] = {kHuge}, c[1] = {2}; return Q7Sselect_hyperslab(h.s, Q7S_SELECT_SET, st, nullptr, c, nullptr) < 0; }},
    {"Q7Sselect_hyperslab(bad op)",[](auto &h) { q7size_t st[1] = {0}, c[1] = {1}; return Q7Sselect_hyperslab(h.s, 9, st, nullptr, c, nullptr) < 0; }},
    {"Q7Sselect_all(-1)",          [](auto &) { return Q7Sselect_all(-1) < 0; }},
    {"Q7Sselect_none(dataset)",    [](auto &h) { return Q7Sselect_none(h.d) < 0; }},
    {"Q7Sget_simple_extent_ndims", [](auto &h) { return Q7Sget_simple_extent_ndims(h.f) < 0; }},
    {"Q7Sget_simple_extent_dims",  [](auto &) { q7size_t d[1]; return Q7Sget_simple_extent_dims(-1, d, nullptr) < 0; }},
    {"Q7Sget_simple_extent_npoints",[](auto &h) { return Q7Sget_simple_extent_npoints(h.t) < 0; }},
    {"Q7Sget_select_npoints(-1)",  [](auto &) { return Q7Sget_select_npoints(-1) < 0; }},
    {"Q7Sclose(file)",             [](auto &h) { return Q7Sclose(h.f) < 0; }},
    // property lists
    {"Q7Pcreate(-1)",              [](auto &) { return Q7Pcreate(-1) < 0; }},
    {"Q7Pcreate(a list)",          [](auto &h) { return Q7Pcreate(h.p) < 0; }},
    {"Q7Pcopy(space)",             [](auto &h) { return Q7Pcopy(h.s) < 0; }},
    {"Q7Pget_class(-1)",           [](auto &) { return Q7Pget_class(-1) < 0; }},
    {"Q7Pset_chunk(null dims)",    [](auto &h) { return Q7Pset_chunk(h.p, 1, nullptr) < 0; }},
    {"Q7Pset_chunk(rank 0)",       [](auto &h) { q7size_t c[1] = {1}; return Q7Pset_chunk(h.p, 0, c) < 0; }},
    {"Q7Pset_chunk(zero size)",    [](auto &h) { q7size_t c[1] = {0}; return Q7Pset_chunk(h.p, 1, c) < 0; }},
    {"Q7Pset_chunk(wrong list)",   [](auto &) { q7size_t c[1] = {4}; q7id_t x = Q7Pcreate(Q7P_CLS_FILE_ACCESS_ID_g); bool r = Q7Pset_chunk(x, 1, c) < 0; note(); Q7Pclose(x); return r; }},
    {"Q7Pget_chunk(-1)",           [](auto &) { q7size_t c[1]; return Q7Pget_chunk(-1, 1, c) < 0; }},
    {"Q7Pset_filter(null values)", [](auto &h) { return Q7Pset_filter(h.p, Q7Z_FILTER_DEFLATE, 0, 3, nullptr) < 0; }},
    {"Q7Pset_filter(huge count)",  [](auto &h) { unsigned v[1] = {1}; return Q7Pset_filter(h.p, Q7Z_FILTER_DEFLATE, 0, kHugeSize, v) < 0; }},
    {"Q7Pset_filter(id -1)",       [](auto &h) { return Q7Pset_filter(h.p, -1, 0, 0, nullptr) < 0; }},
    {"Q7Pset_filter(id 70000)",    [](auto &h) { return Q7Pset_filter(h.p, 70000, 0, 0, nullptr) < 0; }},
    {"Q7Pget_nfilters(file)",      [](auto &h) { return Q7Pget_nfilters(h.f) < 0; }},
    {"Q7Pget_filter2(-1)",         [](auto &) { return Q7Pget_filter2(-1, 0, nullptr, nullptr, nullptr, 0, nullptr, nullptr) < 0; }},
    {"Q7Pget_filter2(index out)",  [](auto &h) { return Q7Pget_filter2(h.p, 999, nullptr, nullptr, nullptr, 0, nullptr, nullptr) < 0; }},
    {"Q7Pclose(dataset)",          [](auto &h) { return Q7Pclose(h.d) < 0; }},
    // files
    {"Q7Fcreate(null name)",       [](auto &) { return Q7Fcreate(nullptr, Q7F_ACC_TRUNC, 0, 0) < 0; }},
    {"Q7Fcreate(empty name)",      [](auto &) { return Q7Fcreate("", Q7F_ACC_TRUNC, 0, 0) < 0; }},
    {"Q7Fcreate(wrong plist)",     [](auto &h) { return Q7Fcreate("x.q7", Q7F_ACC_TRUNC, h.s, 0) < 0; }},
    {"Q7Fopen(null name)",         [](auto &) { return Q7Fopen(nullptr, Q7F_ACC_RDONLY, 0) < 0; }},
    {"Q7Fopen(missing file)",      [](auto &) { return Q7Fopen("no-such-file.q7", Q7F_ACC_RDONLY, 0) < 0; }},
    {"Q7Fopen(a directory)",       [](auto &) { return Q7Fopen(".", Q7F_ACC_RDONLY, 0) < 0; }},
    {"Q7Fopen(concurrent write, read-only)", [](auto &) { return Q7Fopen("x.q7", Q7F_ACC_CONCURRENT_WRITE, 0) < 0; }},
    {"Q7Fflush(-1)",               [](auto &) { return Q7Fflush(-1) < 0; }},
    {"Q7Fdelete(null)",            [](auto &) { return Q7Fdelete(nullptr) < 0; }},
    {"Q7Fdelete(open file)",       [](auto &h) { char b[4096]; Q7Fget_name(h.f, b, sizeof b); return Q7Fdelete(b) < 0; }},
    {"Q7Frename(null)",            [](auto &) { return Q7Frename(nullptr, "x.q7") < 0; }},
    {"Q7Frename(missing file)",    [](auto &) { return Q7Frename("no-such-file.q7", "x.q7") < 0; }},
    {"Q7Pset_fill_value(fapl)",    [](auto &) { int v = 1; q7id_t x = Q7Pcreate(Q7P_CLS_FILE_ACCESS_ID_g); bool r = Q7Pset_fill_value(x, Q7T_NATIVE_INT_g, &v) < 0; note(); Q7Pclose(x); return r; }},
    {"Q7Pget_fill_value(null)",    [](auto &h) { return Q7Pget_fill_value(h.p, Q7T_NATIVE_INT_g, nullptr) < 0; }},
    {"Q7Pset_fapl_sync(dcpl)",     [](auto &h) { return Q7Pset_fapl_sync(h.p, 0) < 0; }},
    {"Q7Pget_fapl_sync(null)",     [](auto &) { int v; q7id_t x = Q7Pcreate(Q7P_CLS_FILE_ACCESS_ID_g); bool r = Q7Pget_fapl_sync(x, nullptr) < 0 && Q7Pget_fapl_sync(-1, &v) < 0; note(); Q7Pclose(x); return r; }},
    {"Q7Fclose(group)",            [](auto &h) { return Q7Fclose(h.g) < 0; }},
    {"Q7Fis_accessible(null)",     [](auto &) { return Q7Fis_accessible(nullptr, 0) < 0; }},
    {"Q7Fget_name(space)",         [](auto &h) { char b[8]; return Q7Fget_name(h.s, b, sizeof b) < 0; }},
    {"Q7Fget_metadata_read_retry_info(null)", [](auto &h) { return Q7Fget_metadata_read_retry_info(h.f, nullptr) < 0; }},
    // groups, links, objects
    {"Q7Gcreate2(null name)",      [](auto &h) { return Q7Gcreate2(h.f, nullptr, 0, 0, 0) < 0; }},
    {"Q7Gcreate2(in a space)",     [](auto &h) { return Q7Gcreate2(h.s, "g2", 0, 0, 0) < 0; }},
    {"Q7Gcreate2(existing)",       [](auto &h) { return Q7Gcreate2(h.f, "grp", 0, 0, 0) < 0; }},
    {"Q7Gopen2(a dataset name)",   [](auto &h) { return Q7Gopen2(h.f, "dset", 0) < 0; }},
    {"Q7Gopen2(-1)",               [](auto &) { return Q7Gopen2(-1, "grp", 0) < 0; }},
    {"Q7Gclose(dataset)",          [](auto &h) { return Q7Gclose(h.d) < 0; }},
    {"Q7Lcreate_hard(null)",       [](auto &h) { return Q7Lcreate_hard(h.f, nullptr, h.f, "x", 0, 0) < 0; }},
    {"Q7Lcreate_hard(missing)",    [](auto &h) { return Q7Lcreate_hard(h.f, "absent", h.f, "x", 0, 0) < 0; }},
    {"Q7Lcreate_soft(null)",       [](auto &h) { return Q7Lcreate_soft(nullptr, h.f, "x", 0, 0) < 0; }},
    {"Q7Lcreate_external(null)",   [](auto &h) { return Q7Lcreate_external(nullptr, nullptr, h.f, "x", 0, 0) < 0; }},
    {"Q7Ldelete(missing)",         [](auto &h) { return Q7Ldelete(h.f, "absent", 0) < 0; }},
    {"Q7Ldelete(null)",            [](auto &h) { return Q7Ldelete(h.f, nullptr, 0) < 0; }},
    {"Q7Lexists(null)",            [](auto &h) { return Q7Lexists(h.f, nullptr, 0) < 0; }},
    {"Q7Lexists(type)",            [](auto &h) { return Q7Lexists(h.t, "x", 0) < 0; }},
    {"Q7Lget_info(missing)",       [](auto &h) { Q7L_info_t i; return Q7Lget_info(h.f, "absent", &i, 0) < 0; }},
    {"Q7Lget_val(hard link)",      [](auto &h) { char b[8]; return Q7Lget_val(h.f, "grp", b, sizeof b, 0) < 0; }},
    {"Q7Lunpack_elink_val(null)",  [](auto &) { return Q7Lunpack_elink_val(nullptr, 10, nullptr, nullptr, nullptr) < 0; }},
    {"Q7Lunpack_elink_val(short)", [](auto &) { const char v[3] = {'a', 'b', 'c'}; const char *a, *b; return Q7Lunpack_elink_val(v, 3, nullptr, &a, &b) < 0; }},
    {"Q7Literate2(null op)",       [](auto &h) { return Q7Literate2(h.f, nullptr, nullptr, nullptr) < 0; }},
    {"Q7Literate2(dataset)",       [](auto &h) { return Q7Literate2(h.d, nullptr, link_cb, nullptr) < 0; }},
    {"Q7Literate2(index out)",     [](auto &h) { q7size_t i = kHuge; return Q7Literate2(h.f, &i, link_cb, nullptr) < 0; }},
    {"Q7Oopen(missing)",           [](auto &h) { return Q7Oopen(h.f, "absent", 0) < 0; }},
    {"Q7Oopen(null)",              [](auto &h) { return Q7Oopen(h.f, nullptr, 0) < 0; }},
    {"Q7Oclose(space)",            [](auto &h) { return Q7Oclose(h.s) < 0; }},
    {"Q7Oget_info2(null)",         [](auto &h) { return Q7Oget_info2(h.d, nullptr, Q7O_INFO_ALL) < 0; }},
    {"Q7Oget_info2(type)",         [](auto &h) { Q7O_info2_t i; return Q7Oget_info2(h.t, &i, Q7O_INFO_ALL) < 0; }},
    {"Q7Oget_info_by_name2(null)", [](auto &h) { Q7O_info2_t i; return Q7Oget_info_by_name2(h.f, nullptr, &i, Q7O_INFO_ALL, 0) < 0; }},
    // attributes
    {"Q7Acreate2(null name)",      [](auto &h) { return Q7Acreate2(h.d, nullptr, Q7T_NATIVE_INT_g, h.s, 0, 0) < 0; }},
    {"Q7Acreate2(space as type)",  [](auto &h) { return Q7Acreate2(h.d, "a2", h.s, h.s, 0, 0) < 0; }},
    {"Q7Acreate2(existing)",       [](auto &h) { return Q7Acreate2(h.d, "attr", Q7T_NATIVE_INT_g, h.s, 0, 0) < 0; }},
    {"Q7Aopen(missing)",           [](auto &h) { return Q7Aopen(h.d, "absent", 0) < 0; }},
    {"Q7Awrite(null buf)",         [](auto &h) { return Q7Awrite(h.a, Q7T_NATIVE_INT_g, nullptr) < 0; }},
    {"Q7Awrite(dataset)",          [](auto &h) { int v[16] = {}; return Q7Awrite(h.d, Q7T_NATIVE_INT_g, v) < 0; }},
    {"Q7Aread(null buf)",          [](auto &h) { return Q7Aread(h.a, Q7T_NATIVE_INT_g, nullptr) < 0; }},
    {"Q7Aget_space(-1)",           [](auto &) { return Q7Aget_space(-1) < 0; }},
    {"Q7Aget_type(file)",          [](auto &h) { return Q7Aget_type(h.f) < 0; }},
    {"Q7Aexists(null)",            [](auto &h) { return Q7Aexists(h.d, nullptr) < 0; }},
    {"Q7Adelete(missing)",         [](auto &h) { return Q7Adelete(h.d, "absent") < 0; }},
    {"Q7Aiterate2(null op)",       [](auto &h) { return Q7Aiterate2(h.d, nullptr, nullptr, nullptr) < 0; }},
    {"Q7Aiterate2(space)",         [](auto &h) { return Q7Aiterate2(h.s, nullptr, attr_cb, nullptr) < 0; }},
    {"Q7Aclose(dataset)",          [](auto &h) { return Q7Aclose(h.d) < 0; }},
    // datasets
    {"Q7Dcreate2(null name)",      [](auto &h) { return Q7Dcreate2(h.f, nullptr, Q7T_NATIVE_INT_g, h.s, 0, 0, 0) < 0; }},
    {"Q7Dcreate2(type as space)",  [](auto &h) { return Q7Dcreate2(h.f, "d2", Q7T_NATIVE_INT_g, h.t, 0, 0, 0) < 0; }},
    {"Q7Dcreate2(chunk rank)",     [](auto &h) { q7id_t x = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g); q7size_t c[2] = {2, 2}; Q7Pset_chunk(x, 2, c); bool r = Q7Dcreate2(h.f, "d3", Q7T_NATIVE_INT_g, h.s, 0, x, 0) < 0; note(); Q7Pclose(x); return r; }},
    {"Q7Dopen2(a group)",          [](auto &h) { return Q7Dopen2(h.f, "grp", 0) < 0; }},
    {"Q7Dwrite(null buf)",         [](auto &h) { return Q7Dwrite(h.d, Q7T_NATIVE_INT_g, 0, 0, 0, nullptr) < 0; }},
    {"Q7Dwrite(group)",            [](auto &h) { int v[16] = {}; return Q7Dwrite(h.g, Q7T_NATIVE_INT_g, 0, 0, 0, v) < 0; }},
    {"Q7Dwrite(file as type)",     [](auto &h) { int v[16] = {}; return Q7Dwrite(h.d, h.f, 0, 0, 0, v) < 0; }},
    {"Q7Dwrite(space mismatch)",   [](auto &h) { int v[16] = {}; q7size_t n[1] = {3}; q7id_t m = Q7Screate_simple(1, n, nullptr); bool r = Q7Dwrite(h.d, Q7T_NATIVE_INT_g, m, 0, 0, v) < 0; note(); Q7Sclose(m); return r; }},
    {"Q7Dread(null buf)",          [](auto &h) { return Q7Dread(h.d, Q7T_NATIVE_INT_g, 0, 0, 0, nullptr) < 0; }},
    {"Q7Dread(-1)",                [](auto &) { int v[16]; return Q7Dread(-1, Q7T_NATIVE_INT_g, 0, 0, 0, v) < 0; }},
    {"Q7Dget_space(group)",        [](auto &h) { return Q7Dget_space(h.g) < 0; }},
    {"Q7Dget_type(-1)",            [](auto &) { return Q7Dget_type(-1) < 0; }},
    {"Q7Dget_create_plist(file)",  [](auto &h) { return Q7Dget_create_plist(h.f) < 0; }},
    {"Q7Dset_extent(null)",        [](auto &h) { return Q7Dset_extent(h.d, nullptr) < 0; }},
    {"Q7Dset_extent(beyond max)",  [](auto &h) { q7size_t n[1] = {kHuge}; return Q7Dset_extent(h.d, n) < 0; }},
    {"Q7Drefresh(space)",          [](auto &h) { return Q7Drefresh(h.s) < 0; }},
    {"Q7Dwrite_chunk(null offset)",[](auto &h) { int v[4] = {}; return Q7Dwrite_chunk(h.d, 0, 0, nullptr, sizeof v, v) < 0; }},
    {"Q7Dwrite_chunk(null buf)",   [](auto &h) { q7size_t o[1] = {0}; return Q7Dwrite_chunk(h.d, 0, 0, o, 16, nullptr) < 0; }},
    {"Q7Dwrite_chunk(zero size)",  [](auto &h) { int v[4] = {}; q7size_t o[1] = {0}; return Q7Dwrite_chunk(h.d, 0, 0, o, 0, v) < 0; }},
    {"Q7Dwrite_chunk(huge size)",  [](auto &h) { int v[4] = {}; q7size_t o[1] = {0}; return Q7Dwrite_chunk(h.d, 0, 0, o, kHugeSize, v) < 0; }},
    {"Q7Dwrite_chunk(off grid)",   [](auto &h) { int v[4] = {}; q7size_t o[1] = {3}; return Q7Dwrite_chunk(h.d, 0, 0, o, sizeof v, v) < 0; }},
    {"Q7Dwrite_chunk(outside)",    [](auto &h) { int v[4] = {}; q7size_t o[1] = {kHuge}; return Q7Dwrite_chunk(h.d, 0, 0, o, sizeof v, v) < 0; }},
    {"Q7Dread_chunk(null mask)",   [](auto &h) { int v[4]; q7size_t o[1] = {0}; return Q7Dread_chunk(h.d, 0, o, nullptr, v) < 0; }},
    {"Q7Dread_chunk(null buf)",    [](auto &h) { uint32_t m; q7size_t o[1] = {0}; return Q7Dread_chunk(h.d, 0, o, &m, nullptr) < 0; }},
    {"Q7Dread_chunk(group)",       [](auto &h) { int v[4]; uint32_t m; q7size_t o[1] = {0}; return Q7Dread_chunk(h.g, 0, o, &m, v) < 0; }},
    {"Q7Dget_chunk_storage_size(null)", [](auto &h) { q7size_t o[1] = {0}; return Q7Dget_chunk_storage_size(h.d, o, nullptr) < 0; }},
    {"Q7Dget_num_chunks(null)",    [](auto &h) { return Q7Dget_num_chunks(h.d, nullptr) < 0; }},
    {"Q7Dget_chunk_info(index out)",[](auto &h) { q7size_t o[1], s; uint32_t m; return Q7Dget_chunk_info(h.d, kHuge, o, &m, &s) < 0; }},
    {"Q7Dget_storage_size(group)", [](auto &h) { return Q7Dget_storage_size(h.g) == 0; }},
    {"Q7Dclose(space)",            [](auto &h) { return Q7Dclose(h.s) < 0; }},
    // filters and plug-ins
    {"Q7Zfilter_avail(-1)",        [](auto &) { return Q7Zfilter_avail(-1) < 0; }},
    {"Q7Zregister(null)",          [](auto &) { return Q7Zregister(nullptr) < 0; }},
    {"Q7Zregister(identifier 0)",  [](auto &) { Q7Z_class2_t c = {Q7Z_CLASS_T_VERS, 0, 1, 1, "zero", nullptr, nullptr, [](uint32_t, uint64_t, const uint32_t *, uint64_t n, uint64_t *, void **) -> uint64_t { return n; }}; return Q7Zregister(&c) < 0; }},
    {"Q7Zunregister(unknown)",     [](auto &) { return Q7Zunregister(65000) < 0; }},
    {"Q7Zget_filter_name(unknown)",[](auto &) { char b[8]; return Q7Zget_filter_name(65001, b, sizeof b) < 0; }},
    {"Q7Zget_filter_name(-1)",     [](auto &) { char b[8]; return Q7Zget_filter_name(-1, b, sizeof b) < 0; }},
    {"Q7PLset_search_path(null)",  [](auto &) { return Q7PLset_search_path(nullptr) < 0; }},
    // skip lists
    {"Q7SL_create(bad type)",      [](auto &) { return Q7SL_create(42, nullptr) == nullptr; }},
    {"Q7SL_insert(null list)",     [](auto &) { int k = 1; return Q7SL_insert(nullptr, &k, &k) < 0; }},
    {"Q7SL_iterate(null list)",    [](auto &) { return Q7SL_iterate(nullptr, nullptr, nullptr) < 0; }},
    {"Q7SL_destroy(null list)",    [](auto &) { return Q7SL_destroy(nullptr, nullptr, nullptr) < 0; }},
    {"Q7SL_search(null list)",     [](auto &) { int k = 1; return Q7SL_search(nullptr, &k) == nullptr; }},
    // library
    {"Q7check_version(mismatch)",  [](auto &) { return Q7check_version(Q7_VERS_MAJOR + 1, 0, 0) < 0; }},
    {"Q7allocate_memory(huge)",    [](auto &) { return Q7allocate_memory(SIZE_MAX - 64, 0) == nullptr; }},
    // high level
    {"Q7DOwrite_chunk(null buf)",  [](auto &h) { q7size_t o[1] = {0}; return Q7DOwrite_chunk(h.d, 0, 0, o, 16, nullptr) < 0; }},
    {"Q7DOwrite_chunk(zero size)", [](auto &h) { int v[4] = {}; q7size_t o[1] = {0}; return Q7DOwrite_chunk(h.d, 0, 0, o, 0, v) < 0; }},
    {"Q7DOwrite_chunk(huge size)", [](auto &h) { int v[4] = {}; q7size_t o[1] = {0}; return Q7DOwrite_chunk(h.d, 0, 0, o, kHugeSize, v) < 0; }},
    {"Q7DOwrite_chunk(group)",     [](auto &h) { int v[4] = {}; q7size_t o[1] = {0}; return Q7DOwrite_chunk(h.g, 0, 0, o, sizeof v, v) < 0; }},
    {"Q7DOread_chunk(null offset)",[](auto &h) { int v[4]; uint32_t m; return Q7DOread_chunk(h.d, 0, nullptr, &m, v) < 0; }},
    {"Q7IMmake_image_8bit(null)",  [](auto &h) { return Q7IMmake_image_8bit(h.f, "im", 4, 4, nullptr) < 0; }},
    {"Q7IMmake_image_8bit(0x0)",   [](auto &h) { unsigned char b[1] = {}; return Q7IMmake_image_8bit(h.f, "im0", 0, 0, b) < 0; }},
    {"Q7IMmake_image_8bit(huge)",  [](auto &h) { unsigned char b[1] = {}; return Q7IMmake_image_8bit(h.f, "imh", kHuge, kHuge, b) < 0; }},
    {"Q7IMmake_image_8bit(space)", [](auto &h) { unsigned char b[4] = {}; return Q7IMmake_image_8bit(h.s, "ims", 2, 2, b) < 0; }},
    {"Q7IMmake_palette(null dims)",[](auto &h) { unsigned char b[3] = {}; return Q7IMmake_palette(h.f, "pal", nullptr, b) < 0; }},
    {"Q7IMmake_palette(huge)",     [](auto &h) { unsigned char b[3] = {}; q7size_t d[2] = {kHuge, 3}; return Q7IMmake_palette(h.f, "palh", d, b) < 0; }},
    {"Q7IMlink_palette(missing)",  [](auto &h) { return Q7IMlink_palette(h.f, "absent", "absent2") < 0; }},
    {"Q7IMlink_palette(null)",     [](auto &h) { return Q7IMlink_palette(h.f, nullptr, nullptr) < 0; }},
    {"Q7IMunlink_palette(null)",   [](auto &h) { return Q7IMunlink_palette(h.f, nullptr, "p") < 0; }},
    {"Q7IMis_image(null)",         [](auto &h) { return Q7IMis_image(h.f, nullptr) < 0; }},
    {"Q7IMis_palette(-1)",         [](auto &) { return Q7IMis_palette(-1, "x") < 0; }},
    {"Q7IMget_image_info(null)",   [](auto &h) { return Q7IMget_image_info(h.f, nullptr, nullptr, nullptr, nullptr) < 0; }},
    {"Q7IMread_image(not image)",  [](auto &h) { unsigned char b[64]; return Q7IMread_image(h.f, "dset", b) < 0; }},
    {"Q7IMread_image(null buf)",   [](auto &h) { return Q7IMread_image(h.f, "dset", nullptr) < 0; }},
    {"Q7IMget_npalettes(group)",   [](auto &h) { return Q7IMget_npalettes(h.f, "grp") < 0; }},
    {"Q7IMget_palette_name(-1)",   [](auto &h) { char b[8]; return Q7IMget_palette_name(h.f, "dset", -1, b, sizeof b) < 0; }},
    {"Q7IMget_palette_info(null)", [](auto &h) { return Q7IMget_palette_info(h.f, "dset", 0, nullptr) < 0; }},
    {"Q7IMread_palette(huge index)",[](auto &h) { unsigned char b[8]; return Q7IMread_palette(h.f, "dset", 1 << 30, b) < 0; }},
    // tools runtime
    {"q7trav_visit(-1)",           [](auto &) { return q7trav_visit(-1, "/", 1, 1, obj_cb, nullptr, nullptr, Q7O_INFO_BASIC) < 0; }},
    {"q7trav_visit(space)",        [](auto &h) { return q7trav_visit(h.s, "/", 1, 1, obj_cb, nullptr, nullptr, Q7O_INFO_BASIC) < 0; }},
    {"q7trav_visit(missing group)",[](auto &h) { return q7trav_visit(h.f, "/absent", 1, 1, obj_cb, nullptr, nullptr, Q7O_INFO_BASIC) < 0; }},
    };
    return table;
}
// clang-format on

void clear_records() {
    Q7Eclear2(0);
    if (Q7tools_ERR_STACK_g > 0) Q7Eclear2(Q7tools_ERR_STACK_g);
}

TEST(BadArguments, EveryEntryPointFailsCleanlyWithARecord) {
    q7test::TempDir dir;
    ASSERT_GE(Q7open(), 0);
    q7tools_init();
    Q7Eset_auto2(0, nullptr, nullptr);
    Handles h;
    h.f = Q7Fcreate(dir.file("args.q7").c_str(), Q7F_ACC_TRUNC, 0, 0);
    h.g = Q7Gcreate2(h.f, "grp", 0, 0, 0);
    q7size_t n[1] = {16}, c[1] = {4};
    h.s = Q7Screate_simple(1, n, nullptr);
    h.p = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
    q7id_t dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
    Q7Pset_chunk(dcpl, 1, c);
    h.d = Q7Dcreate2(h.f, "dset", Q7T_NATIVE_INT_g, h.s, 0, dcpl, 0);
    Q7Pclose(dcpl);
    h.a = Q7Acreate2(h.d, "attr", Q7T_NATIVE_INT_g, h.s, 0, 0);
    h.t = Q7Tcopy(Q7T_NATIVE_INT_g);
    h.es = Q7Ecreate_stack();
    for (q7id_t id : {h.f, h.g, h.d, h.a, h.s, h.t, h.p, h.es}) ASSERT_GT(id, 0);

    std::string bad;
    for (const Case &k : cases()) {
        clear_records();
        noted = -1;
        bool failed = k.fails(h);
        q7ssize_t recs = noted >= 0 ? noted : records();
        if (!failed) bad += std::string(k.what) + ": no failure value\n";
        else if (recs <= 0) bad += std::string(k.what) + ": no error record\n";
    }
    EXPECT_EQ(bad, "") << cases().size() << " calls checked";

    // The handles used above still work: no bad call damaged them.
    int v[16];
    for (int i = 0; i < 16; ++i) v[i] = i;
    EXPECT_GE(Q7Dwrite(h.d, Q7T_NATIVE_INT_g, 0, 0, 0, v), 0);
    int back[16] = {};
    EXPECT_GE(Q7Dread(h.d, Q7T_NATIVE_INT_g, 0, 0, 0, back), 0);
    EXPECT_EQ(0, memcmp(v, back, sizeof v));

    Q7Eclose_stack(h.es);
    Q7Tclose(h.t);
    Q7Aclose(h.a);
    Q7Dclose(h.d);
    Q7Pclose(h.p);
    Q7Sclose(h.s);
    Q7Gclose(h.g);
    Q7Fclose(h.f);
    q7tools_close();
    Q7close();
}

// The comparison entry points without their options record, files or
// argument vector fail instead of touching null pointers.
TEST(BadArguments, ComparisonWithoutOptionsOrFilesFails) {
    ASSERT_GE(Q7open(), 0);
    q7tools_init();
    diff_opt_t o{};
    EXPECT_EQ(q7diff(nullptr, nullptr, nullptr, nullptr, &o), 0u);
    EXPECT_NE(o.err_stat, 0);
    clear_records();
    q7diff("a.q7", "b.q7", nullptr, nullptr, nullptr);
    EXPECT_GT(records(), 0);

    const char *argv[] = {"q7diff", "a.q7", "b.q7", nullptr};
    const char *f1, *f2, *o1, *o2;
    clear_records();
    EXPECT_LT(parse_command_line(3, argv, &f1, &f2, &o1, &o2, nullptr), 0);
    EXPECT_GT(records(), 0);
    clear_records();
    EXPECT_LT(parse_command_line(3, nullptr, &f1, &f2, &o1, &o2, &o), 0);
    EXPECT_GT(records(), 0);
    EXPECT_EQ(parse_command_line(3, argv, &f1, &f2, &o1, &o2, &o), 0) << "a good call still works";
    EXPECT_STREQ(f2, "b.q7");
    q7tools_close();
    Q7close();
}

} // namespace
