// Forward transforms, complex and of real signals: this suite's engine (on
// the kernels the processor allows and on the baseline ones), FFTW
// (FFTW_MEASURE plans) and KISS FFT, single and double precision,
// n = 512 .. 65536.  After the runs, prints the ratios of the CPU times per
// size and precision (medians and minima when run with
// --benchmark_repetitions).
#include <benchmark/benchmark.h>
#include <fftw3.h>
#include <kissfft/kiss_fft.h>
#include <kissfft/kiss_fftr.h>
#include <kissfft/kissfft.hh>

#include <algorithm>
#include <complex>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "fft.h"

namespace {

const int SIZES[] = {512, 4096, 16384, 65536};

template <typename T> std::vector<std::complex<T>> signal(int n)
{
    std::mt19937 rng(n);
    std::uniform_real_distribution<T> u(-1, 1);
    std::vector<std::complex<T>> x(n);
    for (auto &v : x)
        v = {u(rng), u(rng)};
    return x;
}

template <typename T> std::vector<T> realSignal(int n)
{
    std::vector<T> x(n);
    auto c = signal<T>(n);
    for (int t = 0; t < n; ++t)
        x[t] = c[t].real();
    return x;
}

void ours(const std::complex<float> *in, std::complex<float> *out, int n)
{
    velktool_FFTImpl_fFFT(in, out, n);
}
void ours(const std::complex<double> *in, std::complex<double> *out, int n)
{
    velktool_FFTImpl_dFFT(in, out, n);
}
void oursReal(const float *in, std::complex<float> *out, int n)
{
    velktool_FFTImpl_fRealFFTHalf(in, out, n);
}
void oursReal(const double *in, std::complex<double> *out, int n)
{
    velktool_FFTImpl_dRealFFTHalf(in, out, n);
}

// Ours; `baseline` restricts the engine to its baseline kernels.
template <typename T, bool baseline> void BM_ours(benchmark::State &state)
{
    int n = (int)state.range(0);
    auto in = signal<T>(n);
    std::vector<std::complex<T>> out(n);
    velk_fftUseBaselineKernels(baseline);
    ours(in.data(), out.data(), n); // tables are built once per length
    for (auto _ : state) {
        ours(in.data(), out.data(), n);
        benchmark::DoNotOptimize(out.data());
    }
    velk_fftUseBaselineKernels(0);
}

template <typename T, bool baseline> void BM_oursReal(benchmark::State &state)
{
    int n = (int)state.range(0);
    auto in = realSignal<T>(n);
    std::vector<std::complex<T>> out(n / 2 + 1);
    velk_fftUseBaselineKernels(baseline);
    oursReal(in.data(), out.data(), n);
    for (auto _ : state) {
        oursReal(in.data(), out.data(), n);
        benchmark::DoNotOptimize(out.data());
    }
    velk_fftUseBaselineKernels(0);
}

void BM_fftw_float(benchmark::State &state)
{
    int n = (int)state.range(0);
    auto in = signal<float>(n);
    fftwf_complex *a = fftwf_alloc_complex(n), *b = fftwf_alloc_complex(n);
    fftwf_plan p = fftwf_plan_dft_1d(n, a, b, FFTW_FORWARD, FFTW_MEASURE);
    std::copy(in.begin(), in.end(), reinterpret_cast<std::complex<float> *>(a));
    for (auto _ : state) {
        fftwf_execute(p);
        benchmark::DoNotOptimize(b);
    }
    fftwf_destroy_plan(p);
    fftwf_free(a);
    fftwf_free(b);
}

void BM_fftw_double(benchmark::State &state)
{
    int n = (int)state.range(0);
    auto in = signal<double>(n);
    fftw_complex *a = fftw_alloc_complex(n), *b = fftw_alloc_complex(n);
    fftw_plan p = fftw_plan_dft_1d(n, a, b, FFTW_FORWARD, FFTW_MEASURE);
    std::copy(in.begin(), in.end(), reinterpret_cast<std::complex<double> *>(a));
    for (auto _ : state) {
        fftw_execute(p);
        benchmark::DoNotOptimize(b);
    }
    fftw_destroy_plan(p);
    fftw_free(a);
    fftw_free(b);
}

void BM_fftwReal_float(benchmark::State &state)
{
    int n = (int)state.range(0);
    auto in = realSignal<float>(n);
    float *a = fftwf_alloc_real(n);
    fftwf_complex *b = fftwf_alloc_complex(n / 2 + 1);
    fftwf_plan p = fftwf_plan_dft_r2c_1d(n, a, b, FFTW_MEASURE);
    std::copy(in.begin(), in.end(), a);
    for (auto _ : state) {
        fftwf_execute(p);
        benchmark::DoNotOptimize(b);
    }
    fftwf_destroy_plan(p);
    fftwf_free(a);
    fftwf_free(b);
}

void BM_fftwReal_double(benchmark::State &state)
{
    int n = (int)state.range(0);
    auto in = realSignal<double>(n);
    double *a = fftw_alloc_real(n);
    fftw_complex *b = fftw_alloc_complex(n / 2 + 1);
    fftw_plan p = fftw_plan_dft_r2c_1d(n, a, b, FFTW_MEASURE);
    std::copy(in.begin(), in.end(), a);
    for (auto _ : state) {
        fftw_execute(p);
        benchmark::DoNotOptimize(b);
    }
    fftw_destroy_plan(p);
    fftw_free(a);
    fftw_free(b);
}

void BM_kiss_float(benchmark::State &state)
{
    int n = (int)state.range(0);
    auto in = signal<float>(n);
    std::vector<std::complex<float>> out(n);
    kiss_fft_cfg cfg = kiss_fft_alloc(n, 0, nullptr, nullptr);
    for (auto _ : state) {
        kiss_fft(cfg, reinterpret_cast<const kiss_fft_cpx *>(in.data()),
                 reinterpret_cast<kiss_fft_cpx *>(out.data()));
        benchmark::DoNotOptimize(out.data());
    }
    kiss_fft_free(cfg);
}

void BM_kiss_double(benchmark::State &state)
{
    int n = (int)state.range(0);
    auto in = signal<double>(n);
    std::vector<std::complex<double>> out(n);
    kissfft<double> plan(n, false);
    for (auto _ : state) {
        plan.transform(in.data(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
}

void BM_kissReal_float(benchmark::State &state)
{
    int n = (int)state.range(0);
    auto in = realSignal<float>(n);
    std::vector<std::complex<float>> out(n / 2 + 1);
    kiss_fftr_cfg cfg = kiss_fftr_alloc(n, 0, nullptr, nullptr);
    for (auto _ : state) {
        kiss_fftr(cfg, in.data(), reinterpret_cast<kiss_fft_cpx *>(out.data()));
        benchmark::DoNotOptimize(out.data());
    }
    kiss_fftr_free(cfg);
}

// The C++ template's real transform: a plan of n/2 values, bins 0 and n/2
// packed into the first one.
void BM_kissReal_double(benchmark::State &state)
{
    int n = (int)state.range(0);
    auto in = realSignal<double>(n);
    std::vector<std::complex<double>> out(n / 2);
    kissfft<double> plan(n / 2, false);
    for (auto _ : state) {
        plan.transform_real(in.data(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
}

double minimum(const std::vector<double> &v)
{
    return *std::min_element(v.begin(), v.end());
}

void sizes(benchmark::internal::Benchmark *b)
{
    for (int n : SIZES)
        b->Arg(n);
    b->ComputeStatistics("min", minimum);
}

// Keeps the CPU time per iteration of every run, by name, for the ratio
// tables (CPU time, so that other load on the machine matters less): the
// median and the minimum of the repetitions when there are several, else
// the one run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &r : runs) {
            std::string name = r.run_name.str();
            if (r.run_type != Run::RT_Aggregate)
                times[name + "/single"] = r.GetAdjustedCPUTime();
            else if (r.aggregate_name == "median" || r.aggregate_name == "min")
                times[name + "/" + r.aggregate_name] = r.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    // `statistic` "median" or "min"; 0 when the benchmark did not run.
    double timeOf(const std::string &name, int n, const char *statistic) const
    {
        std::string key = name + "/" + std::to_string(n) + "/";
        auto it = times.find(key + statistic);
        if (it == times.end())
            it = times.find(key + "single");
        return it == times.end() ? 0 : it->second;
    }

private:
    std::map<std::string, double> times;
};

void printRatios(const RatioReporter &rep, const char *title, const char *ours,
                 const char *fftw, const char *kiss)
{
    printf("\n%s, ours on the %s kernels (CPU times, medians; ratios of the "
           "medians and of the minima)\n\n| n | precision | ours, µs | FFTW, µs | "
           "ours / FFTW | ours / FFTW, min | ours / KISS FFT | baseline kernels / "
           "FFTW |\n|---|---|---|---|---|---|---|---|\n",
           title, velk_fftKernelName());
    for (const char *prec : {"float", "double"}) {
        for (int n : SIZES) {
            std::string o = std::string(ours) + "<" + prec + ", false>";
            std::string b = std::string(ours) + "<" + prec + ", true>";
            std::string f = std::string(fftw) + "_" + prec;
            std::string k = std::string(kiss) + "_" + prec;
            double om = rep.timeOf(o, n, "median"), fm = rep.timeOf(f, n, "median");
            if (om <= 0 || fm <= 0)
                continue;
            double omin = rep.timeOf(o, n, "min"), fmin = rep.timeOf(f, n, "min");
            double km = rep.timeOf(k, n, "median"), bm = rep.timeOf(b, n, "median");
            char toKiss[16] = "-", baseToFftw[16] = "-";
            if (km > 0)
                snprintf(toKiss, sizeof toKiss, "%.2f", om / km);
            if (bm > 0)
                snprintf(baseToFftw, sizeof baseToFftw, "%.2f", bm / fm);
            printf("| %d | %s | %.3g | %.3g | %.2f | %.2f | %s | %s |\n", n, prec,
                   om * 1e-3, fm * 1e-3, om / fm, omin / fmin, toKiss, baseToFftw);
        }
    }
}

} // namespace

BENCHMARK(BM_ours<float, false>)->Apply(sizes);
BENCHMARK(BM_ours<float, true>)->Apply(sizes);
BENCHMARK(BM_fftw_float)->Apply(sizes);
BENCHMARK(BM_kiss_float)->Apply(sizes);
BENCHMARK(BM_ours<double, false>)->Apply(sizes);
BENCHMARK(BM_ours<double, true>)->Apply(sizes);
BENCHMARK(BM_fftw_double)->Apply(sizes);
BENCHMARK(BM_kiss_double)->Apply(sizes);
BENCHMARK(BM_oursReal<float, false>)->Apply(sizes);
BENCHMARK(BM_oursReal<float, true>)->Apply(sizes);
BENCHMARK(BM_fftwReal_float)->Apply(sizes);
BENCHMARK(BM_kissReal_float)->Apply(sizes);
BENCHMARK(BM_oursReal<double, false>)->Apply(sizes);
BENCHMARK(BM_oursReal<double, true>)->Apply(sizes);
BENCHMARK(BM_fftwReal_double)->Apply(sizes);
BENCHMARK(BM_kissReal_double)->Apply(sizes);

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printRatios(reporter, "Complex forward transform", "BM_ours", "BM_fftw",
                "BM_kiss");
    printRatios(reporter, "Forward transform of a real signal (half spectrum)",
                "BM_oursReal", "BM_fftwReal", "BM_kissReal");
    benchmark::Shutdown();
    return 0;
}
