// Transfer functions from the cut impulse responses, the library's
// transfer-function record and the archive, written once by the library
// with the report text as "transferFunction/README" and the cut ranges as
// calcTF elements of the archive's source position list.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "textutil.h"
#include "velktool.h"

namespace {

const char README_MEMBER[] = "transferFunction/README";

void freeMatrices(velkio_Matrix **&matrices, int count)
{
    if (matrices == nullptr)
        return;
    for (int s = 0; s < count; ++s)
        velkio_Matrix_delete(&matrices[s]);
    free(matrices);
    matrices = nullptr;
}

// One complex matrix [nMic][nfft/2+1] per source position, every value
// zero.
velkio_Matrix **newMatrices(void)
{
    const int cols = g.nfft / 2 + 1;
    velkio_Matrix **matrices =
        (velkio_Matrix **)calloc(g.nSrc > 0 ? g.nSrc : 1, sizeof *matrices);
    if (matrices == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "malloc Failed");
        velktool_Exit(1);
    }
    for (int s = 0; s < g.nSrc; ++s) {
        matrices[s] = velkio_Matrix_new("complex", g.nMic, cols);
        if (matrices[s] == nullptr) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "velkio_Matrix_new Failed");
            freeMatrices(matrices, s);
            velktool_Exit(1);
        }
    }
    return matrices;
}

// The same, from TFvect.
velkio_Matrix **matricesFromTFvect(void)
{
    const int cols = g.nfft / 2 + 1;
    velkio_Matrix **matrices = newMatrices();
    // Row j of a matrix is the row of TFvect, bins 0 .. nfft/2: every value
    // of the matrix is written.
    for (int s = 0; s < g.nSrc; ++s)
        for (int j = 0; j < g.nMic; ++j)
            memcpy((void *)(matrices[s]->data + (size_t)j * cols), g.TFvect[s][j],
                   (size_t)cols * sizeof *matrices[s]->data);
    return matrices;
}

// Prepares the work arrays for a second pass: TFvect and the FFT buffers
// are zero-filled (allocated if missing); tmpIRvect and tmpTFvect are
// rewritten in full by the separation pass before they are read, so their
// memory is left untouched until then.
void clearWorkArrays(void)
{
    if (g.tmpIRvect == nullptr)
        velktool_new(VELKTOOL_TMPIRVECT);
    if (g.TFvect == nullptr)
        velktool_new(VELKTOOL_TFVECT);
    if (g.fftIn == nullptr || g.fftOut == nullptr)
        velktool_new(VELKTOOL_FFTBUF);
    const size_t rows = (size_t)g.nSrc * g.nMic;
    const size_t bins = (size_t)(g.nfft / 2 + 1);
    // The three-dimensional arrays hold their data in one block each.
    memset((void *)g.TFvect[0][0], 0, rows * bins * sizeof(velktool_ComplexFloat));
    memset((void *)g.fftIn, 0, (size_t)g.nfft * sizeof(velktool_ComplexFloat));
    memset((void *)g.fftOut, 0, (size_t)g.nfft * sizeof(velktool_ComplexFloat));
}

} // namespace

void velktool_setLoctfFromArray(void)
{
    freeMatrices(g.loctf, g.nSrc); // a vector not yet handed to tf
    g.loctf = matricesFromTFvect();
}

void velktool_setSeptfFromArray(void)
{
    freeMatrices(g.septf, g.nSrc);
    g.septf = matricesFromTFvect();
}

namespace {

// Set while genTfFromIR runs: the impulse responses of a kind are not read
// again once transformed, so they are released before the matrices are
// made, and the allocator can give their memory to the matrices instead
// of fresh pages.
bool releaseAfterTransform = false;

void transformIR(float ***&irs)
{
    velktool_FFT(irs);
    if (releaseAfterTransform) {
        velktool_freeFloatThreeDim(irs);
        irs = nullptr;
    }
}

} // namespace

void genMUSIC(void)
{
    transformIR(g.IRvectLoc);
    velktool_setLoctfFromArray();
}

