// _arrow_pixels: four-byte pixels exported through Arrow's C data interface,
// for the Pillow plugin's Image.fromarrow (its only user). Native rather than
// ctypes: a capsule's destructor may run while an exception is set (a C
// caller cleaning up after a failure), and a Python callback there loses that
// exception and the release; these callbacks run no Python code.
#include "bind_common.h"

#include <cstring>

using namespace nb::literals;

namespace qmjxl {

// Arrow's C data interface (its ABI, as Arrow publishes it).
struct ArrowSchema {
    const char *format;
    const char *name;
    const char *metadata;
    int64_t flags;
    int64_t n_children;
    ArrowSchema **children;
    ArrowSchema *dictionary;
    void (*release)(ArrowSchema *);
    void *private_data;
};
struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void **buffers;
    ArrowArray **children;
    ArrowArray *dictionary;
    void (*release)(ArrowArray *);
    void *private_data;
};

namespace {

// What the exported schema and array point into, freed by their release.
struct ArrowPixelsSchema {
    ArrowSchema child;  // uint8
    ArrowSchema *children[1];
};
struct ArrowPixels {
    const void *list_buffers[1];  // no validity bitmap
    const void *byte_buffers[2];  // no validity bitmap, the samples
    ArrowArray child;
    ArrowArray *children[1];
    PyObject *owner;
};

void release_child_schema(ArrowSchema *s) { s->release = nullptr; }
void release_child_array(ArrowArray *a) { a->release = nullptr; }

void release_arrow_schema(ArrowSchema *s) {
    delete static_cast<ArrowPixelsSchema *>(s->private_data);
    s->release = nullptr;
}

void release_arrow_array(ArrowArray *a) {
    auto *p = static_cast<ArrowPixels *>(a->private_data);
    {
        // Consumers may release from any thread.
        PyGILState_STATE st = PyGILState_Ensure();
        Py_XDECREF(p->owner);
        PyGILState_Release(st);
    }
    delete p;
    a->release = nullptr;
}

void arrow_schema_capsule_free(PyObject *cap) {
    auto *s = static_cast<ArrowSchema *>(PyCapsule_GetPointer(cap, "arrow_schema"));
    if (s && s->release) s->release(s);
    delete s;
}

void arrow_array_capsule_free(PyObject *cap) {
    auto *a = static_cast<ArrowArray *>(PyCapsule_GetPointer(cap, "arrow_array"));
    if (a && a->release) a->release(a);
    delete a;
}

// A C-contiguous (Y, X, 4) uint8 array as Arrow's Y * X fixed-size lists of
// four uint8: the four-byte pixels Pillow keeps RGB, RGBX and RGBA images in,
// so that Image.fromarrow shares the array's memory instead of unpacking it.
// The array stays alive until the consumer releases it.
nb::object arrow_pixels(nb::handle arr) {
    Py_buffer view;
    if (PyObject_GetBuffer(arr.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_ND) != 0)
        throw nb::python_error();
    const bool ok = view.ndim == 3 && view.shape[2] == 4 && view.itemsize == 1 &&
                    view.format && std::strcmp(view.format, "B") == 0;
    const int64_t length = ok ? static_cast<int64_t>(view.shape[0]) * view.shape[1] : 0;
    void *data = view.buf;
    PyBuffer_Release(&view);
    if (!ok)
        raise_py(PyExc_ValueError, "jxl: arrow pixels need a C-contiguous (Y, X, 4) uint8 array");

    auto *ps = new ArrowPixelsSchema{};
    ps->child = ArrowSchema{"C", "", nullptr, 0, 0, nullptr, nullptr, release_child_schema,
                            nullptr};
    ps->children[0] = &ps->child;
    auto *schema = new ArrowSchema{"+w:4", "", nullptr, 0, 1, ps->children, nullptr,
                                   release_arrow_schema, ps};
    nb::object schema_cap =
        nb::steal(PyCapsule_New(schema, "arrow_schema", arrow_schema_capsule_free));
    if (!schema_cap) {
        release_arrow_schema(schema);
        delete schema;
        throw nb::python_error();
    }
    auto *p = new ArrowPixels{};
    p->byte_buffers[1] = data;
    p->child = ArrowArray{length * 4, 0, 0, 2, 0, p->byte_buffers, nullptr, nullptr,
                          release_child_array, nullptr};
    p->children[0] = &p->child;
    p->owner = arr.ptr();
    Py_INCREF(p->owner);
    auto *array = new ArrowArray{length, 0, 0, 1, 1, p->list_buffers, p->children, nullptr,
                                 release_arrow_array, p};
    nb::object array_cap = nb::steal(PyCapsule_New(array, "arrow_array", arrow_array_capsule_free));
    if (!array_cap) {
        release_arrow_array(array);
        delete array;
        throw nb::python_error();
    }
    return nb::make_tuple(schema_cap, array_cap);
}

}  // namespace

void register_arrow(nb::module_ &m) {
    // Internal: (schema, array) capsules sharing a (Y, X, 4) uint8 array, for
    // the Pillow plugin's Image.fromarrow.
    m.def("_arrow_pixels", &arrow_pixels, "arr"_a);
}

}  // namespace qmjxl
