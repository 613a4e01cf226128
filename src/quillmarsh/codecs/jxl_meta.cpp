// Parse-only metadata passes (boxes, frame headers).
#include "jxl_meta.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

using namespace nb::literals;

namespace qmjxl {

namespace {

constexpr size_t kMetaChunk = size_t(4) << 20;

JxlDecoderStatus process_nogil(JxlDecoder *dec) {
    nb::gil_scoped_release unlocked;
    return JxlDecoderProcessInput(dec);
}

[[noreturn]] void errno_to_oserror() {
    PyErr_SetFromErrno(PyExc_OSError);
    throw_current();
}

std::string mib(uint64_t n) { return std::to_string(n >> 20) + " MiB"; }

// A box type as printable text (types are four bytes, not always ASCII).
std::string box_type_text(const JxlBoxType t) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        unsigned char c = static_cast<unsigned char>(t[i]);
        if (c >= 0x20 && c < 0x7f) {
            s += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            s += hex;
        }
    }
    return s;
}

const char *box_label(const std::string &type) {
    if (type == "Exif") return "Exif";
    if (type == "xml ") return "XMP (\"xml \")";
    return "JUMBF (\"jumb\")";
}

// Runs `dec` over `in` until it reports success, handing every other event
// to `on_event`.
template <typename F>
void drive(JxlDecoder *dec, MetaInput &in, const char *what, F &&on_event) {
    if (!in.start(dec)) raise_py(PyExc_ValueError, "jxl: empty input");
    for (;;) {
        JxlDecoderStatus st = process_nogil(dec);
        switch (st) {
            case JXL_DEC_SUCCESS:
                return;
            case JXL_DEC_ERROR:
                raise_jxl(std::string("jxl: corrupt or truncated stream while reading ") + what +
                          " (JxlDecoderProcessInput returned JXL_DEC_ERROR)");
            case JXL_DEC_NEED_MORE_INPUT:
                if (!in.refill(dec))
                    raise_jxl(std::string("jxl: truncated stream while reading ") + what);
                continue;
            default:
                on_event(st);
        }
    }
}

JxlDecoderPtr make_decoder(int events) {
    JxlDecoderPtr dec = JxlDecoderMake(nullptr);
    if (!dec) raise_jxl("JxlDecoderCreate returned NULL");
    JxlDecoderStatus st = JxlDecoderSubscribeEvents(dec.get(), events);
    if (st != JXL_DEC_SUCCESS) raise_dec("JxlDecoderSubscribeEvents", st);
    return dec;
}

nb::bytes to_bytes(const std::vector<uint8_t> &v) {
    return nb::bytes(reinterpret_cast<const char *>(v.data()), v.size());
}

}  // namespace

// ---- input -----------------------------------------------------------------

bool MetaInput::read_chunk() {
    if (fd_ >= 0) {
        const size_t old = buf_.size();
        buf_.resize(old + kMetaChunk);
        ssize_t got;
        do {
            got = ::pread(fd_, buf_.data() + old, kMetaChunk, static_cast<off_t>(pos_));
        } while (got < 0 && errno == EINTR);
        if (got < 0) {
            buf_.resize(old);
            errno_to_oserror();
        }
        buf_.resize(old + static_cast<size_t>(got));
        pos_ += got;
        if (got == 0) eof_ = true;
        return got > 0;
    }
    nb::object chunk = file_.attr("read")(kMetaChunk);
    if (!PyBytes_Check(chunk.ptr()))
        raise_py(PyExc_TypeError, std::string("jxl: read() returned ") +
                                      Py_TYPE(chunk.ptr())->tp_name + ", expected bytes");
    const size_t n = static_cast<size_t>(PyBytes_GET_SIZE(chunk.ptr()));
    if (n == 0) {
        eof_ = true;
        return false;
    }
    const auto *p = reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(chunk.ptr()));
    buf_.insert(buf_.end(), p, p + n);
    return true;
}

bool MetaInput::start(JxlDecoder *dec) {
    const uint8_t *p = data_;
    size_t n = size_;
    if (chunked()) {
        // Enough bytes for the signature check, whatever read() hands out.
        while (buf_.size() < 16 && read_chunk()) {
        }
        p = buf_.data();
        n = buf_.size();
    }
    if (n == 0) return false;
    if (!signature_ok(p, n)) raise_py(PyExc_ValueError, "jxl: not a JPEG XL stream");
    JxlDecoderStatus st = JxlDecoderSetInput(dec, p, n);
    if (st != JXL_DEC_SUCCESS) raise_dec("JxlDecoderSetInput", st);
    if (!chunked() || eof_) JxlDecoderCloseInput(dec);
    return true;
}

bool MetaInput::refill(JxlDecoder *dec) {
    if (!chunked() || eof_) return false;
    size_t keep = JxlDecoderReleaseInput(dec);
    if (keep > buf_.size()) keep = buf_.size();
    buf_.erase(buf_.begin(), buf_.end() - static_cast<std::ptrdiff_t>(keep));
    read_chunk();
    if (!buf_.empty()) {
        JxlDecoderStatus st = JxlDecoderSetInput(dec, buf_.data(), buf_.size());
        if (st != JXL_DEC_SUCCESS) raise_dec("JxlDecoderSetInput", st);
    }
    // The decoder tells a complete stream from a cut one only once it knows
    // the input has ended.
    if (eof_) JxlDecoderCloseInput(dec);
    return true;
}

