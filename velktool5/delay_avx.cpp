// The bins of a pure delay on four doubles per vector.  This unit alone is
// compiled for AVX (without FMA, so that the values stay those of the
// baseline); calctfgeo.cpp calls it only when the processor has AVX.
#include "delay_kernels.h"

namespace velk_delay {
namespace {

typedef double Double4 __attribute__((vector_size(32)));
typedef float Float8 __attribute__((vector_size(32)));

struct Four {
    typedef Double4 D;
    typedef Float4 F;
    typedef Float8 Pair;
    enum { lanes = 4 };
    static D splat(double x) { return D{x, x, x, x}; }
    static D iota() { return D{0, 1, 2, 3}; }
    static Pair interleave(F re, F im)
    {
        return __builtin_shufflevector(re, im, 0, 4, 1, 5, 2, 6, 3, 7);
    }
};

} // namespace
} // namespace velk_delay

void velk_delay::delayBinsAvx(double turn, int nfft, int n, const double *wr, const double *wi,
                              velktool_ComplexFloat *bins)
{
    delayBins<Four>(turn, nfft, n, wr, wi, bins);
}