void genGSS(int normalizeSrc, int normalizeMic, int normalizeFreq)
{
    velktool_normalizeIR(g.IRvectSep);
    transformIR(g.IRvectSep);
    velktool_conjTF();
    velktool_setZeroToTFvect();
    // The powers in tmpTFvect are read by the normalizations only.
    if (normalizeSrc == 1 || normalizeMic == 1 || normalizeFreq == 1)
        normalizeTF(g.TFvect, normalizeSrc, normalizeMic, normalizeFreq);
    cat_asprintf(&g.info, "%s \n%s[%d]\n%s[%d]\n%s[%d]\n", "Normalization Type",
                 "- Source     ", normalizeSrc, "- Microphone ", normalizeMic,
                 "- Frequency  ", normalizeFreq);
    velktool_setSeptfFromArray();
}

void genTfFromIR(int tfType, int normalizeSrc, int normalizeMic,
                int normalizeFreq, int resetMic, const char *outputFile,
                const velktool_CutRangePair *ranges)
{
    releaseAfterTransform = true;
    if (tfType == LOC) {
        genMUSIC();
    } else if (tfType == SEP) {
        genGSS(normalizeSrc, normalizeMic, normalizeFreq);
    } else if (tfType == LOC_SEP) {
        genMUSIC();
        // The separation transfer functions start from cleared work arrays;
        // the arrays of the localization pass are reused, which spares
        // fresh memory (and its page faults) of the same size.
        clearWorkArrays();
        genGSS(normalizeSrc, normalizeMic, normalizeFreq);
    }
    releaseAfterTransform = false;
    writeTFWithReport(tfType, outputFile, resetMic, ranges);
}

namespace {

// Bins 0 .. nfft/2 of the transform of each rows[j] into row j of m,
// conjugated for the separation kind (whose bin nfft/2 is cleared).
void transformRows(float *const *rows, velkio_Matrix *m, bool separation)
{
    const int cols = g.nfft / 2 + 1;
    for (int j = 0; j < g.nMic; ++j) {
        velkio_Complex *row = m->data + (size_t)j * cols;
        velktool_FFTBins(rows[j], row);
        if (!separation)
            continue;
        for (int k = 0; k < cols; ++k)
            row[k] = std::conj(row[k]);
        row[g.nfft / 2] = 0;
    }
}

// The rows of the matrices as [nSrc][nMic] rows, for the normalizations.
velktool_ComplexFloat ***tfViewOf(velkio_Matrix **matrices)
{
    const size_t rows = (size_t)g.nSrc * (size_t)(g.nMic > 0 ? g.nMic : 0);
    velktool_ComplexFloat ***view = (velktool_ComplexFloat ***)calloc(
        (size_t)(g.nSrc > 0 ? g.nSrc : 1), sizeof *view);
    velktool_ComplexFloat **row = (velktool_ComplexFloat **)calloc(
        rows > 0 ? rows : 1, sizeof *row);
    if (view == nullptr || row == nullptr) {
        free(view);
        free(row);
        VELKIO_LOG(VELKIO_LOG_ERROR, "malloc Failed");
        velktool_Exit(1);
    }
    const int cols = g.nfft / 2 + 1;
    for (int s = 0; s < g.nSrc; ++s) {
        view[s] = row + (size_t)s * g.nMic;
        for (int j = 0; j < g.nMic; ++j)
            view[s][j] = matrices[s]->data + (size_t)j * cols;
    }
    view[0] = row; // also for no source: the row block is view[0]
    return view;
}

void freeTfView(velktool_ComplexFloat ***view)
{
    free(view[0]);
    free(view);
}

} // namespace

void velktool_newSourceMatrices(int tfType)
{
    if (tfType == LOC || tfType == LOC_SEP) {
        freeMatrices(g.loctf, g.nSrc);
        g.loctf = newMatrices();
    }
    if (tfType == SEP || tfType == LOC_SEP) {
        freeMatrices(g.septf, g.nSrc);
        g.septf = newMatrices();
    }
}

