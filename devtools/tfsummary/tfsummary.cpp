// velktfsummary: a short summary of transfer-function archives for the demo
// (a developer program, not installed). Every archive is loaded with the
// library's own loader (velkio_TransferFunction_fromFile), which checks the
// zip, the documents and every matrix; the summary gives the counts, the
// kinds present and whether every value is finite.
//
//   velktfsummary ARCHIVE [REFERENCE]
//
// With a REFERENCE archive (the geometric transfer functions of the same
// positions), it also runs a direction check: for every source position of
// ARCHIVE, the steered power sum over bins k of |sum over microphones m of
// conj(R[p][m][k]) * A[s][m][k]|^2 is computed against the localization TFs
// of every reference position p, and the best p should be the source's own
// position (same id). Exit status 1 when an archive does not load or holds a
// value that is not finite; the direction check only reports.
#include <cmath>
#include <cstdio>
#include <string>

#include "velkio.h"

namespace {

int allFinite(velkio_Matrix **v, int count)
{
    for (int i = 0; i < count; i++)
        for (int j = 0; j < v[i]->rows * v[i]->cols; j++)
            if (!std::isfinite(v[i]->data[j].real()) || !std::isfinite(v[i]->data[j].imag()))
                return 0;
    return 1;
}

// One line about the archive; 0 when all its values are finite.
int summarize(const char *path, const velkio_TransferFunction *tf)
{
    int nSrc = velkio_Positions_getSize(tf->positions);
    int nMic = velkio_Positions_getSize(tf->microphones);
    int nfft = tf->config ? tf->config->nfft : 0;
    int rate = tf->config ? tf->config->samplingRate : 0;
    int rows = tf->nLocTFs > 0 ? tf->locTFs[0]->rows : tf->nSepTFs > 0 ? tf->sepTFs[0]->rows : 0;
    std::string kinds = tf->nLocTFs > 0 && tf->nSepTFs > 0 ? "localization and separation"
                        : tf->nLocTFs > 0                  ? "localization"
                        : tf->nSepTFs > 0                  ? "separation"
                                                           : "no";
    int finite = allFinite(tf->locTFs, tf->nLocTFs) && allFinite(tf->sepTFs, tf->nSepTFs);
    printf("%s: %d source positions x %d microphones (%d rows), nfft %d, %d Hz; "
           "%s transfer functions; %s\n",
           path, nSrc, nMic, rows, nfft, rate, kinds.c_str(),
           finite ? "all values finite" : "VALUES NOT FINITE");
    return finite ? 0 : 1;
}

double steeredPower(const velkio_Matrix *a, const velkio_Matrix *r)
{
    double power = 0.0;
    for (int k = 1; k + 1 < a->cols; k++) {
        velkio_Complex sum = 0.0f;
        for (int m = 0; m < a->rows; m++)
            sum += std::conj(r->data[m * r->cols + k]) * a->data[m * a->cols + k];
        power += std::norm(sum);
    }
    return power;
}

// Index in the reference of the position with this id, or -1.
int referenceIndex(const velkio_TransferFunction *ref, int id)
{
    for (int p = 0; p < ref->positions->count; p++)
        if (ref->positions->list[p]->id == id)
            return p;
    return -1;
}

void directionCheck(const velkio_TransferFunction *tf, const velkio_TransferFunction *ref)
{
    if (tf->nLocTFs == 0 || ref->nLocTFs == 0 || tf->locTFs[0]->rows != ref->locTFs[0]->rows ||
        tf->locTFs[0]->cols != ref->locTFs[0]->cols) {
        printf("direction check: the archives' localization TFs do not have the same shape\n");
        return;
    }
    int n = tf->nLocTFs, own = 0, near = 0;
    for (int s = 0; s < n; s++) {
        int best = 0;
        double bestPower = -1.0;
        for (int p = 0; p < ref->nLocTFs; p++) {
            double power = steeredPower(tf->locTFs[s], ref->locTFs[p]);
            if (power > bestPower) {
                bestPower = power;
                best = p;
            }
        }
        int want = referenceIndex(ref, tf->positions->list[s]->id);
        int nRef = ref->nLocTFs;
        int step = want < 0 ? nRef : std::abs(best - want);
        own += step == 0;
        near += step <= 1 || step == nRef - 1;
    }
    printf("direction check: %d of %d source positions point at their own position, "
           "%d within one position\n", own, n, near);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: velktfsummary ARCHIVE [REFERENCE]\n");
        return 1;
    }
    int status = 0;
    velkio_TransferFunction *tf = velkio_TransferFunction_fromFile(argv[1], "transfer function");
    velkio_TransferFunction *ref = nullptr;
    if (tf == nullptr || summarize(argv[1], tf) != 0)
        status = 1;
    if (status == 0 && argc == 3) {
        ref = velkio_TransferFunction_fromFile(argv[2], "transfer function");
        if (ref == nullptr)
            status = 1;
        else
            directionCheck(tf, ref);
    }
    velkio_TransferFunction_delete(&tf);
    velkio_TransferFunction_delete(&ref);
    return status;
}
