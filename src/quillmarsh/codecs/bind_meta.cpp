// The metadata probes and the Python form of box and frame-header scans.
#include "bind_meta.h"

using namespace nb::literals;

namespace qmjxl {

namespace {

nb::bytes to_bytes(const std::vector<uint8_t> &v) {
    return nb::bytes(reinterpret_cast<const char *>(v.data()), v.size());
}

nb::dict frame_dict(const JxlBasicInfo &info, const FrameRecord &f) {
    static const char *const kBlend[] = {"replace", "add", "blend", "muladd", "mul"};
    const JxlFrameHeader &h = f.header;
    const JxlAnimationHeader &a = info.animation;
    const bool timed = info.have_animation && a.tps_numerator != 0;
    nb::dict d;
    d["duration"] = timed ? double(h.duration) * a.tps_denominator / a.tps_numerator : 0.0;
    d["duration_ticks"] = h.duration;
    d["timecode"] =
        info.have_animation && a.have_timecodes ? nb::object(nb::int_(h.timecode)) : nb::none();
    PyObject *s = PyUnicode_DecodeUTF8(f.name.data(), static_cast<Py_ssize_t>(f.name.size()),
                                       "replace");
    if (!s) throw_current();
    d["name"] = nb::steal(s);
    d["is_last"] = h.is_last != 0;
    d["xsize"] = h.layer_info.xsize;
    d["ysize"] = h.layer_info.ysize;
    d["crop_x0"] = h.layer_info.crop_x0;
    d["crop_y0"] = h.layer_info.crop_y0;
    const unsigned bm = static_cast<unsigned>(h.layer_info.blend_info.blendmode);
    d["blend_mode"] = bm < 5 ? nb::object(nb::str(kBlend[bm])) : nb::object(nb::int_(bm));
    return d;
}

nb::list frames_info(nb::handle data, nb::handle coalesce) {
    const bool c = truthy(coalesce);
    ProbeInput in;
    in.open(data);
    return frame_dicts(in.run([c](ByteSource &src) { return scan_frame_headers(src, c); }));
}

nb::dict read_boxes(nb::handle data) {
    ProbeInput in;
    in.open(data);
    return boxes_to_dict(in.run(scan_boxes));
}

}  // namespace

nb::bytes exif_payload(const std::vector<uint8_t> &box) {
    const auto [start, size] = value_or_throw(exif_tiff_range(box));
    return nb::bytes(reinterpret_cast<const char *>(box.data() + start), size);
}

nb::dict boxes_to_dict(const BoxScan &scan) {
    nb::dict d;
    d["exif"] = scan.have_exif ? nb::object(exif_payload(scan.exif_box)) : nb::none();
    d["xmp"] = scan.have_xmp ? nb::object(to_bytes(scan.xmp)) : nb::none();
    d["jumbf"] = scan.have_jumbf ? nb::object(to_bytes(scan.jumbf)) : nb::none();
    d["boxes"] = box_list(scan);
    return d;
}

nb::list box_list(const BoxScan &scan) {
    nb::list boxes;
    for (const BoxEntry &e : scan.boxes) {
        nb::object size = e.unbounded ? nb::none() : nb::object(nb::int_(e.size));
        boxes.append(nb::make_tuple(nb::str(e.type.c_str()), size, e.compressed));
    }
    return boxes;
}

nb::list frame_dicts(const FrameHeaders &headers) {
    nb::list frames;
    for (const FrameRecord &f : headers.frames) frames.append(frame_dict(headers.info, f));
    return frames;
}

void register_meta(nb::module_ &m) {
    m.def("frames_info", &frames_info, "data"_a.none(), nb::kw_only(), "coalesce"_a.none() = true,
          nb::sig("def frames_info(data: object, *, coalesce: object = True) -> list[dict[str, "
                  "Any]]"),
          "Frame headers of a JPEG XL stream, without decoding pixels.\n\n"
          "One dict per frame (per displayed frame with coalesce=True, per layer\n"
          "otherwise): duration (seconds), duration_ticks, timecode (None without\n"
          "timecodes), name, is_last, and the layer: xsize, ysize, crop_x0, crop_y0,\n"
          "blend_mode ('replace', 'add', 'blend', 'muladd' or 'mul'). A path or\n"
          "file-like is read in chunks.");
    m.def("_read_boxes", &read_boxes, "data"_a.none(),
          "Metadata boxes of a JPEG XL stream: a dict of exif, xmp, jumbf (bytes or\n"
          "None) and boxes, a list of (type, size, compressed) in file order.");
}

}  // namespace qmjxl
