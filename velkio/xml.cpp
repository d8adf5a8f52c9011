// XML documents of the library: a `velk_xml` root holding an optional
// position list, neighbour lists and configuration.  The layout is
// described in docs/formats.md.
//
// velkio_XML_toString and velkio_XML_newFromXMLbuffer are also what the
// transfer-function archive uses for its source.xml and microphones.xml
// members.
//
// Reading is strict where a number belongs and tolerant elsewhere: unknown
// elements and attributes are ignored (the archive writer appends calcTF
// elements to positions), and what is well formed but inconsistent (no
// type, empty lists, absent texts, zero or negative values, repeated ids)
// is kept for the checkers.  A document carrying a DOCTYPE is refused
// before any of its declarations is processed, so no entity is ever
// expanded and no external file is ever opened; the network is off.
#include "velkio.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/xmlstring.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

// Files larger than this are refused before they are read.
constexpr size_t MAX_DOCUMENT_BYTES = VELKIO_MAX_DOCUMENT_BYTES;

// The parsed tree costs a few hundred bytes per element and attribute, and
// the parser checks the attributes of one element for repeats pair by
// pair: documents beyond these limits are refused before parsing so that
// a hostile file can neither exhaust memory nor stall the parser.
constexpr size_t MAX_MARKUP_ITEMS = VELKIO_XML_MAX_ITEMS; // elements plus attributes
constexpr size_t MAX_ATTRIBUTES_PER_ELEMENT = 256;

const char *const DEFAULT_ROOT = "velk_xml";

/* ------------------------------------------------------------------ */
/* Small RAII helpers for libxml2 resources                            */
/* ------------------------------------------------------------------ */

struct XmlCharFree {
    void operator()(xmlChar *p) const { xmlFree(p); }
};
using XmlText = std::unique_ptr<xmlChar, XmlCharFree>;

struct XmlDocFree {
    void operator()(xmlDoc *d) const { xmlFreeDoc(d); }
};
using XmlDoc = std::unique_ptr<xmlDoc, XmlDocFree>;

struct CtxtFree {
    void operator()(xmlParserCtxt *c) const { xmlFreeParserCtxt(c); }
};

const char *text(const xmlChar *s)
{
    return reinterpret_cast<const char *>(s);
}

int lineOf(const xmlNode *n)
{
    return static_cast<int>(xmlGetLineNo(n));
}

bool isElement(const xmlNode *n, const char *name)
{
    return n->type == XML_ELEMENT_NODE && xmlStrEqual(n->name, BAD_CAST name);
}

/* ------------------------------------------------------------------ */
/* Strict number parsing                                               */
/* ------------------------------------------------------------------ */

bool isXmlSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The token without surrounding XML white space.
std::string trimmed(const char *s)
{
    size_t b = 0;
    size_t e = strlen(s);
    while (b < e && isXmlSpace(s[b]))
        b++;
    while (e > b && isXmlSpace(s[e - 1]))
        e--;
    return std::string(s + b, e - b);
}

// A decimal integer, optional sign, nothing else, within int range.
bool parseIntToken(const std::string &t, int *out)
{
    if (t.empty() || t.find_first_not_of("+-0123456789") != std::string::npos)
        return false;
    errno = 0;
    char *end = nullptr;
    long v = strtol(t.c_str(), &end, 10);
    if (errno != 0 || end == t.c_str() || *end != '\0' || v < INT_MIN || v > INT_MAX)
        return false;
    *out = static_cast<int>(v);
    return true;
}

// A finite decimal number (no hexadecimal, no inf or nan) within float
// range; values below the smallest float become 0 or a subnormal.
bool parseFloatToken(const std::string &t, float *out)
{
    if (t.empty() || t.find_first_not_of("+-.0123456789eE") != std::string::npos)
        return false;
    errno = 0;
    char *end = nullptr;
    float v = strtof(t.c_str(), &end);
    if (end == t.c_str() || *end != '\0' || !std::isfinite(v))
        return false;
    *out = v;
    return true;
}

/* ------------------------------------------------------------------ */
/* Reading                                                             */
/* ------------------------------------------------------------------ */

// What the messages call the input: the file path or "XML buffer".
struct Reader {
    const char *what;
};

