// The submodule _jxl._testing: hooks for the test suite and the benchmarks,
// built only with the CMake option QM_TESTING_HOOKS (the set-up's install and
// the in-place development build; release wheels leave it out). It lives in
// the extension itself because the core is a static library: a separately
// linked module would get its own runner pool and writer settings.
#ifdef QM_TESTING_HOOKS

#include "bind_common.h"
#include "jxlcore/buffer_cache.h"
#include "jxlcore/runner.h"
#include "jxlcore/verify.h"

using namespace nb::literals;

namespace qmjxl {

namespace {

// The sample type, frame shape and output format the decoder derives from a
// hand-made basic information record: the layouts and widths no available
// stream exhibits.
nb::tuple describe_basic_info(uint32_t num_color_channels, uint32_t num_extra_channels,
                              uint32_t alpha_bits, uint32_t bits_per_sample,
                              uint32_t exponent_bits_per_sample, uint32_t xsize, uint32_t ysize) {
    JxlBasicInfo info{};
    info.num_color_channels = num_color_channels;
    info.num_extra_channels = num_extra_channels;
    info.alpha_bits = alpha_bits;
    info.bits_per_sample = bits_per_sample;
    info.exponent_bits_per_sample = exponent_bits_per_sample;
    info.xsize = xsize;
    info.ysize = ysize;
    auto [shape, samples] = shape_from_basic_info(info);
    PyObject *dtype = basic_info_to_dtype(info);
    JxlPixelFormat pf{};
    JxlBitDepth bd{};
    uint64_t nbytes = value_or_throw(configure_pixel_format(info, samples, &pf, &bd));
    return nb::make_tuple(nb::borrow(dtype), shape, samples, nbytes, static_cast<int>(pf.data_type),
                          static_cast<int>(bd.type), bd.bits_per_sample,
                          bd.exponent_bits_per_sample);
}

}  // namespace

void register_testing(nb::module_ &m) {
    nb::module_ t = m.def_submodule(
        "_testing", "Hooks for quillmarsh's tests and benchmarks (absent from release builds).");
    t.def("describe_basic_info", &describe_basic_info, "num_color_channels"_a,
          "num_extra_channels"_a, "alpha_bits"_a, "bits_per_sample"_a,
          "exponent_bits_per_sample"_a, "xsize"_a = 1, "ysize"_a = 1,
          "(dtype, shape, samples, nbytes, data_type, bit_depth_type, bits, exponent_bits)");
    t.def("runner_pool", [](bool enabled) { return set_runner_pool(enabled); }, "enabled"_a,
          "Switch the shared worker pool on or off (off: each call starts its own runner); "
          "returns the previous setting.");
    t.def("buffer_cache", [](bool enabled) { return set_buffer_cache(enabled); }, "enabled"_a,
          "Switch the keeping of libjxl's freed large buffers between calls on or off (off: "
          "the idle ones are released); returns the previous setting.");
    t.def("buffer_cache_idle_bytes", &buffer_cache_idle_bytes,
          "Bytes of freed libjxl buffers the cache holds now.");
    t.def("fast_lossless_sound", &fast_lossless_sound, nb::call_guard<nb::gil_scoped_release>(),
          "Whether the loaded libjxl's effort-1 lossless coder passed the probe.");
    add_writer_testing_hooks(t);
    add_metrics_testing_hooks(t);
}

}  // namespace qmjxl

#endif  // QM_TESTING_HOOKS
