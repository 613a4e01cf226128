// jxlbench_direct: the lower bound for quillmarsh's JPEG XL wrapper. Each
// subcommand makes the same libjxl calls as the module does for one job, on
// the same bytes, with the same worker count, and prints per-run wall times
// as one JSON object on stdout.
//
//   decode  --in F [--index K] [--out F]   all frames (or frame K) into arrays
//   flush   --in F [--target 8]            stop each frame at its first
//                                          progression point <= target
//   count   --in F                         count frames, no pixels
//   encode  --raw F --width W --height H [--channels C] [--dtype u8|u16]
//           [--frames T] [--animation] [--container] [--lossless |
//           --distance D] [--effort E] [--progressive] [--out F]
//   jpeg-transcode   --in F.jpg [--effort E] [--out F]   lossless recompression
//   jpeg-reconstruct --in F.jxl [--out F]                the original JPEG back
// common:   --threads N (1 = no runner)  --repeat R  --warmup W
//           --out F: the last run's stream (encode) or raw pixels (decode)
//           --mem (one run, no warm-up; report RSS before and peak RSS after)
//
// Output buffers are malloc'd per run and, from 4 MiB up, advised for huge
// pages exactly as NumPy does for its array data, so both sides pay the same
// page-fault cost.

#include <jxl/decode.h>
#include <jxl/decode_cxx.h>
#include <jxl/encode.h>
#include <jxl/encode_cxx.h>
#include <jxl/thread_parallel_runner.h>
#include <jxl/thread_parallel_runner_cxx.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

[[noreturn]] void die(const std::string &msg) {
    std::fprintf(stderr, "jxlbench_direct: %s\n", msg.c_str());
    std::exit(1);
}

struct Args {
    std::string cmd;
    std::map<std::string, std::string> kv;
    bool flag(const char *k) const { return kv.count(k) != 0; }
    std::string str(const char *k, const char *def = nullptr) const {
        auto it = kv.find(k);
        if (it != kv.end()) return it->second;
        if (!def) die(std::string("missing --") + k);
        return def;
    }
    long num(const char *k, long def) const {
        auto it = kv.find(k);
        return it == kv.end() ? def : std::strtol(it->second.c_str(), nullptr, 10);
    }
    double real(const char *k, double def) const {
        auto it = kv.find(k);
        return it == kv.end() ? def : std::strtod(it->second.c_str(), nullptr);
    }
};

Args parse_args(int argc, char **argv) {
    static const char *kFlags[] = {"mem", "animation", "container", "lossless", "progressive"};
    Args a;
    if (argc < 2) die("usage: jxlbench_direct decode|flush|count|encode|jpeg-transcode|jpeg-reconstruct [--opt value ...]");
    a.cmd = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::string k = argv[i];
        if (k.rfind("--", 0) != 0) die("unexpected argument " + k);
        k = k.substr(2);
        bool is_flag = std::find_if(std::begin(kFlags), std::end(kFlags), [&](const char *f) {
                           return k == f;
                       }) != std::end(kFlags);
        if (is_flag) {
            a.kv[k] = "1";
        } else {
            if (i + 1 >= argc) die("--" + k + " needs a value");
            a.kv[k] = argv[++i];
        }
    }
    return a;
}

// One allocation of the exact size: a growing vector would briefly hold two
// copies of the input.
std::vector<uint8_t> read_file(const std::string &path) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) die("cannot open " + path);
    struct stat st;
    if (fstat(fileno(f), &st) != 0) die("cannot stat " + path);
    std::vector<uint8_t> buf(static_cast<size_t>(st.st_size));
    if (!buf.empty() && std::fread(buf.data(), 1, buf.size(), f) != buf.size())
        die("short read from " + path);
    std::fclose(f);
    return buf;
}

