// Transfer-function archives: what is written (members, order, texts),
// round trips, the main program's later edits, failed writes that must
// leave the target alone, and the loader's refusals.
#include "velkio.h"

#include "archive_test_util.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <cmath>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using velktest::memberNames;
using velktest::TempDir;

const int sourceIds[] = {0, 5, 12};
const int nSources = 3;
const int nMics = 4;
const int nfft = 8; // five bins per microphone

velkio_Complex tfValue(int kind, int source, int row, int col)
{
    return velkio_Complex(0.5f * (float)(kind + 1) + (float)source * 100.0f + (float)row * 10.0f + (float)col,
                          -(float)col * 0.125f - (float)row - (float)kind * 0.5f);
}

velkio_Matrix **tfVector(int kind, int rows = nMics, int cols = nfft / 2 + 1)
{
    velkio_Matrix **v = (velkio_Matrix **)calloc(nSources, sizeof *v);
    for (int s = 0; s < nSources; s++) {
        v[s] = velkio_Matrix_new("complex", rows, cols);
        for (int r = 0; r < rows; r++)
            for (int c = 0; c < cols; c++)
                velkio_Matrix_setValueComplex(v[s], r, c, tfValue(kind, s, r, c));
    }
    return v;
}

velkio_Positions *sources()
{
    velkio_Positions *p = velkio_Positions_new("tsp", 0, 0, 0);
    for (int s = 0; s < nSources; s++) {
        float polar[3] = {(float)(s * 5), 10.0f, 1.5f};
        std::string path = "/data/rec/tsp_" + std::to_string(sourceIds[s]) + ".wav";
        velkio_Positions_append(p, velkio_Position_new(sourceIds[s], 0, polar, path.c_str()));
    }
    return p;
}

velkio_Positions *microphones()
{
    velkio_Positions *p = velkio_Positions_new("microphone", 0, 0, 0);
    for (int m = 0; m < nMics; m++) {
        float xyz[3] = {0.1f * (float)m, -0.05f, 0.25f};
        velkio_Positions_append(p, velkio_Position_new(m, 1, xyz, nullptr));
    }
    return p;
}

velkio_Config *config()
{
    velkio_Config *c = velkio_Config_new();
    velkio_Config_setComment(c, "archive test");
    velkio_Config_setSynchronousAverage(c, 8);
    velkio_Config_setTSPpath(c, "/data/tsp16.wav");
    velkio_Config_setTSPoffset(c, 16384);
    velkio_Config_setTSPlength(c, 16384);
    velkio_Config_setPeakSearchFrom(c, 1);
    velkio_Config_setPeakSearchTo(c, 4096);
    velkio_Config_setNfft(c, nfft);
    velkio_Config_setSamplingRate(c, 16000);
    velkio_Config_setSignalMax(c, 32768);
    return c;
}

// A complete record; `kinds` bit 0: localization, bit 1: separation.
velkio_TransferFunction *record(int kinds = 3)
{
    velkio_Positions *src = sources();
    velkio_Neighbors *nbrs = velkio_Neighbors_new(src);
    velkio_Neighbors_calcNeighbors(nbrs, 1, 2, 0.5);
    velkio_TransferFunction *tf = velkio_TransferFunction_fromData(src, microphones(), config(), nbrs);
    if (kinds & 1)
        velkio_TransferFunction_setLocTFs(tf, tfVector(0));
    if (kinds & 2)
        velkio_TransferFunction_setSepTFs(tf, tfVector(1));
    return tf;
}

std::string memberText(const std::string &path, const std::string &name)
{
    std::string out;
    velktest::runCommand("unzip -p '" + path + "' '" + name + "'", &out);
    return out;
}

std::vector<std::string> dirEntries(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    while (d != nullptr) {
        dirent *e = readdir(d);
        if (e == nullptr)
            break;
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    }
    if (d != nullptr)
        closedir(d);
    return names;
}

velkio_TransferFunction *loadQuietly(const std::string &path, const char *label,
                                     std::string *log = nullptr)
{
    testing::internal::CaptureStderr();
    velkio_TransferFunction *tf = velkio_TransferFunction_fromFile(path.c_str(), label);
    std::string text = testing::internal::GetCapturedStderr();
    if (log != nullptr)
        *log = text;
    return tf;
}