// Attribute `name` of `node` as an integer; 1 with a message when it is
// absent (and required) or not an integer.
int attrInt(const Reader &r, const xmlNode *node, const char *name, int *out)
{
    XmlText value(xmlGetNoNsProp(node, BAD_CAST name));
    if (!value) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "[%s] line %d: <%s> has no attribute %s",
                   r.what, lineOf(node), text(node->name), name);
        return 1;
    }
    if (!parseIntToken(trimmed(text(value.get())), out)) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "[%s] line %d: attribute %s of <%s> is not an integer: \"%s\"",
                   r.what, lineOf(node), name, text(node->name), text(value.get()));
        return 1;
    }
    return 0;
}

int attrFloat(const Reader &r, const xmlNode *node, const char *name, float *out)
{
    XmlText value(xmlGetNoNsProp(node, BAD_CAST name));
    if (!value) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "[%s] line %d: <%s> has no attribute %s",
                   r.what, lineOf(node), text(node->name), name);
        return 1;
    }
    if (!parseFloatToken(trimmed(text(value.get())), out)) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "[%s] line %d: attribute %s of <%s> is not a number: \"%s\"",
                   r.what, lineOf(node), name, text(node->name), text(value.get()));
        return 1;
    }
    return 0;
}

// The text content of an element as a malloc'd string (verbatim).
int elementText(const Reader &r, const xmlNode *node, char **out)
{
    XmlText value(xmlNodeGetContent(node));
    *out = strdup(value ? text(value.get()) : "");
    if (*out == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "[%s] out of memory", r.what);
        return 1;
    }
    return 0;
}

int elementInt(const Reader &r, const xmlNode *node, int *out)
{
    XmlText value(xmlNodeGetContent(node));
    const char *s = value ? text(value.get()) : "";
    if (!parseIntToken(trimmed(s), out)) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "[%s] line %d: <%s> is not an integer: \"%s\"",
                   r.what, lineOf(node), text(node->name), s);
        return 1;
    }
    return 0;
}

// A list of integers separated by white space and/or commas.
int elementIntList(const Reader &r, const xmlNode *node, std::vector<int> *out)
{
    XmlText value(xmlNodeGetContent(node));
    std::string s = value ? text(value.get()) : "";
    size_t pos = 0;
    while (pos < s.size()) {
        size_t b = s.find_first_not_of(" \t\r\n,", pos);
        if (b == std::string::npos)
            break;
        size_t e = s.find_first_of(" \t\r\n,", b);
        if (e == std::string::npos)
            e = s.size();
        std::string token = s.substr(b, e - b);
        int v = 0;
        if (!parseIntToken(token, &v)) {
            VELKIO_LOG(VELKIO_LOG_ERROR,
                       "[%s] line %d: <%s> holds \"%s\", which is not an integer",
                       r.what, lineOf(node), text(node->name), token.c_str());
            return 1;
        }
        out->push_back(v);
        pos = e;
    }
    return 0;
}

int duplicated(const Reader &r, const xmlNode *node, const char *parent)
{
    VELKIO_LOG(VELKIO_LOG_ERROR, "[%s] line %d: more than one <%s> in <%s>", r.what,
               lineOf(node), text(node->name), parent);
    return 1;
}

// The coordinates of a <cartesian> or <polar> element.
int readCoordinates(const Reader &r, const xmlNode *node, velkio_Position *p)
{
    static const char *const cartesian[3] = {"x", "y", "z"};
    static const char *const polar[3] = {"azimuth", "elevation", "radius"};
    const bool isCartesian = isElement(node, "cartesian");
    const char *const *names = isCartesian ? cartesian : polar;
    for (int k = 0; k < 3; k++) {
        if (attrFloat(r, node, names[k], &p->coords[k]) != 0)
            return 1;
    }
    p->isCartesian = isCartesian ? 1 : 0;
    return 0;
}

int readChannels(const Reader &r, const xmlNode *node, velkio_Position *p)
{
    std::vector<int> channels;
    if (elementIntList(r, node, &channels) != 0)
        return 1;
    if (velkio_Position_setChannels(p, channels.data(), static_cast<int>(channels.size())) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "[%s] out of memory", r.what);
        return 1;
    }
    return 0;
}