ProbeSource::~ProbeSource() {
    if (own_file && file.is_valid()) {
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        PyObject *r = PyObject_CallMethod(file.ptr(), "close", nullptr);
        if (r)
            Py_DECREF(r);
        else
            PyErr_Clear();
        PyErr_Restore(t, v, tb);
    }
}

void ProbeSource::open(nb::handle data) {
    if (is_path(data)) {
        file = nb::module_::import_("builtins").attr("open")(data, "rb");
        own_file = true;
    } else if (!is_bytes_like(data) && nb::hasattr(data, "read")) {
        file = nb::borrow(data);
    } else if (data.is_none()) {
        raise_py(PyExc_TypeError,
                 "jxl: data must be bytes-like, a path or a binary file-like; got NoneType");
    } else {
        view.acquire(data.ptr());
    }
}

MetaInput ProbeSource::input() {
    return file.is_valid() ? MetaInput::file(file) : MetaInput::memory(view.data(), view.size());
}

// ---- boxes -----------------------------------------------------------------

BoxScan scan_boxes(MetaInput &in) {
    JxlDecoderPtr owner = make_decoder(JXL_DEC_BOX | JXL_DEC_BOX_COMPLETE);
    JxlDecoder *dec = owner.get();
    if (JxlDecoderSetDecompressBoxes(dec, JXL_TRUE) != JXL_DEC_SUCCESS)
        raise_jxl("jxl: this libjxl cannot decompress brob boxes (built without Brotli)");

    BoxScan scan;
    std::vector<uint8_t> *target = nullptr;  // contents being collected
    std::string target_type;
    size_t filled = 0;
    auto finish = [&] {
        if (!target) return;
        const size_t rest = JxlDecoderReleaseBoxBuffer(dec);
        target->resize(target->size() - rest);
        target = nullptr;
    };
    auto give_room = [&] {
        JxlDecoderStatus st =
            JxlDecoderSetBoxBuffer(dec, target->data() + filled, target->size() - filled);
        if (st != JXL_DEC_SUCCESS) raise_dec("JxlDecoderSetBoxBuffer", st);
    };

    drive(dec, in, "its boxes", [&](JxlDecoderStatus st) {
        if (st == JXL_DEC_BOX) {
            finish();
            JxlBoxType raw, type;
            if (JxlDecoderGetBoxType(dec, raw, JXL_FALSE) != JXL_DEC_SUCCESS ||
                JxlDecoderGetBoxType(dec, type, JXL_TRUE) != JXL_DEC_SUCCESS)
                raise_jxl("jxl: corrupt box header (no box type)");
            uint64_t raw_size = 0, size = 0;
            (void)JxlDecoderGetBoxSizeRaw(dec, &raw_size);
            (void)JxlDecoderGetBoxSizeContents(dec, &size);
            BoxEntry e;
            e.type = box_type_text(type);
            e.compressed = std::memcmp(raw, "brob", 4) == 0;
            e.unbounded = raw_size == 0;
            e.size = size;
            scan.boxes.push_back(e);

            std::vector<uint8_t> *want = nullptr;
            bool *have = nullptr;
            if (e.type == "Exif") {
                want = &scan.exif_box;
                have = &scan.have_exif;
            } else if (e.type == "xml ") {
                want = &scan.xmp;
                have = &scan.have_xmp;
            } else if (e.type == "jumb") {
                want = &scan.jumbf;
                have = &scan.have_jumbf;
            }
            if (!want || *have) return;  // only the first box of each kind
            if (!e.compressed && !e.unbounded && size > kMaxBoxBytes)
                raise_jxl(std::string("jxl: ") + box_label(e.type) + " box of " +
                          std::to_string(size) + " bytes is larger than the " +
                          mib(kMaxBoxBytes) + " limit for metadata boxes");
            uint64_t cap = e.compressed || e.unbounded ? std::max<uint64_t>(size * 4, 65536)
                                                       : std::max<uint64_t>(size, 1);
            cap = std::min(cap, kMaxBoxBytes);
            *have = true;
            want->assign(static_cast<size_t>(cap), 0);
            target = want;
            target_type = e.type;
            filled = 0;
            give_room();
        } else if (st == JXL_DEC_BOX_NEED_MORE_OUTPUT) {
            if (!target) raise_jxl("jxl: box output requested without a buffer");
            filled = target->size() - JxlDecoderReleaseBoxBuffer(dec);
            if (target->size() >= kMaxBoxBytes)
                raise_jxl(std::string("jxl: ") + box_label(target_type) +
                          " box is larger than the " + mib(kMaxBoxBytes) +
                          " limit for metadata boxes");
            target->resize(static_cast<size_t>(
                std::min<uint64_t>(uint64_t(target->size()) * 2, kMaxBoxBytes)));
            give_room();
        } else if (st == JXL_DEC_BOX_COMPLETE) {
            finish();
        }
    });
    finish();
    return scan;
}

