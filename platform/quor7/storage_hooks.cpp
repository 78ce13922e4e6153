// storage_hooks.cpp - what the core layer asks of the storage layer.
#include "storage_internal.hpp"

namespace q7 {

void storage_shutdown() {
    storage::unload_plugins();
    storage::forget_registered_filters();
}

std::string filter_name(q7filter_t id) {
    storage::FilterRef ref;
    if (!storage::find_filter(id, ref, false) || !ref.cls->name) return "";
    return ref.cls->name;
}

} // namespace q7