int writeQuietly(const velkio_TransferFunction *tf, const std::string &path,
                 std::string *log = nullptr)
{
    testing::internal::CaptureStderr();
    int r = velkio_TransferFunction_write(tf, path.c_str(), nullptr);
    std::string text = testing::internal::GetCapturedStderr();
    if (log != nullptr)
        *log = text;
    return r;
}

// Edits a written archive with libzip: removes a member, or replaces or
// adds one with the given bytes.
void editMember(const std::string &path, const std::string &name, const std::string *bytes)
{
    int err = 0;
    zip_t *za = zip_open(path.c_str(), ZIP_CREATE, &err);
    ASSERT_NE(za, nullptr);
    zip_int64_t index = zip_name_locate(za, name.c_str(), 0);
    if (bytes == nullptr) {
        ASSERT_GE(index, 0);
        ASSERT_EQ(zip_delete(za, (zip_uint64_t)index), 0);
    } else {
        void *copy = malloc(bytes->size() + 1);
        memcpy(copy, bytes->data(), bytes->size());
        zip_source_t *src = zip_source_buffer(za, copy, bytes->size(), 1);
        ASSERT_NE(src, nullptr);
        if (index >= 0)
            ASSERT_EQ(zip_file_replace(za, (zip_uint64_t)index, src, 0), 0);
        else
            ASSERT_GE(zip_file_add(za, name.c_str(), src, 0), 0);
    }
    ASSERT_EQ(zip_close(za), 0);
}

void expectSamePositions(const velkio_Positions *a, const velkio_Positions *b)
{
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(a->count, b->count);
    EXPECT_STREQ(a->type, b->type);
    for (int i = 0; i < a->count; i++) {
        const velkio_Position *p = a->list[i], *q = b->list[i];
        EXPECT_EQ(p->id, q->id);
        EXPECT_EQ(p->isCartesian != 0, q->isCartesian != 0);
        for (int k = 0; k < 3; k++)
            EXPECT_FLOAT_EQ(p->coords[k], q->coords[k]);
        EXPECT_STREQ(p->path ? p->path : "", q->path ? q->path : "");
        EXPECT_EQ(p->useChannels, q->useChannels);
        ASSERT_EQ(p->useChannels ? p->numChannels : 0, q->useChannels ? q->numChannels : 0);
        for (int k = 0; p->useChannels && k < p->numChannels; k++)
            EXPECT_EQ(p->channels[k], q->channels[k]);
    }
}

void expectTFs(velkio_Matrix **v, int count, int kind)
{
    ASSERT_NE(v, nullptr);
    ASSERT_EQ(count, nSources);
    for (int s = 0; s < nSources; s++) {
        ASSERT_NE(v[s], nullptr);
        ASSERT_EQ(v[s]->rows, nMics);
        ASSERT_EQ(v[s]->cols, nfft / 2 + 1);
        for (int r = 0; r < nMics; r++)
            for (int c = 0; c <= nfft / 2; c++) {
                velkio_Complex got;
                ASSERT_EQ(velkio_Matrix_getValueComplex(v[s], r, c, &got), 0);
                EXPECT_EQ(got, tfValue(kind, s, r, c)) << s << " " << r << " " << c;
            }
    }
}

// Writes a complete archive to dir/tf.zip and returns its path.
std::string writeArchive(const TempDir &dir, int kinds = 3)
{
    velkio_TransferFunction *tf = record(kinds);
    std::string path = dir.file("tf.zip");
    EXPECT_EQ(velkio_TransferFunction_write(tf, path.c_str(), nullptr), 0);
    velkio_TransferFunction_delete(&tf);
    return path;
}

} // namespace

