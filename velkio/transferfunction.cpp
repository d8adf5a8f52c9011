// Transfer-function records and their zip archives.
//
// Archive members, in this order:
//   transferFunction/                       directory entry
//   transferFunction/whatisthis.txt         the label, a line end, a description
//   transferFunction/source.xml             source positions, configuration, neighbours
//   transferFunction/microphones.xml        microphone positions
//   transferFunction/localization/          directory entry
//   transferFunction/separation/            directory entry
//   transferFunction/<kind>/tfNNNNN.mat     one MAT-file per kind present and source id
//   members added by the caller (velkio_TransferFunction_writeWithMembers),
//   in the caller's order; the caller may also give the content of the
//   three text members, which keep their place.
#include "velkio.h"

#include <zip.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char *const defaultLabel = "transfer function";
const char *const dirRoot = "transferFunction/";
const char *const memberWhatIsThis = "transferFunction/whatisthis.txt";
const char *const memberSource = "transferFunction/source.xml";
const char *const memberMicrophones = "transferFunction/microphones.xml";
const char *const kindLoc = "localization";
const char *const kindSep = "separation";
const char *const description =
    "Acoustic transfer functions of a microphone array.\n"
    "source.xml: source positions, measurement configuration, neighbour lists.\n"
    "microphones.xml: microphone positions.\n"
    "localization/tfNNNNN.mat, separation/tfNNNNN.mat: for the source position\n"
    "with id NNNNN, one complex single-precision matrix (MAT-file, Level 5):\n"
    "rows are microphones, columns are frequency bins 0 .. nfft/2.\n";

std::string tfMemberName(const char *kind, int id)
{
    char name[96];
    snprintf(name, sizeof name, "transferFunction/%s/tf%05d.mat", kind, id);
    return name;
}

void freeMatrixVector(velkio_Matrix ***vector, int count)
{
    if (*vector == nullptr)
        return;
    for (int i = 0; i < count; i++)
        velkio_Matrix_delete(&(*vector)[i]);
    free(*vector);
    *vector = nullptr;
}

int sourceCount(const velkio_TransferFunction *tf)
{
    return tf->positions != nullptr && tf->positions->list != nullptr &&
                   tf->positions->count > 0
               ? tf->positions->count
               : 0;
}

// ---- reading ---------------------------------------------------------

zip_t *openArchive(const char *path)
{
    int code = 0;
    zip_t *za = velkio_Archive_open(path, &code);
    if (za != nullptr)
        return za;
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    if (code == ZIP_ER_NOENT || code == ZIP_ER_OPEN)
        VELKIO_LOG(VELKIO_LOG_ERROR, "zip_open failed: cannot find or open '%s' (%s)",
                   path, zip_error_strerror(&error));
    else if (code == ZIP_ER_NOZIP)
        VELKIO_LOG(VELKIO_LOG_ERROR, "zip_open failed: file '%s' is not in zip format",
                   path);
    else
        VELKIO_LOG(VELKIO_LOG_ERROR, "zip_open failed: file '%s' is not a readable zip archive (%s)",
                   path, zip_error_strerror(&error));
    zip_error_fini(&error);
    return nullptr;
}

bool hasMember(zip_t *za, const std::string &name)
{
    return zip_name_locate(za, name.c_str(), 0) >= 0;
}

int checkLabel(zip_t *za, const char *path, const char *label)
{
    unsigned char *text = nullptr;
    size_t size = 0;
    if (velkio_Archive_readMember(za, path, memberWhatIsThis, VELKIO_MEMBER_LABEL, &text,
                                  &size) != 0)
        return 1;
    VELKIO_LOG(VELKIO_LOG_DEBUG, "whatisthis: %s", (const char *)text);
    int result = 0;
    if (label != nullptr) {
        size_t len = strlen(label);
        if (size < len || memcmp(text, label, len) != 0) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "%s: [%s] is not [%s]", path, memberWhatIsThis,
                       label);
            result = 1;
        }
    }
    free(text);
    return result;
}

velkio_XML *readDocument(zip_t *za, const char *path, const char *name)
{
    unsigned char *text = nullptr;
    size_t size = 0;
    if (velkio_Archive_readMember(za, path, name, VELKIO_MEMBER_XML, &text, &size) != 0)
        return nullptr;
    velkio_XML *doc = velkio_XML_newFromXMLbuffer((const char *)text, (int)size, nullptr);
    free(text);
    if (doc == nullptr)
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: member %s is not a valid document", path, name);
    return doc;
}

// Moves positions, configuration and neighbours of source.xml and the
// microphone positions of microphones.xml into the record.
int loadDocuments(velkio_TransferFunction *tf, zip_t *za, const char *path)
{
    velkio_XML *src = readDocument(za, path, memberSource);
    if (src == nullptr)
        return 1;
    velkio_TransferFunction_setPositions(tf, src->poses);
    velkio_TransferFunction_setConfig(tf, src->cfg);
    velkio_TransferFunction_setNeighbors(tf, src->nbrs);
    src->poses = nullptr;
    src->cfg = nullptr;
    src->nbrs = nullptr;
    velkio_XML_delete(&src);
    if (tf->neighbors != nullptr)
        tf->neighbors->positions = tf->positions;

    velkio_XML *mic = readDocument(za, path, memberMicrophones);
    if (mic == nullptr)
        return 1;
    velkio_TransferFunction_setMicrophones(tf, mic->poses);
    mic->poses = nullptr;
    velkio_XML_delete(&mic);
    return 0;
}

