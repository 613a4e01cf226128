// The frames of a JxlReader: the iterator behind iter_frames(), __iter__()
// and _iter_frames_progressive(), and read() / read_into(). The session
// decodes; this side allocates the arrays, feeds streamed input and hands the
// frames out.
#include "bind_reader.h"

#include <algorithm>
#include <string>

using namespace nb::literals;

namespace qmjxl {

namespace {

const char *const kClosedMsg = "JxlReader is closed";
const char *const kInputFailedMsg =
    "jxl: JxlReader cannot resume after its input failed part-way through a frame; "
    "open the stream again";

void *data_of(const nb::object &arr) {
    return arr.is_valid() ? PyArray_DATA(reinterpret_cast<PyArrayObject *>(arr.ptr())) : nullptr;
}

size_t nbytes_of(const nb::object &arr) {
    return static_cast<size_t>(PyArray_NBYTES(reinterpret_cast<PyArrayObject *>(arr.ptr())));
}

// A new array for a whole frame, within the byte budget.
nb::object new_frame(const JxlReader &r) {
    ok_or_throw(check_max_bytes(r.session_.layout().frame_bytes, r.options().max_bytes,
                                "decoding a frame"));
    return empty_frame(nb::borrow<nb::tuple>(r.facts_.frame_shape),
                       npy_type_of(r.session_.layout().format.data_type));
}

// A new array for a layer of (ysize, xsize) pixels reduced by `n`, within the
// byte budget.
nb::object new_layer(const JxlReader &r, uint64_t ysize, uint64_t xsize, size_t n = 1) {
    const JxlPixelFormat &pf = r.session_.layout().format;
    ysize = (ysize + n - 1) / n;
    xsize = (xsize + n - 1) / n;
    ok_or_throw(check_max_bytes(value_or_throw(frame_bytes(xsize, ysize, pf)),
                                r.options().max_bytes, "decoding a frame"));
    nb::tuple full = nb::borrow<nb::tuple>(r.facts_.frame_shape);
    nb::tuple shape = nb::len(full) == 2 ? nb::make_tuple(ysize, xsize)
                                         : nb::make_tuple(ysize, xsize, full[2]);
    return empty_frame(shape, npy_type_of(pf.data_type));
}

// The array a frame of `job` is decoded into, once its size is known.
nb::object new_array(const JxlReader &r, const FrameJob &job) {
    if (job.sink.reduced) return new_layer(r, job.ysize, job.xsize, job.downsample);
    return r.options().coalesce ? new_frame(r) : new_layer(r, job.ysize, job.xsize);
}

}  // namespace

// Checks happen when the iterator is advanced; a closed reader is refused on
// every resume, so a released decoder never reaches libjxl.
struct FrameIterator {
    nb::object reader_obj;  // strong reference to the JxlReader
    bool progressive = false;
    bool started = false;
    bool finished = false;
    nb::object delegate;  // the progressive iterator iter_frames() hands over to
    size_t dn = 1;
    nb::object frame;  // the array being decoded
    // read() of an animation: frames are decoded straight into the slices of
    // one preallocated (T, ...) array instead of being stacked afterwards.
    nb::object stack;
    size_t stack_len = 0, stack_pos = 0;
    // The caller's memory: `stack` came from read_into() (a frame past its end
    // is an error, not a new array), or every frame goes into `out_frame`.
    bool caller_stack = false;
    nb::object out_frame;
    // Reduced frames sampled from a full-size buffer, as assembled frames
    // are (a check of the sink against it).
    bool full_buffer = false;
    // read() of a still image in memory: every frame is taken, so what
    // follows a frame is asked along with it.
    bool peek_end = false;

    // Where the next frame goes, or null for a new array.
    nb::object dest_slot() {
        if (stack.is_valid()) {
            if (stack_pos >= stack_len) return {};
            PyObject *slot = PySequence_GetItem(stack.ptr(), static_cast<Py_ssize_t>(stack_pos));
            if (!slot) throw_current();
            return nb::steal(slot);  // C-contiguous view of one frame
        }
        return out_frame;
    }

