#include <gtest/gtest.h>
#include "math_transformation.h"
TEST(Smoke, Identity) { EXPECT_EQ(Zem::Transformation::identity().getScale(), 1.0); }
