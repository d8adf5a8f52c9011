// The archive's transfer functions as one file (see tfexport.h): loading,
// the MAT-file and NumPy layouts, and the command line.
#include "tfexport.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <popt.h>
#include <zip.h>

#include "docout.h"
#include "options.h"

/* ------------------------------------------------------------------ */
/* Loading                                                             */
/* ------------------------------------------------------------------ */

int tfexport_parseFormat(const char *text)
{
    if (text == nullptr)
        return -1;
    if (strcmp(text, "sofa") == 0)
        return TFEXPORT_SOFA;
    if (strcmp(text, "mat") == 0)
        return TFEXPORT_MAT;
    if (strcmp(text, "npz") == 0)
        return TFEXPORT_NPZ;
    return -1;
}

int tfexport_parseKind(const char *text)
{
    if (text == nullptr)
        return -1;
    if (strcmp(text, "LOC") == 0 || strcmp(text, "loc") == 0)
        return TFEXPORT_LOC;
    if (strcmp(text, "SEP") == 0 || strcmp(text, "sep") == 0)
        return TFEXPORT_SEP;
    return -1;
}

namespace {

const char *kindName(int kind)
{
    return kind == TFEXPORT_SEP ? "separation" : "localization";
}

// x, y, z in metres of a position, polar ones converted; 1 on failure.
int cartesian(const velkio_Position *p, double out[3])
{
    float xyz[3];
    if (p->isCartesian != 0) {
        memcpy(xyz, p->coords, sizeof xyz);
    } else if (velkio_Position_Convert(p, xyz, 1) != 0) {
        return 1;
    }
    for (int c = 0; c < 3; c++)
        out[c] = xyz[c];
    return 0;
}

int takeSources(const velkio_TransferFunction *tf, const char *path, tfexport_Set *set)
{
    set->sources = (size_t)velkio_Positions_getSize(tf->positions);
    for (size_t i = 0; i < set->sources; i++) {
        const velkio_Position *p = tf->positions->list[i];
        double xyz[3];
        if (cartesian(p, xyz) != 0) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "%s: source position [%d] can not be converted", path,
                       p->id);
            return 1;
        }
        set->sourceIds.push_back(p->id);
        set->sourcePositions.insert(set->sourcePositions.end(), xyz, xyz + 3);
    }
    return 0;
}

// The microphones the TF rows stand for, in row order.
int takeMicrophones(const velkio_TransferFunction *tf, const char *path, tfexport_Set *set)
{
    int count = 0;
    int *ids = velkio_TransferFunction_rowIds(tf, &count);
    for (int j = 0; j < count; j++) {
        const velkio_Position *p = velkio_Positions_getById(tf->microphones, ids[j]);
        double xyz[3];
        if (p == nullptr || cartesian(p, xyz) != 0) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "%s: channel %d of the transfer functions has no "
                       "microphone position", path, ids[j]);
            free(ids);
            return 1;
        }
        set->micIds.push_back(ids[j]);
        set->micPositions.insert(set->micPositions.end(), xyz, xyz + 3);
    }
    free(ids);
    set->mics = (size_t)count;
    return 0;
}

// The matrices of the kind, in source order, conjugated back for the
// separation kind.
int takeValues(const velkio_TransferFunction *tf, const char *path, tfexport_Set *set)
{
    velkio_Matrix *const *matrices = set->kind == TFEXPORT_SEP ? tf->sepTFs : tf->locTFs;
    int count = set->kind == TFEXPORT_SEP ? tf->nSepTFs : tf->nLocTFs;
    if (matrices == nullptr || count == 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s holds no %s transfer functions", path,
                   kindName(set->kind));
        return 1;
    }
    set->values.reserve(set->sources * set->mics * set->bins);
    for (size_t s = 0; s < set->sources; s++) {
        const velkio_Matrix *m = (int)s < count ? matrices[s] : nullptr;
        if (m == nullptr || (size_t)m->rows != set->mics || (size_t)m->cols != set->bins) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "%s: the %s transfer function of source position "
                       "[%d] is not %zu x %zu", path, kindName(set->kind),
                       set->sourceIds[s], set->mics, set->bins);
            return 1;
        }
        size_t n = set->mics * set->bins;
        for (size_t i = 0; i < n; i++)
            set->values.push_back(set->kind == TFEXPORT_SEP ? std::conj(m->data[i])
                                                            : m->data[i]);
    }
    return 0;
}

} // namespace