    // A decoded frame `res` handed out: copied into `dest` unless libjxl
    // wrote it there already (`direct`).
    nb::object deliver(nb::object res, const nb::object &dest, bool direct) {
        if (caller_stack && !dest.is_valid())
            raise_py(PyExc_ValueError, "jxl: the stream has more frames than out holds (" +
                                           std::to_string(stack_len) + ")");
        if (!dest.is_valid()) return res;
        // A layer of its own size (coalesce=False), or a coarser rendering.
        if (!direct) {
            auto *a = reinterpret_cast<PyArrayObject *>(res.ptr());
            auto *b = reinterpret_cast<PyArrayObject *>(dest.ptr());
            const size_t na = static_cast<size_t>(PyArray_NDIM(a));
            const size_t nb_ = static_cast<size_t>(PyArray_NDIM(b));
            if (na != nb_ || !std::equal(PyArray_DIMS(a), PyArray_DIMS(a) + na, PyArray_DIMS(b)))
                raise_py(PyExc_ValueError,
                         "jxl: a frame of shape " + shape_text(PyArray_DIMS(a), na) +
                             " does not fit out's " + shape_text(PyArray_DIMS(b), nb_) +
                             "; iterate over iter_frames() without out to get each one");
            nb::handle(g.np).attr("copyto")(dest, res);
        }
        if (stack.is_valid()) ++stack_pos;
        return dest;
    }

    // A failed refill leaves libjxl mid-frame: no later step may resume it.
    static void refill(JxlReader &r) {
        try {
            r.refill_input();
        } catch (...) {
            r.session_.mark_input_failed();
            throw;
        }
    }

    // The end of the frames: a null object (raised as StopIteration by
    // __next__ only; read() ends its loop without an exception).
    nb::object stop() {
        finished = true;
        frame.reset();
        delegate.reset();
        return {};
    }

    nb::object next_delegated() {
        // Refused here, before the delegate is asked: its refusal would end
        // this iterator and drop the delegate while another thread runs it.
        nb::inst_ptr<JxlReader>(reader_obj)->check_not_busy();
        nb::object d = delegate;  // alive for the call, whatever close() does
        PyObject *item = PyIter_Next(d.ptr());
        if (item) return deliver(nb::steal(item), dest_slot(), false);
        if (PyErr_Occurred()) {
            finished = true;
            delegate.reset();
            throw_current();
        }
        return stop();
    }

    nb::object next() {
        if (finished || !reader_obj.is_valid()) return stop();
        if (delegate.is_valid()) return next_delegated();
        JxlReader &r = *nb::inst_ptr<JxlReader>(reader_obj);
        if (!r.is_open() || !r.facts_.frame_shape.is_valid()) {
            finished = true;
            frame.reset();
            raise_py(PyExc_RuntimeError, kClosedMsg);
        }
        r.check_not_busy();  // a refusal, not a failure: the iterator stays usable
        if (r.session_.input().failed) {
            finished = true;
            frame.reset();
            raise_py(PyExc_RuntimeError, kInputFailedMsg);
        }
        try {
            if (!started) {
                started = true;
                if (!progressive && r.options().downsample == 8) {
                    delegate = reader_obj.attr("_iter_frames_progressive")();
                    return next();
                }
                dn = r.options().downsample;
            }
            return step(r);
        } catch (...) {
            finished = true;
            frame.reset();
            throw;
        }
    }

    // What the session is asked to do for the next frame.
    FrameJob new_job(JxlReader &r) const {
        FrameJob job;
        job.progressive = progressive;
        job.to_end = peek_end;
        job.downsample = dn;
        job.sink.plan = r.session_.frame_plan();
        // A frame libjxl writes alone is reduced as it arrives; an assembled
        // one (extra channels, lcms2 colour) is decoded whole first.
        if (dn >= 2 && !job.sink.plan && !full_buffer) job.sink.reduced = r.session_.reduced_sink();
        return job;
    }

    void give_memory(JxlReader &r, FrameJob &job, const nb::object &arr) {
        frame = arr;
        r.session_.provide_memory(job, data_of(arr), nbytes_of(arr));
    }

