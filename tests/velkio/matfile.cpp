// MAT-file members: byte layout of what is written, acceptance of the
// small-element forms other writers use, and refusal of everything else.
#include "velkio.h"

#include "archive_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;

// Value of the test matrices at (r, c): distinct real and imaginary parts.
velkio_Complex value(int r, int c)
{
    return velkio_Complex(1.0f + (float)r * 10.0f + (float)c, -0.5f * (float)(r + 1) + 0.25f * (float)c);
}

velkio_Matrix *sample(int rows, int cols)
{
    velkio_Matrix *m = velkio_Matrix_new("complex", rows, cols);
    for (int r = 0; r < rows; r++)
        for (int c = 0; c < cols; c++)
            velkio_Matrix_setValueComplex(m, r, c, value(r, c));
    return m;
}

Bytes encode(const velkio_Matrix *m)
{
    size_t size = 0;
    unsigned char *p = velkio_MatFile_encode(m, "tf", &size);
    Bytes b;
    if (p != nullptr)
        b.assign(p, p + size);
    free(p);
    return b;
}

// Little-endian words, built independently of the library.
void word(Bytes &b, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b.push_back((unsigned char)(v >> (8 * i)));
}

void flt(Bytes &b, float f)
{
    uint32_t u;
    memcpy(&u, &f, 4);
    word(b, u);
}

void padTo8(Bytes &b)
{
    while (b.size() % 8 != 0)
        b.push_back(0);
}

Bytes header()
{
    Bytes b(116, ' ');
    const char *text = "MATLAB 5.0 MAT-file";
    memcpy(b.data(), text, strlen(text));
    b.resize(124, 0);
    b.push_back(0x00);
    b.push_back(0x01);
    b.push_back('I');
    b.push_back('M');
    return b;
}

// Options for hand-built members.
struct Shape {
    uint32_t flags = 0x0807; // mxSINGLE_CLASS, complex
    std::vector<int32_t> dims{2, 3};
    bool smallName = false;
    bool smallParts = false; // 1 x 1 parts as small data elements
    bool withImag = true;
    int32_t realBytesDelta = 0;
};

// A MAT-file of the 2-D matrix value(r, c) with rows x cols = dims[0..1].
Bytes handBuilt(const Shape &s)
{
    int rows = s.dims.size() > 0 ? s.dims[0] : 1;
    int cols = s.dims.size() > 1 ? s.dims[1] : 1;
    Bytes body;
    word(body, 6); // miUINT32
    word(body, 8);
    word(body, s.flags);
    word(body, 0);
    word(body, 5); // miINT32
    word(body, (uint32_t)(4 * s.dims.size()));
    for (int32_t d : s.dims)
        word(body, (uint32_t)d);
    padTo8(body);
    if (s.smallName) {
        word(body, (2u << 16) | 1u);
        body.push_back('t');
        body.push_back('f');
        body.push_back(0);
        body.push_back(0);
    } else {
        word(body, 1); // miINT8
        word(body, 2);
        body.push_back('t');
        body.push_back('f');
        padTo8(body);
    }
    for (int part = 0; part < (s.withImag ? 2 : 1); part++) {
        uint32_t bytes = (uint32_t)(rows * cols * 4);
        if (s.smallParts) {
            word(body, (bytes << 16) | 7u);
        } else {
            word(body, 7); // miSINGLE
            word(body, (uint32_t)((int32_t)bytes + s.realBytesDelta));
        }
        for (int c = 0; c < cols; c++)
            for (int r = 0; r < rows; r++)
                flt(body, part == 0 ? value(r, c).real() : value(r, c).imag());
        padTo8(body);
    }
    Bytes b = header();
    word(b, 14); // miMATRIX
    word(b, (uint32_t)body.size());
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

velkio_Matrix *decodeQuietly(const Bytes &b, std::string *log = nullptr)
{
    testing::internal::CaptureStderr();
    velkio_Matrix *m = velkio_MatFile_decode(b.data(), b.size(), "member.mat");
    std::string text = testing::internal::GetCapturedStderr();
    if (log != nullptr)
        *log = text;
    return m;
}

void expectSample(const velkio_Matrix *m, int rows, int cols)
{
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(m->rows, rows);
    ASSERT_EQ(m->cols, cols);
    for (int r = 0; r < rows; r++)
        for (int c = 0; c < cols; c++)
            EXPECT_EQ(m->data[r * cols + c], value(r, c)) << r << "," << c;
}

} // namespace

