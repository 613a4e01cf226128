// Lossless JPEG recompression and reconstruction of the original JPEG file
// (see jpeg.h).
#include "jxlcore/jpeg.h"
#include "jxlcore/runner.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <system_error>
#include <utility>

namespace qmjxl {

Status jpeg_check_status(const JpegCheck &c) {
    switch (c.kind) {
        case JpegCheck::kOk:
            return Status::Ok();
        case JpegCheck::kNotJpeg:
            return ValueError("jxl: not a JPEG stream");
        case JpegCheck::kTruncated:
            return ValueError("jxl: truncated JPEG stream (" + c.reason + ")");
        case JpegCheck::kCorrupt:
            return ValueError("jxl: corrupt JPEG stream (" + c.reason + ")");
        case JpegCheck::kUnsupported:
            return ValueError("jxl: this JPEG cannot be recompressed losslessly: " + c.reason +
                              " is not supported by libjxl");
        case JpegCheck::kNotLossless:
            return ValueError("jxl: this JPEG cannot be recompressed losslessly: " + c.reason);
    }
    return ValueError("jxl: this JPEG cannot be recompressed losslessly");
}

Status add_jpeg_frame(JxlEncoder *enc, JxlEncoderFrameSettings *fs, const uint8_t *jpeg,
                      size_t size) {
    const JxlEncoderStatus st = JxlEncoderAddJPEGFrame(fs, jpeg, size);
    if (st == JXL_ENC_SUCCESS) return Status::Ok();
    const JxlEncoderError err = JxlEncoderGetError(enc);
    if (err == JXL_ENC_ERR_BAD_INPUT)
        return ValueError(
            "jxl: corrupt or unsupported JPEG stream (libjxl could not read its coefficients or "
            "its ICC profile)");
    if (err == JXL_ENC_ERR_JBRD)
        return ValueError(
            "jxl: this JPEG cannot be recompressed losslessly: libjxl cannot store the data to "
            "rebuild it (a layout it does not keep, such as four quantisation tables)");
    return Status::EncoderCall("JxlEncoderAddJPEGFrame", st, err);
}

uint64_t reconstruction_limit(size_t jxl_size, const JxlBasicInfo &info) {
    // Coefficients cost at most about 3.3 bytes per sample in a baseline
    // JPEG (6.5 with every byte stuffed); markers, ICC, EXIF and XMP come
    // from the file itself, possibly Brotli-compressed.
    const uint64_t samples = uint64_t{info.xsize} * info.ysize * std::max(1u, info.num_color_channels);
    return 8 * samples + 16 * uint64_t{jxl_size} + (uint64_t{1} << 20);
}

// ---- reconstruction --------------------------------------------------------

namespace {

constexpr size_t kOutGranule = 65536;

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

std::string budget_terms() {
    return "(8 per image sample + 16 times the input + 1 MiB); refused as a possible "
           "decompression bomb";
}

// One reconstruction: libjxl's decoder fed the whole file, its JPEG buffer
// grown within the budget until the JPEG is complete.
class JpegRebuilder {
public:
    JpegRebuilder(const uint8_t *jxl, size_t size, const ReconstructOptions &opt)
        : jxl_(jxl), size_(size), opt_(opt) {}

    // The JPEG into `out`, or why there is none; `over_budget` is set when
    // it was refused for its size.
    Status run(ByteSink &out, bool *over_budget);

private:
    Status check_marker_claims();
    Status start_decoder();
    Status on_basic_info();
    // Gives libjxl the rest of a buffer grown to at least `want` bytes.
    Status offer(size_t want);
    Status too_large() {
        *over_budget_ = true;
        return ValueError("jxl: the reconstructed JPEG would exceed " + std::to_string(limit_) +
                          " bytes " + budget_terms());
    }
    // The bytes libjxl wrote into the buffer it gives back.
    void take_back_buffer() { out_->set_size(offered_ - JxlDecoderReleaseJPEGBuffer(dec_.get())); }