// What a load does with the matrices it reads: which kinds it holds, and
// who sees each matrix as it is read.
struct LoadPlan {
    int keep = VELKIO_TF_KEEP_LOC | VELKIO_TF_KEEP_SEP;
    velkio_TFVisitor visit = nullptr;
    void *context = nullptr;
    size_t archiveBytes = 0; // the file's size, the bound of what is prepared
};

// Loads the TF members of one kind: all of them, or none when the archive
// holds none.  *vector stays null for an absent kind.  Every member is
// read, checked and decoded; with `hold` false each matrix is handed to
// the visitor and released at once, and *count still tells that the kind
// is present.
int loadKind(zip_t *za, const char *path, const velkio_TransferFunction *tf,
             const char *kind, const LoadPlan &plan, bool hold, velkio_Matrix ***vector,
             int *count)
{
    int n = sourceCount(tf);
    int found = 0;
    std::string firstMissing;
    for (int i = 0; i < n; i++) {
        std::string name = tfMemberName(kind, tf->positions->list[i]->id);
        if (hasMember(za, name))
            found++;
        else if (firstMissing.empty())
            firstMissing = name;
    }
    *vector = nullptr;
    *count = 0;
    if (found == 0)
        return 0;
    if (found != n) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: %s not found while %d other %s TFs are present",
                   path, firstMissing.c_str(), found, kind);
        return 1;
    }
    // Each member is checked against the shape the documents call for
    // before its matrix data are read.
    int rows = 0, cols = 0;
    if (velkio_TransferFunction_tfShape(tf, &rows, &cols) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: %s TFs present but the configuration gives no nfft",
                   path, kind);
        return 1;
    }
    velkio_Matrix **v = (velkio_Matrix **)calloc((size_t)n, sizeof *v);
    if (v == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not allocated memory");
        return 1;
    }
    int kindIndex = strcmp(kind, kindLoc) == 0 ? VELKIO_TF_LOC : VELKIO_TF_SEP;
    for (int i = 0; i < n; i++) {
        std::string name = tfMemberName(kind, tf->positions->list[i]->id);
        unsigned char *bytes = nullptr;
        size_t size = 0;
        if (velkio_Archive_readMatMember(za, path, name.c_str(), rows, cols, &bytes, &size) == 0) {
            std::string what = std::string(path) + ": " + name;
            v[i] = velkio_MatFile_decode(bytes, size, what.c_str());
            free(bytes);
        }
        if (v[i] != nullptr && plan.visit != nullptr &&
            plan.visit(kindIndex, i, v[i], plan.context) != 0)
            velkio_Matrix_delete(&v[i]);
        if (v[i] == nullptr) {
            freeMatrixVector(&v, n);
            return 1;
        }
        if (!hold)
            velkio_Matrix_delete(&v[i]);
    }
    if (!hold)
        free(v);
    *vector = hold ? v : nullptr;
    *count = n;
    return 0;
}

// The matrices a load will hold, on a heap made ready for them: one kind
// held, or two when both are present and kept.
void prepareHeapFor(const velkio_TransferFunction *tf, const LoadPlan &plan)
{
    int rows = 0, cols = 0;
    if (velkio_TransferFunction_tfShape(tf, &rows, &cols) != 0)
        return;
    bool both = (plan.keep & VELKIO_TF_KEEP_LOC) != 0 && (plan.keep & VELKIO_TF_KEEP_SEP) != 0;
    size_t perSource = (size_t)rows * (size_t)cols * sizeof(velkio_Complex) + 256;
    size_t bytes = (both ? 2 : 1) * perSource * (size_t)sourceCount(tf);
    // The members are checked one by one later: what the documents claim
    // is prepared only where the file is large enough to hold it (the
    // suite stores the matrices uncompressed).
    if (bytes <= 2 * plan.archiveBytes)
        velkio_Matrix_prepareHeap(bytes);
}

int loadArchive(velkio_TransferFunction *tf, const char *path, const char *label,
                const LoadPlan &plan)
{
    const char *required[] = {dirRoot, memberWhatIsThis, memberSource, memberMicrophones};
    for (const char *name : required) {
        if (!hasMember(tf->archive, name)) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "%s: %s not found.", path, name);
            return 1;
        }
    }
    if (checkLabel(tf->archive, path, label) != 0 ||
        loadDocuments(tf, tf->archive, path) != 0)
        return 1;

    velkio_Matrix **loc = nullptr, **sep = nullptr;
    int nLoc = 0, nSep = 0;
    bool holdLoc = (plan.keep & (VELKIO_TF_KEEP_LOC | VELKIO_TF_KEEP_ONE)) != 0;
    prepareHeapFor(tf, plan);
    if (loadKind(tf->archive, path, tf, kindLoc, plan, holdLoc, &loc, &nLoc) != 0)
        return 1;
    bool holdSep = (plan.keep & VELKIO_TF_KEEP_SEP) != 0 ||
                   ((plan.keep & VELKIO_TF_KEEP_ONE) != 0 && nLoc == 0);
    if (loadKind(tf->archive, path, tf, kindSep, plan, holdSep, &sep, &nSep) != 0) {
        freeMatrixVector(&loc, nLoc);
        return 1;
    }
    // A kind read but not held counts as absent in the record.
    tf->locTFs = loc;
    tf->nLocTFs = loc != nullptr ? nLoc : 0;
    tf->sepTFs = sep;
    tf->nSepTFs = sep != nullptr ? nSep : 0;
    return 0;
}

// ---- writing ---------------------------------------------------------

bool kindPresent(velkio_Matrix **v, int count)
{
    return v != nullptr && count > 0;
}

bool hasSource(const velkio_MatrixSource &source)
{
    return source.fill != nullptr;
}

