// XML documents: round trips of every document kind, the documented
// examples, tolerance of what is well formed, and every refusal of the
// loaders (including hostile documents).
#include "velkio.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct TempDir {
    std::string path;
    TempDir()
    {
        char tmpl[] = "/tmp/velkio-xml-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string file(const std::string &name, const std::string &content) const
    {
        std::string p = path + "/" + name;
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }
};

std::string toString(const velkio_XML *doc)
{
    int length = -1;
    char *text = velkio_XML_toString(doc, &length);
    EXPECT_NE(text, nullptr);
    if (text == nullptr)
        return "";
    std::string s(text, static_cast<size_t>(length));
    EXPECT_EQ(strlen(text), static_cast<size_t>(length));
    free(text);
    return s;
}

velkio_XML *fromString(const std::string &s)
{
    return velkio_XML_newFromXMLbuffer(s.data(), static_cast<int>(s.size()), nullptr);
}

// Field-by-field equality of two documents, floats bit for bit.
void expectSameStrings(const char *a, const char *b)
{
    ASSERT_EQ(a == nullptr, b == nullptr);
    if (a) {
        EXPECT_STREQ(a, b);
    }
}

void expectSamePositions(const velkio_Positions *a, const velkio_Positions *b)
{
    ASSERT_EQ(a == nullptr, b == nullptr);
    if (!a)
        return;
    expectSameStrings(a->type, b->type);
    ASSERT_EQ(a->count, b->count);
    for (int i = 0; i < a->count; i++) {
        const velkio_Position *p = a->list[i], *q = b->list[i];
        EXPECT_EQ(p->id, q->id);
        EXPECT_EQ(p->isCartesian != 0, q->isCartesian != 0);
        for (int k = 0; k < 3; k++)
            EXPECT_EQ(memcmp(&p->coords[k], &q->coords[k], sizeof(float)), 0) << i << "," << k;
        expectSameStrings(p->path, q->path);
        EXPECT_EQ(p->useChannels, q->useChannels);
        ASSERT_EQ(p->numChannels, q->numChannels);
        for (int c = 0; c < p->numChannels; c++)
            EXPECT_EQ(p->channels[c], q->channels[c]);
    }
}

void expectSameNeighbors(const velkio_Neighbors *a, const velkio_Neighbors *b)
{
    ASSERT_EQ(a == nullptr, b == nullptr);
    if (!a)
        return;
    ASSERT_EQ(a->count, b->count);
    for (int i = 0; i < a->count; i++) {
        EXPECT_EQ(a->lists[i].id, b->lists[i].id);
        ASSERT_EQ(a->lists[i].count, b->lists[i].count);
        for (int k = 0; k < a->lists[i].count; k++)
            EXPECT_EQ(a->lists[i].ids[k], b->lists[i].ids[k]);
    }
}

void expectSameConfig(const velkio_Config *a, const velkio_Config *b)
{
    ASSERT_EQ(a == nullptr, b == nullptr);
    if (!a)
        return;
    expectSameStrings(a->comment, b->comment);
    expectSameStrings(a->tspPath, b->tspPath);
    EXPECT_EQ(a->synchronousAverage, b->synchronousAverage);
    EXPECT_EQ(a->tspOffset, b->tspOffset);
    EXPECT_EQ(a->tspLength, b->tspLength);
    EXPECT_EQ(a->peakSearchFrom, b->peakSearchFrom);
    EXPECT_EQ(a->peakSearchTo, b->peakSearchTo);
    EXPECT_EQ(a->nfft, b->nfft);
    EXPECT_EQ(a->samplingRate, b->samplingRate);
    EXPECT_EQ(a->signalMax, b->signalMax);
}

void expectSameDocument(const velkio_XML *a, const velkio_XML *b)
{
    expectSamePositions(a->poses, b->poses);
    expectSameNeighbors(a->nbrs, b->nbrs);
    expectSameConfig(a->cfg, b->cfg);
}

const char *const SPECIAL = "a&b <c> \"d\" 'e' ]]> \xc3\xa9\xe2\x82\xac tab\there\nline";

