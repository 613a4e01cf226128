// Lossless JPEG recompression (transcode_jpeg) and reconstruction of the
// original JPEG file (reconstruct_jpeg).
#include "jxl_jpeg.h"
#include "jxlcore/runner.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <system_error>
#include <thread>

using namespace nb::literals;

namespace qmjxl {

// ---- errors ------------------------------------------------------------------

void raise_jpeg_check(const JpegCheck &c) {
    switch (c.kind) {
        case JpegCheck::kOk:
            return;
        case JpegCheck::kNotJpeg:
            raise_py(PyExc_ValueError, "jxl: not a JPEG stream");
        case JpegCheck::kTruncated:
            raise_py(PyExc_ValueError, "jxl: truncated JPEG stream (" + c.reason + ")");
        case JpegCheck::kCorrupt:
            raise_py(PyExc_ValueError, "jxl: corrupt JPEG stream (" + c.reason + ")");
        case JpegCheck::kUnsupported:
            raise_py(PyExc_ValueError,
                     "jxl: this JPEG cannot be recompressed losslessly: " + c.reason +
                         " is not supported by libjxl");
        case JpegCheck::kNotLossless:
            raise_py(PyExc_ValueError, "jxl: this JPEG cannot be recompressed losslessly: " + c.reason);
    }
}

// ---- encoder side ------------------------------------------------------------

namespace {

constexpr size_t kOutGranule = 65536;

// Drains the encoder into `out`, growing it as libjxl asks. Returns the
// libjxl status of the last call.
JxlEncoderStatus drain_encoder(JxlEncoder *enc, std::vector<uint8_t> *out) {
    size_t used = out->size();
    if (out->capacity() - used < kOutGranule) out->reserve(used + kOutGranule);
    for (;;) {
        out->resize(out->capacity());
        uint8_t *next = out->data() + used;
        size_t avail = out->size() - used;
        JxlEncoderStatus st = JxlEncoderProcessOutput(enc, &next, &avail);
        used = out->size() - avail;
        out->resize(used);
        if (st != JXL_ENC_NEED_MORE_OUTPUT) return st;
        out->reserve(used + std::max(used / 2, kOutGranule));
    }
}

}  // namespace

int add_jpeg_frame_nogil(JxlEncoder *enc, JxlEncoderFrameSettings *fs, const uint8_t *jpeg,
                         size_t size, int *status, int *err) {
    JxlEncoderStatus st = JxlEncoderAddJPEGFrame(fs, jpeg, size);
    if (st != JXL_ENC_SUCCESS) {
        *status = st;
        *err = JxlEncoderGetError(enc);
        return JPEG_ERR_ENCODER;
    }
    return 0;
}

[[noreturn]] void raise_add_jpeg_frame(int status, int err) {
    if (err == JXL_ENC_ERR_BAD_INPUT)
        raise_py(PyExc_ValueError,
                 "jxl: corrupt or unsupported JPEG stream (libjxl could not read its "
                 "coefficients or its ICC profile)");
    if (err == JXL_ENC_ERR_JBRD)
        raise_py(PyExc_ValueError,
                 "jxl: this JPEG cannot be recompressed losslessly: libjxl cannot store the "
                 "data to rebuild it (a layout it does not keep, such as four quantisation "
                 "tables)");
    raise_enc("JxlEncoderAddJPEGFrame", status, err);
}

// ---- destinations ------------------------------------------------------------

JpegOutput::JpegOutput(nb::handle dest) {
    if (dest.is_none()) return;
    if (is_path(dest)) {
        // Made first, so an unwritable destination fails before any work.
        atomic_ = nb::module_::import_("quillmarsh.core.io").attr("AtomicOutput")(dest);
        return;
    }
    PyObject *w = PyObject_GetAttrString(dest.ptr(), "write");
    if (!w) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_current();
        PyErr_Clear();
        raise_py(PyExc_TypeError, std::string("dest must be a path, a binary file-like or None; got ") +
                                      Py_TYPE(dest.ptr())->tp_name);
    }
    write_ = nb::steal(w);
}

JpegOutput::~JpegOutput() {
    if (!atomic_.is_valid()) return;
    // Not committed: the temporary file goes, the destination stays as it was.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject *r = PyObject_CallMethod(atomic_.ptr(), "discard", nullptr);
    if (!r) PyErr_WriteUnraisable(atomic_.ptr());
    Py_XDECREF(r);
    PyErr_Restore(type, value, tb);
}

