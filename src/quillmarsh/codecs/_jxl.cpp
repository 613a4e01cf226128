// quillmarsh.codecs._jxl: the module. Import-time set-up, libjxl's status
// tables and the reporting of failed libjxl calls through them, the two
// probes libjxl_version/check_signature, and the registration of the rest.
#define QM_IMPORT_NUMPY
#include "bind_options.h"
#include "bind_meta.h"

#include <nanobind/stl/string.h>

#include <stdexcept>
#include <string>

using namespace nb::literals;

namespace qmjxl {

// ---- errors ----------------------------------------------------------------

// Looks `key` up in the module-level table `table` (by name at each use, so
// the tables stay ordinary module dicts); "unknown N" when absent.
static std::string status_name(const char *table, long long key) {
    PyObject *dict = g.module_dict ? PyDict_GetItemString(g.module_dict, table) : nullptr;
    if (dict && PyDict_Check(dict)) {
        PyObject *k = PyLong_FromLongLong(key);
        if (!k) throw_current();
        PyObject *v = PyDict_GetItemWithError(dict, k);
        Py_DECREF(k);
        if (v && PyUnicode_Check(v)) {
            const char *s = PyUnicode_AsUTF8(v);
            if (!s) throw_current();
            return s;
        }
        if (PyErr_Occurred()) throw_current();
    }
    return "unknown " + std::to_string(key);
}

void raise_dec(const char *func, long long status) {
    std::string name = status_name("_DEC_STATUS_NAMES", status);
    raise_jxl(std::string(func ? func : "None") + " returned " + name);
}

void raise_enc(const char *func, long long status, long long err_code) {
    std::string msg = std::string(func ? func : "None") + " returned " +
                      status_name("_ENC_STATUS_NAMES", status);
    if (err_code >= 0) msg += " (" + status_name("_ENC_ERR_NAMES", err_code) + ")";
    raise_jxl(msg);
}

}  // namespace qmjxl

using namespace qmjxl;

static std::string libjxl_version() {
    const uint32_t v = JxlDecoderVersion();
    return std::to_string(v / 1000000) + "." + std::to_string((v / 1000) % 1000) + "." +
           std::to_string(v % 1000);
}

static bool check_signature(nb::handle data) {
    ByteView view;
    view.acquire(data.ptr());
    return signature_ok(view.data(), view.size());
}

static nb::dict make_table(std::initializer_list<std::pair<int, const char *>> items) {
    nb::dict d;
    for (auto &kv : items) d[nb::int_(kv.first)] = nb::str(kv.second);
    return d;
}

static std::string text_of(nb::handle func) {
    return func.is_none() ? std::string("None") : nb::cast<std::string>(nb::str(func));
}

// libjxl's status and error codes by number, for the error messages.
static void add_status_tables(nb::module_ &m) {
    m.attr("_DEC_STATUS_NAMES") = make_table({
        {0, "JXL_DEC_SUCCESS"},
        {1, "JXL_DEC_ERROR"},
        {2, "JXL_DEC_NEED_MORE_INPUT"},
        {3, "JXL_DEC_NEED_PREVIEW_OUT_BUFFER"},
        {5, "JXL_DEC_NEED_IMAGE_OUT_BUFFER"},
        {6, "JXL_DEC_JPEG_NEED_MORE_OUTPUT"},
        {64, "JXL_DEC_BASIC_INFO"},
        {256, "JXL_DEC_COLOR_ENCODING"},
        {512, "JXL_DEC_PREVIEW_IMAGE"},
        {1024, "JXL_DEC_FRAME"},
        {4096, "JXL_DEC_FULL_IMAGE"},
        {8192, "JXL_DEC_JPEG_RECONSTRUCTION"},
        {16384, "JXL_DEC_BOX"},
        {32768, "JXL_DEC_FRAME_PROGRESSION"},
        {65536, "JXL_DEC_BOX_COMPLETE"},
    });
    m.attr("_ENC_STATUS_NAMES") = make_table({
        {0, "JXL_ENC_SUCCESS"},
        {1, "JXL_ENC_ERROR"},
        {2, "JXL_ENC_NEED_MORE_OUTPUT"},
    });
    m.attr("_ENC_ERR_NAMES") = make_table({
        {0, "JXL_ENC_ERR_OK"},
        {1, "JXL_ENC_ERR_GENERIC"},
        {2, "JXL_ENC_ERR_OOM"},
        {3, "JXL_ENC_ERR_JBRD"},
        {4, "JXL_ENC_ERR_BAD_INPUT"},
        {128, "JXL_ENC_ERR_NOT_SUPPORTED"},
        {129, "JXL_ENC_ERR_API_USAGE"},
    });
}

