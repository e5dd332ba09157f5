#include "expected.hpp"

#include <gtest/gtest.h>

namespace tour {

namespace {

// gridflip's matrix with every cell `cell`, one row a line.
std::string uniform_grid(char cell) {
    std::string row = "[";
    for (int column = 0; column < 10; ++column) {
        if (column > 0) row += ',';
        row += cell;
    }
    row += "]\n";
    std::string grid;
    for (int r = 0; r < 10; ++r) grid += row;
    return grid;
}

}  // namespace

std::string step_server_conversation() {
    std::string out = server_header;
    for (char ch = 'A'; ch <= 'X'; ++ch) {
        out += std::string("server waiting\nChar from client= ") + ch + "\n";
    }
    return out + "server exiting\n";
}

std::string step_client_conversation() {
    std::string out = client_header;
    for (char ch = 'B'; ch <= 'X'; ++ch) out += std::string("Char from server = ") + ch + "\n";
    return out;
}

void expect_full_conversation(const Outcome &client, const Outcome &server) {
    EXPECT_EQ(client.out, step_client_conversation());
    EXPECT_EQ(client.err, "");
    EXPECT_EQ(client.exit_code, 0);
    EXPECT_EQ(server.out, step_server_conversation());
    EXPECT_EQ(server.err, "");
    EXPECT_EQ(server.exit_code, 0);
}

bool cancelled_with_uniform_grid(const std::string &out) {
    const std::string cancelled = "Thread cancelled\nMatrix :\n";
    return out == cancelled + uniform_grid('0') || out == cancelled + uniform_grid('1');
}

}  // namespace tour
