// EncoderSession: the libjxl encoder's configuration, frames and output.
#include "jxlcore/encoder_session.h"

#include "jxlcore/buffer_cache.h"
#include "jxlcore/verify.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace qmjxl {

namespace {

constexpr size_t kMinOutbuf = 32768;      // smallest initial output buffer
constexpr size_t kOutbufGranule = 65536;  // initial sizes are multiples of this
constexpr size_t kChunkedMinSide = 2048;

Status call_failed(JxlEncoder *enc, const char *call, JxlEncoderStatus st) {
    return Status::EncoderCall(call, st, JxlEncoderGetError(enc));
}

#define QM_ENC_CALL(enc, call, expr)                                \
    do {                                                            \
        const JxlEncoderStatus qm_st_ = (expr);                     \
        if (qm_st_ != JXL_ENC_SUCCESS) return call_failed(enc, call, qm_st_); \
    } while (0)

// libjxl takes extra channels of 8 bits or fewer only as 8-bit samples.
bool narrow_extra(const ExtraSpec &e, JxlDataType type) {
    return type == JXL_TYPE_UINT16 && e.bits && e.bits <= 8;
}

JxlPixelFormat plane_format(const ExtraSpec &e, JxlDataType type) {
    return {1, narrow_extra(e, type) ? JXL_TYPE_UINT8 : type, JXL_NATIVE_ENDIAN, 0};
}

}  // namespace

void EncoderSession::release() noexcept {
    fs_ = nullptr;  // dies with the encoder
    enc_.reset();
    chunked_out_.reset();
    runner_.release();
    out_.free_memory();
}

Status EncoderSession::start() {
    release();
    configured_ = false;
    frames_added_ = 0;
    frames_accepted_ = 0;
    enc_ = JxlEncoderMake(encoder_buffers());
    if (!enc_) return StreamError("JxlEncoderCreate returned NULL");
    if (opt_.num_threads > 1) {
        // Left to the caller's default, the count is chosen from the first frame's size.
        runner_.threads = opt_.auto_threads ? 1 : opt_.num_threads;
        runner_.exact = !opt_.auto_threads;
        QM_ENC_CALL(enc_.get(), "JxlEncoderSetParallelRunner",
                    JxlEncoderSetParallelRunner(enc_.get(), pooled_runner, &runner_));
    }
    return Status::Ok();
}

bool EncoderSession::takes_chunked(int ndim, size_t ysize, size_t xsize, size_t count) const {
    if (opt_.chunked == ChunkedMode::kNever || opt_.animation || configured_ || frames_added_ > 0)
        return false;
    if ((ndim != 2 && ndim != 3) || count == 0) return false;
    return opt_.chunked == ChunkedMode::kAlways || ysize > kChunkedMinSide ||
           xsize > kChunkedMinSide;
}

// ---- configuration -----------------------------------------------------------

Status EncoderSession::configure(FrameConfig config) {
    config_ = std::move(config);
    const FrameConfig &c = config_;
    const bool split = c.channels.split;
    pixel_format_ = {split ? c.channels.ncolor : static_cast<uint32_t>(c.samples), c.sample.type,
                     JXL_NATIVE_ENDIAN, 0};
    if (opt_.auto_threads) runner_.threads = threads_for_size(c.xsize, c.ysize, opt_.num_threads);
    JxlEncoder *enc = enc_.get();
    // Animations and metadata boxes always go in the container.
    const bool container = opt_.container || opt_.animation || meta_.wants_container();
    QM_ENC_CALL(enc, "JxlEncoderUseContainer", JxlEncoderUseContainer(enc, container));
    QM_RETURN_IF_ERROR(set_basic_info());
    if (split) QM_RETURN_IF_ERROR(declare_extra_channels());
    // Before the first frame: ahead of the codestream.
    QM_RETURN_IF_ERROR(add_boxes(enc, meta_.boxes, meta_.compress_boxes));
    QM_RETURN_IF_ERROR(set_color());
    QM_RETURN_IF_ERROR(set_frame_settings());
    // Output buffer: a guess at the compressed size, in whole 64 KiB units.
    const size_t nbytes = c.xsize * c.ysize * c.samples * bytes_per_sample(c.sample.type);
    const size_t estimate = nbytes / (opt_.lossless ? 4 : 16);
    const size_t rounded = (estimate + kOutbufGranule - 1) / kOutbufGranule * kOutbufGranule;
    QM_RETURN_IF_ERROR(out_.reserve(std::max(kMinOutbuf, rounded)));
    configured_ = true;
    return Status::Ok();
}