// One <position>: id attribute, exactly one coordinate element, optional
// path and channel list; anything else is ignored.
velkio_Position *readPosition(const Reader &r, const xmlNode *node)
{
    int id = 0;
    if (attrInt(r, node, "id", &id) != 0)
        return nullptr;
    velkio_Position *p = velkio_Position_new(id, 1, nullptr, nullptr);
    if (p == nullptr)
        return nullptr;
    bool haveCoords = false, havePath = false, haveChannels = false;
    int failed = 0;
    for (const xmlNode *c = node->children; c != nullptr && !failed; c = c->next) {
        if (isElement(c, "cartesian") || isElement(c, "polar")) {
            failed = haveCoords ? duplicated(r, c, "position") : readCoordinates(r, c, p);
            haveCoords = true;
        } else if (isElement(c, "path")) {
            failed = havePath ? duplicated(r, c, "position") : elementText(r, c, &p->path);
            havePath = true;
        } else if (isElement(c, "channels")) {
            failed = haveChannels ? duplicated(r, c, "position") : readChannels(r, c, p);
            haveChannels = true;
        }
    }
    if (!failed && !haveCoords) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "[%s] line %d: position %d has no <cartesian> or <polar> coordinates",
                   r.what, lineOf(node), id);
        failed = 1;
    }
    if (failed)
        velkio_Position_delete(&p);
    return p;
}

int readPositions(const Reader &r, const xmlNode *node, velkio_XML *doc)
{
    XmlText type(xmlGetNoNsProp(node, BAD_CAST "type"));
    doc->poses = velkio_Positions_new(type ? text(type.get()) : nullptr, 0, 0, 0);
    if (doc->poses == nullptr)
        return 1;
    for (const xmlNode *c = node->children; c != nullptr; c = c->next) {
        if (!isElement(c, "position"))
            continue;
        velkio_Position *p = readPosition(r, c);
        if (p == nullptr)
            return 1;
        if (velkio_Positions_append(doc->poses, p) != 0) {
            velkio_Position_delete(&p);
            return 1;
        }
    }
    return 0;
}

int readNeighbors(const Reader &r, const xmlNode *node, velkio_XML *doc)
{
    doc->nbrs = velkio_Neighbors_new(nullptr);
    if (doc->nbrs == nullptr)
        return 1;
    std::vector<velkio_NeighborList> lists;
    int failed = 0;
    for (const xmlNode *c = node->children; c != nullptr && !failed; c = c->next) {
        if (!isElement(c, "neighbor"))
            continue;
        velkio_NeighborList list{};
        std::vector<int> ids;
        failed = attrInt(r, c, "id", &list.id) || elementIntList(r, c, &ids);
        if (!failed && !ids.empty()) {
            list.ids = static_cast<int *>(malloc(sizeof(int) * ids.size()));
            failed = list.ids == nullptr;
            if (!failed) {
                memcpy(list.ids, ids.data(), sizeof(int) * ids.size());
                list.count = static_cast<int>(ids.size());
            }
        }
        if (!failed)
            lists.push_back(list);
    }
    if (!failed && !lists.empty()) {
        doc->nbrs->lists = static_cast<velkio_NeighborList *>(
            malloc(sizeof(velkio_NeighborList) * lists.size()));
        failed = doc->nbrs->lists == nullptr;
        if (!failed) {
            memcpy(doc->nbrs->lists, lists.data(), sizeof(velkio_NeighborList) * lists.size());
            doc->nbrs->count = static_cast<int>(lists.size());
            return 0;
        }
    }
    for (velkio_NeighborList &l : lists)
        free(l.ids);
    return failed;
}

// The configuration fields: element name, and where the value goes.
struct ConfigField {
    const char *name;
    int velkio_Config::*number; // null for a text field
    char *velkio_Config::*textMember;
};

const ConfigField CONFIG_FIELDS[] = {
    {"comment", nullptr, &velkio_Config::comment},
    {"synchronousAverage", &velkio_Config::synchronousAverage, nullptr},
    {"tspPath", nullptr, &velkio_Config::tspPath},
    {"tspOffset", &velkio_Config::tspOffset, nullptr},
    {"tspLength", &velkio_Config::tspLength, nullptr},
    {"peakSearchFrom", &velkio_Config::peakSearchFrom, nullptr},
    {"peakSearchTo", &velkio_Config::peakSearchTo, nullptr},
    {"nfft", &velkio_Config::nfft, nullptr},
    {"samplingRate", &velkio_Config::samplingRate, nullptr},
    {"signalMax", &velkio_Config::signalMax, nullptr},
};
constexpr int N_CONFIG_FIELDS = sizeof CONFIG_FIELDS / sizeof CONFIG_FIELDS[0];

