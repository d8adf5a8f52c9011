// The checker's tags, their order in each mode, the verdict and the JSON
// summary, on documents built in memory through the library records.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "validxml.h"
#include "velkio.h"

namespace {

velkio_Positions *makeList(const char *type, const std::vector<int> &ids)
{
    velkio_Positions *list = velkio_Positions_new(type, 0, 0, 0);
    for (int id : ids) {
        float coords[3] = {1.0f, 0.0f, 0.0f};
        velkio_Positions_append(list, velkio_Position_new(id, 1, coords, NULL));
    }
    return list;
}

velkio_Config *makeValidConfig()
{
    velkio_Config *cfg = velkio_Config_new();
    velkio_Config_setComment(cfg, "room A");
    velkio_Config_setSynchronousAverage(cfg, 16);
    velkio_Config_setTSPpath(cfg, "/data/tsp.wav");
    velkio_Config_setTSPoffset(cfg, 0);
    velkio_Config_setTSPlength(cfg, 16384);
    velkio_Config_setPeakSearchFrom(cfg, 0);
    velkio_Config_setPeakSearchTo(cfg, 0);
    velkio_Config_setNfft(cfg, 512);
    velkio_Config_setSamplingRate(cfg, 16000);
    velkio_Config_setSignalMax(cfg, 32768);
    return cfg;
}

/* Neighbour lists of the positions of a circle, so that their count is
 * positive. */
velkio_Neighbors *makeNeighbors(velkio_Positions *list)
{
    velkio_Neighbors *nbrs = velkio_Neighbors_new(list);
    EXPECT_EQ(0, velkio_Neighbors_calcNeighbors(nbrs, 1, 2, 3.2));
    return nbrs;
}

/* A tsp list of four positions on the unit circle. */
velkio_Positions *makeCircle()
{
    velkio_Positions *list = velkio_Positions_new("tsp", 0, 0, 0);
    const float xy[4][2] = {{1, 0}, {0, 1}, {-1, 0}, {0, -1}};
    for (int id = 0; id < 4; id++) {
        float coords[3] = {xy[id][0], xy[id][1], 0.0f};
        velkio_Positions_append(list, velkio_Position_new(id, 1, coords, "r.wav"));
    }
    return list;
}

struct Doc {
    velkio_XML *doc;
    explicit Doc(velkio_XML *d) : doc(d) {}
    ~Doc() { velkio_XML_delete(&doc); }
};

std::string fullReport(const velkio_XML *doc)
{
    char report[VALIDXML_REPORT_SIZE];
    validxml_fullReport(doc, report);
    return report;
}

std::string positionReport(int kind, const velkio_XML *doc)
{
    char *text = nullptr;
    EXPECT_EQ(0, validxml_positionReport(kind, doc, &text));
    std::string result = text != nullptr ? text : "";
    free(text);
    return result;
}

std::string repeat(const std::string &piece, int times)
{
    std::string result;
    for (int i = 0; i < times; i++)
        result += piece;
    return result;
}

std::string jsonOf(const velkio_XML *doc)
{
    char *buffer = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&buffer, &size);
    EXPECT_EQ(0, validxml_printJson(out, doc));
    fclose(out);
    std::string result(buffer, size);
    free(buffer);
    return result;
}

} // namespace

TEST(FullCheck, MissingDocumentOrPositions)
{
    EXPECT_EQ("[velk_xml]", fullReport(nullptr));
    Doc empty(velkio_XML_newFromData(nullptr, nullptr, makeValidConfig()));
    EXPECT_EQ("[positions]", fullReport(empty.doc));
}

TEST(FullCheck, CompleteSourceDocumentPasses)
{
    velkio_Positions *list = makeCircle();
    Doc d(velkio_XML_newFromData(list, makeNeighbors(list), makeValidConfig()));
    EXPECT_EQ("", fullReport(d.doc));
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, validate_velkxml(d.doc));
    EXPECT_EQ("SUCCESS\n", testing::internal::GetCapturedStderr());
}

TEST(FullCheck, SourceListWithoutConfigOrNeighbors)
{
    Doc d(velkio_XML_newFromData(makeCircle(), nullptr, nullptr));
    EXPECT_EQ("[config][neighbors]", fullReport(d.doc));
    testing::internal::CaptureStderr();
    EXPECT_EQ(1, validate_velkxml(d.doc));
    EXPECT_EQ("Consistency error\n[config][neighbors]\n",
              testing::internal::GetCapturedStderr());
}

