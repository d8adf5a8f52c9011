// Consistency check of transfer-function archives and their summaries
// (see validtf.h).
#include "validtf.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

#include "options.h"
#include "textutil.h"

namespace {

const char DEFAULT_WHATISTHIS[] = "transfer function";
const char MEMBER_ROOT[] = "transferFunction/";
const char MEMBER_WHATISTHIS[] = "transferFunction/whatisthis.txt";
const char MEMBER_SOURCE[] = "transferFunction/source.xml";
const char MEMBER_MICROPHONES[] = "transferFunction/microphones.xml";
const char KIND_LOC[] = "localization";
const char KIND_SEP[] = "separation";

/* Size of the buffer in which TF member names are formed. */
const int MEMBER_NAME_SIZE = 4192;

const char CONVERSION_HINT[] =
    "\n   If you want to convert your binary-format TFs into a zip-format (VELK>=2.1),\n"
    "   see 'velktoolcli-conv-tf --help' (after installing velktool5).\n";

/* 1 when the file at `path` begins with the four bytes "VELK", the mark of
 * the previous generation's binary TF files. */
int beginsWithVelkMark(const char *path)
{
    FILE *f = velkio_File_fopenRegular(path);
    if (f == nullptr)
        return 0;
    char head[4];
    size_t got = fread(head, 1, sizeof head, f);
    fclose(f);
    return got == sizeof head && memcmp(head, "VELK", sizeof head) == 0;
}

/* Opens the archive read-only with consistency checking; anything but a
 * regular file is refused. */
zip_t *openChecked(const char *path, int *code)
{
    return velkio_Archive_open(path, code);
}

/* The loader's report of an archive that libzip could not open. */
void logOpenFailure(const char *path, int code)
{
    if (code == ZIP_ER_OPEN || code == ZIP_ER_NOENT) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "zip_open failed: cannot find or open '%s'", path);
    } else if (code == ZIP_ER_NOZIP) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "zip_open failed: file '%s' is not in zip format", path);
        if (beginsWithVelkMark(path))
            VELKIO_LOG(VELKIO_LOG_ERROR, "%s", CONVERSION_HINT);
    } else {
        VELKIO_LOG(VELKIO_LOG_ERROR, "zip_open failed: file '%s' unexpected error", path);
    }
}

bool hasMember(zip_t *archive, const char *name)
{
    return zip_name_locate(archive, name, 0) >= 0;
}

/* The name of the TF member of a kind and a source position id. */
std::string tfName(const char *kind, int id)
{
    char name[MEMBER_NAME_SIZE];
    snprintf(name, sizeof name, "transferFunction/%s/tf%05d.mat", kind, id);
    return name;
}

/* Reads the whole member, under the limit of its kind, into a new buffer
 * of size + 1 bytes, the last one zero.  Null on failure (logged). */
char *readMember(zip_t *archive, const char *name, int kind, zip_uint64_t *size)
{
    if (archive == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "zip file hanel is NULL");
        return nullptr;
    }
    if (!hasMember(archive, name)) {
        errno = ENOENT;
        velkio_Log_FileOpenFailed(name);
        return nullptr;
    }
    unsigned char *data = nullptr;
    size_t n = 0;
    if (velkio_Archive_readMember(archive, nullptr, name, kind, &data, &n) != 0)
        return nullptr;
    *size = n;
    return (char *)data;
}

/* A member read and parsed as a document.  Null when it cannot be read
 * (*readFailed set) or does not parse. */
velkio_XML *readDocument(zip_t *archive, const char *name, bool *readFailed)
{
    zip_uint64_t size = 0;
    char *text = readMember(archive, name, VELKIO_MEMBER_XML, &size);
    *readFailed = text == nullptr;
    if (text == nullptr)
        return nullptr;
    velkio_XML *doc = velkio_XML_newFromXMLbuffer(text, (int)size, nullptr);
    free(text);
    return doc;
}

/* Opens the archive into the record; 0 on success. */
int loadArchive(velkio_TransferFunction *tf, const char *path)
{
    int code;
    tf->archive = openChecked(path, &code);
    if (tf->archive != nullptr)
        return 0;
    logOpenFailure(path, code);
    return 1;
}

/* Checks that whatisthis.txt begins with the expected text; 0 when it
 * does. */
