// storage_hooks.cpp - what the core layer asks of the storage layer.
#include "storage_commit.hpp"

namespace q7 {

bool storage_shutdown() {
    // Files still open are committed and closed before their identifiers go.
    bool ok = storage::finish_all();
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