nb::object JpegOutput::deliver(const uint8_t *data, size_t size) {
    nb::bytes payload(reinterpret_cast<const char *>(data), size);
    if (atomic_.is_valid()) {
        nb::object out = std::move(atomic_);
        try {
            out.attr("write")(payload);
            out.attr("commit")();
        } catch (...) {
            atomic_ = std::move(out);  // discarded by the destructor
            throw;
        }
        return nb::none();
    }
    if (write_.is_valid()) {
        write_(payload);
        return nb::none();
    }
    return std::move(payload);
}

// ---- reconstruction --------------------------------------------------------

namespace {

constexpr int REC_NO_DATA = -20;
constexpr int REC_TOO_LARGE = -21;
constexpr int REC_TRUNCATED = -22;
constexpr int REC_DECODER = -23;
constexpr int REC_TOO_MANY_PIXELS = -24;
constexpr int REC_MARKERS_TOO_LARGE = -25;

// LSB-first bit reader over a byte range; past the end it reads zeros.
// libjxl stops at the first field that runs past the end: here that field
// still counts (the claims are at most one length too high), and the zeros
// behind it fail the checks below.
struct Bits {
    const uint8_t *p;
    size_t n, pos = 0;
    uint32_t read(unsigned k) {
        uint32_t v = 0;
        for (unsigned i = 0; i < k; ++i, ++pos)
            if (pos < 8 * n) v |= uint32_t((p[pos >> 3] >> (pos & 7)) & 1) << i;
        return v;
    }
    // libjxl's U32 field: a 2-bit selector, then a constant (bits 0) or
    // `bits` bits plus an offset.
    struct Dist {
        unsigned bits;
        uint32_t offset;
    };
    uint32_t u32(Dist a, Dist b, Dist c, Dist d) {
        const Dist pick[4] = {a, b, c, d};
        const Dist &x = pick[read(2)];
        return x.bits ? read(x.bits) + x.offset : x.offset;
    }
    bool more(size_t bits) const { return pos + bits <= 8 * n; }
};

// The content of the file's first "jbrd" box; false when there is no
// complete one (or the boxes are damaged before it).
bool find_jbrd_box(const uint8_t *d, size_t size, const uint8_t **data, size_t *data_size) {
    size_t pos = 0;
    while (pos + 8 <= size) {
        uint64_t box = (uint64_t{d[pos]} << 24) | (d[pos + 1] << 16) | (d[pos + 2] << 8) | d[pos + 3];
        size_t head = 8;
        if (box == 1) {
            if (pos + 16 > size) return false;
            box = 0;
            for (int i = 0; i < 8; ++i) box = (box << 8) | d[pos + 8 + i];
            head = 16;
        } else if (box == 0) {
            box = size - pos;
        }
        if (box < head || box > size - pos) return false;
        if (std::memcmp(d + pos + 4, "jbrd", 4) == 0) {
            *data = d + pos + head;
            *data_size = static_cast<size_t>(box) - head;
            return true;
        }
        pos += static_cast<size_t>(box);
    }
    return false;
}

// The Huffman codes of the reconstruction data, read as libjxl reads them;
// false where it refuses them.
bool read_huffman_codes(Bits &b) {
    using D = Bits::Dist;
    const uint32_t huffman = b.u32(D{0, 4}, D{3, 2}, D{4, 10}, D{6, 26});
    for (uint32_t h = 0; h < huffman; ++h) {
        const bool ac = b.read(1);
        b.read(3);  // id, is_last
        uint32_t symbols = 0;
        for (int i = 0; i <= 16; ++i) symbols += b.u32(D{0, 0}, D{0, 1}, D{3, 2}, D{8, 0});
        if (symbols < 1 || symbols > 257) return false;
        uint64_t slots[5] = {};
        uint32_t value = 0;
        for (uint32_t i = 0; i < symbols; ++i) {
            value = b.u32(D{2, 0}, D{2, 4}, D{4, 8}, D{8, 1});
            if (slots[value >> 6] >> (value & 63) & 1) return false;  // a repeated symbol
            slots[value >> 6] |= uint64_t{1} << (value & 63);
        }
        if (value != 256) return false;
        if (!ac && ((slots[0] >> 12) | slots[1] | slots[2] | slots[3])) return false;
    }
    return true;
}

// The bytes libjxl allocates for the APP, COM, between-marker and trailing
// data of a JPEG while it reads the fields at the head of the file's
// reconstruction data (a "jbrd" box), before any of that data arrives from
// the Brotli stream behind them: 16 bits of length claim 64 KiB, so 50 kB of
// fields could claim a gigabyte. The fields are read as libjxl reads them,
// up to the first one it refuses (it allocates nothing more after that). 0
// when there is no complete such box.
uint64_t jbrd_marker_claims(const uint8_t *d, size_t size) {
    const uint8_t *box_data = nullptr;
    size_t box_size = 0;
    if (!find_jbrd_box(d, size, &box_data, &box_size)) return 0;
    using D = Bits::Dist;
    Bits b{box_data, box_size};
    b.read(1);  // grey
    uint64_t apps = 0, coms = 0, scans = 0, gaps = 0;
    bool dri = false;
    for (size_t k = 0;; ++k) {
        if (k >= 16384) return 0;  // refused before anything is allocated
        const unsigned m = b.read(6) + 0xC0;
        if ((m & 0xF0) == 0xE0) ++apps;
        if (m == 0xFE) ++coms;
        if (m == 0xDA) ++scans;
        if (m == 0xFF) ++gaps;
        if (m == 0xDD) dri = true;
        if (m == 0xD9) break;
    }
    uint64_t claims = 0;
    for (uint64_t k = 0; k < apps; ++k) {
        if (b.u32(D{0, 0}, D{0, 1}, D{1, 2}, D{2, 4}) > 3) return claims;  // marker type
        const uint32_t len = b.read(16) + 1;
        claims += len;
        if (len < 3) return claims;
    }
    for (uint64_t k = 0; k < coms; ++k) {
        const uint32_t len = b.read(16) + 1;
        claims += len;
        if (len < 3) return claims;
    }
    // Quantisation tables, components and Huffman codes: read only to find
    // where the fields go on, and where libjxl stops.
    const uint32_t quant = b.u32(D{0, 1}, D{0, 2}, D{0, 3}, D{0, 4});
    if (quant == 4) return claims;
    for (uint32_t k = 0; k < quant; ++k) b.read(4);
    uint32_t comps = 1;
    const uint32_t type = b.read(2);
    if (type == 3) {
        comps = b.u32(D{0, 1}, D{0, 2}, D{0, 3}, D{0, 4});
        if (comps != 1 && comps != 3) return claims;
        for (uint32_t k = 0; k < comps; ++k) b.read(8);
    } else if (type != 0) {
        comps = 3;
    }
    unsigned used = 0;
    for (uint32_t k = 0; k < comps; ++k) {
        const uint32_t q = b.read(2);
        if (q >= quant) return claims;
        used |= 1u << q;
    }
    if (!(used & 1)) return claims;  // the first table unused
    if (!read_huffman_codes(b)) return claims;
    for (uint64_t s = 0; s < scans; ++s) {
        const uint32_t n = b.u32(D{0, 1}, D{0, 2}, D{0, 3}, D{0, 4});
        if (n >= 4) return claims;
        b.read(20);  // Ss, Se, Al, Ah
        for (uint32_t i = 0; i < n; ++i) {
            if (b.read(2) >= comps) return claims;
            b.read(4);  // its tables
        }
        b.u32(D{0, 0}, D{0, 1}, D{0, 2}, D{3, 3});
    }
    if (dri) b.read(16);
    for (uint64_t s = 0; s < scans; ++s) {
        // Restart positions and extra zero runs: block indices that grow.
        for (int list = 0; list < 2; ++list) {
            const uint32_t count = b.u32(D{0, 0}, D{2, 1}, D{4, 4}, D{16, 20});
            int64_t last = -1;
            for (uint32_t i = 0; i < count; ++i) {
                if (list == 1) b.u32(D{0, 1}, D{2, 2}, D{4, 5}, D{8, 20});
                last += 1 + int64_t{b.u32(D{0, 0}, D{3, 1}, D{5, 9}, D{28, 41})};
                if (last >= (int64_t{3} << 26) + list) return claims;
            }
        }
    }
    uint64_t between = 0;
    for (uint64_t k = 0; k < gaps; ++k) between += b.read(16);
    const uint64_t tail = b.u32(D{0, 0}, D{8, 1}, D{16, 257}, D{22, 65793});
    if (b.read(1)) {  // padding bits, each given
        const uint32_t bits = b.read(24);
        if (!b.more(bits)) return claims;
        b.pos += bits;
    }
    return claims + between + tail;
}

// Basic info from the image header alone (a decoder that wants nothing else).
bool read_basic_info(const uint8_t *d, size_t size, JxlBasicInfo *info) {
    JxlDecoderPtr dec = JxlDecoderMake(nullptr);
    if (!dec || JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_BASIC_INFO) != JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(dec.get(), d, size) != JXL_DEC_SUCCESS)
        return false;
    JxlDecoderCloseInput(dec.get());
    return JxlDecoderProcessInput(dec.get()) == JXL_DEC_BASIC_INFO &&
           JxlDecoderGetBasicInfo(dec.get(), info) == JXL_DEC_SUCCESS;
}

