#include <gtest/gtest.h>

int main(int argc, char **argv) {
    // Death tests fork; threadsafe style re-executes so forked children start clean.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