TEST(Archive, MembersAreExactlyTheLayoutInOrder)
{
    TempDir dir;
    std::string path = writeArchive(dir);
    std::vector<std::string> want = {
        "transferFunction/",
        "transferFunction/whatisthis.txt",
        "transferFunction/source.xml",
        "transferFunction/microphones.xml",
        "transferFunction/localization/",
        "transferFunction/separation/",
        "transferFunction/localization/tf00000.mat",
        "transferFunction/localization/tf00005.mat",
        "transferFunction/localization/tf00012.mat",
        "transferFunction/separation/tf00000.mat",
        "transferFunction/separation/tf00005.mat",
        "transferFunction/separation/tf00012.mat",
    };
    EXPECT_EQ(memberNames(path), want);
    EXPECT_EQ(memberText(path, "transferFunction/whatisthis.txt").rfind("transfer function\n", 0), 0u);
    EXPECT_EQ(dirEntries(dir.path()), std::vector<std::string>{"tf.zip"});

    // The file gets the usual mode of a new file, not a temporary's 0600.
    mode_t mask = umask(022);
    umask(mask);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);

    // unzip lists the same members.
    std::string listing;
    ASSERT_EQ(velktest::runCommand("unzip -Z1 '" + path + "'", &listing), 0);
    std::string joined;
    for (const auto &n : want)
        joined += n + "\n";
    EXPECT_EQ(listing, joined);

    // Unpacked, nothing is writable by others: files 0644, directories
    // 0755, as Unix modes in the external attributes.
    zip_t *za = zip_open(path.c_str(), ZIP_RDONLY, nullptr);
    ASSERT_NE(za, nullptr);
    for (zip_uint64_t i = 0; i < want.size(); i++) {
        zip_uint8_t system = 0;
        zip_uint32_t attributes = 0;
        ASSERT_EQ(zip_file_get_external_attributes(za, i, 0, &system, &attributes), 0);
        bool directory = want[i].back() == '/';
        EXPECT_EQ(system, ZIP_OPSYS_UNIX) << want[i];
        EXPECT_EQ(attributes >> 16, directory ? 040755u : 0100644u) << want[i];
    }
    zip_discard(za);
}

TEST(Archive, LabelAndAbsentKinds)
{
    TempDir dir;
    velkio_TransferFunction *tf = record(1);
    std::string path = dir.file("loc.zip");
    ASSERT_EQ(velkio_TransferFunction_write(tf, path.c_str(), "separation matrix"), 0);
    velkio_TransferFunction_delete(&tf);
    std::vector<std::string> names = memberNames(path);
    ASSERT_EQ(names.size(), 9u);
    EXPECT_EQ(names[5], "transferFunction/separation/");
    EXPECT_EQ(names[8], "transferFunction/localization/tf00012.mat");
    EXPECT_EQ(memberText(path, "transferFunction/whatisthis.txt").rfind("separation matrix\n", 0), 0u);

    std::string log;
    EXPECT_EQ(loadQuietly(path, "transfer function", &log), nullptr);
    EXPECT_NE(log.find("is not [transfer function]"), std::string::npos) << log;
    tf = loadQuietly(path, "separation matrix", &log);
    ASSERT_NE(tf, nullptr) << log;
    expectTFs(tf->locTFs, tf->nLocTFs, 0);
    EXPECT_EQ(tf->sepTFs, nullptr);
    EXPECT_EQ(tf->nSepTFs, 0);
    velkio_TransferFunction_delete(&tf);
    tf = loadQuietly(path, nullptr); // no label: any text is accepted
    EXPECT_NE(tf, nullptr);
    velkio_TransferFunction_delete(&tf);

    // No TF at all: still a complete archive with both directories.
    tf = record(0);
    ASSERT_EQ(velkio_TransferFunction_write(tf, path.c_str(), nullptr), 0);
    velkio_TransferFunction_delete(&tf);
    EXPECT_EQ(memberNames(path).size(), 6u);
    tf = loadQuietly(path, "transfer function", &log);
    ASSERT_NE(tf, nullptr) << log;
    EXPECT_EQ(tf->nLocTFs + tf->nSepTFs, 0);
    velkio_TransferFunction_delete(&tf);
}

