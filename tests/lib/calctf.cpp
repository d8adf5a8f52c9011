// The calcTF window starts of an archive's source.xml, read in one pass,
// against what the XPath .../position[@id=ID]/calcTF[@type=KIND]/@offset
// gives: the first position with the id, its first element of the kind.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "calctf.h"

namespace {

const char *sourceXml =
    "<?xml version=\"1.0\"?><velk_xml><positions type=\"tsp\">"
    "<position id=\"4\"><polar azimuth=\"0\" elevation=\"0\" radius=\"1\"/>"
    "<calcTF type=\"localization\" offset=\"531.000000\" cutIndexFrom=\"531\" cutIndexTo=\"1043\"/>"
    "<calcTF type=\"separation\" offset=\"12.500000\"/></position>"
    "<position id=\"7\"><polar azimuth=\"10\" elevation=\"0\" radius=\"1\"/>"
    "<calcTF type=\"separation\" offset=\"99.000000\"/></position>"
    "<position id=\"9\"><polar azimuth=\"20\" elevation=\"0\" radius=\"1\"/>"
    "<calcTF type=\"localization\" offset=\"3.000000\"/>"
    "<calcTF type=\"localization\" offset=\"8.000000\"/></position>"
    "<position id=\"9\"><calcTF type=\"localization\" offset=\"77.000000\"/></position>"
    "</positions></velk_xml>";

TEST(CalcTF, OffsetsOfEveryPositionInOnePass)
{
    char dir[] = "/tmp/velk-calctf-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/tf.zip";
    int err = 0;
    zip_t *z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    ASSERT_NE(z, nullptr);
    zip_source_t *src = zip_source_buffer(z, strdup(sourceXml), strlen(sourceXml), 1);
    ASSERT_GE(zip_file_add(z, "transferFunction/source.xml", src, 0), 0);
    ASSERT_EQ(zip_close(z), 0);
    zip_t *archive = zip_open(path.c_str(), ZIP_RDONLY, &err);
    ASSERT_NE(archive, nullptr);

    velkio_Positions *list = velkio_Positions_new("tsp", 0, 0, 0);
    for (int id : {9, 4, 7, 2})
        velkio_Positions_append(list, velkio_Position_new(id, 1, nullptr, nullptr));
    float loc[4], sep[4];
    ASSERT_EQ(velk_readCalcTFOffsets(archive, list, "localization", loc), 0);
    ASSERT_EQ(velk_readCalcTFOffsets(archive, list, "separation", sep), 0);
    EXPECT_EQ(loc[0], 3.0f);   // first position 9, its first element
    EXPECT_EQ(loc[1], 531.0f);
    EXPECT_EQ(loc[2], 0.0f);   // no element of the kind
    EXPECT_EQ(loc[3], 0.0f);   // no such position
    EXPECT_EQ(sep[1], 12.5f);
    EXPECT_EQ(sep[2], 99.0f);
    velkio_Positions_delete(&list);
    zip_discard(archive);
    unlink(path.c_str());
    rmdir(dir);
}

} // namespace