nb::bytes exif_payload(const std::vector<uint8_t> &box) {
    if (box.size() < 4)
        raise_jxl("jxl: malformed Exif box: " + std::to_string(box.size()) +
                  " bytes, too short for its 4-byte offset field");
    const uint32_t offset = (uint32_t(box[0]) << 24) | (uint32_t(box[1]) << 16) |
                            (uint32_t(box[2]) << 8) | uint32_t(box[3]);
    if (offset > box.size() - 4)
        raise_jxl("jxl: malformed Exif box: its TIFF header offset " + std::to_string(offset) +
                  " points past its end");
    const uint8_t *tiff = box.data() + 4 + offset;
    const size_t n = box.size() - 4 - offset;
    if (n < 8 || !(std::memcmp(tiff, "II*\0", 4) == 0 || std::memcmp(tiff, "MM\0*", 4) == 0))
        raise_jxl("jxl: malformed Exif box: no TIFF header (\"II*\\0\" or \"MM\\0*\") at its offset");
    return nb::bytes(reinterpret_cast<const char *>(tiff), n);
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

// ---- frame headers ---------------------------------------------------------

nb::list scan_frames(MetaInput &in, bool coalesce) {
    JxlDecoderPtr owner = make_decoder(JXL_DEC_BASIC_INFO | JXL_DEC_FRAME);
    JxlDecoder *dec = owner.get();
    if (!coalesce) {
        JxlDecoderStatus st = JxlDecoderSetCoalescing(dec, JXL_FALSE);
        if (st != JXL_DEC_SUCCESS) raise_dec("JxlDecoderSetCoalescing", st);
    }
    static const char *const kBlend[] = {"replace", "add", "blend", "muladd", "mul"};
    JxlBasicInfo info{};
    nb::list frames;
    drive(dec, in, "its frame headers", [&](JxlDecoderStatus st) {
        if (st == JXL_DEC_BASIC_INFO) {
            if (JxlDecoderGetBasicInfo(dec, &info) != JXL_DEC_SUCCESS)
                raise_jxl("JxlDecoderGetBasicInfo failed");
            return;
        }
        if (st != JXL_DEC_FRAME) return;
        JxlFrameHeader h{};
        JxlDecoderStatus hs = JxlDecoderGetFrameHeader(dec, &h);
        if (hs != JXL_DEC_SUCCESS) raise_dec("JxlDecoderGetFrameHeader", hs);
        // The header can hold no longer name; anything else is a broken decoder.
        if (h.name_length > kMaxFrameName)
            raise_jxl("jxl: frame name of " + std::to_string(h.name_length) +
                      " bytes is longer than the " + std::to_string(kMaxFrameName) +
                      " bytes a frame header can hold");
        std::string name(h.name_length + 1, '\0');
        if (h.name_length) {
            hs = JxlDecoderGetFrameName(dec, name.data(), name.size());
            if (hs != JXL_DEC_SUCCESS) raise_dec("JxlDecoderGetFrameName", hs);
        }
        name.resize(h.name_length);
        const JxlAnimationHeader &a = info.animation;
        const bool timed = info.have_animation && a.tps_numerator != 0;
        nb::dict d;
        d["duration"] = timed ? double(h.duration) * a.tps_denominator / a.tps_numerator : 0.0;
        d["duration_ticks"] = h.duration;
        d["timecode"] = info.have_animation && a.have_timecodes ? nb::object(nb::int_(h.timecode))
                                                                 : nb::none();
        PyObject *s = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()),
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
        frames.append(d);
    });
    return frames;
}

// ---- module functions ------------------------------------------------------

void register_meta(nb::module_ &m) {
    m.def(
        "frames_info",
        [](nb::handle data, nb::handle coalesce) {
            int c = PyObject_IsTrue(coalesce.ptr());
            if (c < 0) throw_current();
            ProbeSource src;
            src.open(data);
            MetaInput in = src.input();
            return scan_frames(in, c == 1);
        },
        "data"_a.none(), nb::kw_only(), "coalesce"_a.none() = true,
        nb::sig("def frames_info(data: object, *, coalesce: object = True) -> list[dict[str, "
                "Any]]"),
        "Frame headers of a JPEG XL stream, without decoding pixels.\n\n"
        "One dict per frame (per displayed frame with coalesce=True, per layer\n"
        "otherwise): duration (seconds), duration_ticks, timecode (None without\n"
        "timecodes), name, is_last, and the layer: xsize, ysize, crop_x0, crop_y0,\n"
        "blend_mode ('replace', 'add', 'blend', 'muladd' or 'mul'). A path or\n"
        "file-like is read in chunks.");
    m.def(
        "_read_boxes",
        [](nb::handle data) {
            ProbeSource src;
            src.open(data);
            MetaInput in = src.input();
            return boxes_to_dict(scan_boxes(in));
        },
        "data"_a.none(),
        "Metadata boxes of a JPEG XL stream: a dict of exif, xmp, jumbf (bytes or\n"
        "None) and boxes, a list of (type, size, compressed) in file order.");
}

}  // namespace qmjxl