TEST(Archive, RoundTripKeepsDocumentsAndEveryMatrixValue)
{
    TempDir dir;
    velkio_TransferFunction *orig = record();
    // The first source carries a channel list: the matrices then have one
    // row per listed channel, whatever the microphone list holds.
    int channels[] = {0, 2, 3, 1};
    velkio_Position_setChannels(orig->positions->list[0], channels, 4);
    for (int id = nMics; id < nMics + 2; id++)
        velkio_Positions_append(orig->microphones, velkio_Position_new(id, 1, nullptr, nullptr));
    std::string path = dir.file("tf.zip");
    ASSERT_EQ(velkio_TransferFunction_write(orig, path.c_str(), nullptr), 0);

    std::string log;
    velkio_TransferFunction *tf = loadQuietly(path, "transfer function", &log);
    ASSERT_NE(tf, nullptr) << log;
    EXPECT_NE(tf->archive, nullptr);
    expectSamePositions(orig->positions, tf->positions);
    expectSamePositions(orig->microphones, tf->microphones);
    ASSERT_NE(tf->config, nullptr);
    EXPECT_STREQ(tf->config->comment, "archive test");
    EXPECT_STREQ(tf->config->tspPath, "/data/tsp16.wav");
    EXPECT_EQ(tf->config->synchronousAverage, 8);
    EXPECT_EQ(tf->config->tspOffset, 16384);
    EXPECT_EQ(tf->config->tspLength, 16384);
    EXPECT_EQ(tf->config->peakSearchFrom, 1);
    EXPECT_EQ(tf->config->peakSearchTo, 4096);
    EXPECT_EQ(tf->config->nfft, nfft);
    EXPECT_EQ(tf->config->samplingRate, 16000);
    EXPECT_EQ(tf->config->signalMax, 32768);
    ASSERT_NE(tf->neighbors, nullptr);
    EXPECT_EQ(tf->neighbors->positions, tf->positions);
    ASSERT_EQ(tf->neighbors->count, orig->neighbors->count);
    for (int i = 0; i < tf->neighbors->count; i++) {
        const velkio_NeighborList &a = orig->neighbors->lists[i], &b = tf->neighbors->lists[i];
        EXPECT_EQ(a.id, b.id);
        ASSERT_EQ(a.count, b.count);
        for (int k = 0; k < a.count; k++)
            EXPECT_EQ(a.ids[k], b.ids[k]);
    }
    expectTFs(tf->locTFs, tf->nLocTFs, 0);
    expectTFs(tf->sepTFs, tf->nSepTFs, 1);

    // A loaded record writes an identical set of members again.
    std::string again = dir.file("again.zip");
    ASSERT_EQ(velkio_TransferFunction_write(tf, again.c_str(), nullptr), 0);
    EXPECT_EQ(memberNames(again), memberNames(path));
    for (const auto &name : memberNames(path))
        EXPECT_EQ(memberText(again, name), memberText(path, name)) << name;
    velkio_TransferFunction_delete(&tf);
    velkio_TransferFunction_delete(&orig);
}

// The main program hands the library a README and the calcTF annotations
// of its cut ranges; the archive stays loadable, and an annotation of an
// id the list does not hold is dropped.
TEST(Archive, MainProgramAnnotationsKeepItLoadable)
{
    TempDir dir;
    std::string path = dir.file("tf.zip");
    velkio_TransferFunction *orig = record();
    const char readme[] = "Normalization Type \n";
    velkio_ArchiveMember member = {"transferFunction/README", readme, sizeof readme - 1};
    velkio_CalcTF notes[] = {{5, "localization", 531.0f, 0, 0},
                             {5, "separation", 12.5f, 3, 515},
                             {99, "localization", 1.0f, 0, 0}};
    ASSERT_EQ(velkio_TransferFunction_writeAnnotated(orig, path.c_str(), nullptr, &member, 1,
                                                     notes, 3),
              0);

    std::string log;
    velkio_TransferFunction *tf = loadQuietly(path, "transfer function", &log);
    ASSERT_NE(tf, nullptr) << log;
    ASSERT_EQ(tf->positions->count, nSources);
    EXPECT_EQ(tf->positions->list[1]->id, 5);
    expectSamePositions(tf->positions, orig->positions);
    expectTFs(tf->locTFs, tf->nLocTFs, 0);
    zip_int64_t readmeIndex = zip_name_locate(tf->archive, "transferFunction/README", 0);
    EXPECT_GE(readmeIndex, 0);
    std::string xml = memberText(path, "transferFunction/source.xml");
    EXPECT_NE(xml.find("<calcTF type=\"localization\" offset=\"531.000000\"/>"
                       "<calcTF type=\"separation\" offset=\"12.500000\" cutIndexFrom=\"3\" "
                       "cutIndexTo=\"515\"/></position>"),
              std::string::npos)
        << xml;
    EXPECT_EQ(xml.find("offset=\"1.000000\""), std::string::npos) << xml;
    velkio_TransferFunction_delete(&tf);
    velkio_TransferFunction_delete(&orig);
}