// Peak memory of this address space. ru_maxrss would do, but Linux carries
// it over from the launching process through fork/exec, so a benchmark
// harness holding large arrays would mask the job's own peak. VmHWM belongs
// to the current address space and can be reset to the current RSS by writing
// 5 to /proc/self/clear_refs, which makes the baseline exact.
long status_kib(const char *field) {
    FILE *f = std::fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long v = -1;
    size_t n = std::strlen(field);
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, field, n) == 0) v = std::strtol(line + n, nullptr, 10);
    std::fclose(f);
    return v;
}

bool reset_peak_rss() {
    FILE *f = std::fopen("/proc/self/clear_refs", "w");
    if (!f) return false;
    bool ok = std::fputs("5", f) >= 0;
    return std::fclose(f) == 0 && ok;
}

// malloc plus NumPy's huge-page advice for large blocks.
void *alloc_pixels(size_t n) {
    void *p = std::malloc(n ? n : 1);
    if (!p) die("out of memory");
#ifdef MADV_HUGEPAGE
    if (n >= (size_t{1} << 22)) {
        uintptr_t offset = 4096u - reinterpret_cast<uintptr_t>(p) % 4096u;
        madvise(static_cast<char *>(p) + offset, n - offset, MADV_HUGEPAGE);
    }
#endif
    return p;
}

// CPU seconds of the whole process (all threads) so far: under load the
// wall clock mostly measures waiting for a core, this the work done.
double process_cpu_seconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// ---- decoder side ----------------------------------------------------------

// The module's output format: the stream's sample type widened to the next of
// uint8/uint16/float16/float32, interleaved, native endian, packed rows.
struct OutFormat {
    JxlPixelFormat pf{};
    JxlBitDepth bd{};
    size_t frame_bytes = 0;
};

OutFormat out_format(const JxlBasicInfo &info) {
    OutFormat o;
    size_t samples = info.num_color_channels + (info.num_extra_channels > 0 && info.alpha_bits ? 1 : 0);
    size_t bps;
    if (info.exponent_bits_per_sample) {
        o.pf.data_type = info.bits_per_sample == 16 ? JXL_TYPE_FLOAT16 : JXL_TYPE_FLOAT;
        o.bd.type = JXL_BIT_DEPTH_FROM_PIXEL_FORMAT;
        bps = info.bits_per_sample == 16 ? 2 : 4;
    } else if (info.bits_per_sample <= 8) {
        o.pf.data_type = JXL_TYPE_UINT8;
        o.bd.type = JXL_BIT_DEPTH_FROM_CODESTREAM;
        bps = 1;
    } else if (info.bits_per_sample <= 16) {
        o.pf.data_type = JXL_TYPE_UINT16;
        o.bd.type = JXL_BIT_DEPTH_FROM_CODESTREAM;
        bps = 2;
    } else {
        o.pf.data_type = JXL_TYPE_FLOAT;
        o.bd.type = JXL_BIT_DEPTH_FROM_PIXEL_FORMAT;
        bps = 4;
    }
    o.pf.num_channels = static_cast<uint32_t>(samples);
    o.pf.endianness = JXL_NATIVE_ENDIAN;
    o.pf.align = 0;
    o.frame_bytes = samples * bps * size_t{info.xsize} * info.ysize;
    return o;
}

struct Decoder {
    JxlDecoderPtr dec;
    JxlThreadParallelRunnerPtr runner;
};

Decoder make_decoder(const std::vector<uint8_t> &data, size_t threads, int events) {
    Decoder d;
    d.dec = JxlDecoderMake(nullptr);
    if (!d.dec) die("JxlDecoderCreate returned NULL");
    if (threads > 1) {
        d.runner = JxlThreadParallelRunnerMake(nullptr, threads);
        if (!d.runner) die("JxlThreadParallelRunnerCreate returned NULL");
        if (JxlDecoderSetParallelRunner(d.dec.get(), JxlThreadParallelRunner, d.runner.get()) !=
            JXL_DEC_SUCCESS)
            die("JxlDecoderSetParallelRunner failed");
    }
    if (JxlDecoderSubscribeEvents(d.dec.get(), events) != JXL_DEC_SUCCESS)
        die("JxlDecoderSubscribeEvents failed");
    if (JxlDecoderSetInput(d.dec.get(), data.data(), data.size()) != JXL_DEC_SUCCESS)
        die("JxlDecoderSetInput failed");
    return d;
}

