// Binary files of the previous library generation: transfer functions and
// separation matrices.  The layout is described byte by byte in
// docs/formats.md ("Legacy binary files"); in short, all little-endian:
//
//   "VELK", version, kind, sources, microphones, bins,      24 bytes
//   eight configuration integers,                          32 bytes
//   per source, then per microphone: id, x, y, z,          16 bytes each
//   per source, microphone and bin: real, imaginary,        8 bytes each
//
// Readers check the header against the file size before they allocate
// anything, so a damaged or hostile header can neither make them allocate
// absurd sizes nor read past the data.
#include "velkio.h"

#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const unsigned char fileMagic[4] = {'V', 'E', 'L', 'K'};
const uint32_t formatVersion = 1;
const uint32_t kindTransferFunction = 1;
const uint32_t kindSeparationMatrix = 2;

const size_t headerSize = 56;
const size_t positionSize = 16; // id, x, y, z
const size_t valueSize = 8;     // real, imaginary

const uint32_t maxMicrophones = 64;
const int maxNfft = 1 << 24;
// Two positions are the same when every coordinate agrees within this
// many metres (files written apart round their coordinates apart).
const double positionTolerance = 1e-4;

// The configuration integers of the header, in file order.
enum {
    cfgSynchronousAverage,
    cfgTspOffset,
    cfgTspLength,
    cfgPeakSearchFrom,
    cfgPeakSearchTo,
    cfgNfft,
    cfgSamplingRate,
    cfgSignalMax,
    cfgCount
};
const char *const configNames[cfgCount] = {
    "synchronousAverage", "tspOffset", "tspLength",    "peakSearchFrom",
    "peakSearchTo",       "nfft",      "samplingRate", "signalMax"};

struct Header {
    uint32_t version;
    uint32_t kind;
    uint32_t nSources;
    uint32_t nMicrophones;
    uint32_t nBins;
    int32_t config[cfgCount];
};

// One stored position: id and Cartesian coordinates.
struct Entry {
    int32_t id;
    float xyz[3];
};

// A legacy file in memory.
struct LegacyData {
    Header header;
    velkio_Positions *sources;
    velkio_Positions *microphones;
    velkio_Matrix **matrices; // header.nSources of them
};

// ---- byte order -------------------------------------------------------

uint32_t getU32(const unsigned char *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 |
           (uint32_t)p[3] << 24;
}

int32_t getI32(const unsigned char *p)
{
    uint32_t u = getU32(p);
    int32_t v;
    memcpy(&v, &u, sizeof v);
    return v;
}

float getF32(const unsigned char *p)
{
    uint32_t u = getU32(p);
    float v;
    memcpy(&v, &u, sizeof v);
    return v;
}

void putU32(unsigned char *p, uint32_t v)
{
    p[0] = (unsigned char)(v & 0xff);
    p[1] = (unsigned char)((v >> 8) & 0xff);
    p[2] = (unsigned char)((v >> 16) & 0xff);
    p[3] = (unsigned char)((v >> 24) & 0xff);
}

void putI32(unsigned char *p, int32_t v)
{
    uint32_t u;
    memcpy(&u, &v, sizeof u);
    putU32(p, u);
}

void putF32(unsigned char *p, float v)
{
    uint32_t u;
    memcpy(&u, &v, sizeof u);
    putU32(p, u);
}

const char *kindName(uint32_t kind)
{
    return kind == kindTransferFunction ? "transfer-function" : "separation-matrix";
}

// ---- checks shared by readers and writers -----------------------------

bool isPowerOfTwo(int n)
{
    return n > 0 && (n & (n - 1)) == 0;
}