int readConfig(const Reader &r, const xmlNode *node, velkio_XML *doc)
{
    doc->cfg = velkio_Config_new();
    if (doc->cfg == nullptr)
        return 1;
    bool seen[N_CONFIG_FIELDS] = {};
    for (const xmlNode *c = node->children; c != nullptr; c = c->next) {
        for (int f = 0; f < N_CONFIG_FIELDS; f++) {
            const ConfigField &field = CONFIG_FIELDS[f];
            if (!isElement(c, field.name))
                continue;
            if (seen[f])
                return duplicated(r, c, "config");
            seen[f] = true;
            int failed = field.number ? elementInt(r, c, &(doc->cfg->*field.number))
                                      : elementText(r, c, &(doc->cfg->*field.textMember));
            if (failed)
                return 1;
        }
    }
    return 0;
}

// Fills the document from the root's children; 1 on the first fault.
int readRoot(const Reader &r, const xmlNode *root, velkio_XML *doc)
{
    for (const xmlNode *c = root->children; c != nullptr; c = c->next) {
        int failed = 0;
        if (isElement(c, "positions"))
            failed = doc->poses ? duplicated(r, c, DEFAULT_ROOT) : readPositions(r, c, doc);
        else if (isElement(c, "neighbors"))
            failed = doc->nbrs ? duplicated(r, c, DEFAULT_ROOT) : readNeighbors(r, c, doc);
        else if (isElement(c, "config"))
            failed = doc->cfg ? duplicated(r, c, DEFAULT_ROOT) : readConfig(r, c, doc);
        if (failed)
            return 1;
    }
    // The neighbour lists refer to the positions of the same document.
    if (doc->nbrs != nullptr)
        doc->nbrs->positions = doc->poses;
    return 0;
}

/* Parsing with libxml2 */

bool startsWith(const char *b, size_t n, size_t i, const char *prefix)
{
    size_t len = strlen(prefix);
    return n - i >= len && memcmp(b + i, prefix, len) == 0;
}

// Index just past the first `terminator` at or after i, or n.
size_t skipPast(const char *b, size_t n, size_t i, const char *terminator)
{
    size_t len = strlen(terminator);
    for (; i + len <= n; i++) {
        if (memcmp(b + i, terminator, len) == 0)
            return i + len;
    }
    return n;
}

// The number of attributes of the start tag at b[i] ('<'); *end receives
// the index past its '>'.  Values are skipped whole, so a '>' or '=' in a
// quoted value does not count.
size_t countAttributes(const char *b, size_t n, size_t i, size_t *end)
{
    size_t attributes = 0;
    char quote = 0;
    for (i++; i < n; i++) {
        char c = b[i];
        if (quote) {
            if (c == quote)
                quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '=') {
            attributes++;
        } else if (c == '>') {
            i++;
            break;
        }
    }
    *end = i;
    return attributes;
}

// One linear pass over the bytes counting elements and attributes.  It
// follows comments, CDATA sections and processing instructions; anything
// malformed that confuses it is refused by the parser afterwards.
bool withinMarkupLimits(const Reader &r, const char *b, size_t n)
{
    size_t items = 0;
    size_t i = 0;
    while (i < n) {
        if (b[i] != '<') {
            i++;
        } else if (startsWith(b, n, i, "<!--")) {
            i = skipPast(b, n, i + 4, "-->");
        } else if (startsWith(b, n, i, "<![CDATA[")) {
            i = skipPast(b, n, i + 9, "]]>");
        } else if (startsWith(b, n, i, "<?")) {
            i = skipPast(b, n, i + 2, "?>");
        } else if (startsWith(b, n, i, "<!") || startsWith(b, n, i, "</")) {
            i += 2;
        } else {
            size_t attributes = countAttributes(b, n, i, &i);
            if (attributes > MAX_ATTRIBUTES_PER_ELEMENT) {
                VELKIO_LOG(VELKIO_LOG_ERROR,
                           "[%s] an element has more than %zu attributes; not read", r.what,
                           MAX_ATTRIBUTES_PER_ELEMENT);
                return false;
            }
            items += 1 + attributes;
            if (items > MAX_MARKUP_ITEMS) {
                VELKIO_LOG(VELKIO_LOG_ERROR,
                           "[%s] has more than %zu elements and attributes; not read", r.what,
                           MAX_MARKUP_ITEMS);
                return false;
            }
        }
    }
    return true;
}

