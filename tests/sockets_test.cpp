// stephost and stepguest, together and each against a peer played by the
// test, in private namespaces. stephost serves only its first
// connection, so readiness is read from /proc/net/tcp, never probed.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "expected.hpp"
#include "peers.hpp"
#include "run.hpp"

using namespace tour;

namespace {

using Sockets = Isolated;

}  // namespace

TEST_F(Sockets, FullConversationAndAnImmediateRerun) {
    // The first run's connection is still in TIME_WAIT when the second binds.
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        Running server = start_step_server();
        const Outcome client = run({bin("stepguest")}, 30s);
        const Outcome served = server.finish(30s);
        expect_full_conversation(client, served);
    }
}

TEST_F(Sockets, ClientWithoutServerIsRefused) {
    const Outcome client = run({bin("stepguest")}, 30s);
    EXPECT_EQ(client.out, client_header);
    EXPECT_EQ(client.err, "Error has occurred: Connection refused\n");
    EXPECT_EQ(client.exit_code, 255);
}

TEST_F(Sockets, ServerEndsWhenThePortIsTaken) {
    const int other = listen_on_step_port();
    const Outcome served = run({bin("stephost")}, 10s);
    EXPECT_EQ(served.out, "RC from bind = -1\n");
    EXPECT_EQ(served.err, "bind: Address already in use\n");
    EXPECT_EQ(served.exit_code, 1);
    // Standard output on a full device: the line's flush before the report
    // fails (ENOSPC), and the report still gives bind's error.
    const Outcome full = run({bin("stephost")}, 10s, {.in_child = [] {
                                 const int fd = open("/dev/full", O_WRONLY);
                                 if (fd == -1 || dup2(fd, STDOUT_FILENO) == -1) _exit(127);
                                 close(fd);
                             }});
    EXPECT_EQ(full.err, "bind: Address already in use\n");
    EXPECT_EQ(full.exit_code, 1);
    close(other);
}

TEST_F(Sockets, FailedSocketAndAcceptAreReported) {
    const Outcome client = run({bin("stepguest")}, 10s, {.in_child = fail_socket_calls});
    EXPECT_EQ(client.out, client_header);
    EXPECT_EQ(client.err, "Socket create failed.\n: Too many open files\n");
    EXPECT_EQ(client.exit_code, 255);

    // The listening socket takes the last descriptor: accept fails at once,
    // before it would wait for a client.
    const Outcome served = run({bin("stephost")}, 10s, {.in_child = four_descriptors});
    EXPECT_EQ(served.out,
              "RC from bind = 0\nRC from listen = 0\nafter accept()... client_sockfd = -1\n");
    EXPECT_EQ(served.err, "accept: Too many open files\n");
    EXPECT_EQ(served.exit_code, 1);
}

TEST_F(Sockets, ServerEndsNormallyWhenTheClientLeavesEarly) {
    // A client that closes before sending anything, and one that closes
    // after one exchange: no line for a byte that never came.
    for (const bool one_byte : {false, true}) {
        SCOPED_TRACE(one_byte);
        Running server = start_step_server();
        const int fd = connect_to_step_port();
        std::string expected = server_header;
        if (one_byte) {
            ASSERT_EQ(write(fd, "A", 1), 1);
            EXPECT_EQ(read_byte(fd), 'B');
            expected += "server waiting\nChar from client= A\n";
        }
        close(fd);
        const Outcome served = server.finish(10s);
        EXPECT_EQ(served.out, expected + "server waiting\nserver exiting\n");
        EXPECT_EQ(served.err, "");
        EXPECT_EQ(served.exit_code, 0);
    }
}

TEST_F(Sockets, ReplyToAVanishedClientIsAnErrorNotSigpipe) {
    // The client sends two bytes and closes while the server is stopped, so
    // its close sends a FIN. The kernel answers the server's reply to "A"
    // with a reset; the reply to "B" then meets a closed connection, where a
    // plain write raises SIGPIPE.
    Running server = start_step_server();
    ASSERT_EQ(kill(server.pid(), SIGSTOP), 0);
    ASSERT_TRUE(wait_until([&] { return process_state(server.pid()) == 'T'; }, 10s));
    const int fd = connect_to_step_port();
    ASSERT_EQ(write(fd, "AB", 2), 2);
    close(fd);
    ASSERT_EQ(kill(server.pid(), SIGCONT), 0);
    const Outcome served = server.finish(10s);
    EXPECT_EQ(served.signal, 0);
    EXPECT_EQ(served.out,
              server_header +
                  "server waiting\nChar from client= A\nserver waiting\nChar from client= B\n");
    EXPECT_EQ(served.err, "send: Broken pipe\n");
    EXPECT_EQ(served.exit_code, 1);
}

TEST_F(Sockets, ClientReportsAServerThatClosesOrResetsEarly) {
    // After reading "A" the server closes, or resets the connection (a zero
    // linger time makes close send a reset): the client's read sees the end
    // of the stream, or fails. Neither is a reply.
    const int listener = listen_on_step_port();
    for (const bool reset : {false, true}) {
        SCOPED_TRACE(reset);
        Running client = start({bin("stepguest")});
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        ASSERT_NE(fd, -1);
        EXPECT_EQ(read_byte(fd), 'A');
        const linger at_once{1, 0};
        if (reset) {
            ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_LINGER, &at_once, sizeof at_once), 0);
        }
        close(fd);
        const Outcome result = client.finish(10s);
        EXPECT_EQ(result.out, client_header);
        EXPECT_EQ(result.err, reset ? "read: Connection reset by peer\n"
                                    : "stepguest: server closed the connection before X\n");
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(result.signal, 0);
    }
    close(listener);
}

TEST_F(Sockets, ClientWritingToAClosedConnectionEndsTheExchange) {
    // While the client is stopped the server sends two replies and closes.
    // The client's answer to "B" draws a reset; its answer to "C" then fails
    // (a plain write would raise SIGPIPE), which ends the exchange normally.
    const int listener = listen_on_step_port();
    Running client = start({bin("stepguest")});
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_NE(fd, -1);
    EXPECT_EQ(read_byte(fd), 'A');
    ASSERT_EQ(kill(client.pid(), SIGSTOP), 0);
    ASSERT_TRUE(wait_until([&] { return process_state(client.pid()) == 'T'; }, 10s));
    ASSERT_EQ(write(fd, "BC", 2), 2);
    close(fd);
    ASSERT_EQ(kill(client.pid(), SIGCONT), 0);
    const Outcome result = client.finish(10s);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.out, client_header + "Char from server = B\nChar from server = C\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_code, 0);
    close(listener);
}

TEST_F(Sockets, ClientTakesBytesFrom0x80AsNegativeAndGoesOn) {
    const int listener = listen_on_step_port();
    Running client = start({bin("stepguest")});
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_NE(fd, -1);
    // Each reply the client sends back is answered with the next one here;
    // "Y" is above "X" and ends the client without a reply.
    std::string received;
    for (const char reply : {'\x80', '\xFF', 'Y'}) {
        received += read_byte(fd);
        ASSERT_EQ(write(fd, &reply, 1), 1);
    }
    const Outcome result = client.finish(10s);
    EXPECT_EQ(received, "A\x80\xFF");
    EXPECT_EQ(read(fd, received.data(), 1), 0) << "the client sent a byte after Y";
    EXPECT_EQ(
        result.out,
        client_header + "Char from server = \x80\nChar from server = \xFF\nChar from server = Y\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_code, 0);
    close(fd);
    close(listener);
}
