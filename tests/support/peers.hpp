// The kernel objects the programs meet on, the fixture that makes them
// private to a test, and the test's side of the server and client pairs: a
// socket peer for stephost and stepguest, and the readiness checks of the
// two servers.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <gtest/gtest.h>

#include <string>

#include "run.hpp"

namespace tour {

// The System V keys of tallylock's and tallybare's counter segment and of
// tallylock's guard semaphore set.
constexpr key_t counter_key = 1678;
constexpr key_t guard_key = 1234;
// The TCP port stephost listens on and stepguest connects to.
constexpr unsigned short step_port = 7734;
// The System V key of boardhost's and boardguest's mailbox segment.
constexpr key_t mailbox_key = 5678;
// What boardhost writes into the segment, with its zero byte: 27 bytes.
inline constexpr char alphabet[] = "abcdefghijklmnopqrstuvwxyz";

// The base of every test that touches a System V key, TCP port 7734 or a
// mount: the test runs in private namespaces, or is skipped with the reason
// where none can be made, so it never meets the objects of a live demo.
class Isolated : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string why = enter_private_namespaces();
        if (!why.empty()) GTEST_SKIP() << why;
    }
};

// The loopback address with the step port.
sockaddr_in step_address();

// A TCP socket whose calls give up after ten seconds instead of hanging.
int test_socket();

// A socket listening on the step port, in stephost's place.
int listen_on_step_port();

// A socket connected to the step port, in stepguest's place.
int connect_to_step_port();

// One byte read from fd (expected to be there).
char read_byte(int fd);

// stephost started and listening on the step port (expected to be).
Running start_step_server();

// True once the mailbox segment exists and holds the alphabet: boardhost
// writes it right after attaching, then only polls byte 0.
bool alphabet_in_place();

}  // namespace tour