struct ReconstructJob {
    const uint8_t *jxl = nullptr;
    size_t size = 0;
    size_t threads = 1;
    bool exact_threads = false;  // numthreads given by the caller
    uint64_t max_pixels = 0;
    // Results.
    std::vector<uint8_t> out;
    JxlBasicInfo info{};
    uint64_t limit = 0;
    uint64_t claims = 0;  // marker bytes the reconstruction data claims
    const char *func = nullptr;
    int status = 0;
};

int fail_dec(ReconstructJob *job, const char *func, JxlDecoderStatus st) {
    job->func = func;
    job->status = st;
    return REC_DECODER;
}

int reconstruct_nogil(ReconstructJob *job) {
    // The claims are held to the budget of the whole JPEG before libjxl
    // allocates them; the pixel count is read only for large claims.
    job->claims = jbrd_marker_claims(job->jxl, job->size);
    if (job->claims > reconstruction_limit(job->size, JxlBasicInfo{})) {
        JxlBasicInfo info{};
        if (!read_basic_info(job->jxl, job->size, &info)) info = JxlBasicInfo{};
        job->limit = reconstruction_limit(job->size, info);
        if (job->claims > job->limit) return REC_MARKERS_TOO_LARGE;
    }
    JxlDecoderPtr decp = JxlDecoderMake(nullptr);
    JxlDecoder *dec = decp.get();
    if (!dec) return fail_dec(job, "JxlDecoderCreate", JXL_DEC_ERROR);
    // With numthreads=None the count is chosen once the header gives the size.
    RunnerRequest runner;
    if (job->threads > 1) {
        runner.threads = job->exact_threads ? job->threads : 1;
        runner.exact = job->exact_threads;
        JxlDecoderStatus st = JxlDecoderSetParallelRunner(dec, pooled_runner, &runner);
        if (st != JXL_DEC_SUCCESS) return fail_dec(job, "JxlDecoderSetParallelRunner", st);
    }
    JxlDecoderStatus st = JxlDecoderSubscribeEvents(
        dec, JXL_DEC_BASIC_INFO | JXL_DEC_JPEG_RECONSTRUCTION | JXL_DEC_FULL_IMAGE);
    if (st != JXL_DEC_SUCCESS) return fail_dec(job, "JxlDecoderSubscribeEvents", st);
    st = JxlDecoderSetInput(dec, job->jxl, job->size);
    if (st != JXL_DEC_SUCCESS) return fail_dec(job, "JxlDecoderSetInput", st);
    // The input is not closed: the whole file is there, so a request for
    // more means it was cut short.

    std::vector<uint8_t> &out = job->out;
    size_t used = 0;
    bool reconstructing = false;
    // Gives libjxl the rest of a buffer grown to at least `want` bytes.
    auto offer = [&](size_t want) -> int {
        want = std::min<uint64_t>(want, job->limit);
        if (want <= used) return REC_TOO_LARGE;
        out.resize(want);
        JxlDecoderStatus s = JxlDecoderSetJPEGBuffer(dec, out.data() + used, out.size() - used);
        return s == JXL_DEC_SUCCESS ? 0 : fail_dec(job, "JxlDecoderSetJPEGBuffer", s);
    };
    for (;;) {
        st = JxlDecoderProcessInput(dec);
        if (st == JXL_DEC_BASIC_INFO) {
            st = JxlDecoderGetBasicInfo(dec, &job->info);
            if (st != JXL_DEC_SUCCESS) return fail_dec(job, "JxlDecoderGetBasicInfo", st);
            const uint64_t pixels = uint64_t{job->info.xsize} * job->info.ysize;
            if (job->max_pixels && pixels > job->max_pixels) return REC_TOO_MANY_PIXELS;
            job->limit = reconstruction_limit(job->size, job->info);
            if (!job->exact_threads)
                runner.threads = threads_for_size(job->info.xsize, job->info.ysize, job->threads);
        } else if (st == JXL_DEC_JPEG_RECONSTRUCTION) {
            reconstructing = true;
            // A reconstruction box ahead of the codestream comes before the
            // basic info: the budget then comes from a header-only decode.
            if (!job->limit) {
                JxlBasicInfo info{};
                if (!read_basic_info(job->jxl, job->size, &info)) info = JxlBasicInfo{};
                job->limit = reconstruction_limit(job->size, info);
            }
            // A JPEG is usually 1.1 to 1.3 times its recompressed size.
            if (int rc = offer(job->size + job->size / 2 + kOutGranule)) return rc;
        } else if (st == JXL_DEC_JPEG_NEED_MORE_OUTPUT) {
            used = out.size() - JxlDecoderReleaseJPEGBuffer(dec);
            // libjxl asks again before the rest is full when its next piece
            // does not fit: only a larger buffer makes progress.
            if (out.size() >= job->limit) return REC_TOO_LARGE;
            if (int rc = offer(out.size() + std::max(out.size() / 2, kOutGranule))) return rc;
        } else if (st == JXL_DEC_FULL_IMAGE) {
            // One image is all a reconstructable file holds.
            used = out.size() - JxlDecoderReleaseJPEGBuffer(dec);
            out.resize(used);
            return 0;
        } else if (st == JXL_DEC_NEED_IMAGE_OUT_BUFFER || st == JXL_DEC_SUCCESS) {
            // libjxl wants pixels only when it has nothing to rebuild a JPEG from.
            if (!reconstructing) return REC_NO_DATA;
            if (st == JXL_DEC_SUCCESS) {
                used = out.size() - JxlDecoderReleaseJPEGBuffer(dec);
                out.resize(used);
                return 0;
            }
            return fail_dec(job, "JxlDecoderProcessInput", st);
        } else if (st == JXL_DEC_NEED_MORE_INPUT) {
            return REC_TRUNCATED;
        } else {
            // JXL_DEC_ERROR, or an event this loop did not subscribe to.
            return fail_dec(job, "JxlDecoderProcessInput", st);
        }
    }
}

}  // namespace