void velktool_transformSource(int tfType, int s, float *const *loc,
                              float **sep)
{
    if (tfType == LOC || tfType == LOC_SEP)
        transformRows(loc, g.loctf[s], false);
    if (tfType == SEP || tfType == LOC_SEP) {
        velktool_normalizeSourceIR(sep, s);
        transformRows(sep, g.septf[s], true);
    }
}

void genTfFromMatrices(int tfType, int normalizeSrc, int normalizeMic,
                      int normalizeFreq, int resetMic, const char *outputFile,
                      const velktool_CutRangePair *ranges)
{
    if (tfType == SEP || tfType == LOC_SEP) {
        if (normalizeSrc == 1 || normalizeMic == 1 || normalizeFreq == 1) {
            // The normalizations work on the matrices' rows.
            velktool_ComplexFloat ***view = tfViewOf(g.septf);
            normalizeTF(view, normalizeSrc, normalizeMic, normalizeFreq);
            freeTfView(view);
        }
        cat_asprintf(&g.info, "%s \n%s[%d]\n%s[%d]\n%s[%d]\n",
                     "Normalization Type", "- Source     ", normalizeSrc,
                     "- Microphone ", normalizeMic, "- Frequency  ", normalizeFreq);
    }
    writeTFWithReport(tfType, outputFile, resetMic, ranges);
}

namespace {

bool isUsedChannel(int id)
{
    for (int j = 0; j < g.nMic; ++j)
        if (g.micPosId[j] == id)
            return true;
    return false;
}

// Keeps only the microphones in use, numbered 0, 1, ... in list order, and
// drops the channel lists of the source positions.
void resetMicrophones(velkio_Positions *mics, velkio_Positions *sources)
{
    if (mics != nullptr) {
        int count = mics->count;
        for (int id = 0; id < count; ++id)
            if (!isUsedChannel(id))
                velkio_Positions_removeById(mics, id);
        for (int m = 0; m < mics->count; ++m)
            mics->list[m]->id = m;
    }
    for (int i = 0; sources != nullptr && i < sources->count; ++i)
        velkio_Position_setChannelsUse(sources->list[i], 0);
}

// The matrices are built in ascending id order (srcPosId), while the
// library stores matrix i with the i-th position of the list, which keeps
// the document's order.  The place in the list of the position with the
// s-th smallest id (equal ids keep their order), for every s; s itself
// when the list is not that of the run's sources.
std::vector<int> documentPlaces(const velkio_Positions *sources)
{
    std::vector<int> order(g.nSrc > 0 ? g.nSrc : 0);
    for (int i = 0; i < g.nSrc; ++i)
        order[i] = i;
    if (sources == nullptr || sources->count != g.nSrc)
        return order;
    std::stable_sort(order.begin(), order.end(), [sources](int a, int b) {
        return sources->list[a]->id < sources->list[b]->id;
    });
    return order;
}

// Puts matrix s at its position's place, so that every matrix is stored
// under its own position's id.
void toDocumentOrder(velkio_Matrix **matrices, const velkio_Positions *sources)
{
    if (matrices == nullptr)
        return;
    std::vector<int> order = documentPlaces(sources);
    std::vector<velkio_Matrix *> sorted(matrices, matrices + g.nSrc);
    for (int s = 0; s < g.nSrc; ++s)
        matrices[order[s]] = sorted[s];
}

// The transfer functions of g.sourceTF, made when the library writes each
// member: the library asks for the matrix of the place-th position of its
// list, that is for source sourceAt[place].
std::vector<int> sourceAt;
const int madeKinds[2] = {LOC, SEP};

int fillMadeMatrix(void *context, int place, velkio_Matrix *matrix)
{
    g.sourceTF(*(const int *)context, sourceAt[(size_t)place], matrix->data);
    return 0;
}

void setMadeKinds(int tfType, const velkio_Positions *sources)
{
    std::vector<int> order = documentPlaces(sources);
    sourceAt.assign(order.size(), 0);
    for (size_t s = 0; s < order.size(); ++s)
        sourceAt[(size_t)order[s]] = (int)s;
    velkio_MatrixSource made = {g.nMic, g.nfft / 2 + 1, fillMadeMatrix, nullptr};
    if (tfType == LOC || tfType == LOC_SEP) {
        made.context = (void *)&madeKinds[0];
        velkio_TransferFunction_setLocTFSource(g.tf, &made);
    }
    if (tfType == SEP || tfType == LOC_SEP) {
        made.context = (void *)&madeKinds[1];
        velkio_TransferFunction_setSepTFSource(g.tf, &made);
    }
}

template <typename T> T *detach(T *&member)
{
    T *p = member;
    member = nullptr;
    return p;
}

} // namespace

