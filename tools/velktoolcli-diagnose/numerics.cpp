// The numerical routines of the diagnosis: delays from phase slopes, the
// steered response, the assignment, least-squares position, peaks and
// directions.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "diagnose.h"

namespace {

const double twoPi = 6.283185307179586;

// Solves the 3 x 3 system a x = b by Gaussian elimination with partial
// pivoting; 1 when it is singular.
int solve3(double a[3][3], double b[3], double x[3])
{
    int idx[3] = {0, 1, 2};
    for (int c = 0; c < 3; c++) {
        int p = c;
        for (int r = c + 1; r < 3; r++)
            if (std::fabs(a[idx[r]][c]) > std::fabs(a[idx[p]][c]))
                p = r;
        std::swap(idx[c], idx[p]);
        double pivot = a[idx[c]][c];
        if (!(std::fabs(pivot) > 1e-300))
            return 1;
        for (int r = c + 1; r < 3; r++) {
            double f = a[idx[r]][c] / pivot;
            for (int k = c; k < 3; k++)
                a[idx[r]][k] -= f * a[idx[c]][k];
            b[idx[r]] -= f * b[idx[c]];
        }
    }
    for (int c = 2; c >= 0; c--) {
        double v = b[idx[c]];
        for (int k = c + 1; k < 3; k++)
            v -= a[idx[c]][k] * x[k];
        x[c] = v / a[idx[c]][c];
    }
    return 0;
}

} // namespace

double diag_pairDelay(const diag_Complex *a, const diag_Complex *b, int k0, int k1, int nfft,
                      int *inverted)
{
    static thread_local std::vector<double> phases, bins;
    phases.clear();
    bins.clear();
    double phase = 0.0;
    std::complex<double> prev;
    for (int k = k0; k <= k1; k++) {
        std::complex<double> c = std::complex<double>(a[k]) * std::conj(std::complex<double>(b[k]));
        double power = std::norm(c);
        if (!(power > 0.0) || !std::isfinite(power))
            continue;
        // The phase grows by at most pi per bin for delays below nfft/2
        // samples, so the step from the last usable bin unwraps it.
        phase = phases.empty() ? std::arg(c) : phase + std::arg(c * std::conj(prev));
        prev = c;
        phases.push_back(phase);
        bins.push_back(k);
    }
    const size_t n = phases.size();
    if (n == 0)
        return std::numeric_limits<double>::quiet_NaN();
    // The phase at bin 0 (the intercept of a line through the phases) is
    // 0, or pi when one signal is inverted: then pi is taken off.
    double shift = 0.0;
    if (inverted != nullptr) {
        double sk = 0, sp = 0, skk = 0, skp = 0;
        for (size_t i = 0; i < n; i++) {
            sk += bins[i];
            sp += phases[i];
            skk += bins[i] * bins[i];
            skp += bins[i] * phases[i];
        }
        double den = n * skk - sk * sk;
        double intercept = n > 1 && den > 0 ? (sp * skk - sk * skp) / den : phases[0];
        double wrapped = std::remainder(intercept, twoPi);
        *inverted = std::fabs(wrapped) > twoPi / 4;
        shift = intercept - wrapped + (*inverted ? (wrapped > 0 ? twoPi / 2 : -twoPi / 2) : 0.0);
    }
    double sumKP = 0.0, sumKK = 0.0;
    for (size_t i = 0; i < n; i++) {
        sumKP += bins[i] * (phases[i] - shift);
        sumKK += bins[i] * bins[i];
    }
    return -sumKP / sumKK * nfft / twoPi;
}

void diag_phatRows(const diag_Complex *h, int bins, int rows, const int *used,
                   const int *polarity, int k0, int k1, diag_Phat *out)
{
    out->rows = rows;
    out->k0 = k0;
    out->K = k1 - k0 + 1;
    out->stride = (out->K + 3) / 4 * 4;
    out->re.assign((size_t)rows * out->stride, 0.0f);
    out->im.assign((size_t)rows * out->stride, 0.0f);
    for (int m = 0; m < rows; m++) {
        if (!used[m])
            continue;
        for (int k = k0; k <= k1; k++) {
            diag_Complex v = h[(size_t)m * bins + k] * (float)(polarity ? polarity[m] : 1);
            float power = std::norm(v);
            if (!(power > 0.0f) || !std::isfinite(power))
                continue;
            float scale = 1.0f / std::sqrt(power);
            out->re[(size_t)m * out->stride + (k - k0)] = v.real() * scale;
            out->im[(size_t)m * out->stride + (k - k0)] = v.imag() * scale;
        }
    }
}

