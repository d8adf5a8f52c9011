// Helpers for the legacy-file tests: comparison of the matrices and
// positions of two records (the records with known values are in
// tf_records.h).
#ifndef VELK_LEGACY_TEST_UTIL_H
#define VELK_LEGACY_TEST_UTIL_H

#include <string>

#include <gtest/gtest.h>

#include "tf_records.h"
#include "velkio.h"

namespace velktest {

// Every matrix of `got` equals the corresponding one of `want` exactly.
inline void expectSameMatrices(velkio_Matrix *const *want, int nWant,
                               velkio_Matrix *const *got, int nGot, const std::string &what)
{
    ASSERT_EQ(nWant, nGot) << what;
    for (int i = 0; i < nWant; i++) {
        ASSERT_NE(nullptr, got[i]) << what;
        ASSERT_EQ(want[i]->rows, got[i]->rows) << what;
        ASSERT_EQ(want[i]->cols, got[i]->cols) << what;
        for (int k = 0; k < want[i]->rows * want[i]->cols; k++)
            ASSERT_EQ(want[i]->data[k], got[i]->data[k]) << what << " matrix " << i << " value " << k;
    }
}

// Positions of `got` have the ids and Cartesian coordinates of `want`.
inline void expectSamePositions(const velkio_Positions *want, const velkio_Positions *got)
{
    ASSERT_NE(nullptr, got);
    ASSERT_EQ(want->count, got->count);
    for (int i = 0; i < want->count; i++) {
        EXPECT_EQ(want->list[i]->id, got->list[i]->id);
        for (int k = 0; k < 3; k++)
            EXPECT_EQ(want->list[i]->coords[k], got->list[i]->coords[k]);
    }
}

} // namespace velktest

#endif /* VELK_LEGACY_TEST_UTIL_H */
