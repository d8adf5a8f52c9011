// velktoolcli-conv-sm on its command line: the conversion, the positional
// arguments in their order, and that a failed run writes nothing.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "archive_test_util.h"
#include "convsm.h"
#include "legacy_test_util.h"
#include "velkio.h"

using velktest::TempDir;

namespace {

struct Outcome {
    int status;
    std::string out, err;
};

// Runs the program's main routine on the arguments that follow its name.
int callMain(std::vector<std::string> args)
{
    args.insert(args.begin(), "velktoolcli-conv-sm");
    std::vector<const char *> argv;
    for (const std::string &a : args)
        argv.push_back(a.c_str());
    argv.push_back(nullptr);
    return convsm_main((int)args.size(), argv.data());
}

// The same with standard output discarded (for runs that end the process).
int callMainQuietly(std::vector<std::string> args)
{
    if (freopen("/dev/null", "w", stdout) == nullptr)
        return -1;
    return callMain(args);
}

// The same with both output streams captured.
Outcome convsm(std::vector<std::string> args)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    Outcome r;
    r.status = callMain(args);
    r.err = testing::internal::GetCapturedStderr();
    r.out = testing::internal::GetCapturedStdout();
    return r;
}

bool exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

// Position of `what` in `text`; fails the test when absent.
size_t at(const std::string &text, const std::string &what)
{
    size_t i = text.find(what);
    EXPECT_NE(std::string::npos, i) << "missing: " << what << "\nin: " << text;
    return i;
}

class ConvSm : public testing::Test {
protected:
    void SetUp() override
    {
        record = velktest::legacyRecord(3, 4, 8);
        velkio_TransferFunction_setSepTFs(record, velktest::legacyMatrices(2, 3, 4, 8));
        mat = dir.file("mat.tff");
        zip = dir.file("sep.zip");
        out = dir.file("out.zip");
        ASSERT_EQ(0, velkio_TransferFunction_write(record, zip.c_str(), nullptr));
        ASSERT_EQ(0, velkio_Compat_SeparationMatrix_writelibvelkio2(record, mat.c_str()));
    }
    void TearDown() override { velkio_TransferFunction_delete(&record); }

    TempDir dir;
    velkio_TransferFunction *record = nullptr;
    std::string mat, zip, out;
};

} // namespace

TEST_F(ConvSm, ConvertsTheMatrixIntoASeparationMatrixArchive)
{
    Outcome r = convsm({mat, zip, out});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ("sepmatpath=" + mat + "\nseptfpath=" + zip + "\n", r.out);
    EXPECT_EQ("SUCCESS\n output file : " + out + "\n", r.err);
    velkio_TransferFunction *back = velkio_TransferFunction_fromFile(out.c_str(), "separation matrix");
    ASSERT_NE(nullptr, back);
    velktest::expectSameMatrices(record->sepTFs, 3, back->sepTFs, back->nSepTFs, "matrix");
    EXPECT_EQ(0, back->nLocTFs);
    velktest::expectSamePositions(record->positions, back->positions);
    velktest::expectSamePositions(record->microphones, back->microphones);
    velkio_TransferFunction_delete(&back);

    // The program itself, as installed, does the same.
    std::string again = dir.file("again.zip");
    ASSERT_EQ(0, velktest::runCommand(std::string("'") + VELK_BIN_DIR + "/velktoolcli-conv-sm' '" +
                                      mat + "' '" + zip + "' '" + again + "' >/dev/null 2>&1"));
    back = velkio_TransferFunction_fromFile(again.c_str(), "separation matrix");
    ASSERT_NE(nullptr, back);
    velktest::expectSameMatrices(record->sepTFs, 3, back->sepTFs, back->nSepTFs, "program");
    velkio_TransferFunction_delete(&back);
}

TEST_F(ConvSm, MissingArgumentsAreReportedInOrder)
{
    Outcome r = convsm({"--logLevel", "E"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_LT(at(r.err, "missing sepmatfile(binary)"), at(r.err, "missing septffile(zip)"));

    r = convsm({mat});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("sepmatpath=" + mat + "\n", r.out);
    at(r.err, "missing septffile(zip)");
    EXPECT_EQ(std::string::npos, r.err.find("missing sepmatfile"));

    // With two arguments the inputs are read first, then the output is
    // found missing.
    r = convsm({mat, zip});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("sepmatpath=" + mat + "\nseptfpath=" + zip + "\n", r.out);
    at(r.err, "missing outputfile(zip)");
    EXPECT_EQ(std::string::npos, r.err.find("readlibvelkio2 error"));

    std::string bad = dir.file("bad.tff");
    ASSERT_TRUE(velktest::writeFile(bad, "not legacy"));
    r = convsm({bad, zip});
    EXPECT_EQ(1, r.status);
    EXPECT_LT(at(r.err, "does not begin with \"VELK\""),
              at(r.err, "velkio_Compat_SeparationMatrix_readlibvelkio2 error"));
    EXPECT_EQ(std::string::npos, r.err.find("missing outputfile"));

    r = convsm({"--nope", mat, zip, out});
    EXPECT_EQ(1, r.status);
    at(r.err, "--nope: unknown option");
    EXPECT_EQ("", r.out);
    EXPECT_FALSE(exists(out));
}

TEST_F(ConvSm, AMatrixThatDoesNotFitOrAnUnwritableOutputFails)
{
    velkio_TransferFunction *other = velktest::legacyRecord(3, 4, 16);
    velkio_TransferFunction_setSepTFs(other, velktest::legacyMatrices(2, 3, 4, 16));
    std::string wrong = dir.file("wrong.tff");
    ASSERT_EQ(0, velkio_Compat_SeparationMatrix_writelibvelkio2(other, wrong.c_str()));
    velkio_TransferFunction_delete(&other);
    Outcome r = convsm({wrong, zip, out});
    EXPECT_EQ(1, r.status);
    EXPECT_LT(at(r.err, "has nfft 16 and sampling rate 16000; its archive"),
              at(r.err, "velkio_Compat_SeparationMatrix_readlibvelkio2 error"));
    EXPECT_FALSE(exists(out));

    std::string unwritable = dir.file("none/out.zip");
    r = convsm({mat, zip, unwritable});
    EXPECT_EQ(1, r.status);
    at(r.err, "can not write output file [" + unwritable + "]");
    EXPECT_EQ(std::string::npos, r.err.find("SUCCESS"));
}

TEST_F(ConvSm, HelpOnlyAsTheFirstOption)
{
    EXPECT_EXIT(callMainQuietly({"--help", mat, zip, out}), testing::ExitedWithCode(0), "");
    EXPECT_EXIT(callMainQuietly({}), testing::ExitedWithCode(1), "argument error!!");
    EXPECT_FALSE(exists(out));
    Outcome r = convsm({"--logLevel", "E", "--help", mat, zip, out});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(exists(out));
}