double diag_steeredPower(const diag_Phat &x, const int *used, const double *tau, int nfft)
{
    // Four bins at a time: each lane turns by e^(i 4 theta) per step.
    typedef float V4 __attribute__((vector_size(16)));
    const int steps = x.stride / 4;
    static thread_local std::vector<V4> sumRe, sumIm;
    sumRe.assign((size_t)steps, V4{0, 0, 0, 0});
    sumIm.assign((size_t)steps, V4{0, 0, 0, 0});
    int count = 0;
    for (int m = 0; m < x.rows; m++) {
        if (!used[m])
            continue;
        count++;
        // In single precision the rotation's error after the few hundred
        // steps of a band stays far below 1e-4.
        const double theta = twoPi * tau[m] / nfft;
        const std::complex<double> step = std::polar(1.0, theta);
        std::complex<double> z = x.k0 == 1 ? step : std::polar(1.0, theta * x.k0);
        V4 zr, zi;
        for (int l = 0; l < 4; l++, z *= step) {
            zr[l] = (float)z.real();
            zi[l] = (float)z.imag();
        }
        const std::complex<double> step4 = step * step * step * step;
        const V4 cr = {(float)step4.real(), (float)step4.real(), (float)step4.real(),
                       (float)step4.real()};
        const V4 ci = {(float)step4.imag(), (float)step4.imag(), (float)step4.imag(),
                       (float)step4.imag()};
        const float *re = x.re.data() + (size_t)m * x.stride;
        const float *im = x.im.data() + (size_t)m * x.stride;
        for (int j = 0; j < steps; j++) {
            V4 xr, xi;
            memcpy(&xr, re + 4 * j, sizeof xr);
            memcpy(&xi, im + 4 * j, sizeof xi);
            sumRe[(size_t)j] += xr * zr - xi * zi;
            sumIm[(size_t)j] += xr * zi + xi * zr;
            const V4 t = zr * cr - zi * ci;
            zi = zr * ci + zi * cr;
            zr = t;
        }
    }
    if (count == 0 || x.K <= 0)
        return 0.0;
    double power = 0.0;
    for (int j = 0; j < steps; j++)
        for (int l = 0; l < 4; l++)
            power += (double)sumRe[(size_t)j][l] * sumRe[(size_t)j][l] +
                     (double)sumIm[(size_t)j][l] * sumIm[(size_t)j][l];
    return power / ((double)count * count * x.K);
}

void diag_assign(const std::vector<double> &cost, int n, std::vector<int> *assignment)
{
    // Potentials u (rows) and v (columns), 1-based with a virtual column 0.
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> u((size_t)n + 1, 0.0), v((size_t)n + 1, 0.0);
    std::vector<int> p((size_t)n + 1, 0), way((size_t)n + 1, 0);
    for (int i = 1; i <= n; i++) {
        p[0] = i;
        int j0 = 0;
        std::vector<double> minv((size_t)n + 1, inf);
        std::vector<char> usedCol((size_t)n + 1, 0);
        do {
            usedCol[(size_t)j0] = 1;
            int i0 = p[(size_t)j0], j1 = 0;
            double delta = inf;
            for (int j = 1; j <= n; j++) {
                if (usedCol[(size_t)j])
                    continue;
                double cur = cost[(size_t)(i0 - 1) * n + (j - 1)] - u[(size_t)i0] - v[(size_t)j];
                if (cur < minv[(size_t)j]) {
                    minv[(size_t)j] = cur;
                    way[(size_t)j] = j0;
                }
                if (minv[(size_t)j] < delta) {
                    delta = minv[(size_t)j];
                    j1 = j;
                }
            }
            for (int j = 0; j <= n; j++) {
                if (usedCol[(size_t)j]) {
                    u[(size_t)p[(size_t)j]] += delta;
                    v[(size_t)j] -= delta;
                } else {
                    minv[(size_t)j] -= delta;
                }
            }
            j0 = j1;
        } while (p[(size_t)j0] != 0);
        do {
            int j1 = way[(size_t)j0];
            p[(size_t)j0] = p[(size_t)j1];
            j0 = j1;
        } while (j0 != 0);
    }
    assignment->assign((size_t)n, 0);
    for (int j = 1; j <= n; j++)
        if (p[(size_t)j] > 0)
            (*assignment)[(size_t)p[(size_t)j] - 1] = j - 1;
}

