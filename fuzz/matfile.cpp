// Fuzz target: the MAT member reader.  A member that decodes must encode
// again into bytes that decode to the same matrix, and its first bytes
// alone must give the shape and the size that the archive readers
// allocate by (velkio_MatFile_readHeader).
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "velkio.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int rows = 0, cols = 0;
    size_t headSize = 0;
    const char *why = nullptr;
    size_t n = size < VELKIO_MATFILE_HEADER_BYTES ? size : VELKIO_MATFILE_HEADER_BYTES;
    int head = velkio_MatFile_readHeader(data, n, &rows, &cols, &headSize, &why);
    velkio_Matrix *m = velkio_MatFile_decode(data, size, "fuzz");
    if (m == nullptr)
        return 0;
    if (head != 0 || rows != m->rows || cols != m->cols || headSize != size)
        abort();
    size_t encodedSize = 0;
    unsigned char *bytes = velkio_MatFile_encode(m, "tf", &encodedSize);
    if (bytes == nullptr)
        abort();
    velkio_Matrix *again = velkio_MatFile_decode(bytes, encodedSize, "re-encoded");
    if (again == nullptr || again->rows != m->rows || again->cols != m->cols ||
        memcmp(again->data, m->data, sizeof(velkio_Complex) * (size_t)m->rows * (size_t)m->cols) != 0)
        abort();
    velkio_Matrix_delete(&again);
    free(bytes);
    velkio_Matrix_delete(&m);
    return 0;
}
