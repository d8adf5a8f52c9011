// Legacy binary files: the byte layout, round trips through the writers
// and readers, and every refusal of malformed or mismatched input.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <gtest/gtest.h>

#include "archive_test_util.h"
#include "legacy_test_util.h"
#include "velkio.h"

using velktest::legacyRecord;
using velktest::TempDir;

namespace {

typedef velkio_TransferFunction *TF;

struct TFHolder {
    TF tf;
    explicit TFHolder(TF t) : tf(t) {}
    ~TFHolder() { velkio_TransferFunction_delete(&tf); }
};

void putU32(std::vector<unsigned char> &b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b[at + i] = (unsigned char)(v >> (8 * i));
}

// Reads a transfer-function pair and returns what was logged; *out gets
// the record (null on refusal).
std::string readTF(const char *loc, const char *sep, TF *out)
{
    testing::internal::CaptureStderr();
    *out = velkio_Compat_TransferFunction_readlibvelkio2(loc, sep);
    return testing::internal::GetCapturedStderr();
}

std::string readSM(const std::string &mat, const std::string &zip, TF *out)
{
    testing::internal::CaptureStderr();
    *out = velkio_Compat_SeparationMatrix_readlibvelkio2(mat.c_str(), zip.c_str());
    return testing::internal::GetCapturedStderr();
}

// Expects the reader to refuse `bytes` with a level-0 message holding `why`.
void expectRefused(const TempDir &dir, const std::vector<unsigned char> &bytes,
                   const std::string &why)
{
    std::string path = dir.file("bad.tff");
    ASSERT_TRUE(velktest::writeFile(path, bytes.data(), bytes.size()));
    TF tf = nullptr;
    std::string err = readTF(path.c_str(), nullptr, &tf);
    EXPECT_EQ(nullptr, tf) << why;
    EXPECT_NE(std::string::npos, err.find("[E]")) << why;
    EXPECT_NE(std::string::npos, err.find(why)) << "logged: " << err;
    velkio_TransferFunction_delete(&tf);
}

std::vector<std::string> listDir(const std::string &path)
{
    std::vector<std::string> names;
    DIR *d = opendir(path.c_str());
    while (struct dirent *e = d ? readdir(d) : nullptr)
        if (e->d_name[0] != '.')
            names.push_back(e->d_name);
    if (d)
        closedir(d);
    return names;
}

int writeLoc(const velkio_TransferFunction *tf, const std::string &path)
{
    return velkio_Compat_TransferFunction_writelibvelkio2(tf, VELKIO_COMPAT_LOCALIZATION,
                                                          path.c_str());
}

} // namespace

TEST(LegacyFormat, BytesOfTheSmallestFileAreAsDocumented)
{
    TempDir dir;
    TFHolder r(legacyRecord(1, 1, 2));
    std::string path = dir.file("one.tff");
    ASSERT_EQ(0, writeLoc(r.tf, path));
    // Hand-encoded: header, one source, one microphone, two bins.
    const unsigned char want[] = {
        'V', 'E', 'L', 'K', 1, 0, 0, 0, 1, 0, 0, 0,   // magic, version, kind TF
        1, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0,           // sources, microphones, bins
        16, 0, 0, 0, 3, 0, 0, 0, 0x00, 0x40, 0, 0,    // sync 16, offset 3, length 16384
        1, 0, 0, 0, 200, 0, 0, 0, 2, 0, 0, 0,         // peak 1..200, nfft 2
        0x80, 0x3e, 0, 0, 0, 0x80, 0, 0,              // rate 16000, signal max 32768
        10, 0, 0, 0, 0, 0, 0xc0, 0x3f, 0, 0, 0, 0, 0, 0, 0, 0xbf, // id 10 (1.5, 0, -0.5)
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80, 0xbd, 0, 0, 0, 0x3e,  // id 0 (0, -0.0625, 0.125)
        0, 0, 0xe8, 0xc0, 0, 0, 0, 0,                 // bin 0: -7.25 + 0i
        0, 0, 0xd8, 0xc0, 0, 0, 0x20, 0xbf,           // bin 1: -6.75 - 0.625i
    };
    std::vector<unsigned char> got = velktest::readFile(path);
    ASSERT_EQ(sizeof want, got.size());
    for (size_t i = 0; i < sizeof want; i++)
        EXPECT_EQ(want[i], got[i]) << "byte " << i;

    // A separation-matrix file differs only in its kind.
    std::string sm = dir.file("one.smf");
    ASSERT_EQ(0, velkio_Compat_SeparationMatrix_writelibvelkio2(r.tf, sm.c_str()));
    std::vector<unsigned char> smBytes = velktest::readFile(sm);
    ASSERT_EQ(got.size(), smBytes.size());
    EXPECT_EQ(2, smBytes[8]);
}