Status EncoderSession::set_basic_info() {
    const FrameConfig &c = config_;
    const ChannelLayout &ch = c.channels;
    const uint32_t bps = c.sample.bits, exp_bps = c.sample.exponent_bits;
    JxlBasicInfo b;
    JxlEncoderInitBasicInfo(&b);
    b.xsize = static_cast<uint32_t>(c.xsize);
    b.ysize = static_cast<uint32_t>(c.ysize);
    b.bits_per_sample = ch.color_bits ? ch.color_bits : bps;
    b.exponent_bits_per_sample = exp_bps;
    if (ch.split) {
        b.num_color_channels = ch.ncolor;
        b.num_extra_channels = static_cast<uint32_t>(ch.extras.size());
        if (!ch.extras.empty() && ch.extras[0].type == JXL_CHANNEL_ALPHA) {
            b.alpha_bits = ch.extras[0].bits ? ch.extras[0].bits : bps;
            b.alpha_exponent_bits = exp_bps;
            b.alpha_premultiplied = ch.extras[0].premultiplied ? JXL_TRUE : JXL_FALSE;
        }
    } else {
        b.num_color_channels = c.samples <= 2 ? 1 : 3;
        b.num_extra_channels = c.samples == 2 || c.samples == 4 ? 1 : 0;
        if (b.num_extra_channels) {
            b.alpha_bits = bps;
            b.alpha_exponent_bits = exp_bps;
        }
    }
    if (opt_.lossless) b.uses_original_profile = JXL_TRUE;
    meta_.fill_basic_info(b);  // animation: time base and loop count
    if (c.color.given && c.color.hdr) {
        b.uses_original_profile = JXL_TRUE;
        // The nominal peak: 1000 nits for HLG (BT.2100's, libjxl's and
        // cjxl's choice), 10000 for PQ.
        const bool hlg = c.color.encoding.transfer_function == JXL_TRANSFER_FUNCTION_HLG;
        b.intensity_target = hlg ? 1000.0f : 10000.0f;
    }
    const DisplayOptions &d = opt_.display;
    if (d.intensity_target > 0.0f) b.intensity_target = d.intensity_target;
    if (d.min_nits > 0.0f) b.min_nits = d.min_nits;
    if (d.relative_to_max_display >= 0) b.relative_to_max_display = d.relative_to_max_display;
    if (d.linear_below > 0.0f) b.linear_below = d.linear_below;
    QM_ENC_CALL(enc_.get(), "JxlEncoderSetBasicInfo", JxlEncoderSetBasicInfo(enc_.get(), &b));
    return Status::Ok();
}

Status EncoderSession::declare_extra_channels() {
    JxlEncoder *enc = enc_.get();
    const std::vector<ExtraSpec> &extras = config_.channels.extras;
    for (size_t i = 0; i < extras.size(); ++i) {
        const ExtraSpec &e = extras[i];
        JxlExtraChannelInfo info;
        JxlEncoderInitExtraChannelInfo(e.type, &info);
        info.bits_per_sample = e.bits ? e.bits : config_.sample.bits;
        info.exponent_bits_per_sample = config_.sample.exponent_bits;
        info.alpha_premultiplied = e.premultiplied ? JXL_TRUE : JXL_FALSE;
        for (int k = 0; k < 4; ++k) info.spot_color[k] = e.spot_color[k];
        const uint32_t idx = static_cast<uint32_t>(i);
        QM_ENC_CALL(enc, "JxlEncoderSetExtraChannelInfo",
                    JxlEncoderSetExtraChannelInfo(enc, idx, &info));
        if (!e.name.empty())
            QM_ENC_CALL(enc, "JxlEncoderSetExtraChannelName",
                        JxlEncoderSetExtraChannelName(enc, idx, e.name.data(), e.name.size()));
    }
    return Status::Ok();
}

