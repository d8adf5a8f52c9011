// Reading archive members whole with the library's bounded reader.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

#include <zip.h>

#include "velkio.h"

namespace {

// The member as a zero-terminated text, or 1.
int readText(zip_t *archive, const char *name, char **content)
{
    return velkio_Archive_readMember(archive, nullptr, name, VELKIO_MEMBER_XML,
                                     (unsigned char **)content, nullptr);
}

class ZipRead : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/velk-zipread-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dirPath = dir;
        path = dirPath + "/test.zip";
        int err = 0;
        zip_t *z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
        ASSERT_NE(z, nullptr);
        // A long, compressible member: stored deflated, read back whole.
        for (int i = 0; i < 2000; ++i)
            big += "line " + std::to_string(i) + "\n";
        add(z, "transferFunction/source.xml", big);
        add(z, "transferFunction/empty", "");
        ASSERT_EQ(zip_close(z), 0);
        archive = zip_open(path.c_str(), ZIP_RDONLY, &err);
        ASSERT_NE(archive, nullptr);
    }
    void TearDown() override
    {
        if (archive)
            zip_discard(archive);
        unlink(path.c_str());
        rmdir(dirPath.c_str());
    }
    static void add(zip_t *z, const char *name, const std::string &text)
    {
        zip_source_t *src = text.empty()
                                ? zip_source_buffer(z, nullptr, 0, 0)
                                : zip_source_buffer(z, strdup(text.c_str()), text.size(), 1);
        ASSERT_NE(src, nullptr);
        ASSERT_GE(zip_file_add(z, name, src, 0), 0);
    }
    std::string dirPath, path, big;
    zip_t *archive = nullptr;
};

TEST_F(ZipRead, ReadsWholeMemberZeroTerminated)
{
    char *content = nullptr;
    ASSERT_EQ(readText(archive, "transferFunction/source.xml", &content), 0);
    ASSERT_NE(content, nullptr);
    EXPECT_EQ(std::string(content), big);
    free(content);

    ASSERT_EQ(readText(archive, "transferFunction/empty", &content), 0);
    EXPECT_STREQ(content, "");
    free(content);
}

TEST_F(ZipRead, MissingMemberFailsWithMessage)
{
    char *content = (char *)"untouched";
    testing::internal::CaptureStderr();
    EXPECT_EQ(readText(archive, "transferFunction/none.xml", &content), 1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(content, nullptr);
    EXPECT_NE(err.find("member transferFunction/none.xml not found"), std::string::npos) << err;
}

} // namespace
