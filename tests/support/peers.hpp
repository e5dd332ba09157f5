// The test's side of the server and client pairs: the fixed port and key
// they meet on, a socket peer for stephost and stepguest, and the readiness
// checks of the two servers.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include "run.hpp"

namespace tour {

// The TCP port stephost listens on and stepguest connects to.
constexpr unsigned short step_port = 7734;
// The System V key of boardhost's and boardguest's mailbox segment.
constexpr key_t mailbox_key = 5678;
// What boardhost writes into the segment, with its zero byte: 27 bytes.
inline constexpr char alphabet[] = "abcdefghijklmnopqrstuvwxyz";

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
