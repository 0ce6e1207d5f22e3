#include "Usage.h"

#include <gtest/gtest.h>

TEST(UsagePlaceholder, Builds) {}
