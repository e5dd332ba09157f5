// tallylock and tallybare, driven as a user would, each test in private
// namespaces.
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>

#include "expected.hpp"
#include "peers.hpp"
#include "run.hpp"

using namespace tour;

namespace {

union semun {
    int val;
    semid_ds *buf;
    unsigned short *array;
};

using Counters = Isolated;

Outcome tally(const std::string &program, const std::vector<std::string> &args,
              Millis timeout = 60s, const Options &options = {}) {
    std::vector<std::string> argv{bin(program)};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, timeout, options);
}

bool guard_exists() { return semget(guard_key, 0, 0) != -1; }
bool counter_exists() { return shmget(counter_key, 0, 0) != -1; }

void expect_counter_left_behind() {
    const int shmid = shmget(counter_key, 0, 0);
    ASSERT_NE(shmid, -1) << "counter segment missing";
    shmid_ds info{};
    ASSERT_EQ(shmctl(shmid, IPC_STAT, &info), 0);
    EXPECT_EQ(info.shm_segsz, 4U);
    EXPECT_EQ(info.shm_perm.mode & 0777, 0666U);
}

int guard_id() { return semget(guard_key, 0, 0); }

// Attachments of the counter segment: 11 once all five workers of a run
// have attached it (the parent's, and each worker's inherited one and its
// own).
shmatt_t attachments() {
    shmid_ds info{};
    return shmctl(shmget(counter_key, 0, 0), IPC_STAT, &info) == 0 ? info.shm_nattch : 0;
}

// The counter's value, through an attachment of the test's own that is gone
// again on return, or -1 without a counter. Only once a run is past its
// start: a run refuses to start while anyone else holds the counter.
int counter_value() {
    void *shm = shmat(shmget(counter_key, 0, 0), nullptr, SHM_RDONLY);
    if (shm == reinterpret_cast<void *>(-1)) return -1;
    const int value = *static_cast<volatile int *>(shm);
    shmdt(shm);
    return value;
}

// Stops a run's whole process group, as Ctrl-Z does, and waits until the
// program and every worker it has forked are stopped (or have ended).
bool stop_run(pid_t group) {
    kill(-group, SIGSTOP);
    return wait_until(
        [&] {
            return process_state(group) == 'T' &&
                   std::ranges::all_of(children_of(group), [](pid_t worker) {
                       const char state = process_state(worker);
                       return state == 'T' || state == 'Z' || state == '\0';
                   });
        },
        30s);
}

// tallylock N, held with SIGSTOP once it counts: its guard exists and the
// counter has grown. `counted` is then the counter's value, or -1 if the run
// never got there. All five workers counting at once is no state to wait
// for: on a busy machine the first can finish its share before the parent
// has forked the last.
Running counting_run(int n, int &counted) {
    Running program = start({bin("tallylock"), std::to_string(n)});
    counted = -1;
    // The guard is made after the counter is zeroed, so a value left by an
    // earlier run is not taken for counting.
    const auto counting = [] { return guard_exists() && counter_value() > 0; };
    if (!wait_until(counting, 60s) || !stop_run(program.pid())) return program;
    counted = counter_value();
    return program;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

}  // namespace

TEST_F(Counters, GuardedTotalIsExactlyFiveTimesN) {
    // Small counts, down to none. A run long enough for unguarded workers
    // to lose additions is checked below, stopped and continued, and in
    // the tour.
    for (const int n : {0, 1, 1000}) {
        SCOPED_TRACE(n);
        const Outcome result = tally("tallylock", {std::to_string(n)}, 120s);
        EXPECT_EQ(result.out, total_line(5LL * n));
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.exit_code, 0);
        expect_counter_left_behind();
        EXPECT_FALSE(guard_exists()) << "semaphore set 1234 left behind";
    }
}

TEST_F(Counters, BadArgumentsAbortBeforeCreatingAnything) {
    const std::string usage = "usage: a.out <integer value>\n";
    for (const auto &[args, err] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{}, usage}, {{"1", "2"}, usage}, {{"-3"}, "Argument -3 must be non-negative\n"}}) {
        for (const char *program : {"tallylock", "tallybare"}) {
            const Outcome result = tally(program, args);
            EXPECT_EQ(result.out, "");
            EXPECT_EQ(result.err, err);
            EXPECT_EQ(result.signal, SIGABRT);
        }
    }
    EXPECT_FALSE(counter_exists());
    EXPECT_FALSE(guard_exists());
}

