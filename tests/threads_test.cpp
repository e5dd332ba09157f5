// gridflip, driven as a user would.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "expected.hpp"
#include "run.hpp"

using namespace tour;

namespace {

// Line number of the first line of gridflip.cpp that contains `text`, or 0.
int gridflip_line_with(const std::string &text) {
    const auto source =
        std::filesystem::path(__FILE__).parent_path().parent_path() / "threads" / "gridflip.cpp";
    std::ifstream file(source);
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        if (line.find(text) != std::string::npos) return number;
    }
    return 0;
}

}  // namespace

TEST(Gridflip, CancelledAfterAboutOneSecondWithAUniformGrid) {
    // Five runs side by side: each main thread sleeps its second while the
    // workers share the cores, so a cancel can still land at any point of
    // a pass. At the lowest priority (nice 19), whose busy workers leave
    // the cores to the tests beside them: how many passes they make is
    // not checked.
    const auto begin = std::chrono::steady_clock::now();
    constexpr int rounds = 5;
    std::vector<Running> runs;
    runs.reserve(rounds);
    for (int round = 0; round < rounds; ++round) {
        runs.push_back(start({bin("gridflip")}, {.in_child = [] {
                                 if (setpriority(PRIO_PROCESS, 0, 19) == -1) _exit(127);
                             }}));
    }
    for (auto &running : runs) {
        SCOPED_TRACE(&running - runs.data());
        const Outcome result = running.finish(30s);
        const auto elapsed = std::chrono::steady_clock::now() - begin;
        // Cancellation waits only for the end of the current pass, which
        // takes microseconds: a mixed grid means it came in mid-pass.
        EXPECT_TRUE(cancelled_with_uniform_grid(result.out)) << result.out;
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_GE(elapsed, 1s);
        EXPECT_LT(elapsed, 10s);
    }
}

TEST(Gridflip, FailedThreadCreationIsReportedWithFileAndLineAndAborts) {
    if (IPC_TOUR_SANITIZED) GTEST_SKIP() << "sanitizers need more address space than the limit";
    // glibc sizes a new thread's stack by RLIMIT_STACK; with the address
    // space limited well below that size, the stack cannot be mapped and
    // pthread_create returns EAGAIN.
    const auto without_room_for_a_thread = [] {
        const rlimit stack{1L << 30, 1L << 30};
        const rlimit address_space{256L << 20, 256L << 20};
        const rlimit no_core{0, 0};
        if (setrlimit(RLIMIT_STACK, &stack) == -1 || setrlimit(RLIMIT_AS, &address_space) == -1 ||
            setrlimit(RLIMIT_CORE, &no_core) == -1) {
            _exit(127);
        }
    };
    const int line = gridflip_line_with("pthread_create(");
    ASSERT_GT(line, 0) << "threads/gridflip.cpp not found beside the tests";

    const Outcome result = run({bin("gridflip")}, 30s, {.in_child = without_room_for_a_thread});
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Create thread at \"gridflip.cpp\":" + std::to_string(line) +
                              ": Resource temporarily unavailable\n");
    EXPECT_EQ(result.signal, SIGABRT);
}
