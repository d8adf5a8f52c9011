// The growable report text.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "textutil.h"

TEST(CatAsprintf, StartsAndAppends)
{
    char *text = nullptr;
    EXPECT_EQ(cat_asprintf(&text, "%d,", 5), 2);
    EXPECT_STREQ(text, "5,");
    EXPECT_EQ(cat_asprintf(&text, "%d,", 12), 5);
    EXPECT_STREQ(text, "5,12,");
    EXPECT_EQ(cat_asprintf(&text, "%s", ""), 5);
    EXPECT_STREQ(text, "5,12,");
    std::string longLine(10000, 'x');
    EXPECT_EQ(cat_asprintf(&text, "%s\n", longLine.c_str()), 5 + 10001);
    EXPECT_EQ(std::string(text), "5,12," + longLine + "\n");
    free(text);
}

TEST(CatAsprintf, NullAddressDoesNothing)
{
    EXPECT_EQ(cat_asprintf(nullptr, "%d", 5), 0);
}

TEST(CatAsprintf, EmptyStartGivesEmptyText)
{
    char *text = nullptr;
    EXPECT_EQ(cat_asprintf(&text, "%s", ""), 0);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "");
    free(text);
}