// Counts and configuration that no legacy file can hold.  0 when sound.
int checkHeader(const Header &h, const char *path)
{
    int nfft = h.config[cfgNfft];
    if (h.nSources == 0 || h.nSources > (uint32_t)INT_MAX) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: impossible number of source positions (%u)",
                   path, h.nSources);
        return 1;
    }
    if (h.nMicrophones == 0 || h.nMicrophones > maxMicrophones) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: impossible number of microphones (%u; 1 to %u)",
                   path, h.nMicrophones, maxMicrophones);
        return 1;
    }
    if (nfft < 2 || nfft > maxNfft || !isPowerOfTwo(nfft)) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: impossible nfft (%d; a power of two from 2 to %d)",
                   path, nfft, maxNfft);
        return 1;
    }
    if (h.nBins != (uint32_t)(nfft / 2 + 1)) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: %u frequency bins do not fit nfft %d (nfft/2+1 = %d)",
                   path, h.nBins, nfft, nfft / 2 + 1);
        return 1;
    }
    if (h.config[cfgSamplingRate] <= 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: impossible sampling rate (%d)", path,
                   h.config[cfgSamplingRate]);
        return 1;
    }
    return 0;
}

// The file size the header's counts call for; 1 when it does not fit 64
// bits (checkHeader's limits keep it well inside).
int expectedFileSize(const Header &h, uint64_t *size)
{
    uint64_t positions = 0, values = 0, total = 0;
    bool overflow =
        __builtin_mul_overflow((uint64_t)h.nSources + h.nMicrophones, positionSize, &positions) ||
        __builtin_mul_overflow((uint64_t)h.nSources, (uint64_t)h.nMicrophones, &values) ||
        __builtin_mul_overflow(values, (uint64_t)h.nBins * valueSize, &values) ||
        __builtin_add_overflow(positions, values, &total) ||
        __builtin_add_overflow(total, (uint64_t)headerSize, &total);
    *size = total;
    return overflow ? 1 : 0;
}

// Ids that cannot be stored: sources need distinct ids of 0 or more (they
// name the archive members), microphones distinct channel numbers 0 to 63;
// coordinates must be finite (the XML documents cannot hold anything else).
int checkEntries(const std::vector<Entry> &entries, bool microphones, const char *path)
{
    const char *what = microphones ? "microphone" : "source position";
    std::vector<int32_t> ids;
    for (const Entry &e : entries) {
        if (e.id < 0 || (microphones && e.id >= (int32_t)maxMicrophones)) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "%s: %s id %d out of range (%s)", path, what, e.id,
                       microphones ? "0 to 63" : "0 or more");
            return 1;
        }
        if (!std::isfinite(e.xyz[0]) || !std::isfinite(e.xyz[1]) || !std::isfinite(e.xyz[2])) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "%s: %s %d has a coordinate that is not a finite number",
                       path, what, e.id);
            return 1;
        }
        ids.push_back(e.id);
    }
    std::sort(ids.begin(), ids.end());
    auto twice = std::adjacent_find(ids.begin(), ids.end());
    if (twice != ids.end()) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: %s id %d appears twice", path, what, *twice);
        return 1;
    }
    return 0;
}

// Cartesian coordinates of a position, converting polar ones.  0 on success.
int cartesianOf(const velkio_Position *p, float out[3])
{
    if (p == nullptr)
        return 1;
    if (p->isCartesian != 0) {
        memcpy(out, p->coords, sizeof p->coords);
        return 0;
    }
    return velkio_Position_Convert(p, out, 1);
}

bool sameCoordinates(const float a[3], const float b[3])
{
    for (int k = 0; k < 3; k++)
        if (!(fabs((double)a[k] - (double)b[k]) <= positionTolerance))
            return false;
    return true;
}

// ---- reading -----------------------------------------------------------

void freeMatrices(velkio_Matrix ***matrices, uint32_t count)
{
    if (*matrices == nullptr)
        return;
    for (uint32_t i = 0; i < count; i++)
        velkio_Matrix_delete(&(*matrices)[i]);
    free(*matrices);
    *matrices = nullptr;
}