TEST(Archive, FailedWritesLeaveTheTargetUntouchedAndNoTemporaryFile)
{
    TempDir dir;
    std::string path = writeArchive(dir);
    std::vector<unsigned char> before = velktest::readFile(path);
    ASSERT_FALSE(before.empty());
    std::string log;

    // A missing matrix in a kind that is present.
    velkio_TransferFunction *tf = record();
    velkio_Matrix_delete(&tf->sepTFs[1]);
    EXPECT_EQ(writeQuietly(tf, path, &log), 1);
    EXPECT_NE(log.find("separation TF of source position 5 is missing"), std::string::npos) << log;
    velkio_TransferFunction_delete(&tf);

    // Matrices of two shapes.
    tf = record(1);
    velkio_TransferFunction_setSepTFs(tf, tfVector(1, nMics, 3));
    EXPECT_EQ(writeQuietly(tf, path, &log), 1);
    EXPECT_NE(log.find("others are"), std::string::npos) << log;
    velkio_TransferFunction_delete(&tf);

    // A count without matrices (a record loaded without them), and a
    // vector set while the record had no source positions yet.
    tf = record(0);
    tf->nLocTFs = nSources;
    EXPECT_EQ(writeQuietly(tf, path, &log), 1);
    velkio_TransferFunction_delete(&tf);
    tf = velkio_TransferFunction_new();
    velkio_Matrix **v = (velkio_Matrix **)calloc(1, sizeof *v);
    velkio_TransferFunction_setLocTFs(tf, v);
    EXPECT_EQ(tf->nLocTFs, 0);
    velkio_TransferFunction_setPositions(tf, sources());
    EXPECT_EQ(writeQuietly(tf, path, &log), 1);
    EXPECT_NE(log.find("0 matrices for 3 source positions"), std::string::npos) << log;
    velkio_TransferFunction_delete(&tf);

    // Two source positions with one id would need one member name twice.
    tf = record();
    tf->positions->list[2]->id = 5;
    EXPECT_EQ(writeQuietly(tf, path, &log), 1);
    EXPECT_NE(log.find("tf00005.mat"), std::string::npos) << log;
    velkio_TransferFunction_delete(&tf);

    // A value that is not a finite number, in either part.
    for (velkio_Complex bad : {velkio_Complex(NAN, 0), velkio_Complex(1, -INFINITY)}) {
        tf = record();
        tf->sepTFs[2]->data[7] = bad; // row 1, bin 2
        EXPECT_EQ(writeQuietly(tf, path, &log), 1);
        EXPECT_NE(log.find("separation TF of source position 12 holds a value that is not a "
                           "finite number (row 1, bin 2)"),
                  std::string::npos)
            << log;
        velkio_TransferFunction_delete(&tf);
    }

    EXPECT_EQ(velktest::readFile(path), before);
    EXPECT_EQ(dirEntries(dir.path()), std::vector<std::string>{"tf.zip"});

    // A failure after the archive was built: the target is a directory
    // that cannot be replaced by a file.
    std::string sub = dir.file("sub.zip");
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    tf = record();
    EXPECT_EQ(writeQuietly(tf, sub, &log), 1);
    EXPECT_EQ(dirEntries(dir.path()).size(), 2u) << "temporary file left behind";
    // A directory that does not exist.
    EXPECT_EQ(writeQuietly(tf, dir.file("none/tf.zip"), &log), 1);
    EXPECT_NE(log.find("none/tf.zip"), std::string::npos) << log;
    // An unwritable directory (meaningful only without root's rights).
    if (geteuid() != 0) {
        ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
        EXPECT_EQ(writeQuietly(tf, path, &log), 1);
        ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
        EXPECT_EQ(velktest::readFile(path), before);
    }
    velkio_TransferFunction_delete(&tf);
    EXPECT_EQ(dirEntries(dir.path()).size(), 2u);
}

TEST(Archive, SettersTakeOwnershipAndCountSourcePositions)
{
    velkio_TransferFunction *tf = record(0);
    velkio_TransferFunction_setLocTFs(tf, tfVector(0));
    EXPECT_EQ(tf->nLocTFs, nSources);
    velkio_TransferFunction_setLocTFs(tf, tfVector(0)); // the first set is freed
    EXPECT_EQ(tf->nLocTFs, nSources);
    velkio_TransferFunction_setLocTFs(tf, nullptr);
    EXPECT_EQ(tf->locTFs, nullptr);
    EXPECT_EQ(tf->nLocTFs, 0);
    // The checker's loader sets a null vector and then the counts itself.
    velkio_TransferFunction_setSepTFs(tf, nullptr);
    tf->nSepTFs = nSources;
    velkio_TransferFunction_setConfig(tf, config());
    velkio_TransferFunction_setMicrophones(tf, microphones());
    velkio_TransferFunction_setNeighbors(tf, nullptr);
    velkio_TransferFunction_setPositions(tf, tf->positions); // same list: kept
    EXPECT_EQ(tf->positions->count, nSources);
    velkio_TransferFunction_delete(&tf);
    EXPECT_EQ(tf, nullptr);
    velkio_TransferFunction_delete(&tf);
}

