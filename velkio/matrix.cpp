// Complex matrices: rows x columns of complex float, row-major.
#include "velkio.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <malloc.h>
#include <sys/mman.h>

namespace {

// The one allocation of a matrix; `clear` zero-fills its values, which a
// caller that writes every value (the MAT-file decoder) does not need.
velkio_Matrix *newMatrix(const char *type, int rows, int cols, bool clear)
{
    if (type == nullptr || strcmp(type, "complex") != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "unsupported matrix type [%s]",
                   type ? type : "(null)");
        return nullptr;
    }
    if (rows <= 0 || cols <= 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "invalid matrix size %d x %d", rows, cols);
        return nullptr;
    }
    // rows * cols values of 8 bytes each must be addressable.
    size_t count = (size_t)rows * (size_t)cols;
    if (count > SIZE_MAX / sizeof(velkio_Complex) || count > (size_t)INT_MAX) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "matrix size %d x %d is too large", rows, cols);
        return nullptr;
    }

    velkio_Matrix *m = (velkio_Matrix *)calloc(1, sizeof *m);
    char *name = strdup("complex");
    velkio_Complex *data = clear ? (velkio_Complex *)calloc(count, sizeof(velkio_Complex))
                                 : (velkio_Complex *)malloc(count * sizeof(velkio_Complex));
    if (m == nullptr || name == nullptr || data == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not allocate a %d x %d matrix", rows, cols);
        free(m);
        free(name);
        free(data);
        return nullptr;
    }
    m->type = name;
    m->rows = rows;
    m->cols = cols;
    m->data = data;
    return m;
}

} // namespace

namespace {

// Asks for huge pages for the whole 2 MiB pages inside a block not yet
// touched: one page fault then maps 2 MiB instead of 4 KiB.  Only advice;
// where the system does not follow it nothing changes.
void adviseHugePages(const void *block, size_t bytes)
{
    const uintptr_t huge = 2u << 20;
    uintptr_t from = ((uintptr_t)block + huge - 1) & ~(huge - 1);
    uintptr_t to = ((uintptr_t)block + bytes) & ~(huge - 1);
    if (to > from)
        madvise((void *)from, to - from, MADV_HUGEPAGE);
}

} // namespace

void velkio_Matrix_prepareHeap(size_t bytes)
{
    const int threshold = 32 << 20;
    const size_t blockLimit = (size_t)threshold - (64u << 10); // with headers
    mallopt(M_MMAP_THRESHOLD, threshold);
    mallopt(M_TRIM_THRESHOLD, bytes < INT_MAX / 2 ? (int)(2 * bytes) : INT_MAX);
    std::vector<void *> blocks;
    while (bytes > 0) {
        size_t n = bytes < blockLimit ? bytes : blockLimit;
        void *block = malloc(n);
        if (block == nullptr)
            break;
        adviseHugePages(block, n);
        blocks.push_back(block);
        bytes -= n;
    }
    for (void *block : blocks)
        free(block);
}

velkio_Matrix *velkio_Matrix_new(const char *type, int rows, int cols)
{
    VELKIO_LOG(VELKIO_LOG_TRACE, "@ %s", __func__);
    return newMatrix(type, rows, cols, true);
}

velkio_Matrix *velkio_Matrix_newUncleared(const char *type, int rows, int cols)
{
    VELKIO_LOG(VELKIO_LOG_TRACE, "@ %s", __func__);
    return newMatrix(type, rows, cols, false);
}

namespace {

bool insideMatrix(const velkio_Matrix *m, int row, int col)
{
    return m != nullptr && m->data != nullptr && row >= 0 && col >= 0 &&
           row < m->rows && col < m->cols;
}

} // namespace

int velkio_Matrix_setValueComplex(velkio_Matrix *m, int row, int col,
                                  velkio_Complex value)
{
    if (!insideMatrix(m, row, col))
        return 1;
    m->data[(size_t)row * (size_t)m->cols + (size_t)col] = value;
    return 0;
}

int velkio_Matrix_getValueComplex(const velkio_Matrix *m, int row, int col,
                                  velkio_Complex *out)
{
    if (out == nullptr || !insideMatrix(m, row, col))
        return 1;
    *out = m->data[(size_t)row * (size_t)m->cols + (size_t)col];
    return 0;
}

void velkio_Matrix_delete(velkio_Matrix **m)
{
    if (m == nullptr || *m == nullptr)
        return;
    free((*m)->type);
    free((*m)->data);
    free(*m);
    *m = nullptr;
}
