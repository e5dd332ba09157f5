#include "peers.hpp"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>

namespace tour {

sockaddr_in step_address() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(step_port);
    return address;
}

int test_socket() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval limit{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    return fd;
}

int listen_on_step_port() {
    const int fd = test_socket();
    // A new listener may take the port over from connections in TIME_WAIT;
    // never from another listener.
    const int reuse = 1;
    EXPECT_EQ(setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse), 0);
    const sockaddr_in address = step_address();
    EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    EXPECT_EQ(listen(fd, 5), 0);
    return fd;
}

int connect_to_step_port() {
    const int fd = test_socket();
    const sockaddr_in address = step_address();
    EXPECT_EQ(connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    return fd;
}

char read_byte(int fd) {
    char byte = 0;
    EXPECT_EQ(read(fd, &byte, 1), 1);
    return byte;
}

Running start_step_server() {
    Running server = start({bin("stephost")});
    // A server that failed to bind has ended ('Z' until reaped): no need to wait.
    wait_until([&] { return port_listening(step_port) || process_state(server.pid()) == 'Z'; },
               10s);
    EXPECT_TRUE(port_listening(step_port));
    return server;
}

bool alphabet_in_place() {
    const int shmid = shmget(mailbox_key, 0, 0);
    if (shmid == -1) return false;
    const void *shm = shmat(shmid, nullptr, SHM_RDONLY);
    if (shm == reinterpret_cast<void *>(-1)) return false;
    const bool ready = std::memcmp(shm, alphabet, sizeof alphabet) == 0;
    shmdt(shm);
    return ready;
}

}  // namespace tour