void set_out_buffer(JxlDecoder *dec, const OutFormat &o, void *buf) {
    size_t need = 0;
    if (JxlDecoderImageOutBufferSize(dec, &o.pf, &need) != JXL_DEC_SUCCESS)
        die("JxlDecoderImageOutBufferSize failed");
    if (need != o.frame_bytes) die("out buffer size mismatch");
    if (JxlDecoderSetImageOutBuffer(dec, &o.pf, buf, o.frame_bytes) != JXL_DEC_SUCCESS)
        die("JxlDecoderSetImageOutBuffer failed");
    if (o.bd.type == JXL_BIT_DEPTH_FROM_CODESTREAM &&
        JxlDecoderSetImageOutBitDepth(dec, &o.bd) != JXL_DEC_SUCCESS)
        die("JxlDecoderSetImageOutBitDepth failed");
}

struct Outcome {
    size_t frames = 0;
    size_t out_bytes = 0;
    std::vector<size_t> ratios;  // flush: ratio used per frame (0 = completed normally)
};

// Full decode: every frame (index < 0) into its own slot of one stack, as the
// module's decode() delivers it, or only frame `index` after skipping the
// earlier ones at parse cost.
Outcome run_decode(const std::vector<uint8_t> &data, size_t threads, long index,
                   std::vector<uint8_t> *keep) {
    Decoder d = make_decoder(data, threads, JXL_DEC_BASIC_INFO | JXL_DEC_FULL_IMAGE);
    if (index > 0) JxlDecoderSkipFrames(d.dec.get(), static_cast<size_t>(index));
    JxlDecoder *dec = d.dec.get();
    OutFormat o;
    std::vector<void *> frames;
    Outcome r;
    void *cur = nullptr;
    bool done = false;
    while (!done) {
        JxlDecoderStatus st = JxlDecoderProcessInput(dec);
        switch (st) {
            case JXL_DEC_BASIC_INFO: {
                JxlBasicInfo info;
                if (JxlDecoderGetBasicInfo(dec, &info) != JXL_DEC_SUCCESS)
                    die("JxlDecoderGetBasicInfo failed");
                o = out_format(info);
                break;
            }
            case JXL_DEC_NEED_IMAGE_OUT_BUFFER:
                if (cur) die("double allocation");
                cur = alloc_pixels(o.frame_bytes);
                set_out_buffer(dec, o, cur);
                break;
            case JXL_DEC_FULL_IMAGE:
                frames.push_back(cur);
                cur = nullptr;
                if (index >= 0) done = true;
                break;
            case JXL_DEC_SUCCESS:
                done = true;
                break;
            case JXL_DEC_NEED_MORE_INPUT:
                die("truncated stream");
            case JXL_DEC_ERROR:
                die("JxlDecoderProcessInput returned JXL_DEC_ERROR");
            default:
                break;
        }
    }
    r.frames = frames.size();
    r.out_bytes = frames.size() * o.frame_bytes;
    if (keep) keep->clear();
    for (void *p : frames) {
        if (keep) keep->insert(keep->end(), static_cast<uint8_t *>(p), static_cast<uint8_t *>(p) + o.frame_bytes);
        std::free(p);
    }
    std::free(cur);
    return r;
}

// Every eighth (or ratio-th) pixel of a full-size frame: the strided copy the
// module hands out for downsampled frames.
void subsample(const uint8_t *src, const JxlBasicInfo &info, const OutFormat &o, size_t n,
               std::vector<uint8_t> *dst) {
    size_t px = o.frame_bytes / (size_t{info.xsize} * info.ysize);
    size_t oy = (info.ysize + n - 1) / n, ox = (info.xsize + n - 1) / n;
    dst->resize(oy * ox * px);
    uint8_t *d = dst->data();
    for (size_t y = 0; y < info.ysize; y += n) {
        const uint8_t *row = src + y * info.xsize * px;
        for (size_t x = 0; x < info.xsize; x += n, d += px) std::memcpy(d, row + x * px, px);
    }
}