void freeLegacy(LegacyData *d)
{
    velkio_Positions_delete(&d->sources);
    velkio_Positions_delete(&d->microphones);
    freeMatrices(&d->matrices, d->header.nSources);
}

// Reads exactly n bytes; the size check makes a short read mean that the
// file changed while it was read.
int readExactly(FILE *file, const char *path, unsigned char *buf, size_t n)
{
    if (fread(buf, 1, n, file) != n) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: read error or file cut short while reading", path);
        return 1;
    }
    return 0;
}

// Reads and checks the header: magic, version, kind, counts, and the file
// size they call for against the real one.
int readHeader(FILE *file, const char *path, uint64_t fileSize, uint32_t expectedKind,
               Header *h)
{
    unsigned char buf[headerSize];
    size_t got = fread(buf, 1, sizeof buf, file);
    if (got < sizeof fileMagic || memcmp(buf, fileMagic, sizeof fileMagic) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: not a legacy velk file (it does not begin with \"VELK\")",
                   path);
        return 1;
    }
    if (got < headerSize) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: truncated: %zu bytes, shorter than the %zu-byte header",
                   path, got, headerSize);
        return 1;
    }
    h->version = getU32(buf + 4);
    h->kind = getU32(buf + 8);
    h->nSources = getU32(buf + 12);
    h->nMicrophones = getU32(buf + 16);
    h->nBins = getU32(buf + 20);
    for (int i = 0; i < cfgCount; i++)
        h->config[i] = getI32(buf + 24 + 4 * i);
    if (h->version != formatVersion) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: unsupported legacy format version %u (expected %u)",
                   path, h->version, formatVersion);
        return 1;
    }
    if (h->kind != kindTransferFunction && h->kind != kindSeparationMatrix) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: unknown kind of legacy file (%u)", path, h->kind);
        return 1;
    }
    if (h->kind != expectedKind) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: a %s file where a %s file is expected", path,
                   kindName(h->kind), kindName(expectedKind));
        return 1;
    }
    if (checkHeader(*h, path) != 0)
        return 1;
    uint64_t expected = 0;
    if (expectedFileSize(*h, &expected) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: impossible counts (%u sources, %u microphones, %u bins)",
                   path, h->nSources, h->nMicrophones, h->nBins);
        return 1;
    }
    if (fileSize < expected) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "%s: truncated: %llu bytes where %u sources, %u microphones and %u bins need %llu",
                   path, (unsigned long long)fileSize, h->nSources, h->nMicrophones, h->nBins,
                   (unsigned long long)expected);
        return 1;
    }
    if (fileSize > expected) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: %llu bytes of trailing garbage after the data", path,
                   (unsigned long long)(fileSize - expected));
        return 1;
    }
    return 0;
}

// Reads `count` position entries and builds a Cartesian list of `type`.
int readPositions(FILE *file, const char *path, uint32_t count, bool microphones,
                  velkio_Positions **out)
{
    std::vector<unsigned char> buf((size_t)count * positionSize);
    if (readExactly(file, path, buf.data(), buf.size()) != 0)
        return 1;
    std::vector<Entry> entries(count);
    for (uint32_t i = 0; i < count; i++) {
        const unsigned char *p = buf.data() + (size_t)i * positionSize;
        entries[i].id = getI32(p);
        for (int k = 0; k < 3; k++)
            entries[i].xyz[k] = getF32(p + 4 + 4 * k);
    }
    if (checkEntries(entries, microphones, path) != 0)
        return 1;
    velkio_Positions *list =
        velkio_Positions_new(microphones ? "microphone" : "soundsource", 0, 0, 0);
    for (uint32_t i = 0; list != nullptr && i < count; i++) {
        velkio_Position *p = velkio_Position_new(entries[i].id, 1, entries[i].xyz, nullptr);
        if (p == nullptr || velkio_Positions_append(list, p) != 0) {
            velkio_Position_delete(&p);
            velkio_Positions_delete(&list);
        }
    }
    if (list == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not allocated memory");
        return 1;
    }
    *out = list;
    return 0;
}

