// The copy of one file into another: groups, links, attributes and
// datasets, each dataset with the pipeline and layout its rules give it.
//
// A dataset whose chunk shape and pipeline stay as they were is copied
// chunk by chunk as stored (bytes and filter mask, no filter runs).  Any
// other dataset is read and written again block by block (whole chunks of
// the new layout, at most 8 MiB), so memory stays bounded whatever the
// size of the data.
// The new file is written under a temporary name beside OUT and moved into
// place only when complete.
#include "repack.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <climits>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
#include <set>

#include "q7tools.h"
#include "tools_shared.hpp"

namespace q7repack {

namespace {

using q7tools_internal::block_shape;
using q7tools_internal::blocks_with_chunks;
using q7tools_internal::dims_text;
using q7tools_internal::IdHolder;
using q7tools_internal::keep_exception;
using q7tools_internal::NameList;
using q7tools_internal::row_band;
using q7tools_internal::saturating_product;
using q7tools_internal::WalkItem;
using q7tools_internal::Walker;
using q7tools_internal::with_reason;

// Largest attribute copied (attributes are read whole).
constexpr q7size_t kAttributeCapBytes = 64u << 20;

struct Pipeline {
    std::vector<FilterChoice> filters;
    std::vector<unsigned> flags;
    bool operator==(const Pipeline &o) const {
        if (filters.size() != o.filters.size() || flags != o.flags) return false;
        for (size_t i = 0; i < filters.size(); ++i)
            if (filters[i].id != o.filters[i].id || filters[i].cd != o.filters[i].cd) return false;
        return true;
    }
};

bool read_pipeline(q7id_t dcpl, Pipeline &p) {
    const int n = Q7Pget_nfilters(dcpl);
    if (n < 0) return false;
    for (int i = 0; i < n; ++i) {
        unsigned flags = 0;
        size_t ncd = 0;
        if (Q7Pget_filter2(dcpl, static_cast<unsigned>(i), &flags, &ncd, nullptr, 0, nullptr, nullptr) < 0)
            return false;
        FilterChoice f;
        f.cd.assign(ncd, 0);
        size_t room = ncd;
        f.id = Q7Pget_filter2(dcpl, static_cast<unsigned>(i), &flags, &room, f.cd.data(), 0, nullptr, nullptr);
        if (f.id < 0) return false;
        p.filters.push_back(f);
        p.flags.push_back(flags);
    }
    return true;
}

// Steps `pos` (block origins) to the next block in row-major order;
// false after the last.
bool next_block(std::vector<q7size_t> &pos, const std::vector<q7size_t> &step, const std::vector<q7size_t> &dims) {
    for (size_t d = pos.size(); d-- > 0;) {
        pos[d] += step[d];
        if (pos[d] < dims[d]) return true;
        pos[d] = 0;
    }
    return false;
}

struct Run {
    explicit Run(const Options &o) : opts(o) {}
    const Options &opts;
    q7id_t in = -1;
    q7id_t out = -1;
    std::string error;  // the first failure; the walk stops at it
    uint64_t datasets = 0, rewritten = 0, before = 0, after = 0;
    std::set<const void *> used_rules;
    // Every path of every object, so that the rules see all the names of
    // a dataset linked more than once.
    std::map<q7addr_t, std::vector<std::string>> names;
    q7addr_t current = Q7_ADDR_UNDEF;  // address of the object being copied
    // The groups of the new file on the way down to the object being
    // copied: [d - 1] is the parent of an object at depth d.
    std::deque<IdHolder> out_groups;

