#include <gtest/gtest.h>
TEST(PlotPage, Placeholder) {}