// Reads one microphones x bins matrix per source position.
int readMatrices(FILE *file, const char *path, const Header &h, velkio_Matrix ***out)
{
    int rows = (int)h.nMicrophones, cols = (int)h.nBins;
    std::vector<unsigned char> buf((size_t)rows * (size_t)cols * valueSize);
    velkio_Matrix **v = (velkio_Matrix **)calloc(h.nSources, sizeof *v);
    if (v == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not allocated memory");
        return 1;
    }
    for (uint32_t s = 0; s < h.nSources; s++) {
        if (readExactly(file, path, buf.data(), buf.size()) != 0) {
            freeMatrices(&v, h.nSources);
            return 1;
        }
        v[s] = velkio_Matrix_new("complex", rows, cols);
        if (v[s] == nullptr) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "can not allocated memory");
            freeMatrices(&v, h.nSources);
            return 1;
        }
        for (size_t i = 0; i < (size_t)rows * (size_t)cols; i++) {
            const unsigned char *p = buf.data() + i * valueSize;
            v[s]->data[i] = velkio_Complex(getF32(p), getF32(p + 4));
        }
    }
    *out = v;
    return 0;
}

int readBody(FILE *file, const char *path, uint32_t expectedKind, LegacyData *d)
{
    struct stat st;
    if (fstat(fileno(file), &st) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: can not be read: %s", path, strerror(errno));
        return 1;
    }
    if (readHeader(file, path, (uint64_t)st.st_size, expectedKind, &d->header) != 0 ||
        readPositions(file, path, d->header.nSources, false, &d->sources) != 0 ||
        readPositions(file, path, d->header.nMicrophones, true, &d->microphones) != 0 ||
        readMatrices(file, path, d->header, &d->matrices) != 0)
        return 1;
    if (fgetc(file) != EOF) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: trailing garbage after the data", path);
        return 1;
    }
    return 0;
}

// Reads a whole legacy file of the expected kind.  0 on success; on
// failure everything read so far is released.
int readLegacy(const char *path, uint32_t expectedKind, LegacyData *d)
{
    *d = LegacyData{};
    FILE *file = velkio_File_fopenRegular(path);
    if (file == nullptr) {
        if (errno != EINVAL) // a file that is not regular is reported already
            velkio_Log_FileOpenFailed(path);
        return 1;
    }
    int result = readBody(file, path, expectedKind, d);
    fclose(file);
    if (result != 0)
        freeLegacy(d);
    else
        VELKIO_LOG(VELKIO_LOG_DEBUG, "%s: %u sources, %u microphones, %u bins", path,
                   d->header.nSources, d->header.nMicrophones, d->header.nBins);
    return result;
}

velkio_Config *configFromHeader(const Header &h)
{
    velkio_Config *c = velkio_Config_new();
    if (c == nullptr)
        return nullptr;
    velkio_Config_setSynchronousAverage(c, h.config[cfgSynchronousAverage]);
    velkio_Config_setTSPoffset(c, h.config[cfgTspOffset]);
    velkio_Config_setTSPlength(c, h.config[cfgTspLength]);
    velkio_Config_setPeakSearchFrom(c, h.config[cfgPeakSearchFrom]);
    velkio_Config_setPeakSearchTo(c, h.config[cfgPeakSearchTo]);
    velkio_Config_setNfft(c, h.config[cfgNfft]);
    velkio_Config_setSamplingRate(c, h.config[cfgSamplingRate]);
    velkio_Config_setSignalMax(c, h.config[cfgSignalMax]);
    return c;
}

// ---- pairing -------------------------------------------------------------