// The finite-value check of a matrix about to be written: an archive holds
// finite values only, since its readers could do nothing sound with a NaN
// or an infinity.  0, or 1 after a message naming the position.
int checkFinite(const velkio_TransferFunction *tf, const char *kind, int index,
                const velkio_Matrix *m)
{
    size_t values = (size_t)m->rows * (size_t)m->cols;
    // A float is not finite when its exponent bits are all set; the scan
    // over the bits runs in vector steps, and only a matrix that has such
    // a value is searched for the first one.
    const uint32_t exponent = 0x7f800000u;
    const unsigned char *bytes = (const unsigned char *)m->data;
    const size_t floats = 2 * values;
    uint32_t notFinite[8] = {0};
    size_t i = 0;
    for (; i + 8 <= floats; i += 8) {
        uint32_t bits[8];
        memcpy(bits, bytes + 4 * i, sizeof bits);
        for (int j = 0; j < 8; j++)
            notFinite[j] |= (uint32_t)((bits[j] & exponent) == exponent);
    }
    for (; i < floats; i++) {
        uint32_t bits;
        memcpy(&bits, bytes + 4 * i, sizeof bits);
        notFinite[0] |= (uint32_t)((bits & exponent) == exponent);
    }
    uint32_t any = 0;
    for (int j = 0; j < 8; j++)
        any |= notFinite[j];
    if (any == 0)
        return 0;
    for (size_t k = 0; k < values; k++) {
        if (!std::isfinite(m->data[k].real()) || !std::isfinite(m->data[k].imag())) {
            VELKIO_LOG(VELKIO_LOG_ERROR,
                       "%s TF of source position %d holds a value that is not a finite number (row %zu, bin %zu)",
                       kind, tf->positions->list[index]->id, k / (size_t)m->cols,
                       k % (size_t)m->cols);
            return 1;
        }
    }
    return 0;
}

// A kind made while writing: its shape must be a matrix's, and that of the
// other kind.
int checkSourceForWrite(const char *kind, const velkio_MatrixSource &source,
                        int *rows, int *cols)
{
    if (source.rows <= 0 || source.cols <= 0 ||
        (size_t)source.rows * (size_t)source.cols > (size_t)INT_MAX) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s TFs: invalid matrix size %d x %d", kind,
                   source.rows, source.cols);
        return 1;
    }
    if (*rows != 0 && (source.rows != *rows || source.cols != *cols)) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s TFs are %d x %d, others are %d x %d", kind,
                   source.rows, source.cols, *rows, *cols);
        return 1;
    }
    *rows = source.rows;
    *cols = source.cols;
    return 0;
}

// A kind is written when its vector is set or its count says it is
// present; then it must hold one complex matrix per source position, all
// of one shape.
int checkKindForWrite(const velkio_TransferFunction *tf, const char *kind,
                      velkio_Matrix **v, int count, const velkio_MatrixSource &source,
                      int *rows, int *cols)
{
    if (hasSource(source))
        return checkSourceForWrite(kind, source, rows, cols);
    int n = sourceCount(tf);
    if (v == nullptr && count > 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s TFs: counted %d but no matrices are held", kind,
                   count);
        return 1;
    }
    if (!kindPresent(v, count) && n == 0)
        return 0; // nothing of this kind to write
    if (v == nullptr)
        return 0;
    if (count != n) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s TFs: %d matrices for %d source positions", kind,
                   count, n);
        return 1;
    }
    for (int i = 0; i < n; i++) {
        const velkio_Matrix *m = v[i];
        if (m == nullptr || m->data == nullptr || m->rows <= 0 || m->cols <= 0) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "%s TF of source position %d is missing", kind,
                       tf->positions->list[i]->id);
            return 1;
        }
        if (checkFinite(tf, kind, i, m) != 0)
            return 1;
        if (*rows == 0) {
            *rows = m->rows;
            *cols = m->cols;
        }
        if (m->rows != *rows || m->cols != *cols) {
            VELKIO_LOG(VELKIO_LOG_ERROR,
                       "%s TF of source position %d is %d x %d, others are %d x %d", kind,
                       tf->positions->list[i]->id, m->rows, m->cols, *rows, *cols);
            return 1;
        }
    }
    return 0;
}

// Compression of a member, chosen by measurement (bench/README.md): the
// MAT members (complex floats, nearly all of an archive) are stored, since
// deflate shrinks them by only 8 to 9 % and makes writing the archive more
// than ten times slower; the texts (XML documents, whatisthis.txt) shrink
// to about a seventh and are deflated at zlib's usual level 6 (libzip's
// own default, level 9, is twice as slow for 3 % less).
int setCompression(zip_t *za, zip_int64_t index, const char *name)
{
    size_t n = strlen(name);
    bool matrix = n > 4 && strcmp(name + n - 4, ".mat") == 0;
    if (zip_set_file_compression(za, (zip_uint64_t)index,
                                 matrix ? ZIP_CM_STORE : ZIP_CM_DEFLATE,
                                 matrix ? 0 : 6) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not set the compression of %s (%s)", name,
                   zip_strerror(za));
        return 1;
    }
    return 0;
}

// Members are stored as files of mode 0644 and directories of mode 0755
// (libzip's own default is 0666 and 0777: unzip would make them writable
// by everyone).
int setMode(zip_t *za, zip_int64_t index, const char *name, bool directory)
{
    zip_uint32_t mode = directory ? (040000u | 0755u) : (0100000u | 0644u);
    if (zip_file_set_external_attributes(za, (zip_uint64_t)index, 0, ZIP_OPSYS_UNIX,
                                         mode << 16) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not set the mode of %s (%s)", name,
                   zip_strerror(za));
        return 1;
    }
    return 0;
}