TEST(FullCheck, ConfigurationTagsInOrder)
{
    velkio_Positions *list = makeCircle();
    velkio_Config *cfg = makeValidConfig();
    velkio_Config_setNfft(cfg, 0);
    velkio_Config_setSamplingRate(cfg, -1);
    Doc d(velkio_XML_newFromData(list, makeNeighbors(list), cfg));
    EXPECT_EQ("[nfft][samplingRate]", fullReport(d.doc));

    free(cfg->comment);
    cfg->comment = nullptr;
    free(cfg->tspPath);
    cfg->tspPath = nullptr;
    cfg->synchronousAverage = -1;
    cfg->tspOffset = -1;
    cfg->peakSearchTo = -1;
    cfg->signalMax = 0;
    cfg->tspLength = 0;
    EXPECT_EQ("[comment][SynchronousAverage][TSPpath][TSPOffset][PeakSearch]"
              "[nfft][samplingRate][signalMax][TSPLength]",
              fullReport(d.doc));
}

TEST(FullCheck, NoiseAndMicrophoneListsNeedNoConfig)
{
    for (const char *type : {"noise", "microphone"}) {
        velkio_Positions *list = makeList(type, {0, 1});
        Doc d(velkio_XML_newFromData(list, makeNeighbors(list), nullptr));
        EXPECT_EQ("", fullReport(d.doc)) << type;
    }
}

TEST(FullCheck, UnknownOrAbsentTypeThenCountAndNeighbors)
{
    velkio_Positions *list = makeList("speaker", {});
    Doc d(velkio_XML_newFromData(list, velkio_Neighbors_new(list), nullptr));
    EXPECT_EQ("[positions (unknown type: speaker)][position][neighbor]",
              fullReport(d.doc));
    free(list->type);
    list->type = nullptr;
    velkio_Neighbors_delete(&d.doc->nbrs);
    EXPECT_EQ("[positions (unknown type: )][position][neighbors]",
              fullReport(d.doc));
}

TEST(FullCheck, OverlongTypeIsCutAndTheReportStaysClosed)
{
    std::string type(5000, 'x');
    // A two-byte character across the last byte that fits (974 bytes of
    // the type fit next to the closing and the later tags).
    type[973] = '\xc3';
    type[974] = '\xa9';
    velkio_Positions *list = makeList(type.c_str(), {});
    Doc d(velkio_XML_newFromData(list, nullptr, nullptr));
    std::string report = fullReport(d.doc);
    EXPECT_LE(report.size(), (size_t)VALIDXML_REPORT_SIZE - 1);
    EXPECT_EQ(0u, report.find("[positions (unknown type: xxx"));
    const std::string tail = ")][position][neighbors]";
    ASSERT_GT(report.size(), tail.size());
    EXPECT_EQ(tail, report.substr(report.size() - tail.size()));
    // The cut never splits the character.
    std::string shown = report.substr(26, report.size() - 26 - tail.size());
    EXPECT_EQ(std::string(973, 'x'), shown);
}

TEST(PositionCheck, MissingDocumentOrPositions)
{
    EXPECT_EQ("[velk_xml]", positionReport(VALIDXML_KIND_MICROPHONE, nullptr));
    Doc d(velkio_XML_newFromData(nullptr, nullptr, makeValidConfig()));
    EXPECT_EQ("[positions]", positionReport(VALIDXML_KIND_SOURCE, d.doc));
}

TEST(PositionCheck, MicrophoneDuplicateReportedTwicePerPass)
{
    Doc d(velkio_XML_newFromData(makeList("microphone", {0, 1, 1}), nullptr,
                                 nullptr));
    EXPECT_EQ(repeat("[position (id is not unique: 1)]", 4),
              positionReport(VALIDXML_KIND_MICROPHONE, d.doc));
}

TEST(PositionCheck, MicrophoneIdLimitAndTypeAndOrder)
{
    Doc ok(velkio_XML_newFromData(makeList("microphone", {63, 0}), nullptr,
                                  nullptr));
    EXPECT_EQ("", positionReport(VALIDXML_KIND_MICROPHONE, ok.doc));

    Doc d(velkio_XML_newFromData(makeList("tsp", {64, 2, 64}), nullptr, nullptr));
    EXPECT_EQ("[positions (type is not microphone): tsp)]"
              "[position (id is not less than 64: 64)]"
              "[position (id is not unique: 64)]"
              "[position (id is not less than 64: 64)]"
              "[position (id is not unique: 64)]"
              "[position (id is not unique: 64)][position (id is not unique: 64)]",
              positionReport(VALIDXML_KIND_MICROPHONE, d.doc));
}

TEST(PositionCheck, EmptyMicrophoneListStopsAtTheCount)
{
    Doc d(velkio_XML_newFromData(makeList("noise", {}), nullptr, nullptr));
    EXPECT_EQ("[positions (type is not microphone): noise)][position is empty]",
              positionReport(VALIDXML_KIND_MICROPHONE, d.doc));
    free(d.doc->poses->type);
    d.doc->poses->type = nullptr;
    EXPECT_EQ("[positions (type is not microphone): )][position is empty]",
              positionReport(VALIDXML_KIND_MICROPHONE, d.doc));
}