// The positions of `b` must be those of `a`: same ids in the same order,
// coordinates within the tolerance.
int samePositions(const velkio_Positions *a, const velkio_Positions *b, const char *what,
                  const char *pathA, const char *pathB)
{
    for (int i = 0; i < a->count && i < b->count; i++) {
        const velkio_Position *pa = a->list[i], *pb = b->list[i];
        float ca[3], cb[3];
        if (pa->id != pb->id) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "%s and %s disagree: %s %d has id %d in one, %d in the other",
                       pathA, pathB, what, i, pa->id, pb->id);
            return 1;
        }
        if (cartesianOf(pa, ca) != 0 || cartesianOf(pb, cb) != 0 || !sameCoordinates(ca, cb)) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "%s and %s disagree on the coordinates of %s id %d",
                       pathA, pathB, what, pa->id);
            return 1;
        }
    }
    return 0;
}

// A localization and a separation file go into one archive only when they
// describe the same measurement: counts, configuration and positions.
int checkPair(const LegacyData &loc, const LegacyData &sep, const char *locPath,
              const char *sepPath)
{
    const Header &a = loc.header, &b = sep.header;
    if (a.nSources != b.nSources || a.nMicrophones != b.nMicrophones || a.nBins != b.nBins) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "%s and %s disagree on their shapes: %u x %u x %u and %u x %u x %u "
                   "(sources x microphones x bins)",
                   locPath, sepPath, a.nSources, a.nMicrophones, a.nBins, b.nSources,
                   b.nMicrophones, b.nBins);
        return 1;
    }
    for (int i = 0; i < cfgCount; i++) {
        if (a.config[i] != b.config[i]) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "%s and %s disagree on %s: %d and %d", locPath, sepPath,
                       configNames[i], a.config[i], b.config[i]);
            return 1;
        }
    }
    return samePositions(loc.sources, sep.sources, "source position", locPath, sepPath) ||
           samePositions(loc.microphones, sep.microphones, "microphone", locPath, sepPath);
}

// The channel numbers that the archive's TF rows stand for.
std::vector<int> archiveRowIds(const velkio_TransferFunction *tf)
{
    int count = 0;
    int *ids = velkio_TransferFunction_rowIds(tf, &count);
    std::vector<int> out(ids, ids + count);
    free(ids);
    return out;
}

// The microphones of a separation-matrix file must be, in order, the
// channels its archive's TFs were measured with, at the same places.
int checkMicrophonesFit(const LegacyData &sm, const velkio_TransferFunction *tf,
                        const char *matrixPath, const char *archivePath)
{
    std::vector<int> ids = archiveRowIds(tf);
    if (ids.size() != sm.header.nMicrophones) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s holds %u microphones; its archive %s has %zu",
                   matrixPath, sm.header.nMicrophones, archivePath, ids.size());
        return 1;
    }
    for (size_t i = 0; i < ids.size(); i++) {
        const velkio_Position *mine = sm.microphones->list[i];
        const velkio_Position *theirs = velkio_Positions_getById(tf->microphones, ids[i]);
        float a[3], b[3];
        if (mine->id != ids[i]) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "%s and %s disagree: microphone %zu is channel %d in one, %d in the other",
                       matrixPath, archivePath, i, mine->id, ids[i]);
            return 1;
        }
        if (theirs == nullptr || cartesianOf(mine, a) != 0 || cartesianOf(theirs, b) != 0 ||
            !sameCoordinates(a, b)) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "%s and %s disagree on the coordinates of microphone id %d",
                       matrixPath, archivePath, mine->id);
            return 1;
        }
    }
    return 0;
}