    // A progression point of another ratio than 1:dn with nothing kept yet:
    // its rendering at that ratio. True when that is the frame.
    bool resample(JxlReader &r, FrameJob &job, nb::object &arr) {
        nb::object finer = new_layer(r, job.ysize, job.xsize, job.ratio);
        frame = finer;
        StatusOr<bool> done = false;
        {
            nb::gil_scoped_release unlocked;
            done = r.session_.flush_resampled(job, data_of(finer));
        }
        if (!value_or_throw(std::move(done))) return false;
        arr = finer;
        return true;
    }

    // Runs the session until the frame is done or the frames end, doing
    // what it asks for on the way: refills, the frame's array, resampling.
    FrameEvent run(JxlReader &r, FrameJob &job, nb::object &arr) {
        BusyGuard guard(r.busy_);
        for (;;) {
            StatusOr<FrameEvent> event = FrameEvent::kEnd;
            {
                nb::gil_scoped_release unlocked;
                event = r.session_.advance(job);
            }
            switch (value_or_throw(std::move(event))) {
                case FrameEvent::kNeedInput: refill(r); break;
                case FrameEvent::kNeedMemory:
                    arr = new_array(r, job);
                    give_memory(r, job, arr);
                    break;
                case FrameEvent::kResample:
                    if (resample(r, job, arr)) return FrameEvent::kFrame;
                    break;
                case FrameEvent::kFrame: return FrameEvent::kFrame;
                case FrameEvent::kEnd: return FrameEvent::kEnd;
            }
        }
    }

    // One frame: decoded whole (into the next slice of `stack` when read()
    // preallocated one) or, on the progressive path, up to its progression
    // point of at most `dn`; then reduced to the wanted size.
    nb::object step(JxlReader &r) {
        if (r.session_.exhausted()) return stop();
        // The local reference keeps the array libjxl writes into alive should
        // close() be called on this iterator from another thread meanwhile.
        const nb::object dest = progressive ? nb::object() : dest_slot();
        FrameJob job = new_job(r);
        // Frames of the destination's shape are decoded straight into it;
        // layers get an array of their own size once their header is known.
        const bool direct =
            dest.is_valid() && (dn == 1 || job.sink.reduced) && r.options().coalesce;
        r.session_.begin_frame(job);
        nb::object arr;
        if (direct)
            arr = dest;
        else if (!r.session_.progress().frame_events)
            arr = new_array(r, job);
        if (arr.is_valid()) give_memory(r, job, arr);
        const FrameEvent event = run(r, job, arr);
        frame.reset();
        if (event == FrameEvent::kEnd) return stop();
        if (!r.session_.has_decoder()) finished = true;  // released at the end of the stream
        const size_t ratio = progressive && job.ratio ? job.ratio : dn;
        nb::object res = ratio < 2 || job.sink.reduced
                             ? arr
                             : subsample_slice(arr, static_cast<Py_ssize_t>(ratio),
                                               r.options().subsample);
        return deliver(res, dest, direct);
    }

    void close() {
        finished = true;
        frame.reset();
        delegate.reset();
    }