    bool fail(const std::string &msg) {
        if (error.empty()) error = msg;
        return false;
    }
};

bool copy_attributes(Run &r, q7id_t src, q7id_t dst, const std::string &path) {
    NameList list;
    const q7status_t listed = Q7Aiterate2(
        src, nullptr,
        [](q7id_t, const char *name, void *data) -> q7status_t {
            auto *l = static_cast<NameList *>(data);
            return keep_exception(l->error, [&] {
                l->names.push_back(name);
                return 0;
            });
        },
        &list);
    list.rethrow();
    if (listed < 0) return r.fail(with_reason("cannot list the attributes of <" + path + ">"));
    for (const std::string &name : list.names) {
        const std::string where = "attribute \"" + name + "\" of <" + path + ">";
        IdHolder attr(Q7Aopen(src, name.c_str(), 0), Q7Aclose);
        if (!attr.ok()) return r.fail(with_reason("cannot open " + where));
        IdHolder type(Q7Aget_type(attr), Q7Tclose);
        IdHolder space(Q7Aget_space(attr), Q7Sclose);
        const q7ssize_t n = space.ok() ? Q7Sget_simple_extent_npoints(space) : -1;
        const size_t size = type.ok() ? Q7Tget_size(type) : 0;
        if (n < 0 || size == 0) return r.fail(with_reason("cannot read the description of " + where));
        q7size_t bytes = 0;
        if (__builtin_mul_overflow(static_cast<q7size_t>(n), size, &bytes) || bytes > kAttributeCapBytes)
            return r.fail(where + " claims more than 64 MiB: the file is damaged");
        std::vector<unsigned char> value(std::max<q7size_t>(bytes, 1));
        if (Q7Aread(attr, type, value.data()) < 0) return r.fail(with_reason("cannot read " + where));
        IdHolder copy(Q7Acreate2(dst, name.c_str(), type, space, 0, 0), Q7Aclose);
        if (!copy.ok() || Q7Awrite(copy, type, value.data()) < 0)
            return r.fail(with_reason("cannot write " + where + " to " + r.opts.out));
    }
    return true;
}

// Reads and writes the data block by block through both pipelines.
bool copy_blocks(Run &r, const std::string &name, q7id_t src, q7id_t dst, q7id_t type, q7size_t elem,
                 const std::vector<q7size_t> &dims, const std::vector<q7size_t> &src_chunk,
                 const std::vector<q7size_t> &dst_chunk, const std::string &pipeline) {
    const size_t rank = dims.size();
    if (saturating_product(dims, 1) == 0) return true;
    if (rank == 0) {
        std::vector<unsigned char> buf(elem);
        if (Q7Dread(src, type, 0, 0, 0, buf.data()) < 0)
            return r.fail(with_reason("cannot read dataset " + name + " of " + r.opts.in));
        if (Q7Dwrite(dst, type, 0, 0, 0, buf.data()) < 0)
            return r.fail(with_reason("cannot write dataset " + name + " through " + pipeline));
        return true;
    }
    const std::vector<q7size_t> block = block_shape(dims, dst_chunk, src_chunk, elem);
    // Blocks wholly in chunks that were never written stay unwritten, so
    // a sparse dataset stays sparse: only the blocks holding a stored
    // chunk are visited, found from the list of stored chunks, so the time
    // goes with what is stored, not with the extent.
    bool sparse = false;
    std::set<std::vector<q7size_t>> stored_blocks;
    if (!src_chunk.empty()) {
        q7size_t stored = 0, blocks = 1;
        for (size_t i = 0; i < rank; ++i) blocks = saturating_product({(dims[i] - 1) / block[i] + 1}, blocks);
        if (Q7Dget_num_chunks(src, &stored) < 0) return r.fail(with_reason("cannot count the chunks of " + name));
        sparse = stored <= blocks / 2;
        if (sparse && !blocks_with_chunks(src, src_chunk, dims, block, stored_blocks))
            return r.fail(with_reason("cannot list the chunks of " + name));
    }
    std::vector<unsigned char> buf(saturating_product(block, elem));
    IdHolder fsrc(Q7Dget_space(src), Q7Sclose), fdst(Q7Dget_space(dst), Q7Sclose);
    if (!fsrc.ok() || !fdst.ok()) return r.fail(with_reason("cannot get the dataspace of " + name));
    std::vector<q7size_t> start(rank, 0), count(rank);
    auto next_stored = stored_blocks.begin();
    do {
        if (sparse) {
            if (next_stored == stored_blocks.end()) break;
            start = *next_stored++;
        }
        for (size_t i = 0; i < rank; ++i) count[i] = std::min(block[i], dims[i] - start[i]);
        IdHolder mem(Q7Screate_simple(static_cast<int>(rank), count.data(), nullptr), Q7Sclose);
        if (!mem.ok() || Q7Sselect_hyperslab(fsrc, Q7S_SELECT_SET, start.data(), nullptr, count.data(), nullptr) < 0 ||
            Q7Sselect_hyperslab(fdst, Q7S_SELECT_SET, start.data(), nullptr, count.data(), nullptr) < 0)
            return r.fail(with_reason("cannot select a block of " + name));
        if (Q7Dread(src, type, mem, fsrc, 0, buf.data()) < 0)
            return r.fail(with_reason("cannot read dataset " + name + " of " + r.opts.in));
        if (Q7Dwrite(dst, type, mem, fdst, 0, buf.data()) < 0)
            return r.fail(with_reason("cannot write dataset " + name + " through " + pipeline));
    } while (sparse || next_block(start, block, dims));
    return true;
}

bool move_chunk(Run &r, const std::string &name, q7id_t src, q7id_t dst, const q7size_t *offset, q7size_t nbytes,
                std::vector<unsigned char> &buf) {
    uint32_t mask = 0;
    buf.resize(std::max<q7size_t>(nbytes, 1));
    if (Q7Dread_chunk(src, 0, offset, &mask, buf.data()) < 0)
        return r.fail(with_reason("cannot read a chunk of dataset " + name + " of " + r.opts.in));
    if (Q7Dwrite_chunk(dst, 0, mask, offset, nbytes, buf.data()) < 0)
        return r.fail(with_reason("cannot write a chunk of dataset " + name + " to " + r.opts.out));
    return true;
}

// Copies the stored chunks as they are: same shape, same pipeline.
bool copy_stored_chunks(Run &r, const std::string &name, q7id_t src, q7id_t dst, const std::vector<q7size_t> &dims,
                        const std::vector<q7size_t> &chunk) {
    const size_t rank = dims.size();
    q7size_t stored = 0;
    if (Q7Dget_num_chunks(src, &stored) < 0) return r.fail(with_reason("cannot count the chunks of " + name));
    if (stored == 0) return true;
    std::vector<q7size_t> grid(rank);
    for (size_t i = 0; i < rank; ++i) grid[i] = dims[i] == 0 ? 0 : (dims[i] - 1) / chunk[i] + 1;
    const q7size_t cells = saturating_product(grid, 1);
    std::vector<unsigned char> buf;
    std::vector<q7size_t> offset(rank);
    if (cells != 0 && cells / 2 <= stored + 1024) {
        // Dense enough: ask for every chunk of the grid in order.
        std::vector<q7size_t> pos(rank, 0);
        do {
            for (size_t i = 0; i < rank; ++i) offset[i] = pos[i] * chunk[i];
            q7size_t nbytes = 0;
            if (Q7Dget_chunk_storage_size(src, offset.data(), &nbytes) < 0)
                return r.fail(with_reason("cannot look up a chunk of " + name));
            if (nbytes > 0 && !move_chunk(r, name, src, dst, offset.data(), nbytes, buf)) return false;
        } while (next_block(pos, std::vector<q7size_t>(rank, 1), grid));
        return true;
    }
    // Sparse: enumerate what is stored.
    for (q7size_t i = 0; i < stored; ++i) {
        uint32_t mask = 0;
        q7size_t nbytes = 0;
        if (Q7Dget_chunk_info(src, i, offset.data(), &mask, &nbytes) < 0)
            return r.fail(with_reason("cannot list the chunks of " + name));
        if (!move_chunk(r, name, src, dst, offset.data(), nbytes, buf)) return false;
    }
    return true;
}

// The most specific rule over all the names of the object being copied.
template <class Rule>
const Rule *rule_for(const Run &r, const std::string &path,
                     const Rule *(*lookup)(const Options &, const std::string &)) {
    auto found = r.names.find(r.current);
    if (found == r.names.end()) return lookup(r.opts, path);
    const Rule *best = nullptr;
    for (const std::string &name : found->second) {
        const Rule *rule = lookup(r.opts, name);
        if (rule && (!best || rule->path.size() > best->path.size())) best = rule;
    }
    return best;
}

// "<path>", with the other names of the object being copied, for messages.
std::string dataset_label(const Run &r, const std::string &path) {
    std::string label = "<" + path + ">";
    auto found = r.names.find(r.current);
    if (found == r.names.end() || found->second.size() < 2) return label;
    std::string others;
    for (const std::string &n : found->second)
        if (n != path) others += (others.empty() ? "" : ", ") + ("<" + n + ">");
    return label + " (also " + others + ")";
}

// src is the dataset, open (or -1 when it could not be opened); the copy
// is made as `link` in the group `out_parent` of the new file.
bool copy_dataset(Run &r, const std::string &path, q7id_t src, q7id_t out_parent, const std::string &link) {
    const std::string name = dataset_label(r, path);
    if (src < 0) return r.fail(with_reason("cannot open dataset " + name + " of " + r.opts.in));
    IdHolder type(Q7Dget_type(src), Q7Tclose);
    IdHolder space(Q7Dget_space(src), Q7Sclose);
    IdHolder dcpl(Q7Dget_create_plist(src), Q7Pclose);
    const int rank = space.ok() ? Q7Sget_simple_extent_ndims(space) : -1;
    const size_t elem = type.ok() ? Q7Tget_size(type) : 0;
    std::vector<q7size_t> dims(static_cast<size_t>(std::max(rank, 0))), maxdims(dims.size());
    Pipeline old_pipe;
    if (!dcpl.ok() || rank < 0 || elem == 0 || Q7Sget_simple_extent_dims(space, dims.data(), maxdims.data()) < 0 ||
        !read_pipeline(dcpl, old_pipe))
        return r.fail(with_reason("cannot read the description of dataset " + name));
    q7size_t elements = 1;
    for (q7size_t d : dims)
        if (__builtin_mul_overflow(elements, d, &elements))
            return r.fail("dataset " + name + " has more elements than can be counted (" + dims_text(dims) +
                          "): the file is damaged");
    std::vector<q7size_t> old_chunk(Q7_MAX_RANK);
    const int crank = Q7Pget_chunk(dcpl, Q7_MAX_RANK, old_chunk.data());
    old_chunk.resize(crank > 0 ? static_cast<size_t>(crank) : 0);
    const q7size_t raw = saturating_product(dims, elem);
    const q7size_t before = Q7Dget_storage_size(src);

    // What the rules make of it.
    Pipeline new_pipe = old_pipe;
    std::vector<q7size_t> new_chunk = old_chunk;
    if (rank > 0 && raw >= r.opts.min_size) {
        const FilterRule *frule = rule_for(r, path, filter_rule_for);
        const ChunkRule *crule = rule_for(r, path, chunk_rule_for);
        if (frule) {
            r.used_rules.insert(frule);
            new_pipe.filters = frule->filters;
            new_pipe.flags.assign(frule->filters.size(), Q7Z_FLAG_MANDATORY);
            for (const FilterChoice &f : new_pipe.filters)
                if (Q7Zfilter_avail(f.id) <= 0)
                    return r.fail("filter " + std::to_string(f.id) + " for dataset <" + path +
                                  "> is not available: no plug-in on the search path provides it");
        }
        if (crule) {
            r.used_rules.insert(crule);
            if (crule->contiguous) {
                new_chunk.clear();
            } else if (crule->shape.size() != dims.size()) {
                return r.fail("chunk shape " + dims_text(crule->shape) + " has rank " +
                              std::to_string(crule->shape.size()) + ", dataset " + name + " has rank " +
                              std::to_string(dims.size()) + " (" + dims_text(dims) + ")");
            } else {
                // A chunk reaching past a dimension that cannot grow is cut
                // to it: the library keeps chunks within the maximum extent.
                new_chunk = crule->shape;
                for (size_t i = 0; i < new_chunk.size(); ++i)
                    if (maxdims[i] != Q7S_UNLIMITED && maxdims[i] > 0) new_chunk[i] = std::min(new_chunk[i], maxdims[i]);
            }
        }
        if (new_chunk.empty() && !new_pipe.filters.empty()) {
            if (crule && crule->contiguous)
                return r.fail("dataset " + name + " cannot be contiguous: its pipeline " +
                              pipeline_text(new_pipe.filters) + " needs chunks");
            new_chunk = row_band(dims, elem);
        }
        if (new_chunk.empty() && dims != maxdims)
            return r.fail("dataset " + name + " cannot be contiguous: its extent can change");
    }

    IdHolder new_dcpl(Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g), Q7Pclose);
    bool ok = new_dcpl.ok();
    if (ok && !new_chunk.empty()) ok = Q7Pset_chunk(new_dcpl, static_cast<int>(new_chunk.size()), new_chunk.data()) >= 0;
    for (size_t i = 0; ok && i < new_pipe.filters.size(); ++i) {
        const FilterChoice &f = new_pipe.filters[i];
        ok = Q7Pset_filter(new_dcpl, f.id, new_pipe.flags[i], f.cd.size(), f.cd.data()) >= 0;
    }
    // Elements never written keep reading as the same fill value.
    std::vector<unsigned char> fill(elem);
    ok = ok && Q7Pget_fill_value(dcpl, type, fill.data()) >= 0 && Q7Pset_fill_value(new_dcpl, type, fill.data()) >= 0;
    if (!ok) return r.fail(with_reason("cannot describe the new layout of dataset " + name));
    IdHolder dst(Q7Dcreate2(out_parent, link.c_str(), type, space, 0, new_dcpl, 0), Q7Dclose);
    if (!dst.ok()) return r.fail(with_reason("cannot create dataset " + name + " in " + r.opts.out));
    if (!copy_attributes(r, src, dst, path)) return false;