// A separation matrix fits its archive when it has the archive's source
// positions, channels, nfft and sampling rate.
int checkMatrixFitsArchive(const LegacyData &sm, const velkio_TransferFunction *tf,
                           const char *matrixPath, const char *archivePath)
{
    int nSources = velkio_Positions_getSize(tf->positions);
    if ((uint32_t)nSources != sm.header.nSources) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s holds %u source positions; its archive %s has %d",
                   matrixPath, sm.header.nSources, archivePath, nSources);
        return 1;
    }
    int nfft = tf->config != nullptr ? tf->config->nfft : 0;
    int rate = tf->config != nullptr ? tf->config->samplingRate : 0;
    if (nfft != sm.header.config[cfgNfft] || rate != sm.header.config[cfgSamplingRate]) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "%s has nfft %d and sampling rate %d; its archive %s has nfft %d and sampling rate %d",
                   matrixPath, sm.header.config[cfgNfft], sm.header.config[cfgSamplingRate],
                   archivePath, nfft, rate);
        return 1;
    }
    if (samePositions(sm.sources, tf->positions, "source position", matrixPath, archivePath) != 0)
        return 1;
    return checkMicrophonesFit(sm, tf, matrixPath, archivePath);
}

// ---- writing -------------------------------------------------------------

// The microphones a legacy file lists for the record's TF rows: those of
// the first source position's channel list when it carries one (in list
// order), else the whole microphone list.
int microphoneEntries(const velkio_TransferFunction *tf, std::vector<Entry> *out,
                      const char *path)
{
    for (int id : archiveRowIds(tf)) {
        const velkio_Position *p = velkio_Positions_getById(tf->microphones, id);
        Entry e = {id, {0, 0, 0}};
        if (p == nullptr || cartesianOf(p, e.xyz) != 0) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "%s: channel %d has no microphone position", path, id);
            return 1;
        }
        out->push_back(e);
    }
    return 0;
}

int sourceEntries(const velkio_TransferFunction *tf, std::vector<Entry> *out, const char *path)
{
    for (int i = 0; i < velkio_Positions_getSize(tf->positions); i++) {
        const velkio_Position *p = tf->positions->list[i];
        Entry e = {p->id, {0, 0, 0}};
        if (cartesianOf(p, e.xyz) != 0) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "%s: source position %d can not be converted", path,
                       p->id);
            return 1;
        }
        out->push_back(e);
    }
    return 0;
}

// Every matrix must be there, be microphones x bins and hold finite
// values only.
int checkMatricesForWrite(const velkio_TransferFunction *tf, velkio_Matrix *const *matrices,
                          int count, const Header &h, const char *path)
{
    if (matrices == nullptr || count <= 0 || (uint32_t)count != h.nSources) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: %d matrices for %u source positions", path,
                   matrices != nullptr ? count : 0, h.nSources);
        return 1;
    }
    for (int i = 0; i < count; i++) {
        const velkio_Matrix *m = matrices[i];
        if (m == nullptr || m->data == nullptr || m->rows != (int)h.nMicrophones ||
            m->cols != (int)h.nBins) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "%s: matrix %d is missing or not %u x %u (microphones x nfft/2+1)",
                       path, i, h.nMicrophones, h.nBins);
            return 1;
        }
        size_t n = (size_t)m->rows * (size_t)m->cols;
        for (size_t k = 0; k < n; k++) {
            if (!std::isfinite(m->data[k].real()) || !std::isfinite(m->data[k].imag())) {
                VELKIO_LOG(VELKIO_LOG_ERROR,
                           "%s: the transfer function of source position %d holds a value that is not a finite number (row %zu, bin %zu)",
                           path, tf->positions->list[i]->id, k / (size_t)m->cols,
                           k % (size_t)m->cols);
                return 1;
            }
        }
    }
    return 0;
}

void encodeEntries(const std::vector<Entry> &entries, std::vector<unsigned char> *bytes)
{
    for (const Entry &e : entries) {
        unsigned char p[positionSize];
        putI32(p, e.id);
        for (int k = 0; k < 3; k++)
            putF32(p + 4 + 4 * k, e.xyz[k]);
        bytes->insert(bytes->end(), p, p + positionSize);
    }
}

