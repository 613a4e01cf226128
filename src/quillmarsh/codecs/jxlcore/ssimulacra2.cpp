// SSIMULACRA 2 (see ssimulacra2.h): the scales, the work shared out to the
// runner pool's workers, and the final weighting.
//
// Work is cut into tasks that do not depend on the number of workers (blocks
// of rows, strips of columns), and their sums are added in task order, so a
// score is the same for any thread count.
#include "jxlcore/ssimulacra2.h"

#include "jxlcore/runner.h"
#include "jxlcore/ssimulacra2_internal.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cmath>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace qmjxl {

namespace {

using ssim2::MapSums;

constexpr int kScales = 6;
constexpr size_t kMinSize = 8;
constexpr size_t kPrepareRows = 32;  // rows per task of the colour stage
constexpr size_t kBlurRows = 16;     // rows per task of the blur along x

// Runs fn(task, worker) for tasks [0, count) on the request's workers. A
// task that throws (an allocation) marks the section failed.
class Section {
public:
    explicit Section(RunnerRequest &req) : req_(req) {}

    Status run(size_t count, std::function<void(size_t, size_t)> fn) {
        fn_ = std::move(fn);
        failed_ = false;
        if (count == 0) return Status::Ok();
        const JxlParallelRetCode rc = pooled_runner(&req_, this, &Section::init, &Section::call, 0,
                                                    static_cast<uint32_t>(count));
        if (rc != 0 || failed_) return NoMemory("ssimulacra2: out of memory");
        return Status::Ok();
    }

private:
    static JxlParallelRetCode init(void *, size_t) { return 0; }
    static void call(void *o, uint32_t task, size_t worker) {
        auto *s = static_cast<Section *>(o);
        try {
            s->fn_(task, worker);
        } catch (...) {
            s->failed_ = true;
        }
    }

    RunnerRequest &req_;
    std::function<void(size_t, size_t)> fn_;
    std::atomic<bool> failed_{false};
};

// A planar float image whose rows are `xsize` apart, in storage made for
// the largest scale.
// Uninitialised floats (every buffer here is written before it is read).
// Large ones are aligned for and marked as transparent huge pages: the
// first touch of a fresh 4 KiB page costs a fault, and a 2 MP comparison
// touches over 100 MB.
class Floats {
public:
    Floats() = default;
    Floats(const Floats &) = delete;
    Floats &operator=(const Floats &) = delete;
    ~Floats() { std::free(p_); }
    void allocate(size_t n) {
        constexpr size_t kHuge = size_t(2) << 20;
        std::free(p_);
        p_ = nullptr;
        const size_t bytes = std::max<size_t>(n, 1) * sizeof(float);
        const bool huge = bytes >= 2 * kHuge;
        const size_t align = huge ? kHuge : 64;
        p_ = static_cast<float *>(std::aligned_alloc(align, (bytes + align - 1) / align * align));
        if (!p_) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
        if (huge) madvise(p_, (bytes + align - 1) / align * align, MADV_HUGEPAGE);
#endif
    }
    float *data() { return p_; }

private:
    float *p_ = nullptr;
};

struct Planes {
    Floats p[3];
    size_t xsize = 0, ysize = 0;
    void reserve(size_t n) {
        for (auto &v : p) v.allocate(n);
    }
    float *row(int c, size_t y) { return p[c].data() + y * xsize; }
};

// The norms of one scale: per XYB channel, mean and 4-norm of each map.
struct ScaleNorms {
    double ssim[3][2];
    double artifact[3][2];
    double detail[3][2];
};

// State of one comparison.
class Comparison {
public:
    Comparison(const MetricImage &ref, const MetricImage &dist, const MetricOptions &opt)
        : in_{&ref, &dist}, section_(req_) {
        req_.threads = std::max<size_t>(1, opt.threads);
        req_.exact = opt.exact_threads;
    }

    StatusOr<double> run();

private:
    Status prepare(int scale);
    Status norms(ScaleNorms &out);

