#include <gtest/gtest.h>
#include "tests/scenario.h"
#include "updater/update_run.h"
TEST(Run, Placeholder) { scenario::Machine m; EXPECT_EQ(run(), 0); }
