// core_spaces.cpp - dataspaces (the extent of a dataset or buffer) and
// their selections: everything, nothing, or the union of hyperslabs,
// turned into runs of consecutive row-major elements for the I/O code.
#include "internal.hpp"

#include <algorithm>
#include <cstring>

namespace q7 {

namespace {

// Saturates at the largest count instead of wrapping: a count too large
// for any buffer is then refused as too large, never taken for a small one.
q7size_t product(const std::vector<q7size_t> &v, size_t from, size_t to) {
    q7size_t p = 1;
    for (size_t i = from; i < to; ++i)
        if (__builtin_mul_overflow(p, v[i], &p)) return ~(q7size_t)0;
    return p;
}

// Whether the slab selects all of dimension d as one stretch.
bool covers_whole(const std::vector<q7size_t> &dims, const Hyperslab &s, size_t d) {
    if (s.start[d] != 0) return false;
    if (s.count[d] == 1) return s.block[d] == dims[d];
    return s.stride[d] == s.block[d] && s.count[d] * s.block[d] == dims[d];
}

// Appends a run that starts at or after the last one's start, merging the
// two when they touch or overlap.
void append_run(std::vector<Run> &out, q7size_t start, q7size_t length) {
    if (!out.empty()) {
        Run &last = out.back();
        if (start <= last.start + last.length) {
            q7size_t end = std::max(last.start + last.length, start + length);
            last.length = end - last.start;
            return;
        }
    }
    out.push_back(Run{start, length});
}

// Runs of one hyperslab, ascending and merged.  Trailing dimensions that
// the slab covers completely are folded into the element stride, so whole
// rows and planes become single runs rather than element lists.
void slab_runs(const std::vector<q7size_t> &dims, const Hyperslab &s, std::vector<Run> &out) {
    const size_t rank = dims.size();
    size_t d = rank - 1;
    q7size_t inner = 1;  // elements per unit of dimension d
    while (d > 0 && covers_whole(dims, s, d)) {
        inner *= dims[d];
        --d;
    }
    // Pieces of dimension d in units of `inner` elements.
    std::vector<Run> pieces;
    if (s.stride[d] == s.block[d] || s.count[d] == 1) {
        pieces.push_back(Run{s.start[d] * inner, s.count[d] * s.block[d] * inner});
    } else {
        pieces.reserve(s.count[d]);
        for (q7size_t i = 0; i < s.count[d]; ++i)
            pieces.push_back(Run{(s.start[d] + i * s.stride[d]) * inner, s.block[d] * inner});
    }
    // Odometer over the selected coordinates of dimensions 0..d-1.
    std::vector<q7size_t> pitch(rank, 1);
    for (size_t k = rank - 1; k-- > 0;) pitch[k] = pitch[k + 1] * dims[k + 1];
    std::vector<q7size_t> blk(d, 0), ci(d, 0), inb(d, 0);  // count index, index within block
    for (;;) {
        q7size_t base = 0;
        for (size_t k = 0; k < d; ++k) base += (s.start[k] + ci[k] * s.stride[k] + inb[k]) * pitch[k];
        for (const Run &p : pieces) append_run(out, base + p.start, p.length);
        // advance
        size_t k = d;
        for (;;) {
            if (k == 0) return;
            --k;
            if (++inb[k] < s.block[k]) break;
            inb[k] = 0;
            if (++ci[k] < s.count[k]) break;
            ci[k] = 0;
        }
    }
}

} // namespace

q7size_t Dataspace::extent_points() const { return product(dims, 0, dims.size()); }

q7size_t Dataspace::selected_points() const {
    switch (sel) {
    case Selection::All: return extent_points();
    case Selection::None: return 0;
    case Selection::Slabs: break;
    }
    if (slabs.size() == 1) {
        const Hyperslab &s = slabs[0];
        q7size_t n = 1;
        for (int k = 0; k < rank; ++k) n *= s.count[k] * s.block[k];
        return n;
    }
    q7size_t n = 0;
    for (const Run &r : runs()) n += r.length;
    return n;
}

std::vector<Run> Dataspace::runs() const {
    std::vector<Run> out;
    if (sel == Selection::None) return out;
    if (sel == Selection::All) {
        q7size_t n = extent_points();
        if (n) out.push_back(Run{0, n});
        return out;
    }
    if (slabs.size() == 1) {
        slab_runs(dims, slabs[0], out);
        return out;
    }
    // Each slab's runs are ordered only among themselves: gather, sort,
    // then merge.
    std::vector<Run> all, one;
    for (const Hyperslab &s : slabs) {
        one.clear();
        slab_runs(dims, s, one);
        all.insert(all.end(), one.begin(), one.end());
    }
    std::sort(all.begin(), all.end(), [](const Run &a, const Run &b) { return a.start < b.start; });
    for (const Run &r : all) append_run(out, r.start, r.length);
    return out;
}

} // namespace q7

