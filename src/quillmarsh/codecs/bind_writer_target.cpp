// A writer's frame encoded to a quality or a size. The search over distance
// is Python (quillmarsh.codecs._quality_target): each trial is a whole
// encode, decode and metric call that releases the interpreter lock for its
// work, so the loop's own cost is nothing beside them. The chosen trial's
// stream becomes this writer's output as it is; no encode is repeated.
#include "bind_writer.h"

#include <cstring>

namespace qmjxl {

void JxlWriter::write_targeted(nb::handle arr, nb::handle duration, nb::handle name,
                               nb::handle timecode) {
    check_not_busy();
    if (target.result.is_valid() && !target.result.is_none())
        raise_py(PyExc_ValueError,
                 "jxl: a writer with target_score or target_size takes one frame");
    if (closed_ || !session.started() || !target.options.is_valid())
        raise_py(PyExc_RuntimeError, "JxlWriter is closed");
    for (nb::handle h : {duration, name, timecode})
        if (h.is_valid() && !h.is_none())
            raise_py(PyExc_ValueError, "jxl: a frame encoded to a target takes no duration, "
                                       "name or timecode");
    BusyGuard guard(busy_);
    nb::object search = nb::module_::import_("quillmarsh.codecs._quality_target");
    nb::object score = target.score >= 0.0 ? nb::object(nb::float_(target.score)) : nb::none();
    nb::object size = target.size > 0 ? nb::object(nb::int_(target.size)) : nb::none();
    nb::object found = search.attr("encode_to_target")(arr, target.options, score, size);
    nb::object data = found[0];
    char *bytes = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_AsStringAndSize(data.ptr(), &bytes, &n) != 0) throw_current();
    // The encoder is done with; its sink keeps the destination (a path's
    // temporary file) and now holds the whole stream, which close() delivers.
    session.release();
    ByteSink &out = session.out();
    ok_or_throw(out.reserve(static_cast<size_t>(n)));
    std::memcpy(out.data(), bytes, static_cast<size_t>(n));
    out.set_size(static_cast<size_t>(n));
    target.result = found[1];
}

}  // namespace qmjxl
