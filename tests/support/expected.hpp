// Outputs that tests in more than one file expect from the programs.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "peers.hpp"
#include "run.hpp"

namespace tour {

// What stephost prints once it has a connection.
inline const std::string server_header =
    "RC from bind = 0\nRC from listen = 0\nafter accept()... client_sockfd = 4\n";
// What stepguest prints before it connects.
inline const std::string client_header = "This is the client program\n";

// stephost's whole output for a full conversation with stepguest, "A" to "X".
std::string step_server_conversation();

// stepguest's whole output for the same conversation.
std::string step_client_conversation();

// Expects the outcomes of stepguest and stephost after a full conversation:
// those texts, nothing on stderr, both ended with status 0.
void expect_full_conversation(const Outcome &client, const Outcome &server);

// What boardguest prints for a segment holding the alphabet, and what
// boardhost prints once the client has marked it.
inline const std::string mailbox_client_out = std::string(alphabet) + "\nAltero la memoria\n";
inline const std::string marked = "*bcdefghijklmnopqrstuvwxyz";
inline const std::string mailbox_server_out = "el client leyo la memoria\n" + marked + "\n";

// A counter program's closing line.
std::string total_line(long long total);

// The total of an output that is exactly one closing line, else nothing.
std::optional<int> total_of(const std::string &out);

// The child lines of spawnwait ("Child PID is %ld and i is= %d \n"), in any
// order, each index once. Returns the pids indexed by i, or nothing after a
// failure, which it reports.
std::vector<pid_t> pids_by_index(const std::string &out);

// spawnwait's standard error for children waited for in this order.
std::string parent_report(pid_t parent, const std::vector<pid_t> &pids);

// True when `out` is gridflip's notice of the cancel followed by its 10 by 10
// matrix with every cell 0 or every cell 1.
bool cancelled_with_uniform_grid(const std::string &out);

}  // namespace tour
