// storage_io.cpp - Q7Dwrite and Q7Dread: selections in memory and in the
// file are paired element by element in row-major order; the file side is
// cut at block boundaries, and blocks are read, merged and written one at
// a time.  Blocks are visited in the file selection's ascending order, so
// a block is finished as soon as the walk passes its last element; only
// blocks still being filled are held in memory.
#include "storage_chunk_tasks.hpp"
#include "storage_dataset.hpp"
#include "storage_read_ahead.hpp"

#include <algorithm>
#include <unordered_map>

namespace q7::storage {

namespace {

// Upper bound of block buffers held at once; beyond it the block that
// finishes first is written (or dropped, when reading) early, which costs
// a re-read but keeps memory bounded for any selection shape.
constexpr size_t kCacheBytes = (size_t)256 << 20;

struct Piece {
    const q7size_t *bc;     // block coordinates
    q7size_t block_off;     // element offset inside the block
    q7size_t mem_off;       // element offset in the memory buffer
    q7size_t n;             // elements
    q7size_t file_next;     // linear index just past the piece in the extent
};

// Position of a walk through the extent: an element's coordinates, and
// for each its block and its place inside the block.  The position moves
// forward by carries, so that the pieces of a column or of any strided
// selection cost no division; only a jump of more than a row divides.
class Cursor {
public:
    explicit Cursor(const Geometry &g)
        : g_(g), last_(g.dims.size() - 1), span_(last_), coord_(g.dims.size()), bc_(g.dims.size()),
          in_(g.dims.size()) {
        while (span_ > 0 && g.block[span_] == g.dims[span_]) --span_;
    }

    q7size_t lin() const { return lin_; }
    const q7size_t *block_coords() const { return bc_.data(); }
    // Element offset of the position inside its block.
    q7size_t block_offset() const {
        q7size_t off = 0;
        for (size_t i = 0; i <= last_; ++i) off += in_[i] * g_.bstride[i];
        return off;
    }
    // Elements from the position to the end of its row, and of its block's row.
    q7size_t left_in_row() const { return g_.dims[last_] - coord_[last_]; }
    q7size_t left_in_block() const { return g_.block[last_] - in_[last_]; }
    // Elements from the position on that are consecutive both in the
    // extent and in the block: to the end of the block's row, or, where
    // the blocks span the extent's trailing dimensions whole (rows of an
    // image in full-width chunks), to the end of the block's part of them.
    q7size_t left_contiguous() const {
        q7size_t in_row = std::min(left_in_row(), left_in_block());
        if (span_ == last_) return in_row;
        q7size_t into = 0;  // offset of the position in its slab of the trailing dimensions
        for (size_t i = span_ + 1; i <= last_; ++i) into += coord_[i] * g_.dstride[i];
        q7size_t rows = std::min(g_.block[span_] - in_[span_], g_.dims[span_] - coord_[span_]);
        return (rows - 1) * g_.dstride[span_] + (g_.dstride[span_] - into);
    }

    void place(q7size_t lin) {
        lin_ = lin;
        for (size_t i = 0; i <= last_; ++i) {
            coord_[i] = lin / g_.dstride[i];
            lin -= coord_[i] * g_.dstride[i];
            split(i);
        }
    }
    // To the element `delta` further on in row-major order.
    void forward(q7size_t delta) {
        if (delta == 0) return;
        const q7size_t x = coord_[last_] + delta, row = g_.dims[last_];
        if (x < row) {
            coord_[last_] = x;
            split(last_);
        } else if (last_ > 0 && x - row < row) {
            coord_[last_] = x - row;
            split(last_);
            carry(last_ - 1);
        } else {
            place(lin_ + delta);
            return;
        }
        lin_ += delta;
    }
    // Forward by a piece of n elements (at most left_contiguous()).
    void along(q7size_t n) {
        if (n > left_in_row()) {
            forward(n);
            return;
        }
        lin_ += n;
        coord_[last_] += n;
        in_[last_] += n;
        if (in_[last_] == g_.block[last_]) {
            in_[last_] = 0;
            ++bc_[last_];
        }
        if (coord_[last_] == g_.dims[last_] && last_ > 0) {
            coord_[last_] = in_[last_] = bc_[last_] = 0;
            carry(last_ - 1);
        }
    }

private:
    void split(size_t i) {
        bc_[i] = coord_[i] / g_.block[i];
        in_[i] = coord_[i] - bc_[i] * g_.block[i];
    }
    // One more in dimension i, carried into the dimensions before it.
    void carry(size_t i) {
        for (;; --i) {
            ++coord_[i];
            if (++in_[i] == g_.block[i]) {
                in_[i] = 0;
                ++bc_[i];
            }
            if (coord_[i] < g_.dims[i] || i == 0) return;
            coord_[i] = in_[i] = bc_[i] = 0;
        }
    }

