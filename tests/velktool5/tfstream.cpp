// calctfimp makes its transfer functions one source at a time, straight
// into the matrices (velktool_tfFromWav, genTfFromMatrices).  Its archive
// must be the one the whole-set path writes (velktool_setIRvectFromWav into
// IRvect, then genTfFromIR), member for member and value for value: for
// every kind, with the normalizations, a silent source, and a file shorter
// than a window read after a longer one (its window must not keep samples
// of the file before).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <zip.h>

#include "velktool_test_util.h"

using velktest::InTempDir;
using velktest::resetRunState;
using velktest::setLogLevel;

namespace {

const int CHANNELS = 3;

// Decaying noise with a direct sound whose place depends on the channel;
// `length` frames, all zero when `silent`.
void writeImpulses(const std::string &path, int length, unsigned seed, bool silent)
{
    SF_INFO info{};
    info.samplerate = 16000;
    info.channels = CHANNELS;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    std::vector<float> x((size_t)length * CHANNELS, 0.0f);
    for (int i = 0; i < length && !silent; ++i) {
        for (int c = 0; c < CHANNELS; ++c) {
            seed = seed * 1664525u + 1013904223u;
            float v = (float)((seed >> 8) & 0xffff) / 32768.0f - 1.0f;
            int peak = 60 + 5 * c;
            x[(size_t)i * CHANNELS + c] =
                i == peak ? 0.9f : 0.2f * v * expf(-(float)i / 400.0f);
        }
    }
    ASSERT_EQ(sf_writef_float(f, x.data(), length), length);
    sf_close(f);
}

struct Archive {
    std::string out;      // progress lines
    std::string readme;
    std::string sourceXml;
    std::vector<std::vector<velkio_Complex>> loc, sep; // by archive order
};

class TfStream : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Ids in list order 4, 1, 3, 2: the loader visits 1 (long), 2
        // (shorter than nfft), 3 (silent), 4.
        paths = {dir.file("d.wav"), dir.file("a.wav"), dir.file("c.wav"),
                 dir.file("b.wav")};
        writeImpulses(paths[1], 4000, 1u, false);
        writeImpulses(paths[3], 300, 2u, false);
        writeImpulses(paths[2], 2000, 3u, true);
        writeImpulses(paths[0], 1500, 4u, false);
    }
    void TearDown() override { resetRunState(); }

    void prepare()
    {
        resetRunState();
        setLogLevel(0);
        g.nSrc = 4;
        g.nMic = CHANNELS;
        g.nfft = 512;
        g.samplingRate = 16000;
        velkio_Config *cfg = velkio_Config_new();
        velkio_Config_setNfft(cfg, g.nfft);
        velkio_Config_setSamplingRate(cfg, g.samplingRate);
        g.srcXml = velkio_XML_newFromData(
            velktest::makePositions("impulse", {4, 1, 3, 2}, paths), nullptr, cfg);
        g.micXml = velkio_XML_newFromData(
            velktest::makePositions("microphone", {0, 1, 2}), nullptr, nullptr);
        velktool_new(VELKTOOL_POSID);
        velktool_new(VELKTOOL_FFTBUF);
        for (int j = 0; j < g.nMic; ++j)
            g.micPosId[j] = j;
        velktool_setSrcPosId();
    }

    static std::string member(zip_t *za, const char *name)
    {
        char *text = nullptr;
        if (za == nullptr || zip_name_locate(za, name, 0) < 0 ||
            velkio_Archive_readMember(za, nullptr, name, VELKIO_MEMBER_XML,
                                      (unsigned char **)&text, nullptr) != 0)
            return "<missing>";
        std::string out = text;
        free(text);
        return out;
    }

    Archive read(const std::string &path)
    {
        Archive r;
        velkio_TransferFunction *tf = velkio_TransferFunction_fromFile(path.c_str(), nullptr);
        EXPECT_NE(tf, nullptr);
        if (tf == nullptr)
            return r;
        auto values = [](velkio_Matrix *const *m, int n) {
            std::vector<std::vector<velkio_Complex>> v;
            for (int i = 0; i < n; ++i)
                v.emplace_back(m[i]->data, m[i]->data + (size_t)m[i]->rows * m[i]->cols);
            return v;
        };
        r.loc = values(tf->locTFs, tf->nLocTFs);
        r.sep = values(tf->sepTFs, tf->nSepTFs);
        velkio_TransferFunction_delete(&tf);
        zip_t *za = zip_open(path.c_str(), ZIP_RDONLY, nullptr);
        EXPECT_NE(za, nullptr);
        r.readme = member(za, "transferFunction/README");
        r.sourceXml = member(za, "transferFunction/source.xml");
        zip_discard(za);
        return r;
    }

    Archive wholeSet(int tfType, int direct, int reverb, int ns, int nm, int nf)
    {
        prepare();
        velktool_new(VELKTOOL_IRVECT);
        velktool_new(VELKTOOL_TMPIRVECT);
        velktool_new(VELKTOOL_TFVECT);
        velktool_new(VELKTOOL_TMPTFVECT);
        std::vector<velktool_CutRangePair> ranges(4);
        std::string path = dir.file("whole.zip");
        testing::internal::CaptureStdout();
        velktool_setIRvectFromWav(tfType, direct, reverb, ranges.data());
        genTfFromIR(tfType, ns, nm, nf, 0, path.c_str(), ranges.data());
        std::string out = testing::internal::GetCapturedStdout();
        Archive r = read(path);
        r.out = out;
        return r;
    }

    Archive oneByOne(int tfType, int direct, int reverb, int ns, int nm, int nf)
    {
        prepare();
        velktool_newSourceMatrices(tfType);
        std::vector<velktool_CutRangePair> ranges(4);
        std::string path = dir.file("stream.zip");
        testing::internal::CaptureStdout();
        velktool_tfFromWav(tfType, direct, reverb, ranges.data());
        genTfFromMatrices(tfType, ns, nm, nf, 0, path.c_str(), ranges.data());
        std::string out = testing::internal::GetCapturedStdout();
        Archive r = read(path);
        r.out = out;
        return r;
    }

    static void expectSameValues(const std::vector<std::vector<velkio_Complex>> &a,
                                 const std::vector<std::vector<velkio_Complex>> &b,
                                 const char *kind)
    {
        ASSERT_EQ(a.size(), b.size()) << kind;
        for (size_t s = 0; s < a.size(); ++s) {
            ASSERT_EQ(a[s].size(), b[s].size()) << kind << " " << s;
            EXPECT_EQ(0, memcmp(a[s].data(), b[s].data(),
                                a[s].size() * sizeof(velkio_Complex)))
                << kind << " matrix " << s;
        }
    }

    void expectSame(int tfType, int direct, int reverb, int ns, int nm, int nf)
    {
        Archive a = wholeSet(tfType, direct, reverb, ns, nm, nf);
        Archive b = oneByOne(tfType, direct, reverb, ns, nm, nf);
        EXPECT_EQ(a.out, b.out);
        EXPECT_EQ(a.readme, b.readme);
        EXPECT_EQ(a.sourceXml, b.sourceXml);
        expectSameValues(a.loc, b.loc, "LOC");
        expectSameValues(a.sep, b.sep, "SEP");
        EXPECT_EQ(a.loc.size(), tfType == SEP ? 0u : 4u);
        EXPECT_EQ(a.sep.size(), tfType == LOC ? 0u : 4u);
    }

    InTempDir dir;
    std::vector<std::string> paths;
};

