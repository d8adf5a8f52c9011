// Transfer functions from the cut impulse responses, the library's
// transfer-function record, the archive, and the archive's post-processing:
// the report text as "transferFunction/README" and the cut ranges as calcTF
// elements of the archive's source position list.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <vector>

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>
#include <zip.h>

#include "textutil.h"
#include "velktool.h"
#include "zipread.h"

namespace {

const char README_MEMBER[] = "transferFunction/README";
const char SOURCE_MEMBER[] = "transferFunction/source.xml";

// Every message of the post-processing is reported under its name.
#define POST_LOG(fmt, ...)                                                  \
    velkio_Log_printf_(VELKIO_LOG_ERROR, (fmt), 0, "appendInfoToZipFile",     \
                       __LINE__, ##__VA_ARGS__)

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
        normalizeTF(normalizeSrc, normalizeMic, normalizeFreq);
    cat_asprintf(&g.info, "%s \n%s[%d]\n%s[%d]\n%s[%d]\n", "Normalization Type",
                 "- Source     ", normalizeSrc, "- Microphone ", normalizeMic,
                 "- Frequency  ", normalizeFreq);
    velktool_setSeptfFromArray();
}

int genTfFromIR(int tfType, int normalizeSrc, int normalizeMic,
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
    return writeTFWithReport(tfType, outputFile, resetMic, ranges);
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

// TFvect as rows of the separation matrices, for the normalizations.
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

int genTfFromMatrices(int tfType, int normalizeSrc, int normalizeMic,
                      int normalizeFreq, int resetMic, const char *outputFile,
                      const velktool_CutRangePair *ranges)
{
    if (tfType == SEP || tfType == LOC_SEP) {
        if (normalizeSrc == 1 || normalizeMic == 1 || normalizeFreq == 1) {
            // The normalizations work on TFvect: here the matrices' rows.
            velktool_ComplexFloat ***view = tfViewOf(g.septf);
            velktool_ComplexFloat ***saved = g.TFvect;
            g.TFvect = view;
            normalizeTF(normalizeSrc, normalizeMic, normalizeFreq);
            g.TFvect = saved;
            freeTfView(view);
        }
        cat_asprintf(&g.info, "%s \n%s[%d]\n%s[%d]\n%s[%d]\n",
                     "Normalization Type", "- Source     ", normalizeSrc,
                     "- Microphone ", normalizeMic, "- Frequency  ", normalizeFreq);
    }
    return writeTFWithReport(tfType, outputFile, resetMic, ranges);
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

// Writes g.tf with the given members of ours; ends the run on failure.
void writeRecord(const char *outputFile, const velkio_ArchiveMember *members,
                 int count)
{
    if (velkio_TransferFunction_writeWithMembers(g.tf, outputFile, nullptr,
                                                 members, count) == 1) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "velkio_TransferFunction_write error");
        velktool_Exit(1);
    }
}

char *annotatedSourceXml(const char *content, int length,
                         const velktool_CutRangePair *ranges, int *size);

} // namespace

void writeTF(int tfType, const char *outputFile, int resetMic)
{
    buildRecord(tfType, resetMic);
    writeRecord(outputFile, nullptr, 0);
}

int writeTFWithReport(int tfType, const char *outputFile, int resetMic,
                      const velktool_CutRangePair *ranges)
{
    buildRecord(tfType, resetMic);
    if (outputFile == nullptr || g.info == nullptr) {
        writeRecord(outputFile, nullptr, 0);
        return 0;
    }
    // The source document as the library serialises it, annotated: the
    // same text the post-processing of a written archive would give.
    velkio_XML doc = {nullptr, nullptr, nullptr};
    doc.poses = g.tf->positions;
    doc.nbrs = g.tf->neighbors;
    doc.cfg = g.tf->config;
    int length = 0;
    char *plain = velkio_XML_toString(&doc, &length);
    int size = 0;
    char *annotated = nullptr;
    if (plain == nullptr || length < 0)
        POST_LOG("source.xml parse error");
    else
        annotated = annotatedSourceXml(plain, length, ranges, &size);
    free(plain);

    // Without the annotated document the archive still gets its README.
    velkio_ArchiveMember members[2] = {
        {README_MEMBER, g.info, strlen(g.info)},
        {SOURCE_MEMBER, annotated, annotated != nullptr ? (size_t)size : 0}};
    writeRecord(outputFile, members, annotated != nullptr ? 2 : 1);
    free(annotated);
    return annotated != nullptr ? 0 : 1;
}

/* ------------------------------------------------------------------ */
/* Archive post-processing                                             */
/* ------------------------------------------------------------------ */

