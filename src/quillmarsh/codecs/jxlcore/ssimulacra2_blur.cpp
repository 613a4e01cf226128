// SSIMULACRA 2's blur and map sums: the recursive Gaussian's coefficients,
// and the choice between the two builds of the inner loops
// (ssimulacra2_kernels.h): AVX2 and FMA instructions where the CPU has them,
// portable code (fused multiply-adds in software) elsewhere.
//
// The Gaussian (sigma 1.5) is Charalampidis' recursive filter of truncated
// cosines ("Recursive Implementation of the Gaussian Filter Using Truncated
// Cosine Functions", 2016): three second-order resonators (k = 1, 3, 5) fed
// with x[n - N - 1] + x[n + N - 1], N = 5, whose outputs add up to the
// Gaussian; samples outside the image are zero. Run along the rows, then
// down the columns.
#include "jxlcore/ssimulacra2_internal.h"

#include <atomic>
#include <cmath>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define QM_SSIM2_HAVE_FMA_BUILD 1
#endif

#define QM_SSIM2_NS plain
#define QM_SSIM2_FMA 0
#include "jxlcore/ssimulacra2_kernels.h"
#undef QM_SSIM2_NS
#undef QM_SSIM2_FMA

namespace qmjxl {
namespace ssim2 {

#ifdef QM_SSIM2_HAVE_FMA_BUILD
namespace fma {
void blur_x_rows(const float *const *a, const float *const *b, size_t xsize, size_t ysize,
                 size_t y0, size_t y1, float *const *h, float *scratch);
MapSums strip_sums(const float *const *h, size_t ysize, size_t x0, size_t x1);
void xyb_row(const float *r, const float *g, const float *b, float *xo, float *yo, float *bo,
             size_t n);
}  // namespace fma
#endif

namespace {

Resonators make_resonators(double sigma) {
    const double pi = 3.14159265358979323846;
    const double radius = std::round(3.2795 * sigma + 0.2546);
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
    Resonators rs{};
    for (int i = 0; i < 3; ++i) {
        double m[3][3];
        for (int row = 0; row < 3; ++row)
            for (int col = 0; col < 3; ++col) m[row][col] = col == i ? g[row] : A[row][col];
        const double beta = det(m) / det(A);
        const double n2 = -beta * std::cos(w[i] * (radius + 1));
        const double d1 = -2 * std::cos(w[i]);
        rs.n2[i] = static_cast<float>(n2);
        rs.d1[i] = static_cast<float>(d1);
        // Four steps of y = n2 * in - d1 * y1 - y2 written out: lane j of a
        // block from inputs 0..j, the output before the block (prev) and
        // the one before that (prev2).
        const double d2 = d1 * d1;
        const double in[4] = {n2, -d1 * n2, d2 * n2 - n2, -d2 * d1 * n2 + 2.0 * d1 * n2};
        const double prev[4] = {-d1, d2 - 1.0, -d2 * d1 + 2.0 * d1, d2 * d2 - 3.0 * d2 + 1.0};
        const double prev2[4] = {-1.0, d1, -d2 + 1.0, d2 * d1 - 2.0 * d1};
        for (int j = 0; j < 4; ++j) {
            rs.mul_prev[i][j] = static_cast<float>(prev[j]);
            rs.mul_prev2[i][j] = static_cast<float>(prev2[j]);
            for (int s = 0; s < 4; ++s) rs.mul_in[i][s][j] = j >= s ? static_cast<float>(in[j - s]) : 0.0f;
        }
    }
    return rs;
}

bool cpu_has_fma() {
#ifdef QM_SSIM2_HAVE_FMA_BUILD
    static const bool yes = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return yes;
#else
    return false;
#endif
}

std::atomic<bool> g_fused_allowed{true};  // off only in tests (ssimulacra2_fused)

bool use_fma() { return cpu_has_fma() && g_fused_allowed.load(std::memory_order_relaxed); }

}  // namespace

const Resonators &resonators() {
    static const Resonators r = make_resonators(1.5);
    return r;
}

void blur_x_rows(const float *const *a, const float *const *b, size_t xsize, size_t ysize,
                 size_t y0, size_t y1, float *const *h, float *scratch) {
#ifdef QM_SSIM2_HAVE_FMA_BUILD
    if (use_fma()) return fma::blur_x_rows(a, b, xsize, ysize, y0, y1, h, scratch);
#endif
    plain::blur_x_rows(a, b, xsize, ysize, y0, y1, h, scratch);
}

void xyb_row(const float *r, const float *g, const float *b, float *xo, float *yo, float *bo,
             size_t n) {
#ifdef QM_SSIM2_HAVE_FMA_BUILD
    if (use_fma()) return fma::xyb_row(r, g, b, xo, yo, bo, n);
#endif
    plain::xyb_row(r, g, b, xo, yo, bo, n);
}

MapSums strip_sums(const float *const *h, size_t ysize, size_t x0, size_t x1) {
#ifdef QM_SSIM2_HAVE_FMA_BUILD
    if (use_fma()) return fma::strip_sums(h, ysize, x0, x1);
#endif
    return plain::strip_sums(h, ysize, x0, x1);
}

}  // namespace ssim2

bool allow_fused_kernels(bool allowed) {
    ssim2::g_fused_allowed.store(allowed);
    return ssim2::use_fma();
}

}  // namespace qmjxl