TEST(LegacyTransferFunction, RoundTripKeepsPositionsConfigurationAndValues)
{
    TempDir dir;
    TFHolder r(legacyRecord(3, 4, 16));
    std::string loc = dir.file("loc.tff"), sep = dir.file("sep.tff");
    ASSERT_EQ(0, writeLoc(r.tf, loc));
    ASSERT_EQ(0, velkio_Compat_TransferFunction_writelibvelkio2(r.tf, VELKIO_COMPAT_SEPARATION,
                                                                sep.c_str()));
    TF got = nullptr;
    EXPECT_EQ("", readTF(loc.c_str(), sep.c_str(), &got));
    TFHolder h(got);
    ASSERT_NE(nullptr, got);
    velktest::expectSamePositions(r.tf->positions, got->positions);
    velktest::expectSamePositions(r.tf->microphones, got->microphones);
    EXPECT_STREQ("soundsource", got->positions->type);
    EXPECT_STREQ("microphone", got->microphones->type);
    EXPECT_EQ(nullptr, got->neighbors);
    EXPECT_EQ(nullptr, got->archive);
    const velkio_Config *a = r.tf->config, *b = got->config;
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(a->nfft, b->nfft);
    EXPECT_EQ(a->samplingRate, b->samplingRate);
    EXPECT_EQ(a->synchronousAverage, b->synchronousAverage);
    EXPECT_EQ(a->tspOffset, b->tspOffset);
    EXPECT_EQ(a->tspLength, b->tspLength);
    EXPECT_EQ(a->peakSearchFrom, b->peakSearchFrom);
    EXPECT_EQ(a->peakSearchTo, b->peakSearchTo);
    EXPECT_EQ(a->signalMax, b->signalMax);
    velktest::expectSameMatrices(r.tf->locTFs, 3, got->locTFs, got->nLocTFs, "loc");
    velktest::expectSameMatrices(r.tf->sepTFs, 3, got->sepTFs, got->nSepTFs, "sep");

    // Either file alone gives a record with that kind only.
    TF only = nullptr;
    readTF(loc.c_str(), nullptr, &only);
    ASSERT_NE(nullptr, only);
    EXPECT_EQ(3, only->nLocTFs);
    EXPECT_EQ(0, only->nSepTFs);
    EXPECT_EQ(nullptr, only->sepTFs);
    velkio_TransferFunction_delete(&only);
    readTF(nullptr, sep.c_str(), &only);
    ASSERT_NE(nullptr, only);
    EXPECT_EQ(0, only->nLocTFs);
    velktest::expectSameMatrices(r.tf->sepTFs, 3, only->sepTFs, only->nSepTFs, "sep only");
    velkio_TransferFunction_delete(&only);

    // The record is written as an archive that the library loads back.
    std::string zip = dir.file("tf.zip");
    ASSERT_EQ(0, velkio_TransferFunction_write(got, zip.c_str(), "transfer function"));
    TFHolder back(velkio_TransferFunction_fromFile(zip.c_str(), "transfer function"));
    ASSERT_NE(nullptr, back.tf);
    velktest::expectSameMatrices(r.tf->locTFs, 3, back.tf->locTFs, back.tf->nLocTFs, "archive");
}