struct ParseState {
    bool sawDoctype;
};

// Called by the parser at a DOCTYPE, before any declaration of its
// internal subset is read: the parse is stopped at once.
void refuseDoctype(void *ctx, const xmlChar *, const xmlChar *, const xmlChar *)
{
    xmlParserCtxt *ctxt = static_cast<xmlParserCtxt *>(ctx);
    static_cast<ParseState *>(ctxt->_private)->sawDoctype = true;
    xmlStopParser(ctxt);
}

// Parses `length` bytes into a tree; null with a message on any fault.
XmlDoc parseBuffer(const Reader &r, const char *bytes, int length)
{
    if (!withinMarkupLimits(r, bytes, static_cast<size_t>(length)))
        return nullptr;
    xmlInitParser();
    std::unique_ptr<xmlParserCtxt, CtxtFree> ctxt(xmlCreateMemoryParserCtxt(bytes, length));
    if (!ctxt) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "[%s] can not create an XML parser", r.what);
        return nullptr;
    }
    // Network off; no entity substitution, DTD loading, XInclude or huge
    // mode; libxml2's own error printing off (faults are logged below);
    // true line numbers beyond 65535 for the messages.
    xmlCtxtUseOptions(ctxt.get(), XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING |
                                      XML_PARSE_BIG_LINES);
    ParseState state{false};
    ctxt->_private = &state;
    ctxt->sax->internalSubset = refuseDoctype;
    ctxt->sax->externalSubset = nullptr;
    xmlParseDocument(ctxt.get());
    XmlDoc doc(ctxt->myDoc);
    ctxt->myDoc = nullptr;
    if (state.sawDoctype) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "[%s] documents with a DOCTYPE are not accepted (no DTDs or entities)",
                   r.what);
        return nullptr;
    }
    if (!ctxt->wellFormed || !doc) {
        const xmlError *e = xmlCtxtGetLastError(ctxt.get());
        std::string message = (e && e->message) ? trimmed(e->message) : "unknown fault";
        VELKIO_LOG(VELKIO_LOG_ERROR, "[%s] line %d: malformed XML: %s", r.what,
                   e ? e->line : 0, message.c_str());
        return nullptr;
    }
    return doc;
}

velkio_XML *documentFromBuffer(const Reader &r, const char *bytes, int length,
                               const char *root)
{
    const char *expected = (root && root[0]) ? root : DEFAULT_ROOT;
    XmlDoc tree = parseBuffer(r, bytes, length);
    if (!tree)
        return nullptr;
    const xmlNode *top = xmlDocGetRootElement(tree.get());
    if (top == nullptr || !xmlStrEqual(top->name, BAD_CAST expected)) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "[%s] root element is <%s>, expected <%s>", r.what,
                   top ? text(top->name) : "", expected);
        return nullptr;
    }
    velkio_XML *doc = velkio_XML_new();
    if (doc == nullptr)
        return nullptr;
    if (readRoot(r, top, doc) != 0)
        velkio_XML_delete(&doc);
    return doc;
}

// Reads a whole regular file into memory, refusing anything larger than
// MAX_DOCUMENT_BYTES and anything that is not a regular file.
bool readWholeFile(const char *path, std::vector<char> *out)
{
    FILE *f = velkio_File_fopenRegular(path);
    if (f == nullptr) {
        // A file that is not regular has been reported already.
        if (errno != EINVAL)
            velkio_Log_FileOpenFailed(path);
        return false;
    }
    std::unique_ptr<FILE, int (*)(FILE *)> guard(f, fclose);
    struct stat st;
    if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode)) {
        if (static_cast<unsigned long long>(st.st_size) > MAX_DOCUMENT_BYTES) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "[%s] is larger than %zu bytes", path,
                       MAX_DOCUMENT_BYTES);
            return false;
        }
        out->reserve(static_cast<size_t>(st.st_size));
    }
    char chunk[65536];
    for (;;) {
        size_t n = fread(chunk, 1, sizeof chunk, f);
        if (out->size() + n > MAX_DOCUMENT_BYTES) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "[%s] is larger than %zu bytes", path,
                       MAX_DOCUMENT_BYTES);
            return false;
        }
        out->insert(out->end(), chunk, chunk + n);
        if (n < sizeof chunk)
            break;
    }
    if (ferror(f)) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "[%s] can not be read: %s", path, strerror(errno));
        return false;
    }
    return true;
}

