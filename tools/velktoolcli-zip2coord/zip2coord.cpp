// Coordinates from the transfer functions of an archive (see zip2coord.h).
#include "zip2coord.h"

#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <libxml/parser.h>
#include <zip.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fft.h"
#include "options.h"

namespace {

const char MEMBER_SOURCE[] = "transferFunction/source.xml";
const char CSV_HEADER[] = "id,mic,x,y,z\n";
const char CSV_LINE[] = "%d , %d , %f , %f , %f\n";
/* y distance between two positions of the table. */
const float Y_STEP = 0.2f;
/* Used when the configuration gives no usable value. */
const int DEFAULT_NFFT = 512;
const int DEFAULT_RATE = 16000;

/* The matrices of one kind made here, released together. */
struct MatrixSet {
    std::vector<velkio_Matrix *> m;
    explicit MatrixSet(int n) : m((size_t)n, nullptr) {}
    ~MatrixSet()
    {
        for (velkio_Matrix *&x : m)
            velkio_Matrix_delete(&x);
    }
    MatrixSet(const MatrixSet &) = delete;
    MatrixSet &operator=(const MatrixSet &) = delete;
};

/* The table's destination: a file named by the caller (through
 * velkio_Output, so that an existing file is replaced only by a whole
 * table) or standard output. */
struct Output {
    const char *path;
    velkio_Output *file;
    FILE *stream;
};

/* Opens the destination; 0 on success. */
int openOutput(Output *out, const char *path)
{
    out->path = path;
    out->file = path != nullptr ? velkio_Output_open(path) : nullptr;
    out->stream = path != nullptr ? velkio_Output_stream(out->file) : stdout;
    if (out->stream == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "fopen error [%s]", path);
        velkio_Output_abort(out->file);
        return 1;
    }
    return 0;
}

/* Completes the destination.  A table that could not be written whole is
 * reported, and the file is not replaced.  Standard output is flushed, not
 * closed.  0 on success. */
int closeOutput(Output *out)
{
    int failed;
    if (out->path == nullptr)
        failed = ferror(out->stream) || fflush(out->stream) != 0;
    else
        failed = velkio_Output_commit(out->file) != 0;
    if (!failed)
        return 0;
    VELKIO_LOG(VELKIO_LOG_ERROR, "write error [%s]", out->path ? out->path : "standard output");
    return 1;
}

int positionCount(const velkio_Positions *positions)
{
    return positions != nullptr && positions->count > 0 ? positions->count : 0;
}

/* The channel numbers of the table's rows: the channel list of the first
 * position when it carries one (the TF matrices then have one row per
 * listed channel), else 0 .. rows-1. */
std::vector<int> channelList(const velkio_Positions *positions, int rows)
{
    if (positionCount(positions) > 0) {
        const velkio_Position *first = positions->list[0];
        if (first->useChannels == 1 && first->numChannels > 0 && first->channels != nullptr)
            return std::vector<int>(first->channels, first->channels + first->numChannels);
    }
    std::vector<int> list;
    for (int j = 0; j < rows; j++)
        list.push_back(j);
    return list;
}

/* 1 when each of the n matrices holds at least rows x cols values. */
int matricesHold(velkio_Matrix *const *matrices, int n, int rows, int cols)
{
    for (int i = 0; i < n; i++) {
        if (matrices[i] == nullptr || matrices[i]->rows < rows || matrices[i]->cols < cols) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "matrix %d is smaller than %d x %d", i, rows, cols);
            return 0;
        }
    }
    return 1;
}

/* A new matrix holding the complex conjugate of m, or null. */
velkio_Matrix *conjugated(const velkio_Matrix *m)
{
    velkio_Matrix *c = velkio_Matrix_new(m->type, m->rows, m->cols);
    for (int r = 0; c != nullptr && r < m->rows; r++) {
        for (int k = 0; k < m->cols; k++) {
            velkio_Complex v;
            velkio_Matrix_getValueComplex(m, r, k, &v);
            velkio_Matrix_setValueComplex(c, r, k, std::conj(v));
        }
    }
    return c;
}

/* The table of time signals of the inverse FFT: nfft samples per position
 * and channel, x = k * xStep + offsets[i] seconds. */
int writeTimeTable(const char *outPath, velkio_Matrix *const *signals,
                   const velkio_Positions *positions, int rows, int nfft, double xStep,
                   const float *offsets)
{
    int n = positionCount(positions);
    std::vector<int> channels = channelList(positions, rows);
    if (!matricesHold(signals, n, (int)channels.size(), nfft))
        return 1;
    Output out;
    if (openOutput(&out, outPath) != 0)
        return 1;
    fputs(CSV_HEADER, out.stream);
    for (int i = 0; i < n; i++) {
        const velkio_Matrix *m = signals[i];
        float y = (float)i * Y_STEP;
        for (size_t j = 0; j < channels.size(); j++) {
            const velkio_Complex *row = m->data + j * (size_t)m->cols;
            for (int k = 0; k < nfft; k++)
                fprintf(out.stream, CSV_LINE, positions->list[i]->id, channels[j],
                        k * xStep + offsets[i], y, row[k].real());
        }
    }
    return closeOutput(&out);
}