TEST(LegacyTransferFunction, WriterConvertsPolarPositionsAndKeepsOnlyListedChannels)
{
    TempDir dir;
    TFHolder r(legacyRecord(2, 4, 8, false));
    velkio_Position *polar = r.tf->positions->list[1];
    polar->isCartesian = 0;
    polar->coords[0] = 30.0f; // azimuth
    polar->coords[1] = 10.0f; // elevation
    polar->coords[2] = 2.0f;  // radius
    // Only channels 3 and 1 were measured: two rows per matrix.
    int channels[] = {3, 1};
    ASSERT_EQ(0, velkio_Position_setChannels(r.tf->positions->list[0], channels, 2));
    r.tf->positions->list[0]->useChannels = 1;
    velkio_TransferFunction_setLocTFs(r.tf, velktest::legacyMatrices(0, 2, 2, 8));
    std::string path = dir.file("loc.tff");
    ASSERT_EQ(0, writeLoc(r.tf, path));

    TF got = nullptr;
    readTF(path.c_str(), nullptr, &got);
    TFHolder h(got);
    ASSERT_NE(nullptr, got);
    ASSERT_EQ(2, got->microphones->count);
    EXPECT_EQ(3, got->microphones->list[0]->id);
    EXPECT_EQ(1, got->microphones->list[1]->id);
    EXPECT_FLOAT_EQ(0.15f, got->microphones->list[0]->coords[0]);
    const velkio_Position *p = got->positions->list[1];
    EXPECT_EQ(1, p->isCartesian);
    const double az = 30 * M_PI / 180, el = 10 * M_PI / 180;
    EXPECT_NEAR(2 * cos(el) * cos(az), p->coords[0], 1e-6);
    EXPECT_NEAR(2 * cos(el) * sin(az), p->coords[1], 1e-6);
    EXPECT_NEAR(2 * sin(el), p->coords[2], 1e-6);
    velktest::expectSameMatrices(r.tf->locTFs, 2, got->locTFs, got->nLocTFs, "channels");
}

TEST(LegacyTransferFunction, EveryTruncationAndTrailingGarbageIsRefused)
{
    TempDir dir;
    TFHolder r(legacyRecord(2, 2, 4));
    std::string path = dir.file("loc.tff");
    ASSERT_EQ(0, writeLoc(r.tf, path));
    std::vector<unsigned char> whole = velktest::readFile(path);
    ASSERT_EQ(56u + 16 * 4 + 8 * 2 * 2 * 3, whole.size());
    for (size_t n = 0; n < whole.size(); n++) {
        std::vector<unsigned char> cut(whole.begin(), whole.begin() + (long)n);
        std::string why = n < 4 ? "does not begin with \"VELK\"" : "truncated";
        expectRefused(dir, cut, why);
    }
    std::vector<unsigned char> longer = whole;
    longer.push_back(0);
    expectRefused(dir, longer, "1 bytes of trailing garbage");
}

TEST(LegacyTransferFunction, MalformedHeadersAndPositionsAreRefused)
{
    TempDir dir;
    TFHolder r(legacyRecord(2, 2, 4));
    std::string path = dir.file("loc.tff");
    ASSERT_EQ(0, writeLoc(r.tf, path));
    const std::vector<unsigned char> good = velktest::readFile(path);
    const size_t src0 = 56, src1 = 72, mic0 = 88, mic1 = 104;
    struct Case {
        size_t at;
        uint32_t value;
        const char *why;
    } cases[] = {
        {0, 0x4b4c4556 + 1, "does not begin with \"VELK\""},
        {4, 2, "unsupported legacy format version 2"},
        {8, 0, "unknown kind of legacy file (0)"},
        {8, 7, "unknown kind of legacy file (7)"},
        {8, 2, "a separation-matrix file where a transfer-function file is expected"},
        {12, 0, "impossible number of source positions (0)"},
        {12, 0xffffffffu, "impossible number of source positions (4294967295)"},
        // Huge but representable counts are measured against the file
        // size before anything is allocated.
        {12, 0x7fffffff, "truncated"},
        {16, 0, "impossible number of microphones (0"},
        {16, 65, "impossible number of microphones (65"},
        {16, 0xffffffffu, "impossible number of microphones"},
        {20, 4, "4 frequency bins do not fit nfft 4"},
        {20, 0xffffffffu, "frequency bins do not fit"},
        {44, 0, "impossible nfft (0"},
        {44, 6, "impossible nfft (6"},
        {44, 0x80000000u, "impossible nfft (-2147483648"},
        {44, 1u << 25, "impossible nfft (33554432"},
        {48, 0, "impossible sampling rate (0)"},
        {48, 0xfffffff0u, "impossible sampling rate (-16)"},
        {src0, 0xffffffffu, "source position id -1 out of range"},
        {src1, 10, "source position id 10 appears twice"},
        {mic0, 64, "microphone id 64 out of range"},
        {mic1, 0, "microphone id 0 appears twice"},
        {src0 + 4, 0x7fc00000, "source position 10 has a coordinate that is not a finite number"},
        {mic1 + 12, 0x7f800000, "microphone 1 has a coordinate that is not a finite number"},
    };
    for (const Case &c : cases) {
        std::vector<unsigned char> bytes = good;
        putU32(bytes, c.at, c.value);
        expectRefused(dir, bytes, c.why);
    }
    // A sound header with the bins of a larger nfft is still refused by
    // its size.
    std::vector<unsigned char> bigger = good;
    putU32(bigger, 20, 9);
    putU32(bigger, 44, 16);
    expectRefused(dir, bigger, "truncated");
}