uint64_t reconstruction_limit(size_t jxl_size, const JxlBasicInfo &info) {
    // Coefficients cost at most about 3.3 bytes per sample in a baseline
    // JPEG (6.5 with every byte stuffed); markers, ICC, EXIF and XMP come
    // from the file itself, possibly Brotli-compressed.
    const uint64_t samples = uint64_t{info.xsize} * info.ysize * std::max(1u, info.num_color_channels);
    return 8 * samples + 16 * uint64_t{jxl_size} + (uint64_t{1} << 20);
}

// ---- recompression --------------------------------------------------------------

namespace {

struct TranscodeJob {
    const uint8_t *jpeg = nullptr;
    size_t size = 0;
    int effort = 7;
    size_t threads = 1;
    bool exact_threads = false;  // numthreads given by the caller
    bool keep_metadata = true;
    bool verify = true;
    // Results.
    std::vector<uint8_t> out;
    JpegCheck check;
    const char *func = nullptr;  // the libjxl call that failed
    int status = 0, err = -1;
};

int fail_enc(TranscodeJob *job, JxlEncoder *enc, const char *func, JxlEncoderStatus st) {
    job->func = func;
    job->status = st;
    job->err = enc ? JxlEncoderGetError(enc) : -1;
    return JPEG_ERR_ENCODER;
}

// How the JPEG XL stream `jxl` gives `jpeg` back: 0 bit for bit, else the
// reconstruction's error code, or REC_DIFFERS with the offset of the first
// byte that differs in `*at`.
constexpr int REC_DIFFERS = -26;

int rebuild_compare(const uint8_t *jxl, size_t jxl_size, const uint8_t *jpeg, size_t size,
                    size_t threads, bool exact_threads, size_t *at) {
    ReconstructJob rec;
    rec.jxl = jxl;
    rec.size = jxl_size;
    rec.threads = threads;
    rec.exact_threads = exact_threads;
    if (int rc = reconstruct_nogil(&rec)) return rc;
    const size_t n = std::min(size, rec.out.size());
    *at = std::mismatch(jpeg, jpeg + n, rec.out.data()).first - jpeg;
    return *at == size && rec.out.size() == size ? 0 : REC_DIFFERS;
}

// JPEGs from this size on have their DC check run beside libjxl when the
// caller gives it more than one thread.
constexpr size_t kDcCheckAside = 64 * 1024;

}  // namespace

