// Complex matrices: creation limits, bounds-checked access, release.
#include "velkio.h"

#include <gtest/gtest.h>

#include <climits>

TEST(Matrix, RefusesOtherTypesAndNonPositiveOrOverflowingSizes)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(velkio_Matrix_new("real", 2, 2), nullptr);
    EXPECT_EQ(velkio_Matrix_new(nullptr, 2, 2), nullptr);
    EXPECT_EQ(velkio_Matrix_new("complex", 0, 2), nullptr);
    EXPECT_EQ(velkio_Matrix_new("complex", 2, -1), nullptr);
    EXPECT_EQ(velkio_Matrix_new("complex", INT_MAX, INT_MAX), nullptr);
    EXPECT_EQ(velkio_Matrix_new("complex", 65536, 65536), nullptr);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("[E]"), std::string::npos);
}

TEST(Matrix, NewIsZeroFilledAndRowMajor)
{
    velkio_Matrix *m = velkio_Matrix_new("complex", 2, 3);
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(m->type, "complex");
    EXPECT_EQ(m->rows, 2);
    EXPECT_EQ(m->cols, 3);
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(m->data[i], velkio_Complex(0, 0));

    ASSERT_EQ(velkio_Matrix_setValueComplex(m, 1, 2, velkio_Complex(1.5f, -2.5f)), 0);
    ASSERT_EQ(velkio_Matrix_setValueComplex(m, 0, 1, velkio_Complex(3, 4)), 0);
    EXPECT_EQ(m->data[1 * 3 + 2], velkio_Complex(1.5f, -2.5f));
    EXPECT_EQ(m->data[0 * 3 + 1], velkio_Complex(3, 4));
    velkio_Complex v;
    ASSERT_EQ(velkio_Matrix_getValueComplex(m, 1, 2, &v), 0);
    EXPECT_EQ(v, velkio_Complex(1.5f, -2.5f));
    velkio_Matrix_delete(&m);
    EXPECT_EQ(m, nullptr);
    velkio_Matrix_delete(&m); // a second delete is harmless
}

TEST(Matrix, AccessOutsideTheMatrixFailsAndChangesNothing)
{
    velkio_Matrix *m = velkio_Matrix_new("complex", 2, 3);
    ASSERT_NE(m, nullptr);
    velkio_Complex v(7, 7);
    const int bad[][2] = {{-1, 0}, {0, -1}, {2, 0}, {0, 3}, {INT_MAX, 0}};
    for (const auto &rc : bad) {
        EXPECT_EQ(velkio_Matrix_setValueComplex(m, rc[0], rc[1], velkio_Complex(1, 1)), 1);
        EXPECT_EQ(velkio_Matrix_getValueComplex(m, rc[0], rc[1], &v), 1);
    }
    EXPECT_EQ(v, velkio_Complex(7, 7));
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(m->data[i], velkio_Complex(0, 0));
    EXPECT_EQ(velkio_Matrix_setValueComplex(nullptr, 0, 0, v), 1);
    EXPECT_EQ(velkio_Matrix_getValueComplex(nullptr, 0, 0, &v), 1);
    EXPECT_EQ(velkio_Matrix_getValueComplex(m, 0, 0, nullptr), 1);
    velkio_Matrix_delete(&m);
}
