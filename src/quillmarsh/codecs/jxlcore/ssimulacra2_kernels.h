// The inner loops of SSIMULACRA 2's blur and map sums, compiled twice:
// ssimulacra2_blur.cpp includes this with QM_SSIM2_FMA 0 (for any CPU) and
// ssimulacra2_blur_fma.cpp with QM_SSIM2_FMA 1 for x86-64 CPUs with AVX2 and
// FMA, each in a namespace of its own (QM_SSIM2_NS). Both compute the same
// values, bit for bit. No include guard, on purpose; no templates or
// inline functions of other headers are instantiated here, so nothing built
// for AVX2 can be shared with the other copy by the linker.
//
// The single-precision recursive blur is the reference tool's arithmetic,
// step for step: along x four outputs at a time from the block's inputs and
// the two outputs before it, down columns one row at a time, each
// multiply-add fused where the tool's is (on CPUs with FMA, where it runs
// its fused build). Its rounding errors do not die out in the resonators,
// and on smooth areas they move the SSIM map by more than the metric's own
// tolerance; doing the same arithmetic is what makes the scores agree with
// the tool's (to hundredths), where an exact Gaussian, or the same recursion
// with separate multiplies and adds, differs by up to a point on large,
// high-quality images.

namespace qmjxl {
namespace ssim2 {
namespace QM_SSIM2_NS {

namespace {

typedef float V4 __attribute__((vector_size(16)));

// Fused in both builds (in software where the CPU has no FMA, slower but
// the same result), so a score does not depend on the machine.
inline float fma1(float m, float x, float a) { return __builtin_fmaf(m, x, a); }
#if QM_SSIM2_FMA
inline V4 fma4(V4 m, V4 x, V4 a) { return (V4)_mm_fmadd_ps((__m128)m, (__m128)x, (__m128)a); }
#else
inline V4 fma4(V4 m, V4 x, V4 a) {
    return V4{fma1(m[0], x[0], a[0]), fma1(m[1], x[1], a[1]), fma1(m[2], x[2], a[2]),
              fma1(m[3], x[3], a[3])};
}
#endif

inline V4 splat(float x) { return V4{x, x, x, x}; }
inline V4 load4(const float *p) {
    V4 v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

constexpr long N = kRadius;
constexpr long Q = static_cast<long>(kQuantities);

// One output of the row pass with bounds checks (the row's ends): lane 0 of
// the block form, which is the plain recursion.
inline float step1(const Resonators &g, float sum, float *p1, float *p2) {
    float o[3];
    for (int k = 0; k < 3; ++k) {
        float out = sum * g.mul_in[k][0][0];
        out = fma1(g.mul_prev2[k][0], p2[k], out);
        p2[k] = p1[k];
        out = fma1(g.mul_prev[k][0], p1[k], out);
        p1[k] = out;
        o[k] = out;
    }
    return o[0] + (o[1] + o[2]);
}

// The row pass over the kQuantities rows src[q] into dst[q].
void blur_rows(const Resonators &g, const float *const *src, float *const *dst, long xsize) {
    float p1[Q][3] = {}, p2[Q][3] = {};
    auto edge = [&](long n) {
        for (long q = 0; q < Q; ++q) {
            const long l = n - N - 1, r = n + N - 1;
            const float sum = (l >= 0 ? src[q][l] : 0.0f) + (r < xsize ? src[q][r] : 0.0f);
            const float o = step1(g, sum, p1[q], p2[q]);
            if (n >= 0) dst[q][n] = o;
        }
    };
    long n = -N + 1;
    const long aligned = xsize < 8 ? xsize : 8;  // N + 1 rounded up to a block of four
    for (; n < aligned; ++n) edge(n);
    V4 v1[Q][3], v2[Q][3];
    for (long q = 0; q < Q; ++q)
        for (int k = 0; k < 3; ++k) {
            v1[q][k] = splat(p1[q][k]);
            v2[q][k] = splat(p2[q][k]);
        }
    for (; n < xsize - N + 1 - 3; n += 4) {
        for (long q = 0; q < Q; ++q) {
            const V4 sum = load4(src[q] + n - N - 1) + load4(src[q] + n + N - 1);
            const V4 in0 = splat(sum[0]), in1 = splat(sum[1]), in2 = splat(sum[2]),
                     in3 = splat(sum[3]);
            V4 o[3];
            for (int k = 0; k < 3; ++k) {
                V4 out = in0 * load4(g.mul_in[k][0]);
                out = fma4(load4(g.mul_in[k][1]), in1, out);
                out = fma4(load4(g.mul_in[k][2]), in2, out);
                out = fma4(load4(g.mul_in[k][3]), in3, out);
                out = fma4(load4(g.mul_prev2[k]), v2[q][k], out);
                out = fma4(load4(g.mul_prev[k]), v1[q][k], out);
                v2[q][k] = splat(out[2]);
                v1[q][k] = splat(out[3]);
                o[k] = out;
            }
            const V4 r = o[0] + (o[1] + o[2]);
            __builtin_memcpy(dst[q] + n, &r, sizeof r);
        }
    }
    for (long q = 0; q < Q; ++q)
        for (int k = 0; k < 3; ++k) {
            p1[q][k] = v1[q][k][0];
            p2[q][k] = v2[q][k][0];
        }
    for (; n < xsize; ++n) edge(n);
}

#if QM_SSIM2_FMA
inline __m256 both(float lo, float hi) { return _mm256_setr_m128(_mm_set1_ps(lo), _mm_set1_ps(hi)); }
inline __m256 load2(const float *lo, const float *hi) {
    return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(lo)), _mm_loadu_ps(hi), 1);
}

// Two rows' passes at once in 256-bit vectors: lanes 0-3 hold a block of
// the first row (sa/da), lanes 4-7 of the second (sb/db); the operations
// are blur_rows' own, lane for lane.
void blur_row_pairs(const Resonators &g, const float *const *sa, const float *const *sb,
                    float *const *da, float *const *db, long xsize) {
    const float *const *src[2] = {sa, sb};
    float *const *dst[2] = {da, db};
    float p1[2][Q][3] = {}, p2[2][Q][3] = {};
    auto edge = [&](long n) {
        const long l = n - N - 1, r = n + N - 1;
        for (int row = 0; row < 2; ++row)
            for (long q = 0; q < Q; ++q) {
                const float *in = src[row][q];
                const float sum = (l >= 0 ? in[l] : 0.0f) + (r < xsize ? in[r] : 0.0f);
                const float o = step1(g, sum, p1[row][q], p2[row][q]);
                if (n >= 0) dst[row][q][n] = o;
            }
    };
    long n = -N + 1;
    const long aligned = xsize < 8 ? xsize : 8;
    for (; n < aligned; ++n) edge(n);
    __m256 v1[Q][3], v2[Q][3], c_in[3][4], c_prev[3], c_prev2[3];
    for (int k = 0; k < 3; ++k) {
        for (int j = 0; j < 4; ++j) c_in[k][j] = _mm256_broadcast_ps(reinterpret_cast<const __m128 *>(g.mul_in[k][j]));
        c_prev[k] = _mm256_broadcast_ps(reinterpret_cast<const __m128 *>(g.mul_prev[k]));
        c_prev2[k] = _mm256_broadcast_ps(reinterpret_cast<const __m128 *>(g.mul_prev2[k]));
    }
    for (long q = 0; q < Q; ++q)
        for (int k = 0; k < 3; ++k) {
            v1[q][k] = both(p1[0][q][k], p1[1][q][k]);
            v2[q][k] = both(p2[0][q][k], p2[1][q][k]);
        }
    for (; n < xsize - N + 1 - 3; n += 4) {
        for (long q = 0; q < Q; ++q) {
            const __m256 sum = _mm256_add_ps(load2(sa[q] + n - N - 1, sb[q] + n - N - 1),
                                             load2(sa[q] + n + N - 1, sb[q] + n + N - 1));
            const __m256 in0 = _mm256_permute_ps(sum, 0x00), in1 = _mm256_permute_ps(sum, 0x55),
                         in2 = _mm256_permute_ps(sum, 0xAA), in3 = _mm256_permute_ps(sum, 0xFF);
            __m256 o[3];
            for (int k = 0; k < 3; ++k) {
                __m256 out = _mm256_mul_ps(in0, c_in[k][0]);
                out = _mm256_fmadd_ps(c_in[k][1], in1, out);
                out = _mm256_fmadd_ps(c_in[k][2], in2, out);
                out = _mm256_fmadd_ps(c_in[k][3], in3, out);
                out = _mm256_fmadd_ps(c_prev2[k], v2[q][k], out);
                out = _mm256_fmadd_ps(c_prev[k], v1[q][k], out);
                v2[q][k] = _mm256_permute_ps(out, 0xAA);
                v1[q][k] = _mm256_permute_ps(out, 0xFF);
                o[k] = out;
            }
            const __m256 r = _mm256_add_ps(o[0], _mm256_add_ps(o[1], o[2]));
            _mm_storeu_ps(da[q] + n, _mm256_castps256_ps128(r));
            _mm_storeu_ps(db[q] + n, _mm256_extractf128_ps(r, 1));
        }
    }
    for (long q = 0; q < Q; ++q)
        for (int k = 0; k < 3; ++k) {
            p1[0][q][k] = _mm256_cvtss_f32(v1[q][k]);
            p2[0][q][k] = _mm256_cvtss_f32(v2[q][k]);
            p1[1][q][k] = _mm_cvtss_f32(_mm256_extractf128_ps(v1[q][k], 1));
            p2[1][q][k] = _mm_cvtss_f32(_mm256_extractf128_ps(v2[q][k], 1));
        }
    for (; n < xsize; ++n) edge(n);
}
#endif

// Adds the maps of one row of a strip, `w` <= kStrip columns: m = blurred
// a, b, a*a, b*b, a*b. The terms are made for all kStrip lanes (zero past
// w) and added eight lanes at a time, so both loops vectorise.
void row_sums(const float *const *m, const float *a, const float *b, long w, MapSums &sums) {
    constexpr long S = static_cast<long>(kStrip);
    constexpr float kC2 = 0.0009f;
    alignas(32) float term[6][S];
    const float *__restrict m0 = m[0], *__restrict m1 = m[1], *__restrict m2 = m[2];
    const float *__restrict m3 = m[3], *__restrict m4 = m[4];
    for (long x = 0; x < w; ++x) {
        const float mu1 = m0[x], mu2 = m1[x];
        const float diff = mu1 - mu2;
        const float num_m = 1.0f - diff * diff;
        const float mu12 = mu1 * mu2, mu11 = mu1 * mu1, mu22 = mu2 * mu2;
        const float num_s = 2.0f * (m4[x] - mu12) + kC2;
        const float den_s = (m2[x] - mu11) + (m3[x] - mu22) + kC2;
        // max(v, 0) as (v + |v|) / 2, exact and without a branch
        const float dr = 1.0f - num_m * num_s / den_s;
        const float d = (dr + __builtin_fabsf(dr)) * 0.5f;
        const float d2 = d * d;
        const float e = (1.0f + __builtin_fabsf(b[x] - mu2)) / (1.0f + __builtin_fabsf(a[x] - mu1)) - 1.0f;
        const float art = (e + __builtin_fabsf(e)) * 0.5f;
        const float det = (__builtin_fabsf(e) - e) * 0.5f;
        const float art2 = art * art, det2 = det * det;
        term[0][x] = d;
        term[1][x] = d2 * d2;
        term[2][x] = art;
        term[3][x] = art2 * art2;
        term[4][x] = det;
        term[5][x] = det2 * det2;
    }
    for (int i = 0; i < 6; ++i)
        for (long x = w; x < S; ++x) term[i][x] = 0.0f;
    double t[6];
    for (int i = 0; i < 6; ++i) {
        float acc[8] = {};
        for (long x = 0; x < S; x += 8)
            for (long j = 0; j < 8; ++j) acc[j] += term[i][x + j];
        double s = 0;
        for (long j = 0; j < 8; ++j) s += acc[j];
        t[i] = s;
    }
    sums.ssim[0] += t[0];
    sums.ssim[1] += t[1];
    sums.artifact[0] += t[2];
    sums.artifact[1] += t[3];
    sums.detail[0] += t[4];
    sums.detail[1] += t[5];
}

// Cube root of x >= 0: an exponent-third first guess (within 4 %) and two
// Halley steps, to float precision without a branch (a zero comes back as
// 1e-10, far below anything the metric resolves).
inline float cbrt_pos(float x) {
    x += 1e-30f;
    unsigned int i;
    __builtin_memcpy(&i, &x, 4);
    i = i / 3 + 0x2a514067u;
    float y;
    __builtin_memcpy(&y, &i, 4);
    for (int k = 0; k < 2; ++k) {
        const float y3 = y * y * y;
        y = y * (y3 + 2.0f * x) / (2.0f * y3 + x);
    }
    return y;
}

// The opsin absorbance of XYB: LMS-like mixes of linear RGB plus a bias.
constexpr float kM[3][3] = {
    {0.30f, 0.622f, 0.078f},
    {0.23f, 0.692f, 0.078f},
    {0.24342268924547819f, 0.20476744424496821f, 0.55180986650955360f},
};
constexpr float kBias = 0.0037930732552754493f;
constexpr float kCbrtBias = 0.155954200549248f;  // cbrt(kBias)

}  // namespace

// The five quantities of row y: a, b, a*a, b*b, a*b.
void products(const float *__restrict ra, const float *__restrict rb, size_t xsize,
              float *const *src) {
    float *__restrict s0 = src[0], *__restrict s1 = src[1], *__restrict s2 = src[2];
    float *__restrict s3 = src[3], *__restrict s4 = src[4];
    for (size_t x = 0; x < xsize; ++x) {
        const float va = ra[x], vb = rb[x];
        s0[x] = va;
        s1[x] = vb;
        s2[x] = va * va;
        s3[x] = vb * vb;
        s4[x] = va * vb;
    }
}

// Row y of `count` planes into their strips.
void to_strips(const float *const *dst, long count, size_t xsize, size_t ysize, size_t y,
               float *const *h) {
    for (long q = 0; q < count; ++q)
        for (size_t x0 = 0; x0 < xsize; x0 += kStrip) {
            const float *__restrict from = dst[q] + x0;
            float *__restrict to = h[q] + x0 * ysize + y * kStrip;
            if (xsize - x0 >= kStrip) {
                for (size_t x = 0; x < kStrip; ++x) to[x] = from[x];
            } else {
                for (size_t x = 0; x < xsize - x0; ++x) to[x] = from[x];
            }
        }
}

void blur_x_rows(const float *const *a, const float *const *b, size_t xsize, size_t ysize,
                 size_t y0, size_t y1, float *const *h, float *scratch) {
    const Resonators &g = resonators();
    float *src[2][Q], *dst[2][Q];
    for (long q = 0; q < Q; ++q)
        for (int r = 0; r < 2; ++r) {
            src[r][q] = scratch + (r * Q + q) * xsize;
            dst[r][q] = scratch + ((2 + r) * Q + q) * xsize;
        }
    size_t y = y0;
#if QM_SSIM2_FMA
    for (; y + 1 < y1; y += 2) {
        products(a[y], b[y], xsize, src[0]);
        products(a[y + 1], b[y + 1], xsize, src[1]);
        blur_row_pairs(g, src[0], src[1], dst[0], dst[1], static_cast<long>(xsize));
        to_strips(dst[0], Q, xsize, ysize, y, h);
        to_strips(dst[1], Q, xsize, ysize, y + 1, h);
        to_strips(src[0], 2, xsize, ysize, y, h + Q);  // a and b themselves
        to_strips(src[1], 2, xsize, ysize, y + 1, h + Q);
    }
#endif
    for (; y < y1; ++y) {
        products(a[y], b[y], xsize, src[0]);
        blur_rows(g, src[0], dst[0], static_cast<long>(xsize));
        to_strips(dst[0], Q, xsize, ysize, y, h);
        to_strips(src[0], 2, xsize, ysize, y, h + Q);
    }
}

void xyb_row(const float *__restrict r, const float *__restrict g, const float *__restrict b,
             float *__restrict xo, float *__restrict yo, float *__restrict bo, size_t n) {
    for (size_t x = 0; x < n; ++x) {
        const float R = r[x], G = g[x], B = b[x];
        const float m0 = kM[0][0] * R + kM[0][1] * G + kM[0][2] * B + kBias;
        const float m1 = kM[1][0] * R + kM[1][1] * G + kM[1][2] * B + kBias;
        const float m2 = kM[2][0] * R + kM[2][1] * G + kM[2][2] * B + kBias;
        // mixes of out-of-gamut colours may fall below zero: taken as zero
        const float l = cbrt_pos((m0 + __builtin_fabsf(m0)) * 0.5f) - kCbrtBias;
        const float m = cbrt_pos((m1 + __builtin_fabsf(m1)) * 0.5f) - kCbrtBias;
        const float s = cbrt_pos((m2 + __builtin_fabsf(m2)) * 0.5f) - kCbrtBias;
        const float X = 0.5f * (l - m), Y = 0.5f * (l + m);
        xo[x] = X * 14.0f + 0.42f;
        yo[x] = Y + 0.01f;
        bo[x] = (s - Y) + 0.55f;
    }
}

MapSums strip_sums(const float *const *h, size_t ysize, size_t x0, size_t x1) {
    const Resonators &g = resonators();
    constexpr long S = static_cast<long>(kStrip);
    const long w = static_cast<long>(x1 - x0), ys = static_cast<long>(ysize);
    // Per quantity and resonator the last two rows (n - 1, n - 2), and the output.
    alignas(32) float state[Q][3][2][kStrip] = {};
    alignas(32) float out[Q][kStrip];
    alignas(32) static const float zero[kStrip] = {};
    int last = 0;  // which of state[..][..][0/1] holds row n - 1
    const float n2[3] = {g.n2[0], g.n2[1], g.n2[2]};
    const float nd1[3] = {-g.d1[0], -g.d1[1], -g.d1[2]};
    MapSums sums;
    const float *m[Q];
    for (long q = 0; q < Q; ++q) m[q] = out[q];
    for (long n = -N + 1; n < ys; ++n) {
        const long top = n - N - 1, bottom = n + N - 1;
        for (long q = 0; q < Q; ++q) {
            const float *strip = h[q] + x0 * ysize;
            const float *__restrict t = top >= 0 ? strip + top * S : zero;
            const float *__restrict bo = bottom < ys ? strip + bottom * S : zero;
            float *__restrict y1a = state[q][0][last], *__restrict y2a = state[q][0][1 - last];
            float *__restrict y1b = state[q][1][last], *__restrict y2b = state[q][1][1 - last];
            float *__restrict y1c = state[q][2][last], *__restrict y2c = state[q][2][1 - last];
            float *__restrict o = out[q];
#pragma GCC ivdep
            for (long x = 0; x < w; ++x) {
                const float sum = t[x] + bo[x];
                // y = n2 * sum + (-d1 * y1 - y2); the new row replaces n - 2
                const float ya = fma1(n2[0], sum, fma1(nd1[0], y1a[x], -y2a[x]));
                const float yb = fma1(n2[1], sum, fma1(nd1[1], y1b[x], -y2b[x]));
                const float yc = fma1(n2[2], sum, fma1(nd1[2], y1c[x], -y2c[x]));
                y2a[x] = ya;
                y2b[x] = yb;
                y2c[x] = yc;
                o[x] = ya + (yb + yc);
            }
        }
        last = 1 - last;
        if (n >= 0) {
            const float *ra = h[Q] + x0 * ysize + n * S, *rb = h[Q + 1] + x0 * ysize + n * S;
            row_sums(m, ra, rb, w, sums);
        }
    }
    return sums;
}

}  // namespace QM_SSIM2_NS
}  // namespace ssim2
}  // namespace qmjxl
