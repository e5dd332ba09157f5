// Long runs: the socket and mailbox pairs hundreds of times back to back,
// tallylock stopped and continued while it counts, and the step programs
// against a peer (played by the test) that sends random bytes. Each test is
// bounded in count and time, runs in private namespaces, and prints how
// many runs it made and how long they took.
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "expected.hpp"
#include "peers.hpp"
#include "run.hpp"

using namespace tour;

namespace {

using Clock = std::chrono::steady_clock;

class Soak : public Isolated {
  protected:
    // Into the test's output and its XML record: runs made, seconds taken.
    static void record(int runs, Clock::time_point begin) {
        const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
        std::printf("%d runs in %.1f s\n", runs, seconds);
        RecordProperty("runs", runs);
        RecordProperty("seconds", std::to_string(seconds));
    }
};

bool group_gone(pid_t group) { return kill(-group, 0) == -1 && errno == ESRCH; }

std::string char_line(const char *label, char byte) { return std::string(label) + byte + "\n"; }

// A random byte, 0x00 to 0xFF; one time in four one of the bytes where the
// programs' rules change: around "X", around the sign bit, the wrap-around.
char random_byte(std::mt19937 &random) {
    constexpr std::array<unsigned char, 8> edges{'W', 'X', 'Y', 0x7F, 0x80, 0xFF, 0x00, 0x01};
    if (random() % 4 == 0) return static_cast<char>(edges[random() % edges.size()]);
    return static_cast<char>(random() & 0xFF);
}

}  // namespace

TEST_F(Soak, StepConversationsBackToBack) {
    constexpr int rounds = 200;
    std::vector<pid_t> groups;
    const auto begin = Clock::now();
    int round = 0;
    for (; round < rounds && !HasFailure(); ++round) {
        SCOPED_TRACE(round);
        Running server = start_step_server();
        Running client = start({bin("stepguest")});
        groups.push_back(server.pid());
        groups.push_back(client.pid());
        const Outcome talked = client.finish(30s);
        const Outcome served = server.finish(30s);
        expect_full_conversation(talked, served);
    }
    record(round, begin);

    // Old connections wait out TIME_WAIT (06); nothing else is left on the port.
    std::vector<std::string> states = tcp_states_on(step_port);
    std::erase(states, "06");
    EXPECT_EQ(states, std::vector<std::string>{});
    EXPECT_FALSE(port_listening(step_port));
    // Each program led a process group of its own; no process is left in any.
    for (const pid_t group : groups) EXPECT_TRUE(group_gone(group)) << "process group " << group;
}

// 200 mailbox rounds in 20 lanes of 10. Each lane is a test of its own, in
// namespaces of its own, so the lanes run side by side: a round spends
// nearly all its time asleep in boardhost's one-second poll.
class MailboxLane : public Soak, public ::testing::WithParamInterface<int> {};

TEST_P(MailboxLane, RoundsBackToBack) {
    // From the second round on, the server finds the segment the last
    // client marked: the alphabet in it means the new server is ready.
    constexpr int rounds = 10;
    const auto begin = Clock::now();
    Clock::duration slowest{};
    int round = 0;
    for (; round < rounds && !HasFailure(); ++round) {
        SCOPED_TRACE(round);
        const auto round_begin = Clock::now();
        Running server = start({bin("boardhost")});
        ASSERT_TRUE(wait_until(alphabet_in_place, 10s));
        const Outcome client = run({bin("boardguest")}, 30s);
        const Outcome served = server.finish(10s);
        slowest = std::max(slowest, Clock::now() - round_begin);
        EXPECT_EQ(client.out, mailbox_client_out);
        EXPECT_EQ(client.err, "");
        EXPECT_EQ(client.exit_code, 0);
        EXPECT_EQ(served.out, mailbox_server_out);
        EXPECT_EQ(served.err, "");
        EXPECT_EQ(served.exit_code, 0);
    }
    record(round, begin);
    std::printf("slowest round %.2f s\n", std::chrono::duration<double>(slowest).count());
}

INSTANTIATE_TEST_SUITE_P(Soak, MailboxLane, ::testing::Range(0, 20));

TEST_F(Soak, TallylockStoppedAndContinuedWhileItCounts) {
    // About a second of counting per run on an idle machine. Ctrl-Z and fg to
    // the whole process group, at random moments, until the parent has ended;
    // a worker sleeping in semop sees EINTR and must take the guard again.
    constexpr int runs = 30;
    constexpr long long n = 20000;
    const auto begin = Clock::now();
    int stops = 0;
    int run_count = 0;
    for (; run_count < runs && !HasFailure(); ++run_count) {
        // A fixed seed per run, so that a failing run can be repeated.
        const unsigned seed = 1234 + static_cast<unsigned>(run_count);
        SCOPED_TRACE("seed " + std::to_string(seed));
        Running program = start({bin("tallylock"), std::to_string(n)});
        stops += stop_and_continue(program.pid(), 1000, seed);
        const Outcome result = program.finish(120s);
        EXPECT_EQ(result.out, total_line(5 * n));
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_EQ(semget(guard_key, 0, 0), -1) << "semaphore set left behind";
    }
    record(run_count, begin);
    std::printf("%d stops\n", stops);
}