    std::array<nb::object *, 5> gc_refs() {
        return {&reader_obj, &delegate, &frame, &stack, &out_frame};
    }
};

namespace {

using IterGc = GcSlots<FrameIterator>;

nb::object make_iterator(nb::handle reader, bool progressive) {
    FrameIterator it;
    it.reader_obj = nb::borrow(reader);
    it.progressive = progressive;
    return nb::cast(std::move(it));
}

// The shape of one delivered frame: the header's, reduced by `downsample`.
std::vector<npy_intp> delivered_frame_shape(const JxlReader &r) {
    std::vector<npy_intp> shape;
    for (nb::handle d : nb::borrow<nb::tuple>(r.facts_.frame_shape))
        shape.push_back(nb::cast<npy_intp>(d));
    const auto n = static_cast<npy_intp>(r.options().downsample);
    shape[0] = (shape[0] + n - 1) / n;
    shape[1] = (shape[1] + n - 1) / n;
    return shape;
}

int frame_npy_type(const JxlReader &r) { return npy_type_of(r.session_.layout().format.data_type); }

// Refuses, before anything is decoded, an `out` that frames cannot be
// written into as they are: wrong shape or dtype, strided, or read-only.
void check_out(nb::handle out, const std::vector<npy_intp> &shape, int npy_type) {
    if (!PyArray_Check(out.ptr()))
        raise_py(PyExc_TypeError, std::string("jxl: out must be a numpy.ndarray (got ") +
                                      Py_TYPE(out.ptr())->tp_name + ")");
    auto *a = reinterpret_cast<PyArrayObject *>(out.ptr());
    const size_t nd = static_cast<size_t>(PyArray_NDIM(a));
    const bool shape_ok =
        nd == shape.size() && std::equal(shape.begin(), shape.end(), PyArray_DIMS(a));
    const bool type_ok = PyArray_TYPE(a) == npy_type && PyArray_ISNOTSWAPPED(a);
    const bool contiguous = PyArray_IS_C_CONTIGUOUS(a);
    const bool writeable = PyArray_ISWRITEABLE(a);
    if (shape_ok && type_ok && contiguous && writeable) return;
    nb::object want_dtype = nb::steal(reinterpret_cast<PyObject *>(PyArray_DescrFromType(npy_type)));
    std::string got = "shape " + shape_text(PyArray_DIMS(a), nd) + ", dtype " +
                      std::string(nb::str(nb::handle(reinterpret_cast<PyObject *>(PyArray_DESCR(a)))).c_str());
    if (!contiguous) got += ", not C-contiguous";
    if (!writeable) got += ", read-only";
    raise_py(PyExc_ValueError, "jxl: out must be a writeable C-contiguous array of shape " +
                                   shape_text(shape.data(), shape.size()) + " and dtype " +
                                   nb::str(want_dtype).c_str() + " (got " + got + ")");
}

// read() of a counted animation: one (T, ...) array the frames are decoded
// into, within the byte budget.
void preallocate_stack(JxlReader &r, FrameIterator &fi, size_t count) {
    const uint64_t frame_bytes = r.session_.layout().frame_bytes;
    const uint64_t total = value_or_throw(checked_mul(count, frame_bytes, "the animation size"));
    ok_or_throw(check_max_bytes(total, r.options().max_bytes,
                                "decoding " + std::to_string(count) + " frames of " +
                                    std::to_string(frame_bytes) + " bytes"));
    nb::tuple shape = nb::borrow<nb::tuple>(r.facts_.frame_shape);
    npy_intp dims[4] = {static_cast<npy_intp>(count), 0, 0, 0};
    const int nd = static_cast<int>(nb::len(shape));
    for (int i = 0; i < nd; ++i) dims[i + 1] = nb::cast<npy_intp>(shape[i]);
    PyObject *a = PyArray_EMPTY(nd + 1, dims, frame_npy_type(r), 0);
    if (!a) throw_current();
    fi.stack = nb::steal(a);
    fi.stack_len = count;
}

// The frames as read() returns them: one, or stacked on a new axis.
nb::object stack_frames(const nb::list &frames) {
    const size_t n = nb::len(frames);
    if (n == 1) return frames[0];
    nb::object first_shape = frames[0].attr("shape");
    for (size_t i = 1; i < n; ++i)
        if (!first_shape.equal(frames[i].attr("shape")))
            raise_py(PyExc_ValueError,
                     "jxl: the layers differ in size and cannot be stacked; iterate over "
                     "iter_frames() to get each one");
    return nb::handle(g.np).attr("stack")(frames, "axis"_a = 0);
}

}  // namespace

// read(): every frame left, stacked. An animation in memory has its frames
// counted first (a bitstream parse, well under a millisecond) and decoded
// into one preallocated stack, saving the stack's copy and half the peak
// memory; any surprise falls back to stacking what was decoded.
nb::object grid_box(const JxlReader &r) {
    const ByteView &v = r.source_.view;
    if (!v.data()) return nb::object();  // streamed
    const auto [payload, size] = find_box(v.data(), v.size(), "qmqg");
    if (!payload) return nb::object();
    return nb::bytes(payload, size);
}

nb::object restore_grid(const nb::object &payload, const nb::object &indices) {
    if (!payload.is_valid()) return indices;
    return nb::module_::import_("quillmarsh.core.bounded").attr("restore_stream")(indices,
                                                                                    payload);
}

// read() before the grid: every frame, stacked.
static nb::object read_frames(nb::handle self) {
    nb::object it = self.attr("iter_frames")();
    JxlReader &r = nb::cast<JxlReader &>(self);
    // The reader and its iterator are read and advanced here directly.
    nb::ft_object2_guard lock(self, it);
    const size_t done_before = r.session_.progress().frames_done;
    FrameIterator *fi = nullptr;
    if (nb::isinstance<FrameIterator>(it) && r.is_open() && !r.busy_) {
        fi = &nb::cast<FrameIterator &>(it);
        const size_t left = r.session_.frames_left(false);
        if (left >= 2 && !fi->started) preallocate_stack(r, *fi, left);
        if (!fi->started && !r.session_.input().streamed() && !r.session_.progress().frame_events &&
            !r.basic_info().have_animation)
            fi->peek_end = true;
    }
    nb::object stack = fi ? fi->stack : nb::object();
    // Frames of an unknown count are kept in a list and then stacked: their
    // total is held to the budget as they come.
    nb::list frames;
    uint64_t total = 0;
    for (;;) {
        // Our own iterator is advanced directly: its end costs no exception.
        nb::object f;
        if (fi) {
            f = fi->next();
        } else if (PyObject *item = PyIter_Next(it.ptr())) {
            f = nb::steal(item);
        } else if (PyErr_Occurred()) {
            throw_current();
        }
        if (!f.is_valid()) break;
        if (!stack.is_valid()) {
            total += nbytes_of(f);
            if (nb::len(frames) > 0)
                ok_or_throw(check_max_bytes(total, r.options().max_bytes,
                                            "decoding " + std::to_string(nb::len(frames) + 1) +
                                                " frames"));
        }
        frames.append(f);
    }
    const size_t n = nb::len(frames);
    if (n == 0) {
        if (done_before > 0) raise_py(PyExc_RuntimeError, "jxl: all frames have been read");
        raise_jxl("jxl: no frames in stream");
    }
    if (stack.is_valid() && n == fi->stack_len && fi->stack_pos == fi->stack_len) return stack;
    return stack_frames(frames);
}

nb::object reader_read(nb::handle self) {
    JxlReader &r = nb::cast<JxlReader &>(self);
    const nb::object grid = grid_box(r);
    if (grid.is_valid()) return restore_grid(grid, read_frames(self));
    return read_frames(self);
}

namespace {

// How read_into() lays the frames into `out`.
struct OutPlan {
    std::vector<npy_intp> shape;  // what out must be
    size_t count = 1;             // frames out takes
    bool stacked = false;         // out has a leading frame axis
    bool checked_as_they_come = false;  // the count is out's, checked frame by frame
};

OutPlan plan_out(JxlReader &r, nb::handle out) {
    OutPlan p;
    p.shape = delivered_frame_shape(r);
    // An animation (or a still image's layers, with coalesce=False) not
    // counted ahead (streamed, or one whose count could not be parsed: a
    // damaged or cut stream) takes out's length as the count, one frame for
    // a frame-shaped out, and is checked as frames arrive: a frame past it or
    // a decoding error is not reported as success.
    const bool several = r.basic_info().have_animation != 0 || !r.options().coalesce;
    p.count = several ? r.session_.frames_left(true) : 1;
    const bool uncounted = several && p.count == 0 && !r.session_.exhausted();
    if (!r.basic_info().have_animation && p.count == 0) p.count = 1;  // a still's only layer
    auto *arr = reinterpret_cast<PyArrayObject *>(out.ptr());
    const bool with_t = PyArray_Check(out.ptr()) &&
                        PyArray_NDIM(arr) == static_cast<int>(p.shape.size()) + 1;
    const size_t out_t = with_t ? static_cast<size_t>(PyArray_DIM(arr, 0)) : 1;
    p.stacked = p.count >= 2;
    // Cut short, an animation's last frame may have nothing to show, and
    // decode(allow_partial=True) then ends before it: an out sized for the
    // frames before it is taken too (and checked as frames arrive).
    const bool one_short = r.options().allow_partial && p.count >= 2 && out_t == p.count - 1 &&
                           (with_t || p.count == 2);
    if (uncounted || one_short) {
        p.count = out_t;
        p.stacked = with_t;
        p.checked_as_they_come = true;
    }
    if (p.stacked) p.shape.insert(p.shape.begin(), static_cast<npy_intp>(p.count));
    return p;
}

// Points the iterator at `out`: a stack of frames (a frame-shaped out as a
// stack of one when the frames are checked as they come), or one frame.
void attach_out(FrameIterator &fi, nb::handle out, OutPlan &p) {
    if (!p.stacked && !p.checked_as_they_come) {
        fi.out_frame = nb::borrow(out);
        return;
    }
    std::vector<npy_intp> dims(p.shape);
    if (!p.stacked) dims.insert(dims.begin(), 1);
    PyArray_Dims pd{dims.data(), static_cast<int>(dims.size())};
    PyObject *view = PyArray_Newshape(reinterpret_cast<PyArrayObject *>(out.ptr()), &pd, NPY_CORDER);
    if (!view) throw_current();
    fi.stack = nb::steal(view);
    fi.stack_len = p.count;
    fi.caller_stack = true;
    p.stacked = true;
}

// A stack of `n` frames where out holds p.count: the cut stream's or the
// stream's own count named.
[[noreturn]] void refuse_count(const JxlReader &r, const OutPlan &p, size_t n) {
    // allow_partial=True: the frames a cut stream gives are what out holds.
    if (r.session_.truncated()) {
        std::vector<npy_intp> want = delivered_frame_shape(r);
        if (n >= 2) want.insert(want.begin(), static_cast<npy_intp>(n));
        raise_py(PyExc_ValueError, "jxl: the stream is cut short after " + std::to_string(n) +
                                       (n == 1 ? " frame" : " frames") + " but out holds " +
                                       std::to_string(p.count) + "; pass out of shape " +
                                       shape_text(want.data(), want.size()));
    }
    raise_jxl("jxl: the stream has " + std::to_string(n) + " frames but out holds " +
              std::to_string(p.count));
}

}  // namespace

// read() into the caller's array: the frames left, stacked when there are
// several (as read() returns them), each written in place.
nb::object reader_read_into(nb::handle self, nb::handle out) {
    JxlReader &r = nb::cast<JxlReader &>(self);
    OutPlan p;
    int npy_type;
    {
        nb::ft_object_guard lock(self);
        r.check_open();
        r.check_not_busy();
        if (grid_box(r).is_valid())
            raise_py(PyExc_ValueError,
                     "jxl: out= cannot take this stream's samples: they are stored as grid "
                     "indices (encode(max_error=...) of floats) and restored after decoding");
        p = plan_out(r, out);
        npy_type = frame_npy_type(r);
    }
    check_out(out, p.shape, npy_type);
    nb::object it = self.attr("iter_frames")();
    {
        nb::ft_object_guard lock(it);
        attach_out(nb::cast<FrameIterator &>(it), out, p);
    }
    // Each step takes the iterator's and the reader's locks in __next__.
    size_t n = 0;
    while (p.stacked || n < 1) {
        PyObject *item = PyIter_Next(it.ptr());
        if (!item) {
            if (PyErr_Occurred()) throw_current();
            break;
        }
        Py_DECREF(item);
        ++n;
    }
    if (n == 0) raise_jxl("jxl: no frames in stream");
    if (p.stacked && n != p.count) {
        nb::ft_object_guard lock(self);
        refuse_count(r, p, n);
    }
    return nb::borrow(out);
}

nb::object reader_iter_frames(nb::pointer_and_handle<JxlReader> self, nb::handle out) {
    nb::object it = make_iterator(self.h, false);
    if (!out.is_none()) {
        JxlReader &r = *self.p;
        r.check_open();
        check_out(out, delivered_frame_shape(r), frame_npy_type(r));
        nb::cast<FrameIterator &>(it).out_frame = nb::borrow(out);
    }
    return it;
}

nb::object reader_iter_progressive(nb::pointer_and_handle<JxlReader> self, bool full_buffer) {
    nb::object it = make_iterator(self.h, true);
    nb::cast<FrameIterator &>(it).full_buffer = full_buffer;
    return it;
}

// ---- helpers ----------------------------------------------------------------

std::string shape_text(const npy_intp *dims, size_t nd) {
    std::string t = "(";
    for (size_t i = 0; i < nd; ++i) t += (i ? ", " : "") + std::to_string(dims[i]);
    return t + (nd == 1 ? ",)" : ")");
}

nb::object subsample_slice(nb::handle arr, Py_ssize_t n, Subsample mode) {
    if (n < 1) raise_py(PyExc_ValueError, "jxl: n must be >= 1 (got " + std::to_string(n) + ")");
    nb::object shape = arr.attr("shape");
    const Py_ssize_t ndim = static_cast<Py_ssize_t>(nb::len(shape));
    if (ndim != 2 && ndim != 3)
        raise_py(PyExc_ValueError, "jxl: expected a 2-D or 3-D array (got " +
                                       std::to_string(ndim) + " dimensions)");
    const Py_ssize_t h = nb::cast<Py_ssize_t>(shape[0]);
    const Py_ssize_t w = nb::cast<Py_ssize_t>(shape[1]);
    Py_ssize_t y0 = 0, x0 = 0;
    if (mode == Subsample::kCenter) {
        const Py_ssize_t off = n / 2;
        // A frame no larger than n/2 along an axis has no centre sample there:
        // take its last row/column, the nearest one that exists.
        y0 = off < h ? off : std::max<Py_ssize_t>(h - 1, 0);
        x0 = off < w ? off : std::max<Py_ssize_t>(w - 1, 0);
    }
    nb::object step = nb::int_(n);
    nb::object ys = nb::steal(PySlice_New(nb::int_(y0).ptr(), Py_None, step.ptr()));
    nb::object xs = nb::steal(PySlice_New(nb::int_(x0).ptr(), Py_None, step.ptr()));
    if (!ys.is_valid() || !xs.is_valid()) throw_current();
    nb::object view = arr[nb::make_tuple(ys, xs)];
    nb::object out = view.attr("copy")();
    if (mode == Subsample::kTopLeft) return out;

    nb::object oshape = out.attr("shape");
    const Py_ssize_t hp = (h + n - 1) / n - nb::cast<Py_ssize_t>(oshape[0]);
    const Py_ssize_t wp = (w + n - 1) / n - nb::cast<Py_ssize_t>(oshape[1]);
    if (hp <= 0 && wp <= 0) return out;
    nb::object rows = nb::make_tuple(0, std::max<Py_ssize_t>(hp, 0));
    nb::object cols = nb::make_tuple(0, std::max<Py_ssize_t>(wp, 0));
    nb::object widths = ndim == 2 ? nb::object(nb::make_tuple(rows, cols))
                                  : nb::object(nb::make_tuple(rows, cols, nb::make_tuple(0, 0)));
    return nb::handle(g.np).attr("pad")(out, widths, "mode"_a = "edge");
}

void register_frame_iterator(nb::module_ &m) {
    nb::class_<FrameIterator>(m, "_FrameIterator", nb::type_slots(IterGc::slots),
                              "Iterator over the decoded frames of a JxlReader.")
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__",
             [](nb::handle self) {
                 FrameIterator &it = nb::cast<FrameIterator &>(self);
                 // A step reads and writes the reader's fields as well as its own.
                 nb::handle reader = it.reader_obj.is_valid() ? it.reader_obj : self;
                 nb::ft_object2_guard lock(self, reader);
                 nb::object f = it.next();
                 if (!f.is_valid()) throw nb::stop_iteration();
                 return f;
             })
        .def("close", [](FrameIterator &it) { it.close(); }, nb::lock_self(),
             "Stop the iteration; the reader stays open.");
}

}  // namespace qmjxl