TEST(MatFile, TwoByThreeMatchesTheLevel5LayoutByteForByte)
{
    velkio_Matrix *m = sample(2, 3);
    Bytes got = encode(m);
    velkio_Matrix_delete(&m);
    ASSERT_EQ(got.size(), 248u); // 128 header + 8 tag + 112 contents

    // Header: descriptive text, zero subsystem offset, version, "IM".
    EXPECT_EQ(std::string(got.begin(), got.begin() + 19), "MATLAB 5.0 MAT-file");
    for (int i = 0; i < 116; i++)
        EXPECT_TRUE(got[i] >= 0x20 && got[i] < 0x7f) << "text byte " << i;
    for (int i = 116; i < 124; i++)
        EXPECT_EQ(got[i], 0) << "subsystem offset byte " << i;

    Bytes want = handBuilt(Shape());
    // Everything from the version field on must be exactly the hand-built
    // member: tags, sizes, flags, dims, name, column-major parts, padding.
    ASSERT_EQ(want.size(), got.size());
    for (size_t i = 124; i < want.size(); i++)
        EXPECT_EQ(got[i], want[i]) << "byte " << i;

    // Spot checks of the column-major order: after the real-part tag
    // (offset 184) come (0,0), (1,0), (0,1), ...
    float second;
    memcpy(&second, &got[192 + 4], 4);
    EXPECT_EQ(second, value(1, 0).real());
}

TEST(MatFile, EncoderRefusesBadMatricesAndNames)
{
    velkio_Matrix *m = sample(1, 1);
    size_t size = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(velkio_MatFile_encode(nullptr, "tf", &size), nullptr);
    EXPECT_EQ(velkio_MatFile_encode(m, "1abc", &size), nullptr);
    EXPECT_EQ(velkio_MatFile_encode(m, "a b", &size), nullptr);
    EXPECT_EQ(velkio_MatFile_encode(m, "", &size), nullptr);
    testing::internal::GetCapturedStderr();
    unsigned char *p = velkio_MatFile_encode(m, "transfer_function_1", &size);
    ASSERT_NE(p, nullptr);
    velkio_Matrix *back = velkio_MatFile_decode(p, size, "x");
    expectSample(back, 1, 1);
    free(p);
    velkio_Matrix_delete(&back);
    velkio_Matrix_delete(&m);
}

TEST(MatFile, RoundTripKeepsEveryValueForSeveralShapes)
{
    const int shapes[][2] = {{1, 1}, {1, 257}, {8, 1}, {3, 5}, {7, 129}};
    for (const auto &s : shapes) {
        velkio_Matrix *m = sample(s[0], s[1]);
        Bytes b = encode(m);
        EXPECT_EQ(b.size() % 8, 0u);
        velkio_Matrix *back = velkio_MatFile_decode(b.data(), b.size(), "x");
        expectSample(back, s[0], s[1]);
        velkio_Matrix_delete(&back);
        velkio_Matrix_delete(&m);
    }
}

// Encoding into the caller's buffer gives the same bytes as the one-shot
// encoder, whatever the buffer held before (padding included), and only
// into a buffer of exactly the member's size.
TEST(MatFile, EncodingIntoABufferMatchesTheEncoder)
{
    const int shapes[][2] = {{1, 1}, {3, 5}, {7, 129}};
    for (const auto &s : shapes) {
        velkio_Matrix *m = sample(s[0], s[1]);
        Bytes want = encode(m);
        ASSERT_EQ(velkio_MatFile_encodedSize(m, nullptr), want.size());
        Bytes got(want.size(), 0xA5);
        ASSERT_EQ(velkio_MatFile_encodeTo(m, nullptr, got.data(), got.size()), 0);
        EXPECT_EQ(got, want) << s[0] << " x " << s[1];
        Bytes larger(want.size() + 8, 0);
        testing::internal::CaptureStderr();
        EXPECT_EQ(velkio_MatFile_encodeTo(m, "tf", larger.data(), larger.size()), 1);
        EXPECT_EQ(velkio_MatFile_encodeTo(m, "tf", nullptr, want.size()), 1);
        EXPECT_EQ(velkio_MatFile_encodedSize(m, "9x"), 0u);
        EXPECT_EQ(velkio_MatFile_encodedSize(nullptr, "tf"), 0u);
        testing::internal::GetCapturedStderr();
        velkio_Matrix_delete(&m);
    }
}

