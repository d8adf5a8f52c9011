// Numeric arrays of the run and their release (see velktool.h).
#include <cstdint>
#include <cstdlib>

#include "velktool.h"

namespace {

[[noreturn]] void outOfMemory(const char *routine)
{
    velkio_Log_printf_(VELKIO_LOG_ERROR, "can not allocated memory", 0, routine,
                       __LINE__);
    velktool_Exit(1);
}

size_t count(int n)
{
    return n > 0 ? (size_t)n : 0;
}

// n1 * n2, or ends the run when the product does not fit.
size_t product(size_t n1, size_t n2, const char *routine)
{
    if (n2 != 0 && n1 > SIZE_MAX / n2)
        outOfMemory(routine);
    return n1 * n2;
}

// A zero-filled block of n elements; at least one element is allocated so
// that the first slot of every pointer block can always be stored and read.
template <typename T> T *newBlock(size_t n, const char *routine)
{
    size_t bytes = product(n == 0 ? 1 : n, sizeof(T), routine);
    T *p = (T *)calloc(1, bytes);
    if (p == nullptr)
        outOfMemory(routine);
    return p;
}

template <typename T> T **newTwoDim(int rows, int cols, const char *routine)
{
    size_t r = count(rows), c = count(cols);
    size_t nData = product(r, c, routine);
    product(nData, sizeof(T), routine);
    // The data block first: it is the one most likely to fail.
    T *data = newBlock<T>(nData, routine);
    T **a = newBlock<T *>(r, routine);
    a[0] = data;
    for (size_t i = 0; i < r; ++i)
        a[i] = data + i * c;
    return a;
}

template <typename T>
T ***newThreeDim(int d1, int d2, int d3, const char *routine)
{
    size_t n1 = count(d1), n2 = count(d2), n3 = count(d3);
    // Sizes first, so that an impossible shape fails before any allocation.
    size_t nRows = product(n1, n2, routine);
    size_t nData = product(nRows, n3, routine);
    product(nRows, sizeof(T *), routine);
    product(nData, sizeof(T), routine);
    T *data = newBlock<T>(nData, routine);
    T **rows = newBlock<T *>(nRows, routine);
    T ***a = newBlock<T **>(n1, routine);
    a[0] = rows;
    rows[0] = data;
    for (size_t i = 0; i < n1; ++i) {
        a[i] = rows + i * n2;
        for (size_t j = 0; j < n2; ++j)
            rows[i * n2 + j] = data + (i * n2 + j) * n3;
    }
    return a;
}

template <typename T> void freeTwoDim(T **a)
{
    if (a == nullptr)
        return;
    free(a[0]);
    free(a);
}

template <typename T> void freeThreeDim(T ***a)
{
    if (a == nullptr)
        return;
    if (a[0] != nullptr) {
        free(a[0][0]);
        free(a[0]);
    }
    free(a);
}

// Release-and-clear helpers for the fields of g.
template <typename T> void dropTwoDim(T **&a)
{
    freeTwoDim(a);
    a = nullptr;
}

template <typename T> void dropThreeDim(T ***&a)
{
    freeThreeDim(a);
    a = nullptr;
}

template <typename T> void dropOneDim(T *&v)
{
    free(v);
    v = nullptr;
}

} // namespace

char **velktool_newCharTwoDim(int rows, int cols)
{
    return newTwoDim<char>(rows, cols, __func__);
}

float **velktool_newFloatTwoDim(int rows, int cols)
{
    return newTwoDim<float>(rows, cols, __func__);
}

velktool_ComplexDouble **velktool_newComplexDoubleTwoDim(int rows, int cols)
{
    return newTwoDim<velktool_ComplexDouble>(rows, cols, __func__);
}

float ***velktool_newFloatThreeDim(int d1, int d2, int d3)
{
    return newThreeDim<float>(d1, d2, d3, __func__);
}

velktool_ComplexFloat ***velktool_newComplexFloatThreeDim(int d1, int d2,
                                                          int d3)
{
    return newThreeDim<velktool_ComplexFloat>(d1, d2, d3, __func__);
}

int *velktool_newIntOneDim(int n)
{
    return newBlock<int>(count(n), __func__);
}

velktool_ComplexFloat *velktool_newComplexFloatOneDim(int n)
{
    return newBlock<velktool_ComplexFloat>(count(n), __func__);
}

void velktool_freeCharTwoDim(char **a) { freeTwoDim(a); }
void velktool_freeFloatTwoDim(float **a) { freeTwoDim(a); }
void velktool_freeComplexDoubleTwoDim(velktool_ComplexDouble **a) { freeTwoDim(a); }
void velktool_freeFloatThreeDim(float ***a) { freeThreeDim(a); }
void velktool_freeComplexFloatThreeDim(velktool_ComplexFloat ***a) { freeThreeDim(a); }
void velktool_freeIntOneDim(int *v) { free(v); }
void velktool_freeComplexFloatOneDim(velktool_ComplexFloat *v) { free(v); }

