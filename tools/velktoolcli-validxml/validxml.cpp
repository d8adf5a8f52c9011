// Consistency checks of velk_xml documents and the JSON summary of a valid
// one (see validxml.h).
#include "validxml.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "options.h"
#include "textutil.h"

namespace {

/* Microphone position lists hold ids below this bound. */
const int MAX_MIC_ID = 64;

const char UNKNOWN_TYPE_OPEN[] = "[positions (unknown type: ";
const char UNKNOWN_TYPE_CLOSE[] = ")]";
/* Room for the longest tags that can follow the unknown-type tag. */
const int LATER_TAGS_LENGTH = (int)sizeof "[position][neighbors]" - 1;

/* The number of leading bytes of `text`, at most `limit`, that end on a
 * character boundary. */
int cutLength(const char *text, int limit)
{
    const unsigned char *s = reinterpret_cast<const unsigned char *>(text);
    int used = 0;
    while (s[used] != 0) {
        int n = velk_utf8SequenceLength(s + used);
        if (n == 0)
            n = 1;
        if (used + n > limit)
            break;
        used += n;
    }
    return used;
}

/* Appends to the fixed report; whatever does not fit is cut. */
void appendFixed(char *report, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
void appendFixed(char *report, const char *format, ...)
{
    size_t used = strnlen(report, VALIDXML_REPORT_SIZE - 1);
    if (used + 1 >= VALIDXML_REPORT_SIZE)
        return;
    va_list args;
    va_start(args, format);
    vsnprintf(report + used, VALIDXML_REPORT_SIZE - used, format, args);
    va_end(args);
}

bool isSourceType(const char *type)
{
    return strcmp(type, "soundsource") == 0 || strcmp(type, "tsp") == 0 ||
           strcmp(type, "impulse") == 0;
}

bool isKnownType(const char *type)
{
    return isSourceType(type) || strcmp(type, "noise") == 0 ||
           strcmp(type, "microphone") == 0;
}

void appendUnknownType(char *report, const char *type)
{
    const int limit = VALIDXML_REPORT_SIZE - 1 -
                      (int)(sizeof UNKNOWN_TYPE_OPEN - 1) -
                      (int)(sizeof UNKNOWN_TYPE_CLOSE - 1) -
                      LATER_TAGS_LENGTH;
    appendFixed(report, "%s%.*s%s", UNKNOWN_TYPE_OPEN, cutLength(type, limit),
                type, UNKNOWN_TYPE_CLOSE);
}

/* The configuration rules of source lists. */
void appendConfigTags(char *report, const velkio_Config *cfg)
{
    if (cfg == nullptr) {
        appendFixed(report, "[config]");
        return;
    }
    if (cfg->comment == nullptr)
        appendFixed(report, "[comment]");
    if (cfg->synchronousAverage < 0)
        appendFixed(report, "[SynchronousAverage]");
    if (cfg->tspPath == nullptr)
        appendFixed(report, "[TSPpath]");
    if (cfg->tspOffset < 0)
        appendFixed(report, "[TSPOffset]");
    if (cfg->peakSearchFrom < 0 || cfg->peakSearchTo < 0)
        appendFixed(report, "[PeakSearch]");
    if (cfg->nfft <= 0)
        appendFixed(report, "[nfft]");
    if (cfg->samplingRate <= 0)
        appendFixed(report, "[samplingRate]");
    if (cfg->signalMax <= 0)
        appendFixed(report, "[signalMax]");
    if (cfg->tspLength <= 0)
        appendFixed(report, "[TSPLength]");
}

/* The id of list entry i; entries are never null in a list built by the
 * library, but a missing one must not be followed. */
bool positionId(const velkio_Positions *poses, int i, int *id)
{
    if (poses->list == nullptr || poses->list[i] == nullptr)
        return false;
    *id = poses->list[i]->id;
    return true;
}

/* A growable report; `failed` records an append that ran out of memory. */
struct Report {
    char *text;
    bool failed;
};

/* Records an append of cat_asprintf that failed for want of memory. */
void noteAppend(Report *report, int length)
{
    if (length < 0)
        report->failed = true;
}

/* How many positions of the list carry each id. */
using IdCounts = std::unordered_map<int, int>;

IdCounts countIds(const velkio_Positions *poses)
{
    IdCounts counts;
    for (int i = 0; i < poses->count; i++) {
        int id;
        if (positionId(poses, i, &id))
            counts[id]++;
    }
    return counts;
}

/* For position i, one tag per other position that carries the same id. */
void appendDuplicatesOf(Report *report, const velkio_Positions *poses, int i,
                        const IdCounts &counts)
{
    int id;
    if (!positionId(poses, i, &id))
        return;
    for (int others = counts.at(id) - 1; others > 0; others--)
        noteAppend(report, cat_asprintf(&report->text, "[position (id is not unique: %d)]", id));
}

void appendUniquenessTags(Report *report, const velkio_Positions *poses, const IdCounts &counts)
{
    for (int i = 0; i < poses->count; i++)
        appendDuplicatesOf(report, poses, i, counts);
}

/* The microphone rules; false when the list is empty (no further pass). */
bool appendMicrophoneTags(Report *report, const velkio_Positions *poses,
                          const char *type, const IdCounts &counts)
{
    if (strcmp(type, "microphone") != 0)
        noteAppend(report,
                   cat_asprintf(&report->text,
                                "[positions (type is not microphone): %s)]",
                                type));
    if (poses->count < 1) {
        noteAppend(report, cat_asprintf(&report->text, "[position is empty]"));
        return false;
    }
    for (int i = 0; i < poses->count; i++) {
        int id;
        if (positionId(poses, i, &id) && id >= MAX_MIC_ID)
            noteAppend(report,
                       cat_asprintf(&report->text,
                                    "[position (id is not less than %d: %d)]",
                                    MAX_MIC_ID, id));
        appendDuplicatesOf(report, poses, i, counts);
    }
    return true;
}

void appendPositionTags(Report *report, int kind, const velkio_Positions *poses)
{
    const char *type = poses->type != nullptr ? poses->type : "";
    const IdCounts counts = countIds(poses);
    if (kind == VALIDXML_KIND_MICROPHONE) {
        if (!appendMicrophoneTags(report, poses, type, counts))
            return;
    } else if (kind == VALIDXML_KIND_SOURCE && !isSourceType(type)) {
        noteAppend(report,
                   cat_asprintf(&report->text,
                                "[positions (type is not "
                                "soundsource|tsp|impulse: %s)]",
                                type));
    }
    appendUniquenessTags(report, poses, counts);
}

int printVerdict(const char *report)
{
    if (report == nullptr || report[0] == '\0') {
        fputs("SUCCESS\n", stderr);
        return 0;
    }
    fprintf(stderr, "Consistency error\n%s\n", report);
    return 1;
}

void printChannelList(FILE *out, const int *values, int count)
{
    fputs(", \"channels\": [ ", out);
    for (int k = 0; k < count; k++)
        fprintf(out, k == 0 ? "%d" : ",%d", values[k]);
    fputs(" ]", out);
}

/* Microphone lists list their ids; other lists the channel list of their
 * first position, when it has one. */
void printJsonChannels(FILE *out, const velkio_Positions *poses)
{
    if (poses->count < 1 || poses->list == nullptr)
        return;
    if (poses->type != nullptr && strcmp(poses->type, "microphone") == 0) {
        fputs(", \"channels\": [ ", out);
        const char *format = "%d";
        for (int i = 0; i < poses->count; i++) {
            int id;
            if (positionId(poses, i, &id)) {
                fprintf(out, format, id);
                format = ",%d";
            }
        }
        fputs(" ]", out);
        return;
    }
    const velkio_Position *first = poses->list[0];
    if (first == nullptr || first->useChannels != 1)
        return;
    int count = first->channels != nullptr ? first->numChannels : 0;
    printChannelList(out, first->channels, count < 0 ? 0 : count);
}

void printJsonConfig(FILE *out, const velkio_Config *cfg)
{
    fputs(", \"config\": { \"comment\": ", out);
    validxml_writeJsonString(out, cfg->comment);
    fprintf(out, ", \"syncadd\": %d", cfg->synchronousAverage);
    fputs(", \"orgtsppath\": ", out);
    validxml_writeJsonString(out, cfg->tspPath);
    fprintf(out, ", \"tspoffset\": %d", cfg->tspOffset);
    fprintf(out, ", \"peakfrom\": %d", cfg->peakSearchFrom);
    fprintf(out, ", \"peakto\": %d", cfg->peakSearchTo);
    fprintf(out, ", \"fftlen\": %d", cfg->nfft);
    fprintf(out, ", \"samplingrate\": %d", cfg->samplingRate);
    fprintf(out, ", \"signalmax\": %d", cfg->signalMax);
    fprintf(out, ", \"tsplength\": %d }", cfg->tspLength);
}

} // namespace

void validxml_fullReport(const velkio_XML *doc,
                         char report[VALIDXML_REPORT_SIZE])
{
    report[0] = '\0';
    if (doc == nullptr) {
        appendFixed(report, "[velk_xml]");
        return;
    }
    const velkio_Positions *poses = doc->poses;
    if (poses == nullptr) {
        appendFixed(report, "[positions]");
        return;
    }
    if (poses->type == nullptr)
        appendUnknownType(report, "");
    else if (isSourceType(poses->type))
        appendConfigTags(report, doc->cfg);
    else if (!isKnownType(poses->type))
        appendUnknownType(report, poses->type);
    if (poses->count <= 0)
        appendFixed(report, "[position]");
    if (doc->nbrs == nullptr)
        appendFixed(report, "[neighbors]");
    else if (doc->nbrs->count <= 0)
        appendFixed(report, "[neighbor]");
}

int validxml_positionReport(int kind, const velkio_XML *doc, char **text)
{
    *text = nullptr;
    if (kind < 0 || (kind > VALIDXML_KIND_MICROPHONE && kind < VALIDXML_KIND_SOURCE)) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "Illegal type %d", kind);
        return 1;
    }
    Report report = {nullptr, false};
    if (doc == nullptr)
        noteAppend(&report, cat_asprintf(&report.text, "[velk_xml]"));
    else if (doc->poses == nullptr)
        noteAppend(&report, cat_asprintf(&report.text, "[positions]"));
    else
        appendPositionTags(&report, kind, doc->poses);
    *text = report.text;
    if (report.failed) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "memory allocate error");
        return -1;
    }
    return 0;
}

