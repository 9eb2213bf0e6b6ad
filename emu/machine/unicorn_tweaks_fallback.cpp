// Other Unicorn releases: the tweaks of 2.0.1 don't apply; do without them.
#include "machine/unicorn_tweaks.h"

namespace vekos::unicorn {

void exception_delivered(uc_engine *) {}
size_t translated_bytes(uc_engine *) {
    return 0;
}
void flush_translations(uc_engine *) {}
void set_translation_buffer(size_t) {}
bool take_flush_request(uc_engine *) {
    return false;
}

} // namespace vekos::unicorn