namespace {

// A new array replaces the one the field held, which is released first.
void newTF(velktool_ComplexFloat ***&field)
{
    dropThreeDim(field);
    field = velktool_newComplexFloatThreeDim(g.nSrc, g.nMic, g.nfft / 2 + 1);
}

void newIR(float ***&field)
{
    dropThreeDim(field);
    field = velktool_newFloatThreeDim(g.nSrc, g.nMic, g.nfft);
}

void newCoords(float **&field, int rows)
{
    dropTwoDim(field);
    field = velktool_newFloatTwoDim(rows, 3);
}

void newPaths(char **&field)
{
    dropTwoDim(field);
    field = velktool_newCharTwoDim(g.nSrc, VELKTOOL_PATH_LEN);
}

template <typename T> void newVector(T *&field, T *(*allocate)(int), int n)
{
    dropOneDim(field);
    field = allocate(n);
}

} // namespace

void velktool_new(int kind)
{
    switch (kind) {
    case VELKTOOL_TFVECT:
        newTF(g.TFvect);
        break;
    case VELKTOOL_EXTRATFVECT:
        newTF(g.extraTFvect);
        break;
    case VELKTOOL_TMPTFVECT:
        newTF(g.tmpTFvect);
        break;
    case VELKTOOL_IRVECT:
        newIR(g.IRvectLoc);
        newIR(g.IRvectSep);
        break;
    case VELKTOOL_TMPIRVECT:
        newIR(g.tmpIRvect);
        break;
    case VELKTOOL_MICPOS:
        newCoords(g.micPos, g.nMic);
        break;
    case VELKTOOL_SRCPOS:
        newCoords(g.srcPos, g.nSrc);
        break;
    case VELKTOOL_TMPSRCDIR:
        newPaths(g.tmpSrcDir);
        break;
    case VELKTOOL_SRCBASENAME:
        newPaths(g.srcBaseName);
        break;
    case VELKTOOL_POSID:
        newVector(g.micPosId, velktool_newIntOneDim, g.nMic);
        newVector(g.srcPosId, velktool_newIntOneDim, g.nSrc);
        break;
    case VELKTOOL_FFTBUF:
        newVector(g.fftIn, velktool_newComplexFloatOneDim, g.nfft);
        newVector(g.fftOut, velktool_newComplexFloatOneDim, g.nfft);
        break;
    default: // kind 5 (wavData) is allocated where the WAV file is read
        break;
    }
}

void velktool_delete(int kind)
{
    switch (kind) {
    case VELKTOOL_TFVECT:
        dropThreeDim(g.TFvect);
        break;
    case VELKTOOL_TMPTFVECT:
        dropThreeDim(g.tmpTFvect);
        break;
    case VELKTOOL_IRVECT:
        dropThreeDim(g.IRvectLoc);
        dropThreeDim(g.IRvectSep);
        break;
    case VELKTOOL_TMPIRVECT:
        dropThreeDim(g.tmpIRvect);
        break;
    case VELKTOOL_WAVDATA:
        dropTwoDim(g.wavData);
        break;
    case VELKTOOL_MICPOS:
        dropTwoDim(g.micPos);
        break;
    case VELKTOOL_TMPSRCDIR:
        dropTwoDim(g.tmpSrcDir);
        break;
    case VELKTOOL_SRCBASENAME:
        dropTwoDim(g.srcBaseName);
        break;
    case VELKTOOL_POSID:
        dropOneDim(g.micPosId);
        dropOneDim(g.srcPosId);
        break;
    case VELKTOOL_FFTBUF:
        dropOneDim(g.fftIn);
        dropOneDim(g.fftOut);
        break;
    default: // extraTFvect and srcPos stay until the end of the run
        break;
    }
}

void velktool_initArray(int kind)
{
    if (kind == VELKTOOL_TMPTFVECT && g.tmpTFvect != nullptr) {
        for (int i = 0; i < g.nSrc; ++i)
            for (int j = 0; j < g.nMic; ++j)
                for (int k = 0; k < g.nfft / 2 + 1; ++k)
                    g.tmpTFvect[i][j][k] = 0;
    } else if (kind == VELKTOOL_TMPIRVECT && g.tmpIRvect != nullptr) {
        for (int i = 0; i < g.nSrc; ++i)
            for (int j = 0; j < g.nMic; ++j)
                for (int k = 0; k < g.nfft; ++k)
                    g.tmpIRvect[i][j][k] = 0;
    }
}

void velktool_freeMemory(void)
{
    dropThreeDim(g.TFvect);
    dropThreeDim(g.tmpTFvect);
    dropThreeDim(g.IRvectLoc);
    dropThreeDim(g.IRvectSep);
    dropThreeDim(g.tmpIRvect);
    dropTwoDim(g.wavData);
    dropTwoDim(g.micPos);
    dropTwoDim(g.tmpSrcDir);
    dropTwoDim(g.srcBaseName);
    dropOneDim(g.micPosId);
    dropOneDim(g.srcPosId);
    dropOneDim(g.fftIn);
    dropOneDim(g.fftOut);
    dropThreeDim(g.extraTFvect);
    dropTwoDim(g.srcPos);

    if (g.micXml != nullptr)
        velkio_XML_delete(&g.micXml);
    if (g.srcXml != nullptr)
        velkio_XML_delete(&g.srcXml);
    if (g.auxXml != nullptr)
        velkio_XML_delete(&g.auxXml);
    if (g.tf != nullptr)
        velkio_TransferFunction_delete(&g.tf);
    free(g.info);
    g.info = nullptr;
}
