// The archive loader of velktoolcli-validtf (no matrices loaded), its TF
// counting and member readers, on archives written by the library and
// copies broken with libzip.
#include <cstring>
#include <string>

#include <gtest/gtest.h>
#include <zip.h>

#include "archive_test_util.h"
#include "validtf.h"

namespace {

const int IDS[] = {3, 7, 8, 10};

// Writes an archive of four source positions (ids 3, 7, 8, 10), six
// microphones, nfft 16, with the kinds asked for, under `label` (null: the
// default label).
void writeArchive(const std::string &path, bool loc, bool sep, const char *label = nullptr)
{
    velkio_Positions *src = velkio_Positions_new("tsp", 0, 0, 0);
    for (int n = 0; n < 4; n++) {
        float c[3] = {1.0f, 0.1f * n, 0.0f};
        velkio_Positions_append(src, velkio_Position_new(IDS[n], 1, c, nullptr));
    }
    velkio_Positions *mic = velkio_Positions_new("microphone", 0, 0, 0);
    for (int m = 0; m < 6; m++)
        velkio_Positions_append(mic, velkio_Position_new(m, 1, nullptr, nullptr));
    velkio_Config *cfg = velkio_Config_new();
    velkio_Config_setNfft(cfg, 16);
    velkio_Config_setSamplingRate(cfg, 16000);
    velkio_Config_setComment(cfg, "room 3");
    velkio_Neighbors *nbrs = velkio_Neighbors_new(src);
    velkio_Neighbors_calcNeighbors(nbrs, 1, 2, 1.0);
    velkio_TransferFunction *tf = velkio_TransferFunction_fromData(src, mic, cfg, nbrs);
    for (int kind = 0; kind < 2; kind++) {
        if (!(kind == 0 ? loc : sep))
            continue;
        velkio_Matrix **v = (velkio_Matrix **)malloc(4 * sizeof *v);
        for (int n = 0; n < 4; n++)
            v[n] = velkio_Matrix_new("complex", 6, 9);
        if (kind == 0)
            velkio_TransferFunction_setLocTFs(tf, v);
        else
            velkio_TransferFunction_setSepTFs(tf, v);
    }
    ASSERT_EQ(velkio_TransferFunction_write(tf, path.c_str(), label), 0);
    velkio_TransferFunction_delete(&tf);
}

// Deletes a member, or replaces it by `content` when content is given.
void editMember(const std::string &path, const char *name, const char *content = nullptr)
{
    zip_t *za = zip_open(path.c_str(), 0, nullptr);
    ASSERT_NE(za, nullptr);
    zip_int64_t index = zip_name_locate(za, name, 0);
    ASSERT_GE(index, 0) << name;
    if (content == nullptr) {
        ASSERT_EQ(zip_delete(za, (zip_uint64_t)index), 0);
    } else {
        zip_source_t *s = zip_source_buffer(za, strdup(content), strlen(content), 1);
        ASSERT_EQ(zip_file_replace(za, (zip_uint64_t)index, s, 0), 0);
    }
    ASSERT_EQ(zip_close(za), 0);
}

velkio_TransferFunction *load(const std::string &path, const char *label = nullptr)
{
    return velkio_TransferFunction_fromFile_withoutLoadingMatrix(path.c_str(), label);
}

// Stderr of a call, for the messages.
template <class F> std::string stderrOf(F f)
{
    testing::internal::CaptureStderr();
    f();
    return testing::internal::GetCapturedStderr();
}

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

} // namespace

TEST(ValidTfLoader, ReadsEverythingButTheMatrices)
{
    velktest::TempDir dir;
    std::string path = dir.file("tf.zip");
    writeArchive(path, true, true);
    velkio_TransferFunction *tf = load(path);
    ASSERT_NE(tf, nullptr);
    EXPECT_NE(tf->archive, nullptr);
    ASSERT_EQ(velkio_Positions_getSize(tf->positions), 4);
    EXPECT_EQ(tf->positions->list[3]->id, 10);
    EXPECT_EQ(velkio_Positions_getSize(tf->microphones), 6);
    ASSERT_NE(tf->config, nullptr);
    EXPECT_EQ(tf->config->nfft, 16);
    EXPECT_STREQ(tf->config->comment, "room 3");
    ASSERT_NE(tf->neighbors, nullptr);
    EXPECT_EQ(tf->neighbors->positions, tf->positions);
    EXPECT_EQ(tf->nLocTFs, 4);
    EXPECT_EQ(tf->nSepTFs, 4);
    EXPECT_EQ(tf->locTFs, nullptr);
    EXPECT_EQ(tf->sepTFs, nullptr);
    velkio_TransferFunction_delete(&tf);

    // One kind only, then none.
    writeArchive(path, false, true);
    tf = load(path);
    ASSERT_NE(tf, nullptr);
    EXPECT_EQ(tf->nLocTFs, 0);
    EXPECT_EQ(tf->nSepTFs, 4);
    velkio_TransferFunction_delete(&tf);
    writeArchive(path, false, false);
    tf = load(path);
    ASSERT_NE(tf, nullptr);
    EXPECT_EQ(tf->nLocTFs + tf->nSepTFs, 0);
    velkio_TransferFunction_delete(&tf);
}

