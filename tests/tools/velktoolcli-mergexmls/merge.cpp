// The merger's duplicate rules on documents built in memory.
#include <string>

#include <gtest/gtest.h>

#include "mergexmls.h"
#include "velkio.h"

namespace {

velkio_Positions *makeList(const char *type, int count)
{
    velkio_Positions *list = velkio_Positions_new(type, 0, 0, 0);
    for (int id = 0; id < count; id++) {
        float coords[3] = {1.0f, (float)id, 0.0f};
        velkio_Positions_append(list, velkio_Position_new(id, 1, coords, NULL));
    }
    return list;
}

velkio_Neighbors *makeNeighbors(velkio_Positions *list)
{
    velkio_Neighbors *nbrs = velkio_Neighbors_new(list);
    EXPECT_EQ(0, velkio_Neighbors_calcNeighbors(nbrs, 1, 1, 3.2));
    return nbrs;
}

velkio_Config *makeConfig(int nfft)
{
    velkio_Config *cfg = velkio_Config_new();
    velkio_Config_setNfft(cfg, nfft);
    return cfg;
}

/* Merges and returns what was logged. */
std::string mergeLogged(velkio_XML *merged, const velkio_XML *input, int last,
                        int expected)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(expected, mergexmls_addDocument(merged, input, last));
    return testing::internal::GetCapturedStderr();
}

} // namespace

TEST(Merge, EachDuplicatedSectionIsRefusedInOrder)
{
    velkio_Positions *tsp = makeList("tsp", 2);
    velkio_XML *full = velkio_XML_newFromData(tsp, makeNeighbors(tsp), makeConfig(512));
    velkio_XML *merged = velkio_XML_new();
    ASSERT_EQ(0, mergexmls_addDocument(merged, full, 0));

    // Positions are examined first, then config, then neighbors.
    std::string err = mergeLogged(merged, full, 0, 1);
    EXPECT_NE(std::string::npos, err.find("<positions> Node duplicated!!"));
    EXPECT_EQ(std::string::npos, err.find("<config>"));

    velkio_XML *config = velkio_XML_newFromData(nullptr, nullptr, makeConfig(256));
    err = mergeLogged(merged, config, 0, 1);
    EXPECT_NE(std::string::npos, err.find("<config> Node duplicated!!"));
    EXPECT_EQ(512, merged->cfg->nfft);

    velkio_Positions *other = makeList("noise", 1);
    velkio_XML *neighbors = velkio_XML_newFromData(nullptr, makeNeighbors(other), nullptr);
    err = mergeLogged(merged, neighbors, 0, 1);
    EXPECT_NE(std::string::npos, err.find("<neighbors> Node duplicated!!"));
    EXPECT_EQ(2, merged->nbrs->count);

    velkio_XML_delete(&neighbors);
    velkio_Positions_delete(&other);
    velkio_XML_delete(&config);
    velkio_XML_delete(&full);
    velkio_XML_delete(&merged);
}

TEST(Merge, LastGivenWinsWithLast)
{
    velkio_Positions *tsp = makeList("tsp", 2);
    velkio_XML *first = velkio_XML_newFromData(tsp, makeNeighbors(tsp), makeConfig(512));
    velkio_Positions *mic = makeList("microphone", 4);
    velkio_XML *second = velkio_XML_newFromData(mic, makeNeighbors(mic), makeConfig(128));
    velkio_XML *merged = velkio_XML_new();

    ASSERT_EQ(0, mergexmls_addDocument(merged, first, 1));
    ASSERT_EQ(0, mergexmls_addDocument(merged, second, 1));
    EXPECT_STREQ("microphone", merged->poses->type);
    EXPECT_EQ(4, merged->poses->count);
    EXPECT_EQ(4, merged->nbrs->count);
    EXPECT_EQ(128, merged->cfg->nfft);

    velkio_XML_delete(&first);
    velkio_XML_delete(&second);
    velkio_XML_delete(&merged);
}
