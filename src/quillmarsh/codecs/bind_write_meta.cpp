// The writer's checks of the metadata it is given.
#include "bind_write_meta.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace qmjxl {

namespace {

std::string py_type_name(nb::handle h) { return Py_TYPE(h.ptr())->tp_name; }
std::string repr_text(nb::handle h) { return nb::repr(h).c_str(); }
std::string mib(uint64_t n) { return std::to_string(n >> 20) + " MiB"; }

// The bytes of a bytes-like or (when allowed) of a str as UTF-8; TypeError otherwise.
std::string as_bytes(nb::handle value, const char *what, bool allow_str) {
    if (allow_str && PyUnicode_Check(value.ptr())) {
        Py_ssize_t n = 0;
        const char *s = PyUnicode_AsUTF8AndSize(value.ptr(), &n);
        if (!s) throw_current();
        return std::string(s, static_cast<size_t>(n));
    }
    if (!is_bytes_like(value))
        raise_py(PyExc_TypeError, std::string(what) + " must be bytes" +
                                      (allow_str ? " or str" : "") + "; got " + py_type_name(value));
    nb::object b = nb::steal(PyBytes_FromObject(value.ptr()));
    if (!b.is_valid()) throw_current();
    return std::string(PyBytes_AS_STRING(b.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(b.ptr())));
}

void check_box_size(size_t n, const char *what) {
    if (n == 0) raise_py(PyExc_ValueError, std::string(what) + " is empty");
    if (n > kMaxBoxBytes)
        raise_py(PyExc_ValueError, std::string(what) + " of " + std::to_string(n) +
                                       " bytes is larger than the " + mib(kMaxBoxBytes) +
                                       " limit for metadata boxes");
}

uint32_t timecode_value(nb::handle v, const std::string &what) {
    if (PyBool_Check(v.ptr()) || !PyLong_Check(v.ptr()))
        raise_py(PyExc_TypeError, what + " must be an int (0xHHMMSSFF); got " + py_type_name(v));
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred()) throw_current();
    if (overflow || n < 0 || n > (long long)std::numeric_limits<uint32_t>::max())
        raise_py(PyExc_ValueError, what + " must fit 32 bits (0xHHMMSSFF); got " + repr_text(v));
    return static_cast<uint32_t>(n);
}

// A sequence other than text or bytes (those are single values).
bool is_sequence(nb::handle h) {
    return PySequence_Check(h.ptr()) && !PyUnicode_Check(h.ptr()) && !is_bytes_like(h);
}

void parse_durations(EncodeMeta &meta, nb::handle duration) {
    meta.ticks.clear();
    meta.per_frame = false;
    if (duration.is_none()) return;
    if (!meta.animation)
        raise_py(PyExc_ValueError, "duration needs animation=True (a still image has no timing)");
    if (!is_sequence(duration)) {
        meta.default_ticks = duration_ticks(duration, "duration");
        return;
    }
    nb::object seq = nb::steal(PySequence_Fast(duration.ptr(), "duration"));
    if (!seq.is_valid()) throw_current();
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        const std::string what = "duration[" + std::to_string(i) + "]";
        meta.ticks.push_back(duration_ticks(PySequence_Fast_GET_ITEM(seq.ptr(), i), what.c_str()));
    }
    meta.per_frame = true;
}

void parse_loops(EncodeMeta &meta, nb::handle loops) {
    if (PyBool_Check(loops.ptr()) || !PyLong_Check(loops.ptr()))
        raise_py(PyExc_TypeError, "loops must be an int; got " + py_type_name(loops));
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(loops.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred()) throw_current();
    if (overflow || n < 0 || n > (long long)std::numeric_limits<uint32_t>::max())
        raise_py(PyExc_ValueError,
                 "loops must be 0 (forever) to 4294967295 plays; got " + repr_text(loops));
    if (n != 0 && !meta.animation)
        raise_py(PyExc_ValueError, "loops needs animation=True (a still image does not play)");
    meta.num_loops = static_cast<uint32_t>(n);
}

void parse_timecodes(EncodeMeta &meta, nb::handle tcs) {
    meta.timecodes.clear();
    meta.timecodes_given = false;
    if (tcs.is_none()) return;
    if (!meta.animation)
        raise_py(PyExc_ValueError, "timecodes needs animation=True (a still image has no timing)");
    if (!is_sequence(tcs))
        raise_py(PyExc_TypeError,
                 "timecodes must be a sequence of ints, one per frame; got " + py_type_name(tcs));
    nb::object seq = nb::steal(PySequence_Fast(tcs.ptr(), "timecodes"));
    if (!seq.is_valid()) throw_current();
    const Py_ssize_t k = PySequence_Fast_GET_SIZE(seq.ptr());
    for (Py_ssize_t i = 0; i < k; ++i)
        meta.timecodes.push_back(timecode_value(PySequence_Fast_GET_ITEM(seq.ptr(), i),
                                                "timecodes[" + std::to_string(i) + "]"));
    meta.timecodes_given = true;
}

bool given(nb::handle h) { return h.is_valid() && !h.is_none(); }

uint32_t frame_timecode(const EncodeMeta &meta, size_t index, nb::handle timecode,
                        const std::string &frame) {
    const bool tc = given(timecode);
    if (tc && !meta.animation)
        raise_py(PyExc_ValueError, "timecode needs animation=True (a still image has no timing)");
    if (tc && !meta.have_timecodes)
        raise_py(PyExc_ValueError,
                 "timecode for " + frame + ", but the first frame had none: a stream's frames "
                 "carry timecodes from the first or not at all");
    if (!meta.have_timecodes) return 0;
    if (tc) return timecode_value(timecode, "timecode");
    if (index < meta.timecodes.size()) return meta.timecodes[index];
    raise_py(PyExc_ValueError,
             meta.timecodes_given
                 ? "timecodes has " + std::to_string(meta.timecodes.size()) +
                       " entries, too few for " + frame
                 : frame + " needs a timecode: the stream's frames carry them (the first frame "
                           "had one)");
}

