// Neighbour lists of positions on a circle, computed in memory and by the
// program run as a process on a document written through the library.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "genneighbors.h"
#include "velkio.h"

namespace {

const int N = 36; // one position every 10 degrees

velkio_XML *makeCircleDocument()
{
    velkio_Positions *list = velkio_Positions_new("tsp", 0, 0, 0);
    for (int id = 0; id < N; id++) {
        float azimuth = (float)(id * 10) * (float)M_PI / 180.0f;
        float coords[3] = {cosf(azimuth), sinf(azimuth), 0.0f};
        velkio_Positions_append(list, velkio_Position_new(id, 1, coords, NULL));
    }
    return velkio_XML_newFromData(list, nullptr, nullptr);
}

const velkio_NeighborList *listOf(const velkio_Neighbors *nbrs, int id)
{
    for (int k = 0; k < nbrs->count; k++)
        if (nbrs->lists[k].id == id)
            return &nbrs->lists[k];
    return nullptr;
}

/* Every position has exactly its two adjacent positions as neighbours. */
void expectAdjacentNeighbors(const velkio_Neighbors *nbrs)
{
    ASSERT_NE(nullptr, nbrs);
    EXPECT_EQ(N, nbrs->count);
    for (int id = 0; id < N; id++) {
        const velkio_NeighborList *list = listOf(nbrs, id);
        ASSERT_NE(nullptr, list) << id;
        ASSERT_EQ(2, list->count) << id;
        std::set<int> got(list->ids, list->ids + list->count);
        std::set<int> want = {(id + 1) % N, (id + N - 1) % N};
        EXPECT_EQ(want, got) << id;
    }
}

struct TempDir {
    std::string path;
    TempDir()
    {
        char name[] = "/tmp/genneighbors-XXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
};

int run(const std::string &arguments)
{
    std::string command =
        std::string(VELK_BIN_DIR) + "/velktoolcli-genneighbors " + arguments;
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST(AddNeighbors, AdjacentPositionsOnACircle)
{
    velkio_XML *doc = makeCircleDocument();
    ASSERT_EQ(0, genneighbors_addNeighbors(doc, GENNEIGHBORS_NEAREST, 2, 0.2f));
    expectAdjacentNeighbors(doc->nbrs);
    // A second run replaces the lists: a threshold below the 10-degree step
    // leaves every position without neighbours.
    ASSERT_EQ(0, genneighbors_addNeighbors(doc, GENNEIGHBORS_NEAREST, 2, 0.1f));
    ASSERT_EQ(N, doc->nbrs->count);
    for (int k = 0; k < N; k++)
        EXPECT_EQ(0, doc->nbrs->lists[k].count);
    velkio_XML_delete(&doc);
}

TEST(AddNeighbors, UnknownAlgorithmLeavesTheDocumentAlone)
{
    velkio_XML *doc = makeCircleDocument();
    testing::internal::CaptureStderr();
    EXPECT_EQ(1, genneighbors_addNeighbors(doc, 2, 2, 0.2f));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find("unknown algorithm [2]"));
    EXPECT_EQ(nullptr, doc->nbrs);
    velkio_XML_delete(&doc);
}

TEST(Program, WritesTheNeighborsOfEachPosition)
{
    TempDir dir;
    std::string in = dir.path + "/circle.xml";
    std::string out = dir.path + "/neighbors.xml";
    velkio_XML *doc = makeCircleDocument();
    FILE *file = fopen(in.c_str(), "w");
    ASSERT_NE(nullptr, file);
    ASSERT_EQ(0, velkio_XML_write(doc, file));
    fclose(file);
    velkio_XML_delete(&doc);

    ASSERT_EQ(0, run("-n 2 -t 0.2 " + in + " " + out + " 2>/dev/null"));
    velkio_XML *result = velkio_XML_newFromXML(out.c_str(), "");
    ASSERT_NE(nullptr, result);
    ASSERT_NE(nullptr, result->poses);
    EXPECT_EQ(N, result->poses->count);
    expectAdjacentNeighbors(result->nbrs);
    velkio_XML_delete(&result);
}
