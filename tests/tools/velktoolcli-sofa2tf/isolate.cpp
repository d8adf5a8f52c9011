// The reader's process: its result comes back, and a reader that a
// signal ends (a crash of the libraries) is reported, not shared.
#include "sofaread.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>

namespace {

int returns(void *arg)
{
    return *(int *)arg;
}

int crashes(void *)
{
    signal(SIGSEGV, SIG_DFL);
    raise(SIGSEGV);
    return 0;
}

int terminated(void *)
{
    raise(SIGTERM);
    return 0;
}

} // namespace

TEST(SofaIsolate, ResultOfTheReaderOrAReportOfItsCrash)
{
    int zero = 0, five = 5;
    EXPECT_EQ(sofa_isolate("x.sofa", returns, &zero), 0);
    EXPECT_EQ(sofa_isolate("x.sofa", returns, &five), 1);

    testing::internal::CaptureStderr();
    EXPECT_EQ(sofa_isolate("x.sofa", crashes, nullptr), 1);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("x.sofa: the netCDF-4 library failed on this file (Segmentation fault)"),
              std::string::npos)
        << log;
    // A reader killed from outside is no damaged file: the program ends the same way.
    EXPECT_EXIT(sofa_isolate("x.sofa", terminated, nullptr), testing::KilledBySignal(SIGTERM),
                "^$");
}

TEST(SofaOpen, BytesThatAreNoNetcdf4FileAreRefusedBeforeTheLibrary)
{
    const unsigned char text[] = "CDF\x01 a netCDF-3 header is not a SOFA file";
    sofa_Input in;
    testing::internal::CaptureStderr();
    EXPECT_EQ(sofa_open(text, sizeof text, "old.nc", &in), 1);
    EXPECT_EQ(sofa_open(nullptr, 0, "none", &in), 1);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("old.nc: not a netCDF-4 (HDF5) file"), std::string::npos) << log;
    EXPECT_EQ(in.ncid, -1);
}