double diag_locate(const std::vector<diag_Vec3> &s, const std::vector<diag_Vec3> &q,
                   const std::vector<double> &d, diag_Vec3 start, diag_Vec3 *out)
{
    const size_t n = s.size();
    double p[3] = {start.x, start.y, start.z};
    std::vector<double> known(n);
    for (size_t i = 0; i < n; i++)
        known[i] = diag_distance(s[i], q[i]) + d[i];
    double sumSq = 0.0;
    for (int iter = 0; iter < 50; iter++) {
        double jtj[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}}, jtr[3] = {0, 0, 0};
        for (size_t i = 0; i < n; i++) {
            double diff[3] = {p[0] - s[i].x, p[1] - s[i].y, p[2] - s[i].z};
            double dist = std::sqrt(diff[0] * diff[0] + diff[1] * diff[1] + diff[2] * diff[2]);
            if (!(dist > 0.0))
                continue;
            double res = dist - known[i];
            for (int a = 0; a < 3; a++) {
                double ja = diff[a] / dist;
                jtr[a] += ja * res;
                for (int b = 0; b < 3; b++)
                    jtj[a][b] += ja * diff[b] / dist;
            }
        }
        // A small damping keeps the directions that the sources leave
        // undetermined (the height, for sources in the array's plane) at
        // the start value.
        double trace = jtj[0][0] + jtj[1][1] + jtj[2][2];
        for (int a = 0; a < 3; a++)
            jtj[a][a] += 1e-6 * trace + 1e-12;
        double step[3];
        double rhs[3] = {-jtr[0], -jtr[1], -jtr[2]};
        if (solve3(jtj, rhs, step) != 0)
            break;
        for (int a = 0; a < 3; a++)
            p[a] += step[a];
        if (std::fabs(step[0]) + std::fabs(step[1]) + std::fabs(step[2]) < 1e-9)
            break;
    }
    out->x = p[0];
    out->y = p[1];
    out->z = p[2];
    sumSq = 0.0;
    for (size_t i = 0; i < n; i++) {
        double res = diag_distance(s[i], *out) - known[i];
        sumSq += res * res;
    }
    return n > 0 ? std::sqrt(sumSq / (double)n) : 0.0;
}

double diag_peakIndex(const float *x, int n, int *sign)
{
    int best = 0;
    for (int i = 1; i < n; i++)
        if (std::fabs(x[i]) > std::fabs(x[best]))
            best = i;
    if (sign != nullptr)
        *sign = x[best] < 0 ? -1 : 1;
    if (n < 3)
        return best;
    double a = std::fabs(x[(best + n - 1) % n]), b = std::fabs(x[best]),
           c = std::fabs(x[(best + 1) % n]);
    double den = a - 2.0 * b + c;
    double shift = den < 0.0 ? 0.5 * (a - c) / den : 0.0;
    if (shift > 0.5)
        shift = 0.5;
    if (shift < -0.5)
        shift = -0.5;
    return best + shift;
}

double diag_distance(diag_Vec3 a, diag_Vec3 b)
{
    double dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z;
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

void diag_direction(diag_Vec3 p, double *az, double *el)
{
    *az = std::atan2(p.y, p.x) * 360.0 / twoPi;
    *el = std::atan2(p.z, std::hypot(p.x, p.y)) * 360.0 / twoPi;
}

diag_Vec3 diag_fromDirection(double az, double el, double r)
{
    double a = az * twoPi / 360.0, e = el * twoPi / 360.0;
    return {r * std::cos(e) * std::cos(a), r * std::cos(e) * std::sin(a), r * std::sin(e)};
}

double diag_angle(double az1, double el1, double az2, double el2)
{
    diag_Vec3 u = diag_fromDirection(az1, el1, 1.0), v = diag_fromDirection(az2, el2, 1.0);
    // From the chord between the unit vectors: accurate at small angles.
    double chord = diag_distance(u, v);
    return 2.0 * std::asin(std::min(1.0, chord / 2.0)) * 360.0 / twoPi;
}

double diag_median(std::vector<double> v)
{
    v.erase(std::remove_if(v.begin(), v.end(), [](double x) { return !std::isfinite(x); }),
            v.end());
    if (v.empty())
        return std::numeric_limits<double>::quiet_NaN();
    size_t mid = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + (long)mid, v.end());
    double upper = v[mid];
    if (v.size() % 2 == 1)
        return upper;
    double lower = *std::max_element(v.begin(), v.begin() + (long)mid);
    return 0.5 * (lower + upper);
}