TEST_F(Counters, ArgumentIsReadAsAtoiReadsIt) {
    EXPECT_EQ(tally("tallylock", {"  +12abc"}).out, total_line(60));
    EXPECT_EQ(tally("tallylock", {"abc"}).out, total_line(0));
    EXPECT_EQ(tally("tallylock", {"-"}).out, total_line(0));
    // Decimal only: no octal, no hex.
    EXPECT_EQ(tally("tallylock", {"010"}).out, total_line(50));
    EXPECT_EQ(tally("tallylock", {"0x10"}).out, total_line(0));
    // Too large for an int: glibc's atoi keeps the low 32 bits (2^32 + 2 -> 2).
    EXPECT_EQ(tally("tallylock", {"4294967298"}).out, total_line(10));
    const Outcome wrapped = tally("tallylock", {"4294967295"});
    EXPECT_EQ(wrapped.err, "Argument -1 must be non-negative\n");
    EXPECT_EQ(wrapped.signal, SIGABRT);
}

TEST_F(Counters, CounterSegmentTooSmallAborts) {
    ASSERT_NE(shmget(counter_key, 2, IPC_CREAT | 0666), -1);
    for (const char *program : {"tallylock", "tallybare"}) {
        const Outcome result = tally(program, {"10"});
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "shmget: Invalid argument\n");
        EXPECT_EQ(result.signal, SIGABRT);
    }
    EXPECT_FALSE(guard_exists());
}

TEST_F(Counters, LeftoverCounterAndGuardAreReused) {
    const int shmid = shmget(counter_key, 4, IPC_CREAT | 0666);
    ASSERT_NE(shmid, -1);
    auto *counter = static_cast<int *>(shmat(shmid, nullptr, 0));
    *counter = 12345;
    // Left by an earlier run: attached by no one, or the run is refused.
    shmdt(counter);
    for (const int value : {0, 1, 7}) {
        SCOPED_TRACE(value);
        const int semid = semget(guard_key, 1, IPC_CREAT | 0666);
        ASSERT_NE(semid, -1);
        semun arg{};
        arg.val = value;
        ASSERT_EQ(semctl(semid, 0, SETVAL, arg), 0);
        const Outcome result = tally("tallylock", {"2000"});
        EXPECT_EQ(result.out, total_line(10000));
        EXPECT_EQ(result.err, "");
        counter = static_cast<int *>(shmat(shmid, nullptr, 0));
        EXPECT_EQ(*counter, 10000);
        shmdt(counter);
        EXPECT_FALSE(guard_exists());
    }
}

TEST_F(Counters, StopAndContinueNeitherLosesNorBreaksTheGuard) {
    // Long enough for the forty stops, which come within its first second.
    constexpr int n = 20000;
    Running program = start({bin("tallylock"), std::to_string(n)});
    ASSERT_TRUE(wait_until([&] { return children_of(program.pid()).size() == 5; }, 10s));
    // Ctrl-Z and fg, many times, to the whole process group.
    stop_and_continue(program.pid(), 40, 1);
    const Outcome result = program.finish(120s);
    EXPECT_EQ(result.out, total_line(5LL * n));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_FALSE(guard_exists());
}

TEST_F(Counters, WorkerKilledHoldingTheGuardIsNamedOnceAndDoesNotBlockTheOthers) {
    constexpr int n = 30000;
    int counted = -1;
    Running program = counting_run(n, counted);
    ASSERT_GT(counted, 0) << "the run never counted";
    // Stop the whole run at a moment when a worker holds the guard (value 0);
    // the last process to operate on the semaphore is then the holder.
    const int semid = guard_id();
    ASSERT_NE(semid, -1);
    pid_t holder = 0;
    ASSERT_TRUE(wait_until(
        [&] {
            stop_run(program.pid());
            if (semctl(semid, 0, GETVAL) == 0) holder = semctl(semid, 0, GETPID);
            if (holder <= 0) kill(-program.pid(), SIGCONT);
            return holder > 0;
        },
        10s));
    // Without SEM_UNDO on the take, the others would sleep for ever.
    ASSERT_EQ(kill(holder, SIGKILL), 0);
    kill(-program.pid(), SIGCONT);
    const Outcome result = program.finish(120s);

    const auto lines = lines_of(result.out);
    ASSERT_EQ(lines.size(), 2U) << result.out;
    EXPECT_EQ(lines[0], "hijo " + std::to_string(holder) + " terminado");
    const auto total = total_of(lines[1] + "\n");
    ASSERT_TRUE(total) << lines[1];
    EXPECT_LT(*total, 5 * n);
    EXPECT_GE(*total, 4 * n);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_code, 0);
}