TEST(Archive, LoaderRefusesBrokenArchives)
{
    TempDir dir;
    std::string good = writeArchive(dir);
    std::vector<unsigned char> bytes = velktest::readFile(good);
    std::string log;

    EXPECT_EQ(loadQuietly(dir.file("missing.zip"), nullptr, &log), nullptr);
    EXPECT_NE(log.find("cannot find or open"), std::string::npos) << log;
    testing::internal::CaptureStderr();
    EXPECT_EQ(velkio_TransferFunction_fromFile(nullptr, nullptr), nullptr);
    testing::internal::GetCapturedStderr();

    std::string notZip = dir.file("not.zip");
    velktest::writeFile(notZip, "VELK binary transfer function\n");
    EXPECT_EQ(loadQuietly(notZip, nullptr, &log), nullptr);
    EXPECT_NE(log.find("not in zip format"), std::string::npos) << log;
    // A named pipe is refused at once, never waited on.
    std::string fifo = dir.file("fifo.zip");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(loadQuietly(fifo, nullptr, &log), nullptr);
    EXPECT_NE(log.find("is not a regular file"), std::string::npos) << log;

    // Truncated archives, from the first bytes to all but the last one.
    std::string cut = dir.file("cut.zip");
    for (size_t len : {(size_t)0, (size_t)4, (size_t)100, bytes.size() / 2, bytes.size() - 22,
                       bytes.size() - 1}) {
        velktest::writeFile(cut, bytes.data(), len);
        velkio_TransferFunction *tf = loadQuietly(cut, nullptr, &log);
        EXPECT_EQ(tf, nullptr) << "length " << len;
        EXPECT_NE(log.find("[E]"), std::string::npos);
        velkio_TransferFunction_delete(&tf);
    }

    struct Edit {
        const char *member;
        const char *expect; // part of the message
        std::string content;
        bool remove;
    };
    velkio_Matrix *small = velkio_Matrix_new("complex", 2, 2);
    size_t matSize = 0;
    unsigned char *mat = velkio_MatFile_encode(small, "tf", &matSize);
    std::string wrongShape((const char *)mat, matSize);
    free(mat);
    velkio_Matrix_delete(&small);
    std::string goodMat = memberText(good, "transferFunction/localization/tf00005.mat");
    ASSERT_FALSE(goodMat.empty());
    const Edit edits[] = {
        {"transferFunction/", "transferFunction/ not found", "", true},
        {"transferFunction/whatisthis.txt", "whatisthis.txt not found", "", true},
        {"transferFunction/source.xml", "source.xml not found", "", true},
        {"transferFunction/microphones.xml", "microphones.xml not found", "", true},
        {"transferFunction/whatisthis.txt", "is not [transfer function]", "TF\n", false},
        {"transferFunction/source.xml", "not a valid document", "<velk_xml><positions>", false},
        {"transferFunction/microphones.xml", "not a valid document", "<other/>", false},
        {"transferFunction/separation/tf00012.mat", "tf00012.mat not found while 2 other", "", true},
        {"transferFunction/localization/tf00000.mat", "expected 4 x 5", wrongShape, false},
        {"transferFunction/localization/tf00000.mat", "tf00000.mat: ", goodMat.substr(0, 200), false},
        {"transferFunction/localization/tf00000.mat", "not complex",
         goodMat.substr(0, 145) + '\0' + goodMat.substr(146), false},
        // Longer than its header calls for, and texts beyond their limits:
        // refused on the sizes alone.
        {"transferFunction/localization/tf00000.mat", "where its MAT-file header calls for",
         goodMat + std::string(64, '\0'), false},
        {"transferFunction/whatisthis.txt", "whatisthis.txt is too large",
         "transfer function\n" + std::string(VELKIO_MAX_LABEL_BYTES, ' '), false},
    };
    for (const Edit &e : edits) {
        std::string broken = dir.file("broken.zip");
        velktest::writeFile(broken, bytes.data(), bytes.size());
        editMember(broken, e.member, e.remove ? nullptr : &e.content);
        velkio_TransferFunction *tf = loadQuietly(broken, "transfer function", &log);
        EXPECT_EQ(tf, nullptr) << e.member << ": " << e.expect;
        EXPECT_NE(log.find(e.expect), std::string::npos) << log;
        EXPECT_NE(log.find("broken.zip"), std::string::npos) << log;
        velkio_TransferFunction_delete(&tf);
    }

    // A member whose stored data were damaged after writing: the
    // checksum (or the decompressor) catches it.
    std::string name = "transferFunction/localization/tf00005.mat";
    std::string whole(bytes.begin(), bytes.end());
    size_t at = whole.find(name);
    ASSERT_NE(at, std::string::npos);
    ASSERT_GE(at, 30u);
    size_t extra = (unsigned char)whole[at - 2] | ((unsigned char)whole[at - 1] << 8);
    size_t stored = (unsigned char)whole[at - 12] | ((unsigned char)whole[at - 11] << 8);
    size_t data = at + name.size() + extra;
    ASSERT_GT(stored, 4u);
    std::vector<unsigned char> damaged = bytes;
    damaged[data + stored / 2] ^= 0x5a;
    std::string bad = dir.file("damaged.zip");
    velktest::writeFile(bad, damaged.data(), damaged.size());
    EXPECT_EQ(loadQuietly(bad, nullptr, &log), nullptr);
    EXPECT_NE(log.find("tf00005.mat"), std::string::npos) << log;

    // Matrices that agree with each other but not with the configuration.
    velkio_TransferFunction *tf = record();
    velkio_Config_setNfft(tf->config, 16);
    std::string odd = dir.file("odd.zip");
    ASSERT_EQ(velkio_TransferFunction_write(tf, odd.c_str(), nullptr), 0);
    velkio_TransferFunction_delete(&tf);
    EXPECT_EQ(loadQuietly(odd, nullptr, &log), nullptr);
    EXPECT_NE(log.find("expected 4 x 9"), std::string::npos) << log;
}

