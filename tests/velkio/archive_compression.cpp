// The compression of the archive's members: the MAT members are stored,
// the texts deflated, and such an archive loads back with every value.
#include "velkio.h"

#include "archive_test_util.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const int nSources = 2, nMics = 3, nfft = 16;

velkio_Complex value(int kind, int s, int m, int k)
{
    return velkio_Complex((float)(kind * 1000 + s * 100 + m * 10 + k), -0.25f * (float)k);
}

velkio_Matrix **matrices(int kind)
{
    velkio_Matrix **v = (velkio_Matrix **)calloc(nSources, sizeof *v);
    for (int s = 0; s < nSources; s++) {
        v[s] = velkio_Matrix_new("complex", nMics, nfft / 2 + 1);
        for (int m = 0; m < nMics; m++)
            for (int k = 0; k <= nfft / 2; k++)
                velkio_Matrix_setValueComplex(v[s], m, k, value(kind, s, m, k));
    }
    return v;
}

std::string writeArchive(const velktest::TempDir &dir)
{
    velkio_Positions *src = velkio_Positions_new("impulse", 0, 0, 0);
    velkio_Positions *mic = velkio_Positions_new("microphone", 0, 0, 0);
    for (int s = 0; s < nSources; s++) {
        float xyz[3] = {1.0f, (float)s, 0.0f};
        velkio_Positions_append(src, velkio_Position_new(s, 1, xyz, "ir/imp.wav"));
    }
    for (int m = 0; m < nMics; m++) {
        float xyz[3] = {0.05f * (float)m, 0.0f, 0.0f};
        velkio_Positions_append(mic, velkio_Position_new(m, 1, xyz, nullptr));
    }
    velkio_Config *cfg = velkio_Config_new();
    velkio_Config_setNfft(cfg, nfft);
    velkio_TransferFunction *tf = velkio_TransferFunction_fromData(src, mic, cfg, nullptr);
    velkio_TransferFunction_setLocTFs(tf, matrices(0));
    velkio_TransferFunction_setSepTFs(tf, matrices(1));
    std::string path = dir.file("tf.zip");
    EXPECT_EQ(velkio_TransferFunction_write(tf, path.c_str(), nullptr), 0);
    velkio_TransferFunction_delete(&tf);
    return path;
}

TEST(ArchiveCompression, MatricesStoredTextsDeflated)
{
    velktest::TempDir dir;
    std::string path = writeArchive(dir);
    int code = 0;
    zip_t *za = zip_open(path.c_str(), ZIP_RDONLY, &code);
    ASSERT_NE(za, nullptr);
    int mats = 0, texts = 0;
    for (zip_int64_t i = 0; i < zip_get_num_entries(za, 0); i++) {
        zip_stat_t st;
        ASSERT_EQ(zip_stat_index(za, (zip_uint64_t)i, 0, &st), 0);
        std::string name = st.name;
        if (name.back() == '/')
            continue;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".mat") == 0) {
            EXPECT_EQ(st.comp_method, ZIP_CM_STORE) << name;
            EXPECT_EQ(st.comp_size, st.size) << name;
            mats++;
        } else {
            EXPECT_EQ(st.comp_method, ZIP_CM_DEFLATE) << name;
            texts++;
        }
    }
    zip_discard(za);
    EXPECT_EQ(mats, 2 * nSources);
    EXPECT_EQ(texts, 3); // whatisthis.txt, source.xml, microphones.xml

    velkio_TransferFunction *back = velkio_TransferFunction_fromFile(path.c_str(), nullptr);
    ASSERT_NE(back, nullptr);
    ASSERT_EQ(back->nLocTFs, nSources);
    ASSERT_EQ(back->nSepTFs, nSources);
    for (int s = 0; s < nSources; s++)
        for (int m = 0; m < nMics; m++)
            for (int k = 0; k <= nfft / 2; k++) {
                velkio_Complex loc, sep;
                velkio_Matrix_getValueComplex(back->locTFs[s], m, k, &loc);
                velkio_Matrix_getValueComplex(back->sepTFs[s], m, k, &sep);
                EXPECT_EQ(loc, value(0, s, m, k));
                EXPECT_EQ(sep, value(1, s, m, k));
            }
    velkio_TransferFunction_delete(&back);
}

} // namespace
