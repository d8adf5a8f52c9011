// velktoolcli-conv-tf on its command line: conversions, the argument
// rules in their order, and that a failed run writes nothing.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <popt.h>
#include <unistd.h>
#include <zip.h>

#include "archive_test_util.h"
#include "convtf.h"
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
    args.insert(args.begin(), "velktoolcli-conv-tf");
    std::vector<const char *> argv;
    for (const std::string &a : args)
        argv.push_back(a.c_str());
    argv.push_back(nullptr);
    return convtf_main((int)args.size(), argv.data());
}

// The same with standard output discarded (for runs that end the process).
int callMainQuietly(std::vector<std::string> args)
{
    if (freopen("/dev/null", "w", stdout) == nullptr)
        return -1;
    return callMain(args);
}

// The same with both output streams captured.
Outcome convtf(std::vector<std::string> args)
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

// Member names of a zip file.
std::vector<std::string> members(const std::string &path)
{
    std::vector<std::string> names;
    zip_t *za = zip_open(path.c_str(), ZIP_RDONLY, nullptr);
    for (zip_int64_t i = 0; za != nullptr && i < zip_get_num_entries(za, 0); i++)
        names.push_back(zip_get_name(za, (zip_uint64_t)i, 0));
    if (za != nullptr)
        zip_discard(za);
    return names;
}

class ConvTf : public testing::Test {
protected:
    void SetUp() override
    {
        record = velktest::legacyRecord(3, 4, 16);
        loc = dir.file("loc.tff");
        sep = dir.file("sep.tff");
        out = dir.file("out.zip");
        ASSERT_EQ(0, velkio_Compat_TransferFunction_writelibvelkio2(
                         record, VELKIO_COMPAT_LOCALIZATION, loc.c_str()));
        ASSERT_EQ(0, velkio_Compat_TransferFunction_writelibvelkio2(
                         record, VELKIO_COMPAT_SEPARATION, sep.c_str()));
    }
    void TearDown() override { velkio_TransferFunction_delete(&record); }

    TempDir dir;
    velkio_TransferFunction *record = nullptr;
    std::string loc, sep, out;
};

} // namespace

TEST_F(ConvTf, LocalizationAloneLeavesTheSeparationDirectoryEmpty)
{
    Outcome r = convtf({"-l", loc, out});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ("loctfpath=" + loc + "\n", r.out);
    EXPECT_EQ("SUCCESS\n output file : " + out + "\n", r.err);
    std::vector<std::string> names = members(out);
    int sepMembers = 0;
    for (const std::string &n : names)
        sepMembers += n.rfind("transferFunction/separation/", 0) == 0;
    EXPECT_EQ(1, sepMembers) << "only the directory entry";
    EXPECT_EQ(6u + 3u, names.size());

    velkio_TransferFunction *back = velkio_TransferFunction_fromFile(out.c_str(), "transfer function");
    ASSERT_NE(nullptr, back);
    velktest::expectSameMatrices(record->locTFs, 3, back->locTFs, back->nLocTFs, "loc");
    EXPECT_EQ(0, back->nSepTFs);
    velktest::expectSamePositions(record->positions, back->positions);
    EXPECT_EQ(16, back->config->nfft);
    velkio_TransferFunction_delete(&back);
}

TEST_F(ConvTf, BothFilesGoIntoOneArchiveNamedByOptionOrArgument)
{
    Outcome r = convtf({"-l", loc, "--separation", sep, "-o", out});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ("loctfpath=" + loc + "\nseptfpath=" + sep + "\n", r.out);
    velkio_TransferFunction *back = velkio_TransferFunction_fromFile(out.c_str(), "transfer function");
    ASSERT_NE(nullptr, back);
    velktest::expectSameMatrices(record->locTFs, 3, back->locTFs, back->nLocTFs, "loc");
    velktest::expectSameMatrices(record->sepTFs, 3, back->sepTFs, back->nSepTFs, "sep");
    velkio_TransferFunction_delete(&back);

    std::string other = dir.file("sep-only.zip");
    r = convtf({"-s", sep, other});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ("septfpath=" + sep + "\n", r.out);
    back = velkio_TransferFunction_fromFile(other.c_str(), nullptr);
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(0, back->nLocTFs);
    velktest::expectSameMatrices(record->sepTFs, 3, back->sepTFs, back->nSepTFs, "sep");
    velkio_TransferFunction_delete(&back);
}

