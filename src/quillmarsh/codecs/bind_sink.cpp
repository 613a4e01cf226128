// Paths for the core's ByteSink.
#include "bind_sink.h"

#include <string>

namespace qmjxl {

void open_path_sink(ByteSink &sink, nb::handle path) {
    nb::module_ os = nb::module_::import_("os");
    nb::object fspath = os.attr("fspath")(path);
    nb::object target = os.attr("fsencode")(os.attr("path").attr("abspath")(fspath));
    const std::string shown = nb::repr(fspath).c_str();
    ok_or_throw(sink.open_file(std::string(PyBytes_AS_STRING(target.ptr()),
                                           static_cast<size_t>(PyBytes_GET_SIZE(target.ptr()))),
                               shown));
}

}  // namespace qmjxl