/* The table after an inverse FFT of every TF of the kind; separation TFs
 * are conjugated first. */
int writeInverseTable(const char *outPath, const velkio_TransferFunction *tf,
                      velkio_Matrix *const *tfs, int tfType)
{
    int n = positionCount(tf->positions);
    int nfft = tf->config->nfft;
    double rate = tf->config->samplingRate < 1 ? DEFAULT_RATE : tf->config->samplingRate;
    std::vector<float> offsets((size_t)n);
    if (getOffset(tfType, tf, offsets.data()) != 0)
        return 1;
    for (float &o : offsets)
        o = (float)(o / rate);

    int rows = tfs[0]->rows;
    MatrixSet results(n);
    for (int i = 0; i < n; i++) {
        results.m[i] = velkio_Matrix_new("complex", rows, nfft);
        if (results.m[i] == nullptr) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "memory error for ifft_result matrix");
            return 1;
        }
    }
    MatrixSet conjugates(tfType == Z2C_TF_SEP ? n : 0);
    for (size_t i = 0; i < conjugates.m.size(); i++) {
        conjugates.m[i] = conjugated(tfs[i]);
        if (conjugates.m[i] == nullptr) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "memory error for ifft_result matrix");
            return 1;
        }
    }
    velkio_Matrix *const *source = tfType == Z2C_TF_SEP ? conjugates.m.data() : tfs;
    if (calcIFFTMatrixData(source, results.m.data(), n, rows, nfft) != 0)
        return 1;
    return writeTimeTable(outPath, results.m.data(), tf->positions, rows, nfft, 1.0 / rate,
                          offsets.data());
}

/* The table of spectra of every TF of the kind. */
int writeSpectrumTable(const char *outPath, int zCode, const velkio_TransferFunction *tf,
                       velkio_Matrix *const *tfs, int tfType)
{
    int nfft = tf->config->nfft;
    int cols = nfft / 2 + 1;
    float xStep = (float)tf->config->samplingRate / (float)nfft;
    if (zCode == Z2C_Z_AMPLITUDE || zCode == Z2C_Z_DECIBEL)
        return writeCoordinateInternal(outPath, zCode, tfs, tf->positions, tfs[0]->rows, cols,
                                       xStep, Y_STEP, nullptr, nullptr);

    int n = positionCount(tf->positions);
    std::vector<float> offsets((size_t)n);
    if (getOffset(tfType, tf, offsets.data()) != 0)
        return 1;
    // Samples of delay become radians of phase per bin.
    double fftLength = nfft < 1 ? DEFAULT_NFFT : nfft;
    for (float &o : offsets)
        o = (float)(o * 2.0 * M_PI / fftLength);
    return writeCoordinateInternal(outPath, zCode, tfs, tf->positions, tfs[0]->rows, cols,
                                   xStep, Y_STEP, nullptr, offsets.data());
}

/* Frees what the XPath query of getOffset holds. */
void releaseXml(xmlXPathContextPtr ctx, xmlDocPtr doc)
{
    if (ctx != nullptr)
        xmlXPathFreeContext(ctx);
    if (doc != nullptr)
        xmlFreeDoc(doc);
}

/* The offset annotated for one position, 0 without annotation; 1 when
 * the query could not be evaluated. */
int queryOffset(xmlXPathContextPtr ctx, int id, const char *kind, float *offset)
{
    char xpath[100];
    snprintf(xpath, sizeof xpath, "/velk_xml/positions/position[@id=%d]/calcTF[@type=%s]/@offset",
             id, kind);
    xmlXPathObjectPtr found = xmlXPathEvalExpression((const xmlChar *)xpath, ctx);
    if (found == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "xmlXPathEvalExpression error");
        return 1;
    }
    *offset = 0;
    xmlNodeSetPtr nodes = found->nodesetval;
    if (nodes != nullptr && nodes->nodeNr > 0) {
        xmlChar *content = xmlNodeGetContent(nodes->nodeTab[0]);
        if (content != nullptr)
            *offset = (float)strtod((const char *)content, nullptr);
        xmlFree(content);
    }
    xmlXPathFreeObject(found);
    return 0;
}

} // namespace

float calcZValue(int zCode, float re, float im)
{
    switch (zCode) {
    case Z2C_Z_REAL:
        return re;
    case Z2C_Z_AMPLITUDE:
        return sqrtf(re * re + im * im);
    case Z2C_Z_DECIBEL:
        // 10*log10 of the amplitude: the scale that existing plots use.
        return (float)(10.0 * log10((double)sqrtf(re * re + im * im)));
    case Z2C_Z_PHASE:
        return (float)(atan2f(im, re) * 180.0 / M_PI);
    default:
        // The writers check the code before any value is computed.
        VELKIO_LOG(VELKIO_LOG_ERROR, "z_unit error [%d]", zCode);
        return NAN;
    }
}