namespace {

// Builds g.tf from the documents and the matrix vectors (all of which move
// into it); ends the run when the record cannot be made.
void buildRecord(int tfType, int resetMic)
{
    velkio_XML empty = {nullptr, nullptr, nullptr};
    velkio_XML *src = g.srcXml != nullptr ? g.srcXml : &empty;
    velkio_XML *mic = g.micXml != nullptr ? g.micXml : &empty;
    if (resetMic)
        resetMicrophones(mic->poses, src->poses);

    // The record takes ownership of what it is given: the members leave the
    // documents, which velktool_freeMemory releases separately.
    if (g.tf != nullptr)
        velkio_TransferFunction_delete(&g.tf);
    velkio_Positions *sources = detach(src->poses);
    velkio_Positions *mics = detach(mic->poses);
    velkio_Config *config = detach(src->cfg);
    velkio_Neighbors *neighbors = detach(src->nbrs);
    g.tf = velkio_TransferFunction_fromData(sources, mics, config, neighbors);
    if (g.tf == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "velkio_TransferFunction_fromData error");
        velktool_Exit(1);
    }

    if (g.sourceTF != nullptr) {
        setMadeKinds(tfType, sources);
        return;
    }
    toDocumentOrder(g.loctf, sources);
    toDocumentOrder(g.septf, sources);
    // The matrix vectors belong to tf once handed over.
    if (tfType == LOC || tfType == LOC_SEP)
        velkio_TransferFunction_setLocTFs(g.tf, detach(g.loctf));
    if (tfType == SEP || tfType == LOC_SEP)
        velkio_TransferFunction_setSepTFs(g.tf, detach(g.septf));
    freeMatrices(g.loctf, g.nSrc);
    freeMatrices(g.septf, g.nSrc);
}

bool wasCut(const velktool_CutRange &range)
{
    return range.offset != 0 || range.cutIndexFrom != 0;
}

// The calcTF annotations of the cut ranges (indexed like srcPosId): the
// localization window, then the separation window, of every source that
// was cut, in ascending id order.
std::vector<velkio_CalcTF> calcTFsOf(const velktool_CutRangePair *ranges)
{
    std::vector<velkio_CalcTF> notes;
    for (int s = 0; ranges != nullptr && s < g.nSrc; ++s) {
        const velktool_CutRangePair &pair = ranges[s];
        if (wasCut(pair.loc))
            notes.push_back({g.srcPosId[s], "localization", pair.loc.offset,
                             pair.loc.cutIndexFrom, pair.loc.cutIndexTo});
        if (wasCut(pair.sep))
            notes.push_back({g.srcPosId[s], "separation", pair.sep.offset,
                             pair.sep.cutIndexFrom, pair.sep.cutIndexTo});
    }
    return notes;
}

} // namespace

void writeTFWithReport(int tfType, const char *outputFile, int resetMic,
                       const velktool_CutRangePair *ranges)
{
    buildRecord(tfType, resetMic);
    // Without a report the archive is the library's alone.
    std::vector<velkio_CalcTF> notes;
    velkio_ArchiveMember readme = {README_MEMBER, g.info, 0};
    if (g.info != nullptr) {
        notes = calcTFsOf(ranges);
        readme.size = strlen(g.info);
    }
    if (velkio_TransferFunction_writeAnnotated(g.tf, outputFile, nullptr, &readme,
                                               g.info != nullptr ? 1 : 0, notes.data(),
                                               (int)notes.size()) == 1) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "velkio_TransferFunction_write error");
        velktool_Exit(1);
    }
}