JpegVerdict::JpegVerdict(const uint8_t *jpeg, size_t size, bool reconstructable, bool verify,
                         size_t threads, bool exact_threads)
    : jpeg_(jpeg),
      size_(size),
      reconstructable_(reconstructable),
      verify_(verify && reconstructable),
      threads_(threads),
      exact_threads_(exact_threads),
      aside_(reconstructable && !verify_ && threads > 1 && size >= kDcCheckAside) {}

JpegVerdict::~JpegVerdict() {
    if (thread_.joinable()) thread_.join();
}

JpegCheck JpegVerdict::start() {
    // With verification the rebuild judges the coefficients: the DC check
    // runs only to name what a failed rebuild lost.
    const bool dc_in_line = reconstructable_ && !aside_ && !verify_;
    JpegCheck walk = inspect_jpeg(jpeg_, size_, dc_in_line, reconstructable_);
    if (reconstructable_ && !dc_in_line && walk.kind == JpegCheck::kNotLossless) {
        // A clamped DC value is named before what the walk found, wherever
        // the DC check would have run.
        JpegCheck c = dc();
        return c.ok() ? walk : c;
    }
    if (!walk.ok() || !reconstructable_ || verify_) return walk;
    if (!aside_) {
        dc_ = walk;
        dc_done_ = true;
        return walk;
    }
    auto check = [this] {
        try {
            dc_ = inspect_jpeg(jpeg_, size_, true);
        } catch (...) {  // no memory for its tables: rebuilding tells
            dc_ = JpegCheck{};
            dc_.verify = true;
        }
    };
    dc_done_ = true;
    try {
        thread_ = std::thread(check);
    } catch (const std::system_error &) {  // no thread to be had: in line
        check();
    }
    return walk;
}