    const MetricImage *in_[2];
    RunnerRequest req_;
    Section section_;
    Planes xyb_[2];         // the current scale in XYB
    Planes linear_[2][2];   // linear RGB of scales 1.. (two alternating buffers)
    Floats strips_[ssim2::kStripPlanes];  // one channel's planes for the column pass
};

// Fills xyb_ (and, from scale 1 on, linear_) for `scale` from the scale above
// it (the input itself for scale 1) or, for scale 0, from the input.
Status Comparison::prepare(int scale) {
    const size_t in_x = scale == 0 ? in_[0]->xsize : xyb_[0].xsize;
    const size_t in_y = scale == 0 ? in_[0]->ysize : xyb_[0].ysize;
    const size_t xs = scale == 0 ? in_x : (in_x + 1) / 2;
    const size_t ys = scale == 0 ? in_y : (in_y + 1) / 2;
    for (int i = 0; i < 2; ++i) {
        xyb_[i].xsize = xs;
        xyb_[i].ysize = ys;
        if (scale > 0) {
            Planes &cur = linear_[i][scale % 2];
            cur.xsize = xs;
            cur.ysize = ys;
        }
    }
    const size_t tasks = (ys + kPrepareRows - 1) / kPrepareRows;
    return section_.run(tasks, [&](size_t task, size_t) {
        std::vector<float> buf(9 * in_x);
        float *in_rows[2][3], *tmp[3];
        for (int c = 0; c < 3; ++c) {
            in_rows[0][c] = buf.data() + c * in_x;
            in_rows[1][c] = buf.data() + (3 + c) * in_x;
            tmp[c] = buf.data() + (6 + c) * in_x;
        }
        const size_t y1 = std::min(ys, (task + 1) * kPrepareRows);
        for (int i = 0; i < 2; ++i)
            for (size_t y = task * kPrepareRows; y < y1; ++y) {
                const float *lin[3] = {tmp[0], tmp[1], tmp[2]};
                if (scale == 0) {
                    ssim2::linear_row(*in_[i], y, tmp[0], tmp[1], tmp[2]);
                } else {
                    // Rows 2y and 2y+1 of the scale above (the last repeated).
                    const size_t ya = 2 * y, yb = std::min(2 * y + 1, in_y - 1);
                    const float *above[2][3];
                    for (int c = 0; c < 3; ++c) {
                        if (scale == 1) {
                            above[0][c] = in_rows[0][c];
                            above[1][c] = in_rows[1][c];
                        } else {
                            above[0][c] = linear_[i][(scale - 1) % 2].row(c, ya);
                            above[1][c] = linear_[i][(scale - 1) % 2].row(c, yb);
                        }
                    }
                    if (scale == 1) {
                        ssim2::linear_row(*in_[i], ya, in_rows[0][0], in_rows[0][1], in_rows[0][2]);
                        ssim2::linear_row(*in_[i], yb, in_rows[1][0], in_rows[1][1], in_rows[1][2]);
                    }
                    Planes &cur = linear_[i][scale % 2];
                    for (int c = 0; c < 3; ++c) {
                        ssim2::halve_row(above[0][c], above[1][c], in_x, cur.row(c, y));
                        lin[c] = cur.row(c, y);
                    }
                }
                ssim2::xyb_row(lin[0], lin[1], lin[2], xyb_[i].row(0, y), xyb_[i].row(1, y),
                               xyb_[i].row(2, y), xs);
            }
    });
}

// The map norms of the current scale, channel by channel: the rows blurred
// along x into strips_ (blocks of rows), then the columns blurred and the
// maps summed (strips of columns, added in order).
Status Comparison::norms(ScaleNorms &out) {
    const size_t xs = xyb_[0].xsize, ys = xyb_[0].ysize;
    const size_t strips = (xs + ssim2::kStrip - 1) / ssim2::kStrip;
    const double inv = 1.0 / (static_cast<double>(xs) * static_cast<double>(ys));
    std::vector<const float *> rows[2];
    std::vector<MapSums> sums(strips);
    float *h[ssim2::kStripPlanes];
    for (size_t q = 0; q < ssim2::kStripPlanes; ++q) h[q] = strips_[q].data();
    for (int c = 0; c < 3; ++c) {
        for (int i = 0; i < 2; ++i) {
            rows[i].resize(ys);
            for (size_t y = 0; y < ys; ++y) rows[i][y] = xyb_[i].row(c, y);
        }
        QM_RETURN_IF_ERROR(section_.run((ys + kBlurRows - 1) / kBlurRows, [&](size_t task, size_t) {
            std::vector<float> scratch(4 * ssim2::kQuantities * xs);
            ssim2::blur_x_rows(rows[0].data(), rows[1].data(), xs, ys, task * kBlurRows,
                               std::min(ys, (task + 1) * kBlurRows), h, scratch.data());
        }));
        QM_RETURN_IF_ERROR(section_.run(strips, [&](size_t task, size_t) {
            sums[task] = ssim2::strip_sums(h, ys, task * ssim2::kStrip,
                                           std::min(xs, (task + 1) * ssim2::kStrip));
        }));
        MapSums t;
        for (const MapSums &s : sums) t.add(s);
        out.ssim[c][0] = t.ssim[0] * inv;
        out.ssim[c][1] = std::sqrt(std::sqrt(t.ssim[1] * inv));
        out.artifact[c][0] = t.artifact[0] * inv;
        out.artifact[c][1] = std::sqrt(std::sqrt(t.artifact[1] * inv));
        out.detail[c][0] = t.detail[0] * inv;
        out.detail[c][1] = std::sqrt(std::sqrt(t.detail[1] * inv));
    }
    return Status::Ok();
}

// The published weights of the 108 norms, in the order channel (X, Y, B),
// scale, norm (mean, 4-norm), map (SSIM, artefact, detail loss).
constexpr double kWeight[108] = {
    0.0, 0.0007376606707406586, 0.0, 0.0, 0.0007793481682867309, 0.0, 0.0,
    0.0004371155730107379, 0.0, 1.1041726426657346, 0.00066284834129271, 0.00015231632783718752,
    0.0, 0.0016406437456599754, 0.0, 1.8422455520539298, 11.441172603757666, 0.0,
    0.0007989109436015163, 0.000176816438078653, 0.0, 1.8787594979546387, 10.94906990605142, 0.0,
    0.0007289346991508072, 0.9677937080626833, 0.0, 0.00014003424285435884, 0.9981766977854967,
    0.00031949755934435053, 0.0004550992113792063, 0.0, 0.0, 0.0013648766163243398, 0.0, 0.0, 0.0,
    0.0, 0.0, 7.466890328078848, 0.0, 17.445833984131262, 0.0006235601634041466, 0.0, 0.0,
    6.683678146179332, 0.00037724407979611296, 1.027889937768264, 225.20515300849274, 0.0, 0.0,
    19.213238186143016, 0.0011401524586618361, 0.001237755635509985, 176.39317598450694, 0.0, 0.0,
    24.43300999870476, 0.28520802612117757, 0.0004485436923833408, 0.0, 0.0, 0.0,
    34.77906344483772, 44.835625328877896, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0,
    0.0008680556573291698, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0005313191874358747, 0.0,
    0.00016533814161379112, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0004179171803251336, 0.0017290828234722833,
    0.0, 0.0020827005846636437, 0.0, 0.0, 8.826982764996862, 23.19243343998926, 0.0,
    95.1080498811086, 0.9863978034400682, 0.9834382792465353, 0.0012286405048278493,
    171.2667255897307, 0.9807858872435379, 0.0, 0.0, 0.0, 0.0005130064588990679, 0.0,
    0.00010854057858411537};

// The weighted sum mapped to the score. With fewer than six scales (a small
// image) the weights are taken in sequence all the same, as the reference
// tool takes them.
double score(const std::vector<ScaleNorms> &scales) {
    double sum = 0.0;
    size_t i = 0;
    for (int c = 0; c < 3; ++c)
        for (const ScaleNorms &s : scales)
            for (int n = 0; n < 2; ++n) {
                sum += kWeight[i++] * std::fabs(s.ssim[c][n]);
                sum += kWeight[i++] * std::fabs(s.artifact[c][n]);
                sum += kWeight[i++] * std::fabs(s.detail[c][n]);
            }
    sum *= 0.9562382616834844;
    sum = 2.326765642916932 * sum - 0.020884521182843837 * sum * sum +
          6.248496625763138e-05 * sum * sum * sum;
    return sum > 0 ? 100.0 - 10.0 * std::pow(sum, 0.6276336467831387) : 100.0;
}

StatusOr<double> Comparison::run() {
    const size_t n = in_[0]->xsize * in_[0]->ysize;
    for (int i = 0; i < 2; ++i) {
        xyb_[i].reserve(n);
        linear_[i][1].reserve((in_[0]->xsize + 1) / 2 * ((in_[0]->ysize + 1) / 2));
        linear_[i][0].reserve((in_[0]->xsize + 3) / 4 * ((in_[0]->ysize + 3) / 4));
    }
    // Strips of kStrip columns, the last one padded.
    const size_t strips = (in_[0]->xsize + ssim2::kStrip - 1) / ssim2::kStrip;
    for (auto &b : strips_) b.allocate(strips * ssim2::kStrip * in_[0]->ysize);
    std::vector<ScaleNorms> scales;
    for (int scale = 0; scale < kScales; ++scale) {
        // A scale is made while the one above it is at least 8x8 (so the
        // last may be 4x4), as in the reference tool.
        if (scale > 0 && (xyb_[0].xsize < kMinSize || xyb_[0].ysize < kMinSize)) break;
        QM_RETURN_IF_ERROR(prepare(scale));
        ScaleNorms s;
        QM_RETURN_IF_ERROR(norms(s));
        scales.push_back(s);
    }
    return score(scales);
}

Status check_image(const MetricImage &im, const char *which) {
    if (im.channels < 1 || im.channels > 4)
        return ValueError(std::string("ssimulacra2: ") + which + " must have 1 to 4 channels, not " +
                          std::to_string(im.channels));
    if (!ssim2::all_finite(im))
        return ValueError(std::string("ssimulacra2: ") + which + " has NaN or infinite samples");
    return Status::Ok();
}

}  // namespace