int checkWhatIsThis(zip_t *archive, const char *expected)
{
    char *text = readZippedText(archive, MEMBER_WHATISTHIS);
    if (text == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "readZippedText failed");
        return 1;
    }
    VELKIO_LOG(VELKIO_LOG_DEBUG, "%s", text);
    int result = 0;
    if (strncmp(text, expected, strlen(expected)) != 0) {
        VELKIO_LOG(VELKIO_LOG_WARNING, "[%s] is not [%s]", MEMBER_WHATISTHIS, expected);
        result = 1;
    }
    free(text);
    return result;
}

/* Copies positions, configuration and neighbours of source.xml into the
 * record; 0 on success. */
int loadSource(velkio_TransferFunction *tf)
{
    VELKIO_LOG(VELKIO_LOG_DEBUG, "reading sources.xml");
    velkio_XML *doc = readZippedXML(tf->archive, MEMBER_SOURCE);
    if (doc == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "source.xml is not found in the file");
        return 1;
    }
    if (doc->poses != nullptr) {
        VELKIO_LOG(VELKIO_LOG_DEBUG, "copying xml->poses");
        velkio_TransferFunction_setPositions(tf, velkio_Positions_copy(doc->poses));
    }
    if (doc->cfg != nullptr) {
        VELKIO_LOG(VELKIO_LOG_DEBUG, "copying xml->cfg");
        velkio_TransferFunction_setConfig(tf, velkio_Config_copy(doc->cfg));
    }
    if (doc->nbrs != nullptr) {
        VELKIO_LOG(VELKIO_LOG_DEBUG, "copying xml->nbrs");
        velkio_TransferFunction_setNeighbors(tf, velkio_Neighbors_copy(doc->nbrs));
    }
    VELKIO_LOG(VELKIO_LOG_DEBUG, "reading sources.xml");
    if (tf->neighbors != nullptr)
        tf->neighbors->positions = tf->positions;
    velkio_XML_delete(&doc);
    return 0;
}

/* Copies the microphone positions into the record; a microphones.xml that
 * does not parse leaves the list null, one that cannot be read (damaged,
 * too large) fails the load.  0 on success. */
int loadMicrophones(velkio_TransferFunction *tf)
{
    VELKIO_LOG(VELKIO_LOG_DEBUG, "reading microphones.xml");
    bool readFailed = false;
    velkio_XML *doc = readDocument(tf->archive, MEMBER_MICROPHONES, &readFailed);
    if (doc != nullptr && doc->poses != nullptr)
        velkio_TransferFunction_setMicrophones(tf, velkio_Positions_copy(doc->poses));
    velkio_XML_delete(&doc);
    return readFailed ? 1 : 0;
}

/* Counts both TF kinds into the record, matrices left null; 0 on
 * success. */
int loadCounts(velkio_TransferFunction *tf)
{
    VELKIO_LOG(VELKIO_LOG_DEBUG, "reading loc/sep tfs");
    velkio_TransferFunction_setLocTFs(tf, nullptr);
    velkio_TransferFunction_setSepTFs(tf, nullptr);
    int nLoc = countTFs(tf->archive, KIND_LOC, tf->positions);
    if (nLoc < 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "Reading localization TFs failed.");
        return 1;
    }
    int nSep = countTFs(tf->archive, KIND_SEP, tf->positions);
    if (nSep < 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "Reading separation TFs failed.");
        return 1;
    }
    // The TF vectors stay null: only the counts are recorded.
    tf->nLocTFs = nLoc;
    tf->nSepTFs = nSep;
    return 0;
}

int sourceCount(const velkio_TransferFunction *tf)
{
    return tf->positions != nullptr && tf->positions->count > 0 ? tf->positions->count : 0;
}

const char *contentsText(const velkio_TransferFunction *tf)
{
    if (tf->nLocTFs > 0 && tf->nSepTFs > 0)
        return "localization, separation";
    if (tf->nLocTFs > 0)
        return "localization";
    if (tf->nSepTFs > 0)
        return "separation";
    return "no tf matrix";
}

const char *contentsJson(const velkio_TransferFunction *tf)
{
    if (tf->nLocTFs > 0 && tf->nSepTFs > 0)
        return "[ \"localization\" , \"separation\" ]";
    if (tf->nLocTFs > 0)
        return "[ \"localization\" ]";
    if (tf->nSepTFs > 0)
        return "[ \"separation\" ]";
    return "[]";
}