JpegCheck JpegVerdict::dc() {
    if (thread_.joinable()) thread_.join();
    if (!dc_done_) {
        dc_done_ = true;
        try {
            dc_ = inspect_jpeg(jpeg_, size_, true);
        } catch (...) {
            dc_ = JpegCheck{};
        }
    }
    return dc_;
}

JpegCheck JpegVerdict::dc_refusal() {
    if (!reconstructable_) return {};
    JpegCheck c = dc();
    return c.ok() ? JpegCheck{} : c;
}

JpegCheck JpegVerdict::finish(const uint8_t *jxl, size_t jxl_size) {
    if (!reconstructable_) return {};
    if (!verify_) {
        JpegCheck c = dc();
        if (!c.ok()) return c;
    }
    // reconstruct_jpeg holds the rebuilt JPEG to a budget from the stream's
    // size and the image's: a JPEG far larger than its stream (megabytes of
    // repetitive comments) is rebuilt here, so that what is accepted can
    // also be given back. Ordinary JPEGs are some 1.2 times their stream.
    const bool over_budget = size_ > reconstruction_limit(jxl_size, JxlBasicInfo{});
    if (!verify_ && !dc_.verify && !over_budget) return {};
    size_t at = 0;
    const int rc = rebuild_compare(jxl, jxl_size, jpeg_, size_, threads_, exact_threads_, &at);
    if (rc == 0) return {};
    if (verify_) {
        JpegCheck c = dc();
        if (!c.ok()) return c;
    }
    if (rc == REC_TOO_LARGE || rc == REC_MARKERS_TOO_LARGE)
        return {JpegCheck::kNotLossless,
                "it is too large for its recompressed size (" + std::to_string(size_) +
                    " bytes from " + std::to_string(jxl_size) +
                    "): reconstruct_jpeg would refuse to rebuild it",
                false};
    if (rc == REC_DIFFERS)
        return {JpegCheck::kNotLossless,
                "libjxl would not rebuild the same bytes from it (they differ from byte " +
                    std::to_string(at) + " of " + std::to_string(size_) + " on; a damaged JPEG?)",
                false};
    return {JpegCheck::kNotLossless,
            "libjxl would not rebuild the same bytes from it (it could not rebuild it from its "
            "own stream)",
            false};
}