// Adds a member from a buffer; libzip frees it after writing when `owned`
// (a malloc'd buffer, also freed here on failure), else the caller keeps it
// alive until the archive is closed.  0 on success.
int addBuffer(zip_t *za, const char *name, const void *data, size_t size,
              bool owned)
{
    zip_source_t *src = zip_source_buffer(za, data, size, owned ? 1 : 0);
    if (src == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "zip_source_buffer error (%s)", zip_strerror(za));
        if (owned)
            free(const_cast<void *>(data));
        return 1;
    }
    zip_int64_t index = zip_file_add(za, name, src, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not add %s (%s)", name, zip_strerror(za));
        zip_source_free(src);
        return 1;
    }
    return setCompression(za, index, name) || setMode(za, index, name, false);
}

int addDirectory(zip_t *za, const char *name)
{
    zip_int64_t index = zip_dir_add(za, name, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not add %s (%s)", name, zip_strerror(za));
        return 1;
    }
    return setMode(za, index, name, true);
}

// Members of the caller's (velkio_TransferFunction_writeWithMembers), and
// the calcTF annotations of source.xml.
struct Extras {
    const velkio_ArchiveMember *list;
    int count;
    const velkio_CalcTF *calcTFs;
    int calcTFCount;
};

const velkio_ArchiveMember *findExtra(const Extras &extras, const char *name)
{
    for (int i = 0; i < extras.count; i++)
        if (strcmp(extras.list[i].name, name) == 0)
            return &extras.list[i];
    return nullptr;
}

bool isLibraryText(const char *name)
{
    return strcmp(name, memberWhatIsThis) == 0 || strcmp(name, memberSource) == 0 ||
           strcmp(name, memberMicrophones) == 0;
}

// A name the library writes itself and that no caller may give: the
// directory entries and everything under the transfer-function folders.
bool isReservedName(const char *name)
{
    const char locDir[] = "transferFunction/localization/";
    const char sepDir[] = "transferFunction/separation/";
    size_t n = strlen(name);
    return n == 0 || name[n - 1] == '/' || strncmp(name, locDir, sizeof locDir - 1) == 0 ||
           strncmp(name, sepDir, sizeof sepDir - 1) == 0;
}

int checkExtras(const Extras &extras)
{
    if (extras.count < 0 || (extras.count > 0 && extras.list == nullptr)) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "no list of %d added members", extras.count);
        return 1;
    }
    for (int i = 0; i < extras.count; i++) {
        const velkio_ArchiveMember &x = extras.list[i];
        // What the readers would refuse is not written.
        size_t limit = x.name != nullptr && strcmp(x.name, memberWhatIsThis) == 0
                           ? VELKIO_MAX_LABEL_BYTES
                           : VELKIO_MAX_DOCUMENT_BYTES;
        if (x.name == nullptr || isReservedName(x.name) ||
            (x.data == nullptr && x.size > 0) || x.size > limit) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "added member %d [%s] can not be written", i,
                       x.name != nullptr ? x.name : "(null)");
            return 1;
        }
        for (int k = 0; k < i; k++) {
            if (strcmp(extras.list[k].name, x.name) == 0) {
                VELKIO_LOG(VELKIO_LOG_ERROR, "added member [%s] given twice", x.name);
                return 1;
            }
        }
    }
    return 0;
}

// A text member of the library, or the caller's content in its place.
int addText(zip_t *za, const char *name, const std::string &text, const Extras &extras)
{
    if (const velkio_ArchiveMember *x = findExtra(extras, name))
        return addBuffer(za, name, x->data, x->size, false);
    void *copy = malloc(text.size() + 1);
    if (copy == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not allocated memory");
        return 1;
    }
    memcpy(copy, text.data(), text.size());
    return addBuffer(za, name, copy, text.size(), true);
}

// The document of the given members, serialised, or the caller's content
// in its place; the members are only borrowed (the temporary document is
// never deleted).
int addDocument(zip_t *za, const char *name, velkio_Positions *poses,
                velkio_Neighbors *nbrs, velkio_Config *cfg, const Extras &extras)
{
    if (const velkio_ArchiveMember *x = findExtra(extras, name))
        return addBuffer(za, name, x->data, x->size, false);
    velkio_XML doc = {poses, nbrs, cfg};
    int length = 0;
    char *text = velkio_XML_toStringWithCalcTF(&doc, extras.calcTFs, extras.calcTFCount,
                                               &length);
    if (text == nullptr || length < 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not serialise %s", name);
        free(text);
        return 1;
    }
    return addBuffer(za, name, text, (size_t)length, true);
}

// The MAT members are encoded one at a time while libzip writes the
// archive: each into the writer's one buffer when libzip opens it, so the
// encodings of a whole archive are never held at once.  A kind made while
// writing (velkio_MatrixSource) has each matrix made into the writer's one
// matrix just before it is encoded.
struct MatWriter {
    unsigned char *buffer = nullptr;
    size_t capacity = 0;
    const void *holder = nullptr; // the member whose encoding the buffer holds
    time_t mtime = 0;
    velkio_Matrix *made = nullptr;
    const velkio_TransferFunction *tf = nullptr;
};

struct MatMember {
    const velkio_Matrix *matrix;   // held matrix, or writer->made
    const velkio_MatrixSource *source; // null for a held matrix
    const char *kind;
    int index;
    size_t size;
    size_t offset;
    MatWriter *writer;
    zip_error_t error;
};

