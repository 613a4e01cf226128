// ssimulacra2(): two arrays checked and described to the core
// (jxlcore/ssimulacra2.h), which scores them without the interpreter lock.
#include "bind_common.h"
#include "jxlcore/ssimulacra2.h"

#include <string>

using namespace nb::literals;

namespace qmjxl {

namespace {

std::string shape_text(PyArrayObject *a) {
    nb::object shape = nb::steal(PyObject_GetAttrString(reinterpret_cast<PyObject *>(a), "shape"));
    if (!shape.is_valid()) throw_current();
    return nb::str(shape).c_str();
}

// `obj` as an aligned, native-order array of uint8, uint16 or float32
// (other float widths converted to float32), held by `keep`.
PyArrayObject *as_image_array(nb::handle obj, const char *which, nb::object &keep) {
    constexpr int flags = NPY_ARRAY_ALIGNED | NPY_ARRAY_NOTSWAPPED | NPY_ARRAY_FORCECAST;
    nb::object arr = nb::steal(PyArray_FROM_OF(obj.ptr(), 0));
    if (!arr.is_valid()) throw_current();
    auto *a = reinterpret_cast<PyArrayObject *>(arr.ptr());
    int type = PyArray_TYPE(a);
    if (type == NPY_FLOAT16 || type == NPY_FLOAT64) type = NPY_FLOAT32;
    if (type != NPY_UINT8 && type != NPY_UINT16 && type != NPY_FLOAT32) {
        nb::object dt = nb::steal(PyObject_GetAttrString(arr.ptr(), "dtype"));
        if (!dt.is_valid()) throw_current();
        raise_py(PyExc_ValueError, std::string("ssimulacra2: ") + which + " has dtype " +
                                       nb::str(dt).c_str() + " (want uint8, uint16 or float32)");
    }
    keep = nb::steal(PyArray_FROM_OTF(arr.ptr(), type, flags));
    if (!keep.is_valid()) throw_current();
    return reinterpret_cast<PyArrayObject *>(keep.ptr());
}

MetricImage describe(PyArrayObject *a, bool linear) {
    MetricImage im;
    im.data = reinterpret_cast<const uint8_t *>(PyArray_BYTES(a));
    im.ysize = static_cast<size_t>(PyArray_DIMS(a)[0]);
    im.xsize = static_cast<size_t>(PyArray_DIMS(a)[1]);
    im.ystride = PyArray_STRIDES(a)[0];
    im.xstride = PyArray_STRIDES(a)[1];
    im.channels = PyArray_NDIM(a) == 3 ? static_cast<size_t>(PyArray_DIMS(a)[2]) : 1;
    im.cstride = PyArray_NDIM(a) == 3 ? PyArray_STRIDES(a)[2] : 0;
    const int type = PyArray_TYPE(a);
    im.sample = type == NPY_UINT8    ? MetricSample::kU8
                : type == NPY_UINT16 ? MetricSample::kU16
                                     : MetricSample::kF32;
    im.linear = linear;
    return im;
}

double py_ssimulacra2(nb::handle reference, nb::handle distorted, nb::handle linear,
                      nb::handle numthreads) {
    nb::object keep_ref, keep_dist;
    PyArrayObject *a = as_image_array(reference, "reference", keep_ref);
    PyArrayObject *b = as_image_array(distorted, "distorted", keep_dist);
    for (PyArrayObject *x : {a, b}) {
        const int nd = PyArray_NDIM(x);
        if (nd != 2 && !(nd == 3 && PyArray_DIMS(x)[2] >= 1 && PyArray_DIMS(x)[2] <= 4))
            raise_py(PyExc_ValueError,
                     std::string("ssimulacra2: ") + (x == a ? "reference" : "distorted") +
                         " must be shaped (Y, X) or (Y, X, C) with C of 1 to 4, not " +
                         shape_text(x));
    }
    if (!PyArray_SAMESHAPE(a, b))
        raise_py(PyExc_ValueError, "ssimulacra2: reference and distorted differ in shape: " +
                                       shape_text(a) + " and " + shape_text(b));
    const bool lin = truthy(linear);
    const MetricImage ra = describe(a, lin), rb = describe(b, lin);
    MetricOptions opt;
    opt.threads = resolve_numthreads(numthreads);
    opt.exact_threads = !numthreads.is_none();
    StatusOr<double> r = Status::Ok();
    {
        nb::gil_scoped_release unlocked;
        r = ssimulacra2(ra, rb, opt);
    }
    return value_or_throw(std::move(r));
}

}  // namespace

void register_metrics(nb::module_ &m) {
    m.def("_ssimulacra2", &py_ssimulacra2, "reference"_a.none(), "distorted"_a.none(),
          nb::kw_only(), "linear"_a.none() = false, "numthreads"_a.none() = nb::none(),
          nb::sig("def _ssimulacra2(reference: object, distorted: object, *, linear: bool = False, "
                  "numthreads: int | None = None) -> float"),
          "Internal: the SSIMULACRA 2 score (quillmarsh.metrics.ssimulacra2).");
}

#ifdef QM_TESTING_HOOKS
void add_metrics_testing_hooks(nb::module_ &t) {
    t.def("ssimulacra2_fused", &allow_fused_kernels, "allowed"_a,
          "Let ssimulacra2 use its AVX2/FMA build where the CPU has them (True, the default) "
          "or its portable build; returns whether the AVX2/FMA build now runs.");
}
#endif

}  // namespace qmjxl