namespace {


// The archive is changed in memory: libzip reads it from a buffer source
// of the file's bytes and zip_close writes the new archive into that
// source, which is then written to the file as a whole (velkio_Output).

// A buffer source of the whole file at path (empty when there is none,
// which gives a new archive); null on failure (errno set).
zip_source_t *readArchiveFile(const char *path)
{
    std::vector<unsigned char> bytes;
    int fd = velkio_File_openRegular(path);
    if (fd < 0 && errno != ENOENT)
        return nullptr;
    for (unsigned char chunk[65536]; fd >= 0;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int error = errno;
            close(fd);
            errno = error;
            return nullptr;
        }
        if (n == 0)
            break;
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    if (fd >= 0)
        close(fd);
    void *data = bytes.empty() ? nullptr : malloc(bytes.size());
    if (data != nullptr)
        memcpy(data, bytes.data(), bytes.size());
    else if (!bytes.empty())
        return nullptr;
    zip_source_t *source = zip_source_buffer_create(data, bytes.size(), 1, nullptr);
    if (source == nullptr)
        free(data);
    return source;
}

// Writes the content of the buffer source to path; 0 on success.
int writeArchiveFile(zip_source_t *source, const char *path)
{
    if (zip_source_open(source) != 0) {
        POST_LOG("zip_source_open error (%s)", zip_error_strerror(zip_source_error(source)));
        return 1;
    }
    velkio_Output *out = velkio_Output_open(path);
    if (out == nullptr) {
        POST_LOG("can not write [%s]: %s", path, strerror(errno));
        zip_source_close(source);
        return 1;
    }
    unsigned char chunk[65536];
    zip_int64_t n;
    while ((n = zip_source_read(source, chunk, sizeof chunk)) > 0)
        velkio_Output_write(out, chunk, (size_t)n);
    zip_source_close(source);
    if (n < 0) {
        velkio_Output_abort(out);
        POST_LOG("zip_source_read error");
        return 1;
    }
    if (velkio_Output_commit(out) != 0) {
        POST_LOG("can not write [%s]: %s", path, strerror(errno));
        return 1;
    }
    return 0;
}

// Writes what was changed so far; an archive that cannot be written is
// discarded (the file stays as it was).  The source is released.
void closeArchive(zip_t *za, zip_source_t *source, const char *path)
{
    if (zip_close(za) != 0)
        zip_discard(za);
    else
        writeArchiveFile(source, path);
    zip_source_free(source);
}

bool wasCut(const velktool_CutRange &range)
{
    return range.offset != 0 || range.cutIndexFrom != 0;
}

void addCalcTF(xmlNode *position, const char *type,
               const velktool_CutRange &range)
{
    xmlNode *node = xmlNewChild(position, nullptr, BAD_CAST "calcTF", nullptr);
    char text[64];
    xmlSetProp(node, BAD_CAST "type", BAD_CAST type);
    snprintf(text, sizeof text, "%f", range.offset);
    xmlSetProp(node, BAD_CAST "offset", BAD_CAST text);
    if (range.cutIndexFrom > 0 && range.cutIndexTo > 0) {
        snprintf(text, sizeof text, "%d", range.cutIndexFrom);
        xmlSetProp(node, BAD_CAST "cutIndexFrom", BAD_CAST text);
        snprintf(text, sizeof text, "%d", range.cutIndexTo);
        xmlSetProp(node, BAD_CAST "cutIndexTo", BAD_CAST text);
    }
}

// Appends the calcTF elements of every cut source; 0, or 1 when an XPath
// evaluation failed (logged).
int annotate(xmlXPathContext *ctx, const velktool_CutRangePair *ranges)
{
    for (int s = 0; ranges != nullptr && s < g.nSrc; ++s) {
        const velktool_CutRangePair &pair = ranges[s];
        if (!wasCut(pair.loc) && !wasCut(pair.sep))
            continue;
        char expr[96];
        snprintf(expr, sizeof expr, "/velk_xml/positions/position[@id=%d]",
                 g.srcPosId[s]);
        xmlXPathObject *result = xmlXPathEvalExpression(BAD_CAST expr, ctx);
        if (result == nullptr) {
            POST_LOG("xmlXPathEvalExpression error");
            return 1;
        }
        xmlNodeSet *nodes = result->nodesetval;
        if (nodes != nullptr && nodes->nodeNr > 0) {
            if (wasCut(pair.loc))
                addCalcTF(nodes->nodeTab[0], "localization", pair.loc);
            if (wasCut(pair.sep))
                addCalcTF(nodes->nodeTab[0], "separation", pair.sep);
        }
        xmlXPathFreeObject(result);
    }
    return 0;
}

// The source document `content` (length bytes) with the calcTF elements,
// serialised into a new malloc'd buffer (*size bytes); null on failure
// (logged).
char *annotatedSourceXml(const char *content, int length,
                         const velktool_CutRangePair *ranges, int *size)
{
    // Our own archive's document: parsed without network access and
    // without expanding entities.
    xmlInitParser();
    xmlDoc *doc = xmlReadMemory(content, length, "source.xml", nullptr,
                                XML_PARSE_NONET);
    if (doc == nullptr) {
        POST_LOG("source.xml parse error");
        return nullptr;
    }
    xmlXPathContext *ctx = xmlXPathNewContext(doc);
    if (ctx == nullptr) {
        POST_LOG("xmlXPathNewContext error");
        xmlFreeDoc(doc);
        return nullptr;
    }
    int failed = annotate(ctx, ranges);
    xmlXPathFreeContext(ctx);
    char *copy = nullptr;
    if (failed == 0) {
        xmlChar *text = nullptr;
        xmlDocDumpMemory(doc, &text, size);
        if (text != nullptr && *size >= 0)
            copy = (char *)malloc(*size > 0 ? (size_t)*size : 1);
        if (copy != nullptr)
            memcpy(copy, text, (size_t)*size);
        else
            POST_LOG("memory allocate error");
        xmlFree(text);
    }
    xmlFreeDoc(doc);
    xmlCleanupParser();
    return copy;
}

} // namespace