// The process-wide references the bindings use (one interpreter per process).
static void fill_module_state(nb::module_ &m, nb::handle jxl_error, nb::handle os, nb::handle np) {
    g.module_dict = PyModule_GetDict(m.ptr());
    Py_INCREF(g.module_dict);
    g.jxl_error = nb::borrow(jxl_error).release().ptr();
    g.np = nb::borrow(np).release().ptr();
    g.os_pathlike = os.attr("PathLike").inc_ref().ptr();
    g.t_uint8 = np.attr("uint8").inc_ref().ptr();
    g.t_uint16 = np.attr("uint16").inc_ref().ptr();
    g.t_float16 = np.attr("float16").inc_ref().ptr();
    g.t_float32 = np.attr("float32").inc_ref().ptr();
}

// The public callables as plain functions (see expose_forwarder).
static void expose_forwarders(nb::module_ &m) {
    for (const char *name : {"libjxl_version", "check_signature", "decode", "encode", "frame_count",
                             "thumbnail_bytes", "preview_bytes_needed", "frames_info",
                             "transcode_jpeg", "reconstruct_jpeg"})
        if (nb::hasattr(m, name)) expose_forwarder(m, name, name);
    nb::object reader = m.attr("JxlReader"), writer = m.attr("JxlWriter");
    for (const char *name : {"iter_frames", "read", "read_into", "close", "_iter_frames_progressive"})
        expose_forwarder(reader, name, std::string("JxlReader.") + name);
    for (const char *name : {"write_frame", "write_jpeg", "close"})
        expose_forwarder(writer, name, std::string("JxlWriter.") + name);
}

NB_MODULE(_jxl, m) {
    // One interpreter per process, executed once: the module keeps process-wide
    // references (ModuleState) that a second execution would overwrite.
    static PyInterpreterState *first_interp = nullptr;
    static bool executed = false;
    PyInterpreterState *interp = PyInterpreterState_Get();
    if (first_interp && first_interp != interp)
        throw std::runtime_error(
            "Interpreter change detected - this module can only be loaded into one interpreter "
            "per process.");
    if (executed) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Module '_jxl' has already been imported. Re-initialisation is not "
                        "supported.");
        throw nb::python_error();
    }
    first_interp = interp;

    m.doc() =
        "Streaming JPEG XL codec for quillmarsh.\n\n"
        "Reads and writes JPEG XL straight into and out of NumPy arrays through libjxl,\n"
        "with the interpreter lock released while libjxl works.\n\n"
        "JxlReader / decode      decode frames (whole, by index, streamed, downsampled)\n"
        "JxlWriter / encode      encode stills and animations\n"
        "frame_count             count frames without decoding pixels\n"
        "thumbnail_bytes         measure the progressive DC prefix\n"
        "preview_bytes_needed    the prefix a downsampled preview reads\n"
        "check_signature         cheap signature test\n"
        "libjxl_version          version of the libjxl in use\n";

    m.attr("io") = nb::module_::import_("io");
    nb::module_ os = nb::module_::import_("os");
    m.attr("os") = os;
    nb::module_ np = nb::module_::import_("numpy");
    m.attr("np") = np;

    if (_import_array() < 0) {
        PyErr_Clear();
        throw std::runtime_error("numpy._core.multiarray failed to import");
    }

    add_status_tables(m);
    m.attr("_OPTIONS") = nb::dict();  // each class's option table, filled at registration

    nb::object jxl_error = nb::module_::import_("quillmarsh.core.errors").attr("JxlError");
    m.attr("JxlError") = jxl_error;

    fill_module_state(m, jxl_error, os, np);

    m.def("libjxl_version", &libjxl_version);
    m.def("check_signature", &check_signature, "data"_a.none(),
          nb::sig("def check_signature(data: object) -> bool"),
          "Return True if `data` looks like a JPEG XL stream.\n\n"
          "`data` is any one-dimensional contiguous byte buffer (bytes, bytearray,\n"
          "memoryview, uint8 array) or None. Only the first 16 bytes are examined.");

    // Internal: the error-reporting path, reachable for tests.
    m.def(
        "_raise_dec",
        [](nb::handle func, long long status) { raise_dec(text_of(func).c_str(), status); },
        "func"_a.none(), "status"_a);
    m.def(
        "_raise_enc",
        [](nb::handle func, long long status, long long err_code) {
            raise_enc(text_of(func).c_str(), status, err_code);
        },
        "func"_a.none(), "status"_a, "err_code"_a = -1);

    register_reader(m);
    register_writer(m);
    register_decode_funcs(m);
    register_probes(m);
    register_meta(m);
    register_jpeg(m);
    register_arrow(m);
    register_metrics(m);
#ifdef QM_TESTING_HOOKS
    register_testing(m);
#endif

    expose_forwarders(m);
    executed = true;
}