    const uint8_t *jxl_;
    size_t size_;
    const ReconstructOptions &opt_;
    bool *over_budget_ = nullptr;
    RunnerRequest runner_;  // outlives the decoder
    JxlDecoderPtr dec_;
    ByteSink *out_ = nullptr;
    size_t offered_ = 0;  // end of the buffer libjxl was last given
    uint64_t limit_ = 0;
};

Status JpegRebuilder::check_marker_claims() {
    // The claims are held to the budget of the whole JPEG before libjxl
    // allocates them; the pixel count is read only for large claims.
    const uint64_t claims = jbrd_marker_claims(jxl_, size_);
    if (claims <= reconstruction_limit(size_, JxlBasicInfo{})) return Status::Ok();
    JxlBasicInfo info{};
    if (!read_basic_info(jxl_, size_, &info)) info = JxlBasicInfo{};
    limit_ = reconstruction_limit(size_, info);
    if (claims <= limit_) return Status::Ok();
    *over_budget_ = true;
    return ValueError("jxl: the JPEG reconstruction data claims " + std::to_string(claims) +
                      " bytes of marker data, more than the " + std::to_string(limit_) +
                      " bytes the whole JPEG may have " + budget_terms());
}

Status JpegRebuilder::start_decoder() {
    dec_ = JxlDecoderMake(nullptr);
    JxlDecoder *dec = dec_.get();
    if (!dec) return Status::DecoderCall("JxlDecoderCreate", JXL_DEC_ERROR);
    // With numthreads=None the count is chosen once the header gives the size.
    if (opt_.threads > 1) {
        runner_.threads = opt_.exact_threads ? opt_.threads : 1;
        runner_.exact = opt_.exact_threads;
        const JxlDecoderStatus st = JxlDecoderSetParallelRunner(dec, pooled_runner, &runner_);
        if (st != JXL_DEC_SUCCESS) return Status::DecoderCall("JxlDecoderSetParallelRunner", st);
    }
    JxlDecoderStatus st = JxlDecoderSubscribeEvents(
        dec, JXL_DEC_BASIC_INFO | JXL_DEC_JPEG_RECONSTRUCTION | JXL_DEC_FULL_IMAGE);
    if (st != JXL_DEC_SUCCESS) return Status::DecoderCall("JxlDecoderSubscribeEvents", st);
    // The input is not closed: the whole file is there, so a request for
    // more means it was cut short.
    st = JxlDecoderSetInput(dec, jxl_, size_);
    if (st != JXL_DEC_SUCCESS) return Status::DecoderCall("JxlDecoderSetInput", st);
    return Status::Ok();
}

Status JpegRebuilder::on_basic_info() {
    JxlBasicInfo info{};
    const JxlDecoderStatus st = JxlDecoderGetBasicInfo(dec_.get(), &info);
    if (st != JXL_DEC_SUCCESS) return Status::DecoderCall("JxlDecoderGetBasicInfo", st);
    QM_RETURN_IF_ERROR(check_max_pixels(info, opt_.max_pixels));
    limit_ = reconstruction_limit(size_, info);
    if (!opt_.exact_threads) runner_.threads = threads_for_size(info.xsize, info.ysize, opt_.threads);
    return Status::Ok();
}

Status JpegRebuilder::offer(size_t want) {
    want = std::min<uint64_t>(want, limit_);
    if (want <= out_->size()) return too_large();
    QM_RETURN_IF_ERROR(out_->reserve(want));
    offered_ = want;
    const size_t used = out_->size();
    const JxlDecoderStatus st = JxlDecoderSetJPEGBuffer(dec_.get(), out_->data() + used, want - used);
    return st == JXL_DEC_SUCCESS ? Status::Ok() : Status::DecoderCall("JxlDecoderSetJPEGBuffer", st);
}

Status JpegRebuilder::run(ByteSink &out, bool *over_budget) {
    out_ = &out;
    out_->clear();
    over_budget_ = over_budget;
    QM_RETURN_IF_ERROR(check_marker_claims());
    QM_RETURN_IF_ERROR(start_decoder());
    bool reconstructing = false;
    for (;;) {
        const JxlDecoderStatus st = JxlDecoderProcessInput(dec_.get());
        if (st == JXL_DEC_BASIC_INFO) {
            QM_RETURN_IF_ERROR(on_basic_info());
        } else if (st == JXL_DEC_JPEG_RECONSTRUCTION) {
            reconstructing = true;
            // A reconstruction box ahead of the codestream comes before the
            // basic info: the budget then comes from a header-only decode.
            if (!limit_) {
                JxlBasicInfo info{};
                if (!read_basic_info(jxl_, size_, &info)) info = JxlBasicInfo{};
                limit_ = reconstruction_limit(size_, info);
            }
            // A JPEG is usually 1.1 to 1.3 times its recompressed size.
            QM_RETURN_IF_ERROR(offer(size_ + size_ / 2 + kOutGranule));
        } else if (st == JXL_DEC_JPEG_NEED_MORE_OUTPUT) {
            take_back_buffer();
            // libjxl asks again before the rest is full when its next piece
            // does not fit: only a larger buffer makes progress.
            if (offered_ >= limit_) return too_large();
            QM_RETURN_IF_ERROR(offer(offered_ + std::max(offered_ / 2, kOutGranule)));
        } else if (st == JXL_DEC_FULL_IMAGE || (st == JXL_DEC_SUCCESS && reconstructing)) {
            // One image is all a reconstructable file holds.
            take_back_buffer();
            return Status::Ok();
        } else if (st == JXL_DEC_NEED_IMAGE_OUT_BUFFER || st == JXL_DEC_SUCCESS) {
            // libjxl wants pixels only when it has nothing to rebuild a JPEG from.
            if (!reconstructing) return ValueError("jxl: no JPEG reconstruction data in this file");
            return Status::DecoderCall("JxlDecoderProcessInput", st);
        } else if (st == JXL_DEC_NEED_MORE_INPUT) {
            return StreamError("jxl: truncated stream while reconstructing the JPEG");
        } else {
            // JXL_DEC_ERROR, or an event this loop did not subscribe to.
            return Status::DecoderCall("JxlDecoderProcessInput", st);
        }
    }
}

}  // namespace

Status reconstruct_jpeg(const uint8_t *jxl, size_t size, const ReconstructOptions &opt,
                        ByteSink &out) {
    bool over_budget = false;
    return JpegRebuilder(jxl, size, opt).run(out, &over_budget);
}

// ---- recompression ---------------------------------------------------------

namespace {

// Drains the encoder into `out`, growing it as libjxl asks.
Status drain_encoder(JxlEncoder *enc, ByteSink &out) {
    if (out.capacity() - out.size() < kOutGranule) QM_RETURN_IF_ERROR(out.reserve(out.size() + kOutGranule));
    for (;;) {
        uint8_t *next = out.data() + out.size();
        size_t avail = out.capacity() - out.size();
        const JxlEncoderStatus st = JxlEncoderProcessOutput(enc, &next, &avail);
        out.set_size(out.capacity() - avail);
        if (st == JXL_ENC_SUCCESS) return Status::Ok();
        if (st != JXL_ENC_NEED_MORE_OUTPUT)
            return Status::EncoderCall("JxlEncoderProcessOutput", st, JxlEncoderGetError(enc));
        QM_RETURN_IF_ERROR(out.reserve(out.size() + std::max(out.size() / 2, kOutGranule)));
    }
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

Status JpegVerdict::start() {
    // With verification the rebuild judges the coefficients: the DC check
    // runs only to name what a failed rebuild lost.
    const bool dc_in_line = reconstructable_ && !aside_ && !verify_;
    JpegCheck walk = inspect_jpeg(jpeg_, size_, dc_in_line, reconstructable_);
    if (reconstructable_ && !dc_in_line && walk.kind == JpegCheck::kNotLossless) {
        // A clamped DC value is named before what the walk found, wherever
        // the DC check would have run.
        JpegCheck c = dc();
        return jpeg_check_status(c.ok() ? walk : c);
    }
    if (!walk.ok() || !reconstructable_ || verify_) return jpeg_check_status(walk);
    if (!aside_) {
        dc_ = walk;
        dc_done_ = true;
        return Status::Ok();
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
    return Status::Ok();
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

Status JpegVerdict::dc_refusal() {
    return reconstructable_ ? jpeg_check_status(dc()) : Status::Ok();
}

Status JpegVerdict::finish(const uint8_t *jxl, size_t jxl_size) {
    return reconstructable_ ? jpeg_check_status(rebuild_verdict(jxl, jxl_size)) : Status::Ok();
}

JpegCheck JpegVerdict::rebuild_verdict(const uint8_t *jxl, size_t jxl_size) {
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
    ReconstructOptions opt;
    opt.threads = threads_;
    opt.exact_threads = exact_threads_;
    opt.max_pixels = 0;
    bool refused_for_size = false;
    ByteSink out;
    const Status rebuilt = JpegRebuilder(jxl, jxl_size, opt).run(out, &refused_for_size);
    size_t at = 0;
    if (rebuilt.ok()) {
        at = std::mismatch(jpeg_, jpeg_ + std::min(size_, out.size()), out.data()).first - jpeg_;
        if (at == size_ && out.size() == size_) return {};
    }
    if (verify_) {
        JpegCheck c = dc();
        if (!c.ok()) return c;
    }
    if (refused_for_size)
        return {JpegCheck::kNotLossless,
                "it is too large for its recompressed size (" + std::to_string(size_) +
                    " bytes from " + std::to_string(jxl_size) +
                    "): reconstruct_jpeg would refuse to rebuild it",
                false};
    if (rebuilt.ok())
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

// The encoder's settings for a JPEG frame, as cjxl --lossless_jpeg=1 makes
// them; the frame settings to add the JPEG with in `*fs`.
Status configure_jpeg_encoder(JxlEncoder *enc, const RecompressOptions &opt, RunnerRequest *runner,
                              JxlEncoderFrameSettings **fs) {
    auto failed = [enc](const char *call, JxlEncoderStatus st) {
        return Status::EncoderCall(call, st, JxlEncoderGetError(enc));
    };
    if (opt.threads > 1) {
        runner->threads = opt.threads;
        runner->exact = opt.exact_threads;
        const JxlEncoderStatus st = JxlEncoderSetParallelRunner(enc, pooled_runner, runner);
        if (st != JXL_ENC_SUCCESS) return failed("JxlEncoderSetParallelRunner", st);
    }
    // Reconstruction needs the JPEG's EXIF and XMP, so it comes with them;
    // without metadata the stream keeps the coefficients only.
    JxlEncoderStatus st = JxlEncoderUseContainer(enc, opt.keep_metadata ? JXL_TRUE : JXL_FALSE);
    if (st != JXL_ENC_SUCCESS) return failed("JxlEncoderUseContainer", st);
    if (opt.keep_metadata) {
        st = JxlEncoderStoreJPEGMetadata(enc, JXL_TRUE);
        if (st != JXL_ENC_SUCCESS) return failed("JxlEncoderStoreJPEGMetadata", st);
    }
    *fs = JxlEncoderFrameSettingsCreate(enc, nullptr);
    if (!*fs) return failed("JxlEncoderFrameSettingsCreate", JXL_ENC_ERROR);
    const std::pair<JxlEncoderFrameSettingId, int64_t> options[] = {
        {JXL_ENC_FRAME_SETTING_EFFORT, opt.effort},
        // libjxl's command-line encoder compresses the reconstruction data
        // and metadata boxes this hard; the same streams come out.
        {JXL_ENC_FRAME_SETTING_BROTLI_EFFORT, 9},
        {JXL_ENC_FRAME_SETTING_JPEG_KEEP_EXIF, opt.keep_metadata},
        {JXL_ENC_FRAME_SETTING_JPEG_KEEP_XMP, opt.keep_metadata},
        {JXL_ENC_FRAME_SETTING_JPEG_KEEP_JUMBF, opt.keep_metadata},
    };
    for (const auto &[id, value] : options) {
        st = JxlEncoderFrameSettingsSetOption(*fs, id, value);
        if (st != JXL_ENC_SUCCESS) return failed("JxlEncoderFrameSettingsSetOption", st);
    }
    return Status::Ok();
}

// `libjxl_failure`, unless the DC check names the JPEG's fault.
Status refusal_or(JpegVerdict &verdict, Status libjxl_failure) {
    Status refusal = verdict.dc_refusal();
    return refusal.ok() ? libjxl_failure : refusal;
}

}  // namespace

Status recompress_jpeg(const uint8_t *jpeg, size_t size, const RecompressOptions &opt,
                       ByteSink &out) {
    JpegVerdict verdict(jpeg, size, opt.keep_metadata, opt.verify, opt.threads, opt.exact_threads);
    QM_RETURN_IF_ERROR(verdict.start());
    RunnerRequest runner;  // outlives the encoder
    JxlEncoderPtr encp = JxlEncoderMake(nullptr);
    JxlEncoder *enc = encp.get();
    if (!enc) return Status::EncoderCall("JxlEncoderCreate", JXL_ENC_ERROR, -1);
    JxlEncoderFrameSettings *fs = nullptr;
    QM_RETURN_IF_ERROR(configure_jpeg_encoder(enc, opt, &runner, &fs));
    if (Status added = add_jpeg_frame(enc, fs, jpeg, size); !added.ok())
        return refusal_or(verdict, std::move(added));
    JxlEncoderCloseInput(enc);
    // The stream is usually 75 to 90 % of the JPEG.
    out.clear();
    QM_RETURN_IF_ERROR(out.reserve(size + kOutGranule));
    if (Status drained = drain_encoder(enc, out); !drained.ok())
        return refusal_or(verdict, std::move(drained));
    return verdict.finish(out.data(), out.size());
}

}  // namespace qmjxl