TEST_F(Counters, FailedForksAreReportedAndTheRunStillEnds) {
    for (const char *program : {"tallylock", "tallybare"}) {
        const Outcome result = tally(program, {"100"}, 30s, {.in_child = forbid_fork});
        EXPECT_EQ(result.out, total_line(0));
        std::string expected;
        for (int i = 0; i < 5; ++i) expected += "fork: Resource temporarily unavailable\n";
        EXPECT_EQ(result.err, expected);
        EXPECT_EQ(result.exit_code, 0);
    }
    EXPECT_FALSE(guard_exists());
}

TEST_F(Counters, SecondRunWhileOneCountsIsRefusedAndTouchesNothing) {
    constexpr int n = 20000;
    int counted = -1;
    Running first = counting_run(n, counted);
    ASSERT_GT(counted, 0) << "the first run never counted";
    const int semid = guard_id();
    // Whose run it is, where its last process to attach or detach the
    // counter can be seen: while it is held, that process is still there.
    const auto expect_refused = [](const std::string &attachments_said,
                                   const std::string &whose = "") {
        for (const auto &[program, arg] : {std::pair{"tallylock", "1000"}, {"tallybare", "50"}}) {
            const Outcome second = tally(program, {arg});
            EXPECT_EQ(second.out, "");
            std::string said = second.err;  // folded at blanks to 80 columns
            std::replace(said.begin(), said.end(), '\n', ' ');
            std::string expected = "in use by another run (";
            expected += attachments_said;
            expected += whose;
            EXPECT_NE(said.find(expected), std::string::npos) << second.err;
            EXPECT_EQ(second.exit_code, 2);
        }
    };
    for (const bool stopped : {true, false}) {
        SCOPED_TRACE(stopped ? "first run stopped" : "first run counting");
        // While the run counts, its workers attach and detach as they start
        // and end; stopped, it holds what it holds.
        expect_refused(stopped ? std::to_string(attachments()) + " attachments)" : "",
                       stopped ? ", yours (process " : "");
        EXPECT_EQ(guard_id(), semid) << "the guard was replaced";
        if (stopped) {
            EXPECT_EQ(counter_value(), counted) << "the counter was changed";
            kill(-first.pid(), SIGCONT);
        }
    }
    const Outcome result = first.finish(120s);
    EXPECT_EQ(result.out, total_line(5LL * n));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_code, 0);

    // One attachment is a run too: a parent alone before its forks, or
    // stopped there. The test holds the counter as such a parent would.
    SCOPED_TRACE("the counter attached once");
    void *held = shmat(shmget(counter_key, 0, 0), nullptr, 0);
    ASSERT_NE(held, reinterpret_cast<void *>(-1));
    expect_refused("1 attachments)");
    EXPECT_EQ(*static_cast<volatile int *>(held), 5 * n) << "the counter was changed";
    EXPECT_FALSE(guard_exists()) << "a guard was made";
    shmdt(held);
}

TEST_F(Counters, GuardRemovedOrRaisedMidRunIsReportedOncePerWorker) {
    // Removed by hand (ipcrm -S 1234), every take fails with EINVAL; raised
    // to 2 by another process, every take fails its zero-check. Either way
    // each worker says so once, counts on unguarded and ends with 1.
    const std::vector<std::pair<std::string, std::function<void(int)>>> faults{
        {"removed", [](int semid) { semctl(semid, 0, IPC_RMID); }}, {"raised", [](int semid) {
                                                                         sembuf raise{0, 1, 0};
                                                                         semop(semid, &raise, 1);
                                                                     }}};
    constexpr int n = 100000;
    for (const auto &[name, fault] : faults) {
        SCOPED_TRACE(name);
        int counted = -1;
        Running program = counting_run(n, counted);
        // The fault lands mid-run: while the run is held, with at least
        // three shares of its additions still to make.
        ASSERT_GT(counted, 0) << "the run never counted";
        ASSERT_LT(counted, 2 * n);
        fault(guard_id());
        kill(-program.pid(), SIGCONT);
        const Outcome result = program.finish(120s);
        int reports = 0;
        for (const auto &line : lines_of(result.err)) {
            EXPECT_TRUE(line.rfind("semop1: semop failed: ", 0) == 0 ||
                        line.rfind("semop2: semop failed: ", 0) == 0)
                << line;
            ++reports;
        }
        EXPECT_GE(reports, 1);
        EXPECT_LE(reports, 5);
        const auto lines = lines_of(result.out);
        ASSERT_FALSE(lines.empty());
        const auto total = total_of(lines.back() + "\n");
        ASSERT_TRUE(total) << result.out;
        // The rest, over four workers' shares, is added unguarded: workers
        // on two cores overwrite a few of each other's additions, far fewer
        // than two whole shares. One worker alone counting on (the one
        // holding the guard at the fault) adds at most one share.
        EXPECT_GE(*total, counted + 2 * n);
        EXPECT_EQ(lines.size(), static_cast<size_t>(reports) + 1) << "a hijo line per reporter";
        EXPECT_EQ(result.exit_code, 1);
        semctl(guard_id(), 0, IPC_RMID);
    }
}