velkio_Positions *sampleSources()
{
    velkio_Positions *list = velkio_Positions_new("tsp", 0, 0, 0);
    const float polar[3] = {-172.5f, 12.25f, 1.5f};
    const float cart[3] = {0.1f, -3.3333333e-7f, 1e20f};
    velkio_Position *p = velkio_Position_new(0, 0, polar, SPECIAL);
    const int channels[] = {7, 0, 63, 3};
    velkio_Position_setChannels(p, channels, 4);
    velkio_Positions_append(list, p);
    velkio_Positions_append(list, velkio_Position_new(5, 1, cart, nullptr));
    velkio_Position *empty = velkio_Position_new(-2, 1, nullptr, "");
    velkio_Position_setChannels(empty, nullptr, 0); // an empty channel list
    velkio_Positions_append(list, empty);
    velkio_Positions_append(list, velkio_Position_new(5, 1, cart, "dup")); // repeated id
    return list;
}

velkio_Config *sampleConfig()
{
    velkio_Config *c = velkio_Config_new();
    velkio_Config_setComment(c, SPECIAL);
    velkio_Config_setSynchronousAverage(c, -1);
    velkio_Config_setTSPpath(c, "/p/16384.wav");
    velkio_Config_setTSPoffset(c, 2147483647);
    velkio_Config_setTSPlength(c, 16384);
    velkio_Config_setPeakSearchFrom(c, 0);
    velkio_Config_setPeakSearchTo(c, -2147483647 - 1);
    velkio_Config_setNfft(c, 512);
    velkio_Config_setSamplingRate(c, 0);
    velkio_Config_setSignalMax(c, 32768);
    return c;
}

velkio_Neighbors *sampleNeighbors()
{
    velkio_Neighbors *n = velkio_Neighbors_new(nullptr);
    n->count = 3;
    n->lists = static_cast<velkio_NeighborList *>(calloc(3, sizeof(velkio_NeighborList)));
    n->lists[0].id = 0;
    n->lists[0].count = 2;
    n->lists[0].ids = static_cast<int *>(malloc(2 * sizeof(int)));
    n->lists[0].ids[0] = 5;
    n->lists[0].ids[1] = -2;
    n->lists[1].id = 5; // empty list
    n->lists[2].id = 99;
    n->lists[2].count = 1;
    n->lists[2].ids = static_cast<int *>(malloc(sizeof(int)));
    n->lists[2].ids[0] = 0;
    return n;
}

// Writes the document to a file with velkio_XML_write, reads it back both
// from the file and from the text, and compares.
void roundTrip(const velkio_XML *doc)
{
    TempDir dir;
    std::string path = dir.path + "/doc.xml";
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(velkio_XML_write(doc, f), 0);
    fclose(f);
    velkio_XML *back = velkio_XML_newFromXML(path.c_str(), "");
    ASSERT_NE(back, nullptr);
    expectSameDocument(doc, back);
    EXPECT_EQ(readFile(path), toString(back)); // writing is stable
    velkio_XML_delete(&back);
    EXPECT_EQ(back, nullptr);
}

} // namespace

TEST(XmlRoundTrip, EachDocumentKind)
{
    velkio_XML *sources = velkio_XML_newFromData(sampleSources(), nullptr, nullptr);
    roundTrip(sources);
    velkio_XML_delete(&sources);

    velkio_Positions *mics = velkio_Positions_new("microphone", 0, 0, 0);
    for (int i = 0; i < 8; i++) {
        float c[3] = {0.05f * std::cos(i * 0.785398f), 0.05f * std::sin(i * 0.785398f), 0.0f};
        velkio_Positions_append(mics, velkio_Position_new(i, 1, c, nullptr));
    }
    velkio_XML *micDoc = velkio_XML_newFromData(mics, nullptr, nullptr);
    roundTrip(micDoc);
    velkio_XML_delete(&micDoc);

    velkio_XML *config = velkio_XML_newFromData(nullptr, nullptr, sampleConfig());
    roundTrip(config);
    velkio_XML_delete(&config);

    velkio_XML *merged = velkio_XML_newFromData(sampleSources(), sampleNeighbors(), sampleConfig());
    roundTrip(merged);
    velkio_XML_delete(&merged);

    velkio_XML *empty = velkio_XML_new();
    roundTrip(empty);
    EXPECT_NE(toString(empty).find("<velk_xml/>"), std::string::npos);
    empty->poses = velkio_Positions_new(nullptr, 0, 0, 0); // untyped, empty list
    empty->nbrs = velkio_Neighbors_new(nullptr);           // no lists
    empty->cfg = velkio_Config_new();                      // no texts, zeros
    roundTrip(empty);
    velkio_XML_delete(&empty);
}

