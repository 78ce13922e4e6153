// Helpers shared by the tools runtime and the tools built on it.
#include "tools_shared.hpp"

#include <algorithm>
#include <cstdint>

namespace q7tools_internal {

std::string library_reason() noexcept {
    std::string reason;
    // The walk is the library's: its callback must not throw.
    Q7Ewalk2(
        0, Q7E_WALK_UPWARD,
        [](unsigned, const Q7E_error2_t *err, void *data) -> q7status_t {
            try {
                auto *out = static_cast<std::string *>(data);
                if (out->empty() && err->desc) *out = err->desc;
                return 0;
            } catch (...) {
                return -1;
            }
        },
        &reason);
    return reason;
}

std::string with_reason(const std::string &msg) {
    const std::string reason = library_reason();
    return reason.empty() ? msg : msg + ": " + reason;
}

bool blocks_with_chunks(q7id_t dset, const std::vector<q7size_t> &chunk, const std::vector<q7size_t> &dims,
                        const std::vector<q7size_t> &block, std::set<std::vector<q7size_t>> &out) {
    const size_t rank = dims.size();
    if (chunk.size() != rank || block.size() != rank) return false;
    q7size_t stored = 0;
    if (Q7Dget_num_chunks(dset, &stored) < 0) return false;
    std::vector<q7size_t> offset(rank), first(rank), last(rank), pos(rank);
    for (q7size_t c = 0; c < stored; c++) {
        if (Q7Dget_chunk_info(dset, c, offset.data(), nullptr, nullptr) < 0) return false;
        bool inside = true;
        for (size_t d = 0; d < rank && inside; d++) {
            if (offset[d] >= dims[d] || chunk[d] == 0 || block[d] == 0) {
                inside = false;
                break;
            }
            const q7size_t end = dims[d] - offset[d] > chunk[d] ? offset[d] + chunk[d] : dims[d];
            first[d] = offset[d] / block[d];
            last[d] = (end - 1) / block[d];
        }
        if (!inside) continue;  // wholly outside the extent: reads as nothing
        pos = first;
        for (;;) {
            std::vector<q7size_t> origin(rank);
            for (size_t d = 0; d < rank; d++) origin[d] = pos[d] * block[d];
            out.insert(std::move(origin));
            size_t d = rank;
            while (d-- > 0) {
                if (pos[d]++ < last[d]) break;
                pos[d] = first[d];
            }
            if (d == static_cast<size_t>(-1)) break;
        }
    }
    return true;
}

std::string dims_text(const std::vector<q7size_t> &dims) {
    std::string t = "[";
    for (size_t i = 0; i < dims.size(); i++) {
        if (i) t += ',';
        t += std::to_string(dims[i]);
    }
    t += ']';
    return t;
}

q7size_t saturating_product(const std::vector<q7size_t> &v, q7size_t start) {
    q7size_t n = start;
    for (q7size_t x : v)
        if (__builtin_mul_overflow(n, x, &n)) return UINT64_MAX;
    return n;
}

std::vector<q7size_t> row_band(const std::vector<q7size_t> &dims, q7size_t elem) {
    std::vector<q7size_t> c(dims.size(), 1);
    q7size_t budget = std::max<q7size_t>(1, kBandBytes / std::max<q7size_t>(elem, 1));
    for (size_t i = dims.size(); i-- > 0;) {
        const q7size_t take = std::max<q7size_t>(1, std::min(dims[i], budget));
        c[i] = take;
        budget = std::max<q7size_t>(1, budget / take);
        if (take < dims[i]) break;
    }
    return c;
}

std::vector<q7size_t> block_shape(const std::vector<q7size_t> &dims, const std::vector<q7size_t> &chunk,
                                  const std::vector<q7size_t> &other_chunk, q7size_t elem) {
    const size_t rank = dims.size();
    if (chunk.empty() && other_chunk.empty()) {
        std::vector<q7size_t> b = row_band(dims, elem);
        for (size_t i = 0; i < rank; ++i)
            while (b[i] > 1 && saturating_product(b, elem) > kBlockCapBytes) b[i] = (b[i] + 1) / 2;
        return b;
    }
    std::vector<q7size_t> unit(rank, 1), b(rank);
    for (size_t i = 0; i < rank; ++i) {
        if (!chunk.empty()) unit[i] = std::max<q7size_t>(1, std::min(chunk[i], dims[i]));
        const q7size_t want = std::min(dims[i], std::max(unit[i], other_chunk.empty() ? unit[i] : other_chunk[i]));
        b[i] = std::min(dims[i], (want + unit[i] - 1) / unit[i] * unit[i]);
    }
    for (size_t i = 0; i < rank; ++i)
        while (b[i] > unit[i] && saturating_product(b, elem) > kBlockCapBytes)
            b[i] = std::max(unit[i], (b[i] / 2 + unit[i] - 1) / unit[i] * unit[i]);
    for (size_t i = 0; i < rank; ++i)
        while (b[i] > 1 && saturating_product(b, elem) > kBlockCapBytes) b[i] = (b[i] + 1) / 2;
    return b;
}

} // namespace q7tools_internal