TEST_F(Counters, UnguardedCounterLosesUpdates) {
    const Outcome zero = tally("tallybare", {"0"});
    EXPECT_EQ(zero.out, total_line(0));
    EXPECT_EQ(zero.exit_code, 0);

    const Outcome result = tally("tallybare", {"300"});
    const auto total = total_of(result.out);
    ASSERT_TRUE(total) << result.out;
    EXPECT_GT(*total, 0);
    EXPECT_LT(*total, 1500);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_code, 0);
    expect_counter_left_behind();
    EXPECT_FALSE(guard_exists());

    // The pause between a worker's read and its store, as strace shows
    // usleep's clock_nanosleep in each worker: one per addition, up to
    // 100 us, and not 0 throughout. LeakSanitizer cannot work under ptrace.
    const Outcome probe = run({"/usr/bin/env", "strace", "-o", "/dev/null", "true"}, 30s);
    if (probe.exit_code == 127) GTEST_SKIP() << "strace is not installed";
    if (probe.exit_code != 0) GTEST_SKIP() << "strace cannot trace here (ptrace): " << probe.err;
    const Outcome traced = run({"/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-e",
                                "trace=clock_nanosleep,nanosleep", bin("tallybare"), "20"},
                               60s);
    ASSERT_EQ(traced.exit_code, 0) << traced.err;
    const std::regex pause(R"(\{tv_sec=([0-9]+), tv_nsec=([0-9]+)\})");
    long long pauses = 0;
    long long longest = 0;
    for (std::sregex_iterator at(traced.err.begin(), traced.err.end(), pause), end; at != end;
         ++at, ++pauses) {
        const long long nanoseconds = std::stoll((*at)[1]) * 1000000000 + std::stoll((*at)[2]);
        EXPECT_LE(nanoseconds, 100000) << at->str();
        longest = std::max(longest, nanoseconds);
    }
    EXPECT_EQ(pauses, 5 * 20) << traced.err;
    EXPECT_GT(longest, 0) << traced.err;
}

TEST(TallylockObject, IsOneRelocatableObjectThatLinksIntoTheProgram) {
    std::ifstream object(bin("tallylock.o"), std::ios::binary);
    ASSERT_TRUE(object) << "tallylock.o missing";
    std::array<unsigned char, 18> header{};
    object.read(reinterpret_cast<char *>(header.data()), header.size());
    EXPECT_EQ(std::string(header.begin(), header.begin() + 4), "\177ELF");
    EXPECT_EQ(header[16], 1) << "ET_REL: a relocatable object";

    if (IPC_TOUR_SANITIZED) GTEST_SKIP() << "a sanitized object needs the sanitizer's runtime";
    char dir_template[] = "/tmp/tallylock-link-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::string linked = std::string(dir_template) + "/tallylock";
    const Outcome link = run({CXX_COMPILER, bin("tallylock.o"), "-o", linked}, 60s);
    ASSERT_EQ(link.exit_code, 0) << link.err;

    const std::string why = enter_private_namespaces();
    const Outcome result = why.empty() ? run({linked, "10"}, 30s) : Outcome{};
    std::remove(linked.c_str());
    rmdir(dir_template);
    if (!why.empty()) GTEST_SKIP() << why;
    EXPECT_EQ(result.out, total_line(50));
    EXPECT_EQ(result.exit_code, 0);
}
