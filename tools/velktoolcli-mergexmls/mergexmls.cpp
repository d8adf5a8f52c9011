// Merging of velk_xml documents (see mergexmls.h).
#include "mergexmls.h"

#include <cstdio>

#include "docout.h"

namespace {

/* Whether a section may be taken from the input: it may when the merged
 * document has none yet or when the last one given wins. */
bool mayTake(const void *held, int last, const char *duplicateMessage)
{
    if (held == nullptr || last)
        return true;
    VELKIO_LOG(VELKIO_LOG_ERROR, "%s", duplicateMessage);
    return false;
}

bool copyFailed(const void *copy)
{
    if (copy != nullptr)
        return false;
    VELKIO_LOG(VELKIO_LOG_ERROR, "memory allocate error");
    return true;
}

int mergePositions(velkio_XML *merged, const velkio_Positions *poses, int last)
{
    if (poses == nullptr)
        return 0;
    if (!mayTake(merged->poses, last, "<positions> Node duplicated!!"))
        return 1;
    velkio_Positions *copy = velkio_Positions_copy(poses);
    if (copyFailed(copy))
        return 1;
    velkio_Positions_delete(&merged->poses);
    merged->poses = copy;
    return 0;
}

int mergeConfig(velkio_XML *merged, const velkio_Config *cfg, int last)
{
    if (cfg == nullptr)
        return 0;
    if (!mayTake(merged->cfg, last, "<config> Node duplicated!!"))
        return 1;
    velkio_Config *copy = velkio_Config_copy(cfg);
    if (copyFailed(copy))
        return 1;
    velkio_Config_delete(&merged->cfg);
    merged->cfg = copy;
    return 0;
}

int mergeNeighbors(velkio_XML *merged, const velkio_Neighbors *nbrs, int last)
{
    if (nbrs == nullptr)
        return 0;
    if (!mayTake(merged->nbrs, last, "<neighbors> Node duplicated!!"))
        return 1;
    velkio_Neighbors *copy = velkio_Neighbors_copy(nbrs);
    if (copyFailed(copy))
        return 1;
    velkio_Neighbors_delete(&merged->nbrs);
    merged->nbrs = copy;
    return 0;
}

} // namespace

int mergexmls_addDocument(velkio_XML *merged, const velkio_XML *input, int last)
{
    if (mergePositions(merged, input->poses, last) != 0)
        return 1;
    if (mergeConfig(merged, input->cfg, last) != 0)
        return 1;
    return mergeNeighbors(merged, input->nbrs, last);
}

int mergexmls_writeDocument(const velkio_XML *doc, const char *path)
{
    return velk_writeDocument(doc, path, "file open error!!");
}
