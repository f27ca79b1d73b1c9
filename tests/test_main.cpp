// The test runner: every checker violation that a test did not expect with ExpectViolation
// becomes a failure of the running test, with the rule, what and where.
#include <gtest/gtest.h>

#include "host/verifier/checker.h"

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    host::SetViolationHandler([](const host::Violation& violation) {
        ADD_FAILURE() << "checker: " << host::RuleName(violation.rule) << ": " << violation.what << "\n  at "
                      << violation.where;
    });
    return RUN_ALL_TESTS();
}
