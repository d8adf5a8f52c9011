// The numerical routines of the diagnosis: delays from phase slopes, the
// steered response, the assignment, least-squares position, peaks and
// directions.
#include <algorithm>
#include <cmath>
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

double diag_pairDelay(const diag_Complex *a, const diag_Complex *b, int k0, int k1, int nfft)
{
    double phase = 0.0, sumKP = 0.0, sumKK = 0.0;
    std::complex<double> prev;
    bool havePrev = false;
    for (int k = k0; k <= k1; k++) {
        std::complex<double> c = std::complex<double>(a[k]) * std::conj(std::complex<double>(b[k]));
        if (!(std::abs(c) > 0.0) || !std::isfinite(c.real()) || !std::isfinite(c.imag()))
            continue;
        // The phase grows by at most pi per bin for delays below nfft/2
        // samples, so the step from the last usable bin unwraps it.
        phase = havePrev ? phase + std::arg(c * std::conj(prev)) : std::arg(c);
        prev = c;
        havePrev = true;
        sumKP += k * phase;
        sumKK += (double)k * k;
    }
    if (!havePrev)
        return std::numeric_limits<double>::quiet_NaN();
    return -sumKP / sumKK * nfft / twoPi;
}

double diag_steeredPower(const diag_Complex *x, int stride, int rows, const int *used,
                         const double *tau, int k0, int k1, int nfft)
{
    const int K = k1 - k0 + 1;
    static thread_local std::vector<diag_Complex> sum;
    sum.assign((size_t)K, diag_Complex(0.0f, 0.0f));
    int count = 0;
    for (int m = 0; m < rows; m++) {
        if (!used[m])
            continue;
        count++;
        const double theta = twoPi * tau[m] / nfft;
        const std::complex<double> rot = std::polar(1.0, theta);
        std::complex<double> z = std::polar(1.0, theta * k0);
        const diag_Complex *row = x + (size_t)m * stride;
        for (int k = 0; k < K; k++) {
            sum[(size_t)k] += row[k0 + k] * diag_Complex((float)z.real(), (float)z.imag());
            z *= rot;
        }
    }
    if (count == 0 || K <= 0)
        return 0.0;
    double power = 0.0;
    for (const diag_Complex &v : sum)
        power += std::norm(v);
    return power / ((double)count * count * K);
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