int appendInfoToZipFile(const char *outputFile,
                        const velktool_CutRangePair *ranges)
{
    if (outputFile == nullptr || g.info == nullptr)
        return 0;

    zip_error_t error;
    zip_error_init(&error);
    zip_source_t *archive = readArchiveFile(outputFile);
    if (archive == nullptr)
        zip_error_set(&error, ZIP_ER_OPEN, errno);
    else
        zip_source_keep(archive);
    zip_t *za = archive != nullptr ? zip_open_from_source(archive, ZIP_CREATE, &error)
                                   : nullptr;
    if (za == nullptr) {
        POST_LOG("zip open error errorp[%d] (%s)", zip_error_code_zip(&error),
                 zip_error_strerror(&error));
        zip_error_fini(&error);
        if (archive != nullptr) {
            zip_source_free(archive); // the reference zip_open did not take
            zip_source_free(archive);
        }
        return 1;
    }
    zip_error_fini(&error);

    // The report text stays alive (in g) until the archive is closed.
    zip_source_t *readme = zip_source_buffer(za, g.info, strlen(g.info), 0);
    if (readme == nullptr) {
        POST_LOG("zip_source_buffer error (%s)", zip_strerror(za));
        closeArchive(za, archive, outputFile);
        return 1;
    }
    zip_int64_t added = zip_file_add(za, README_MEMBER, readme, 0);
    if (added < 0)
        zip_source_free(readme);
    else // a file of mode 0644, as the library stores its members
        zip_file_set_external_attributes(za, (zip_uint64_t)added, 0, ZIP_OPSYS_UNIX,
                                         (0100000u | 0644u) << 16);

    int size = 0;
    char *content = nullptr;
    char *xml = nullptr;
    if (as_zip_fread(za, SOURCE_MEMBER, &content) == 0)
        xml = annotatedSourceXml(content, (int)strlen(content), ranges, &size);
    free(content);
    if (xml == nullptr) {
        closeArchive(za, archive, outputFile);
        return 1;
    }
    zip_source_t *source = zip_source_buffer(za, xml, (zip_uint64_t)size, 1);
    if (source == nullptr) {
        POST_LOG("zip_source_buffer error (%s)", zip_strerror(za));
        free(xml);
        closeArchive(za, archive, outputFile);
        return 1;
    }
    zip_int64_t index = zip_name_locate(za, SOURCE_MEMBER, 0);
    if (index < 0 || zip_file_replace(za, (zip_uint64_t)index, source, 0) < 0) {
        POST_LOG("zip_replace error (%s)", zip_strerror(za));
        zip_source_free(source);
        closeArchive(za, archive, outputFile);
        return 1;
    }
    if (zip_close(za) != 0) {
        POST_LOG("zip_close error (%s)", zip_strerror(za));
        zip_discard(za);
        zip_source_free(archive);
        return 1;
    }
    int written = writeArchiveFile(archive, outputFile);
    zip_source_free(archive);
    return written;
}