TEST(LegacyTransferFunction, UnreadableInputsAreRefused)
{
    TempDir dir;
    TF tf = nullptr;
    std::string err = readTF(dir.file("missing.tff").c_str(), nullptr, &tf);
    EXPECT_EQ(nullptr, tf);
    EXPECT_NE(std::string::npos, err.find("can not open file"));
    err = readTF(dir.path().c_str(), nullptr, &tf);
    EXPECT_EQ(nullptr, tf);
    EXPECT_NE(std::string::npos, err.find("not a regular file"));
    err = readTF("/dev/zero", nullptr, &tf);
    EXPECT_EQ(nullptr, tf);
    EXPECT_NE(std::string::npos, err.find("not a regular file"));
    // A named pipe without a writer: refused at once, not waited on.
    std::string fifo = dir.file("pipe.tff");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    err = readTF(fifo.c_str(), nullptr, &tf);
    EXPECT_EQ(nullptr, tf);
    EXPECT_NE(std::string::npos, err.find("is not a regular file")) << err;
    err = readTF(nullptr, nullptr, &tf);
    EXPECT_EQ(nullptr, tf);
    EXPECT_NE(std::string::npos, err.find("neither a localization nor a separation file"));
}

TEST(LegacyTransferFunction, LocalizationAndSeparationFilesMustDescribeOneMeasurement)
{
    TempDir dir;
    TFHolder r(legacyRecord(2, 3, 8));
    std::string loc = dir.file("loc.tff"), sep = dir.file("sep.tff");
    ASSERT_EQ(0, writeLoc(r.tf, loc));

    struct Case {
        const char *why;
        void (*change)(velkio_TransferFunction *);
    } cases[] = {
        {"disagree on their shapes: 2 x 3 x 5 and 2 x 2 x 5",
         [](velkio_TransferFunction *t) {
             velkio_Positions_removeById(t->microphones, 2);
             velkio_TransferFunction_setLocTFs(t, velktest::legacyMatrices(0, 2, 2, 8));
         }},
        {"disagree on their shapes: 2 x 3 x 5 and 2 x 3 x 9",
         [](velkio_TransferFunction *t) {
             t->config->nfft = 16;
             velkio_TransferFunction_setLocTFs(t, velktest::legacyMatrices(0, 2, 3, 16));
         }},
        {"disagree on signalMax: 32768 and 1", [](velkio_TransferFunction *t) { t->config->signalMax = 1; }},
        {"disagree on samplingRate", [](velkio_TransferFunction *t) { t->config->samplingRate = 8000; }},
        {"source position 1 has id 11 in one, 12 in the other",
         [](velkio_TransferFunction *t) { t->positions->list[1]->id = 12; }},
        {"disagree on the coordinates of source position id 10",
         [](velkio_TransferFunction *t) { t->positions->list[0]->coords[2] += 0.001f; }},
        {"disagree on the coordinates of microphone id 2",
         [](velkio_TransferFunction *t) { t->microphones->list[2]->coords[0] = -1.0f; }},
    };
    for (const Case &c : cases) {
        TFHolder other(legacyRecord(2, 3, 8));
        c.change(other.tf);
        ASSERT_EQ(0, writeLoc(other.tf, sep)) << c.why;
        TF tf = nullptr;
        std::string err = readTF(loc.c_str(), sep.c_str(), &tf);
        EXPECT_EQ(nullptr, tf) << c.why;
        EXPECT_NE(std::string::npos, err.find(c.why)) << "logged: " << err;
        velkio_TransferFunction_delete(&tf);
    }
    // Rounding far below a millimetre is no disagreement.
    TFHolder close(legacyRecord(2, 3, 8));
    close.tf->positions->list[0]->coords[0] += 1e-6f;
    ASSERT_EQ(0, writeLoc(close.tf, sep));
    TF tf = nullptr;
    readTF(loc.c_str(), sep.c_str(), &tf);
    EXPECT_NE(nullptr, tf);
    velkio_TransferFunction_delete(&tf);
}