TEST(MatFile, SmallDataElementFormsAreAccepted)
{
    Shape s;
    s.smallName = true;
    velkio_Matrix *m = decodeQuietly(handBuilt(s));
    expectSample(m, 2, 3);
    velkio_Matrix_delete(&m);

    Shape one;
    one.dims = {1, 1};
    one.smallName = true;
    one.smallParts = true;
    m = decodeQuietly(handBuilt(one));
    expectSample(m, 1, 1);
    velkio_Matrix_delete(&m);
}

TEST(MatFile, EveryTruncationIsRefused)
{
    Bytes full = handBuilt(Shape());
    velkio_Matrix *ok = decodeQuietly(full);
    ASSERT_NE(ok, nullptr) << "the untruncated member decodes";
    velkio_Matrix_delete(&ok);
    for (size_t len = 0; len < full.size(); len++) {
        // A copy of exactly len bytes, so that a read past it is caught by
        // the sanitizer build.
        Bytes cut(full.begin(), full.begin() + (long)len);
        std::string log;
        velkio_Matrix *m = decodeQuietly(cut, &log);
        EXPECT_EQ(m, nullptr) << "length " << len;
        EXPECT_NE(log.find("member.mat"), std::string::npos) << "length " << len;
        velkio_Matrix_delete(&m);
    }
    // Extra bytes after the matrix element are refused as well.
    Bytes longer = full;
    longer.insert(longer.end(), 8, 0);
    EXPECT_EQ(decodeQuietly(longer), nullptr);
}

// What archive readers learn from a member's first bytes must agree with
// the whole member: they allocate by it.
TEST(MatFile, HeaderGivesShapeAndSizeOfEveryAcceptedForm)
{
    Shape smallName, one;
    smallName.smallName = true;
    one.dims = {1, 1};
    one.smallName = one.smallParts = true;
    velkio_Matrix *wide = sample(4, 257);
    std::vector<Bytes> members = {handBuilt(Shape()), handBuilt(smallName), handBuilt(one),
                                  encode(wide)};
    velkio_Matrix_delete(&wide);
    for (const Bytes &b : members) {
        int rows = 0, cols = 0;
        size_t size = 0;
        const char *why = nullptr;
        size_t n = std::min(b.size(), (size_t)VELKIO_MATFILE_HEADER_BYTES);
        Bytes head(b.begin(), b.begin() + (long)n); // exactly n bytes, for the sanitizer
        ASSERT_EQ(velkio_MatFile_readHeader(head.data(), n, &rows, &cols, &size, &why), 0) << why;
        velkio_Matrix *m = decodeQuietly(b);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(rows, m->rows);
        EXPECT_EQ(cols, m->cols);
        EXPECT_EQ(size, b.size());
        velkio_Matrix_delete(&m);
        testing::internal::CaptureStderr();
        EXPECT_EQ(velkio_MatFile_check(b.data(), b.size(), "member.mat"), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    }

    // A matrix element claiming more than its dimensions need, and a
    // header cut short, are refused on the header alone.
    Bytes big = handBuilt(Shape());
    uint32_t claimed = (uint32_t)(big.size() - 136 + 4096);
    memcpy(big.data() + 132, &claimed, 4);
    int rows = 0, cols = 0;
    size_t size = 0;
    const char *why = nullptr;
    EXPECT_EQ(velkio_MatFile_readHeader(big.data(), VELKIO_MATFILE_HEADER_BYTES, &rows, &cols,
                                        &size, &why), 1);
    EXPECT_STREQ(why, "matrix element is larger than its dimensions call for");
    EXPECT_EQ(velkio_MatFile_readHeader(big.data(), 170, &rows, &cols, &size, &why), 1);

    // A value that is not finite is named by its place.
    Bytes nan = handBuilt(Shape());
    float bad = NAN;
    // The imaginary part is the last 24 bytes; (1, 2) is column-major element 5.
    memcpy(nan.data() + nan.size() - 24 + 4 * 5, &bad, 4);
    testing::internal::CaptureStderr();
    EXPECT_EQ(velkio_MatFile_check(nan.data(), nan.size(), "member.mat"), 1);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("member.mat: the imaginary part of row 1, column 2 is not a finite number"),
              std::string::npos)
        << log;
}