// A load that holds one kind still reads, checks and shows the other.
TEST(Archive, KeepingOneKindReadsAndChecksTheOther)
{
    struct Seen {
        std::vector<std::pair<int, int>> order;
        bool valuesRight = true;
    };
    auto visit = [](int kind, int source, const velkio_Matrix *m, void *context) {
        Seen *seen = static_cast<Seen *>(context);
        seen->order.push_back({kind, source});
        for (int r = 0; r < m->rows; r++)
            for (int c = 0; c < m->cols; c++)
                if (m->data[r * m->cols + c] != tfValue(kind, source, r, c))
                    seen->valuesRight = false;
        return 0;
    };
    TempDir dir;
    for (int kinds : {3, 2}) {
        std::string path = writeArchive(dir, kinds);
        Seen seen;
        velkio_TransferFunction *tf = velkio_TransferFunction_fromFileKeeping(
            path.c_str(), "transfer function", VELKIO_TF_KEEP_ONE, visit, &seen);
        ASSERT_NE(tf, nullptr);
        // Localization TFs when there are any, else the separation TFs.
        expectTFs(kinds == 3 ? tf->locTFs : tf->sepTFs, kinds == 3 ? tf->nLocTFs : tf->nSepTFs,
                  kinds == 3 ? 0 : 1);
        EXPECT_EQ(kinds == 3 ? tf->nSepTFs : tf->nLocTFs, 0);
        EXPECT_EQ(kinds == 3 ? tf->sepTFs : tf->locTFs, nullptr);
        std::vector<std::pair<int, int>> want;
        for (int kind = 0; kind < 2; kind++)
            for (int s = 0; s < nSources; s++)
                if (kinds & (1 << kind))
                    want.push_back({kind == 0 ? VELKIO_TF_LOC : VELKIO_TF_SEP, s});
        EXPECT_EQ(seen.order, want);
        EXPECT_TRUE(seen.valuesRight);
        velkio_TransferFunction_delete(&tf);
    }

    // A damaged member of the kind not held fails the load as it would
    // the full load.
    std::string path = writeArchive(dir, 3);
    std::string cut = memberText(path, "transferFunction/separation/tf00012.mat");
    cut.resize(cut.size() / 2);
    editMember(path, "transferFunction/separation/tf00012.mat", &cut);
    testing::internal::CaptureStderr();
    velkio_TransferFunction *tf = velkio_TransferFunction_fromFileKeeping(
        path.c_str(), "transfer function", VELKIO_TF_KEEP_LOC, nullptr, nullptr);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(tf, nullptr);
    EXPECT_NE(log.find("tf00012.mat"), std::string::npos) << log;
}