TEST(LegacyTransferFunction, WriterRefusesRecordsNoFileCanHoldAndKeepsTheTarget)
{
    TempDir dir;
    std::string path = dir.file("loc.tff");
    ASSERT_TRUE(velktest::writeFile(path, "old contents"));
    struct Case {
        const char *why;
        void (*change)(velkio_TransferFunction *);
    } cases[] = {
        {"no configuration", [](velkio_TransferFunction *t) { velkio_TransferFunction_setConfig(t, nullptr); }},
        {"impossible nfft (12", [](velkio_TransferFunction *t) { t->config->nfft = 12; }},
        {"impossible sampling rate", [](velkio_TransferFunction *t) { t->config->samplingRate = 0; }},
        {"0 matrices for 2 source positions", [](velkio_TransferFunction *t) { velkio_TransferFunction_setLocTFs(t, nullptr); }},
        {"matrix 0 is missing or not 3 x 5",
         [](velkio_TransferFunction *t) { velkio_TransferFunction_setLocTFs(t, velktest::legacyMatrices(0, 2, 3, 16)); }},
        {"channel 7 has no microphone position",
         [](velkio_TransferFunction *t) {
             int ch[] = {0, 7, 1};
             velkio_Position_setChannels(t->positions->list[0], ch, 3);
             t->positions->list[0]->useChannels = 1;
         }},
        {"source position id -4 out of range", [](velkio_TransferFunction *t) { t->positions->list[1]->id = -4; }},
        {"not a finite number", [](velkio_TransferFunction *t) { t->microphones->list[0]->coords[1] = INFINITY; }},
        {"impossible number of source positions (0)",
         [](velkio_TransferFunction *t) { velkio_TransferFunction_setPositions(t, nullptr); }},
        {"the transfer function of source position 11 holds a value that is not a finite number (row 2, bin 3)",
         [](velkio_TransferFunction *t) { t->locTFs[1]->data[2 * 5 + 3] = velkio_Complex(0, NAN); }},
    };
    for (const Case &c : cases) {
        TFHolder r(legacyRecord(2, 3, 8));
        c.change(r.tf);
        testing::internal::CaptureStderr();
        EXPECT_EQ(1, writeLoc(r.tf, path)) << c.why;
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(std::string::npos, err.find(c.why)) << "logged: " << err;
        EXPECT_NE(std::string::npos, err.find("not written")) << err;
    }
    TFHolder r(legacyRecord(2, 3, 8));
    testing::internal::CaptureStderr();
    EXPECT_EQ(1, velkio_Compat_TransferFunction_writelibvelkio2(r.tf, 5, path.c_str()));
    EXPECT_EQ(1, writeLoc(r.tf, dir.file("no/such/dir.tff")));
    EXPECT_EQ(1, velkio_Compat_SeparationMatrix_writelibvelkio2(nullptr, path.c_str()));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::vector<std::string>{"loc.tff"}, listDir(dir.path()));
    std::vector<unsigned char> kept = velktest::readFile(path);
    EXPECT_EQ("old contents", std::string(kept.begin(), kept.end()));
}

namespace {

// An archive of `r` and a separation-matrix file made from `sm` (whose
// separation TFs become the matrices), in `dir`.
void makeMatrixAndArchive(const TempDir &dir, const velkio_TransferFunction *r,
                          velkio_TransferFunction *sm)
{
    ASSERT_EQ(0, velkio_TransferFunction_write(r, dir.file("tf.zip").c_str(), nullptr));
    ASSERT_EQ(0, velkio_Compat_SeparationMatrix_writelibvelkio2(sm, dir.file("mat.smf").c_str()));
}

} // namespace

