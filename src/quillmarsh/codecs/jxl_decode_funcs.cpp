#include "jxl_types.h"

namespace qmjxl {
void register_decode_funcs(nb::module_ &m) {}
}  // namespace qmjxl