TEST(PositionCheck, SourceMode)
{
    Doc empty(velkio_XML_newFromData(makeList("tsp", {}), nullptr, nullptr));
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, validateAsPositionXml(VALIDXML_KIND_SOURCE, empty.doc));
    EXPECT_EQ("SUCCESS\n", testing::internal::GetCapturedStderr());

    Doc mic(velkio_XML_newFromData(makeList("microphone", {7, 7}), nullptr,
                                   nullptr));
    EXPECT_EQ("[positions (type is not soundsource|tsp|impulse: microphone)]"
              "[position (id is not unique: 7)][position (id is not unique: 7)]",
              positionReport(VALIDXML_KIND_SOURCE, mic.doc));
    testing::internal::CaptureStderr();
    EXPECT_EQ(1, validateAsPositionXml(VALIDXML_KIND_SOURCE, mic.doc));
    EXPECT_EQ(0u, testing::internal::GetCapturedStderr().find("Consistency error\n"));
}

TEST(PositionCheck, IllegalKindsAndUniquenessOnlyKinds)
{
    Doc d(velkio_XML_newFromData(makeList("microphone", {70, 3, 3}), nullptr,
                                 nullptr));
    for (int kind : {1, 2, 3}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(1, validateAsPositionXml(kind, d.doc));
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(std::string::npos, err.find("Illegal type " + std::to_string(kind)));
        EXPECT_EQ(std::string::npos, err.find("Consistency error"));
        EXPECT_EQ(std::string::npos, err.find("SUCCESS"));
    }
    EXPECT_EQ(repeat("[position (id is not unique: 3)]", 2),
              positionReport(5, d.doc));
}

TEST(Json, MicrophoneListShowsIds)
{
    Doc d(velkio_XML_newFromData(makeList("microphone", {3, 5, 9}), nullptr,
                                 nullptr));
    EXPECT_EQ("{ \"type\": \"microphone\", \"channels\": [ 3,5,9 ] }\n",
              jsonOf(d.doc));
}

TEST(Json, SourceListShowsFirstChannelListAndConfig)
{
    velkio_Positions *list = makeCircle();
    const int channels[] = {0, 2, 5};
    velkio_Position_setChannels(list->list[0], channels, 3);
    list->list[0]->useChannels = 1;
    Doc d(velkio_XML_newFromData(list, nullptr, makeValidConfig()));
    EXPECT_EQ("{ \"type\": \"tsp\", \"channels\": [ 0,2,5 ], \"config\": "
              "{ \"comment\": \"room A\", \"syncadd\": 16, \"orgtsppath\": "
              "\"/data/tsp.wav\", \"tspoffset\": 0, \"peakfrom\": 0, "
              "\"peakto\": 0, \"fftlen\": 512, \"samplingrate\": 16000, "
              "\"signalmax\": 32768, \"tsplength\": 16384 } }\n",
              jsonOf(d.doc));
}

TEST(Json, EmptyListHasNoChannelsAndAbsentTextsAreEmpty)
{
    Doc d(velkio_XML_newFromData(makeList("tsp", {}), nullptr, velkio_Config_new()));
    std::string json = jsonOf(d.doc);
    EXPECT_EQ(std::string::npos, json.find("channels"));
    EXPECT_NE(std::string::npos, json.find("\"comment\": \"\""));
    EXPECT_NE(std::string::npos, json.find("\"orgtsppath\": \"\""));
}

TEST(Json, FlaggedButEmptyChannelListIsAnEmptyArray)
{
    velkio_Positions *list = makeCircle();
    list->list[0]->useChannels = 1;
    list->list[0]->numChannels = 0;
    Doc d(velkio_XML_newFromData(list, nullptr, nullptr));
    EXPECT_EQ("{ \"type\": \"tsp\", \"channels\": [  ] }\n", jsonOf(d.doc));
}

TEST(Json, StringsAreEscaped)
{
    struct Case {
        const char *text;
        const char *json;
    } cases[] = {
        {"plain", "\"plain\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"C:\\tsp", "\"C:\\\\tsp\""},
        {"a\nb\tc\x01", "\"a\\u000ab\\u0009c\\u0001\""},
        {"caf\xc3\xa9 \xe2\x82\xac", "\"caf\xc3\xa9 \xe2\x82\xac\""},
        {"bad\xff\xc3(", "\"bad\\ufffd\\ufffd(\""},
        {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""}, // an encoded surrogate
    };
    for (const Case &c : cases) {
        char *buffer = nullptr;
        size_t size = 0;
        FILE *out = open_memstream(&buffer, &size);
        validxml_writeJsonString(out, c.text);
        fclose(out);
        EXPECT_EQ(c.json, std::string(buffer, size)) << c.text;
        free(buffer);
    }
}
