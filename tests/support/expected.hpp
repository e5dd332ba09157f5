// Outputs that tests in more than one file expect from the programs.
#pragma once

#include <string>

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

// True when `out` is gridflip's notice of the cancel followed by its 10 by 10
// matrix with every cell 0 or every cell 1.
bool cancelled_with_uniform_grid(const std::string &out);

}  // namespace tour
