#include "jxl_types.h"

namespace qmjxl {
void register_reader(nb::module_ &m) {}
}  // namespace qmjxl
