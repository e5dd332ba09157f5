// tubenote and tubechain, driven as a user would. Both leave a process
// behind that their first process does not wait for; the test process is a
// child subreaper, so such orphans become its children and their exit
// status can be read.
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>

#include "peers.hpp"
#include "run.hpp"

using namespace tour;

namespace {

class Pipes : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0); }
};

// For the tests that bind-mount a stand-in over /bin/ps or /bin/more, which
// needs a mount namespace of the test's own.
class PipesWithMounts : public Isolated {
  protected:
    void SetUp() override {
        Isolated::SetUp();
        if (!IsSkipped()) {
            ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        }
    }
};

// Waits for the next orphan to end and returns its wait status, or -1.
int orphan_status() {
    int status = -1;
    if (!wait_until([&] { return waitpid(-1, &status, WNOHANG) > 0; }, 20s)) return -1;
    return status;
}

bool exited_with(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

// Runs in the program's child before exec: a mount namespace of its own in
// which `file` covers `program`, e.g. /bin/ps.
void cover(const char *program, const char *file) {
    if (unshare(CLONE_NEWNS) == -1 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1 ||
        mount(file, program, nullptr, MS_BIND, nullptr) == -1) {
        std::perror("cover");
        _exit(127);
    }
}

// A file that exists everywhere and that nobody may execute.
constexpr const char *not_a_program = "/etc/passwd";

}  // namespace

TEST_F(Pipes, TubenoteChildPrintsWhatItReceivedOrThatNothingCame) {
    // Either order, but each line whole and no zero byte in the output.
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        const Outcome result = run({bin("tubenote")}, 20s);
        EXPECT_TRUE(result.out == "father wrote\nchild read Greetings\n" ||
                    result.out == "child read Greetings\nfather wrote\n")
            << result.out;
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_TRUE(exited_with(orphan_status(), 0)) << "the child";
    }

    // The parent's write into the pipe fails: once the parent has closed
    // its end, the child's read sees the end of the data, as long as the
    // child closed its own copy of the write end.
    const Outcome unwritten =
        run({bin("tubenote")}, 10s, {.in_child = [] { fail_calls(SYS_write, EIO, 3); }});
    EXPECT_FALSE(unwritten.timed_out) << "the child still waits for data";
    EXPECT_EQ(unwritten.out, "father wrote\n");
    EXPECT_EQ(unwritten.err, "child read nothing\n");
    EXPECT_EQ(unwritten.exit_code, 0);
    EXPECT_TRUE(exited_with(orphan_status(), 1)) << "the child";
}

TEST_F(Pipes, FailedPipeOrForkIsReported) {
    struct Fault {
        void (*in_child)();
        const char *note_err;
        const char *chain_err;
    };
    // After a failed fork, tubechain must not go on as ps writing into a
    // pipe that nobody reads.
    for (const Fault fault :
         {Fault{four_descriptors, "Pipe failed", "pipe: Too many open files\n"},
          Fault{forbid_fork, "Fork failed", "fork: Resource temporarily unavailable\n"}}) {
        SCOPED_TRACE(fault.note_err);
        for (const char *program : {"tubenote", "tubechain"}) {
            const Outcome result = run({bin(program)}, 20s, {.in_child = fault.in_child});
            EXPECT_EQ(result.out, "");
            EXPECT_EQ(result.err,
                      program == std::string("tubenote") ? fault.note_err : fault.chain_err);
            EXPECT_EQ(result.exit_code, 1);
        }
    }
}

TEST_F(Pipes, TubechainShowsTheProcessListEvenWithBusyCpus) {
    // procps ps may crash on the pager's SIGCHLD when it is slow to exit;
    // busy CPUs make that likely.
    std::atomic<bool> stop{false};
    auto spin = [&] {
        while (!stop.load(std::memory_order_relaxed)) {
        }
    };
    std::thread first(spin);
    std::thread second(spin);
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        Running program = start({bin("tubechain")});
        const Outcome result = program.finish(20s);
        // ps heads its list and names itself: the launcher's own process.
        const std::regex own_line("(^|\n) *" + std::to_string(program.pid()) + " .* ps\n");
        EXPECT_TRUE(result.out.find("PID") < result.out.find('\n')) << result.out;
        EXPECT_TRUE(std::regex_search(result.out, own_line)) << result.out;
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_TRUE(exited_with(orphan_status(), 0)) << "more";
    }
    stop = true;
    first.join();
    second.join();
}

TEST_F(PipesWithMounts, PagerEndingBeforePsReachesPsOnlyThroughThePipe) {
    // The stand-in catches SIGCHLD as procps ps does and is still there
    // when more ends.
    const Options options{.in_child = [] { cover("/bin/ps", LINGERING_PS); }};
    Running program = start({bin("tubechain")}, options);
    const Outcome result = program.finish(60s);
    EXPECT_EQ(result.out, "PID ARGS\n" + std::to_string(program.pid()) + " /bin/ps\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_TRUE(exited_with(orphan_status(), 0)) << "more";

    // A pager that quits without reading, and a list longer than the pipe
    // holds: ps ends by SIGPIPE, as long as it left no read end open itself.
    const Options flooding{.in_child = [] {
        cover("/bin/ps", LINGERING_PS);
        cover("/bin/more", "/bin/true");
        setenv("PS_STANDIN", "flood", 1);
    }};
    const Outcome flooded = run({bin("tubechain")}, 10s, flooding);
    EXPECT_FALSE(flooded.timed_out) << "ps still writes into a pipe nobody reads";
    EXPECT_EQ(flooded.signal, SIGPIPE);
    EXPECT_EQ(flooded.out, "");
    EXPECT_EQ(flooded.err, "");
    EXPECT_TRUE(exited_with(orphan_status(), 0)) << "more";
}

TEST_F(PipesWithMounts, ProgramThatCannotStartIsReported) {
    // The launcher's own process cannot become ps; more sees the end of its
    // input at once and shows nothing.
    const Options ps_covered{.in_child = [] { cover("/bin/ps", not_a_program); }};
    const Outcome no_ps = run({bin("tubechain")}, 30s, ps_covered);
    EXPECT_EQ(no_ps.out, "");
    EXPECT_EQ(no_ps.err, "/bin/ps: Permission denied\n");
    EXPECT_EQ(no_ps.exit_code, 1);
    EXPECT_TRUE(exited_with(orphan_status(), 0)) << "more";

    // The child cannot become more; ps (the stand-in) writes into a pipe
    // nobody reads and is not disturbed by the failed child's end.
    const Options more_covered{.in_child = [] {
        cover("/bin/ps", LINGERING_PS);
        cover("/bin/more", not_a_program);
    }};
    const Outcome no_more = run({bin("tubechain")}, 30s, more_covered);
    EXPECT_EQ(no_more.out, "");
    EXPECT_EQ(no_more.err, "/bin/more: Permission denied\n");
    EXPECT_EQ(no_more.exit_code, 0);
    EXPECT_TRUE(exited_with(orphan_status(), 1)) << "the child that was to be more";
}