int encodeMember(MatMember *mm)
{
    MatWriter *w = mm->writer;
    if (w->capacity < mm->size) {
        unsigned char *bigger = (unsigned char *)realloc(w->buffer, mm->size);
        if (bigger == nullptr) {
            zip_error_set(&mm->error, ZIP_ER_MEMORY, 0);
            return 1;
        }
        w->buffer = bigger;
        w->capacity = mm->size;
    }
    w->holder = nullptr;
    if (mm->source != nullptr &&
        (mm->source->fill(mm->source->context, mm->index, w->made) != 0 ||
         checkFinite(w->tf, mm->kind, mm->index, w->made) != 0)) {
        zip_error_set(&mm->error, ZIP_ER_INTERNAL, 0);
        return 1;
    }
    if (velkio_MatFile_encodeTo(mm->matrix, "tf", w->buffer, mm->size) != 0) {
        zip_error_set(&mm->error, ZIP_ER_INTERNAL, 0);
        return 1;
    }
    w->holder = mm;
    return 0;
}

zip_int64_t matSource(void *state, void *data, zip_uint64_t length, zip_source_cmd_t cmd)
{
    MatMember *mm = (MatMember *)state;
    switch (cmd) {
    case ZIP_SOURCE_OPEN:
        mm->offset = 0;
        return encodeMember(mm) == 0 ? 0 : -1;
    case ZIP_SOURCE_READ: {
        if (mm->writer->holder != mm && encodeMember(mm) != 0)
            return -1;
        size_t n = mm->size - mm->offset;
        if (length < n)
            n = (size_t)length;
        memcpy(data, mm->writer->buffer + mm->offset, n);
        mm->offset += n;
        return (zip_int64_t)n;
    }
    case ZIP_SOURCE_CLOSE:
    case ZIP_SOURCE_FREE:
        return 0;
    case ZIP_SOURCE_STAT: {
        if (length < sizeof(zip_stat_t)) {
            zip_error_set(&mm->error, ZIP_ER_INVAL, 0);
            return -1;
        }
        zip_stat_t *st = (zip_stat_t *)data;
        zip_stat_init(st);
        st->size = mm->size;
        st->comp_size = mm->size;
        st->comp_method = ZIP_CM_STORE;
        st->encryption_method = ZIP_EM_NONE;
        st->mtime = mm->writer->mtime;
        st->valid |= ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD |
                     ZIP_STAT_ENCRYPTION_METHOD | ZIP_STAT_MTIME;
        return sizeof(zip_stat_t);
    }
    case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&mm->error, data, length);
    case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ,
                                              ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                              ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
    default:
        zip_error_set(&mm->error, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
}

// The number of MAT members of a kind.
size_t matCount(const velkio_TransferFunction *tf, velkio_Matrix **v, int count,
                const velkio_MatrixSource &source)
{
    if (hasSource(source))
        return (size_t)sourceCount(tf);
    return kindPresent(v, count) ? (size_t)count : 0;
}

int addMatrices(zip_t *za, const velkio_TransferFunction *tf, const char *kind,
                velkio_Matrix **v, const velkio_MatrixSource &source, size_t count,
                MatWriter *writer, MatMember *members)
{
    for (size_t i = 0; i < count; i++) {
        std::string name = tfMemberName(kind, tf->positions->list[i]->id);
        MatMember *mm = &members[i];
        mm->matrix = hasSource(source) ? writer->made : v[i];
        mm->source = hasSource(source) ? &source : nullptr;
        mm->kind = kind;
        mm->index = (int)i;
        mm->size = velkio_MatFile_encodedSize(mm->matrix, "tf");
        mm->offset = 0;
        mm->writer = writer;
        zip_error_init(&mm->error);
        zip_source_t *src = mm->size > 0 ? zip_source_function(za, matSource, mm) : nullptr;
        if (src == nullptr) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "can not store %s", name.c_str());
            return 1;
        }
        zip_int64_t index = zip_file_add(za, name.c_str(), src, ZIP_FL_ENC_UTF_8);
        if (index < 0) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "can not add %s (%s)", name.c_str(),
                       zip_strerror(za));
            zip_source_free(src);
            return 1;
        }
        if (setCompression(za, index, name.c_str()) != 0 ||
            setMode(za, index, name.c_str(), false) != 0)
            return 1;
    }
    return 0;
}

// The states of the MAT members and the buffer they share; they must
// outlive the archive handle (zip_close or zip_discard).
struct MatStates {
    MatWriter writer;
    std::vector<MatMember> loc, sep;
    ~MatStates()
    {
        for (MatMember &mm : loc)
            zip_error_fini(&mm.error);
        for (MatMember &mm : sep)
            zip_error_fini(&mm.error);
        free(writer.buffer);
        velkio_Matrix_delete(&writer.made);
    }
};

// The writer's matrix for the kinds made while writing (both have one
// shape); 0, or 1 when it cannot be made.
int makeWriterMatrix(const velkio_TransferFunction *tf, MatWriter *writer)
{
    const velkio_MatrixSource *source = hasSource(tf->locSource)   ? &tf->locSource
                                        : hasSource(tf->sepSource) ? &tf->sepSource
                                                                   : nullptr;
    writer->tf = tf;
    if (source == nullptr || sourceCount(tf) == 0)
        return 0;
    writer->made = velkio_Matrix_new("complex", source->rows, source->cols);
    return writer->made != nullptr ? 0 : 1;
}