TEST(XmlRoundTrip, ReadDocumentKeepsNeighboursLinkedToItsPositions)
{
    velkio_XML *doc = velkio_XML_newFromData(sampleSources(), sampleNeighbors(), nullptr);
    velkio_XML *back = fromString(toString(doc));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->nbrs->positions, back->poses);
    velkio_XML_delete(&back);
    velkio_XML_delete(&doc);
}

// The documented examples are complete documents in the library's own
// form: each is read and written back byte for byte, and the copies in
// tests/data/xml stay identical to them.
TEST(XmlExamples, DocumentedExamplesLoadAndAreCanonical)
{
    std::string md = readFile(std::string(VELK_TEST_DATA) + "/../../docs/formats.md");
    ASSERT_FALSE(md.empty());
    // Only the examples section: later sections show other documents.
    size_t from = md.find("### Examples");
    ASSERT_NE(from, std::string::npos);
    size_t to = md.find("\n## ", from);
    md = md.substr(from, to == std::string::npos ? std::string::npos : to - from);
    std::regex block("```xml\n([^`]*)```");
    std::vector<std::string> examples;
    for (std::sregex_iterator it(md.begin(), md.end(), block), end; it != end; ++it)
        examples.push_back((*it)[1].str());
    ASSERT_EQ(examples.size(), 5u);
    const char *files[] = {"tsp.xml", "microphones.xml", "config.xml", "neighbors.xml",
                           "merged.xml"};
    for (size_t i = 0; i < examples.size(); i++) {
        SCOPED_TRACE(files[i]);
        std::string path = std::string(VELK_TEST_DATA) + "/xml/" + files[i];
        EXPECT_EQ(readFile(path), examples[i]);
        velkio_XML *doc = velkio_XML_newFromXML(path.c_str(), "");
        ASSERT_NE(doc, nullptr);
        EXPECT_EQ(toString(doc), examples[i]);
        velkio_XML_delete(&doc);
    }
}

TEST(XmlRead, LayoutValuesAndTolerance)
{
    const std::string text =
        "<?xml version='1.0'?>\n<!-- hand written -->\n"
        "<velk_xml version='7'><extra/>"
        "<config><nfft> 1024\n</nfft><comment></comment><unknown>x</unknown></config>"
        "<neighbors><neighbor id='3'> 1,2  4 </neighbor></neighbors>"
        "<positions>"
        "  <position id=' 3 '><calcTF type='localization' offset='531.000000'/>"
        "    <path>  spaced &amp; kept </path>"
        "    <polar radius='2' azimuth='90' elevation='-45.5'/>"
        "    <channels>\n 5,\t6 ,7\n</channels></position>"
        "  <position id='3'><cartesian x='+1.5e0' y='-.25' z='1E-3'/></position>"
        "</positions></velk_xml>";
    velkio_XML *doc = fromString(text);
    ASSERT_NE(doc, nullptr);
    ASSERT_NE(doc->poses, nullptr);
    EXPECT_EQ(doc->poses->type, nullptr);
    ASSERT_EQ(doc->poses->count, 2);
    const velkio_Position *p = doc->poses->list[0];
    EXPECT_EQ(p->id, 3);
    EXPECT_EQ(p->isCartesian, 0);
    EXPECT_EQ(p->coords[0], 90.0f);
    EXPECT_EQ(p->coords[1], -45.5f);
    EXPECT_EQ(p->coords[2], 2.0f);
    EXPECT_STREQ(p->path, "  spaced & kept ");
    ASSERT_EQ(p->useChannels, 1);
    ASSERT_EQ(p->numChannels, 3);
    EXPECT_EQ(p->channels[0], 5);
    EXPECT_EQ(p->channels[2], 7);
    const velkio_Position *q = doc->poses->list[1];
    EXPECT_EQ(q->id, 3);
    EXPECT_NE(q->isCartesian, 0);
    EXPECT_EQ(q->coords[0], 1.5f);
    EXPECT_EQ(q->coords[1], -0.25f);
    EXPECT_EQ(q->coords[2], 1e-3f);
    EXPECT_EQ(q->path, nullptr);
    EXPECT_EQ(q->useChannels, 0);
    ASSERT_EQ(doc->nbrs->count, 1);
    EXPECT_EQ(doc->nbrs->lists[0].id, 3);
    ASSERT_EQ(doc->nbrs->lists[0].count, 3);
    EXPECT_EQ(doc->nbrs->lists[0].ids[2], 4);
    EXPECT_EQ(doc->cfg->nfft, 1024);
    EXPECT_STREQ(doc->cfg->comment, "");
    EXPECT_EQ(doc->cfg->tspPath, nullptr);
    EXPECT_EQ(doc->cfg->samplingRate, 0);
    velkio_XML_delete(&doc);

    // Quoted '=' and '>' and markup-like text in comments, CDATA and
    // processing instructions do not count as attributes.
    std::string filler(300, '=');
    std::string quoted = "<velk_xml><!-- <a " + filler + "> --><?pi " + filler +
                         "?><positions type='a=b>c'><![CDATA[<x " + filler +
                         ">]]></positions></velk_xml>";
    doc = fromString(quoted);
    ASSERT_NE(doc, nullptr);
    EXPECT_STREQ(doc->poses->type, "a=b>c");
    velkio_XML_delete(&doc);

    // The buffer length is honoured: bytes after it are not read.
    std::string padded = "<velk_xml/>garbage<<<";
    doc = velkio_XML_newFromXMLbuffer(padded.data(), 11, nullptr);
    ASSERT_NE(doc, nullptr);
    velkio_XML_delete(&doc);

    // Another expected root, and the unknown position type kept as read.
    const char *other = "<other><positions type='speaker'/></other>";
    doc = velkio_XML_newFromXMLbuffer(other, static_cast<int>(strlen(other)), "other");
    ASSERT_NE(doc, nullptr);
    EXPECT_STREQ(doc->poses->type, "speaker");
    EXPECT_EQ(doc->poses->count, 0);
    velkio_XML_delete(&doc);
}

