// Complex matrices: rows x columns of complex float, row-major.
#include "velkio.h"

#include <climits>
#include <cstdlib>
#include <cstring>

velkio_Matrix *velkio_Matrix_new(const char *type, int rows, int cols)
{
    VELKIO_LOG(VELKIO_LOG_TRACE, "@ %s", __func__);
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
    velkio_Complex *data = (velkio_Complex *)calloc(count, sizeof(velkio_Complex));
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
    m->data = data; // calloc: every value is 0 + 0i
    return m;
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