// Progressive path: at the first progression point whose intended ratio is in
// 1..target, flush the coarse rendering into the full-size buffer and skip the
// rest of the frame; frames without such a point complete normally.
Outcome run_flush(const std::vector<uint8_t> &data, size_t threads, size_t target) {
    Decoder d = make_decoder(data, threads,
                             JXL_DEC_BASIC_INFO | JXL_DEC_FULL_IMAGE | JXL_DEC_FRAME_PROGRESSION);
    JxlDecoder *dec = d.dec.get();
    if (JxlDecoderSetProgressiveDetail(dec, kLastPasses) != JXL_DEC_SUCCESS)
        die("JxlDecoderSetProgressiveDetail failed");
    JxlBasicInfo info{};
    OutFormat o;
    Outcome r;
    std::vector<std::vector<uint8_t>> small;
    void *buf = nullptr;  // one full-size buffer at a time
    bool done = false;
    auto finish_frame = [&](size_t ratio) {
        small.emplace_back();
        subsample(static_cast<const uint8_t *>(buf), info, o, ratio ? ratio : target, &small.back());
        r.ratios.push_back(ratio);
        std::free(buf);
        buf = nullptr;
    };
    while (!done) {
        JxlDecoderStatus st = JxlDecoderProcessInput(dec);
        switch (st) {
            case JXL_DEC_BASIC_INFO:
                if (JxlDecoderGetBasicInfo(dec, &info) != JXL_DEC_SUCCESS)
                    die("JxlDecoderGetBasicInfo failed");
                o = out_format(info);
                break;
            case JXL_DEC_NEED_IMAGE_OUT_BUFFER:
                if (buf) die("double allocation");
                buf = alloc_pixels(o.frame_bytes);
                set_out_buffer(dec, o, buf);
                break;
            case JXL_DEC_FRAME_PROGRESSION: {
                size_t ratio = JxlDecoderGetIntendedDownsamplingRatio(dec);
                if (ratio >= 1 && ratio <= target && JxlDecoderFlushImage(dec) == JXL_DEC_SUCCESS) {
                    JxlDecoderSkipCurrentFrame(dec);
                    finish_frame(ratio);
                }
                break;
            }
            case JXL_DEC_FULL_IMAGE:
                finish_frame(0);
                break;
            case JXL_DEC_SUCCESS:
                done = true;
                break;
            case JXL_DEC_NEED_MORE_INPUT:
                die("truncated stream");
            case JXL_DEC_ERROR:
                die("JxlDecoderProcessInput returned JXL_DEC_ERROR");
            default:
                break;
        }
    }
    std::free(buf);
    r.frames = small.size();
    for (auto &s : small) r.out_bytes += s.size();
    return r;
}

// Frame count: frame events only, no runner, no pixels.
Outcome run_count(const std::vector<uint8_t> &data) {
    Decoder d = make_decoder(data, 1, JXL_DEC_FRAME);
    Outcome r;
    for (;;) {
        JxlDecoderStatus st = JxlDecoderProcessInput(d.dec.get());
        if (st == JXL_DEC_FRAME) {
            ++r.frames;
        } else if (st == JXL_DEC_SUCCESS) {
            return r;
        } else if (st == JXL_DEC_NEED_MORE_INPUT) {
            die("truncated stream while counting frames");
        } else if (st == JXL_DEC_ERROR) {
            die("JxlDecoderProcessInput returned JXL_DEC_ERROR");
        }
    }
}

// ---- encoder side ----------------------------------------------------------

struct EncodeJob {
    const uint8_t *pixels = nullptr;
    size_t width = 0, height = 0, channels = 3, frames = 1;
    bool u16 = false, animation = false, container = false, lossless = false, progressive = false;
    float distance = 1.0f;
    int effort = 5;
    size_t threads = 1;
};