using namespace q7;

namespace {
std::shared_ptr<Dataspace> space_of(q7id_t id) { return get<Dataspace>(id, Q7I_DATASPACE); }
} // namespace

extern "C" q7id_t Q7Screate_simple(int rank, const q7size_t *dims, const q7size_t *maxdims) {
    return q7::api_call("Q7Screate_simple", q7id_t{-1}, [&](q7::ApiCall &api_) -> q7id_t {
        if (rank < 0 || rank > Q7_MAX_RANK) {
            Q7_PUSH(Q7E_DATASPACE_g, Q7E_BADRANGE_g, "rank %d is outside 0..%d", rank, Q7_MAX_RANK);
            return api_.fail(-1);
        }
        if (rank > 0 && !dims) {
            Q7_PUSH(Q7E_DATASPACE_g, Q7E_BADVALUE_g, "no dimensions given for rank %d", rank);
            return api_.fail(-1);
        }
        q7size_t total = 1;
        for (int k = 0; k < rank; ++k) {
            q7size_t mx = maxdims ? maxdims[k] : dims[k];
            if (mx != Q7S_UNLIMITED && dims[k] > mx) {
                Q7_PUSH(Q7E_DATASPACE_g, Q7E_BADRANGE_g,
                        "dimension %d: size %llu exceeds its maximum %llu", k, (unsigned long long)dims[k],
                        (unsigned long long)mx);
                return api_.fail(-1);
            }
            if (dims[k] == Q7S_UNLIMITED || __builtin_mul_overflow(total, dims[k], &total) ||
                total > (q7size_t)INT64_MAX) {
                Q7_PUSH(Q7E_DATASPACE_g, Q7E_BADRANGE_g, "the extent has too many elements");
                return api_.fail(-1);
            }
        }
        auto s = std::make_shared<Dataspace>();
        s->rank = rank;
        s->dims.assign(dims, dims + rank);
        if (maxdims) s->maxdims.assign(maxdims, maxdims + rank);
        else s->maxdims = s->dims;
        return register_id(Q7I_DATASPACE, s);
    });
}

extern "C" q7id_t Q7Scopy(q7id_t space_id) {
    return q7::api_call("Q7Scopy", q7id_t{-1}, [&](q7::ApiCall &api_) -> q7id_t {
        auto s = space_of(space_id);
        if (!s) return api_.fail(-1);
        return register_id(Q7I_DATASPACE, std::make_shared<Dataspace>(*s));
    });
}