namespace {

int transcode_nogil(TranscodeJob *job) {
    JpegVerdict verdict(job->jpeg, job->size, job->keep_metadata, job->verify, job->threads,
                        job->exact_threads);
    job->check = verdict.start();
    if (!job->check.ok()) return JPEG_ERR_INPUT;
    JxlEncoderPtr encp = JxlEncoderMake(nullptr);
    JxlEncoder *enc = encp.get();
    if (!enc) return fail_enc(job, nullptr, "JxlEncoderCreate", JXL_ENC_ERROR);
    RunnerRequest runner;
    if (job->threads > 1) {
        runner.threads = job->threads;
        runner.exact = job->exact_threads;
        JxlEncoderStatus st = JxlEncoderSetParallelRunner(enc, pooled_runner, &runner);
        if (st != JXL_ENC_SUCCESS) return fail_enc(job, enc, "JxlEncoderSetParallelRunner", st);
    }
    // Reconstruction needs the JPEG's EXIF and XMP, so it comes with them;
    // without metadata the stream keeps the coefficients only.
    JxlEncoderStatus st = JxlEncoderUseContainer(enc, job->keep_metadata ? JXL_TRUE : JXL_FALSE);
    if (st != JXL_ENC_SUCCESS) return fail_enc(job, enc, "JxlEncoderUseContainer", st);
    if (job->keep_metadata) {
        st = JxlEncoderStoreJPEGMetadata(enc, JXL_TRUE);
        if (st != JXL_ENC_SUCCESS) return fail_enc(job, enc, "JxlEncoderStoreJPEGMetadata", st);
    }
    JxlEncoderFrameSettings *fs = JxlEncoderFrameSettingsCreate(enc, nullptr);
    if (!fs) return fail_enc(job, enc, "JxlEncoderFrameSettingsCreate", JXL_ENC_ERROR);
    const std::pair<JxlEncoderFrameSettingId, int64_t> options[] = {
        {JXL_ENC_FRAME_SETTING_EFFORT, job->effort},
        // libjxl's command-line encoder compresses the reconstruction data
        // and metadata boxes this hard; the same streams come out.
        {JXL_ENC_FRAME_SETTING_BROTLI_EFFORT, 9},
        {JXL_ENC_FRAME_SETTING_JPEG_KEEP_EXIF, job->keep_metadata},
        {JXL_ENC_FRAME_SETTING_JPEG_KEEP_XMP, job->keep_metadata},
        {JXL_ENC_FRAME_SETTING_JPEG_KEEP_JUMBF, job->keep_metadata},
    };
    for (const auto &[id, value] : options) {
        st = JxlEncoderFrameSettingsSetOption(fs, id, value);
        if (st != JXL_ENC_SUCCESS) return fail_enc(job, enc, "JxlEncoderFrameSettingsSetOption", st);
    }
    int rc = add_jpeg_frame_nogil(enc, fs, job->jpeg, job->size, &job->status, &job->err);
    if (rc != 0) {
        job->check = verdict.dc_refusal();
        if (!job->check.ok()) return JPEG_ERR_INPUT;
        job->func = "JxlEncoderAddJPEGFrame";
        return rc;
    }
    JxlEncoderCloseInput(enc);
    // The stream is usually 75 to 90 % of the JPEG.
    job->out.reserve(job->size + kOutGranule);
    st = drain_encoder(enc, &job->out);
    if (st != JXL_ENC_SUCCESS) {
        job->check = verdict.dc_refusal();
        if (!job->check.ok()) return JPEG_ERR_INPUT;
        return fail_enc(job, enc, "JxlEncoderProcessOutput", st);
    }
    job->check = verdict.finish(job->out.data(), job->out.size());
    return job->check.ok() ? 0 : JPEG_ERR_INPUT;
}

}  // namespace

// ---- Python entry points ---------------------------------------------------------

namespace {

int resolve_effort(nb::handle effort) {
    PyObject *idx = PyNumber_Index(effort.ptr());
    if (!idx) throw_current();
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(idx, &overflow);
    Py_DECREF(idx);
    if (v == -1 && PyErr_Occurred()) throw_current();
    if (overflow || v < 1 || v > 10)
        raise_py(PyExc_ValueError, "effort must be an integer from 1 to 10 (got " +
                                       std::string(nb::repr(effort).c_str()) + ")");
    return static_cast<int>(v);
}

nb::object transcode_jpeg(nb::handle src, nb::handle dest, nb::handle effort,
                          nb::handle numthreads, nb::handle keep_metadata, nb::handle verify) {
    TranscodeJob job;
    job.effort = resolve_effort(effort);
    job.threads = resolve_numthreads(numthreads);
    job.exact_threads = !numthreads.is_none();
    job.keep_metadata = truthy(keep_metadata);
    job.verify = truthy(verify);
    JpegOutput output(dest);
    nb::bytes raw = whole_input_bytes(src);
    job.jpeg = reinterpret_cast<const uint8_t *>(raw.c_str());
    job.size = raw.size();
    int rc;
    {
        nb::gil_scoped_release unlocked;
        rc = transcode_nogil(&job);
    }
    if (rc == JPEG_ERR_INPUT) raise_jpeg_check(job.check);
    if (rc != 0) {
        if (job.func && std::strcmp(job.func, "JxlEncoderAddJPEGFrame") == 0)
            raise_add_jpeg_frame(job.status, job.err);
        raise_enc(job.func, job.status, job.err);
    }
    return output.deliver(job.out.data(), job.out.size());
}

nb::object reconstruct_jpeg(nb::handle src, nb::handle dest, nb::handle numthreads,
                            nb::handle max_pixels) {
    ReconstructJob job;
    job.threads = resolve_numthreads(numthreads);
    job.exact_threads = !numthreads.is_none();
    job.max_pixels = resolve_max_pixels(max_pixels);
    JpegOutput output(dest);
    nb::bytes raw = whole_input_bytes(src);
    job.jxl = reinterpret_cast<const uint8_t *>(raw.c_str());
    job.size = raw.size();
    if (!signature_ok(job.jxl, job.size)) raise_py(PyExc_ValueError, "jxl: not a JPEG XL stream");
    int rc;
    {
        nb::gil_scoped_release unlocked;
        rc = reconstruct_nogil(&job);
    }
    switch (rc) {
        case 0:
            break;
        case REC_NO_DATA:
            raise_py(PyExc_ValueError, "jxl: no JPEG reconstruction data in this file");
        case REC_TOO_MANY_PIXELS:
            ok_or_throw(check_max_pixels(job.info, job.max_pixels));
            raise_jxl("jxl: image exceeds max_pixels");
        case REC_TOO_LARGE:
            raise_py(PyExc_ValueError,
                     "jxl: the reconstructed JPEG would exceed " + std::to_string(job.limit) +
                         " bytes (8 per image sample + 16 times the input + 1 MiB); refused as "
                         "a possible decompression bomb");
        case REC_MARKERS_TOO_LARGE:
            raise_py(PyExc_ValueError,
                     "jxl: the JPEG reconstruction data claims " + std::to_string(job.claims) +
                         " bytes of marker data, more than the " + std::to_string(job.limit) +
                         " bytes the whole JPEG may have (8 per image sample + 16 times the "
                         "input + 1 MiB); refused as a possible decompression bomb");
        case REC_TRUNCATED:
            raise_jxl("jxl: truncated stream while reconstructing the JPEG");
        default:
            raise_dec(job.func, job.status);
    }
    return output.deliver(job.out.data(), job.out.size());
}

}  // namespace