void check_enc(JxlEncoderStatus st, JxlEncoder *enc, const char *what) {
    if (st != JXL_ENC_SUCCESS)
        die(std::string(what) + " failed (error " + std::to_string(JxlEncoderGetError(enc)) + ")");
}

// The module's writer, minus Python: same basic info, colour, frame settings,
// output-buffer sizing and growth; the stream stays in the growing buffer.
Outcome run_encode(const EncodeJob &j, std::vector<uint8_t> *keep) {
    JxlEncoderPtr encp = JxlEncoderMake(nullptr);
    if (!encp) die("JxlEncoderCreate returned NULL");
    JxlEncoder *enc = encp.get();
    JxlThreadParallelRunnerPtr runner;
    if (j.threads > 1) {
        runner = JxlThreadParallelRunnerMake(nullptr, j.threads);
        if (!runner) die("JxlThreadParallelRunnerCreate returned NULL");
        check_enc(JxlEncoderSetParallelRunner(enc, JxlThreadParallelRunner, runner.get()), enc,
                  "JxlEncoderSetParallelRunner");
    }
    const uint32_t bps = j.u16 ? 16 : 8;
    const size_t frame_bytes = j.width * j.height * j.channels * (bps / 8);
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = static_cast<uint32_t>(j.width);
    info.ysize = static_cast<uint32_t>(j.height);
    info.bits_per_sample = bps;
    info.exponent_bits_per_sample = 0;
    info.num_color_channels = j.channels <= 2 ? 1 : 3;
    if (j.channels == 2 || j.channels == 4) {
        info.num_extra_channels = 1;
        info.alpha_bits = bps;
    } else {
        info.num_extra_channels = 0;
    }
    if (j.lossless) info.uses_original_profile = JXL_TRUE;
    if (j.animation) {
        info.have_animation = JXL_TRUE;
        info.animation.tps_numerator = 1000;  // the module's time base: whole ms
        info.animation.tps_denominator = 1;
        info.animation.num_loops = 0;
    }
    JxlPixelFormat pf{static_cast<uint32_t>(j.channels), j.u16 ? JXL_TYPE_UINT16 : JXL_TYPE_UINT8,
                      JXL_NATIVE_ENDIAN, 0};
    check_enc(JxlEncoderUseContainer(enc, j.container || j.animation), enc, "JxlEncoderUseContainer");
    check_enc(JxlEncoderSetBasicInfo(enc, &info), enc, "JxlEncoderSetBasicInfo");
    JxlColorEncoding ce{};
    JXL_BOOL gray = j.channels <= 2 ? JXL_TRUE : JXL_FALSE;
    if (j.u16)
        JxlColorEncodingSetToLinearSRGB(&ce, gray);
    else
        JxlColorEncodingSetToSRGB(&ce, gray);
    check_enc(JxlEncoderSetColorEncoding(enc, &ce), enc, "JxlEncoderSetColorEncoding");
    JxlEncoderFrameSettings *fs = JxlEncoderFrameSettingsCreate(enc, nullptr);
    if (!fs) die("JxlEncoderFrameSettingsCreate returned NULL");
    if (j.lossless)
        check_enc(JxlEncoderSetFrameLossless(fs, JXL_TRUE), enc, "JxlEncoderSetFrameLossless");
    else
        check_enc(JxlEncoderSetFrameDistance(fs, j.distance), enc, "JxlEncoderSetFrameDistance");
    if (j.effort != 7)
        check_enc(JxlEncoderFrameSettingsSetOption(fs, JXL_ENC_FRAME_SETTING_EFFORT, j.effort), enc,
                  "EFFORT");
    if (j.progressive) {
        check_enc(JxlEncoderFrameSettingsSetOption(fs, JXL_ENC_FRAME_SETTING_RESPONSIVE, 1), enc,
                  "RESPONSIVE");
        check_enc(JxlEncoderFrameSettingsSetOption(fs, JXL_ENC_FRAME_SETTING_PROGRESSIVE_AC, 1), enc,
                  "PROGRESSIVE_AC");
    }
    size_t est = j.lossless ? frame_bytes / 4 : frame_bytes / 16;
    size_t cap = std::max<size_t>(32768, (est + 65535) / 65536 * 65536);
    uint8_t *out = static_cast<uint8_t *>(std::malloc(cap));
    if (!out) die("out of memory");
    size_t used = 0;
    auto drain = [&]() {
        for (;;) {
            uint8_t *next = out + used;
            size_t avail = cap - used;
            JxlEncoderStatus st = JxlEncoderProcessOutput(enc, &next, &avail);
            used = cap - avail;
            if (st == JXL_ENC_SUCCESS) return;
            if (st != JXL_ENC_NEED_MORE_OUTPUT) check_enc(st, enc, "JxlEncoderProcessOutput");
            cap = std::min(2 * cap, cap + (size_t{32} << 20));
            out = static_cast<uint8_t *>(std::realloc(out, cap));
            if (!out) die("out of memory");
        }
    };
    for (size_t i = 0; i < j.frames; ++i) {
        bool last = i + 1 == j.frames;
        JxlFrameHeader fh;
        JxlEncoderInitFrameHeader(&fh);
        fh.duration = 100;  // 0.1 s
        if (j.animation) fh.is_last = last ? JXL_TRUE : JXL_FALSE;
        check_enc(JxlEncoderSetFrameHeader(fs, &fh), enc, "JxlEncoderSetFrameHeader");
        check_enc(JxlEncoderAddImageFrame(fs, &pf, j.pixels + i * frame_bytes, frame_bytes), enc,
                  "JxlEncoderAddImageFrame");
        if (last || !j.animation) JxlEncoderCloseInput(enc);
        drain();
    }
    JxlEncoderCloseInput(enc);
    drain();
    Outcome r;
    r.frames = j.frames;
    r.out_bytes = used;
    if (keep) keep->assign(out, out + used);
    std::free(out);
    return r;
}