void encodeHeader(const Header &h, std::vector<unsigned char> *bytes)
{
    unsigned char p[headerSize];
    memcpy(p, fileMagic, sizeof fileMagic);
    putU32(p + 4, h.version);
    putU32(p + 8, h.kind);
    putU32(p + 12, h.nSources);
    putU32(p + 16, h.nMicrophones);
    putU32(p + 20, h.nBins);
    for (int i = 0; i < cfgCount; i++)
        putI32(p + 24 + 4 * i, h.config[i]);
    bytes->insert(bytes->end(), p, p + headerSize);
}

// Header and position entries of the record, checked as a reader would.
int encodePrologue(const velkio_TransferFunction *tf, uint32_t kind, const char *path,
                   Header *h, std::vector<unsigned char> *bytes)
{
    std::vector<Entry> sources, microphones;
    if (tf->config == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: the record has no configuration", path);
        return 1;
    }
    if (sourceEntries(tf, &sources, path) != 0 || microphoneEntries(tf, &microphones, path) != 0)
        return 1;
    const velkio_Config *c = tf->config;
    *h = Header{formatVersion, kind, (uint32_t)sources.size(), (uint32_t)microphones.size(),
                (uint32_t)(c->nfft > 0 ? c->nfft / 2 + 1 : 0),
                {c->synchronousAverage, c->tspOffset, c->tspLength, c->peakSearchFrom,
                 c->peakSearchTo, c->nfft, c->samplingRate, c->signalMax}};
    if (checkHeader(*h, path) != 0 || checkEntries(sources, false, path) != 0 ||
        checkEntries(microphones, true, path) != 0)
        return 1;
    encodeHeader(*h, bytes);
    encodeEntries(sources, bytes);
    encodeEntries(microphones, bytes);
    return 0;
}

// Writes prologue and values to the output; stops at the first failed
// write.
void writeContents(velkio_Output *out, const std::vector<unsigned char> &prologue,
                  velkio_Matrix *const *matrices, const Header &h)
{
    if (velkio_Output_write(out, prologue.data(), prologue.size()) != 0)
        return;
    size_t n = (size_t)h.nMicrophones * h.nBins;
    std::vector<unsigned char> buf(n * valueSize);
    for (uint32_t s = 0; s < h.nSources; s++) {
        for (size_t i = 0; i < n; i++) {
            putF32(buf.data() + i * valueSize, matrices[s]->data[i].real());
            putF32(buf.data() + i * valueSize + 4, matrices[s]->data[i].imag());
        }
        if (velkio_Output_write(out, buf.data(), buf.size()) != 0)
            return;
    }
}

// Writes a legacy file of the given kind from the record's positions,
// configuration and the given matrices.  The target is replaced only when
// the whole file was written (a temporary file beside it is renamed).
int writeLegacy(const velkio_TransferFunction *tf, velkio_Matrix *const *matrices, int count,
                uint32_t kind, const char *path)
{
    if (tf == nullptr || path == nullptr || path[0] == '\0') {
        VELKIO_LOG(VELKIO_LOG_ERROR, "no record or no path to write");
        return 1;
    }
    Header h;
    std::vector<unsigned char> prologue;
    if (encodePrologue(tf, kind, path, &h, &prologue) != 0 ||
        checkMatricesForWrite(tf, matrices, count, h, path) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s file [%s] not written", kindName(kind), path);
        return 1;
    }
    velkio_Output *out = velkio_Output_open(path);
    if (out == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not create a temporary file beside [%s]: %s", path,
                   strerror(errno));
        return 1;
    }
    // A failed write makes the commit fail.
    writeContents(out, prologue, matrices, h);
    if (velkio_Output_commit(out) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not write [%s]: %s", path, strerror(errno));
        return 1;
    }
    return 0;
}

} // namespace