int validate_velkxml(const velkio_XML *doc)
{
    char report[VALIDXML_REPORT_SIZE];
    validxml_fullReport(doc, report);
    return printVerdict(report);
}

int validateAsPositionXml(int kind, const velkio_XML *doc)
{
    char *text = nullptr;
    int status = validxml_positionReport(kind, doc, &text);
    int result = 1;
    if (status == 0)
        result = printVerdict(text);
    free(text);
    return result;
}

void validxml_writeJsonString(FILE *out, const char *text)
{
    const unsigned char *s =
        reinterpret_cast<const unsigned char *>(text != nullptr ? text : "");
    fputc('"', out);
    while (*s != 0) {
        int n = velk_utf8SequenceLength(s);
        if (*s == '"' || *s == '\\')
            fprintf(out, "\\%c", *s);
        else if (*s < 0x20)
            fprintf(out, "\\u%04x", *s);
        else if (n == 0)
            fputs("\\ufffd", out);
        else
            fwrite(s, 1, n, out);
        s += n > 0 ? n : 1;
    }
    fputc('"', out);
}

int validxml_printJson(FILE *out, const velkio_XML *doc)
{
    if (doc == nullptr || doc->poses == nullptr)
        return 1;
    fputs("{ \"type\": ", out);
    validxml_writeJsonString(out, doc->poses->type);
    printJsonChannels(out, doc->poses);
    if (doc->cfg != nullptr)
        printJsonConfig(out, doc->cfg);
    fputs(" }\n", out);
    return 0;
}

void help(poptContext ctx, int status)
{
    velkopt_usage(ctx, status, "NAME:\n", "  velktoolcli-validxml\n",
                  "  Consistency check of xml file\n",
                  "\n"
                  "    positions_type:\n"
                  "      soundsource,tsp,impulse,microphone,noise\n"
                  "\n"
                  "Output :\n"
                  "  If a xml_file is valid, the command retruns 0.\n");
}