// ---- JPEG recompression ------------------------------------------------------

// transcode_jpeg's libjxl calls: container, reconstruction data, the JPEG's
// metadata kept, Brotli effort 9, output grown by half at a time.
Outcome run_jpeg_transcode(const std::vector<uint8_t> &jpeg, size_t threads, int effort,
                           std::vector<uint8_t> *keep) {
    JxlEncoderPtr encp = JxlEncoderMake(nullptr);
    if (!encp) die("JxlEncoderCreate returned NULL");
    JxlEncoder *enc = encp.get();
    JxlThreadParallelRunnerPtr runner;
    if (threads > 1) {
        runner = JxlThreadParallelRunnerMake(nullptr, threads);
        if (!runner) die("JxlThreadParallelRunnerCreate returned NULL");
        check_enc(JxlEncoderSetParallelRunner(enc, JxlThreadParallelRunner, runner.get()), enc,
                  "JxlEncoderSetParallelRunner");
    }
    check_enc(JxlEncoderUseContainer(enc, JXL_TRUE), enc, "JxlEncoderUseContainer");
    check_enc(JxlEncoderStoreJPEGMetadata(enc, JXL_TRUE), enc, "JxlEncoderStoreJPEGMetadata");
    JxlEncoderFrameSettings *fs = JxlEncoderFrameSettingsCreate(enc, nullptr);
    if (!fs) die("JxlEncoderFrameSettingsCreate returned NULL");
    check_enc(JxlEncoderFrameSettingsSetOption(fs, JXL_ENC_FRAME_SETTING_EFFORT, effort), enc, "EFFORT");
    check_enc(JxlEncoderFrameSettingsSetOption(fs, JXL_ENC_FRAME_SETTING_BROTLI_EFFORT, 9), enc,
              "BROTLI_EFFORT");
    check_enc(JxlEncoderAddJPEGFrame(fs, jpeg.data(), jpeg.size()), enc, "JxlEncoderAddJPEGFrame");
    JxlEncoderCloseInput(enc);
    std::vector<uint8_t> out(jpeg.size() + 65536);
    size_t used = 0;
    for (;;) {
        uint8_t *next = out.data() + used;
        size_t avail = out.size() - used;
        JxlEncoderStatus st = JxlEncoderProcessOutput(enc, &next, &avail);
        used = out.size() - avail;
        if (st == JXL_ENC_SUCCESS) break;
        if (st != JXL_ENC_NEED_MORE_OUTPUT) check_enc(st, enc, "JxlEncoderProcessOutput");
        out.resize(used + std::max<size_t>(used / 2, 65536));
    }
    out.resize(used);
    Outcome r;
    r.frames = 1;
    r.out_bytes = used;
    if (keep) keep->swap(out);
    return r;
}