// The ICC profile wins; else the caller's description; else sRGB for 8-bit
// samples and linear sRGB for the rest.
Status EncoderSession::set_color() {
    JxlEncoder *enc = enc_.get();
    const FrameConfig &c = config_;
    const bool gray = c.channels.split ? c.channels.ncolor == 1 : c.samples <= 2;
    const std::string &icc = opt_.icc_profile;
    if (!icc.empty()) {
        // The header's colour space (bytes 16-19) against the pixels: libjxl
        // only says BAD_INPUT for a grey profile on colour or the reverse.
        const bool gray_profile = icc.compare(16, 4, "GRAY") == 0;
        const bool rgb_profile = icc.compare(16, 4, "RGB ") == 0;
        if (gray ? rgb_profile : gray_profile)
            return ValueError(std::string("jxl: icc_profile describes ") + (gray ? "RGB" : "grey") +
                              " colour but the image is " + (gray ? "grey" : "RGB") + "; pass a" +
                              (gray ? " grey" : "n RGB") + " profile, or " +
                              (gray ? "RGB" : "grey") + " pixels");
        QM_ENC_CALL(enc, "JxlEncoderSetICCProfile",
                    JxlEncoderSetICCProfile(enc, reinterpret_cast<const uint8_t *>(icc.data()),
                                            icc.size()));
        return Status::Ok();
    }
    JxlColorEncoding e{};
    if (!c.color.given) {
        if (c.sample.type == JXL_TYPE_UINT8)
            JxlColorEncodingSetToSRGB(&e, gray);
        else
            JxlColorEncodingSetToLinearSRGB(&e, gray);
    } else {
        e = c.color.encoding;
        e.color_space = gray ? JXL_COLOR_SPACE_GRAY : JXL_COLOR_SPACE_RGB;
    }
    QM_ENC_CALL(enc, "JxlEncoderSetColorEncoding", JxlEncoderSetColorEncoding(enc, &e));
    return Status::Ok();
}

Status EncoderSession::set_option(JxlEncoderFrameSettingId id, int64_t value, const char *call) {
    QM_ENC_CALL(enc_.get(), call, JxlEncoderFrameSettingsSetOption(fs_, id, value));
    return Status::Ok();
}

