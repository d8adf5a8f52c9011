// The routines of velktoolcli-zip2coord against closed forms and direct
// computations: z values, the inverse FFT of TF rows, the offsets read from
// calcTF annotations and the table layout.
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <string>

#include <gtest/gtest.h>
#include <zip.h>

#include "archive_test_util.h"
#include "zip2coord.h"

namespace {

std::string readText(const std::string &path)
{
    std::vector<unsigned char> bytes = velktest::readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

// Three source positions (ids 3, 7, 9), the first listing channels 0, 2, 5;
// localization TFs only, 3 x 9 (nfft 16); the archive's source.xml then
// gets the calcTF annotations the generators add.
std::string writeAnnotatedArchive(const velktest::TempDir &dir)
{
    std::string path = dir.file("tf.zip");
    const int ids[] = {3, 7, 9};
    velkio_Positions *src = velkio_Positions_new("impulse", 0, 0, 0);
    for (int id : ids)
        velkio_Positions_append(src, velkio_Position_new(id, 1, nullptr, nullptr));
    const int channels[] = {0, 2, 5};
    velkio_Position_setChannels(src->list[0], channels, 3);
    velkio_Positions *mic = velkio_Positions_new("microphone", 0, 0, 0);
    for (int m = 0; m < 6; m++)
        velkio_Positions_append(mic, velkio_Position_new(m, 1, nullptr, nullptr));
    velkio_Config *cfg = velkio_Config_new();
    velkio_Config_setNfft(cfg, 16);
    velkio_Config_setSamplingRate(cfg, 16000);
    velkio_TransferFunction *tf = velkio_TransferFunction_fromData(src, mic, cfg, nullptr);
    velkio_Matrix **v = (velkio_Matrix **)malloc(3 * sizeof *v);
    for (int n = 0; n < 3; n++)
        v[n] = velkio_Matrix_new("complex", 3, 9);
    velkio_TransferFunction_setLocTFs(tf, v);
    EXPECT_EQ(velkio_TransferFunction_write(tf, path.c_str(), nullptr), 0);
    velkio_TransferFunction_delete(&tf);

    zip_t *za = zip_open(path.c_str(), 0, nullptr);
    zip_int64_t index = zip_name_locate(za, "transferFunction/source.xml", 0);
    zip_stat_t st;
    zip_stat_index(za, (zip_uint64_t)index, 0, &st);
    std::string xml(st.size, '\0');
    zip_file_t *f = zip_fopen_index(za, (zip_uint64_t)index, 0);
    zip_fread(f, xml.data(), st.size);
    zip_fclose(f);
    auto annotate = [&xml](int id, const std::string &elements) {
        std::string tag = "<position id=\"" + std::to_string(id) + "\">";
        size_t at = xml.find(tag);
        ASSERT_NE(at, std::string::npos) << xml;
        xml.insert(at + tag.size(), elements);
    };
    annotate(7, "<calcTF type=\"localization\" offset=\"531.000000\" cutIndexFrom=\"531\" "
                "cutIndexTo=\"1043\"/>");
    annotate(3, "<calcTF type=\"localization\" offset=\"0.000000\"/>"
                "<calcTF type=\"separation\" offset=\"12.500000\"/>");
    annotate(9, "<calcTF type=\"separation\" offset=\"-2.250000\"/>");
    zip_source_t *s = zip_source_buffer(za, strdup(xml.c_str()), xml.size(), 1);
    EXPECT_EQ(zip_file_replace(za, (zip_uint64_t)index, s, 0), 0);
    EXPECT_EQ(zip_close(za), 0);
    return path;
}

} // namespace

TEST(Zip2CoordZValue, ClosedForms)
{
    EXPECT_FLOAT_EQ(calcZValue(Z2C_Z_REAL, -3.0f, 4.0f), -3.0f);
    EXPECT_FLOAT_EQ(calcZValue(Z2C_Z_AMPLITUDE, 3.0f, -4.0f), 5.0f);
    // 10*log10 of the amplitude, not 20*log10.
    EXPECT_NEAR(calcZValue(Z2C_Z_DECIBEL, 3.0f, 4.0f), 6.9897000f, 1e-5);
    EXPECT_NEAR(calcZValue(Z2C_Z_DECIBEL, 0.0f, 0.01f), -20.0f, 1e-5);
    EXPECT_EQ(calcZValue(Z2C_Z_DECIBEL, 0.0f, 0.0f), -INFINITY);
    EXPECT_NEAR(calcZValue(Z2C_Z_PHASE, 1.0f, 1.0f), 45.0f, 1e-5);
    EXPECT_NEAR(calcZValue(Z2C_Z_PHASE, -1.0f, 0.0f), 180.0f, 1e-5);
    EXPECT_NEAR(calcZValue(Z2C_Z_PHASE, 0.0f, -2.0f), -90.0f, 1e-5);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(std::isnan(calcZValue(5, 1.0f, 1.0f)));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("z_unit error [5]"), std::string::npos);
}