const velkio_Config emptyConfig = {};

/* A TF member the source positions call for, and whether the archive
 * holds it. */
struct Expected {
    int kind; /* 0 localization, 1 separation */
    bool seen;
};

bool inTfFolder(const char *name)
{
    const char *folders[] = {"transferFunction/localization/", "transferFunction/separation/"};
    for (const char *f : folders) {
        size_t n = strlen(f);
        if (strncmp(name, f, n) == 0 && name[n] != '\0')
            return true;
    }
    return false;
}

/* Reads one TF member to its end, decoded far enough to know class,
 * complexity and shape, and checks every value; 0 when sound. */
int checkTfMember(zip_t *archive, const char *path, const char *name, int rows, int cols)
{
    unsigned char *bytes = nullptr;
    size_t size = 0;
    if (velkio_Archive_readMatMember(archive, path, name, rows, cols, &bytes, &size) != 0)
        return 1;
    std::string what = std::string(path) + ": " + name;
    int result = velkio_MatFile_check(bytes, size, what.c_str());
    free(bytes);
    return result;
}

/* Reads every member of the archive to its end (so that its checksum is
 * verified) under the limit of its kind, checks every TF member and the
 * set of TF members against the source positions: each kind present
 * holds exactly one member per position and nothing else.  Each failure
 * is logged naming the member; 0 when all is sound. */
int checkEveryMember(const velkio_TransferFunction *tf, const char *path)
{
    std::unordered_map<std::string, Expected> expected;
    int n = sourceCount(tf);
    for (int i = 0; i < n; i++) {
        expected.emplace(tfName(KIND_LOC, tf->positions->list[i]->id), Expected{0, false});
        expected.emplace(tfName(KIND_SEP, tf->positions->list[i]->id), Expected{1, false});
    }
    int rows = 0, cols = 0;
    bool shaped = velkio_TransferFunction_tfShape(tf, &rows, &cols) == 0;
    bool present[2] = {false, false};
    bool noShapeLogged = false;
    int result = 0;
    zip_int64_t entries = zip_get_num_entries(tf->archive, 0);
    for (zip_int64_t e = 0; e < entries; e++) {
        const char *name = zip_get_name(tf->archive, (zip_uint64_t)e, 0);
        if (name == nullptr) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "%s: entry %lld has no name (%s)", path, (long long)e,
                       zip_strerror(tf->archive));
            result = 1;
            continue;
        }
        if (!inTfFolder(name)) {
            int kind = strcmp(name, MEMBER_WHATISTHIS) == 0 ? VELKIO_MEMBER_LABEL
                                                            : VELKIO_MEMBER_OTHER;
            result |= velkio_Archive_readMember(tf->archive, path, name, kind, nullptr, nullptr);
            continue;
        }
        auto it = expected.find(name);
        if (it == expected.end()) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "%s: %s is not the transfer function of any source position",
                       path, name);
            result = 1;
            continue;
        }
        it->second.seen = true;
        present[it->second.kind] = true;
        if (shaped) {
            result |= checkTfMember(tf->archive, path, name, rows, cols);
        } else {
            if (!noShapeLogged)
                VELKIO_LOG(VELKIO_LOG_ERROR, "%s: TFs present but the configuration gives no nfft",
                           path);
            noShapeLogged = true;
            result = 1;
        }
    }
    for (int i = 0; i < n; i++) {
        for (int kind = 0; kind < 2; kind++) {
            std::string name = tfName(kind == 0 ? KIND_LOC : KIND_SEP, tf->positions->list[i]->id);
            if (present[kind] && !expected[name].seen) {
                VELKIO_LOG(VELKIO_LOG_ERROR, "%s not found.", name.c_str());
                result = 1;
            }
        }
    }
    return result;
}

} // namespace