TEST_F(TfStream, SameArchiveForEveryKind)
{
    expectSame(LOC_SEP, 32, 256, 0, 0, 0);
    expectSame(LOC, 400, 256, 0, 0, 0); // the short file's window outlasts it
    expectSame(SEP, 32, 500, 0, 0, 0);
}

TEST_F(TfStream, SameArchiveWithNormalizations)
{
    expectSame(LOC_SEP, 32, 256, 1, 1, 1);
    expectSame(SEP, 32, 256, 0, 1, 0);
}

TEST_F(TfStream, ShortFileWindowHoldsOnlyItsOwnSamples)
{
    // Source 2 (300 frames): the samples of its windows beyond the file's
    // end are zero, so its transfer functions are those of the 300 samples.
    Archive r = oneByOne(LOC_SEP, 400, 256, 0, 0, 0);
    ASSERT_EQ(r.loc.size(), 4u); // in list order: id 2 is the last
    SF_INFO info{};
    SNDFILE *f = sf_open(paths[3].c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    std::vector<float> x((size_t)info.frames * CHANNELS);
    ASSERT_EQ(sf_readf_float(f, x.data(), info.frames), info.frames);
    sf_close(f);
    // LOC window of channel 0: from 0, the direct sound kept to its peak
    // (60) plus 400 samples, which is beyond the file's 300: the samples of
    // the file, then zeros.
    std::vector<float> w(512, 0.0f);
    for (int i = 0; i < 300; ++i)
        w[i] = x[(size_t)i * CHANNELS];
    std::vector<std::complex<double>> want = velktest::directDft(w.data(), 512);
    for (int k = 0; k <= 256; ++k) {
        velkio_Complex v = r.loc[3][k]; // row 0, bin k
        EXPECT_NEAR(v.real(), want[k].real(), 1e-4) << k;
        EXPECT_NEAR(v.imag(), want[k].imag(), 1e-4) << k;
    }
}

} // namespace