TEST(MatFile, WrongKindsOfArraysAreRefusedWithTheirReason)
{
    struct Case {
        const char *reason;
        Shape shape;
    };
    std::vector<Case> cases;
    Shape s;
    s.flags = 0x0809; // double precision class
    cases.push_back({"single precision", s});
    s = Shape();
    s.flags = 0x0007; // not complex, still two parts
    cases.push_back({"not complex", s});
    s = Shape();
    s.flags = 0x0007;
    s.withImag = false; // a genuine real-only array
    cases.push_back({"not complex", s});
    s = Shape();
    s.withImag = false; // complex flag but no imaginary part
    cases.push_back({"imaginary part missing", s});
    s = Shape();
    s.dims = {2, 3, 2};
    cases.push_back({"not 2-D", s});
    s = Shape();
    s.dims = {0, 3};
    cases.push_back({"not positive", s});
    s = Shape();
    s.realBytesDelta = -8; // count does not match rows x cols
    cases.push_back({"real part", s});
    for (const Case &c : cases) {
        std::string log;
        velkio_Matrix *m = decodeQuietly(handBuilt(c.shape), &log);
        EXPECT_EQ(m, nullptr) << c.reason;
        EXPECT_NE(log.find(c.reason), std::string::npos) << log;
        EXPECT_NE(log.find("member.mat"), std::string::npos) << log;
        velkio_Matrix_delete(&m);
    }
}

TEST(MatFile, HeaderAndContainerErrorsAreRefused)
{
    Bytes good = handBuilt(Shape());
    auto refused = [](Bytes b, const char *reason) {
        std::string log;
        velkio_Matrix *m = decodeQuietly(b, &log);
        EXPECT_EQ(m, nullptr) << reason;
        EXPECT_NE(log.find(reason), std::string::npos) << log;
        velkio_Matrix_delete(&m);
    };
    Bytes b = good;
    b[126] = 'M';
    b[127] = 'I';
    refused(b, "big-endian");
    b = good;
    b[124] = 0x02;
    refused(b, "version");
    b = good;
    b[128] = 15; // miCOMPRESSED
    refused(b, "compressed");
    b = good;
    b[128] = 7; // a bare miSINGLE element
    refused(b, "miMATRIX");
    b = good;
    b[132] = 0xff; // matrix size far beyond the buffer
    b[133] = 0xff;
    refused(b, "truncated");
    b = good;
    b[136 + 16 + 4] = 12; // dims element size 12 but only 8 bytes of dims
    refused(b, "2-D");
    b = good;
    for (int i = 160; i < 168; i++) // absurd dimensions: 2^31-1 x 2^31-1
        b[i] = (i % 4 == 3) ? 0x7f : 0xff;
    refused(b, "does not match");
    std::string log;
    testing::internal::CaptureStderr();
    EXPECT_EQ(velkio_MatFile_decode(nullptr, 0, nullptr), nullptr);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("MAT-file"), std::string::npos);
}

// Any single damaged byte gives either a matrix of the same shape or a
// refusal, never a read outside the buffer (the sanitizer build checks).
TEST(MatFile, DamagedBytesNeverReadOutsideTheBuffer)
{
    Bytes good = handBuilt(Shape());
    testing::internal::CaptureStderr();
    for (size_t i = 0; i < good.size(); i++) {
        for (unsigned char v : {0x00, 0x01, 0x7f, 0x80, 0xff}) {
            Bytes b = good;
            b[i] = v;
            velkio_Matrix *m = velkio_MatFile_decode(b.data(), b.size(), "x");
            if (m != nullptr) {
                EXPECT_EQ(m->rows, 2) << "byte " << i;
                EXPECT_EQ(m->cols, 3) << "byte " << i;
            }
            velkio_Matrix_delete(&m);
        }
    }
    testing::internal::GetCapturedStderr();
}