    // The pipeline as the library completed it (a shuffle learns the
    // element size) decides whether the stored chunks can move as they are.
    IdHolder made(Q7Dget_create_plist(dst), Q7Pclose);
    Pipeline made_pipe;
    if (!made.ok() || !read_pipeline(made, made_pipe))
        return r.fail(with_reason("cannot read back the pipeline of " + name));
    const std::string pipeline = pipeline_text(made_pipe.filters);
    const bool unchanged = new_chunk == old_chunk && made_pipe == old_pipe;
    if (unchanged && !old_chunk.empty()) {
        if (!copy_stored_chunks(r, name, src, dst, dims, old_chunk)) return false;
    } else if (!copy_blocks(r, name, src, dst, type, elem, dims, old_chunk, new_chunk, pipeline)) {
        return false;
    }
    if (!unchanged) ++r.rewritten;
    const q7size_t after = Q7Dget_storage_size(dst);
    ++r.datasets;
    r.before += before;
    r.after += after;
    if (r.opts.mode == Mode::verbose) {
        char ratio[32] = "-";
        if (before > 0) snprintf(ratio, sizeof ratio, "%.2f", static_cast<double>(after) / static_cast<double>(before));
        printf("%s: %s, %" PRIu64 " -> %" PRIu64 " bytes (%s)\n", path.c_str(), pipeline.c_str(),
               static_cast<uint64_t>(before), static_cast<uint64_t>(after), ratio);
    }
    return true;
}

// Copies the group src (open) as `link` in out_parent, or as the root
// group of the new file at depth 0, and keeps the copy open for its members.
bool copy_group(Run &r, const WalkItem &item, q7id_t out_parent) {
    const std::string &path = item.path;
    if (item.object < 0) return r.fail(with_reason("cannot open group <" + path + "> of " + r.opts.in));
    IdHolder dst(item.depth == 0 ? Q7Gopen2(r.out, "/", 0) : Q7Gcreate2(out_parent, item.name.c_str(), 0, 0, 0),
                 Q7Gclose);
    if (!dst.ok()) return r.fail(with_reason("cannot create group <" + path + "> in " + r.opts.out));
    if (!copy_attributes(r, item.object, dst, path)) return false;
    r.out_groups.emplace_back(dst.release(), Q7Gclose);
    return true;
}

// The group of the new file that receives the links of an object at
// item.depth; -1 (with the failure kept) when there is none.
q7id_t out_parent_of(Run &r, const WalkItem &item) {
    while (r.out_groups.size() > item.depth) r.out_groups.pop_back();
    if (item.depth == 0) return -1;
    if (r.out_groups.size() != item.depth) {
        r.fail("cannot copy <" + item.path + ">: its group was not copied");
        return -1;
    }
    return r.out_groups.back();
}

int visit_object(Run &r, const WalkItem &item) {
    const std::string &path = item.path;
    bool ok = true;
    try {
        const q7id_t parent = out_parent_of(r, item);
        if (item.depth > 0 && parent < 0) return -1;
        if (item.already) {
            if (Q7Lcreate_hard(r.out, item.already, parent, item.name.c_str(), 0, 0) < 0)
                ok = r.fail(with_reason("cannot link <" + path + "> to <" + item.already + ">"));
        } else if (item.info->type == Q7O_TYPE_GROUP) {
            ok = copy_group(r, item, parent);
        } else if (item.info->type == Q7O_TYPE_DATASET) {
            r.current = item.info->addr;
            ok = copy_dataset(r, path, item.object, parent, item.name);
        } else {
            ok = r.fail("cannot copy <" + path + ">: objects of this kind cannot be copied");
        }
    } catch (const std::exception &e) {
        ok = r.fail("the copy stopped at <" + path + ">: " + e.what());
    }
    return ok ? 0 : -1;
}

// The first walk: every name of each dataset reached through more than
// one hard link, so that the rules see all of them.
int note_name(Run &r, const WalkItem &item) {
    if (item.info->type != Q7O_TYPE_DATASET) return 0;
    std::vector<std::string> &names = r.names[item.info->addr];
    if (item.already && names.empty()) names.push_back(item.already);
    if (item.already || item.info->rc > 1) names.push_back(item.path);
    else r.names.erase(item.info->addr);
    return 0;
}

int visit_link(Run &r, const WalkItem &item) {
    const std::string &path = item.path;
    const Q7L_info_t *info = item.link;
    const q7id_t parent = out_parent_of(r, item);
    if (parent < 0) return -1;
    std::vector<char> value(info->val_size + 1, '\0');
    if (Q7Lget_val(item.parent, item.name.c_str(), value.data(), value.size(), 0) < 0)
        return r.fail(with_reason("cannot read link <" + path + ">")), -1;
    if (info->type == Q7L_TYPE_SOFT) {
        if (Q7Lcreate_soft(value.data(), parent, item.name.c_str(), 0, 0) < 0)
            return r.fail(with_reason("cannot create soft link <" + path + ">")), -1;
        return 0;
    }
    if (info->type == Q7L_TYPE_EXTERNAL) {
        const char *file = nullptr, *object = nullptr;
        unsigned flags = 0;
        if (Q7Lunpack_elink_val(value.data(), info->val_size, &flags, &file, &object) < 0 ||
            Q7Lcreate_external(file, object, parent, item.name.c_str(), 0, 0) < 0)
            return r.fail(with_reason("cannot copy external link <" + path + ">")), -1;
        return 0;
    }
    return r.fail("cannot copy link <" + path + ">: unknown link type " + std::to_string(info->type)), -1;
}

// The temporary file, and its journal, removed when the run is ended by
// a signal, so that an interrupted run leaves nothing behind either.
char g_temp[PATH_MAX + 64];
char g_temp_journal[PATH_MAX + 72];
const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

void remove_temporary_and_end(int sig) {
    unlink(g_temp);
    unlink(g_temp_journal);
    signal(sig, SIG_DFL);
    raise(sig);
}

void guard_temporary(const std::string &temp) {
    if (temp.size() >= sizeof g_temp - 1) return;
    snprintf(g_temp, sizeof g_temp, "%s", temp.c_str());
    snprintf(g_temp_journal, sizeof g_temp_journal, "%s-journal", temp.c_str());
    for (int sig : kEndingSignals) signal(sig, remove_temporary_and_end);
}

void unguard_temporary() {
    for (int sig : kEndingSignals) signal(sig, SIG_DFL);
    g_temp[0] = g_temp_journal[0] = '\0';
}

// A name beside OUT that no file holds yet.
std::string temporary_name(const std::string &out) {
    for (unsigned n = 0;; ++n) {
        std::string name = out + ".q7repack-" + std::to_string(getpid()) + "-" + std::to_string(n);
        struct stat st;
        if (stat(name.c_str(), &st) != 0) return name;
    }
}

void warn_unused_rules(const Run &r) {
    if (r.opts.mode == Mode::quiet) return;
    for (const FilterRule &rule : r.opts.filter_rules)
        if (!r.used_rules.count(&rule)) warn_msg("--filter for <%s> applied to no dataset", rule.path.c_str());
    for (const ChunkRule &rule : r.opts.chunk_rules)
        if (!r.used_rules.count(&rule)) warn_msg("--chunk for <%s> applied to no dataset", rule.path.c_str());
}

std::string size_text(uint64_t bytes) {
    char buf[64];
    if (bytes < 1024) snprintf(buf, sizeof buf, "%" PRIu64 " B", bytes);
    else if (bytes < (1u << 20)) snprintf(buf, sizeof buf, "%.1f KiB", static_cast<double>(bytes) / 1024);
    else if (bytes < (1u << 30)) snprintf(buf, sizeof buf, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
    else snprintf(buf, sizeof buf, "%.1f GiB", static_cast<double>(bytes) / (1 << 30));
    return buf;
}

// Compares the new file with the input; kDone, kDiffers or kError.
int verify(const Options &opts, const std::string &written) {
    diff_opt_t d;
    memset(&d, 0, sizeof d);
    d.mode_quiet = opts.mode == Mode::quiet;
    d.mode_report = !d.mode_quiet;
    d.equal_allowed = 1;
    const uint64_t found = q7diff(opts.in.c_str(), written.c_str(), nullptr, nullptr, &d);
    if (d.err_stat) return kError;
    if (found != 0 || !d.equal_allowed) {
        if (opts.mode != Mode::quiet)
            printf("verify: %s differs from %s: %" PRIu64 " difference%s, %d object%s not comparable\n",
                   opts.out.c_str(), opts.in.c_str(), found, found == 1 ? "" : "s", d.n_not_compared,
                   d.n_not_compared == 1 ? "" : "s");
        return kDiffers;
    }
    if (opts.mode != Mode::quiet) printf("verify: %s equals %s\n", opts.out.c_str(), opts.in.c_str());
    return kDone;
}

} // namespace

int run(const Options &opts) {
    struct stat in_st, out_st;
    if (stat(opts.in.c_str(), &in_st) != 0) {
        error_msg("cannot open %s: %s", opts.in.c_str(), strerror(errno));
        return kError;
    }
    if (stat(opts.out.c_str(), &out_st) == 0) {
        if (out_st.st_dev == in_st.st_dev && out_st.st_ino == in_st.st_ino) {
            error_msg("%s and %s are the same file; the input is never overwritten", opts.in.c_str(),
                      opts.out.c_str());
            return kError;
        }
        if (S_ISDIR(out_st.st_mode)) {
            error_msg("%s is a directory", opts.out.c_str());
            return kError;
        }
        if (!opts.force) {
            error_msg("%s exists; --force replaces it", opts.out.c_str());
            return kError;
        }
    }

    Run r(opts);
    r.in = Q7Fopen(opts.in.c_str(), Q7F_ACC_RDONLY, 0);
    if (r.in < 0) {
        error_msg("%s", with_reason("cannot open " + opts.in).c_str());
        return kError;
    }
    const std::string temp = temporary_name(opts.out);
    guard_temporary(temp);
    // The temporary file skips syncs: it is useless until Q7Frename, which
    // syncs it before moving it into place.
    q7id_t fapl = Q7Pcreate(Q7P_CLS_FILE_ACCESS_ID_g);
    if (fapl >= 0) Q7Pset_fapl_sync(fapl, 0);
    r.out = Q7Fcreate(temp.c_str(), Q7F_ACC_EXCL, 0, fapl >= 0 ? fapl : 0);
    if (fapl >= 0) Q7Pclose(fapl);
    if (r.out < 0) {
        error_msg("%s", with_reason("cannot write " + opts.out + " (as " + temp + ")").c_str());
        unguard_temporary();
        Q7Fclose(r.in);
        return kError;
    }

    bool ok = false;
    try {
        // Each object is reached through its open parent group, and copied
        // into the open copy of that group.
        Walker names, copy;
        names.object = [&](const WalkItem &item) { return note_name(r, item); };
        names.problem = copy.problem = [&](const std::string &msg) { r.fail(msg); };
        copy.object = [&](const WalkItem &item) { return visit_object(r, item); };
        copy.link = [&](const WalkItem &item) { return visit_link(r, item); };
        ok = q7tools_internal::walk(r.in, "/", true, true, Q7O_INFO_BASIC, names) >= 0 &&
             q7tools_internal::walk(r.in, "/", true, true, Q7O_INFO_BASIC, copy) >= 0 && r.error.empty();
        r.out_groups.clear();
    } catch (const std::exception &e) {
        r.fail(std::string("the copy stopped: ") + e.what());
    }
    r.out_groups.clear();
    if (!ok && r.error.empty()) r.fail("cannot walk " + opts.in);
    if (Q7Fclose(r.out) < 0 && ok) ok = r.fail(with_reason("cannot finish " + opts.out));
    Q7Fclose(r.in);
    int status = kDone;
    if (ok && opts.verify) {
        status = verify(opts, temp);
        if (status == kError) ok = r.fail("the comparison of " + opts.out + " with " + opts.in + " failed");
    }
    if (ok && Q7Frename(temp.c_str(), opts.out.c_str()) < 0)
        ok = r.fail(with_reason("cannot move the new file into place as " + opts.out));
    unguard_temporary();
    if (!ok) {
        error_msg("%s", r.error.c_str());
        Q7Fdelete(temp.c_str());
        fflush(stdout);
        return kError;
    }
    warn_unused_rules(r);
    if (opts.mode != Mode::quiet)
        printf("%s -> %s: %" PRIu64 " dataset%s, %" PRIu64 " rewritten, stored %s -> %s\n", opts.in.c_str(),
               opts.out.c_str(), r.datasets, r.datasets == 1 ? "" : "s", r.rewritten, size_text(r.before).c_str(),
               size_text(r.after).c_str());
    fflush(stdout);
    return status;
}

} // namespace q7repack