int tfexport_load(const char *archive, int kind, tfexport_Set *set)
{
    velkio_TransferFunction *tf = velkio_TransferFunction_fromFile(archive, "transfer function");
    if (tf == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not read the archive [%s]", archive);
        return 1;
    }
    *set = tfexport_Set();
    set->kind = kind;
    set->nfft = tf->config != nullptr ? tf->config->nfft : 0;
    set->samplingRate = tf->config != nullptr ? tf->config->samplingRate : 0;
    const char *comment = tf->config != nullptr ? tf->config->comment : nullptr;
    set->title = comment != nullptr ? comment : "";
    int result = 0;
    if (set->nfft < 2 || set->samplingRate <= 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: the configuration gives nfft %d and sampling rate "
                   "%d; the frequencies of the bins are unknown", archive, set->nfft,
                   set->samplingRate);
        result = 1;
    } else {
        set->bins = (size_t)(set->nfft / 2 + 1);
        for (size_t k = 0; k < set->bins; k++)
            set->frequencies.push_back((double)k * set->samplingRate / set->nfft);
        result = takeSources(tf, archive, set) || takeMicrophones(tf, archive, set);
        if (result == 0 && (set->sources == 0 || set->mics == 0)) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "%s holds %zu source positions and %zu microphone "
                       "rows: nothing to export", archive, set->sources, set->mics);
            result = 1;
        }
        if (result == 0)
            result = takeValues(tf, archive, set);
    }
    velkio_TransferFunction_delete(&tf);
    return result;
}

/* ------------------------------------------------------------------ */
/* MAT-file                                                            */
/* ------------------------------------------------------------------ */

namespace {

velkio_MatArray matArray(const char *name, int mxClass, size_t d0, size_t d1, const void *real)
{
    velkio_MatArray a = {name, mxClass, 2, {d0, d1, 0, 0}, real, nullptr};
    return a;
}

// Row-major rows x 3 into column-major order.
std::vector<double> columns(const std::vector<double> &rows, size_t n)
{
    std::vector<double> out(rows.size());
    for (size_t i = 0; i < n; i++)
        for (size_t c = 0; c < 3; c++)
            out[c * n + i] = rows[i * 3 + c];
    return out;
}

} // namespace

int tfexport_encodeMat(const tfexport_Set &set, std::vector<unsigned char> *out)
{
    const size_t S = set.sources, R = set.mics, B = set.bins;
    // tf(s, r, b) column-major: s varies fastest.
    std::vector<float> re(S * R * B), im(S * R * B);
    for (size_t s = 0; s < S; s++)
        for (size_t r = 0; r < R; r++)
            for (size_t b = 0; b < B; b++) {
                velkio_Complex v = set.values[(s * R + r) * B + b];
                re[s + S * (r + R * b)] = v.real();
                im[s + S * (r + R * b)] = v.imag();
            }
    std::vector<double> sourcePos = columns(set.sourcePositions, S);
    std::vector<double> micPos = columns(set.micPositions, R);
    velkio_MatArray arrays[8] = {
        {"tf", VELKIO_MAT_SINGLE, 3, {S, R, B, 0}, re.data(), im.data()},
        matArray("source_position", VELKIO_MAT_DOUBLE, S, 3, sourcePos.data()),
        matArray("microphone_position", VELKIO_MAT_DOUBLE, R, 3, micPos.data()),
        matArray("source_id", VELKIO_MAT_INT32, S, 1, set.sourceIds.data()),
        matArray("microphone_id", VELKIO_MAT_INT32, R, 1, set.micIds.data()),
        matArray("sampling_rate", VELKIO_MAT_INT32, 1, 1, &set.samplingRate),
        matArray("nfft", VELKIO_MAT_INT32, 1, 1, &set.nfft),
        matArray("frequency", VELKIO_MAT_DOUBLE, B, 1, set.frequencies.data())};
    size_t size = velkio_MatFile_arraysSize(arrays, 8);
    if (size == 0)
        return 1;
    out->assign(size, 0);
    return velkio_MatFile_encodeArrays(arrays, 8, out->data(), size);
}

/* ------------------------------------------------------------------ */
/* NumPy .npz                                                          */
/* ------------------------------------------------------------------ */

