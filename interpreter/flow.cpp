#include "interpreter/flow.hpp"

namespace kro::flow {

void raise(Flow f) { frame::throw_code(uint32_t(f)); }

Flow caught() {
    uint32_t c = runtime_context.thrown_code;
    if (!is_status(c)) throw;
    runtime_context.thrown_code = 0;
    return Flow(c);
}

}  // namespace kro::flow