// reconstruct_jpeg's libjxl calls: a JPEG buffer of 1.5x the input grown by
// half on JXL_DEC_JPEG_NEED_MORE_OUTPUT.
Outcome run_jpeg_reconstruct(const std::vector<uint8_t> &data, size_t threads,
                             std::vector<uint8_t> *keep) {
    Decoder d = make_decoder(data, threads,
                             JXL_DEC_BASIC_INFO | JXL_DEC_JPEG_RECONSTRUCTION | JXL_DEC_FULL_IMAGE);
    JxlDecoder *dec = d.dec.get();
    std::vector<uint8_t> out;
    size_t used = 0;
    auto offer = [&](size_t want) {
        out.resize(want);
        if (JxlDecoderSetJPEGBuffer(dec, out.data() + used, out.size() - used) != JXL_DEC_SUCCESS)
            die("JxlDecoderSetJPEGBuffer failed");
    };
    bool done = false;
    while (!done) {
        JxlDecoderStatus st = JxlDecoderProcessInput(dec);
        switch (st) {
            case JXL_DEC_BASIC_INFO:
                break;
            case JXL_DEC_JPEG_RECONSTRUCTION:
                offer(data.size() + data.size() / 2 + 65536);
                break;
            case JXL_DEC_JPEG_NEED_MORE_OUTPUT:
                used = out.size() - JxlDecoderReleaseJPEGBuffer(dec);
                offer(out.size() + std::max<size_t>(out.size() / 2, 65536));
                break;
            case JXL_DEC_FULL_IMAGE:
                used = out.size() - JxlDecoderReleaseJPEGBuffer(dec);
                done = true;
                break;
            case JXL_DEC_NEED_IMAGE_OUT_BUFFER:
                die("no JPEG reconstruction data");
            case JXL_DEC_NEED_MORE_INPUT:
                die("truncated stream");
            case JXL_DEC_ERROR:
                die("JxlDecoderProcessInput returned JXL_DEC_ERROR");
            default:
                break;
        }
    }
    out.resize(used);
    Outcome r;
    r.frames = 1;
    r.out_bytes = used;
    if (keep) keep->swap(out);
    return r;
}

// ---- driver ----------------------------------------------------------------

void print_json(const Args &a, const std::vector<double> &times, const std::vector<double> &cpu,
                const Outcome &r, long rss0, long rss1) {
    std::printf("{\"cmd\": \"%s\", \"threads\": %ld, \"frames\": %zu, \"out_bytes\": %zu",
                a.cmd.c_str(), a.num("threads", 1), r.frames, r.out_bytes);
    std::printf(", \"times\": [");
    for (size_t i = 0; i < times.size(); ++i) std::printf("%s%.9f", i ? ", " : "", times[i]);
    std::printf("], \"cpu_times\": [");
    for (size_t i = 0; i < cpu.size(); ++i) std::printf("%s%.9f", i ? ", " : "", cpu[i]);
    std::printf("], \"ratios\": [");
    for (size_t i = 0; i < r.ratios.size(); ++i) std::printf("%s%zu", i ? ", " : "", r.ratios[i]);
    std::printf("]");
    if (rss0 >= 0) std::printf(", \"rss_before_kib\": %ld, \"peak_rss_kib\": %ld", rss0, rss1);
    std::printf("}\n");
}

}  // namespace