/* ------------------------------------------------------------------ */
/* Writing                                                             */
/* ------------------------------------------------------------------ */

// Texts must be UTF-8 made of characters XML 1.0 allows, else the written
// document could not be read back.
bool isXmlText(const char *s)
{
    if (!xmlCheckUTF8(BAD_CAST s))
        return false;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; p++) {
        if (*p < 0x20 && *p != '\t' && *p != '\n' && *p != '\r')
            return false;
        // U+FFFE and U+FFFF (EF BF BE / EF BF BF) are not XML characters.
        if (p[0] == 0xEF && p[1] == 0xBF && (p[2] == 0xBE || p[2] == 0xBF))
            return false;
    }
    return true;
}

int checkText(const char *s, const char *what)
{
    if (s != nullptr && !isXmlText(s)) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "%s is not UTF-8 text that XML can hold; document not written", what);
        return 1;
    }
    return 0;
}

std::string formatFloat(float v)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%.9g", static_cast<double>(v));
    return buf;
}

std::string formatIntList(const int *values, int count)
{
    std::string s;
    for (int i = 0; values != nullptr && i < count; i++) {
        if (i > 0)
            s += ' ';
        s += std::to_string(values[i]);
    }
    return s;
}

// An element holding a list of integers; an empty list is an empty element.
xmlNode *addListChild(xmlNode *parent, const char *name, const int *values, int count)
{
    std::string list = formatIntList(values, count);
    return xmlNewTextChild(parent, nullptr, BAD_CAST name,
                           list.empty() ? nullptr : BAD_CAST list.c_str());
}

// The calcTF elements of a position's annotations, in the order given.
// The calcTF elements to add, and (position id, index) of each, ascending,
// so that each position finds its own, in list order, without going
// through the whole list.
struct Annotations {
    const velkio_CalcTF *list;
    std::vector<std::pair<int, int>> byPosition;

    Annotations(const velkio_CalcTF *l, int count) : list(l)
    {
        for (int i = 0; i < count; i++)
            byPosition.emplace_back(l[i].positionId, i);
        std::sort(byPosition.begin(), byPosition.end());
    }

    // Position id's elements: byPosition[*from .. *to).
    void of(int id, size_t *from, size_t *to) const
    {
        auto range = std::equal_range(
            byPosition.begin(), byPosition.end(), std::make_pair(id, 0),
            [](const std::pair<int, int> &a, const std::pair<int, int> &b) {
                return a.first < b.first;
            });
        *from = (size_t)(range.first - byPosition.begin());
        *to = (size_t)(range.second - byPosition.begin());
    }
};

bool isAnnotated(const Annotations &notes, int id)
{
    size_t from, to;
    notes.of(id, &from, &to);
    return from < to;
}

void addCalcTF(xmlNode *position, const velkio_CalcTF &note)
{
    xmlNode *node = xmlNewChild(position, nullptr, BAD_CAST "calcTF", nullptr);
    char text[64];
    xmlSetProp(node, BAD_CAST "type", BAD_CAST note.type);
    snprintf(text, sizeof text, "%f", static_cast<double>(note.offset));
    xmlSetProp(node, BAD_CAST "offset", BAD_CAST text);
    if (note.cutIndexFrom > 0 && note.cutIndexTo > 0) {
        snprintf(text, sizeof text, "%d", note.cutIndexFrom);
        xmlSetProp(node, BAD_CAST "cutIndexFrom", BAD_CAST text);
        snprintf(text, sizeof text, "%d", note.cutIndexTo);
        xmlSetProp(node, BAD_CAST "cutIndexTo", BAD_CAST text);
    }
}

