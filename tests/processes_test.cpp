// spawnwait, driven as a user would. The children's exit statuses are read
// from /proc while they are zombies: the parent is stopped until all five
// have exited, so none is reaped before the test has looked.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "expected.hpp"
#include "run.hpp"

using namespace tour;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int children = 5;

// Blocked in sleep(), so the child has printed its line already.
bool asleep(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/syscall");
    long number = -1;
    file >> number;
    return number == SYS_clock_nanosleep || number == SYS_nanosleep;
}

bool all_in_state(const std::vector<pid_t> &pids, char state) {
    return std::all_of(pids.begin(), pids.end(),
                       [&](pid_t pid) { return process_state(pid) == state; });
}

// Waits until the parent has created its five children and each has printed
// its line and sleeps.
std::vector<pid_t> sleeping_children(const Running &parent) {
    std::vector<pid_t> kids;
    const bool ready = wait_until(
        [&] {
            kids = children_of(parent.pid());
            return kids.size() == children && std::all_of(kids.begin(), kids.end(), asleep);
        },
        20s);
    EXPECT_TRUE(ready) << "spawnwait did not get five sleeping children";
    return kids;
}

struct Observed {
    Outcome outcome;
    pid_t parent = 0;
    std::vector<pid_t> children;  // as found under the parent
    std::vector<int> statuses;    // each child's status in waitpid's form
    Clock::duration elapsed{};
};

// Runs spawnwait to its end, reading the exit status of every child on the
// way: the parent is stopped before any child can end, so the children stay
// zombies until it is continued and reaps them.
Observed run_observed(const std::vector<std::string> &args, const Options &options = {}) {
    Observed seen;
    std::vector<std::string> argv{bin("spawnwait")};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto begin = Clock::now();
    Running parent = start(argv, options);
    seen.parent = parent.pid();
    seen.children = sleeping_children(parent);
    kill(parent.pid(), SIGSTOP);
    EXPECT_TRUE(wait_until([&] { return all_in_state(seen.children, 'Z'); }, 60s))
        << "the children did not end";
    // A zombie's status in waitpid's form: field 52 of /proc/PID/stat.
    for (const pid_t child : seen.children) {
        seen.statuses.push_back(std::stoi(stat_fields(child).at(49)));
    }
    kill(parent.pid(), SIGCONT);
    seen.outcome = parent.finish(90s);
    seen.elapsed = Clock::now() - begin;
    return seen;
}

void expect_all_exited_with(const Observed &seen, int code) {
    ASSERT_EQ(seen.statuses.size(), static_cast<size_t>(children));
    for (const int status : seen.statuses) {
        EXPECT_TRUE(WIFEXITED(status)) << "status " << status;
        EXPECT_EQ(WEXITSTATUS(status), code);
    }
}

// Checks the parent's complete output and its end: five child lines on
// stdout naming the children found, the waits in creation order on stderr.
void expect_normal_run(const Observed &seen, const std::string &out) {
    const auto pids = pids_by_index(out);
    ASSERT_EQ(pids.size(), static_cast<size_t>(children));
    auto sorted = pids;
    auto found = seen.children;
    std::sort(sorted.begin(), sorted.end());
    std::sort(found.begin(), found.end());
    EXPECT_EQ(sorted, found);
    EXPECT_EQ(seen.outcome.err, parent_report(seen.parent, pids));
    EXPECT_EQ(seen.outcome.exit_code, 0);
    EXPECT_FALSE(seen.outcome.timed_out);
    // Each child sleeps ten seconds, all at the same time.
    EXPECT_GE(seen.elapsed, 10s);
    EXPECT_LT(seen.elapsed, 30s);
}

}  // namespace

TEST(Spawnwait, ChildrenExitWithTheArgumentAndAreWaitedForInCreationOrder) {
    const Observed seen = run_observed({"3"});
    expect_all_exited_with(seen, 3);
    // Through a pipe stdout is fully buffered: a line left in a buffer
    // across fork would come out twice.
    expect_normal_run(seen, seen.outcome.out);
}

TEST(Spawnwait, StatusKeepsItsLowEightBitsAndFileOutputIsNotDoubled) {
    char path[] = "/tmp/spawnwait-out-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_NE(fd, -1);
    close(fd);
    const auto into_file = [&path] {
        const int out = open(path, O_WRONLY | O_TRUNC);
        if (out == -1 || dup2(out, STDOUT_FILENO) == -1) _exit(127);
        close(out);
    };
    const Observed seen = run_observed({"256"}, {.in_child = into_file});
    std::ifstream file(path);
    const std::string out((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::remove(path);

    expect_all_exited_with(seen, 0);
    EXPECT_EQ(seen.outcome.out, "");
    expect_normal_run(seen, out);
}

TEST(Spawnwait, WithoutArgumentChildrenExitWithZero) {
    const Observed seen = run_observed({});
    expect_all_exited_with(seen, 0);
    expect_normal_run(seen, seen.outcome.out);
}

TEST(Spawnwait, StoppedChildrenEndTheWaitsWhileTheyStillExist) {
    // Orphans come to this process instead of init, so the test can reap them.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    Running parent = start({bin("spawnwait"), "3"});
    const auto kids = sleeping_children(parent);
    // The parent waits for the first child by its pid: the last child's
    // stop does not end that wait.
    const auto created = pids_by_index(parent.so_far().out);
    ASSERT_EQ(created.size(), static_cast<size_t>(children));
    const std::string first_wait = "Waiting in the father " + std::to_string(parent.pid()) +
                                   " for child " + std::to_string(created[0]) + "\n";
    ASSERT_TRUE(wait_until([&] { return parent.so_far().err == first_wait; }, 10s))
        << parent.so_far().err;
    kill(created.back(), SIGSTOP);
    EXPECT_FALSE(wait_until([&] { return parent.so_far().err != first_wait; }, 2s))
        << parent.so_far().err;
    for (const pid_t kid : kids) kill(kid, SIGSTOP);
    // Each wait reports its child's stop, and the parent runs to its end.
    const bool parent_ended = wait_until([&] { return process_state(parent.pid()) == 'Z'; }, 20s);
    EXPECT_TRUE(parent_ended);
    EXPECT_TRUE(all_in_state(kids, 'T')) << "a child ended although it was stopped";
    // The stopped children still hold the output pipes open.
    for (const pid_t kid : kids) kill(kid, SIGKILL);
    const Outcome result = parent.finish(30s);
    for (const pid_t kid : kids) waitpid(kid, nullptr, 0);

    const auto pids = pids_by_index(result.out);
    ASSERT_EQ(pids.size(), static_cast<size_t>(children));
    EXPECT_EQ(result.err, parent_report(parent.pid(), pids));
    EXPECT_EQ(result.exit_code, 0);
}

TEST(Spawnwait, FailedForkIsReportedAndEndsWithStatusOne) {
    const Outcome result = run({bin("spawnwait"), "3"}, 30s, {.in_child = forbid_fork});
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "fork: Resource temporarily unavailable\n");
    EXPECT_EQ(result.exit_code, 1);
}
