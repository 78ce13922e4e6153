// storage_hooks.cpp - what the core layer asks of the storage layer.
#include "storage_commit.hpp"
#include "storage_read_ahead.hpp"

namespace q7 {

bool storage_shutdown() {
    // Files still open are committed and closed before their identifiers go.
    bool ok = storage::finish_all();
    // Blocks still being decoded ahead hold plug-ins and allocator blocks.
    storage::stop_read_ahead();
    storage::unload_plugins();
    storage::forget_registered_filters();
    return ok;
}

std::string filter_name(q7filter_t id) {
    storage::FilterRef ref;
    if (!storage::find_filter(id, ref, false) || !ref.cls->name) return "";
    return ref.cls->name;
}

} // namespace q7