TEST(Zip2CoordIfft, MatchesADirectInverseDft)
{
    const int nfft = 16, bins = 9, rows = 3;
    std::mt19937 rng(7);
    std::normal_distribution<float> g;
    velkio_Matrix *tf[2], *result[2];
    for (int p = 0; p < 2; p++) {
        tf[p] = velkio_Matrix_new("complex", rows, bins);
        result[p] = velkio_Matrix_new("complex", rows, nfft);
        for (int i = 0; i < rows * bins; i++)
            tf[p]->data[i] = velkio_Complex(g(rng), g(rng));
    }
    ASSERT_EQ(calcIFFTMatrixData(tf, result, 2, rows, nfft), 0);
    for (int p = 0; p < 2; p++) {
        for (int m = 0; m < rows; m++) {
            const velkio_Complex *X = tf[p]->data + m * bins;
            for (int t = 0; t < nfft; t++) {
                // x[t] = X0 + X(n/2) (-1)^t + 2 Re sum_{k=1}^{n/2-1} X_k e^(2 pi i k t / n),
                // the imaginary parts of bins 0 and n/2 playing no part.
                double x = X[0].real() + X[bins - 1].real() * (t % 2 ? -1 : 1);
                for (int k = 1; k < bins - 1; k++)
                    x += 2 * (std::complex<double>(X[k]) *
                              std::polar(1.0, 2 * M_PI * k * t / nfft)).real();
                velkio_Complex got = result[p]->data[m * nfft + t];
                EXPECT_NEAR(got.real(), x, 2e-5 * 16) << p << " " << m << " " << t;
                EXPECT_EQ(got.imag(), 0.0f);
            }
        }
    }
    EXPECT_EQ(calcIFFTMatrixData(tf, result, 2, rows, 12), 1);      // not a power of two
    EXPECT_EQ(calcIFFTMatrixData(tf, result, 2, rows + 1, nfft), 1); // more rows than held
    for (int p = 0; p < 2; p++) {
        velkio_Matrix_delete(&tf[p]);
        velkio_Matrix_delete(&result[p]);
    }
}

TEST(Zip2CoordOffsets, ReadFromTheAnnotationsOfTheKind)
{
    velktest::TempDir dir;
    std::string path = writeAnnotatedArchive(dir);
    velkio_TransferFunction *tf = velkio_TransferFunction_fromFile(path.c_str(), nullptr);
    ASSERT_NE(tf, nullptr);
    float loc[3] = {-1, -1, -1}, sep[3] = {-1, -1, -1};
    ASSERT_EQ(getOffset(Z2C_TF_LOC, tf, loc), 0);
    ASSERT_EQ(getOffset(Z2C_TF_SEP, tf, sep), 0);
    EXPECT_EQ(loc[0], 0.0f);
    EXPECT_EQ(loc[1], 531.0f);
    EXPECT_EQ(loc[2], 0.0f);
    EXPECT_EQ(sep[0], 12.5f);
    EXPECT_EQ(sep[1], 0.0f);
    EXPECT_EQ(sep[2], -2.25f);

    // The kinds that cannot be written leave no file.
    std::string csv = dir.file("out.csv");
    EXPECT_EQ(writeCoordinateFromTF(csv.c_str(), Z2C_Z_AMPLITUDE, tf, Z2C_TF_SEP, 0), 1);
    EXPECT_EQ(writeCoordinateFromTF(csv.c_str(), Z2C_Z_AMPLITUDE, tf, 2, 0), 1);
    EXPECT_EQ(writeCoordinateFromTF(csv.c_str(), 9, tf, Z2C_TF_LOC, 0), 1);
    EXPECT_NE(access(csv.c_str(), F_OK), 0);

    // With the inverse FFT the time axis starts at offset / rate; the mic
    // column shows the channel list 0, 2, 5.
    ASSERT_EQ(writeCoordinateFromTF(csv.c_str(), Z2C_Z_AMPLITUDE, tf, Z2C_TF_LOC, 1), 0);
    std::string table = readText(csv);
    EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 1 + 3 * 3 * 16);
    EXPECT_NE(table.find("\n7 , 5 , 0.033250 , 0.200000 , 0.000000\n"), std::string::npos);
    velkio_TransferFunction_delete(&tf);
}