TEST(ValidTfLoader, CountStopsAtTheFirstMissingMember)
{
    velktest::TempDir dir;
    std::string path = dir.file("tf.zip");
    writeArchive(path, true, true);
    editMember(path, "transferFunction/localization/tf00008.mat");
    velkio_TransferFunction *tf = load(path);
    ASSERT_NE(tf, nullptr);
    EXPECT_EQ(tf->nLocTFs, 2);
    EXPECT_EQ(tf->nSepTFs, 4);
    EXPECT_EQ(countTFs(tf->archive, "localization", tf->positions), 2);
    EXPECT_EQ(countTFs(tf->archive, "separation", nullptr), 0);
    EXPECT_EQ(countTFs(tf->archive, "locali", tf->positions), -1);
    EXPECT_EQ(countTFs(tf->archive, "sep", tf->positions), -1);
    EXPECT_EQ(countTFs(nullptr, "separation", tf->positions), -1);
    velkio_TransferFunction_delete(&tf);

    std::string err = stderrOf([&] { EXPECT_EQ(validtf_checkArchive(path.c_str(), 0, 0), 1); });
    EXPECT_TRUE(contains(err, "localization matrix size(2) differ from position size(4)")) << err;
    EXPECT_FALSE(contains(err, "SUCCESS"));
}

TEST(ValidTfLoader, WhatIsThisMustBeginWithTheLabel)
{
    velktest::TempDir dir;
    std::string path = dir.file("tf.zip");
    writeArchive(path, true, false);
    editMember(path, "transferFunction/whatisthis.txt", "transfer function of room 3, take 2\n");
    velkio_TransferFunction *tf = load(path);
    EXPECT_NE(tf, nullptr);
    velkio_TransferFunction_delete(&tf);

    editMember(path, "transferFunction/whatisthis.txt", "TF\n");
    EXPECT_EQ(load(path), nullptr);
    std::string err = stderrOf([&] { EXPECT_EQ(validtf_checkArchive(path.c_str(), 1, 0), 1); });
    EXPECT_TRUE(contains(err, "zip read file error")) << err;

    // Another expected label, as the separation-matrix archives carry.
    writeArchive(path, true, false, "separation matrix");
    tf = load(path, "separation matrix");
    EXPECT_NE(tf, nullptr);
    velkio_TransferFunction_delete(&tf);
    EXPECT_EQ(load(path), nullptr);
}

TEST(ValidTfLoader, FilesThatAreNotArchives)
{
    velktest::TempDir dir;
    velktest::writeFile(dir.file("old.tf"), std::string("VELK\x02\x00 binary", 12));
    velktest::writeFile(dir.file("plain.zip"), "plain text\n");
    std::string err = stderrOf([&] { EXPECT_EQ(load(dir.file("old.tf")), nullptr); });
    EXPECT_TRUE(contains(err, "is not in zip format")) << err;
    EXPECT_TRUE(contains(err, "see 'velktoolcli-conv-tf --help' (after installing velktool5).")) << err;
    err = stderrOf([&] { EXPECT_EQ(load(dir.file("plain.zip")), nullptr); });
    EXPECT_TRUE(contains(err, "is not in zip format")) << err;
    EXPECT_FALSE(contains(err, "velktoolcli-conv-tf")) << err;
    err = stderrOf([&] { EXPECT_EQ(load(dir.file("nosuch.zip")), nullptr); });
    EXPECT_TRUE(contains(err, "cannot find or open")) << err;
    EXPECT_EQ(velkio_TransferFunction_fromFile_withoutLoadingMatrix(nullptr, nullptr), nullptr);
}

TEST(ValidTfLoader, MemberReadersAndAnUnreadableMicrophoneList)
{
    velktest::TempDir dir;
    std::string path = dir.file("tf.zip");
    writeArchive(path, true, true);
    editMember(path, "transferFunction/microphones.xml", "<velk_xml><positions");
    velkio_TransferFunction *tf = load(path);
    ASSERT_NE(tf, nullptr);
    EXPECT_EQ(tf->microphones, nullptr);

    char *text = readZippedText(tf->archive, "transferFunction/whatisthis.txt");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(strncmp(text, "transfer function\n", 18), 0);
    EXPECT_EQ(text[strlen(text) - 1], '\n');
    free(text);
    EXPECT_EQ(readZippedText(tf->archive, "transferFunction/README"), nullptr);
    EXPECT_EQ(readZippedText(tf->archive, nullptr), nullptr);
    velkio_XML *doc = readZippedXML(tf->archive, "transferFunction/source.xml");
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(velkio_Positions_getSize(doc->poses), 4);
    velkio_XML_delete(&doc);
    EXPECT_EQ(readZippedXML(tf->archive, "transferFunction/whatisthis.txt"), nullptr);

    // The summary shows no microphones rather than failing.
    std::string out = dir.file("summary.txt");
    FILE *f = fopen(out.c_str(), "w");
    validtf_printText(f, tf);
    fclose(f);
    std::vector<unsigned char> bytes = velktest::readFile(out);
    std::string summary(bytes.begin(), bytes.end());
    EXPECT_TRUE(contains(summary, " Microphones       : 0\n")) << summary;
    EXPECT_TRUE(contains(summary, " Contents          : localization, separation\n")) << summary;
    velkio_TransferFunction_delete(&tf);
}