velkio_TransferFunction *velkio_TransferFunction_fromFile_withoutLoadingMatrix(
    const char *path, const char *whatisthis)
{
    VELKIO_LOG(VELKIO_LOG_TRACE, "@ %s", __func__);
    if (path == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "path is NULL");
        return nullptr;
    }
    if (whatisthis == nullptr)
        whatisthis = DEFAULT_WHATISTHIS;
    VELKIO_LOG(VELKIO_LOG_DEBUG, "whatisthis: %s", whatisthis);
    velkio_TransferFunction *tf = velkio_TransferFunction_new();
    if (tf == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not allocated memory");
        return nullptr;
    }
    if (loadArchive(tf, path) != 0 || checkWhatIsThis(tf->archive, whatisthis) != 0 ||
        loadSource(tf) != 0) {
        velkio_TransferFunction_delete(&tf);
        return nullptr;
    }
    if (loadMicrophones(tf) != 0 || loadCounts(tf) != 0)
        velkio_TransferFunction_delete(&tf);
    return tf;
}

int countTFs(zip_t *archive, const char *kind, const velkio_Positions *positions)
{
    if (archive == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "zip file hanel is NULL");
        return -1;
    }
    int size = positions != nullptr ? positions->count : 0;
    VELKIO_LOG(VELKIO_LOG_DEBUG, "size: %d", size);
    if (size < 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "maximum TF index is not positive value");
        return -1;
    }
    if (kind == nullptr || (strncmp(kind, KIND_LOC, 12) != 0 && strncmp(kind, KIND_SEP, 10) != 0)) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "Unknown mode: %s", kind ? kind : "(null)");
        return -1;
    }
    for (int i = 0; i < size; i++) {
        std::string name = tfName(kind, positions->list[i]->id);
        VELKIO_LOG(VELKIO_LOG_DEBUG, "%s", name.c_str());
        if (!hasMember(archive, name.c_str()))
            return i;
    }
    return size;
}

velkio_XML *readZippedXML(zip_t *archive, const char *name)
{
    VELKIO_LOG(VELKIO_LOG_TRACE, "@ %s", __func__);
    if (name == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "path is NULL");
        return nullptr;
    }
    bool readFailed = false;
    return readDocument(archive, name, &readFailed);
}

char *readZippedText(zip_t *archive, const char *name)
{
    VELKIO_LOG(VELKIO_LOG_TRACE, "@ %s", __func__);
    if (name == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "path is NULL");
        return nullptr;
    }
    zip_uint64_t size = 0;
    return readMember(archive, name, VELKIO_MEMBER_LABEL, &size);
}

int validtf_checkMembers(zip_t *archive)
{
    int result = 0;
    const char *recorded[] = {MEMBER_ROOT, MEMBER_WHATISTHIS};
    for (const char *name : recorded) {
        if (!hasMember(archive, name)) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "%s not found.", name);
            result = 1;
        }
    }
    // Without the position documents nothing further can be checked.
    const char *documents[] = {MEMBER_MICROPHONES, MEMBER_SOURCE};
    for (const char *name : documents) {
        if (!hasMember(archive, name)) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "%s not found.", name);
            result = 1;
        }
    }
    zip_discard(archive);
    return result;
}

void validtf_printText(FILE *out, const velkio_TransferFunction *tf)
{
    const velkio_Config *cfg = tf->config != nullptr ? tf->config : &emptyConfig;
    fprintf(out, "Transfer Function Informations\n");
    fprintf(out, " Microphones       : %d\n", velkio_Positions_getSize(tf->microphones));
    fprintf(out, " TF Directions     : %d\n", sourceCount(tf));
    fprintf(out, " Contents          : %s\n", contentsText(tf));
    fprintf(out, "Configuration Informations\n");
    fprintf(out, " Comment           : %s\n", cfg->comment ? cfg->comment : "");
    fprintf(out, " SynchronousAverage: %d\n", cfg->synchronousAverage);
    fprintf(out, " TSPpath           : %s\n", cfg->tspPath ? cfg->tspPath : "");
    fprintf(out, " TSPOffset         : %d\n", cfg->tspOffset);
    fprintf(out, " PeakSearch        : from %d to %d\n", cfg->peakSearchFrom, cfg->peakSearchTo);
    fprintf(out, " nfft              : %d\n", cfg->nfft);
    fprintf(out, " samplingRate      : %d\n", cfg->samplingRate);
    fprintf(out, " signalMax         : %d\n", cfg->signalMax);
    fprintf(out, " TSPLength         : %d\n", cfg->tspLength);
}

