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
    // Busy CPUs make every ordering of the two processes' ends likely.
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
        // ps heads its list and shows the launcher's own process, which
        // becomes more: nothing orders ps's look and that exec, so it is
        // named either way. ps itself is the launcher's child: the orphan
        // reaped here, listed as ps.
        int status = -1;
        pid_t child = 0;
        wait_until([&] { return (child = waitpid(-1, &status, WNOHANG)) != 0; }, 20s);
        const auto listed = [&](pid_t pid, const std::string &names) {
            return std::regex_search(
                result.out, std::regex("(^|\n) *" + std::to_string(pid) + " .* " + names + "\n"));
        };
        EXPECT_TRUE(result.out.find("PID") < result.out.find('\n')) << result.out;
        EXPECT_TRUE(listed(program.pid(), "(tubechain|more)")) << result.out;
        EXPECT_TRUE(child > 0 && listed(child, "ps")) << "ps is not the launcher's child:\n"
                                                      << result.out;
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_TRUE(exited_with(status, 0)) << "ps";
    }
    stop = true;
    first.join();
    second.join();
}

TEST_F(Pipes, TubechainAtATerminalEndsWithThePagerAndLeavesNothing) {
    // An interactive use: a shell on a terminal three rows high, where more
    // pages the list and waits for a key. The shell must wait until the
    // pager has ended, not only until ps has.
    int terminal = -1;
    const pid_t shell = start_on_terminal(
        {"/bin/sh", "-c", bin("tubechain") + "; echo \"shell: $?\""}, 3, 80, terminal);
    std::string screen;
    const auto read_screen = [&] { read_terminal(terminal, screen); };
    // The pager waits for a key, and ps, its child, has ended (or the shell
    // went on without waiting for the pager).
    const auto paging = [&] {
        read_screen();
        if (screen.find("shell:") != std::string::npos) return true;
        for (const pid_t pager : children_of(shell)) {
            const auto below = children_of(pager);
            if (process_state(pager) == 'S' && below.size() == 1 &&
                process_state(below[0]) == 'Z') {
                return screen.find("--More--") != std::string::npos;
            }
        }
        return false;
    };
    // (Seconds spelled out: cppcheck 2.10 fails on a literal here.)
    if (wait_until(paging, std::chrono::seconds(30))) {
        EXPECT_EQ(screen.find("shell:"), std::string::npos) << "the shell did not wait:\n"
                                                            << screen;
        EXPECT_EQ(write(terminal, "q", 1), 1);
    } else {
        ADD_FAILURE() << "no pager waits for a key:\n" << screen;
    }
    int status = -1;
    const auto shell_ended = [&] {
        read_screen();
        return waitpid(shell, &status, WNOHANG) == shell;
    };
    if (!wait_until(shell_ended, 30s)) {
        ADD_FAILURE() << "the shell did not end:\n" << screen;
        kill(shell, SIGKILL);
        waitpid(shell, &status, 0);
    }
    // What the shell wrote last may still be in the terminal.
    read_screen();
    close(terminal);
    EXPECT_TRUE(exited_with(status, 0)) << screen;
    EXPECT_NE(screen.find("shell: 0"), std::string::npos) << screen;
    // Nothing of the session is left: ps, more's child, was handed to this
    // process when more ended.
    EXPECT_TRUE(exited_with(orphan_status(), 0)) << "ps";
}

TEST_F(PipesWithMounts, PsReachesThePagerOnlyThroughThePipe) {
    // The stand-in names its own process: the launcher's child.
    const Options options{.in_child = [] { cover("/bin/ps", PS_STANDIN); }};
    const Outcome result = run({bin("tubechain")}, 60s, options);
    int status = -1;
    pid_t ps = -1;
    ASSERT_TRUE(wait_until([&] { return (ps = waitpid(-1, &status, WNOHANG)) > 0; }, 20s));
    EXPECT_EQ(result.out, "PID ARGS\n" + std::to_string(ps) + " /bin/ps\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_TRUE(exited_with(status, 0)) << "ps";

    // A pager that quits without reading, or that cannot start, and a list
    // longer than the pipe holds: ps ends by SIGPIPE, as long as it left no
    // read end open itself.
    for (const char *pager : {"/bin/true", not_a_program}) {
        SCOPED_TRACE(pager);
        const Options flooding{.in_child = [pager] {
            cover("/bin/ps", PS_STANDIN);
            cover("/bin/more", pager);
            setenv("PS_STANDIN", "flood", 1);
        }};
        const Outcome flooded = run({bin("tubechain")}, 10s, flooding);
        EXPECT_FALSE(flooded.timed_out) << "ps still writes into a pipe nobody reads";
        EXPECT_EQ(flooded.out, "");
        if (pager == not_a_program) {
            EXPECT_EQ(flooded.err, "/bin/more: Permission denied\n");
            EXPECT_EQ(flooded.exit_code, 1);
        } else {
            EXPECT_EQ(flooded.err, "");
            EXPECT_EQ(flooded.exit_code, 0);
        }
        const int ps_status = orphan_status();
        EXPECT_TRUE(WIFSIGNALED(ps_status) && WTERMSIG(ps_status) == SIGPIPE) << "ps";
    }
}

TEST_F(PipesWithMounts, PsThatCannotStartIsReported) {
    // The child cannot become ps; more sees the end of its input at once,
    // shows nothing, and its status is the one the shell sees.
    const Options ps_covered{.in_child = [] { cover("/bin/ps", not_a_program); }};
    const Outcome no_ps = run({bin("tubechain")}, 30s, ps_covered);
    EXPECT_EQ(no_ps.out, "");
    EXPECT_EQ(no_ps.err, "/bin/ps: Permission denied\n");
    EXPECT_EQ(no_ps.exit_code, 0);
    EXPECT_TRUE(exited_with(orphan_status(), 1)) << "the child that was to be ps";
}
