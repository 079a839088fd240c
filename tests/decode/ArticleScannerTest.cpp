#include "decode/ArticleScanner.h"

#include <gtest/gtest.h>

TEST(ArticleScanner, ExtractNameTakesTheTextAfterTheLastSlash) {
  EXPECT_EQ(TArticleScanner::ExtractName("/news/a/b.jpg"), "b.jpg");
  EXPECT_EQ(TArticleScanner::ExtractName("b.jpg"), "b.jpg");
  EXPECT_EQ(TArticleScanner::ExtractName("/news/"), "");
}