int getOffset(int tfType, const velkio_TransferFunction *tf, float *offsets)
{
    if (tf->archive == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "no archive to read %s from", MEMBER_SOURCE);
        return 1;
    }
    char *text = nullptr;
    if (velkio_Archive_readMember(tf->archive, nullptr, MEMBER_SOURCE, VELKIO_MEMBER_XML,
                                  (unsigned char **)&text, nullptr) != 0)
        return 1;
    xmlInitParser();
    // Local document only: no network, no external entities.
    xmlDocPtr doc = xmlReadMemory(text, (int)strlen(text), "source.xml", nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOWARNING | XML_PARSE_NOERROR);
    free(text);
    if (doc == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "source.xml parse error");
        return 1;
    }
    xmlXPathContextPtr ctx = xmlXPathNewContext(doc);
    if (ctx == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "xmlXPathNewContext error");
        releaseXml(nullptr, doc);
        return 1;
    }
    const char *kind = tfType == Z2C_TF_SEP ? "\"separation\"" : "\"localization\"";
    int n = positionCount(tf->positions);
    for (int i = 0; i < n; i++) {
        if (queryOffset(ctx, tf->positions->list[i]->id, kind, &offsets[i]) != 0) {
            releaseXml(ctx, doc);
            return 1;
        }
    }
    releaseXml(ctx, doc);
    return 0;
}

int calcIFFTMatrixData(velkio_Matrix *const *tf, velkio_Matrix **result, int nPositions,
                       int nMic, int nfft)
{
    if (!velk_isFftLength(nfft, 4)) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "nfft %d is not a power of two of at least 4", nfft);
        return 1;
    }
    int bins = nfft / 2 + 1;
    if (!matricesHold(tf, nPositions, nMic, bins) ||
        !matricesHold(result, nPositions, nMic, nfft))
        return 1;
    velkio_Complex *spectrum = (velkio_Complex *)malloc(sizeof(velkio_Complex) * (size_t)bins);
    float *samples = (float *)malloc(sizeof(float) * (size_t)nfft);
    if (spectrum == nullptr || samples == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "malloc error");
        free(spectrum);
        free(samples);
        return 1;
    }
    for (int p = 0; p < nPositions; p++) {
        for (int m = 0; m < nMic; m++) {
            memcpy(spectrum, tf[p]->data + (size_t)m * tf[p]->cols, sizeof(velkio_Complex) * bins);
            velktool_FFTImpl_fRealFFTInv(spectrum, samples, nfft);
            velkio_Complex *row = result[p]->data + (size_t)m * result[p]->cols;
            for (int k = 0; k < nfft; k++)
                row[k] = velkio_Complex(samples[k], 0.0f);
        }
    }
    free(spectrum);
    free(samples);
    return 0;
}

int writeCoordinateInternal(const char *outPath, int zCode, velkio_Matrix *const *matrices,
                            const velkio_Positions *positions, int rows, int cols,
                            float xStep, float yStep, const float *xOffsets,
                            const float *phaseOffsets)
{
    if (zCode < Z2C_Z_REAL || zCode > Z2C_Z_PHASE) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "z_unit error [%d]", zCode);
        return 1;
    }
    int n = positionCount(positions);
    std::vector<int> channels = channelList(positions, rows);
    if (!matricesHold(matrices, n, (int)channels.size(), cols))
        return 1;
    Output out;
    if (openOutput(&out, outPath) != 0)
        return 1;
    fputs(CSV_HEADER, out.stream);
    for (int i = 0; i < n; i++) {
        const velkio_Matrix *m = matrices[i];
        float xOffset = xOffsets != nullptr ? xOffsets[i] : 0.0f;
        float y = (float)i * yStep;
        for (size_t j = 0; j < channels.size(); j++) {
            const velkio_Complex *row = m->data + j * (size_t)m->cols;
            for (int k = 0; k < cols; k++) {
                velkio_Complex v = row[k];
                if (phaseOffsets != nullptr) {
                    float angle = -phaseOffsets[i] * (float)k;
                    v *= velkio_Complex(cosf(angle), sinf(angle));
                }
                fprintf(out.stream, CSV_LINE, positions->list[i]->id, channels[j],
                        (float)k * xStep + xOffset, y, calcZValue(zCode, v.real(), v.imag()));
            }
        }
    }
    return closeOutput(&out);
}

int writeCoordinateFromTF(const char *outPath, int zCode, const velkio_TransferFunction *tf,
                          int tfType, int ifft)
{
    velkio_Matrix *const *tfs;
    if (tfType == Z2C_TF_LOC) {
        tfs = tf->locTFs;
    } else if (tfType == Z2C_TF_SEP) {
        tfs = tf->sepTFs;
    } else {
        VELKIO_LOG(VELKIO_LOG_ERROR, "given tf_type");
        return 1;
    }
    if (tfs == nullptr || tfs[0] == nullptr || positionCount(tf->positions) == 0 ||
        tf->config == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "no data");
        return 1;
    }
    if (ifft)
        return writeInverseTable(outPath, tf, tfs, tfType);
    return writeSpectrumTable(outPath, zCode, tf, tfs, tfType);
}

void help(poptContext ctx, int status)
{
    velkopt_usage(ctx, status, "NAME:\n", "  velktoolcli-zip2coord\n",
                  "  Coordinate from transfer function\n", nullptr);
}