StatusOr<double> ssimulacra2(const MetricImage &reference, const MetricImage &distorted,
                             const MetricOptions &options) {
    if (reference.xsize != distorted.xsize || reference.ysize != distorted.ysize)
        return ValueError("ssimulacra2: reference and distorted differ in size");
    if (reference.xsize < kMinSize || reference.ysize < kMinSize)
        return ValueError("ssimulacra2: images must be at least 8x8 pixels");
    QM_RETURN_IF_ERROR(check_image(reference, "reference"));
    QM_RETURN_IF_ERROR(check_image(distorted, "distorted"));
    if (reference.channels != distorted.channels)
        return ValueError("ssimulacra2: reference and distorted differ in channels");
    try {
        if (reference.channels % 2 == 1) return Comparison(reference, distorted, options).run();
        // With alpha: the worse of a dark and a light background.
        double worst = 100.0;
        for (float bg : {0.1f, 0.9f}) {
            MetricImage ref = reference, dist = distorted;
            ref.background = dist.background = bg;
            QM_ASSIGN_OR_RETURN(const double s, Comparison(ref, dist, options).run());
            worst = std::min(worst, s);
        }
        return worst;
    } catch (const std::bad_alloc &) {
        return NoMemory("ssimulacra2: out of memory");
    }
}

}  // namespace qmjxl
