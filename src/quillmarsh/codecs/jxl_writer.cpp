#include "jxl_types.h"

namespace qmjxl {
void register_writer(nb::module_ &m) {}
}  // namespace qmjxl