uint32_t frame_duration(const EncodeMeta &meta, size_t index, nb::handle duration) {
    if (given(duration)) return duration_ticks(duration, "duration");
    if (!meta.per_frame) return meta.default_ticks;
    if (index >= meta.ticks.size())
        raise_py(PyExc_ValueError, "duration has " + std::to_string(meta.ticks.size()) +
                                       " entries, too few for frame " + std::to_string(index + 1));
    return meta.ticks[index];
}

}  // namespace

std::string exif_box_contents(nb::handle exif) {
    const std::string raw = as_bytes(exif, "exif", false);
    const char *p = raw.data();
    size_t n = raw.size();
    if (n >= 6 && std::memcmp(p, "Exif\0\0", 6) == 0) {
        p += 6;
        n -= 6;
    }
    if (n < 8 || !(std::memcmp(p, "II*\0", 4) == 0 || std::memcmp(p, "MM\0*", 4) == 0))
        raise_py(PyExc_ValueError,
                 "exif must be TIFF-structured data starting with \"II*\\0\" or \"MM\\0*\" "
                 "(optionally after \"Exif\\0\\0\")");
    check_box_size(n + 4, "exif");
    std::string box(4, '\0');  // offset field: the TIFF header follows at once
    box.append(p, n);
    return box;
}

std::string box_payload(nb::handle value, const char *what) {
    std::string b = as_bytes(value, what, std::strcmp(what, "xmp") == 0);
    check_box_size(b.size(), what);
    return b;
}

uint32_t duration_ticks(nb::handle seconds, const char *what) {
    if (PyBool_Check(seconds.ptr()) || !PyNumber_Check(seconds.ptr()))
        raise_py(PyExc_TypeError,
                 std::string(what) + " must be a number of seconds; got " + py_type_name(seconds));
    double s = PyFloat_AsDouble(seconds.ptr());
    if (s == -1.0 && PyErr_Occurred()) throw_current();
    if (!std::isfinite(s) || s < 0.0)
        raise_py(PyExc_ValueError, std::string(what) +
                                       " must be a finite number of seconds >= 0 (got " +
                                       repr_text(seconds) + ")");
    // A positive duration is at least one tick: a frame of 0 ticks is a
    // layer of the next one, not a frame of its own.
    const double ticks = s > 0.0 ? std::max(1.0, std::round(s * kTicksPerSecond)) : 0.0;
    if (ticks > double(std::numeric_limits<uint32_t>::max()))
        raise_py(PyExc_ValueError,
                 std::string(what) + " of " + repr_text(seconds) +
                     " s is too long for the time base of 1/" + std::to_string(kTicksPerSecond) +
                     " s (at most 4294967.295 s)");
    return static_cast<uint32_t>(ticks);
}

std::string frame_name_utf8(nb::handle name) {
    if (!PyUnicode_Check(name.ptr()))
        raise_py(PyExc_TypeError, "name must be str; got " + py_type_name(name));
    Py_ssize_t n = 0;
    const char *s = PyUnicode_AsUTF8AndSize(name.ptr(), &n);
    if (!s) throw_current();
    if (std::memchr(s, '\0', static_cast<size_t>(n)))
        raise_py(PyExc_ValueError, "name must not contain NUL characters");
    if (static_cast<size_t>(n) > kMaxFrameName)
        raise_py(PyExc_ValueError, "name is " + std::to_string(n) + " bytes in UTF-8; a frame " +
                                       "name holds at most " + std::to_string(kMaxFrameName));
    return std::string(s, static_cast<size_t>(n));
}

void parse_encode_meta(EncodeMeta &meta, nb::handle exif, nb::handle xmp, nb::handle jumbf,
                       nb::handle compress, nb::handle duration, nb::handle loops,
                       nb::handle timecodes, bool animation) {
    meta.animation = animation;
    meta.boxes.clear();
    if (!exif.is_none()) meta.boxes.push_back({{'E', 'x', 'i', 'f'}, exif_box_contents(exif)});
    if (!xmp.is_none()) meta.boxes.push_back({{'x', 'm', 'l', ' '}, box_payload(xmp, "xmp")});
    if (!jumbf.is_none()) meta.boxes.push_back({{'j', 'u', 'm', 'b'}, box_payload(jumbf, "jumbf")});
    meta.compress_boxes = truthy(compress);
    parse_durations(meta, duration);
    parse_loops(meta, loops);
    parse_timecodes(meta, timecodes);
}

FrameHeaderFields frame_header_fields(const EncodeMeta &meta, size_t index, bool is_last,
                                      nb::handle duration, nb::handle name, nb::handle timecode) {
    FrameHeaderFields f;
    const std::string frame = "frame " + std::to_string(index + 1);
    f.timecode = frame_timecode(meta, index, timecode, frame);
    if (meta.animation) {
        f.timed = true;
        f.duration = frame_duration(meta, index, duration);
        f.is_last = is_last;
    } else if (given(duration)) {
        raise_py(PyExc_ValueError, "duration needs animation=True (a still image has no timing)");
    }
    if (given(name)) f.name = frame_name_utf8(name);
    return f;
}

}  // namespace qmjxl
