// The 8080 test programs through the real executable: the preliminary check and the exerciser with CRCs from real silicon.
#include <gtest/gtest.h>

#include "tests/run.h"

namespace {

TEST(ProcessorPrograms, PreliminaryTestsComplete) {
    KAVO_REQUIRE_SHARED("cpm/cputest/8080PRE.COM", program);
    test::TemporaryDirectory directory;
    const test::Result result = test::run_kavo(directory.path(), {program.string()});
    EXPECT_NE(result.output.find("8080 Preliminary tests complete"), std::string::npos) << result.output;
    EXPECT_EQ(result.status, 0);
}

TEST(ProcessorPrograms, ExerciserReportsEveryGroupOk) {
    KAVO_REQUIRE_SHARED("cpm/cputest/8080EX1.COM", program);
    test::TemporaryDirectory directory;
    const test::Result result = test::run_kavo(directory.path(), {program.string()}, "", std::chrono::seconds(300));
    std::size_t ok = 0;
    for (std::size_t at = result.output.find("OK"); at != std::string::npos; at = result.output.find("OK", at + 1))
        ++ok;
    EXPECT_EQ(ok, 25u) << result.output;
    EXPECT_EQ(result.output.find("ERROR"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("Tests complete"), std::string::npos) << result.output;
}

}  // namespace