extern "C" q7status_t Q7Sselect_hyperslab(q7id_t space_id, int32_t op, const q7size_t *start, const q7size_t *stride,
                                          const q7size_t *count, const q7size_t *block) {
    return q7::api_call("Q7Sselect_hyperslab", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        auto s = space_of(space_id);
        if (!s) return api_.fail(-1);
        if (op != Q7S_SELECT_SET && op != Q7S_SELECT_OR) {
            Q7_PUSH(Q7E_DATASPACE_g, Q7E_BADVALUE_g, "selection operator %d is neither 0 (set) nor 1 (or)", (int)op);
            return api_.fail(-1);
        }
        if (s->rank == 0) {
            Q7_PUSH(Q7E_DATASPACE_g, Q7E_BADTYPE_g, "a scalar dataspace has no hyperslabs");
            return api_.fail(-1);
        }
        if (!start || !count) {
            Q7_PUSH(Q7E_DATASPACE_g, Q7E_BADVALUE_g, "a hyperslab needs start and count");
            return api_.fail(-1);
        }
        Hyperslab h;
        const size_t r = (size_t)s->rank;
        h.start.assign(start, start + r);
        h.count.assign(count, count + r);
        h.stride = stride ? std::vector<q7size_t>(stride, stride + r) : std::vector<q7size_t>(r, 1);
        h.block = block ? std::vector<q7size_t>(block, block + r) : std::vector<q7size_t>(r, 1);
        for (size_t k = 0; k < r; ++k) {
            if (h.count[k] < 1 || h.block[k] < 1 || h.stride[k] < 1) {
                Q7_PUSH(Q7E_DATASPACE_g, Q7E_BADVALUE_g, "dimension %zu: count, stride and block must be at least 1",
                        k);
                return api_.fail(-1);
            }
            if (h.count[k] > 1 && h.block[k] > h.stride[k]) {
                Q7_PUSH(Q7E_DATASPACE_g, Q7E_BADVALUE_g, "dimension %zu: block %llu is larger than stride %llu", k,
                        (unsigned long long)h.block[k], (unsigned long long)h.stride[k]);
                return api_.fail(-1);
            }
            q7size_t span, end;
            bool overflow = __builtin_mul_overflow(h.count[k] - 1, h.stride[k], &span) ||
                            __builtin_add_overflow(span, h.block[k], &span) ||
                            __builtin_add_overflow(h.start[k], span, &end);
            if (overflow || end > s->dims[k]) {
                Q7_PUSH(Q7E_DATASPACE_g, Q7E_BADRANGE_g, "dimension %zu: the hyperslab reaches beyond the extent %llu",
                        k, (unsigned long long)s->dims[k]);
                return api_.fail(-1);
            }
        }
        if (op == Q7S_SELECT_SET || s->sel == Dataspace::Selection::None) {
            s->slabs.assign(1, std::move(h));
            s->sel = Dataspace::Selection::Slabs;
        } else if (s->sel == Dataspace::Selection::Slabs) {
            s->slabs.push_back(std::move(h));
        }
        // Uniting with an all-selection leaves it all.
        return 0;
    });
}

extern "C" q7status_t Q7Sselect_all(q7id_t space_id) {
    return q7::api_call("Q7Sselect_all", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        auto s = space_of(space_id);
        if (!s) return api_.fail(-1);
        s->sel = Dataspace::Selection::All;
        s->slabs.clear();
        return 0;
    });
}

extern "C" q7status_t Q7Sselect_none(q7id_t space_id) {
    return q7::api_call("Q7Sselect_none", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        auto s = space_of(space_id);
        if (!s) return api_.fail(-1);
        s->sel = Dataspace::Selection::None;
        s->slabs.clear();
        return 0;
    });
}

extern "C" int Q7Sget_simple_extent_ndims(q7id_t space_id) {
    return q7::api_call("Q7Sget_simple_extent_ndims", int{-1}, [&](q7::ApiCall &api_) -> int {
        auto s = space_of(space_id);
        if (!s) return api_.fail(-1);
        return s->rank;
    });
}

extern "C" int Q7Sget_simple_extent_dims(q7id_t space_id, q7size_t *dims, q7size_t *maxdims) {
    return q7::api_call("Q7Sget_simple_extent_dims", int{-1}, [&](q7::ApiCall &api_) -> int {
        auto s = space_of(space_id);
        if (!s) return api_.fail(-1);
        for (int k = 0; k < s->rank; ++k) {
            if (dims) dims[k] = s->dims[k];
            if (maxdims) maxdims[k] = s->maxdims[k];
        }
        return s->rank;
    });
}

extern "C" q7ssize_t Q7Sget_simple_extent_npoints(q7id_t space_id) {
    return q7::api_call("Q7Sget_simple_extent_npoints", q7ssize_t{-1}, [&](q7::ApiCall &api_) -> q7ssize_t {
        auto s = space_of(space_id);
        if (!s) return api_.fail(-1);
        return (q7ssize_t)s->extent_points();
    });
}

extern "C" q7ssize_t Q7Sget_select_npoints(q7id_t space_id) {
    return q7::api_call("Q7Sget_select_npoints", q7ssize_t{-1}, [&](q7::ApiCall &api_) -> q7ssize_t {
        auto s = space_of(space_id);
        if (!s) return api_.fail(-1);
        return (q7ssize_t)s->selected_points();
    });
}

extern "C" q7status_t Q7Sclose(q7id_t space_id) {
    return q7::api_call("Q7Sclose", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        if (!release_id(space_id, Q7I_DATASPACE)) {
            push_bad_id(space_id, Q7I_DATASPACE);
            return api_.fail(-1);
        }
        return 0;
    });
}
