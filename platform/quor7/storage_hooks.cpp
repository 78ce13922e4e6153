// storage_hooks.cpp - what the core layer asks of the storage layer.
#include "internal.hpp"

namespace q7 {

void storage_shutdown() {}

std::string filter_name(q7filter_t id) {
    switch (id) {
    case Q7Z_FILTER_DEFLATE: return "deflate";
    case Q7Z_FILTER_SHUFFLE: return "shuffle";
    case Q7Z_FILTER_FLETCHER32: return "fletcher32";
    default: return "";
    }
}

} // namespace q7
