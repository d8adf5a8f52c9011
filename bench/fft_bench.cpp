// Forward complex transform: this suite's engine, FFTW (FFTW_MEASURE plans)
// and KISS FFT, single and double precision, n = 512 .. 65536.  After the
// runs, prints the ratio ours / FFTW per size and precision.
#include <benchmark/benchmark.h>
#include <fftw3.h>
#include <kissfft/kiss_fft.h>
#include <kissfft/kissfft.hh>

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

void ours(const std::complex<float> *in, std::complex<float> *out, int n)
{
    velktool_FFTImpl_fFFT(in, out, n);
}
void ours(const std::complex<double> *in, std::complex<double> *out, int n)
{
    velktool_FFTImpl_dFFT(in, out, n);
}

template <typename T> void BM_ours(benchmark::State &state)
{
    int n = (int)state.range(0);
    auto in = signal<T>(n);
    std::vector<std::complex<T>> out(n);
    ours(in.data(), out.data(), n); // tables are built once per length
    for (auto _ : state) {
        ours(in.data(), out.data(), n);
        benchmark::DoNotOptimize(out.data());
    }
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

void sizes(benchmark::internal::Benchmark *b)
{
    for (int n : SIZES)
        b->Arg(n);
}

// Keeps the CPU time per iteration of every run, by name, for the ratio
// table (CPU time, so that other load on the machine matters less).
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &r : runs)
            times[r.benchmark_name()] = r.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

double timeOf(const RatioReporter &rep, const std::string &name, int n)
{
    auto it = rep.times.find(name + "/" + std::to_string(n));
    return it == rep.times.end() ? 0 : it->second;
}

} // namespace

BENCHMARK(BM_ours<float>)->Apply(sizes);
BENCHMARK(BM_fftw_float)->Apply(sizes);
BENCHMARK(BM_kiss_float)->Apply(sizes);
BENCHMARK(BM_ours<double>)->Apply(sizes);
BENCHMARK(BM_fftw_double)->Apply(sizes);
BENCHMARK(BM_kiss_double)->Apply(sizes);

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    printf("\n| n | precision | ours / FFTW | ours / KISS FFT |\n|---|---|---|---|\n");
    for (const char *prec : {"float", "double"}) {
        for (int n : SIZES) {
            double o = timeOf(reporter, std::string("BM_ours<") + prec + ">", n);
            double f = timeOf(reporter, std::string("BM_fftw_") + prec, n);
            double k = timeOf(reporter, std::string("BM_kiss_") + prec, n);
            if (o > 0 && f > 0 && k > 0)
                printf("| %d | %s | %.2f | %.2f |\n", n, prec, o / f, o / k);
        }
    }
    benchmark::Shutdown();
    return 0;
}