namespace {

// One .npy member (format 1.0): the magic, the header dictionary padded
// with blanks to a multiple of 64 bytes and ended by a line end, then the
// data in C order.
std::string npy(const char *descr, const std::vector<size_t> &shape, const void *data,
                size_t bytes)
{
    std::string dims;
    for (size_t d : shape)
        dims += std::to_string(d) + ", ";
    if (shape.size() > 1)
        dims.resize(dims.size() - 2);
    else if (shape.size() == 1)
        dims.resize(dims.size() - 1); // "(5,)"
    std::string header = std::string("{'descr': '") + descr +
                         "', 'fortran_order': False, 'shape': (" + dims + "), }";
    size_t total = 10 + header.size() + 1;
    header.append((64 - total % 64) % 64, ' ');
    header += '\n';
    std::string out("\x93NUMPY\x01\x00", 8);
    out += (char)(header.size() & 0xff);
    out += (char)(header.size() >> 8);
    out += header;
    out.append((const char *)data, bytes);
    return out;
}

// The members as a stored (uncompressed) zip, in memory.
int zipMembers(const std::vector<std::pair<std::string, std::string>> &members,
               std::vector<unsigned char> *out)
{
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t *buffer = zip_source_buffer_create(nullptr, 0, 0, &error);
    zip_t *za = buffer != nullptr ? zip_open_from_source(buffer, ZIP_TRUNCATE, &error) : nullptr;
    if (za == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not make the npz file: %s", zip_error_strerror(&error));
        zip_source_free(buffer);
        zip_error_fini(&error);
        return 1;
    }
    zip_source_keep(buffer);
    bool ok = true;
    for (const auto &m : members) {
        zip_source_t *src = zip_source_buffer(za, m.second.data(), m.second.size(), 0);
        zip_int64_t index = src != nullptr ? zip_file_add(za, m.first.c_str(), src, 0) : -1;
        if (index < 0) {
            zip_source_free(src);
            ok = false;
            break;
        }
        zip_set_file_compression(za, (zip_uint64_t)index, ZIP_CM_STORE, 0);
    }
    if (!ok || zip_close(za) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not make the npz file: %s", zip_strerror(za));
        zip_discard(za);
        zip_source_free(buffer);
        zip_error_fini(&error);
        return 1;
    }
    zip_stat_t st;
    int failed = zip_source_stat(buffer, &st) != 0 || zip_source_open(buffer) != 0;
    if (!failed) {
        out->assign((size_t)st.size, 0);
        failed = zip_source_read(buffer, out->data(), st.size) != (zip_int64_t)st.size;
        zip_source_close(buffer);
    }
    if (failed)
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not make the npz file: %s",
                   zip_error_strerror(zip_source_error(buffer)));
    zip_source_free(buffer);
    zip_error_fini(&error);
    return failed;
}

} // namespace

int tfexport_encodeNpz(const tfexport_Set &set, std::vector<unsigned char> *out)
{
    const size_t S = set.sources, R = set.mics, B = set.bins;
    std::vector<std::pair<std::string, std::string>> members = {
        {"tf.npy", npy("<c8", {S, R, B}, set.values.data(), set.values.size() * 8)},
        {"source_position.npy", npy("<f8", {S, 3}, set.sourcePositions.data(), S * 3 * 8)},
        {"microphone_position.npy", npy("<f8", {R, 3}, set.micPositions.data(), R * 3 * 8)},
        {"source_id.npy", npy("<i4", {S}, set.sourceIds.data(), S * 4)},
        {"microphone_id.npy", npy("<i4", {R}, set.micIds.data(), R * 4)},
        {"sampling_rate.npy", npy("<i4", {}, &set.samplingRate, 4)},
        {"nfft.npy", npy("<i4", {}, &set.nfft, 4)},
        {"frequency.npy", npy("<f8", {B}, set.frequencies.data(), B * 8)}};
    return zipMembers(members, out);
}

/* ------------------------------------------------------------------ */
/* Command line                                                        */
/* ------------------------------------------------------------------ */