TEST(LegacySeparationMatrix, ReadWithItsArchiveCarriesTheMatricesAsSeparationTFs)
{
    TempDir dir;
    TFHolder r(legacyRecord(3, 4, 8));
    velkio_Neighbors *nbrs = velkio_Neighbors_new(r.tf->positions);
    ASSERT_EQ(0, velkio_Neighbors_calcNeighbors(nbrs, 1, 1, 3.0));
    velkio_TransferFunction_setNeighbors(r.tf, nbrs);
    TFHolder sm(legacyRecord(3, 4, 8));
    velkio_TransferFunction_setSepTFs(sm.tf, velktest::legacyMatrices(2, 3, 4, 8));
    makeMatrixAndArchive(dir, r.tf, sm.tf);

    TF got = nullptr;
    EXPECT_EQ("", readSM(dir.file("mat.smf"), dir.file("tf.zip"), &got));
    TFHolder h(got);
    ASSERT_NE(nullptr, got);
    EXPECT_EQ(nullptr, got->archive);
    EXPECT_EQ(0, got->nLocTFs);
    EXPECT_EQ(nullptr, got->locTFs);
    EXPECT_STREQ("tsp", got->positions->type); // the archive's own list
    ASSERT_NE(nullptr, got->neighbors);
    EXPECT_EQ(3, got->neighbors->count);
    velktest::expectSameMatrices(sm.tf->sepTFs, 3, got->sepTFs, got->nSepTFs, "matrix");

    std::string out = dir.file("out.zip");
    ASSERT_EQ(0, velkio_TransferFunction_write(got, out.c_str(), "separation matrix"));
    TFHolder back(velkio_TransferFunction_fromFile(out.c_str(), "separation matrix"));
    ASSERT_NE(nullptr, back.tf);
    velktest::expectSameMatrices(sm.tf->sepTFs, 3, back.tf->sepTFs, back.tf->nSepTFs, "out");
}

TEST(LegacySeparationMatrix, ArchivesWithChannelListsAndPolarPositionsArePaired)
{
    TempDir dir;
    TFHolder r(legacyRecord(2, 4, 8, false));
    for (int i = 0; i < 2; i++) {
        velkio_Position *p = r.tf->positions->list[i];
        p->isCartesian = 0;
        p->coords[0] = 30.0f * (float)i + 7.0f; // azimuth
        p->coords[1] = 10.0f;                   // elevation
        p->coords[2] = 1.5f;                    // radius
    }
    int ch[] = {2, 0};
    velkio_Position_setChannels(r.tf->positions->list[0], ch, 2);
    r.tf->positions->list[0]->useChannels = 1;
    velkio_TransferFunction_setLocTFs(r.tf, velktest::legacyMatrices(0, 2, 2, 8));
    velkio_TransferFunction_setSepTFs(r.tf, velktest::legacyMatrices(2, 2, 2, 8));
    makeMatrixAndArchive(dir, r.tf, r.tf);
    TF got = nullptr;
    EXPECT_EQ("", readSM(dir.file("mat.smf"), dir.file("tf.zip"), &got));
    ASSERT_NE(nullptr, got);
    velktest::expectSameMatrices(r.tf->sepTFs, 2, got->sepTFs, got->nSepTFs, "channels");
    velkio_TransferFunction_delete(&got);

    // A matrix made for all four microphones does not fit.
    TFHolder all(legacyRecord(2, 4, 8));
    for (int i = 0; i < 2; i++)
        memcpy(all.tf->positions->list[i]->coords, r.tf->positions->list[i]->coords, 12);
    for (int i = 0; i < 2; i++)
        all.tf->positions->list[i]->isCartesian = 0;
    ASSERT_EQ(0, velkio_Compat_SeparationMatrix_writelibvelkio2(all.tf, dir.file("mat.smf").c_str()));
    std::string err = readSM(dir.file("mat.smf"), dir.file("tf.zip"), &got);
    EXPECT_EQ(nullptr, got);
    EXPECT_NE(std::string::npos, err.find("holds 4 microphones; its archive")) << err;
}