velkio_TransferFunction *velkio_Compat_TransferFunction_readlibvelkio2(const char *locPath,
                                                                       const char *sepPath)
{
    VELKIO_LOG(VELKIO_LOG_TRACE, "@ %s", __func__);
    if (locPath == nullptr && sepPath == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "neither a localization nor a separation file is given");
        return nullptr;
    }
    LegacyData loc{}, sep{};
    int failed = locPath != nullptr && readLegacy(locPath, kindTransferFunction, &loc) != 0;
    if (!failed && sepPath != nullptr)
        failed = readLegacy(sepPath, kindTransferFunction, &sep) != 0;
    if (!failed && locPath != nullptr && sepPath != nullptr)
        failed = checkPair(loc, sep, locPath, sepPath) != 0;
    velkio_TransferFunction *tf = nullptr;
    if (!failed) {
        LegacyData &base = locPath != nullptr ? loc : sep;
        velkio_Config *config = configFromHeader(base.header);
        if (config != nullptr)
            tf = velkio_TransferFunction_fromData(base.sources, base.microphones, config, nullptr);
        if (tf != nullptr) {
            base.sources = nullptr; // now the record's
            base.microphones = nullptr;
            velkio_TransferFunction_setLocTFs(tf, loc.matrices);
            loc.matrices = nullptr;
            velkio_TransferFunction_setSepTFs(tf, sep.matrices);
            sep.matrices = nullptr;
        } else {
            velkio_Config_delete(&config);
            VELKIO_LOG(VELKIO_LOG_ERROR, "can not allocated memory");
        }
    }
    freeLegacy(&loc);
    freeLegacy(&sep);
    return tf;
}

velkio_TransferFunction *velkio_Compat_SeparationMatrix_readlibvelkio2(const char *matrixPath,
                                                                       const char *archivePath)
{
    VELKIO_LOG(VELKIO_LOG_TRACE, "@ %s", __func__);
    if (matrixPath == nullptr || archivePath == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "a separation-matrix file and its archive are both needed");
        return nullptr;
    }
    LegacyData sm{};
    if (readLegacy(matrixPath, kindSeparationMatrix, &sm) != 0)
        return nullptr;
    velkio_TransferFunction *tf =
        velkio_TransferFunction_fromFile(archivePath, "transfer function");
    if (tf == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: can not read the transfer-function archive", archivePath);
    } else if (checkMatrixFitsArchive(sm, tf, matrixPath, archivePath) != 0) {
        velkio_TransferFunction_delete(&tf);
    } else {
        // The result keeps the archive's positions, microphones,
        // configuration and neighbours and carries the matrices as its
        // separation TFs; the archive's own TFs are not part of it.
        zip_discard(tf->archive);
        tf->archive = nullptr;
        velkio_TransferFunction_setLocTFs(tf, nullptr);
        velkio_TransferFunction_setSepTFs(tf, sm.matrices);
        sm.matrices = nullptr;
    }
    freeLegacy(&sm);
    return tf;
}

int velkio_Compat_TransferFunction_writelibvelkio2(const velkio_TransferFunction *tf,
                                                   int kind, const char *path)
{
    VELKIO_LOG(VELKIO_LOG_TRACE, "@ %s", __func__);
    if (tf == nullptr || (kind != VELKIO_COMPAT_LOCALIZATION && kind != VELKIO_COMPAT_SEPARATION)) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "no record, or unknown kind of transfer functions (%d)", kind);
        return 1;
    }
    if (kind == VELKIO_COMPAT_LOCALIZATION)
        return writeLegacy(tf, tf->locTFs, tf->nLocTFs, kindTransferFunction, path);
    return writeLegacy(tf, tf->sepTFs, tf->nSepTFs, kindTransferFunction, path);
}

int velkio_Compat_SeparationMatrix_writelibvelkio2(const velkio_TransferFunction *tf,
                                                   const char *path)
{
    VELKIO_LOG(VELKIO_LOG_TRACE, "@ %s", __func__);
    if (tf == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "no record to write");
        return 1;
    }
    return writeLegacy(tf, tf->sepTFs, tf->nSepTFs, kindSeparationMatrix, path);
}