int addMembers(zip_t *za, const velkio_TransferFunction *tf, const char *label,
               const Extras &extras, MatStates *mats)
{
    std::string what = std::string(label) + "\n" + description;
    if (addDirectory(za, dirRoot) != 0 ||
        addText(za, memberWhatIsThis, what, extras) != 0 ||
        addDocument(za, memberSource, tf->positions, tf->neighbors, tf->config, extras) != 0 ||
        addDocument(za, memberMicrophones, tf->microphones, nullptr, nullptr,
                    Extras{extras.list, extras.count, nullptr, 0}) != 0 ||
        addDirectory(za, "transferFunction/localization/") != 0 ||
        addDirectory(za, "transferFunction/separation/") != 0)
        return 1;
    mats->writer.mtime = time(nullptr);
    mats->loc.resize(matCount(tf, tf->locTFs, tf->nLocTFs, tf->locSource));
    mats->sep.resize(matCount(tf, tf->sepTFs, tf->nSepTFs, tf->sepSource));
    if (makeWriterMatrix(tf, &mats->writer) != 0 ||
        addMatrices(za, tf, kindLoc, tf->locTFs, tf->locSource, mats->loc.size(),
                    &mats->writer, mats->loc.data()) != 0 ||
        addMatrices(za, tf, kindSep, tf->sepTFs, tf->sepSource, mats->sep.size(),
                    &mats->writer, mats->sep.data()) != 0)
        return 1;
    for (int i = 0; i < extras.count; i++) {
        const velkio_ArchiveMember &x = extras.list[i];
        if (!isLibraryText(x.name) && addBuffer(za, x.name, x.data, x.size, false) != 0)
            return 1;
    }
    return 0;
}

// The archive file as libzip writes it: libzip writes each member's
// header, its data, then goes back to complete the header, and writes the
// central directory at the end.  This target keeps the latest megabyte of
// output in memory, where those rewrites land, and writes it to the file
// in large pieces (positioned writes), instead of a system call or two per
// small piece.  The file is the output's temporary file beside the
// archive (velkio_Output), which the caller completes.
struct ArchiveTarget {
    int fd = -1;
    unsigned char *buffer = nullptr; // file bytes [start, start + length)
    size_t capacity = 0;
    size_t length = 0;
    zip_uint64_t start = 0;
    zip_uint64_t position = 0; // where the next write goes
    zip_uint64_t end = 0;      // size of the file being written
    zip_error_t error;
    ArchiveTarget() { zip_error_init(&error); }
    ~ArchiveTarget()
    {
        free(buffer);
        zip_error_fini(&error);
    }
};

const size_t targetBufferSize = (size_t)1 << 20;

int failTarget(ArchiveTarget *t, int code)
{
    zip_error_set(&t->error, code, errno);
    return -1;
}

int writeAt(ArchiveTarget *t, const unsigned char *data, size_t n, zip_uint64_t at)
{
    while (n > 0) {
        ssize_t done = pwrite(t->fd, data, n, (off_t)at);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return failTarget(t, ZIP_ER_WRITE);
        data += done;
        n -= (size_t)done;
        at += (zip_uint64_t)done;
    }
    return 0;
}

int flushTarget(ArchiveTarget *t)
{
    int r = writeAt(t, t->buffer, t->length, t->start);
    t->length = 0;
    return r;
}

zip_int64_t writeTarget(ArchiveTarget *t, const void *data, zip_uint64_t n)
{
    const unsigned char *bytes = (const unsigned char *)data;
    bool inside = t->position >= t->start && t->position <= t->start + t->length;
    if (!inside || t->position + n > t->start + t->capacity) {
        if (flushTarget(t) != 0)
            return -1;
        t->start = t->position;
    }
    if (n > t->capacity) {
        if (writeAt(t, bytes, (size_t)n, t->position) != 0)
            return -1;
        t->start = t->position + n;
    } else {
        size_t at = (size_t)(t->position - t->start);
        memcpy(t->buffer + at, bytes, (size_t)n);
        if (at + n > t->length)
            t->length = at + (size_t)n;
    }
    t->position += n;
    if (t->position > t->end)
        t->end = t->position;
    return (zip_int64_t)n;
}

int seekTarget(ArchiveTarget *t, void *data, zip_uint64_t length)
{
    zip_source_args_seek_t *args =
        ZIP_SOURCE_GET_ARGS(zip_source_args_seek_t, data, length, &t->error);
    if (args == nullptr)
        return -1;
    zip_int64_t base = args->whence == SEEK_SET   ? 0
                       : args->whence == SEEK_CUR ? (zip_int64_t)t->position
                       : args->whence == SEEK_END ? (zip_int64_t)t->end
                                                  : -1;
    if (base < 0 || (args->offset < 0 && -args->offset > base)) {
        zip_error_set(&t->error, ZIP_ER_INVAL, 0);
        return -1;
    }
    t->position = (zip_uint64_t)(base + args->offset);
    return 0;
}

int beginTarget(ArchiveTarget *t)
{
    if (ftruncate(t->fd, 0) != 0)
        return failTarget(t, ZIP_ER_OPEN);
    t->buffer = (unsigned char *)malloc(targetBufferSize);
    if (t->buffer == nullptr) {
        zip_error_set(&t->error, ZIP_ER_MEMORY, 0);
        return -1;
    }
    t->capacity = targetBufferSize;
    t->start = t->position = t->end = 0;
    t->length = 0;
    return 0;
}

int commitTarget(ArchiveTarget *t)
{
    return flushTarget(t);
}