TEST_F(Soak, StepguestAgainstAServerAnsweringRandomBytes) {
    // The client sends back every byte up to "X" (0x80 to 0xFF count as
    // negative) and ends after printing a larger one; a server that hangs up
    // ends it too, normally only after the client's own "X". Every line it
    // prints must carry a byte the server sent.
    constexpr int rounds = 200;
    const int listener = listen_on_step_port();

    const auto begin = Clock::now();
    int bytes = 0;
    std::array<int, 3> endings{};  // above X, hang-up after X, hang-up before X
    int round = 0;
    for (; round < rounds && !HasFailure(); ++round) {
        const unsigned seed = 5000 + static_cast<unsigned>(round);
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        Running client = start({bin("stepguest")});
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        ASSERT_NE(fd, -1) << std::strerror(errno);

        std::string expected = client_header;
        char sent_back = 'A';  // what the client must send next
        bool hung_up = false;
        for (int exchange = 0;; ++exchange) {
            char got = 0;
            ASSERT_EQ(read(fd, &got, 1), 1) << "exchange " << exchange;
            ASSERT_EQ(got, sent_back) << "exchange " << exchange;
            // After an "X", as stephost does; else one time in 32, and at the
            // latest after 1000 bytes.
            if (got == 'X' || random() % 32 == 0 || exchange == 1000) {
                hung_up = true;
                break;
            }
            const char reply = random_byte(random);
            ++bytes;
            ASSERT_EQ(write(fd, &reply, 1), 1);
            expected += char_line("Char from server = ", reply);
            if (static_cast<signed char>(reply) > 'X') {
                EXPECT_EQ(read(fd, &got, 1), 0) << "the client sent a byte after a reply above X";
                break;
            }
            sent_back = reply;
        }
        close(fd);
        const Outcome result = client.finish(10s);
        EXPECT_EQ(result.out, expected);
        EXPECT_EQ(result.signal, 0);
        if (hung_up && sent_back != 'X') {
            EXPECT_EQ(result.err, "stepguest: server closed the connection before X\n");
            EXPECT_EQ(result.exit_code, 1);
        } else {
            EXPECT_EQ(result.err, "");
            EXPECT_EQ(result.exit_code, 0);
        }
        ++endings[!hung_up ? 0 : sent_back == 'X' ? 1 : 2];
    }
    close(listener);
    record(round, begin);
    std::printf("%d random bytes sent; ended: %d above X, %d hang-ups after X, %d before\n", bytes,
                endings[0], endings[1], endings[2]);
}

TEST_F(Soak, StephostAgainstAClientSendingRandomBytes) {
    // The server answers every byte with the next one (0xFF with 0x00), ends
    // after an "X" without answering, and ends normally when the client
    // hangs up. Every byte it prints must be one the client sent.
    constexpr int rounds = 100;
    const auto begin = Clock::now();
    int bytes = 0;
    int ended_by_x = 0;
    int round = 0;
    for (; round < rounds && !HasFailure(); ++round) {
        const unsigned seed = 9000 + static_cast<unsigned>(round);
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        Running server = start_step_server();
        const int fd = connect_to_step_port();

        std::string expected = server_header;
        bool sent_x = false;
        // One time in 64, and at the latest after 1000 bytes, hang up.
        for (int exchange = 0; random() % 64 != 0 && exchange < 1000; ++exchange) {
            const char byte = random_byte(random);
            ++bytes;
            ASSERT_EQ(write(fd, &byte, 1), 1);
            expected += "server waiting\n" + char_line("Char from client= ", byte);
            char reply = 0;
            if (byte == 'X') {
                EXPECT_EQ(read(fd, &reply, 1), 0) << "the server answered X";
                sent_x = true;
                break;
            }
            ASSERT_EQ(read(fd, &reply, 1), 1) << "exchange " << exchange;
            ASSERT_EQ(reply, static_cast<char>(byte + 1)) << "exchange " << exchange;
        }
        // A hang-up is a read of the end of the stream, after one more prompt.
        if (!sent_x) expected += "server waiting\n";
        ended_by_x += sent_x ? 1 : 0;
        close(fd);
        const Outcome served = server.finish(10s);
        EXPECT_EQ(served.out, expected + "server exiting\n");
        EXPECT_EQ(served.err, "");
        EXPECT_EQ(served.exit_code, 0);
        EXPECT_EQ(served.signal, 0);
    }
    record(round, begin);
    std::printf("%d random bytes sent; %d conversations ended by X, %d by a hang-up\n", bytes,
                ended_by_x, round - ended_by_x);
}