namespace {

// The loader refuses `content` (as a file): null, and a level-0 message on
// standard error that names the file and contains `expected`.
std::string expectRefused(const std::string &content, const std::string &expected)
{
    SCOPED_TRACE(content.substr(0, 200));
    TempDir dir;
    std::string path = dir.file("bad.xml", content);
    testing::internal::CaptureStderr();
    velkio_XML *doc = velkio_XML_newFromXML(path.c_str(), "");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(doc, nullptr);
    velkio_XML_delete(&doc);
    EXPECT_NE(err.find("[E]"), std::string::npos) << err;
    EXPECT_NE(err.find(path), std::string::npos) << err;
    EXPECT_NE(err.find(expected), std::string::npos) << err;
    return err;
}

std::string position(const std::string &inner, const std::string &id = "0")
{
    return "<velk_xml><positions type='tsp'><position id='" + id + "'>" + inner +
           "</position></positions></velk_xml>";
}

} // namespace

TEST(XmlRefuse, FilesThatAreNotDocuments)
{
    TempDir dir;
    std::string missing = dir.path + "/missing.xml";
    testing::internal::CaptureStderr();
    EXPECT_EQ(velkio_XML_newFromXML(missing.c_str(), ""), nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(missing), std::string::npos) << err;
    EXPECT_NE(err.find("No such file"), std::string::npos) << err;

    testing::internal::CaptureStderr();
    EXPECT_EQ(velkio_XML_newFromXML(dir.path.c_str(), ""), nullptr); // a directory
    EXPECT_NE(testing::internal::GetCapturedStderr().find(dir.path), std::string::npos);
    // A named pipe without a writer: refused at once, not waited on.
    std::string fifo = dir.path + "/pipe.xml";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(velkio_XML_newFromXML(fifo.c_str(), ""), nullptr);
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[" + fifo + "] is not a regular file"), std::string::npos) << err;

    expectRefused("", "empty");
    expectRefused("<velk_xml><positions>", "malformed XML");
    expectRefused("<velk_xml></velk_xm>", "malformed XML");
    expectRefused("not xml at all", "malformed XML");
    expectRefused("<velk_xml/><velk_xml/>", "malformed XML");
    expectRefused("<velk_xml>&undefined;</velk_xml>", "malformed XML");
    expectRefused("<velk_xml>\xff\xfe</velk_xml>", "malformed XML");
    expectRefused("<velkxml/>", "root element is <velkxml>, expected <velk_xml>");
    expectRefused("<positions/>", "expected <velk_xml>");
}