zip_int64_t archiveTarget(void *state, void *data, zip_uint64_t length,
                          zip_source_cmd_t cmd)
{
    ArchiveTarget *t = (ArchiveTarget *)state;
    switch (cmd) {
    case ZIP_SOURCE_STAT:
        // A new archive: nothing to read yet.
        zip_error_set(&t->error, ZIP_ER_READ, ENOENT);
        return -1;
    case ZIP_SOURCE_BEGIN_WRITE:
        return beginTarget(t);
    case ZIP_SOURCE_WRITE:
        return writeTarget(t, data, length);
    case ZIP_SOURCE_SEEK_WRITE:
        return seekTarget(t, data, length);
    case ZIP_SOURCE_TELL_WRITE:
        return (zip_int64_t)t->position;
    case ZIP_SOURCE_COMMIT_WRITE:
        return commitTarget(t);
    case ZIP_SOURCE_ROLLBACK_WRITE:
        t->length = 0;
        return 0;
    case ZIP_SOURCE_REMOVE:
    case ZIP_SOURCE_FREE:
        return 0;
    case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&t->error, data, length);
    case ZIP_SOURCE_SUPPORTS:
        return ZIP_SOURCE_SUPPORTS_WRITABLE;
    default:
        // Reading: a new archive has nothing to read.
        zip_error_set(&t->error, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
}

// Writes the whole archive into the output's file; 0 on success.
int writeArchive(const velkio_TransferFunction *tf, velkio_Output *out, const char *path,
                 const char *label, const Extras &extras)
{
    MatStates mats;
    ArchiveTarget target;
    target.fd = velkio_Output_fd(out);
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t *src = zip_source_function_create(archiveTarget, &target, &error);
    zip_t *za = src != nullptr
                    ? zip_open_from_source(src, ZIP_CREATE | ZIP_TRUNCATE, &error)
                    : nullptr;
    if (za == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not create archive [%s] (%s)", path,
                   zip_error_strerror(&error));
        zip_error_fini(&error);
        zip_source_free(src);
        return 1;
    }
    zip_error_fini(&error);
    if (addMembers(za, tf, label, extras, &mats) != 0) {
        zip_discard(za);
        return 1;
    }
    if (zip_close(za) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not write archive [%s] (%s)", path,
                   zip_strerror(za));
        zip_discard(za);
        return 1;
    }
    return 0;
}

} // namespace

velkio_TransferFunction *velkio_TransferFunction_new(void)
{
    VELKIO_LOG(VELKIO_LOG_TRACE, "@ %s", __func__);
    velkio_TransferFunction *tf = (velkio_TransferFunction *)calloc(1, sizeof *tf);
    if (tf == nullptr)
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not allocated memory");
    return tf;
}

velkio_TransferFunction *velkio_TransferFunction_fromData(velkio_Positions *sources,
                                                          velkio_Positions *microphones,
                                                          velkio_Config *config,
                                                          velkio_Neighbors *neighbors)
{
    velkio_TransferFunction *tf = velkio_TransferFunction_new();
    if (tf == nullptr) {
        // Ownership was handed over: release what cannot be kept.
        velkio_Positions_delete(&sources);
        velkio_Positions_delete(&microphones);
        velkio_Config_delete(&config);
        velkio_Neighbors_delete(&neighbors);
        return nullptr;
    }
    tf->positions = sources;
    tf->microphones = microphones;
    tf->config = config;
    tf->neighbors = neighbors;
    return tf;
}

namespace {

velkio_TransferFunction *fromFile(const char *path, const char *label, const LoadPlan &plan)
{
    if (path == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "path is NULL");
        return nullptr;
    }
    velkio_TransferFunction *tf = velkio_TransferFunction_new();
    if (tf == nullptr)
        return nullptr;
    tf->archive = openArchive(path);
    LoadPlan sized = plan;
    struct stat st;
    if (stat(path, &st) == 0 && st.st_size > 0)
        sized.archiveBytes = (size_t)st.st_size;
    if (tf->archive == nullptr || loadArchive(tf, path, label, sized) != 0) {
        velkio_TransferFunction_delete(&tf);
        return nullptr;
    }
    return tf;
}

} // namespace

velkio_TransferFunction *velkio_TransferFunction_fromFile(const char *path,
                                                          const char *label)
{
    VELKIO_LOG(VELKIO_LOG_TRACE, "@ %s", __func__);
    return fromFile(path, label, LoadPlan());
}

velkio_TransferFunction *velkio_TransferFunction_fromFileKeeping(const char *path,
                                                                 const char *label, int keep,
                                                                 velkio_TFVisitor visit,
                                                                 void *context)
{
    VELKIO_LOG(VELKIO_LOG_TRACE, "@ %s", __func__);
    LoadPlan plan;
    plan.keep = keep;
    plan.visit = visit;
    plan.context = context;
    return fromFile(path, label, plan);
}

void velkio_TransferFunction_setLocTFs(velkio_TransferFunction *tf,
                                       velkio_Matrix **matrices)
{
    if (tf == nullptr)
        return;
    freeMatrixVector(&tf->locTFs, tf->nLocTFs);
    tf->locTFs = matrices;
    tf->nLocTFs = matrices != nullptr ? sourceCount(tf) : 0;
    tf->locSource = velkio_MatrixSource{};
}

void velkio_TransferFunction_setSepTFs(velkio_TransferFunction *tf,
                                       velkio_Matrix **matrices)
{
    if (tf == nullptr)
        return;
    freeMatrixVector(&tf->sepTFs, tf->nSepTFs);
    tf->sepTFs = matrices;
    tf->nSepTFs = matrices != nullptr ? sourceCount(tf) : 0;
    tf->sepSource = velkio_MatrixSource{};
}

void velkio_TransferFunction_setLocTFSource(velkio_TransferFunction *tf,
                                            const velkio_MatrixSource *source)
{
    if (tf == nullptr)
        return;
    velkio_TransferFunction_setLocTFs(tf, nullptr);
    if (source != nullptr)
        tf->locSource = *source;
}

void velkio_TransferFunction_setSepTFSource(velkio_TransferFunction *tf,
                                            const velkio_MatrixSource *source)
{
    if (tf == nullptr)
        return;
    velkio_TransferFunction_setSepTFs(tf, nullptr);
    if (source != nullptr)
        tf->sepSource = *source;
}