TEST(LegacySeparationMatrix, MatricesThatDoNotFitTheirArchiveAreRefused)
{
    TempDir dir;
    TFHolder r(legacyRecord(3, 4, 8));
    ASSERT_EQ(0, velkio_TransferFunction_write(r.tf, dir.file("tf.zip").c_str(), nullptr));
    ASSERT_EQ(0, velkio_TransferFunction_write(r.tf, dir.file("sm.zip").c_str(), "separation matrix"));
    struct Case {
        int nSources, nMics, nfft, rate;
        void (*change)(velkio_TransferFunction *);
        const char *why;
    } cases[] = {
        {2, 4, 8, 16000, nullptr, "holds 2 source positions; its archive"},
        {3, 3, 8, 16000, nullptr, "holds 3 microphones; its archive"},
        {3, 4, 16, 16000, nullptr, "has nfft 16 and sampling rate 16000; its archive"},
        {3, 4, 8, 48000, nullptr, "has nfft 8 and sampling rate 48000"},
        {3, 4, 8, 16000, [](velkio_TransferFunction *t) { t->positions->list[2]->id = 99; },
         "source position 2 has id 99 in one, 12 in the other"},
        {3, 4, 8, 16000, [](velkio_TransferFunction *t) { t->positions->list[1]->coords[1] = 9.0f; },
         "disagree on the coordinates of source position id 11"},
        {3, 4, 8, 16000, [](velkio_TransferFunction *t) { t->microphones->list[3]->id = 9; },
         "microphone 3 is channel 9 in one, 3 in the other"},
        {3, 4, 8, 16000, [](velkio_TransferFunction *t) { t->microphones->list[0]->coords[2] = 2.0f; },
         "disagree on the coordinates of microphone id 0"},
    };
    for (const Case &c : cases) {
        TFHolder sm(legacyRecord(c.nSources, c.nMics, c.nfft, false, c.rate));
        if (c.change != nullptr)
            c.change(sm.tf);
        velkio_TransferFunction_setSepTFs(sm.tf, velktest::legacyMatrices(2, c.nSources, c.nMics, c.nfft));
        ASSERT_EQ(0, velkio_Compat_SeparationMatrix_writelibvelkio2(sm.tf, dir.file("mat.smf").c_str()));
        TF got = nullptr;
        std::string err = readSM(dir.file("mat.smf"), dir.file("tf.zip"), &got);
        EXPECT_EQ(nullptr, got) << c.why;
        EXPECT_NE(std::string::npos, err.find(c.why)) << "logged: " << err;
        velkio_TransferFunction_delete(&got);
    }

    // The right matrix with a wrong partner: a transfer-function file, a
    // missing archive, an archive of another label, a legacy file as archive.
    ASSERT_EQ(0, velkio_Compat_SeparationMatrix_writelibvelkio2(r.tf, dir.file("mat.smf").c_str()));
    ASSERT_EQ(0, writeLoc(r.tf, dir.file("loc.tff")));
    TF got = nullptr;
    std::string err = readSM(dir.file("loc.tff"), dir.file("tf.zip"), &got);
    EXPECT_NE(std::string::npos, err.find("a transfer-function file where a separation-matrix file is expected"));
    err = readSM(dir.file("mat.smf"), dir.file("none.zip"), &got);
    EXPECT_NE(std::string::npos, err.find("can not read the transfer-function archive"));
    err = readSM(dir.file("mat.smf"), dir.file("sm.zip"), &got);
    EXPECT_NE(std::string::npos, err.find("is not [transfer function]"));
    err = readSM(dir.file("mat.smf"), dir.file("mat.smf"), &got);
    EXPECT_NE(std::string::npos, err.find("is not in zip format"));
    EXPECT_EQ(nullptr, got);
    testing::internal::CaptureStderr();
    EXPECT_EQ(nullptr, velkio_Compat_SeparationMatrix_readlibvelkio2(nullptr, "x.zip"));
    testing::internal::GetCapturedStderr();
    // The good pair still reads.
    readSM(dir.file("mat.smf"), dir.file("tf.zip"), &got);
    EXPECT_NE(nullptr, got);
    velkio_TransferFunction_delete(&got);
}
