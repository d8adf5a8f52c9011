// The refusal of an output path that names one of the run's inputs: the
// same file reached through other spellings, links, and paths that must
// never match.
#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

#include "archive_test_util.h"
#include "docout.h"

using velktest::TempDir;
using velktest::writeFile;

TEST(OutputIsInput, SameFileUnderAnySpellingMatches)
{
    TempDir dir;
    std::string in = dir.file("in.xml");
    ASSERT_TRUE(writeFile(in, "<velk_xml/>"));
    ASSERT_EQ(symlink(in.c_str(), dir.file("soft.xml").c_str()), 0);
    ASSERT_EQ(link(in.c_str(), dir.file("hard.xml").c_str()), 0);

    testing::internal::CaptureStderr();
    EXPECT_NE(velk_outputIsInput(in.c_str(), in.c_str()), 0);
    EXPECT_NE(velk_outputIsInput((dir.path() + "/./in.xml").c_str(), in.c_str()), 0);
    EXPECT_NE(velk_outputIsInput(dir.file("soft.xml").c_str(), in.c_str()), 0);
    EXPECT_NE(velk_outputIsInput(dir.file("hard.xml").c_str(), in.c_str()), 0);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("output file [" + in + "] is the input file [" + in + "]"),
              std::string::npos);
}

TEST(OutputIsInput, DistinctMissingOrNullPathsNeverMatch)
{
    TempDir dir;
    std::string in = dir.file("in.xml"), other = dir.file("other.xml");
    ASSERT_TRUE(writeFile(in, "<velk_xml/>"));
    ASSERT_TRUE(writeFile(other, "<velk_xml/>")); // same bytes, another file

    testing::internal::CaptureStderr();
    EXPECT_EQ(velk_outputIsInput(other.c_str(), in.c_str()), 0);
    EXPECT_EQ(velk_outputIsInput(dir.file("new.zip").c_str(), in.c_str()), 0);
    EXPECT_EQ(velk_outputIsInput(dir.file("new.zip").c_str(), dir.file("new.zip").c_str()), 0);
    EXPECT_EQ(velk_outputIsInput(nullptr, in.c_str()), 0);
    EXPECT_EQ(velk_outputIsInput(in.c_str(), nullptr), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}