void velkio_TransferFunction_setPositions(velkio_TransferFunction *tf,
                                          velkio_Positions *positions)
{
    if (tf == nullptr)
        return;
    if (tf->positions != positions)
        velkio_Positions_delete(&tf->positions);
    tf->positions = positions;
}

void velkio_TransferFunction_setMicrophones(velkio_TransferFunction *tf,
                                            velkio_Positions *microphones)
{
    if (tf == nullptr)
        return;
    if (tf->microphones != microphones)
        velkio_Positions_delete(&tf->microphones);
    tf->microphones = microphones;
}

void velkio_TransferFunction_setConfig(velkio_TransferFunction *tf, velkio_Config *config)
{
    if (tf == nullptr)
        return;
    if (tf->config != config)
        velkio_Config_delete(&tf->config);
    tf->config = config;
}

void velkio_TransferFunction_setNeighbors(velkio_TransferFunction *tf,
                                          velkio_Neighbors *neighbors)
{
    if (tf == nullptr)
        return;
    if (tf->neighbors != neighbors)
        velkio_Neighbors_delete(&tf->neighbors);
    tf->neighbors = neighbors;
}

int velkio_TransferFunction_write(const velkio_TransferFunction *tf, const char *path,
                                  const char *label)
{
    VELKIO_LOG(VELKIO_LOG_TRACE, "@ %s", __func__);
    return velkio_TransferFunction_writeWithMembers(tf, path, label, nullptr, 0);
}

int velkio_TransferFunction_writeWithMembers(const velkio_TransferFunction *tf,
                                             const char *path, const char *label,
                                             const velkio_ArchiveMember *members,
                                             int count)
{
    VELKIO_LOG(VELKIO_LOG_TRACE, "@ %s", __func__);
    return velkio_TransferFunction_writeAnnotated(tf, path, label, members, count, nullptr, 0);
}

int velkio_TransferFunction_writeAnnotated(const velkio_TransferFunction *tf,
                                           const char *path, const char *label,
                                           const velkio_ArchiveMember *members,
                                           int count, const velkio_CalcTF *calcTFs,
                                           int calcTFCount)
{
    if (tf == nullptr || path == nullptr || path[0] == '\0') {
        VELKIO_LOG(VELKIO_LOG_ERROR, "no record or no path to write");
        return 1;
    }
    const Extras extras = {members, count, calcTFs, calcTFs != nullptr ? calcTFCount : 0};
    if (checkExtras(extras) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "archive [%s] not written", path);
        return 1;
    }
    int rows = 0, cols = 0;
    if (checkKindForWrite(tf, kindLoc, tf->locTFs, tf->nLocTFs, tf->locSource, &rows,
                          &cols) != 0 ||
        checkKindForWrite(tf, kindSep, tf->sepTFs, tf->nSepTFs, tf->sepSource, &rows,
                          &cols) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "archive [%s] not written", path);
        return 1;
    }
    velkio_Output *out = velkio_Output_open(path);
    if (out == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not create a temporary file beside [%s]: %s",
                   path, strerror(errno));
        return 1;
    }
    if (writeArchive(tf, out, path, label != nullptr ? label : defaultLabel, extras) != 0) {
        velkio_Output_abort(out);
        VELKIO_LOG(VELKIO_LOG_ERROR, "archive [%s] not written", path);
        return 1;
    }
    // The rename is not forced to the disk first, which would make every
    // run wait for the device.
    if (velkio_Output_commit(out) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not replace [%s]: %s", path, strerror(errno));
        return 1;
    }
    return 0;
}

int velkio_TransferFunction_tfShape(const velkio_TransferFunction *tf, int *rows,
                                    int *cols)
{
    *rows = 0;
    *cols = 0;
    if (tf == nullptr)
        return 1;
    const velkio_Position *first = sourceCount(tf) > 0 ? tf->positions->list[0] : nullptr;
    if (first != nullptr && first->useChannels == 1 && first->numChannels > 0)
        *rows = first->numChannels;
    else if (tf->microphones != nullptr)
        *rows = tf->microphones->count;
    int nfft = tf->config != nullptr ? tf->config->nfft : 0;
    if (nfft <= 0)
        return 1;
    *cols = nfft / 2 + 1;
    return 0;
}

int *velkio_TransferFunction_rowIds(const velkio_TransferFunction *tf, int *count)
{
    *count = 0;
    if (tf == nullptr)
        return nullptr;
    const velkio_Position *first = sourceCount(tf) > 0 ? tf->positions->list[0] : nullptr;
    const int *from = nullptr;
    int n = 0;
    if (first != nullptr && first->useChannels == 1 && first->numChannels > 0 &&
        first->channels != nullptr) {
        from = first->channels;
        n = first->numChannels;
    } else if (tf->microphones != nullptr) {
        n = tf->microphones->count;
    }
    if (n <= 0)
        return nullptr;
    int *ids = (int *)malloc((size_t)n * sizeof *ids);
    if (ids == nullptr)
        return nullptr;
    for (int i = 0; i < n; i++)
        ids[i] = from != nullptr ? from[i] : tf->microphones->list[i]->id;
    *count = n;
    return ids;
}

void velkio_TransferFunction_delete(velkio_TransferFunction **tf)
{
    if (tf == nullptr || *tf == nullptr)
        return;
    velkio_TransferFunction *t = *tf;
    if (t->archive != nullptr)
        zip_discard(t->archive);
    freeMatrixVector(&t->locTFs, t->nLocTFs);
    freeMatrixVector(&t->sepTFs, t->nSepTFs);
    velkio_Positions_delete(&t->positions);
    velkio_Positions_delete(&t->microphones);
    velkio_Config_delete(&t->config);
    velkio_Neighbors_delete(&t->neighbors);
    free(t);
    *tf = nullptr;
}
