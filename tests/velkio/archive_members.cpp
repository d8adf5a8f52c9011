// Archives written with members of the caller's, and archives large
// enough that the writer's output buffer is flushed between a member's
// header and its completion, or is smaller than one member.
#include "velkio.h"

#include "archive_test_util.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>

namespace {

using velktest::memberNames;
using velktest::TempDir;

velkio_Complex valueOf(int kind, int s, int r, int c)
{
    return velkio_Complex((float)(kind * 100000 + s * 1000 + r) + 0.001f * (float)c,
                          -(float)(c + 1) - 0.5f * (float)s);
}

velkio_Matrix **matrices(int kind, int sources, int rows, int cols)
{
    velkio_Matrix **v = (velkio_Matrix **)calloc((size_t)sources, sizeof *v);
    for (int s = 0; s < sources; s++) {
        v[s] = velkio_Matrix_new("complex", rows, cols);
        for (int r = 0; r < rows; r++)
            for (int c = 0; c < cols; c++)
                v[s]->data[(size_t)r * cols + c] = valueOf(kind, s, r, c);
    }
    return v;
}

// A record of `sources` positions (ids 3, 4, ...) and `rows` microphones,
// nfft 2 * (cols - 1), with both kinds.
velkio_TransferFunction *record(int sources, int rows, int cols)
{
    velkio_Positions *src = velkio_Positions_new("impulse", 0, 0, 0);
    for (int s = 0; s < sources; s++) {
        float xyz[3] = {1.0f, (float)s, 0.0f};
        velkio_Positions_append(src, velkio_Position_new(s + 3, 1, xyz, "ir/a.wav"));
    }
    velkio_Positions *mic = velkio_Positions_new("microphone", 0, 0, 0);
    for (int m = 0; m < rows; m++) {
        float xyz[3] = {0.01f * (float)m, 0.0f, 0.0f};
        velkio_Positions_append(mic, velkio_Position_new(m, 1, xyz, nullptr));
    }
    velkio_Config *cfg = velkio_Config_new();
    velkio_Config_setNfft(cfg, 2 * (cols - 1));
    velkio_TransferFunction *tf = velkio_TransferFunction_fromData(src, mic, cfg, nullptr);
    velkio_TransferFunction_setLocTFs(tf, matrices(0, sources, rows, cols));
    velkio_TransferFunction_setSepTFs(tf, matrices(1, sources, rows, cols));
    return tf;
}

std::string member(const std::string &path, const std::string &name)
{
    zip_t *za = zip_open(path.c_str(), ZIP_RDONLY, nullptr);
    if (za == nullptr)
        return "<no archive>";
    std::string out = "<missing>";
    zip_stat_t st;
    zip_file_t *f = zip_stat(za, name.c_str(), 0, &st) == 0 ? zip_fopen(za, name.c_str(), 0)
                                                            : nullptr;
    if (f != nullptr) {
        out.assign((size_t)st.size, '\0');
        if (zip_fread(f, out.data(), st.size) != (zip_int64_t)st.size)
            out = "<short>";
        zip_fclose(f);
    }
    zip_discard(za);
    return out;
}

size_t entriesIn(const std::string &dir)
{
    size_t n = 0;
    DIR *d = opendir(dir.c_str());
    while (d != nullptr && readdir(d) != nullptr)
        n++;
    if (d != nullptr)
        closedir(d);
    return n - 2; // . and ..
}

int writeQuietly(const velkio_TransferFunction *tf, const std::string &path,
                 const velkio_ArchiveMember *members, int count, std::string *log)
{
    testing::internal::CaptureStderr();
    int r = velkio_TransferFunction_writeWithMembers(tf, path.c_str(), nullptr, members, count);
    *log = testing::internal::GetCapturedStderr();
    return r;
}

TEST(ArchiveMembers, ReplacedTextKeepsItsPlaceAddedMembersFollow)
{
    TempDir dir;
    std::string path = dir.file("tf.zip");
    velkio_TransferFunction *tf = record(2, 3, 5);
    const std::string readme = "line one\nline two\n";
    const std::string source = "<?xml version=\"1.0\"?>\n<velk_xml><positions type=\"impulse\">"
                               "<position id=\"3\"><calcTF type=\"localization\"/></position>"
                               "</positions></velk_xml>\n";
    velkio_ArchiveMember members[2] = {{"transferFunction/README", readme.data(), readme.size()},
                                       {"transferFunction/source.xml", source.data(),
                                        source.size()}};
    ASSERT_EQ(velkio_TransferFunction_writeWithMembers(tf, path.c_str(), nullptr, members, 2), 0);

    std::vector<std::string> want = {
        "transferFunction/",
        "transferFunction/whatisthis.txt",
        "transferFunction/source.xml",
        "transferFunction/microphones.xml",
        "transferFunction/localization/",
        "transferFunction/separation/",
        "transferFunction/localization/tf00003.mat",
        "transferFunction/localization/tf00004.mat",
        "transferFunction/separation/tf00003.mat",
        "transferFunction/separation/tf00004.mat",
        "transferFunction/README",
    };
    EXPECT_EQ(memberNames(path), want);
    EXPECT_EQ(member(path, "transferFunction/README"), readme);
    EXPECT_EQ(member(path, "transferFunction/source.xml"), source);
    EXPECT_EQ(member(path, "transferFunction/whatisthis.txt").rfind("transfer function\n", 0), 0u);

    // Without members of the caller's the library's own text is written:
    // the same as velkio_TransferFunction_write.
    std::string plain = dir.file("plain.zip");
    std::string other = dir.file("other.zip");
    ASSERT_EQ(velkio_TransferFunction_writeWithMembers(tf, plain.c_str(), nullptr, nullptr, 0), 0);
    ASSERT_EQ(velkio_TransferFunction_write(tf, other.c_str(), nullptr), 0);
    EXPECT_EQ(member(plain, "transferFunction/source.xml"),
              member(other, "transferFunction/source.xml"));
    EXPECT_NE(member(plain, "transferFunction/source.xml").find("<position"), std::string::npos);
    EXPECT_EQ(memberNames(plain).size(), want.size() - 1);

    // An empty member is written empty.
    velkio_ArchiveMember empty = {"transferFunction/README", nullptr, 0};
    ASSERT_EQ(velkio_TransferFunction_writeWithMembers(tf, path.c_str(), nullptr, &empty, 1), 0);
    EXPECT_EQ(member(path, "transferFunction/README"), "");
    velkio_TransferFunction_delete(&tf);
}

TEST(ArchiveMembers, NamesTheLibraryOwnsOrGivenTwiceAreRefused)
{
    TempDir dir;
    std::string path = dir.file("tf.zip");
    velkio_TransferFunction *tf = record(2, 3, 5);
    ASSERT_EQ(velkio_TransferFunction_write(tf, path.c_str(), nullptr), 0);
    std::vector<unsigned char> before = velktest::readFile(path);
    const char text[] = "x";
    const char *refused[] = {"transferFunction/", "transferFunction/localization/tf00003.mat",
                             "transferFunction/separation/extra.txt", "notes/", ""};
    std::string log;
    for (const char *name : refused) {
        velkio_ArchiveMember m = {name, text, 1};
        EXPECT_EQ(writeQuietly(tf, path, &m, 1, &log), 1) << name;
        EXPECT_NE(log.find("can not be written"), std::string::npos) << log;
    }
    velkio_ArchiveMember twice[2] = {{"transferFunction/README", text, 1},
                                     {"transferFunction/README", text, 1}};
    EXPECT_EQ(writeQuietly(tf, path, twice, 2, &log), 1);
    EXPECT_NE(log.find("given twice"), std::string::npos) << log;
    velkio_ArchiveMember noName = {nullptr, text, 1};
    EXPECT_EQ(writeQuietly(tf, path, &noName, 1, &log), 1);
    velkio_ArchiveMember noData = {"transferFunction/README", nullptr, 4};
    EXPECT_EQ(writeQuietly(tf, path, &noData, 1, &log), 1);
    EXPECT_EQ(writeQuietly(tf, path, nullptr, 2, &log), 1);

    EXPECT_EQ(velktest::readFile(path), before);
    EXPECT_EQ(entriesIn(dir.path()), 1u) << "temporary file left behind";
    velkio_TransferFunction_delete(&tf);
}

// 300 sources x 2 kinds of 16 x 129 values (16.6 kB members, 10 MB in
// all) and then members of 2 MB each: every value comes back, the stored
// bytes are those of the one-shot encoder, and zip tools accept the file.
TEST(ArchiveMembers, LargeArchivesRoundTripEveryValue)
{
    TempDir dir;
    struct Shape {
        int sources, rows, cols;
    } shapes[] = {{300, 16, 129}, {3, 64, 4097}};
    for (const Shape &sh : shapes) {
        std::string path = dir.file("big.zip");
        velkio_TransferFunction *tf = record(sh.sources, sh.rows, sh.cols);
        ASSERT_EQ(velkio_TransferFunction_write(tf, path.c_str(), nullptr), 0);

        velkio_TransferFunction *back = velkio_TransferFunction_fromFile(path.c_str(), nullptr);
        ASSERT_NE(back, nullptr);
        ASSERT_EQ(back->nLocTFs, sh.sources);
        ASSERT_EQ(back->nSepTFs, sh.sources);
        int wrong = 0;
        for (int kind = 0; kind < 2; kind++) {
            velkio_Matrix **v = kind == 0 ? back->locTFs : back->sepTFs;
            for (int s = 0; s < sh.sources; s++)
                for (int r = 0; r < sh.rows; r++)
                    for (int c = 0; c < sh.cols; c++)
                        wrong += v[s]->data[(size_t)r * sh.cols + c] != valueOf(kind, s, r, c);
        }
        EXPECT_EQ(wrong, 0) << sh.sources << " sources";
        velkio_TransferFunction_delete(&back);

        const int last = sh.sources - 1;
        char name[64];
        snprintf(name, sizeof name, "transferFunction/separation/tf%05d.mat", last + 3);
        size_t size = 0;
        unsigned char *bytes = velkio_MatFile_encode(tf->sepTFs[last], "tf", &size);
        ASSERT_NE(bytes, nullptr);
        EXPECT_EQ(member(path, name), std::string((const char *)bytes, size));
        free(bytes);
        velkio_TransferFunction_delete(&tf);

        std::string out;
        if (velktest::runCommand("command -v unzip >/dev/null", &out) == 0) {
            EXPECT_EQ(velktest::runCommand("unzip -tq '" + path + "' 2>&1", &out), 0) << out;
        }
    }
}

} // namespace