// An annotated position keeps the layout archives have always had: its
// own children on lines of their own, indented as the serialiser indents
// a position of the list (depth 2), and the calcTF elements after the
// last line, before the end tag.  The line breaks are text nodes of the
// position, which also stops the serialiser from indenting its content
// itself.
void annotate(xmlNode *node, int id, const Annotations &notes)
{
    const char *const childIndent = "\n      ";
    for (xmlNode *child = node->children; child != nullptr; child = child->next)
        xmlAddPrevSibling(child, xmlNewText(BAD_CAST childIndent));
    xmlAddChild(node, xmlNewText(BAD_CAST "\n    "));
    size_t from, to;
    notes.of(id, &from, &to);
    for (size_t k = from; k < to; k++)
        addCalcTF(node, notes.list[notes.byPosition[k].second]);
}

int addPosition(xmlNode *parent, const velkio_Position *p, const Annotations &notes)
{
    std::string label = "path of position " + std::to_string(p->id);
    if (checkText(p->path, label.c_str()) != 0)
        return 1;
    for (float c : p->coords) {
        if (!std::isfinite(c)) {
            VELKIO_LOG(VELKIO_LOG_ERROR,
                       "position %d has a coordinate that is not a finite number; "
                       "document not written",
                       p->id);
            return 1;
        }
    }
    xmlNode *node = xmlNewChild(parent, nullptr, BAD_CAST "position", nullptr);
    xmlSetProp(node, BAD_CAST "id", BAD_CAST std::to_string(p->id).c_str());
    static const char *const cartesian[3] = {"x", "y", "z"};
    static const char *const polar[3] = {"azimuth", "elevation", "radius"};
    const char *const *names = p->isCartesian ? cartesian : polar;
    xmlNode *coords = xmlNewChild(node, nullptr,
                                  BAD_CAST(p->isCartesian ? "cartesian" : "polar"), nullptr);
    for (int k = 0; k < 3; k++)
        xmlSetProp(coords, BAD_CAST names[k], BAD_CAST formatFloat(p->coords[k]).c_str());
    if (p->path != nullptr)
        xmlNewTextChild(node, nullptr, BAD_CAST "path", BAD_CAST p->path);
    if (p->useChannels) {
        addListChild(node, "channels", p->channels, p->numChannels);
    }
    if (isAnnotated(notes, p->id))
        annotate(node, p->id, notes);
    return 0;
}

int addPositions(xmlNode *root, const velkio_Positions *list, const Annotations &notes)
{
    if (checkText(list->type, "position type") != 0)
        return 1;
    xmlNode *node = xmlNewChild(root, nullptr, BAD_CAST "positions", nullptr);
    if (list->type != nullptr)
        xmlSetProp(node, BAD_CAST "type", BAD_CAST list->type);
    for (int i = 0; i < list->count; i++) {
        if (list->list[i] != nullptr && addPosition(node, list->list[i], notes) != 0)
            return 1;
    }
    return 0;
}

void addNeighbors(xmlNode *root, const velkio_Neighbors *n)
{
    xmlNode *node = xmlNewChild(root, nullptr, BAD_CAST "neighbors", nullptr);
    for (int i = 0; n->lists != nullptr && i < n->count; i++) {
        const velkio_NeighborList &l = n->lists[i];
        xmlNode *list = addListChild(node, "neighbor", l.ids, l.count);
        xmlSetProp(list, BAD_CAST "id", BAD_CAST std::to_string(l.id).c_str());
    }
}

int addConfig(xmlNode *root, const velkio_Config *cfg)
{
    if (checkText(cfg->comment, "config comment") != 0 ||
        checkText(cfg->tspPath, "config TSP path") != 0)
        return 1;
    xmlNode *node = xmlNewChild(root, nullptr, BAD_CAST "config", nullptr);
    for (const ConfigField &field : CONFIG_FIELDS) {
        if (field.number) {
            xmlNewTextChild(node, nullptr, BAD_CAST field.name,
                            BAD_CAST std::to_string(cfg->*field.number).c_str());
        } else if (cfg->*field.textMember != nullptr) {
            xmlNewTextChild(node, nullptr, BAD_CAST field.name,
                            BAD_CAST(cfg->*field.textMember));
        }
    }
    return 0;
}