TEST(Zip2CoordTable, LayoutChannelsAndOffsets)
{
    velktest::TempDir dir;
    velkio_Positions *pos = velkio_Positions_new("tsp", 0, 0, 0);
    velkio_Positions_append(pos, velkio_Position_new(10, 1, nullptr, nullptr));
    velkio_Positions_append(pos, velkio_Position_new(20, 1, nullptr, nullptr));
    velkio_Matrix *m[2];
    for (int p = 0; p < 2; p++) {
        m[p] = velkio_Matrix_new("complex", 2, 2);
        for (int i = 0; i < 4; i++)
            m[p]->data[i] = velkio_Complex(1.0f + i + 4 * p, 0.0f);
    }
    m[1]->data[3] = velkio_Complex(0.0f, 2.0f);
    std::string csv = dir.file("t.csv");
    const float xOffsets[] = {0.5f, 1.5f};
    ASSERT_EQ(writeCoordinateInternal(csv.c_str(), Z2C_Z_AMPLITUDE, m, pos, 2, 2, 100.0f, 0.2f,
                                      xOffsets, nullptr), 0);
    EXPECT_EQ(readText(csv), "id,mic,x,y,z\n"
                             "10 , 0 , 0.500000 , 0.000000 , 1.000000\n"
                             "10 , 0 , 100.500000 , 0.000000 , 2.000000\n"
                             "10 , 1 , 0.500000 , 0.000000 , 3.000000\n"
                             "10 , 1 , 100.500000 , 0.000000 , 4.000000\n"
                             "20 , 0 , 1.500000 , 0.200000 , 5.000000\n"
                             "20 , 0 , 101.500000 , 0.200000 , 6.000000\n"
                             "20 , 1 , 1.500000 , 0.200000 , 7.000000\n"
                             "20 , 1 , 101.500000 , 0.200000 , 2.000000\n");

    // A phase offset of pi/4 per bin turns bin 1 by -45 degrees: 2i -> 45
    // degrees; bin 0 keeps its phase.
    const float phase[] = {0.0f, (float)(M_PI / 4)};
    ASSERT_EQ(writeCoordinateInternal(csv.c_str(), Z2C_Z_PHASE, m, pos, 2, 2, 100.0f, 0.2f,
                                      nullptr, phase), 0);
    std::string table = readText(csv);
    float z0 = -1, z1 = -1;
    size_t last = table.find("\n20 , 1 , 0.000000");
    ASSERT_NE(last, std::string::npos) << table;
    ASSERT_EQ(sscanf(table.c_str() + last, "\n20 , 1 , 0.000000 , 0.200000 , %f\n"
                                           "20 , 1 , 100.000000 , 0.200000 , %f", &z0, &z1), 2)
        << table;
    EXPECT_NEAR(z0, 0.0f, 1e-4);
    EXPECT_NEAR(z1, 45.0f, 1e-4);

    // A channel list longer than the matrices hold is refused before any
    // output.
    const int channels[] = {0, 2, 5};
    velkio_Position_setChannels(pos->list[0], channels, 3);
    std::string other = dir.file("u.csv");
    EXPECT_EQ(writeCoordinateInternal(other.c_str(), Z2C_Z_AMPLITUDE, m, pos, 2, 2, 1.0f, 0.2f,
                                      nullptr, nullptr), 1);
    EXPECT_NE(access(other.c_str(), F_OK), 0);
    for (velkio_Matrix *&x : m)
        velkio_Matrix_delete(&x);
    velkio_Positions_delete(&pos);
}