    const Geometry &g_;
    size_t last_;
    size_t span_;  // the dimensions after this one are whole in every block
    std::vector<q7size_t> coord_, bc_, in_;
    q7size_t lin_ = 0;
};

// Walks the paired selections and calls f(piece) for every part that lies
// in one block and is consecutive there and in the extent: one row of the
// block, or several where blocks span the trailing dimensions whole.  f returns false to stop.  File runs come in
// ascending order; a run that starts before the walk's position is placed
// afresh.
template <class F>
bool for_each_piece(const Geometry &g, const std::vector<Run> &file_runs, const std::vector<Run> &mem_runs,
                    F &&f) {
    Cursor at(g);
    bool placed = false;
    size_t fi = 0, mi = 0;
    q7size_t fdone = 0, mdone = 0;  // elements used of the current runs
    while (fi < file_runs.size() && mi < mem_runs.size()) {
        q7size_t n = std::min(file_runs[fi].length - fdone, mem_runs[mi].length - mdone);
        q7size_t flin = file_runs[fi].start + fdone, mlin = mem_runs[mi].start + mdone;
        if (!placed || flin < at.lin()) {
            at.place(flin);
            placed = true;
        } else {
            at.forward(flin - at.lin());
        }
        q7size_t left = n;
        while (left > 0) {
            q7size_t len = std::min(left, at.left_contiguous());
            Piece p{at.block_coords(), at.block_offset(), mlin, len, at.lin() + len};
            if (!f(p)) return false;
            left -= len;
            mlin += len;
            at.along(len);
        }
        fdone += n;
        mdone += n;
        if (fdone == file_runs[fi].length) {
            ++fi;
            fdone = 0;
        }
        if (mdone == mem_runs[mi].length) {
            ++mi;
            mdone = 0;
        }
    }
    return true;
}

struct Entry {
    std::vector<q7size_t> bc;
    BlockBuf buf;                                          // writing: the block being filled
    std::shared_ptr<DecodedBlock> shared;                  // reading: the decoded block
    q7size_t last = 0;                                     // last linear index inside the extent
    q7size_t need = 0;                                     // elements inside the extent
    q7size_t done = 0;                                     // elements written so far
    std::vector<std::pair<q7size_t, q7size_t>> written;    // (offset, count) pieces
    bool absent = false;                                   // reading: block not stored
    bool placed = false;                                   // reading: this call's pieces copied by a worker
};

// Blocks in use, finished in order of their last element.
class BlockCache {
public:
    explicit BlockCache(const Geometry &g) : g_(g) {}
    Entry *find(const std::string &key) {
        auto it = map_.find(key);
        return it == map_.end() ? nullptr : &it->second;
    }
    Entry &add(const std::string &key, Entry e) {
        bytes_ += g_.block_elems * g_.elem;
        order_.emplace(e.last, key);
        return map_.emplace(key, std::move(e)).first->second;
    }
    bool over_budget() const { return bytes_ > kCacheBytes && map_.size() > 1; }
    bool empty() const { return map_.empty(); }
    q7size_t first_last() const { return order_.begin()->first; }
    // Removes the block that finishes first and hands it over.
    Entry take_first() {
        auto it = order_.begin();
        auto m = map_.find(it->second);
        Entry e = std::move(m->second);
        map_.erase(m);
        order_.erase(it);
        bytes_ -= g_.block_elems * g_.elem;
        return e;
    }
    Entry take(const std::string &key) {
        auto m = map_.find(key);
        Entry e = std::move(m->second);
        for (auto it = order_.lower_bound(e.last); it != order_.end(); ++it)
            if (it->second == key) {
                order_.erase(it);
                break;
            }
        map_.erase(m);
        bytes_ -= g_.block_elems * g_.elem;
        return e;
    }

private:
    const Geometry &g_;
    std::unordered_map<std::string, Entry> map_;
    std::multimap<q7size_t, std::string> order_;
    size_t bytes_ = 0;
};

// Re-expresses runs of linear indices in one extent as runs in another
// of the same rank (a file dataspace taken before the dataset grew or
// shrank).  Row-major order is the order of coordinates in both, so the
// runs stay ascending.  False when an element lies outside `to`.
bool remap_runs(std::vector<Run> &runs, const std::vector<q7size_t> &from, const std::vector<q7size_t> &to) {
    size_t r = from.size();
    std::vector<q7size_t> fstride(r, 1), tstride(r, 1), c(r);
    for (size_t i = r; i-- > 1;) {
        fstride[i - 1] = fstride[i] * from[i];
        tstride[i - 1] = tstride[i] * to[i];
    }
    std::vector<Run> out;
    for (const Run &run : runs) {
        q7size_t pos = run.start, left = run.length;
        while (left > 0) {
            q7size_t rest = pos, lin = 0;
            for (size_t i = 0; i < r; ++i) {
                c[i] = rest / fstride[i];
                rest %= fstride[i];
                if (c[i] >= to[i]) return false;
                lin += c[i] * tstride[i];
            }
            q7size_t in_row = from[r - 1] - c[r - 1];
            q7size_t n = left < in_row ? left : in_row;
            if (c[r - 1] + n > to[r - 1]) return false;
            if (!out.empty() && out.back().start + out.back().length == lin)
                out.back().length += n;
            else
                out.push_back({lin, n});
            pos += n;
            left -= n;
        }
    }
    runs = std::move(out);
    return true;
}

} // namespace

std::string extent_text(const std::vector<q7size_t> &dims) {
    std::string s = "(";
    for (size_t i = 0; i < dims.size(); ++i) s += (i ? ", " : "") + std::to_string(dims[i]);
    return s + ")";
}

bool selections(const DatasetObj &d, q7id_t mem_space_id, q7id_t file_space_id, bool same_extent, Selections &out) {
    std::shared_ptr<Dataspace> fs, ms;
    if (file_space_id != Q7S_ALL) {
        fs = get<Dataspace>(file_space_id, Q7I_DATASPACE);
        if (!fs) return false;
        if (fs->dims.size() != d.dims.size()) {
            Q7_PUSH(Q7E_DATASPACE_g, Q7E_BADRANGE_g, "file dataspace has rank %zu, dataset %s rank %zu",
                    fs->dims.size(), d.path.c_str(), d.dims.size());
            return false;
        }
        if (same_extent && fs->dims != d.dims) {
            Q7_PUSH(Q7E_DATASPACE_g, Q7E_BADRANGE_g, "dataset %s has the extent %s, the file dataspace %s",
                    d.path.c_str(), extent_text(d.dims).c_str(), extent_text(fs->dims).c_str());
            return false;
        }
    }
    if (mem_space_id != Q7S_ALL) {
        ms = get<Dataspace>(mem_space_id, Q7I_DATASPACE);
        if (!ms) return false;
    }
    Dataspace whole;
    whole.rank = (int)d.dims.size();
    whole.dims = d.dims;
    whole.maxdims = d.maxdims;
    const Dataspace &f = fs ? *fs : whole;
    const Dataspace &m = ms ? *ms : f;
    q7size_t fn = f.selected_points(), mn = m.selected_points();
    if (fn != mn) {
        Q7_PUSH(Q7E_DATASPACE_g, Q7E_BADRANGE_g, "memory selection has %llu elements, file selection %llu",
                (unsigned long long)mn, (unsigned long long)fn);
        return false;
    }
    out.npoints = fn;
    if (fn == 0) return true;
    // Rank-0 datasets hold one element; their selection is that one.
    out.file = f.rank == 0 ? std::vector<Run>{{0, 1}} : f.runs();
    if (f.dims != d.dims && !remap_runs(out.file, f.dims, d.dims)) {
        Q7_PUSH(Q7E_DATASPACE_g, Q7E_BADRANGE_g, "file selection reaches outside the extent of dataset %s",
                d.path.c_str());
        return false;
    }
    out.mem = m.rank == 0 ? std::vector<Run>{{0, 1}} : m.runs();
    return true;
}

bool conversion(const Datatype &from, const Datatype &to, Conversion &conv) {
    conv = conversion_between(from, to);
    if (conv == Conversion::Refused) {
        Q7_PUSH(Q7E_DATATYPE_g, Q7E_CANTCONVERT_g, "cannot convert between %s and %s", describe(from).c_str(),
                describe(to).c_str());
        return false;
    }
    return true;
}

namespace {

// Writes a block that collected pieces: merges with the stored block when
// the pieces do not cover everything inside the extent.
bool flush_block(WriteTxn &t, const DatasetObj &d, const Geometry &g, Entry &e, ChunkEncoder &enc) {
    BlockBuf buf = std::move(e.buf);
    if (e.done < e.need) {
        // Blocks handed over before are stored first: the merge may need
        // one of them, and a failure among them comes first.
        if (!enc.finish()) return false;
        BlockBuf stored = load_decoded(t, d, g, e.bc.data());
        if (!stored) return false;
        auto *to = static_cast<unsigned char *>(stored.get());
        const auto *from = static_cast<const unsigned char *>(buf.get());
        for (auto [off, n] : e.written) memcpy(to + off * g.elem, from + off * g.elem, n * g.elem);
        buf = std::move(stored);
    }
    return enc.put(e.bc.data(), std::move(buf));
}

} // namespace

bool write_data(WriteTxn &t, const DatasetObj &d, const Selections &sel, Conversion conv, const void *mem,
                unsigned nthreads) {
    Geometry g(d);
    BlockCache cache(g);
    ChunkEncoder enc(t, d, g, nthreads, (size_t)(sel.npoints * g.elem));
    const auto *src = (const unsigned char *)mem;
    bool ok = for_each_piece(g, sel.file, sel.mem, [&](const Piece &p) {
        // Finish blocks that the walk has left behind.
        while (!cache.empty() && cache.first_last() < p.file_next - p.n) {
            Entry e = cache.take_first();
            if (!flush_block(t, d, g, e, enc)) return false;
        }
        std::string key = g.key(p.bc);
        Entry *e = cache.find(key);
        if (!e) {
            // A block that this one piece fills whole, with nothing to
            // convert, goes to the file straight from the caller's memory,
            // or through the filters, which read it from there.
            if (p.block_off == 0 && p.n == g.block_elems && conv == Conversion::Copy && g.whole(p.bc)) {
                const unsigned char *from = src + p.mem_off * g.elem;
                if (g.contiguous || d.pipeline.empty())
                    return store_block(t, d.addr, key, 0, from, (size_t)(p.n * g.elem));
                return enc.put(p.bc, nullptr, from);
            }
            Entry fresh;
            fresh.bc.assign(p.bc, p.bc + g.dims.size());
            fresh.need = g.inside(p.bc);
            fresh.last = g.last_linear(p.bc);
            size_t bytes = g.stored_bytes(p.bc);
            fresh.buf.reset(Q7allocate_memory(bytes ? bytes : 1, 0));
            if (!fresh.buf) {
                Q7_PUSH(Q7E_RESOURCE_g, Q7E_NOSPACE_g, "no memory for a chunk of %zu bytes", bytes);
                return false;
            }
            // What lies outside the extent in an edge block holds the fill
            // value, so that a later growth shows it.
            if (!g.whole(p.bc)) fill_elements(d, fresh.buf.get(), bytes / g.elem);
            e = &cache.add(key, std::move(fresh));
        }
        unsigned char *dst = static_cast<unsigned char *>(e->buf.get()) + p.block_off * g.elem;
        memcpy(dst, src + p.mem_off * g.elem, (size_t)(p.n * g.elem));
        if (conv == Conversion::Swap) swap_bytes(dst, (size_t)p.n, g.elem);
        e->done += p.n;
        if (e->done < e->need) e->written.emplace_back(p.block_off, p.n);
        if (e->done == e->need || cache.over_budget()) {
            Entry done = e->done == e->need ? cache.take(key) : cache.take_first();
            if (!flush_block(t, d, g, done, enc)) return false;
        }
        return true;
    });
    while (ok && !cache.empty()) {
        Entry e = cache.take_first();
        ok = flush_block(t, d, g, e, enc);
    }
    return ok && enc.finish();
}

namespace {

// Block coordinates of the element at linear index `lin` of the extent.
std::vector<q7size_t> block_at(const Geometry &g, q7size_t lin) {
    std::vector<q7size_t> bc(g.dims.size());
    for (size_t i = 0; i < bc.size(); ++i) {
        bc[i] = lin / g.dstride[i] / g.block[i];
        lin %= g.dstride[i];
    }
    return bc;
}

// True when the blocks of the selection's first and last elements are
// both kept decoded: then the read is taken to be piece-by-piece work on
// cached chunks (a row or column of them), which a plan would only slow
// down.  A read that needs other blocks still reads them, on one thread.
bool ends_cached(const Geometry &g, const Selections &sel, const ChunkCache *kept) {
    if (!kept || sel.file.empty()) return false;
    const Run &last = sel.file.back();
    return kept->decoded(g.key(block_at(g, sel.file.front().start).data())) &&
           kept->decoded(g.key(block_at(g, last.start + last.length - 1).data()));
}

bool same_block(const q7size_t *bc, const std::vector<q7size_t> &other) {
    if (other.empty()) return false;
    for (size_t i = 0; i < other.size(); ++i)
        if (other[i] != bc[i]) return false;
    return true;
}

// Copies a piece out of its block's entry (the fill value for a gap).
void copy_piece(const DatasetObj &d, const Geometry &g, const Entry &e, const Piece &p, Conversion conv,
                unsigned char *out) {
    if (e.absent)
        fill_elements(d, out, (size_t)p.n);
    else
        memcpy(out, static_cast<const unsigned char *>(e.shared->buf.get()) + p.block_off * g.elem,
               (size_t)(p.n * g.elem));
    if (conv == Conversion::Swap) swap_bytes(out, (size_t)p.n, g.elem);
}

// Finds, fetches and decodes the stored block `key` on this thread, into
// `dest` (the caller's memory) or, without it, into *buf: 1 done, 0 not
// stored, -1 on failure (pushed).
int decode_stored(ReadTxn &t, const DatasetObj &d, const Geometry &g, const q7size_t *bc, const std::string &key,
                  void *dest, BlockBuf *buf) {
    int64_t rowid = 0;
    uint32_t mask = 0;
    size_t bytes = 0;
    int got = find_block(t, d.addr, key, &rowid, &mask, &bytes);
    if (got <= 0) return got;
    BlockBuf fetched = fetch_block(t, rowid, bytes);
    if (!fetched || !decode_block(d, nullptr, mask, fetched, bytes, bytes, g.stored_bytes(bc), dest)) return -1;
    if (buf) *buf = std::move(fetched);
    return 1;
}

// The stored block `key` decoded, through the dataset's cache: 1 with
// `out` set (null: not stored), -1 on failure (pushed).
int load_for_read(ReadTxn &t, const DatasetObj &d, const Geometry &g, const q7size_t *bc, const std::string &key,
                  ChunkCache *kept, ChunkDecoder &dec, std::shared_ptr<DecodedBlock> &out, bool &placed) {
    if (kept && (out = kept->find(key))) return 1;
    if (std::shared_ptr<AheadTask> ahead = kept ? kept->take_pending(key) : nullptr) {
        // Read ahead: done, being decoded, or still queued (this thread
        // then decodes it).  One that failed is decoded again below, so
        // that its records are this call's.
        if ((out = await_ahead(*ahead))) {
            kept->insert(key, out);
            return 1;
        }
    }
    int got = dec.take(key, out, nullptr, &placed);
    if (got == 0) {
        BlockBuf buf;
        got = decode_stored(t, d, g, bc, key, nullptr, &buf);
        if (got <= 0) {
            out.reset();
            return got;
        }
        out = std::make_shared<DecodedBlock>();
        out->buf = std::move(buf);
        out->bytes = g.stored_bytes(bc);
    }
    if (got > 0 && out && kept) kept->insert(key, out);
    return got;
}

// A block the read wants whole, decoded straight into the caller's memory
// at `out`: 1 done, 0 not stored, -1 on failure (pushed), 2 when it is
// kept in the dataset's cache or read ahead (the caller copies it from
// there).  Planned blocks were decoded there by the workers.
int load_into(ReadTxn &t, const DatasetObj &d, const Geometry &g, const q7size_t *bc, const std::string &key,
              ChunkCache *kept, ChunkDecoder &dec, unsigned char *out) {
    std::shared_ptr<DecodedBlock> block;
    bool in_dest = false;
    int got = dec.take(key, block, &in_dest);
    if (got < 0 || in_dest) return got;
    if (got > 0) {
        if (!block) return 0;
        memcpy(out, block->buf.get(), block->bytes);
        return 1;
    }
    if (kept && kept->contains(key)) return 2;
    return decode_stored(t, d, g, bc, key, out, nullptr);
}

// The block after `bc` in row-major order of the grid; false past the last.
bool next_block(const Geometry &g, std::vector<q7size_t> &bc) {
    for (size_t i = bc.size(); i-- > 0;) {
        if (++bc[i] * g.block[i] < g.dims[i]) return true;
        bc[i] = 0;
    }
    return false;
}

// True when stepping from block key `from` through at most `window`
// blocks of the grid, `from` included, meets block key `to`.
bool within(const Geometry &g, const std::string &from, const std::string &to, unsigned window) {
    std::vector<q7size_t> bc;
    if (from.empty() || to.empty() || !g.decode_key(from.data(), from.size(), bc)) return false;
    for (unsigned i = 0; i < window; ++i) {
        if (g.key(bc.data()) == to) return true;
        if (!next_block(g, bc)) return false;
    }
    return false;
}

// The blocks of a read that are not kept decoded (missing, or pending
// in the read-ahead), as its plan found them.
struct Needed {
    std::string first;             // key of the first
    std::vector<q7size_t> last;    // coordinates of the last
};

// Read-ahead for scans (a loop over the chunks; Dask's tasks, which go
// through the grid in small squares, make short scans too), so that
// reads of a block or two at a time still keep every core busy.  A read
// continues the scan when its first block not kept decoded is the one
// just past what the scan fetched so far or one of the few after it
// (threads reading side by side arrive a little out of order), or lies
// among the blocks read ahead and not yet taken.  It then keeps the
// blocks after its own read ahead: two per thread and at least 256 KiB,
// fetched here and handed to the background pool (storage_read_ahead.hpp),
// within a quarter of the cache for all the blocks pending at once.  The
// call returns when its own blocks are done, and the next reads find the
// others decoded or being decoded.  Any other read starts a new scan
// after its last block.
void plan_ahead(ReadTxn &t, const DatasetObj &d, const Geometry &g, unsigned nthreads, const Needed &needed,
                ChunkCache &kept, const ChunkDecoder &dec) {
    constexpr int kMaxSteps = 64;  // blocks looked at past the read's last one
    const size_t depth = std::max((size_t)(kTasksPerThread * nthreads - 1) * g.block_elems * g.elem,
                                  kMinParallelBytes);
    const std::string next_key = kept.scan_next();
    const unsigned window = (unsigned)(depth / (g.block_elems * g.elem)) + nthreads + 1;
    bool past = within(g, next_key, needed.first, nthreads);
    bool inside = !past && within(g, needed.first, next_key, window);
    std::vector<q7size_t> next = needed.last;
    bool more = next_block(g, next);
    if (!past && !inside) {
        kept.set_scan_next(more ? g.key(next.data()) : std::string());
        return;
    }
    size_t room = kept.capacity() / 4, covered = 0;
    for (int step = 0; more && covered < depth && step < kMaxSteps; ++step) {
        std::string key = g.key(next.data());
        if (!kept.contains(key)) {
            if (kept.pending_bytes() + g.stored_bytes(next.data()) > room) break;
            read_ahead(t, d, g, dec.refs(), nthreads, key, next.data(), kept);
        }
        covered += g.stored_bytes(next.data());
        more = next_block(g, next);
    }
    // The scan's end only moves forward (keys sort in row-major order of
    // the grid; empty is past the last block).
    std::string end = more ? g.key(next.data()) : std::string();
    if (next_key.empty() || end.empty() || end > next_key) kept.set_scan_next(std::move(end));
}

} // namespace

bool read_data(ReadTxn &t, const DatasetObj &d, const Selections &sel, Conversion conv, void *mem,
               unsigned nthreads) {
    Geometry g(d);
    BlockCache cache(g);
    ChunkCache *kept = d.cache && d.cache->capacity() > 0 ? d.cache.get() : nullptr;
    if (kept) kept->check_current(t.container());
    ChunkDecoder dec(t, d, g, nthreads);
    auto *dst = (unsigned char *)mem;
    // Blocks of a filtered dataset that a read larger than the dataset's
    // cache wants whole are decoded straight into the caller's memory:
    // the cache could keep only the read's tail, and going past it saves
    // a copy of every block.
    const bool into_caller = !g.contiguous && !d.pipeline.empty() &&
                             (!kept || sel.npoints * g.elem > kept->capacity());
    auto wanted_whole = [&](const Piece &p) {
        return p.block_off == 0 && p.n == g.block_elems && g.whole(p.bc);
    };
    if (dec.may_run() && !ends_cached(g, sel, kept)) {
        // The blocks the walk below will need, in the order it needs them.
        // Pieces come in runs of the same block: only a change of block
        // costs a key.
        // Each planned block also takes the pieces of it that the caller
        // wants, for its worker to copy out (ChunkDecoder::place).
        std::unordered_map<std::string, size_t> planned;
        std::vector<q7size_t> last;
        const size_t none = SIZE_MAX;
        size_t current = none;  // the plan's index of the block of the last piece
        Needed needed;
        for_each_piece(g, sel.file, sel.mem, [&](const Piece &p) {
            if (!same_block(p.bc, last)) {
                last.assign(p.bc, p.bc + g.dims.size());
                std::string key = g.key(p.bc);
                auto [it, fresh] = planned.emplace(key, none);
                if (fresh && !(kept && kept->decoded(key))) {
                    if (needed.first.empty()) needed.first = key;
                    needed.last = last;
                    if (!(kept && kept->contains(key)))
                        it->second =
                            dec.plan(key, p.bc, into_caller && wanted_whole(p) ? dst + p.mem_off * g.elem : nullptr);
                }
                current = it->second;
            }
            if (current != none) dec.place(current, p.block_off, dst + p.mem_off * g.elem, p.n, conv == Conversion::Swap);
            return true;
        });
        dec.start();
        if (kept && !needed.last.empty()) plan_ahead(t, d, g, nthreads, needed, *kept, dec);
    }
    // The entry of the previous piece: a column read visits a block once
    // per row, and a lookup by key would cost more than the copy.
    Entry *last = nullptr;
    bool ok = for_each_piece(g, sel.file, sel.mem, [&](const Piece &p) {
        while (!cache.empty() && cache.first_last() < p.file_next - p.n) {
            cache.take_first();
            last = nullptr;
        }
        unsigned char *out = dst + p.mem_off * g.elem;
        if (last && same_block(p.bc, last->bc)) {
            if (!last->placed) copy_piece(d, g, *last, p, conv, out);
            return true;
        }
        std::string key = g.key(p.bc);
        Entry *e = cache.find(key);
        if (!e) {
            int into = into_caller && wanted_whole(p) ? load_into(t, d, g, p.bc, key, kept, dec, out) : 2;
            if (into < 0) return false;
            if (into == 1 && conv == Conversion::Swap) swap_bytes(out, (size_t)p.n, g.elem);
            if (into == 1) return true;
            if (into == 0) {
                // Not stored: the fill value (a revisit fills again).
                fill_elements(d, out, (size_t)p.n);
                if (conv == Conversion::Swap) swap_bytes(out, (size_t)p.n, g.elem);
                return true;
            }
            // A stored block wanted whole and unfiltered is read straight
            // into the caller's memory.
            if (p.block_off == 0 && p.n == g.block_elems && (g.contiguous || d.pipeline.empty()) &&
                !(kept && kept->contains(key))) {
                int64_t rowid = 0;
                uint32_t mask = 0;
                size_t bytes = 0;
                int found = find_block(t, d.addr, key, &rowid, &mask, &bytes);
                if (found < 0) return false;
                if (found == 0) {
                    Entry gap;
                    gap.bc.assign(p.bc, p.bc + g.dims.size());
                    gap.last = g.last_linear(p.bc);
                    gap.absent = true;
                    cache.add(key, std::move(gap));
                    fill_elements(d, out, (size_t)p.n);
                    if (conv == Conversion::Swap) swap_bytes(out, (size_t)p.n, g.elem);
                    return true;
                }
                if (bytes == p.n * g.elem) {
                    if (!read_block(t, rowid, out, bytes)) return false;
                    if (conv == Conversion::Swap) swap_bytes(out, (size_t)p.n, g.elem);
                    return true;
                }
            }
            Entry fresh;
            fresh.bc.assign(p.bc, p.bc + g.dims.size());
            fresh.last = g.last_linear(p.bc);
            int got = load_for_read(t, d, g, p.bc, key, kept, dec, fresh.shared, fresh.placed);
            if (got < 0) return false;
            // Remember a gap so that later rows of it cost no lookup.
            fresh.absent = got == 0 || !fresh.shared;
            e = &cache.add(key, std::move(fresh));
        }
        if (!e->placed) copy_piece(d, g, *e, p, conv, out);
        last = e;
        if (cache.over_budget()) {
            cache.take_first();
            last = nullptr;
        }
        return true;
    });
    return ok;
}

} // namespace q7::storage