int main(int argc, char **argv) {
    Args a = parse_args(argc, argv);
    const size_t threads = static_cast<size_t>(std::max(1L, a.num("threads", 1)));
    const bool mem = a.flag("mem");
    const long repeat = mem ? 1 : std::max(1L, a.num("repeat", 5));
    const long warmup = mem ? 0 : std::max(0L, a.num("warmup", 1));

    std::vector<uint8_t> input;
    EncodeJob job;
    std::function<Outcome()> once;
    std::vector<uint8_t> kept;  // --out: the last run's stream or pixels
    const bool keep = a.kv.count("out") != 0;
    if (a.cmd == "decode" || a.cmd == "flush" || a.cmd == "count") {
        input = read_file(a.str("in"));
        long index = a.num("index", -1);
        size_t target = static_cast<size_t>(a.num("target", 8));
        if (a.cmd == "decode")
            once = [&input, &kept, keep, threads, index] {
                return run_decode(input, threads, index, keep ? &kept : nullptr);
            };
        else if (a.cmd == "flush")
            once = [&input, threads, target] { return run_flush(input, threads, target); };
        else
            once = [&input] { return run_count(input); };
    } else if (a.cmd == "encode") {
        input = read_file(a.str("raw"));
        job.width = static_cast<size_t>(a.num("width", 0));
        job.height = static_cast<size_t>(a.num("height", 0));
        job.channels = static_cast<size_t>(a.num("channels", 3));
        job.frames = static_cast<size_t>(a.num("frames", 1));
        job.u16 = a.str("dtype", "u8") == "u16";
        job.animation = a.flag("animation") || job.frames > 1;
        job.container = a.flag("container");
        job.lossless = a.flag("lossless");
        job.distance = static_cast<float>(a.real("distance", 1.0));
        job.effort = static_cast<int>(a.num("effort", 5));
        job.progressive = a.flag("progressive");
        job.threads = threads;
        size_t need = job.width * job.height * job.channels * (job.u16 ? 2 : 1) * job.frames;
        if (!job.width || !job.height || job.channels < 1 || job.channels > 4 || !job.frames)
            die("bad image geometry");
        if (input.size() != need)
            die("raw file holds " + std::to_string(input.size()) + " bytes, expected " +
                std::to_string(need));
        job.pixels = input.data();
        once = [&job, &kept, keep] { return run_encode(job, keep ? &kept : nullptr); };
    } else if (a.cmd == "jpeg-transcode" || a.cmd == "jpeg-reconstruct") {
        input = read_file(a.str("in"));
        const int effort = static_cast<int>(a.num("effort", 7));
        if (a.cmd == "jpeg-transcode")
            once = [&input, &kept, keep, threads, effort] {
                return run_jpeg_transcode(input, threads, effort, keep ? &kept : nullptr);
            };
        else
            once = [&input, &kept, keep, threads] {
                return run_jpeg_reconstruct(input, threads, keep ? &kept : nullptr);
            };
    } else {
        die("unknown command " + a.cmd);
    }

    for (long i = 0; i < warmup; ++i) once();
    long rss0 = -1;
    if (mem) {
        if (!reset_peak_rss()) die("cannot reset the peak RSS (/proc/self/clear_refs)");
        rss0 = status_kib("VmRSS:");
    }
    std::vector<double> times, cpu;
    Outcome r;
    for (long i = 0; i < repeat; ++i) {
        const double c0 = process_cpu_seconds();
        auto t0 = std::chrono::steady_clock::now();
        r = once();
        times.push_back(seconds_since(t0));
        cpu.push_back(process_cpu_seconds() - c0);
    }
    long rss1 = mem ? status_kib("VmHWM:") : -1;
    if (keep) {
        FILE *f = std::fopen(a.str("out").c_str(), "wb");
        if (!f || std::fwrite(kept.data(), 1, kept.size(), f) != kept.size())
            die("cannot write " + a.str("out"));
        std::fclose(f);
    }
    print_json(a, times, cpu, r, rss0, rss1);
    return 0;
}