namespace {

void help(poptContext ctx, int status)
{
    velkopt_usage(ctx, status, "NAME:\n", "  velktoolcli-tfexport\n",
                  "  Writes the localization or separation transfer functions of an archive,\n"
                  "  with the source and microphone positions, as one SOFA file (GeneralTF),\n"
                  "  one MAT-file or one NumPy .npz file.\n",
                  NULL);
}

struct Options {
    const char *format = nullptr;
    const char *kind = "LOC";
    const char *logLevel = "E";
    int formatValue = -1;
    int kindValue = TFEXPORT_LOC;
};

Options options;

/* The keyword options: rc, or VELKOPT_REPORTED for an unknown keyword. */
int handleOption(poptContext ctx, int rc, void *data)
{
    Options *o = static_cast<Options *>(data);
    if ((rc == 'f' && (o->formatValue = tfexport_parseFormat(o->format)) < 0) ||
        (rc == 'k' && (o->kindValue = tfexport_parseKind(o->kind)) < 0)) {
        VELKOPT_LOG_BAD_OPTION(ctx, "invalid string value");
        return VELKOPT_REPORTED;
    }
    return rc;
}

struct poptOption table[] = {
    {"format", '\0', POPT_ARG_STRING, &options.format, 'f', "Output format", "sofa|mat|npz"},
    {"kind", '\0', POPT_ARG_STRING | POPT_ARGFLAG_SHOW_DEFAULT, &options.kind, 'k',
     "Transfer functions to export  LOC=Localization,SEP=Separation", "LOC|SEP"},
    VELKOPT_COMMON_ENTRIES(options.logLevel),
    POPT_TABLEEND};

int encode(const tfexport_Set &set, int format, std::vector<unsigned char> *bytes)
{
    if (format == TFEXPORT_SOFA)
        return tfexport_encodeSofa(set, bytes);
    if (format == TFEXPORT_MAT)
        return tfexport_encodeMat(set, bytes);
    return tfexport_encodeNpz(set, bytes);
}

/* The encoded file replaces `path` completely or not at all. */
int writeOutput(const char *path, const std::vector<unsigned char> &bytes)
{
    velkio_Output *out = velkio_Output_open(path);
    if (out == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not create [%s]: %s", path, strerror(errno));
        return 1;
    }
    velkio_Output_write(out, bytes.data(), bytes.size());
    if (velkio_Output_commit(out) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not write [%s]: %s", path, strerror(errno));
        return 1;
    }
    return 0;
}

int run(poptContext ctx, const Options &o)
{
    const char *archive = poptGetArg(ctx);
    const char *output = poptGetArg(ctx);
    const char *extra = poptGetArg(ctx);
    if (o.formatValue < 0)
        VELKIO_LOG(VELKIO_LOG_ERROR, "missing --format");
    if (archive == nullptr)
        VELKIO_LOG(VELKIO_LOG_ERROR, "missing ARCHIVE");
    if (output == nullptr)
        VELKIO_LOG(VELKIO_LOG_ERROR, "missing OUTPUT");
    if (extra != nullptr)
        VELKIO_LOG(VELKIO_LOG_ERROR, "unexpected argument [%s]", extra);
    if (o.formatValue < 0 || archive == nullptr || output == nullptr || extra != nullptr ||
        velkio_Output_check(output) || velk_outputIsInput(output, archive))
        return 1;

    tfexport_Set set;
    std::vector<unsigned char> bytes;
    if (tfexport_load(archive, o.kindValue, &set) != 0 ||
        encode(set, o.formatValue, &bytes) != 0 || writeOutput(output, bytes) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "[%s] not written", output);
        return 1;
    }
    fputs("SUCCESS\n", stderr);
    fprintf(stderr, " output file : %s\n", output);
    return 0;
}

} // namespace

const velkopt_Program tfexport_commandLine = {
    "velktoolcli-tfexport", table, "[OPTIONS]* --format sofa|mat|npz ARCHIVE OUTPUT", help,
    handleOption, &options, VELKOPT_NEEDS_ARGUMENTS};

int tfexport_main(int argc, const char **argv)
{
    Options &o = options;
    o = Options();
    const char *const defaultKind = o.kind;
    poptContext ctx = velkopt_getContext(&tfexport_commandLine, argc, argv);
    int result = velkopt_parse(ctx, &tfexport_commandLine);
    if (result == 0)
        result = run(ctx, o);
    poptFreeContext(ctx);
    // popt's copies of the string values.
    free(const_cast<char *>(o.format));
    if (o.kind != defaultKind)
        free(const_cast<char *>(o.kind));
    return result;
}