void validtf_writeJsonString(FILE *out, const char *text)
{
    const unsigned char *s = reinterpret_cast<const unsigned char *>(text ? text : "");
    fputc('"', out);
    while (*s != 0) {
        unsigned char c = *s;
        if (c == '"' || c == '\\') {
            fputc('\\', out);
            fputc(c, out);
        } else if (c == '\n') {
            fputs("\\n", out);
        } else if (c == '\t') {
            fputs("\\t", out);
        } else if (c == '\r') {
            fputs("\\r", out);
        } else if (c < 0x20 || c == 0x7F) {
            fprintf(out, "\\u%04x", c);
        } else {
            int n = velk_utf8SequenceLength(s);
            if (n == 0) {
                fputs("\\ufffd", out);
                n = 1;
            } else {
                fwrite(s, 1, (size_t)n, out);
            }
            s += n;
            continue;
        }
        s++;
    }
    fputc('"', out);
}

void validtf_printJson(FILE *out, const velkio_TransferFunction *tf)
{
    const velkio_Config *cfg = tf->config != nullptr ? tf->config : &emptyConfig;
    fprintf(out, "{\n    \"TFInfo\": {\n");
    fprintf(out, "        \"Microphones\": %d ,\n", velkio_Positions_getSize(tf->microphones));
    fprintf(out, "        \"Directions\": %d ,\n", sourceCount(tf));
    fprintf(out, "        \"Contents\": %s\n    } ,\n", contentsJson(tf));
    fprintf(out, "    \"Config\": {\n");
    fprintf(out, "        \"Comment\": ");
    validtf_writeJsonString(out, cfg->comment);
    fprintf(out, " ,\n");
    fprintf(out, "        \"SynchronousAverage\": %d ,\n", cfg->synchronousAverage);
    fprintf(out, "        \"TSPpath\": ");
    validtf_writeJsonString(out, cfg->tspPath);
    fprintf(out, " ,\n");
    fprintf(out, "        \"TSPOffset\": %d ,\n", cfg->tspOffset);
    fprintf(out, "        \"PeakSearch\": [ { \"from\" : %d, \"to\" : %d } ] ,\n",
            cfg->peakSearchFrom, cfg->peakSearchTo);
    fprintf(out, "        \"nfft\": %d ,\n", cfg->nfft);
    fprintf(out, "        \"samplingRate\": %d ,\n", cfg->samplingRate);
    fprintf(out, "        \"signalMax\": %d ,\n", cfg->signalMax);
    fprintf(out, "        \"TSPLength\": %d\n    }\n}", cfg->tspLength);
}

int validtf_checkArchive(const char *path, int show, int json)
{
    int code;
    zip_t *archive = openChecked(path, &code);
    if (archive == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not open zip file [%s]", path);
        // A file of the previous generation gets the way to convert it.
        if (code == ZIP_ER_NOZIP && beginsWithVelkMark(path))
            VELKIO_LOG(VELKIO_LOG_ERROR, "%s", CONVERSION_HINT);
        return 1;
    }
    if (validtf_checkMembers(archive) != 0)
        return 1;

    velkio_TransferFunction *tf = velkio_TransferFunction_fromFile_withoutLoadingMatrix(path, nullptr);
    if (tf == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "zip read file error");
        return 1;
    }
    int n = sourceCount(tf);
    if (show)
        validtf_printText(stdout, tf);
    else if (json)
        validtf_printJson(stdout, tf);
    int result = 0;
    if ((show || json) && (fflush(stdout) != 0 || ferror(stdout))) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "write error on standard output");
        result = 1;
    }
    if (tf->nLocTFs > 0 && tf->nLocTFs != n) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "localization matrix size(%d) differ from position size(%d)",
                   tf->nLocTFs, n);
        result = 1;
    }
    if (tf->nSepTFs > 0 && tf->nSepTFs != n) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "separation matrix size(%d) differ from position size(%d)",
                   tf->nSepTFs, n);
        result = 1;
    }
    if (checkEveryMember(tf, path) != 0)
        result = 1;
    velkio_TransferFunction_delete(&tf);
    if (result == 0)
        fputs("SUCCESS\n", stderr);
    return result;
}

void help(poptContext ctx, int status)
{
    velkopt_usage(ctx, status, "NAME:\n", "  velktoolcli-validtf\n",
                  "  Consistency check of the transfer function\n",
                  "\nOutput:\n  If a tf_file is valid, the command returns 0.\n");
}
