// Transfer-function records with known values, for the tests and the fuzz
// targets' seeds (no test framework needed).
#ifndef VELK_TF_RECORDS_H
#define VELK_TF_RECORDS_H

#include <cstdlib>

#include "velkio.h"

namespace velktest {

// The value stored at (source s, microphone m, bin b) of kind k: distinct
// for every element, with fractions that single precision keeps exactly.
inline velkio_Complex legacyValue(int kind, int s, int m, int b)
{
    return velkio_Complex(0.5f * (float)(kind * 1000 + s * 100 + m * 10 + b) - 7.25f,
                          0.125f * (float)(kind - s - 3 * m - 5 * b));
}

inline velkio_Matrix **legacyMatrices(int kind, int nSources, int nMics, int nfft)
{
    velkio_Matrix **v = (velkio_Matrix **)calloc((size_t)nSources, sizeof *v);
    for (int s = 0; s < nSources; s++) {
        v[s] = velkio_Matrix_new("complex", nMics, nfft / 2 + 1);
        for (int m = 0; m < nMics; m++)
            for (int b = 0; b <= nfft / 2; b++)
                velkio_Matrix_setValueComplex(v[s], m, b, legacyValue(kind, s, m, b));
    }
    return v;
}

// A record of nSources source positions (ids 10, 11, ...; on a circle) and
// nMics microphones (ids 0, 1, ...), with localization TFs (kind 0) and,
// when withSep, separation TFs (kind 1).
inline velkio_TransferFunction *legacyRecord(int nSources, int nMics, int nfft,
                                             bool withSep = true, int rate = 16000)
{
    velkio_Positions *src = velkio_Positions_new("tsp", 0, 0, 0);
    for (int s = 0; s < nSources; s++) {
        float c[3] = {1.5f, 0.25f * (float)s, -0.5f};
        velkio_Positions_append(src, velkio_Position_new(10 + s, 1, c, "rec.wav"));
    }
    velkio_Positions *mic = velkio_Positions_new("microphone", 0, 0, 0);
    for (int m = 0; m < nMics; m++) {
        float c[3] = {0.05f * (float)m, -0.0625f, 0.125f};
        velkio_Positions_append(mic, velkio_Position_new(m, 1, c, nullptr));
    }
    velkio_Config *cfg = velkio_Config_new();
    velkio_Config_setNfft(cfg, nfft);
    velkio_Config_setSamplingRate(cfg, rate);
    velkio_Config_setSynchronousAverage(cfg, 16);
    velkio_Config_setTSPlength(cfg, 16384);
    velkio_Config_setTSPoffset(cfg, 3);
    velkio_Config_setPeakSearchFrom(cfg, 1);
    velkio_Config_setPeakSearchTo(cfg, 200);
    velkio_Config_setSignalMax(cfg, 32768);
    velkio_TransferFunction *tf = velkio_TransferFunction_fromData(src, mic, cfg, nullptr);
    velkio_TransferFunction_setLocTFs(tf, legacyMatrices(0, nSources, nMics, nfft));
    if (withSep)
        velkio_TransferFunction_setSepTFs(tf, legacyMatrices(1, nSources, nMics, nfft));
    return tf;
}

} // namespace velktest

#endif /* VELK_TF_RECORDS_H */
