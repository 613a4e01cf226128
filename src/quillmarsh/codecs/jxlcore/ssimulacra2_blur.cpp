// The blurred planes of SSIMULACRA 2 and the sums of its maps, one band of
// rows at a time.
//
// The metric's Gaussian (sigma 1.5) is Charalampidis' recursive filter of
// truncated cosines ("Recursive Implementation of the Gaussian Filter Using
// Truncated Cosine Functions", 2016): three second-order resonators
// (k = 1, 3, 5) fed with x[n - N - 1] + x[n + N - 1], N = 5, samples outside
// the image zero, run along the rows and then down the columns. Its
// resonators cancel outside a window, so the filter is exactly a symmetric
// 9-tap kernel (offsets -4..4; the response beyond is zero to 1e-15). That kernel, taken once from the recursion's impulse
// response, is applied here directly: the same filter with one rounding per
// tap instead of errors that build up along a row in float resonators, and
// with no dependence from one output to the next.
//
// A band needs no whole blurred plane: rows are blurred along x as the
// column pass reaches them (into a ring of the last nine), and each output
// row is summed into the maps as soon as it is made.
#include "jxlcore/ssimulacra2_internal.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace qmjxl {
namespace ssim2 {

namespace {

constexpr int R = kHalfWidth;        // kernel taps -R..R
constexpr size_t kRing = 2 * R + 1;  // horizontally blurred rows kept
constexpr size_t kQ = 5;             // blurred quantities: a, b, a*a, b*b, a*b
constexpr float kC2 = 0.0009f;

struct Kernel {
    float h[R + 1];  // h[0] the centre, h[j] for offsets -j and +j
};

// The impulse response of the recursive Gaussian of `sigma`, in double.
Kernel make_kernel(double sigma) {
    const double pi = 3.14159265358979323846;
    const double radius = std::round(3.2795 * sigma + 0.2546);
    const int n = static_cast<int>(radius);
    const double w[3] = {pi / (2 * radius), 3 * pi / (2 * radius), 5 * pi / (2 * radius)};
    const double p[3] = {1 / std::tan(0.5 * w[0]), -1 / std::tan(0.5 * w[1]), 1 / std::tan(0.5 * w[2])};
    const double r[3] = {p[0] * p[0] / std::sin(w[0]), -p[1] * p[1] / std::sin(w[1]),
                         p[2] * p[2] / std::sin(w[2])};
    double rho[3];
    for (int i = 0; i < 3; ++i) rho[i] = std::exp(-0.5 * sigma * sigma * w[i] * w[i]) / radius;
    const double d13 = p[0] * r[1] - r[0] * p[1];
    const double d35 = p[1] * r[2] - r[1] * p[2];
    const double d51 = p[2] * r[0] - r[2] * p[0];
    const double z15 = d35 / d13, z35 = d51 / d13;
    // beta solves A beta = g (Cramer's rule): the resonators' weights that
    // make the taps sum to one, match the Gaussian's variance and vanish at
    // the window's edge.
    const double A[3][3] = {{p[0], p[1], p[2]}, {r[0], r[1], r[2]}, {z15, z35, 1}};
    const double g[3] = {1, radius * radius - sigma * sigma, z15 * rho[0] + z35 * rho[1] + rho[2]};
    auto det = [](const double m[3][3]) {
        return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
               m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
               m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    };
    double n2[3], d1[3];
    for (int i = 0; i < 3; ++i) {
        double m[3][3];
        for (int row = 0; row < 3; ++row)
            for (int col = 0; col < 3; ++col) m[row][col] = col == i ? g[row] : A[row][col];
        const double beta = det(m) / det(A);
        n2[i] = -beta * std::cos(w[i] * (radius + 1));
        d1[i] = -2 * std::cos(w[i]);
    }
    // Run the recursion on a unit impulse at position 2n; output t is the
    // tap for offset t - 2n.
    const int len = 4 * n + 1;
    std::vector<double> in(len + 4 * n, 0.0), out(len, 0.0);
    in[2 * n + 2 * n] = 1.0;  // in[m + 2n] is input m
    double y1[3] = {}, y2[3] = {};
    for (int t = -n + 1; t < len; ++t) {
        const double s = in[t - n - 1 + 2 * n] + in[t + n - 1 + 2 * n];
        double o = 0;
        for (int k = 0; k < 3; ++k) {
            const double y = n2[k] * s - d1[k] * y1[k] - y2[k];
            y2[k] = y1[k];
            y1[k] = y;
            o += y;
        }
        if (t >= 0) out[t] = o;
    }
    Kernel kern{};
    for (int j = 0; j <= R; ++j) kern.h[j] = static_cast<float>(out[2 * n + j]);
    // (out[2n + R + 1 ..] are zero: the kernel ends at R.)
    return kern;
}

const Kernel &kernel() {
    static const Kernel k = make_kernel(1.5);
    return k;
}

// out[x] = sum of h[|j|] * in[x + j]; `in` has R zeros before and after.
void blur_row_x(const Kernel &k, const float *in, float *out, size_t xsize) {
    const float h0 = k.h[0], h1 = k.h[1], h2 = k.h[2], h3 = k.h[3], h4 = k.h[4];
    for (size_t x = 0; x < xsize; ++x) {
        const float *c = in + x;
        out[x] = h0 * c[0] + h1 * (c[-1] + c[1]) + h2 * (c[-2] + c[2]) + h3 * (c[-3] + c[3]) +
                 h4 * (c[-4] + c[4]);
    }
}

// out[x] = sum of h[|j|] * rows[R + j][x].
void blur_rows_y(const Kernel &k, const float *const *rows, float *out, size_t xsize) {
    const float h0 = k.h[0], h1 = k.h[1], h2 = k.h[2], h3 = k.h[3], h4 = k.h[4];
    const float *r0 = rows[0], *r1 = rows[1], *r2 = rows[2], *r3 = rows[3], *r4 = rows[4];
    const float *r5 = rows[5], *r6 = rows[6], *r7 = rows[7], *r8 = rows[8];
    for (size_t x = 0; x < xsize; ++x)
        out[x] = h0 * r4[x] + h1 * (r3[x] + r5[x]) + h2 * (r2[x] + r6[x]) + h3 * (r1[x] + r7[x]) +
                 h4 * (r0[x] + r8[x]);
}

// Adds row `y`'s SSIM and edge terms to `sums`: m = blurred a, b, a*a, b*b, a*b.
void row_sums(const float *const *m, const float *a, const float *b, size_t xsize, MapSums &sums) {
    constexpr size_t L = 8;  // independent partial sums, so the loop vectorises
    float acc[6][L] = {};
    auto one = [&](size_t x, size_t j) {
        const float mu1 = m[0][x], mu2 = m[1][x];
        const float diff = mu1 - mu2;
        const float num_m = 1.0f - diff * diff;
        const float num_s = 2.0f * (m[4][x] - mu1 * mu2) + kC2;
        const float den_s = (m[2][x] - mu1 * mu1) + (m[3][x] - mu2 * mu2) + kC2;
        float d = 1.0f - num_m * num_s / den_s;
        d = d > 0.0f ? d : 0.0f;
        const float d2 = d * d;
        acc[0][j] += d;
        acc[1][j] += d2 * d2;
        const float e = (1.0f + std::fabs(b[x] - mu2)) / (1.0f + std::fabs(a[x] - mu1)) - 1.0f;
        const float art = e > 0.0f ? e : 0.0f, det = e < 0.0f ? -e : 0.0f;
        const float art2 = art * art, det2 = det * det;
        acc[2][j] += art;
        acc[3][j] += art2 * art2;
        acc[4][j] += det;
        acc[5][j] += det2 * det2;
    };
    size_t x = 0;
    for (; x + L <= xsize; x += L)
        for (size_t j = 0; j < L; ++j) one(x + j, j);
    for (size_t j = 0; x < xsize; ++x, ++j) one(x, j);
    double t[6];
    for (int i = 0; i < 6; ++i) {
        double s = 0;
        for (size_t j = 0; j < L; ++j) s += acc[i][j];
        t[i] = s;
    }
    sums.ssim[0] += t[0];
    sums.ssim[1] += t[1];
    sums.artifact[0] += t[2];
    sums.artifact[1] += t[3];
    sums.detail[0] += t[4];
    sums.detail[1] += t[5];
}

}  // namespace

// Layout of mem_: kQ source rows with R zeros either side, kQ rings of
// kRing rows, kQ output rows, one row of zeros.
BandScratch::BandScratch(size_t xsize)
    : xsize_(xsize), mem_(kQ * (xsize + 2 * R) + (kQ * kRing + kQ + 1) * xsize, 0.0f) {}

MapSums band_sums(const float *const *a, const float *const *b, size_t xsize, size_t ysize,
                  size_t r0, size_t r1, BandScratch &scratch) {
    const Kernel &k = kernel();
    const size_t W = scratch.xsize_;
    float *mem = scratch.mem_.data();
    float *src[kQ], *ring[kQ][kRing], *out[kQ];
    for (size_t q = 0; q < kQ; ++q, mem += W + 2 * R) {
        src[q] = mem + R;
        std::fill(src[q] + xsize, src[q] + xsize + R, 0.0f);
    }
    for (size_t q = 0; q < kQ; ++q)
        for (size_t i = 0; i < kRing; ++i, mem += W) ring[q][i] = mem;
    for (size_t q = 0; q < kQ; ++q, mem += W) out[q] = mem;
    const float *zero = mem;

    // Blurs input row y along x into the ring.
    auto enter = [&](size_t y) {
        const float *ra = a[y], *rb = b[y];
        float *s0 = src[0], *s1 = src[1], *s2 = src[2], *s3 = src[3], *s4 = src[4];
        for (size_t x = 0; x < xsize; ++x) {
            const float va = ra[x], vb = rb[x];
            s0[x] = va;
            s1[x] = vb;
            s2[x] = va * va;
            s3[x] = vb * vb;
            s4[x] = va * vb;
        }
        for (size_t q = 0; q < kQ; ++q) blur_row_x(k, src[q], ring[q][y % kRing], xsize);
    };
    const size_t first = r0 > static_cast<size_t>(R) ? r0 - R : 0;
    size_t next = first;  // the next input row to blur along x
    MapSums sums;
    const float *rows[kRing];
    for (size_t n = r0; n < r1; ++n) {
        for (; next < ysize && next <= n + R; ++next) enter(next);
        for (size_t q = 0; q < kQ; ++q) {
            for (int j = -R; j <= R; ++j) {
                const long y = static_cast<long>(n) + j;
                rows[j + R] = y >= 0 && y < static_cast<long>(ysize) ? ring[q][y % kRing] : zero;
            }
            blur_rows_y(k, rows, out[q], xsize);
        }
        row_sums(out, a[n], b[n], xsize, sums);
    }
    return sums;
}

}  // namespace ssim2
}  // namespace qmjxl
