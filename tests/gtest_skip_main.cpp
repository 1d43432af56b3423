// GoogleTest's main for a binary that CTest runs as one test: a run that skipped a case
// and failed none exits with 77, which CTest (SKIP_RETURN_CODE) lists as not run, where
// GoogleTest's own main would have it pass.
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (RUN_ALL_TESTS() != 0) return 1;
    return testing::UnitTest::GetInstance()->skipped_test_count() > 0 ? 77 : 0;
}