// Interoperability with an independent reader and writer.
// A file of several arrays: an int32 scalar and a 1 x 1 x 2 complex single
// array, built by hand; arrays no MAT-file can hold are refused.
TEST(MatFile, SeveralArraysMatchTheLevel5LayoutByteForByte)
{
    const int32_t seven = 7;
    const float re[2] = {1, 3}, im[2] = {2, -4};
    velkio_MatArray arrays[2] = {{"n", VELKIO_MAT_INT32, 2, {1, 1, 0, 0}, &seven, nullptr},
                                 {"tf", VELKIO_MAT_SINGLE, 3, {1, 1, 2, 0}, re, im}};
    Bytes want = header();
    const uint32_t n[] = {14, 64, 6, 8, 12, 0, 5, 8, 1, 1, 1, 1, 'n', 0, 5, 4, 7, 0};
    for (uint32_t w : n)
        word(want, w);
    const uint32_t tf[] = {14, 88, 6, 8, 0x0807, 0, 5, 12, 1, 1, 2, 0, 1, 2, 't' | ('f' << 8), 0,
                           7, 8};
    for (uint32_t w : tf)
        word(want, w);
    flt(want, 1);
    flt(want, 3);
    word(want, 7);
    word(want, 8);
    flt(want, 2);
    flt(want, -4);

    size_t size = velkio_MatFile_arraysSize(arrays, 2);
    ASSERT_EQ(size, want.size());
    Bytes got(size);
    ASSERT_EQ(velkio_MatFile_encodeArrays(arrays, 2, got.data(), size), 0);
    // The descriptive text aside, every byte.
    EXPECT_EQ(Bytes(got.begin() + 116, got.end()), Bytes(want.begin() + 116, want.end()));

    testing::internal::CaptureStderr();
    velkio_MatArray bad = arrays[0];
    bad.rank = 1;
    EXPECT_EQ(velkio_MatFile_arraysSize(&bad, 1), 0u);
    bad = arrays[0];
    bad.name = "2n";
    EXPECT_EQ(velkio_MatFile_arraysSize(&bad, 1), 0u);
    bad = arrays[1];
    bad.dims[2] = (size_t)1 << 31; // 4 GiB of data
    EXPECT_EQ(velkio_MatFile_arraysSize(&bad, 1), 0u);
    EXPECT_EQ(velkio_MatFile_encodeArrays(arrays, 2, got.data(), size - 8), 1);
    testing::internal::GetCapturedStderr();
}

TEST(MatFile, ScipyReadsWhatIsWrittenAndWritesWhatIsRead)
{
    if (!velktest::haveScipy())
        GTEST_SKIP() << "/usr/bin/python3 with scipy not available";
    velktest::TempDir dir;
    velkio_Matrix *m = sample(3, 5);
    Bytes b = encode(m);
    velkio_Matrix_delete(&m);
    ASSERT_TRUE(velktest::writeFile(dir.file("ours.mat"), b.data(), b.size()));

    std::string script =
        "import sys, numpy as np, scipy.io as sio\n"
        "d = sio.loadmat(sys.argv[1])\n"
        "a = d['tf']\n"
        "assert a.dtype == np.complex64, a.dtype\n"
        "assert a.shape == (3, 5), a.shape\n"
        "for r in range(3):\n"
        "    for c in range(5):\n"
        "        want = complex(1.0 + r * 10 + c, -0.5 * (r + 1) + 0.25 * c)\n"
        "        assert a[r, c] == want, (r, c, a[r, c], want)\n"
        "b = np.array([[1 + 10 * r + c - 0.5j * (r + 1) + 0.25j * c for c in range(4)]\n"
        "              for r in range(2)], dtype=np.complex64)\n"
        "sio.savemat(sys.argv[2], {'tf': b})\n"
        "one = np.array([[1 - 0.5j]], dtype=np.complex64)\n"
        "sio.savemat(sys.argv[3], {'tf': one})\n"
        "print('ok')\n";
    ASSERT_TRUE(velktest::writeFile(dir.file("check.py"), script));
    std::string out;
    int status = velktest::runCommand("/usr/bin/python3 " + dir.file("check.py") + " " +
                                          dir.file("ours.mat") + " " + dir.file("theirs.mat") +
                                          " " + dir.file("one.mat") + " 2>&1",
                                      &out);
    ASSERT_EQ(status, 0) << out;

    Bytes theirs = velktest::readFile(dir.file("theirs.mat"));
    velkio_Matrix *t = velkio_MatFile_decode(theirs.data(), theirs.size(), "theirs.mat");
    expectSample(t, 2, 4);
    velkio_Matrix_delete(&t);
    Bytes one = velktest::readFile(dir.file("one.mat"));
    t = velkio_MatFile_decode(one.data(), one.size(), "one.mat");
    expectSample(t, 1, 1);
    velkio_Matrix_delete(&t);
}