// Independent readers of the members: unzip, scipy and xmllint.
TEST(Archive, ExternalToolsReadEveryMember)
{
    TempDir dir;
    std::string path = writeArchive(dir);
    std::string out;
    for (const char *doc : {"source.xml", "microphones.xml"}) {
        std::string cmd = "unzip -p '" + path + "' transferFunction/" + doc +
                          " | xmllint --noout - 2>&1";
        EXPECT_EQ(velktest::runCommand(cmd, &out), 0) << doc << ": " << out;
    }
    if (!velktest::haveScipy())
        GTEST_SKIP() << "/usr/bin/python3 with scipy not available";
    std::string script =
        "import sys, io, subprocess, numpy as np, scipy.io as sio\n"
        "path = sys.argv[1]\n"
        "ids = [0, 5, 12]\n"
        "for kind, name in enumerate(['localization', 'separation']):\n"
        "    for s, i in enumerate(ids):\n"
        "        member = 'transferFunction/%s/tf%05d.mat' % (name, i)\n"
        "        data = subprocess.run(['unzip', '-p', path, member], check=True,\n"
        "                              stdout=subprocess.PIPE).stdout\n"
        "        a = sio.loadmat(io.BytesIO(data))['tf']\n"
        "        assert a.dtype == np.complex64, (member, a.dtype)\n"
        "        assert a.shape == (4, 5), (member, a.shape)\n"
        "        for r in range(4):\n"
        "            for c in range(5):\n"
        "                want = complex(np.float32(0.5 * (kind + 1) + s * 100 + r * 10 + c),\n"
        "                               np.float32(-c * 0.125 - r - kind * 0.5))\n"
        "                assert a[r, c] == want, (member, r, c, a[r, c], want)\n"
        "print('ok')\n";
    velktest::writeFile(dir.file("check.py"), script);
    int status = velktest::runCommand("/usr/bin/python3 " + dir.file("check.py") + " '" + path + "' 2>&1", &out);
    EXPECT_EQ(status, 0) << out;
}

namespace {

// Makes the matrices of record() while the archive is written.
int fillTF(void *context, int index, velkio_Matrix *m)
{
    int kind = *(const int *)context;
    if (kind < 0)
        return 1;
    for (int r = 0; r < m->rows; r++)
        for (int c = 0; c < m->cols; c++)
            m->data[r * m->cols + c] = kind == 2 && index == 1 && r == 3
                                           ? velkio_Complex(1, NAN)
                                           : tfValue(kind, index, r, c);
    return 0;
}

} // namespace

TEST(Archive, MatricesMadeWhileWritingGiveTheSameArchive)
{
    TempDir dir;
    std::string held = writeArchive(dir);
    int kinds[2] = {0, 1};
    velkio_MatrixSource loc = {nMics, nfft / 2 + 1, fillTF, &kinds[0]};
    velkio_MatrixSource sep = {nMics, nfft / 2 + 1, fillTF, &kinds[1]};
    velkio_TransferFunction *tf = record();
    velkio_TransferFunction_setLocTFSource(tf, &loc);
    velkio_TransferFunction_setSepTFSource(tf, &sep);
    EXPECT_EQ(tf->locTFs, nullptr);
    std::string made = dir.file("made.zip");
    ASSERT_EQ(writeQuietly(tf, made), 0);
    std::vector<std::string> names = memberNames(held);
    EXPECT_EQ(memberNames(made), names);
    for (const std::string &name : names)
        EXPECT_EQ(memberText(made, name), memberText(held, name)) << name;

    // A matrix that cannot be made, or that holds a value that is not a
    // finite number, fails the write: the target stays as it was and no
    // temporary file is left; so does a shape unlike the other kind's.
    std::vector<unsigned char> before = velktest::readFile(made);
    std::string log;
    int failing = -1, notFinite = 2;
    for (int *kind : {&failing, &notFinite}) {
        sep.context = kind;
        velkio_TransferFunction_setSepTFSource(tf, &sep);
        EXPECT_EQ(writeQuietly(tf, made, &log), 1);
    }
    EXPECT_NE(log.find("separation TF of source position 5 holds a value that is not a "
                       "finite number (row 3, bin 0)"),
              std::string::npos)
        << log;
    sep.cols = nfft / 2;
    velkio_TransferFunction_setSepTFSource(tf, &sep);
    EXPECT_EQ(writeQuietly(tf, made, &log), 1);
    EXPECT_NE(log.find("others are"), std::string::npos) << log;
    EXPECT_EQ(velktest::readFile(made), before);
    EXPECT_EQ(dirEntries(dir.path()).size(), 2u);
    velkio_TransferFunction_delete(&tf);
}
