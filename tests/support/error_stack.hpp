// Reading the default error stack in tests.
#pragma once

#include <string>

#include "quor7.h"

namespace q7test {

// Messages of the records now on the default error stack, oldest first,
// one per line.
inline std::string error_text() {
    std::string all;
    Q7Ewalk2(
        0, Q7E_WALK_UPWARD,
        [](unsigned, const Q7E_error2_t *e, void *out) -> q7status_t {
            *(std::string *)out += std::string(e->desc ? e->desc : "") + "\n";
            return 0;
        },
        &all);
    return all;
}

} // namespace q7test
