#include "expected.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

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

std::string total_line(long long total) { return "padre total= " + std::to_string(total) + "\n"; }

std::optional<int> total_of(const std::string &out) {
    int total = 0;
    if (std::sscanf(out.c_str(), "padre total= %d", &total) != 1 || out != total_line(total)) {
        return std::nullopt;
    }
    return total;
}

std::vector<pid_t> pids_by_index(const std::string &out) {
    constexpr int children = 5;
    std::vector<pid_t> pids(children, 0);
    std::istringstream stream(out);
    for (std::string line; std::getline(stream, line);) {
        long pid = 0;
        int i = -1;
        if (std::sscanf(line.c_str(), "Child PID is %ld and i is= %d", &pid, &i) != 2 || i < 0 ||
            i >= children || pids[i] != 0 ||
            line !=
                "Child PID is " + std::to_string(pid) + " and i is= " + std::to_string(i) + " ") {
            ADD_FAILURE() << "bad or repeated child line: \"" << line << "\"";
            return {};
        }
        pids[i] = static_cast<pid_t>(pid);
    }
    if (std::count(pids.begin(), pids.end(), 0) != 0 || out.back() != '\n') {
        ADD_FAILURE() << "expected five child lines:\n" << out;
        return {};
    }
    return pids;
}

std::string parent_report(pid_t parent, const std::vector<pid_t> &pids) {
    std::string text;
    for (const pid_t pid : pids) {
        text += "Waiting in the father " + std::to_string(parent) + " for child " +
                std::to_string(pid) + "\n";
        text += "Child finished \n";
    }
    return text + "father finished \n";
}

bool cancelled_with_uniform_grid(const std::string &out) {
    const std::string cancelled = "Thread cancelled\nMatrix :\n";
    return out == cancelled + uniform_grid('0') || out == cancelled + uniform_grid('1');
}

}  // namespace tour
