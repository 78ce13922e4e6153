// Whole-chunk I/O: the stored bytes and filter mask of one chunk, moved
// past the filter pipeline in both directions.
#include "hl_internal.hpp"

extern "C" {

q7status_t Q7DOwrite_chunk(q7id_t dset_id, q7id_t dxpl_id, uint32_t filter_mask, const q7size_t *offset,
                           size_t data_size, const void *buf) {
    return q7hl::api_call("Q7DOwrite_chunk", q7status_t{-1}, [&](q7hl::Call &call_) -> q7status_t {
        if (!offset) return Q7HL_FAIL(Q7E_ARGS_g, Q7E_BADVALUE_g, "no chunk offset given");
        if (!buf) return Q7HL_FAIL(Q7E_ARGS_g, Q7E_BADVALUE_g, "no chunk data given");
        if (data_size == 0) return Q7HL_FAIL(Q7E_ARGS_g, Q7E_BADVALUE_g, "chunk data size is 0");
        if (Q7Dwrite_chunk(dset_id, dxpl_id, filter_mask, offset, data_size, buf) < 0)
            return Q7HL_FAIL(Q7E_DATASET_g, Q7E_WRITEERROR_g, "cannot write the chunk directly");
        return 0;
    });
}

q7status_t Q7DOread_chunk(q7id_t dset_id, q7id_t dxpl_id, const q7size_t *offset, uint32_t *filter_mask,
                          void *buf) {
    return q7hl::api_call("Q7DOread_chunk", q7status_t{-1}, [&](q7hl::Call &call_) -> q7status_t {
        if (!offset) return Q7HL_FAIL(Q7E_ARGS_g, Q7E_BADVALUE_g, "no chunk offset given");
        if (!filter_mask) return Q7HL_FAIL(Q7E_ARGS_g, Q7E_BADVALUE_g, "no place for the filter mask given");
        if (!buf) return Q7HL_FAIL(Q7E_ARGS_g, Q7E_BADVALUE_g, "no chunk buffer given");
        uint32_t stored_mask = 0;
        if (Q7Dread_chunk(dset_id, dxpl_id, offset, &stored_mask, buf) < 0)
            return Q7HL_FAIL(Q7E_DATASET_g, Q7E_READERROR_g, "cannot read the chunk directly");
        // Test builds can make the call succeed without handing the mask
        // back, so that callers can prove they notice.
        if (!Q7fault_should_fail("Q7DOread_chunk:keep_mask")) *filter_mask = stored_mask;
        return 0;
    });
}

} // extern "C"
