// The FFT kernels on the vectors every build has: two complex floats or one
// complex double per 16-byte vector (see fft_kernels.h).
#include "fft_engine.h"
#include "fft_kernels.h"

constinit const velk_fft::KernelSet velk_fft::baselineKernels =
    kernelSet<Float2, Float1, Double1, Double1>("baseline");
