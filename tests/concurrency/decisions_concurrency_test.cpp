// Many request threads deciding at once through the loaded plug-in: every answer must be right.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "e2e/decision_fixture.h"

namespace {

struct Expected {
    const char* object;
    const char* level;
    int permission;
    unsigned long responseCode;  // 0: no HTTP_RESPONSE_CODE entry
    unsigned long stepUp;        // 0: no step-up entry
};

const Expected MIX[] = {
    {"/Corvane/inst1/permit/a", "1", AZN_C_PERMITTED, 0, 0},
    {"/Corvane/inst1/deny/a", "1", AZN_C_NOT_PERMITTED, 0, 0},
    {"/Corvane/inst1/redirect/a", "1", AZN_C_NOT_PERMITTED, 302, 0},
    {"/Corvane/inst1/stepup/a", "1", AZN_C_PERMITTED, 0, 2},
    {"/Corvane/inst1/stepup/a", "2", AZN_C_PERMITTED, 0, 0},
    {"/Corvane/inst1/other/a", "2", AZN_C_NOT_PERMITTED, 0, 0},
};

class ConcurrentDecisions : public kova_test::DecisionFixture {};

TEST_F(ConcurrentDecisions, SixteenThreadsGetEveryAnswerRight) {
    start("[kova-eas]\nmax-handles = 8\naudit-log-cfg = file path=" + dir.file("audit.log") + "\n");
    constexpr int THREADS = 16, DECISIONS = 1000;
    std::atomic<int> wrong{0}, done{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < DECISIONS; ++i) {
                const Expected& expected = MIX[(t + i) % (sizeof MIX / sizeof MIX[0])];
                kova_test::Decision decision = decide(expected.object, {{"AUTHENTICATION_LEVEL", expected.level}});
                bool right = decision.status == 0 && decision.permission == expected.permission &&
                             ulongEntry(decision, "HTTP_RESPONSE_CODE") == expected.responseCode &&
                             ulongEntry(decision, azn_perminfo_stepup_level) == expected.stepUp;
                if (!right) ++wrong;
                ++done;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(done.load(), THREADS * DECISIONS);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(kova_test::countOf(kova_test::readFile(dir.file("audit.log")), "<kova-event>\n"),
              static_cast<std::size_t>(THREADS * DECISIONS));
}

}  // namespace
