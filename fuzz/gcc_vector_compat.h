// Forced into every compilation of the fuzz build (clang): the FFT engine
// and the TSP code shuffle 16-byte vectors with GCC's __builtin_shuffle,
// which clang lacks.  These element-by-element equivalents follow GCC's
// rule (mask indices taken modulo the element count, or modulo twice the
// count with two inputs); speed does not matter under the fuzzer.
#ifndef VELK_GCC_VECTOR_COMPAT_H
#define VELK_GCC_VECTOR_COMPAT_H
#if defined(__clang__)

template <typename V, typename M> inline V __builtin_shuffle(V a, M mask)
{
    constexpr int n = sizeof(V) / sizeof(a[0]);
    V r = a;
    for (int i = 0; i < n; i++)
        r[i] = a[mask[i] & (n - 1)];
    return r;
}

template <typename V, typename M> inline V __builtin_shuffle(V a, V b, M mask)
{
    constexpr int n = sizeof(V) / sizeof(a[0]);
    V r = a;
    for (int i = 0; i < n; i++) {
        int k = (int)(mask[i] & (2 * n - 1));
        r[i] = k < n ? a[k] : b[k - n];
    }
    return r;
}

#endif
#endif