TEST(XmlRefuse, ValuesThatAreNotNumbers)
{
    const char *badFloats[] = {"", " ", "abc", "1.5m", "1,5", "0x10", "nan", "inf",
                               "1e39", "-1e39", "1..2", "--1"};
    for (const char *v : badFloats)
        expectRefused(position(std::string("<cartesian x='") + v + "' y='0' z='0'/>"),
                      "attribute x of <cartesian> is not a number");
    expectRefused(position("<polar azimuth='1' elevation='1'/>"), "has no attribute radius");
    expectRefused(position("<path>p</path>"), "no <cartesian> or <polar>");

    const char *badInts[] = {"", "x", "1.0", "3x", "2147483648", "-2147483649", "1e3", "0x1"};
    for (const char *v : badInts) {
        expectRefused(position("<cartesian x='0' y='0' z='0'/>", v),
                      "attribute id of <position> is not an integer");
        expectRefused(std::string("<velk_xml><config><nfft>") + v + "</nfft></config></velk_xml>",
                      "<nfft> is not an integer");
    }
    expectRefused("<velk_xml><positions><position/></positions></velk_xml>", "has no attribute id");
    expectRefused(position("<cartesian x='0' y='0' z='0'/><channels>1 2 x</channels>"),
                  "\"x\", which is not an integer");
    expectRefused("<velk_xml><neighbors><neighbor id='1'>2 3.5</neighbor></neighbors></velk_xml>",
                  "\"3.5\", which is not an integer");
    expectRefused("<velk_xml><neighbors><neighbor>2</neighbor></neighbors></velk_xml>",
                  "has no attribute id");
}

TEST(XmlRefuse, RepeatedSingleElements)
{
    expectRefused("<velk_xml><positions/><positions/></velk_xml>", "more than one <positions>");
    expectRefused("<velk_xml><config/><neighbors/><config/></velk_xml>", "more than one <config>");
    expectRefused("<velk_xml><config><nfft>1</nfft><nfft>1</nfft></config></velk_xml>",
                  "more than one <nfft>");
    expectRefused(position("<cartesian x='0' y='0' z='0'/><polar azimuth='0' elevation='0' radius='1'/>"),
                  "more than one <polar>");
}

namespace {

// Watches a file for being opened or read.
struct OpenWatch {
    int fd;
    explicit OpenWatch(const std::string &path)
    {
        fd = inotify_init1(IN_NONBLOCK);
        inotify_add_watch(fd, path.c_str(), IN_OPEN | IN_ACCESS);
    }
    ~OpenWatch() { close(fd); }
    bool touched() const
    {
        char buf[4096];
        return read(fd, buf, sizeof buf) > 0;
    }
};

} // namespace

TEST(XmlRefuse, DoctypesAreRefusedWithoutReadingAnything)
{
    TempDir dir;
    std::string secret = dir.file("secret.txt", "TOPSECRET");
    std::string dtd = dir.file("evil.dtd", "<!ENTITY x SYSTEM 'file://" + secret + "'>");
    OpenWatch secretWatch(secret), dtdWatch(dtd);
    ASSERT_GE(secretWatch.fd, 0);

    std::string entity = "<?xml version='1.0'?>\n<!DOCTYPE velk_xml [<!ENTITY x SYSTEM 'file://" +
                         secret + "'>]>\n<velk_xml><config><comment>&x;</comment></config></velk_xml>";
    std::string subset = "<?xml version='1.0'?>\n<!DOCTYPE velk_xml SYSTEM 'file://" + dtd +
                         "'>\n<velk_xml><config><comment>&x;</comment></config></velk_xml>";
    std::string parameter = "<!DOCTYPE velk_xml [<!ENTITY % p SYSTEM 'file://" + dtd +
                            "'> %p;]><velk_xml/>";
    std::string network = "<!DOCTYPE velk_xml SYSTEM 'http://127.0.0.1:9/x.dtd'><velk_xml/>";
    for (const std::string &doc : {entity, subset, parameter, network}) {
        std::string err = expectRefused(doc, "DOCTYPE");
        EXPECT_EQ(err.find("TOPSECRET"), std::string::npos);
    }
    EXPECT_FALSE(secretWatch.touched());
    EXPECT_FALSE(dtdWatch.touched());

    // The same from a buffer (the archive members are read this way).
    testing::internal::CaptureStderr();
    EXPECT_EQ(fromString(entity), nullptr);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("DOCTYPE"), std::string::npos);
    EXPECT_FALSE(secretWatch.touched());
}