TEST_F(ConvTf, ArgumentRulesInTheirOrderAndNothingWritten)
{
    // Without -l and -s nothing is read and nothing written.
    Outcome r = convtf({out});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_NE(std::string::npos, r.err.find("one of -l or -s is needed at least"));

    // The inputs are read before the output is chosen: a bad input is
    // reported even when the output is missing too.
    std::string bad = dir.file("bad.tff");
    ASSERT_TRUE(velktest::writeFile(bad, "VELKnonsense"));
    r = convtf({"-l", bad});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("loctfpath=" + bad + "\n", r.out);
    size_t lib = r.err.find("truncated"), tool = r.err.find("velkio_Compat_TransferFunction_readlibvelkio2 error");
    ASSERT_NE(std::string::npos, lib) << r.err;
    ASSERT_NE(std::string::npos, tool) << r.err;
    EXPECT_LT(lib, tool);
    EXPECT_EQ(std::string::npos, r.err.find("missing outputfile"));

    r = convtf({"-l", loc});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("missing outputfile"));

    std::string second = dir.file("second.zip");
    r = convtf({"-l", loc, "-o", out, second});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find(std::string(": ") + poptStrerror(POPT_ERROR_BADOPERATION)))
        << r.err;

    r = convtf({"-l", loc, "--bogus", out});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("--bogus: unknown option")) << r.err;
    EXPECT_EQ("", r.out);

    r = convtf({out, "-s"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("-s: missing argument")) << r.err;

    EXPECT_FALSE(exists(out));
    EXPECT_FALSE(exists(second));
}

TEST_F(ConvTf, AFailedReadOrWriteLeavesAnExistingOutputAndReportsFailure)
{
    ASSERT_TRUE(velktest::writeFile(out, "previous archive"));
    std::vector<unsigned char> bytes = velktest::readFile(loc);
    bytes.resize(bytes.size() - 1);
    std::string cut = dir.file("cut.tff");
    ASSERT_TRUE(velktest::writeFile(cut, bytes.data(), bytes.size()));
    Outcome r = convtf({"-l", cut, out});
    EXPECT_EQ(1, r.status);
    std::vector<unsigned char> kept = velktest::readFile(out);
    EXPECT_EQ("previous archive", std::string(kept.begin(), kept.end()));

    // An archive that cannot be written is a failure, not a success.
    std::string unwritable = dir.file("no/such/dir/out.zip");
    r = convtf({"-l", loc, unwritable});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("can not write output file [" + unwritable + "]"));
    EXPECT_EQ(std::string::npos, r.err.find("SUCCESS"));
    r = convtf({"-l", loc, dir.path()}); // a directory of that name
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(std::string::npos, r.err.find("SUCCESS"));
}

TEST_F(ConvTf, HelpOnlyAsTheFirstOption)
{
    EXPECT_EXIT(callMainQuietly({"--help", "-l", loc, out}), testing::ExitedWithCode(0), "");
    EXPECT_EXIT(callMainQuietly({}), testing::ExitedWithCode(1), "argument error!!");
    EXPECT_FALSE(exists(out));
    // After another option --help is ignored and the conversion runs.
    Outcome r = convtf({"-l", loc, "--help", out});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(exists(out));
}

// The installed program on a file made by the library's writer: the
// checker accepts the archive, and the library loads back the same values.
TEST_F(ConvTf, ProgramOutputIsAcceptedByTheCheckerWithTheOriginalValues)
{
    std::string bin = VELK_BIN_DIR;
    ASSERT_EQ(0, velktest::runCommand("'" + bin + "/velktoolcli-conv-tf' -l '" + loc + "' -s '" +
                                      sep + "' '" + out + "' 2>/dev/null >/dev/null"));
    velkio_TransferFunction *back = velkio_TransferFunction_fromFile(out.c_str(), "transfer function");
    ASSERT_NE(nullptr, back);
    velktest::expectSameMatrices(record->locTFs, 3, back->locTFs, back->nLocTFs, "loc");
    velktest::expectSameMatrices(record->sepTFs, 3, back->sepTFs, back->nSepTFs, "sep");
    velkio_TransferFunction_delete(&back);

    std::string validtf = bin + "/velktoolcli-validtf";
    if (access(validtf.c_str(), X_OK) != 0)
        GTEST_SKIP() << "velktoolcli-validtf is not built";
    std::string report;
    EXPECT_EQ(0, velktest::runCommand("'" + validtf + "' -s '" + out + "' 2>&1", &report));
    EXPECT_NE(std::string::npos, report.find("SUCCESS")) << report;
    EXPECT_NE(std::string::npos, report.find("localization, separation")) << report;
}
