#include <tavik/error.h>
#include <tavik/error_categories.h>

#include <gtest/gtest.h>

TEST(error, smoke) { EXPECT_EQ(tavik::details::hresult_from_win32(5), HRESULT(0x80070005)); }