Status EncoderSession::set_frame_settings() {
    JxlEncoder *enc = enc_.get();
    fs_ = JxlEncoderFrameSettingsCreate(enc, nullptr);
    if (!fs_) return StreamError("JxlEncoderFrameSettingsCreate returned NULL");
    if (opt_.lossless)
        QM_ENC_CALL(enc, "JxlEncoderSetFrameLossless", JxlEncoderSetFrameLossless(fs_, JXL_TRUE));
    else
        QM_ENC_CALL(enc, "JxlEncoderSetFrameDistance",
                    JxlEncoderSetFrameDistance(fs_, opt_.distance));
#define QM_OPTION(ID, VALUE) \
    QM_RETURN_IF_ERROR(set_option(JXL_ENC_FRAME_SETTING_##ID, VALUE, "JxlEncoderFrameSettingsSetOption " #ID))
    // Effort 7 is libjxl's own default; the writer's default 5 is always sent.
    if (opt_.effort != 7) QM_OPTION(EFFORT, opt_.effort);
    if (opt_.decoding_speed != 0) QM_OPTION(DECODING_SPEED, opt_.decoding_speed);
    if (opt_.color_transform >= 0) QM_OPTION(COLOR_TRANSFORM, opt_.color_transform);
    if (opt_.modular >= 0) QM_OPTION(MODULAR, opt_.modular);
    if (opt_.progressive) {
        QM_OPTION(RESPONSIVE, 1);
        QM_OPTION(PROGRESSIVE_AC, 1);
        // libjxl streams an image above 2048 pixels a side (and every chunked
        // frame) group by group, which puts DC sections throughout the file:
        // a progressive file is buffered whole, so its DC comes first.
        QM_OPTION(BUFFERING, 0);
    }
    const ChannelLayout &ch = config_.channels;
    // Bands of one scene predict each other: letting the lossless coder look
    // at the previous channels saves 10-35% on (Y, X, N) arrays (measured
    // on photographs made into bands) for about 1.5x the encode time.
    if (ch.split && opt_.lossless && ch.extras.size() >= 2) QM_OPTION(MODULAR_NB_PREV_CHANNELS, 3);
#undef QM_OPTION
    if (ch.codestream_depth) {
        const JxlBitDepth depth = {JXL_BIT_DEPTH_FROM_CODESTREAM, 0, 0};
        QM_ENC_CALL(enc, "JxlEncoderSetFrameBitDepth", JxlEncoderSetFrameBitDepth(fs_, &depth));
    }
    // Lossy extra channels: one distance per extra channel.
    const std::vector<float> &d = config_.extra_distance;
    for (size_t i = 0; i < d.size() && i < ch.extras.size(); ++i) {
        if (!(d[i] >= 0.0f && d[i] <= 25.0f))
            return ValueError("jxl: extra_channel_distance must be between 0 and 25 (got " +
                              std::to_string(d[i]) + ")");
        QM_ENC_CALL(enc, "JxlEncoderSetExtraChannelDistance",
                    JxlEncoderSetExtraChannelDistance(fs_, i, d[i]));
    }
    return Status::Ok();
}

Status EncoderSession::set_frame_header(const FrameHeaderFields &fields) {
    return apply_frame_header(enc_.get(), fs_, fields);
}

Status EncoderSession::use_effort_1() {
    if (opt_.effort == 1) return Status::Ok();
    return set_option(JXL_ENC_FRAME_SETTING_EFFORT, 1, "JxlEncoderFrameSettingsSetOption EFFORT");
}

// ---- frames ------------------------------------------------------------------

// Offers libjxl the free room of the buffer until it reports success,
// growing the buffer when it asks for more.
Status EncoderSession::drain() {
    for (;;) {
        uint8_t *next = out_.data() + out_.size();
        size_t avail = out_.capacity() - out_.size();
        const JxlEncoderStatus st = JxlEncoderProcessOutput(enc_.get(), &next, &avail);
        out_.set_size(out_.capacity() - avail);
        if (st == JXL_ENC_NEED_MORE_OUTPUT) {
            // On failure the old buffer and the bytes already in it stay valid.
            if (!out_.grow(0)) return NoMemory("jxl: failed to grow output buffer");
            continue;
        }
        if (st == JXL_ENC_SUCCESS) return Status::Ok();
        return call_failed(enc_.get(), "JxlEncoderProcessOutput", st);
    }
}

Status EncoderSession::split_frame(const void *pixels, SplitFrame *out) const {
    const std::vector<ExtraSpec> &extras = config_.channels.extras;
    const size_t npix = config_.xsize * config_.ysize;
    const JxlDataType type = pixel_format_.data_type;
    const size_t bytes = bytes_per_sample(type);
    std::unique_ptr<bool[]> narrow(new (std::nothrow) bool[extras.size() + 1]);
    std::vector<uint8_t *> ptrs;
    try {
        if (!narrow) throw std::bad_alloc();
        out->color.resize(npix * config_.channels.ncolor * bytes);
        out->planes.resize(extras.size());
        for (size_t k = 0; k < extras.size(); ++k) {
            narrow[k] = narrow_extra(extras[k], type);
            out->planes[k].resize(npix * (narrow[k] ? 1 : bytes));
            out->formats.push_back(plane_format(extras[k], type));
            ptrs.push_back(out->planes[k].data());
        }
    } catch (const std::bad_alloc &) {
        return NoMemory("jxl: no memory to split the frame's channels");
    }
    split_channels_nogil(static_cast<const uint8_t *>(pixels), npix, config_.samples, bytes,
                         config_.channels.ncolor, out->color.data(), ptrs.data(), narrow.get());
    return Status::Ok();
}

// The frame (its colour when split) and then each extra channel's plane.
Status EncoderSession::add_image(const void *pixels, size_t nbytes, const SplitFrame &split) {
    JxlEncoderStatus st = JxlEncoderAddImageFrame(fs_, &pixel_format_, pixels, nbytes);
    for (size_t k = 0; st == JXL_ENC_SUCCESS && k < split.planes.size(); ++k)
        st = JxlEncoderSetExtraChannelBuffer(fs_, &split.formats[k], split.planes[k].data(),
                                             split.planes[k].size(), static_cast<uint32_t>(k));
    if (st == JXL_ENC_SUCCESS) return Status::Ok();
    return call_failed(enc_.get(), "JxlEncoderAddImageFrame", st);
}

Status EncoderSession::add_frame(const void *pixels, size_t nbytes, bool last) {
    SplitFrame split;
    if (config_.channels.split) {
        QM_RETURN_IF_ERROR(split_frame(pixels, &split));
        pixels = split.color.data();
        nbytes = split.color.size();
    }
    Status s = Status::Ok();
    if (!last && frames_added_ > 0) s = drain();
    bool refused = false;
    if (s.ok()) {
        s = add_image(pixels, nbytes, split);
        refused = !s.ok();
    }
    ++frames_added_;  // a refused frame counts too
    if (!refused) ++frames_accepted_;
    if (s.ok() && last) {
        JxlEncoderCloseInput(enc_.get());
        s = drain();
    }
    return s;
}

Status EncoderSession::add_chunked(const FrameLayout &frame) {
    JxlEncoder *enc = enc_.get();
    // A path's temporary file gets each byte where libjxl puts it; bytes and
    // file-likes get the stream from memory, as from the frame-at-once path.
    if (out_.is_file()) out_.free_memory();
    chunked_out_ = std::make_unique<ChunkedSink>(&out_);
    QM_ENC_CALL(enc, "JxlEncoderSetOutputProcessor",
                JxlEncoderSetOutputProcessor(enc, chunked_out_->processor()));
    std::vector<JxlPixelFormat> extras;
    for (const ExtraSpec &e : config_.channels.extras)
        extras.push_back(plane_format(e, pixel_format_.data_type));
    ChunkedSource source(frame, pixel_format_,
                         config_.channels.split ? config_.channels.ncolor : 0, std::move(extras));
    QM_RETURN_IF_ERROR(source.reserve());
    const JxlEncoderStatus st = JxlEncoderAddChunkedFrame(fs_, JXL_TRUE, source.callbacks());
    ++frames_added_;  // a refused frame counts too
    const int err = chunked_out_->error();
    if (err == ENOMEM || source.out_of_memory())
        return NoMemory("jxl: no memory to encode the frame");
    if (err) return Status::Os(err, out_.target());  // only a path's file is written now
    if (st != JXL_ENC_SUCCESS) return call_failed(enc, "JxlEncoderAddChunkedFrame", st);
    ++frames_accepted_;
    return Status::Ok();
}

bool EncoderSession::stream_matches(const void *pixels, size_t nbytes) const {
    return fast_lossless_sound() ||
           decodes_to_nogil(out_.data(), out_.size(), pixel_format_, pixels, nbytes);
}

Status EncoderSession::remake_still(int effort, const FrameHeaderFields &header,
                                    const void *pixels, size_t nbytes) {
    FrameConfig config = config_;
    QM_RETURN_IF_ERROR(start());
    opt_.effort = effort;
    QM_RETURN_IF_ERROR(configure(std::move(config)));
    QM_RETURN_IF_ERROR(set_frame_header(header));
    return add_frame(pixels, nbytes, true);
}

Status EncoderSession::finish() {
    // A chunked frame was the whole stream, written when it was added.
    if (chunked_out_) return Status::Ok();
    JxlEncoderCloseInput(enc_.get());
    return drain();
}

// ---- JPEG --------------------------------------------------------------------

Status EncoderSession::configure_jpeg(size_t jpeg_size) {
    // The JPEG's size is not known here: the default count, as transcode_jpeg.
    if (opt_.auto_threads) runner_.threads = opt_.num_threads;
    // As transcode_jpeg: the container with reconstruction data, the JPEG's
    // own metadata, Brotli effort 9; the writer's effort.
    JxlEncoder *enc = enc_.get();
    QM_ENC_CALL(enc, "JxlEncoderUseContainer", JxlEncoderUseContainer(enc, JXL_TRUE));
    QM_ENC_CALL(enc, "JxlEncoderStoreJPEGMetadata", JxlEncoderStoreJPEGMetadata(enc, JXL_TRUE));
    fs_ = JxlEncoderFrameSettingsCreate(enc, nullptr);
    if (!fs_) return StreamError("JxlEncoderFrameSettingsCreate returned NULL");
    QM_RETURN_IF_ERROR(set_option(JXL_ENC_FRAME_SETTING_EFFORT, opt_.effort,
                                  "JxlEncoderFrameSettingsSetOption EFFORT"));
    QM_RETURN_IF_ERROR(set_option(JXL_ENC_FRAME_SETTING_BROTLI_EFFORT, 9,
                                  "JxlEncoderFrameSettingsSetOption BROTLI_EFFORT"));
    QM_RETURN_IF_ERROR(
        out_.reserve((jpeg_size + kOutbufGranule) / kOutbufGranule * kOutbufGranule));
    configured_ = true;
    return Status::Ok();
}

void EncoderSession::count_frame(bool accepted) {
    ++frames_added_;
    if (accepted) ++frames_accepted_;
}

}  // namespace qmjxl