TEST(XmlRefuse, HostileSizesEndQuickly)
{
    // Entity expansion: refused at the DOCTYPE, long before any expansion.
    std::string laughs = "<?xml version='1.0'?>\n<!DOCTYPE velk_xml [\n<!ENTITY l0 'lol'>\n";
    for (int i = 1; i <= 12; i++) {
        laughs += "<!ENTITY l" + std::to_string(i) + " '";
        for (int k = 0; k < 10; k++)
            laughs += "&l" + std::to_string(i - 1) + ";";
        laughs += "'>\n";
    }
    laughs += "]>\n<velk_xml><config><comment>&l12;</comment></config></velk_xml>\n";
    expectRefused(laughs, "DOCTYPE");

    // Deep nesting is cut by the parser's depth limit.
    std::string deep = "<velk_xml>";
    for (int i = 0; i < 100000; i++)
        deep += "<a>";
    expectRefused(deep, "malformed XML");

    // Many attributes on one element (the parser's repeat check is
    // quadratic) and too many elements are refused before parsing.
    std::string attrs = "<velk_xml";
    for (int i = 0; i < 257; i++)
        attrs += " a" + std::to_string(i) + "=''";
    expectRefused(attrs + "/>", "more than 256 attributes");
    std::string many = "<velk_xml>";
    for (int i = 0; i < 2000000; i++)
        many += "<a/>";
    expectRefused(many + "</velk_xml>", "more than 2000000 elements and attributes");

    // A file above the size limit is refused before it is read.
    TempDir dir;
    std::string big = dir.file("big.xml", "<velk_xml>");
    ASSERT_EQ(truncate(big.c_str(), (off_t(256) << 20) + 1), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(velkio_XML_newFromXML(big.c_str(), ""), nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("is larger than"), std::string::npos) << err;
}

TEST(XmlWrite, RefusesWhatCouldNotBeReadBack)
{
    const char *badTexts[] = {"ctrl\x01char", "bad utf8 \xc3(", "\xef\xbf\xbe"};
    for (const char *t : badTexts) {
        velkio_Config *c = velkio_Config_new();
        velkio_Config_setComment(c, t);
        velkio_XML *doc = velkio_XML_newFromData(nullptr, nullptr, c);
        testing::internal::CaptureStderr();
        EXPECT_EQ(velkio_XML_toString(doc, nullptr), nullptr);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("config comment"), std::string::npos);
        velkio_XML_delete(&doc);
    }
    velkio_Positions *list = velkio_Positions_new("tsp", 0, 0, 0);
    float c[3] = {0.0f, NAN, 1.0f};
    velkio_Positions_append(list, velkio_Position_new(4, 1, c, nullptr));
    velkio_XML *doc = velkio_XML_newFromData(list, nullptr, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(velkio_XML_write(doc, stdout), 1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("position 4"), std::string::npos);
    velkio_XML_delete(&doc);

    testing::internal::CaptureStderr();
    EXPECT_EQ(velkio_XML_write(nullptr, stdout), 1);
    doc = velkio_XML_new();
    EXPECT_EQ(velkio_XML_write(doc, nullptr), 1);
    FILE *full = fopen("/dev/full", "w");
    if (full != nullptr) {
        EXPECT_EQ(velkio_XML_write(doc, full), 1);
        fclose(full);
    }
    testing::internal::GetCapturedStderr();
    velkio_XML_delete(&doc);
}

TEST(XmlWrite, WrittenDocumentsPassXmllint)
{
    if (std::system("command -v xmllint >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "xmllint is not installed";
    TempDir dir;
    velkio_XML *docs[] = {
        velkio_XML_newFromData(sampleSources(), nullptr, nullptr),
        velkio_XML_newFromData(nullptr, nullptr, sampleConfig()),
        velkio_XML_newFromData(sampleSources(), sampleNeighbors(), sampleConfig()),
        velkio_XML_new(),
    };
    int i = 0;
    for (velkio_XML *&doc : docs) {
        std::string path = dir.file("doc" + std::to_string(i++) + ".xml", toString(doc));
        EXPECT_EQ(std::system(("xmllint --noout '" + path + "'").c_str()), 0) << path;
        velkio_XML_delete(&doc);
    }
}