void register_jpeg(nb::module_ &m) {
    m.def("transcode_jpeg", &transcode_jpeg, "src"_a.none(), "dest"_a.none() = nb::none(),
          nb::kw_only(), "effort"_a.none() = 7, "numthreads"_a.none() = nb::none(),
          "keep_metadata"_a.none() = true, "verify"_a.none() = true,
          nb::sig("def transcode_jpeg(src: object, dest: object = None, *, effort: int = 7, "
                  "numthreads: int | None = None, keep_metadata: bool = True, "
                  "verify: bool = True) -> bytes | None"),
          "Recompress a JPEG losslessly into JPEG XL.\n\n"
          "`src` is JPEG bytes, a path or a binary file-like. libjxl keeps the\n"
          "JPEG's DCT coefficients as they are (typically 15 to 25 % smaller) and,\n"
          "with `keep_metadata` (the default), its EXIF, XMP and JUMBF in boxes\n"
          "together with the data reconstruct_jpeg() needs to rebuild the original\n"
          "file bit for bit. keep_metadata=False drops the metadata and with it the\n"
          "reconstruction data: the pixels stay exactly those of the JPEG.\n\n"
          "Returns the stream as bytes when `dest` is None; otherwise writes it to\n"
          "the path (atomically: the file appears only when complete) or file-like\n"
          "`dest` and returns None. A stream that is not a JPEG, is truncated or\n"
          "corrupt, or uses a variant libjxl cannot recompress (arithmetic coding,\n"
          "12-bit samples, lossless or hierarchical JPEG, CMYK) raises ValueError\n"
          "naming the reason, and nothing is written. So does a JPEG libjxl would\n"
          "accept but not rebuild bit for bit: `verify` (the default) rebuilds the\n"
          "JPEG from the new stream and compares it with the input, at about half\n"
          "the cost of the recompression. verify=False skips that for callers who\n"
          "accept the risk: only the known causes are checked then (a DC coefficient\n"
          "outside -2047..2047, ICC chunks libjxl cannot put back). A JPEG so much\n"
          "larger than its stream (megabytes of repetitive comments) that\n"
          "reconstruct_jpeg() would refuse to rebuild it is refused either way;\n"
          "with keep_metadata=False, which promises only the pixels, nothing is\n"
          "rebuilt and such a JPEG is recompressed.");
    m.def("reconstruct_jpeg", &reconstruct_jpeg, "src"_a.none(), "dest"_a.none() = nb::none(),
          nb::kw_only(), "numthreads"_a.none() = nb::none(),
          "max_pixels"_a.none() = kDefaultMaxPixels,
          nb::sig("def reconstruct_jpeg(src: object, dest: object = None, *, "
                  "numthreads: int | None = None, max_pixels: int | None = 1073741824) "
                  "-> bytes | None"),
          "Rebuild the original JPEG file from a JPEG XL made by transcode_jpeg().\n\n"
          "`src` is JPEG XL bytes, a path or a binary file-like. Returns the JPEG\n"
          "bytes when `dest` is None; otherwise writes them to the path (atomically)\n"
          "or file-like `dest` and returns None. A file without reconstruction data\n"
          "raises ValueError \"jxl: no JPEG reconstruction data in this file\". An\n"
          "image claiming more than `max_pixels` pixels is refused before decoding;\n"
          "the rebuilt JPEG may not exceed 8 bytes per image sample plus 16 times\n"
          "the input plus 1 MiB (ValueError beyond that, as for a decompression\n"
          "bomb); a damaged or truncated file raises JxlError.");
}

}  // namespace qmjxl