XmlDoc buildTree(const velkio_XML *doc, const Annotations &notes)
{
    XmlDoc tree(xmlNewDoc(BAD_CAST "1.0"));
    if (!tree)
        return nullptr;
    xmlNode *root = xmlNewNode(nullptr, BAD_CAST DEFAULT_ROOT);
    xmlDocSetRootElement(tree.get(), root);
    if (doc->poses != nullptr && addPositions(root, doc->poses, notes) != 0)
        return nullptr;
    if (doc->nbrs != nullptr)
        addNeighbors(root, doc->nbrs);
    if (doc->cfg != nullptr && addConfig(root, doc->cfg) != 0)
        return nullptr;
    return tree;
}

} // namespace

/* ------------------------------------------------------------------ */
/* Public calls                                                        */
/* ------------------------------------------------------------------ */

velkio_XML *velkio_XML_new(void)
{
    velkio_XML *doc = static_cast<velkio_XML *>(calloc(1, sizeof(velkio_XML)));
    if (doc == nullptr)
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not allocate an XML document");
    return doc;
}

velkio_XML *velkio_XML_newFromXML(const char *path, const char *root)
{
    if (path == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "no XML file name given");
        return nullptr;
    }
    std::vector<char> bytes;
    if (!readWholeFile(path, &bytes))
        return nullptr;
    if (bytes.empty()) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "[%s] is empty, not an XML document", path);
        return nullptr;
    }
    Reader r{path};
    return documentFromBuffer(r, bytes.data(), static_cast<int>(bytes.size()), root);
}

velkio_XML *velkio_XML_newFromXMLbuffer(const char *text, int length,
                                        const char *root)
{
    Reader r{"XML buffer"};
    if (text == nullptr || length <= 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "[%s] is empty, not an XML document", r.what);
        return nullptr;
    }
    return documentFromBuffer(r, text, length, root);
}

// On allocation failure the caller keeps its records.
velkio_XML *velkio_XML_newFromData(velkio_Positions *positions,
                                   velkio_Neighbors *neighbors,
                                   velkio_Config *config)
{
    velkio_XML *doc = velkio_XML_new();
    if (doc == nullptr)
        return nullptr;
    doc->poses = positions;
    doc->nbrs = neighbors;
    doc->cfg = config;
    return doc;
}

char *velkio_XML_toString(const velkio_XML *doc, int *length)
{
    return velkio_XML_toStringWithCalcTF(doc, nullptr, 0, length);
}

char *velkio_XML_toStringWithCalcTF(const velkio_XML *doc, const velkio_CalcTF *calcTFs,
                                    int count, int *length)
{
    if (doc == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "no XML document to write");
        return nullptr;
    }
    xmlInitParser();
    XmlDoc tree = buildTree(doc, Annotations{calcTFs, calcTFs != nullptr ? count : 0});
    if (!tree) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not build the XML document");
        return nullptr;
    }
    xmlChar *dumped = nullptr;
    int size = 0;
    xmlDocDumpFormatMemoryEnc(tree.get(), &dumped, &size, "UTF-8", 1);
    XmlText guard(dumped);
    if (dumped == nullptr || size <= 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not serialise the XML document");
        return nullptr;
    }
    char *copy = static_cast<char *>(malloc(static_cast<size_t>(size) + 1));
    if (copy == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not allocate the XML text");
        return nullptr;
    }
    memcpy(copy, dumped, static_cast<size_t>(size));
    copy[size] = '\0';
    if (length != nullptr)
        *length = size;
    return copy;
}

int velkio_XML_write(const velkio_XML *doc, FILE *stream)
{
    if (stream == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "no stream to write the XML document to");
        return 1;
    }
    int length = 0;
    char *xml = velkio_XML_toString(doc, &length);
    if (xml == nullptr)
        return 1;
    size_t written = fwrite(xml, 1, static_cast<size_t>(length), stream);
    free(xml);
    if (written != static_cast<size_t>(length) || fflush(stream) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not write the XML document: %s", strerror(errno));
        return 1;
    }
    return 0;
}

void velkio_XML_delete(velkio_XML **doc)
{
    if (doc == nullptr || *doc == nullptr)
        return;
    velkio_Positions_delete(&(*doc)->poses);
    velkio_Neighbors_delete(&(*doc)->nbrs);
    velkio_Config_delete(&(*doc)->cfg);
    free(*doc);
    *doc = nullptr;
}
