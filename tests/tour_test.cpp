// tour.sh, run as a user would (with --bin, so that it runs this build's
// programs), in private namespaces: the facts each view shows, every
// program's own output exact, the choice of programs, what an interrupted
// tour leaves behind, and the system calls that --calls shows.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "expected.hpp"
#include "peers.hpp"
#include "run.hpp"

using namespace tour;

namespace {

using Tour = Isolated;

std::vector<std::string> tour_of(const std::vector<std::string> &names) {
    const auto script = std::filesystem::path(__FILE__).parent_path().parent_path() / "tour.sh";
    std::vector<std::string> argv{script.string(), "--bin", IPC_TOUR_BIN_DIR};
    argv.insert(argv.end(), names.begin(), names.end());
    return argv;
}

// One program's part of the tour. The tour's own lines start with "== ",
// "-- ", "   | " (a view) or "   * " (a notice); the rest is the program's.
struct Section {
    std::vector<std::string> views;  // one per "-- " step, in order
    std::string notices;
    std::string own;
};

// The sections by the first word of their heading ("tallylock", "stephost").
std::map<std::string, Section> sections_of(const std::string &out) {
    std::map<std::string, Section> sections;
    Section *section = nullptr;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("== ", 0) == 0) {
            section = &sections[line.substr(3, line.find_first_of(" :", 3) - 3)];
        } else if (section == nullptr || line.empty()) {
            continue;
        } else if (line.rfind("-- ", 0) == 0) {
            section->views.emplace_back();
        } else if (line.rfind("   | ", 0) == 0 && !section->views.empty()) {
            section->views.back() += line.substr(5) + "\n";
        } else if (line.rfind("   * ", 0) == 0) {
            section->notices += line.substr(5) + "\n";
        } else {
            section->own += line + "\n";
        }
    }
    return sections;
}

// The lines of a view, each split into its whitespace-separated fields.
std::vector<std::vector<std::string>> table(const std::string &view) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(view);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        rows.emplace_back();
        for (std::string word; words >> word;) rows.back().push_back(word);
    }
    return rows;
}

// The fields of the row of `view` whose first field is `first`, or none.
std::vector<std::string> row(const std::string &view, const std::string &first) {
    for (const auto &fields : table(view)) {
        if (!fields.empty() && fields[0] == first) return fields;
    }
    return {};
}

// The rows of `view` whose field `column` is a process state with the
// letter `state`. ps adds marks after the letter: "+" for the terminal's
// foreground group, "s", "l", "<" and others, which depend on where the
// tests run, not on the program.
size_t rows_in_state(const std::string &view, size_t column, char state) {
    const auto rows = table(view);
    return static_cast<size_t>(std::count_if(rows.begin(), rows.end(), [&](const auto &fields) {
        return fields.size() > column && fields[column][0] == state;
    }));
}

size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The line where strace shows the end of the first call that starts with
// `call` ("dup(4"): the call's own line, or, when other processes' lines
// came between its start and its end, the line where it resumed.
std::string call_end(const std::string &view, const std::string &call) {
    std::istringstream lines(view);
    std::string pid;  // the line's "1234  " prefix with strace -f
    for (std::string line; std::getline(lines, line);) {
        const auto at = line.find(call);
        if (pid.empty() && at != std::string::npos) {
            pid = line.substr(0, at);
            if (line.find("<unfinished ...>") == std::string::npos) return line;
        } else if (!pid.empty() && line.rfind(pid + "<... ", 0) == 0) {
            return line;
        }
    }
    return "";
}

std::string search_path() {
    const char *path = getenv("PATH");
    return path != nullptr ? path : "";
}

// Where `name` lies on the PATH, or "".
std::string on_path(const std::string &name) {
    std::istringstream dirs(search_path());
    for (std::string dir; std::getline(dirs, dir, ':');) {
        std::string path = (std::filesystem::path(dir) / name).string();
        if (access(path.c_str(), X_OK) == 0) return path;
    }
    return "";
}

// The processes of process group `group` that have not ended.
std::vector<pid_t> alive_in_group(pid_t group) {
    std::vector<pid_t> alive;
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const pid_t pid = std::stoi(name);
        const auto fields = stat_fields(pid);
        if (fields.size() > 2 && fields[2] == std::to_string(group) && fields[0] != "Z") {
            alive.push_back(pid);
        }
    }
    return alive;
}

// Kills the tour's counting tallylock, workers first, once its five
// workers are there (by the deadline), which spares the test its guarded
// additions: the tour shows what there is and goes on. False if none was
// found.
bool kill_counting_run(pid_t group, Millis workers_deadline) {
    pid_t counting = 0;
    const bool found = wait_until(
        [&] {
            for (const pid_t pid : alive_in_group(group)) {
                if (children_of(pid).size() == 5) counting = pid;
            }
            return counting != 0;
        },
        workers_deadline);
    for (const pid_t worker : found ? children_of(counting) : std::vector<pid_t>{}) {
        kill(worker, SIGKILL);
    }
    if (found) kill(counting, SIGKILL);
    return found;
}

// With --ask on `terminal`: types `answer` at the next prompt. False if no
// prompt came by the deadline.
bool answered(int terminal, std::string &screen, const std::string &answer, Millis deadline) {
    const size_t prompts = count(screen, "\n   > ");
    const bool prompted = wait_until(
        [&] {
            read_terminal(terminal, screen);
            return count(screen, "\n   > ") > prompts;
        },
        deadline);
    const std::string keys = answer + "\n";
    EXPECT_EQ(write(terminal, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    return prompted;
}

// With --ask on `terminal`: once the first verdict is on the screen, the
// counting run is cut short. False if no verdict came by the deadline.
bool judged_then_cut_short(int terminal, std::string &screen, pid_t group, Millis deadline) {
    const bool judged = wait_until(
        [&] {
            read_terminal(terminal, screen);
            return screen.find("\n   = ") != std::string::npos;
        },
        deadline);
    kill_counting_run(group, Millis(0));  // unless it has ended already
    return judged;
}

// In a sanitized build, the programs run from here on skip LeakSanitizer's
// check at exit, which stops the process with ptrace to look at it.
void without_leak_check() {
    if (!IPC_TOUR_SANITIZED) return;
    const char *asan = getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(asan != nullptr ? asan : "") + ":detect_leaks=0").c_str(),
           1);
}

}  // namespace

TEST_F(Tour, ShowsWhatTheKernelHoldsBesideEachProgramsOwnOutput) {
    // The whole tour, in two runs side by side: spawnwait's ten seconds of
    // sleep with the pipes, and the other programs.
    Running waits = start(tour_of({"spawnwait", "tubenote", "tubechain"}));
    const Outcome others =
        run(tour_of({"tallylock", "tallybare", "gridflip", "stephost", "boardhost"}), 120s);
    const Outcome result = waits.finish(120s);
    ASSERT_EQ(others.exit_code, 0) << others.err;
    EXPECT_EQ(others.err, "");
    ASSERT_EQ(result.exit_code, 0) << result.err;
    auto sections = sections_of(result.out);
    sections.merge(sections_of(others.out));
    ASSERT_EQ(sections.size(), 8U) << result.out << others.out;

    const Section &locked = sections["tallylock"];
    EXPECT_EQ(locked.own, total_line(250000));
    ASSERT_EQ(locked.views.size(), 2U) << others.out;
    EXPECT_EQ(count(locked.views[0], "tallylock 50000"), 6U) << "the parent and five workers";
    // ipcs's columns: key, id, owner, perms, bytes, nattch.
    const auto counting = row(locked.views[0], "0x0000068e");
    ASSERT_EQ(counting.size(), 6U) << locked.views[0];
    EXPECT_EQ(counting[4], "4");
    EXPECT_EQ(counting[5], "11") << "attachments while the workers count";
    EXPECT_EQ(row(locked.views[0], "0x000004d2").size(), 5U) << "the guard while they count";
    const auto after = row(locked.views[1], "0x0000068e");
    ASSERT_EQ(after.size(), 6U) << locked.views[1];
    EXPECT_EQ(after[5], "0") << "attachments after the run";
    EXPECT_NE(locked.views[1].find("(none with key 0x000004d2)"), std::string::npos);

    const Section &bare = sections["tallybare"];
    const auto total = total_of(bare.own);
    ASSERT_TRUE(total) << bare.own;
    EXPECT_LE(*total, 1500);
    EXPECT_EQ(bare.notices.rfind(std::to_string(1500 - *total) + " of the 1500 additions", 0), 0U)
        << bare.notices;

    const Section &grid = sections["gridflip"];
    EXPECT_TRUE(cancelled_with_uniform_grid(grid.own)) << grid.own;
    ASSERT_EQ(grid.views.size(), 1U);
    EXPECT_EQ(count(grid.views[0], "gridflip"), 2U) << "two threads:\n" << grid.views[0];

    const Section &spawn = sections["spawnwait"];
    const auto pids = pids_by_index(spawn.own);
    ASSERT_EQ(pids.size(), 5U);
    ASSERT_EQ(spawn.views.size(), 2U) << result.out;
    EXPECT_EQ(count(spawn.views[0], "spawnwait 3"), 6U) << spawn.views[0];
    EXPECT_EQ(count(spawn.views[1], "<defunct>"), 5U) << spawn.views[1];
    EXPECT_EQ(rows_in_state(spawn.views[1], 2, 'Z'), 5U) << spawn.views[1];
    EXPECT_EQ(table(spawn.views[1]).at(1).at(2)[0], 'T') << "the parent held:\n" << spawn.views[1];
    // The parent (ps's first row) reports its waits on standard error, the
    // only text there.
    const pid_t parent = std::stoi(table(spawn.views[0]).at(1).at(0));
    EXPECT_EQ(result.err, parent_report(parent, pids));

    const std::string &note = sections["tubenote"].own;
    EXPECT_TRUE(note == "father wrote\nchild read Greetings\n" ||
                note == "child read Greetings\nfather wrote\n")
        << note;
    const std::string &listed = sections["tubechain"].own;
    EXPECT_LT(listed.find("PID"), listed.find('\n')) << "ps's heading first:\n" << listed;

    const Section &step = sections["stephost"];
    EXPECT_EQ(step.own, step_client_conversation() + step_server_conversation());
    ASSERT_EQ(step.views.size(), 3U) << others.out;
    EXPECT_EQ(row(step.views[0], "LISTEN").at(3), "0.0.0.0:7734");
    EXPECT_EQ(row(step.views[2], "TIME-WAIT").at(3), "127.0.0.1:7734");

    const Section &board = sections["boardhost"];
    EXPECT_EQ(board.own,
              mailbox_client_out + mailbox_server_out + marked + "\nAltero la memoria\n");
    ASSERT_EQ(board.views.size(), 2U) << others.out;
    const auto polled = row(board.views[0], "0x0000162e");
    const auto left = row(board.views[1], "0x0000162e");
    ASSERT_EQ(polled.size(), 6U);
    ASSERT_EQ(left.size(), 6U);
    EXPECT_EQ(polled[4], "27");
    EXPECT_EQ(polled[5], "1") << "the polling server's attachment";
    EXPECT_EQ(left[5], "0");
}

TEST_F(Tour, RunsTheNamedProgramsOnlyAndLeavesNothingWhenInterrupted) {
    const Outcome chosen = run(tour_of({"boardguest", "tubenote"}), 30s);
    EXPECT_EQ(chosen.exit_code, 0) << chosen.err;
    std::vector<std::string> headings;
    for (const auto &[name, section] : sections_of(chosen.out)) headings.push_back(name);
    EXPECT_EQ(headings, (std::vector<std::string>{"boardhost", "tubenote"}));

    const Outcome unknown = run(tour_of({"gridflip", "nosuch"}), 30s);
    EXPECT_EQ(unknown.out, "");
    EXPECT_EQ(unknown.err, "tour.sh: no program called 'nosuch' (see ./tour.sh --help)\n");
    EXPECT_EQ(unknown.exit_code, 2);

    // Ctrl-C, to the tour's whole process group, while the workers count
    // (on the host, where the tour must remove the guard set it made, and
    // only that: a set that was there before is someone else's), while
    // spawnwait's parent is held with its children asleep, and while the
    // mailbox server (started in the background) polls, both in a lab.
    const auto polling = [](pid_t pid) {
        std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
        std::string name;
        std::getline(comm, name);
        return name == "boardhost" && process_state(pid) == 'S';
    };
    const auto counting = [](pid_t pid) { return children_of(pid).size() == 5; };
    const std::vector<std::pair<std::vector<std::string>, std::function<bool(pid_t)>>> moments{
        {{"--host", "tallylock"}, counting},
        {{"--host", "--pause", "tallylock"}, counting},
        {{"spawnwait"}, [](pid_t pid) { return process_state(pid) == 'T'; }},
        {{"boardhost"}, polling}};
    for (const auto &moment : moments) {
        SCOPED_TRACE(moment.first.back());
        // The second tallylock run (--pause changes nothing without a
        // terminal) finds a set that was there before it.
        const bool paused = moment.first.size() > 1 && moment.first[1] == "--pause";
        const int before = paused ? semget(guard_key, 1, IPC_CREAT | 0666) : -1;
        Running interrupted = start(tour_of(moment.first));
        ASSERT_TRUE(wait_until(
            [&] {
                const auto members = alive_in_group(interrupted.pid());
                return std::any_of(members.begin(), members.end(), moment.second);
            },
            20s));
        kill(-interrupted.pid(), SIGINT);
        const Outcome result = interrupted.finish(20s);
        EXPECT_FALSE(result.timed_out) << "a process kept the output open";
        EXPECT_EQ(result.exit_code, 130) << result.out << result.err;
        // A killed process takes a moment to die, and then waits as a
        // zombie for init to reap it; none may stay alive.
        wait_until([&] { return alive_in_group(interrupted.pid()).empty(); }, 5s);
        EXPECT_EQ(alive_in_group(interrupted.pid()), std::vector<pid_t>{})
            << "left in the tour's process group";
        // The counter and mailbox segments stay by design; the guard set
        // is removed by tallylock's parent, which the interrupt killed.
        if (moment.first.back() == "tallylock") {
            EXPECT_EQ(semget(guard_key, 0, 0), before)
                << "the guard set made, or kept, by the tour";
        }
    }
}

TEST_F(Tour, StoppedWithCtrlZAtATerminalGoesOnToItsEndAfterFg) {
    // A student's interactive bash, with job control, on a terminal:
    // Ctrl-Z during spawnwait's part, then fg. The job stops once, and the
    // tour goes on to its end.
    // The stop ends spawnwait's waits early, and the tour may then hold it
    // with SIGSTOP as it exits: LeakSanitizer's check at exit, which stops
    // the process with ptrace, then never ends.
    without_leak_check();
    int terminal = -1;
    const pid_t shell =
        start_on_terminal({"/bin/bash", "--norc", "--noprofile", "-i"}, 50, 200, terminal);
    std::string screen;
    const auto seen = [&](const std::string &text) {
        read_terminal(terminal, screen);
        return screen.find(text) != std::string::npos;
    };
    const auto type = [&](const std::string &keys) {
        EXPECT_EQ(write(terminal, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    };
    std::string command;
    for (const auto &arg : tour_of({"spawnwait", "tubenote"})) command += arg + " ";
    type(command + "\n");
    const bool asleep = wait_until([&] { return seen("the five children asleep"); }, 60s);
    type("\x1a");
    const bool stopped = asleep && wait_until([&] { return seen("Stopped"); }, 20s);
    // The status line is typed ahead; its output, unlike its echo, has ":".
    type("fg\necho \"status=$?\" | tr = :\n");
    const bool ended = stopped && wait_until([&] { return seen("status:"); }, 60s);
    type("exit\n");
    int status = -1;
    if (!wait_until([&] { return seen("") && waitpid(shell, &status, WNOHANG) == shell; }, 10s)) {
        kill(shell, SIGHUP);  // bash hands it on to its jobs, stopped ones too
        waitpid(shell, &status, 0);
    }
    close(terminal);
    ASSERT_TRUE(ended) << screen;
    EXPECT_NE(screen.find("status:0"), std::string::npos) << screen;
    EXPECT_EQ(count(screen, "Stopped"), 1U) << screen;
    EXPECT_NE(screen.find("== tubenote"), std::string::npos) << screen;
    EXPECT_NE(screen.find("the tour was stopped (Ctrl-Z)"), std::string::npos) << screen;
    EXPECT_FALSE(std::regex_search(screen, std::regex("No such process|line [0-9]+: "))) << screen;
}

TEST_F(Tour, WithAskOnATerminalJudgesEachAnswerByTheViewShownAndCountsThem) {
    const Outcome refused = run(tour_of({"--ask", "tallylock"}), 30s);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, "tour.sh: --ask needs a terminal to read answers from\n");
    EXPECT_EQ(refused.exit_code, 2);

    // tallylock's two questions (the counter's attachments while the
    // workers count, then after the run) and boardhost's two (the
    // mailbox's size, its attachments after the exchange): one answer
    // right with blanks in it, one wrong, one empty, and a word where a
    // number is asked for, asked again once.
    const std::vector<std::string> answers{" 1 1", "6", "", "none", "0"};
    int terminal = -1;
    const pid_t tour =
        start_on_terminal(tour_of({"--ask", "tallylock", "boardguest"}), 50, 200, terminal);
    std::string screen;
    int status = -1;
    // One deadline for each wait on the tour.
    const Millis deadline = std::chrono::seconds(60);
    // Once the view while the workers count is judged, the run is cut
    // short; the next question is on what it left.
    bool ended = answered(terminal, screen, answers.front(), deadline) &&
                 judged_then_cut_short(terminal, screen, tour, deadline);
    for (size_t i = 1; ended && i < answers.size(); ++i) {
        ended = answered(terminal, screen, answers[i], deadline);
    }
    if (ended) {
        ended = wait_until(
            [&] {
                read_terminal(terminal, screen);
                return waitpid(tour, &status, WNOHANG) == tour;
            },
            deadline);
    }
    if (!ended) {
        kill(tour, SIGHUP);
        waitpid(tour, &status, 0);
    }
    close(terminal);
    ASSERT_TRUE(ended) << screen;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen;
    screen.erase(std::remove(screen.begin(), screen.end(), '\r'), screen.end());

    // Each verdict with the view between its prompt and itself.
    std::vector<std::pair<std::string, std::string>> judged;
    std::string view;
    std::istringstream lines(screen);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(line.size() <= 80 || line.rfind("   | ", 0) == 0) << line;
        if (line.rfind("   > ", 0) == 0) view.clear();
        if (line.rfind("   | ", 0) == 0) view += line.substr(5) + "\n";
        if (line.rfind("   = ", 0) == 0) judged.emplace_back(line.substr(5), view);
    }
    ASSERT_EQ(judged.size(), 4U) << screen;
    // The value each view shows (ipcs's columns: key, id, owner, perms,
    // bytes, nattch), and the answer as judged.
    const std::vector<std::tuple<std::string, size_t, std::string>> asked{{"0x0000068e", 5, "11"},
                                                                          {"0x0000068e", 5, "6"},
                                                                          {"0x0000162e", 4, ""},
                                                                          {"0x0000162e", 5, "0"}};
    int right = 0;
    for (size_t i = 0; i < asked.size() && i < judged.size(); ++i) {
        const auto &[key, column, given] = asked[i];
        const auto fields = row(judged[i].second, key);
        ASSERT_GT(fields.size(), column) << judged[i].second;
        const std::string &value = fields[column];
        std::string verdict = given.empty() ? "skipped: " : value == given ? "right: " : "wrong: ";
        verdict += value;
        if (!given.empty() && value != given) verdict += ", not " + given;
        EXPECT_EQ(judged[i].first, verdict) << judged[i].second;
        right += value == given ? 1 : 0;
    }
    EXPECT_EQ(count(screen, "\n   ? a number, please\n"), 1U) << screen;
    EXPECT_NE(screen.find("\n== predicted " + std::to_string(right) + " of 4 ==\n"),
              std::string::npos)
        << screen;
}

TEST_F(Tour, WithCallsShowsTheSystemCallsBehindEachProgramOrSaysWhyNot) {
    // LeakSanitizer cannot work under ptrace: a sanitized program that
    // strace runs would end with 1 at its leak check.
    without_leak_check();
    // The whole tour, in two runs side by side: spawnwait's ten seconds of
    // sleep with the pipes, started first, and the other programs. Their
    // tallylock is killed as it counts, and the tour traces a run of its
    // own. The pipes' run is given descriptor 3 open, as a shell may leave
    // one: their ends are then 4 and 5.
    const bool traceable = !on_path("strace").empty();
    std::optional<Running> waits;
    if (traceable) {
        waits.emplace(
            start(tour_of({"--calls", "spawnwait", "tubenote", "tubechain"}), {.in_child = [] {
                      if (open("/dev/null", O_RDONLY) != 3) _exit(127);
                  }}));
    }

    // Meanwhile: without strace, or where ptrace is forbidden (a stand-in
    // strace that fails as the real one does there).
    char dir_template[] = "/tmp/tour-path-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::filesystem::path dir(dir_template);
    for (const char *tool : {"bash", "dirname", "ps", "ipcs", "ss", "more"}) {
        std::filesystem::create_symlink(on_path(tool), dir / tool);
    }
    auto argv = tour_of({"--calls", "tubenote"});
    argv.insert(argv.begin(), {"/usr/bin/env", "PATH=" + dir.string()});
    const Outcome without = run(argv, 30s);
    EXPECT_EQ(without.err,
              "tour.sh: missing strace; install them as root: apt-get install strace\n");
    EXPECT_EQ(without.exit_code, 1);
    std::filesystem::remove_all(dir);
    std::filesystem::create_directory(dir);
    std::ofstream(dir / "strace")
        << "#!/bin/sh\necho 'strace: PTRACE_TRACEME: Operation not permitted' >&2\n"
           "exit 1\n";
    std::filesystem::permissions(dir / "strace", std::filesystem::perms::owner_all);
    argv[1] = "PATH=" + dir.string() + ":" + search_path();
    const Outcome forbidden = run(argv, 30s);
    std::filesystem::remove_all(dir);
    EXPECT_EQ(forbidden.exit_code, 0) << forbidden.err;
    EXPECT_EQ(forbidden.out.rfind("   * strace cannot trace processes here", 0), 0U)
        << forbidden.out;
    EXPECT_TRUE(sections_of(forbidden.out)["tubenote"].views.empty()) << forbidden.out;

    if (!traceable) GTEST_SKIP() << "strace is not installed";
    Running busy =
        start(tour_of({"--calls", "tallylock", "tallybare", "gridflip", "stephost", "boardhost"}));
    ASSERT_TRUE(kill_counting_run(busy.pid(), std::chrono::seconds(20)));
    const Outcome result = busy.finish(60s);
    const Outcome waited = waits->finish(60s);
    ASSERT_EQ(result.exit_code, 0) << result.err;
    ASSERT_EQ(waited.exit_code, 0) << waited.err;
    const std::string out = result.out + waited.out;
    auto sections = sections_of(out);
    ASSERT_EQ(sections.size(), 8U) << out;
    // One file per process (strace -ff): no call split by another's lines.
    // The tour's own lines fit in 80 columns; strace's may be wider.
    EXPECT_EQ(out.find("<unfinished ...>"), std::string::npos) << out;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("==") || line.starts_with("--") || line.starts_with("   *")) {
            EXPECT_LE(line.size(), 80U) << line;
        }
    }
    // Each program's own output as without --calls (the traced runs' goes
    // nowhere).
    EXPECT_EQ(sections["stephost"].own, step_client_conversation() + step_server_conversation());

    // What strace shows, by the part that shows it: lines of the views, at
    // most about 20 each, without the loader's start-up calls.
    const std::map<std::string, std::vector<std::string>> calls{
        {"tallylock",
         {"shmget(0x68e, 4, IPC_CREAT|0666)", "shmat(", "semget(0x4d2, 1, IPC_CREAT|0666)",
          "SETVAL",
          "sem_op=-1, sem_flg=SEM_UNDO}, {sem_num=0, sem_op=0, sem_flg=SEM_UNDO|IPC_NOWAIT}",
          "sem_op=1, sem_flg=SEM_UNDO|IPC_NOWAIT}", "IPC_RMID"}},
        {"tallybare", {"shmget(0x68e, 4, IPC_CREAT|0666)", "shmat("}},
        {"gridflip",
         {"clone3({flags=CLONE_VM|", "CLONE_THREAD", "tv_sec=1", "FUTEX_WAIT", "\nexit(0"}},
        {"spawnwait", {"SIGCHLD", "wait4(", "exit_group(3"}},
        {"tubenote", {"pipe2([4, 5]", "close(4", "close(5"}},
        {"tubechain",
         {"pipe2([4, 5]", "close(1", "close(0", R"(execve("/bin/ps")", R"(execve("/bin/more")"}},
        {"stephost",
         {"SO_REUSEADDR", "bind(3, {sa_family=AF_INET, sin_port=htons(7734)", "listen(3, 5)",
          "accept(3, ", "connect(3, {sa_family=AF_INET, sin_port=htons(7734)", "more one-byte"}},
        {"boardhost",
         {"shmget(0x162e, 27, IPC_CREAT|0666)", "shmget(0x162e, 27, 0666)", "shmat("}}};
    for (const auto &[name, expected] : calls) {
        std::string shown;
        for (const auto &view : sections[name].views) {
            EXPECT_LE(count(view, "\n"), 22U) << name << ":\n" << view;
            shown += view;
        }
        EXPECT_EQ(shown.find("ELF"), std::string::npos) << name << ":\n" << shown;
        for (const auto &call : expected) EXPECT_NE(shown.find(call), std::string::npos) << call;
    }
    std::string bare;
    for (const auto &view : sections["tallybare"].views) bare += view;
    EXPECT_EQ(bare.find("sem"), std::string::npos) << "no semaphore call";
    std::string note;
    for (const auto &view : sections["tubenote"].views) note += view;
    // The traced tubenote's processes (named by their files, t.PID), the
    // child an orphan, are gone before tubechain's ps lists the processes
    // (other tests' may be there).
    const std::string traced = out.substr(out.find("== tubenote"));
    const std::regex file(R"(\(t\.([0-9]+)\):)");
    std::set<std::string> pids;
    for (std::sregex_iterator at(
             traced.begin(), traced.begin() + static_cast<long>(traced.find("== tubechain")), file),
         end;
         at != end; ++at) {
        pids.insert((*at)[1]);
    }
    EXPECT_EQ(pids.size(), 2U) << traced;
    for (const auto &pid : pids) EXPECT_TRUE(row(sections["tubechain"].own, pid).empty()) << pid;
    EXPECT_TRUE(call_end(note, R"(write(5, "Greetings\0", 10)").ends_with("= 10")) << note;
    const std::string read = call_end(note, "read(4,");
    EXPECT_NE(read.find(R"("Greetings\0", 25))"), std::string::npos) << note;
    EXPECT_TRUE(read.ends_with("= 10")) << note;
    // One view per process, each up to its execve.
    std::string chain;
    for (const auto &view : sections["tubechain"].views) chain += view;
    EXPECT_EQ(count(chain, "execve("), 2U) << chain;
    EXPECT_TRUE(call_end(chain, "dup(5").ends_with("= 1")) << "ps's standard output:\n" << chain;
    EXPECT_TRUE(call_end(chain, "dup(4").ends_with("= 0")) << "more's standard input:\n" << chain;
    // The notes name the descriptors the traces show.
    EXPECT_NE(sections["tubenote"].notices.find("read end, 4, and write end, 5,"),
              std::string::npos)
        << sections["tubenote"].notices;
    const std::string &chained = sections["tubechain"].notices;
    EXPECT_NE(chained.find("dup(4) returned 0"), std::string::npos) << chained;
    EXPECT_NE(chained.find("dup(5) returned 1"), std::string::npos) << chained;
}

TEST_F(Tour, WithMistakesShowsEachFaultInTheKernelsViewAndLeavesNothing) {
    // The mistakes are built apart, without sanitizers in any build.
    if (IPC_TOUR_SANITIZED) GTEST_SKIP() << "the mistakes build without sanitizers";
    const auto programs = [] {
        std::map<std::string, std::string> bytes;
        for (const auto &entry : std::filesystem::directory_iterator(IPC_TOUR_BIN_DIR)) {
            std::ifstream file(entry.path(), std::ios::binary);
            bytes[entry.path().filename()] = {std::istreambuf_iterator<char>(file), {}};
        }
        return bytes;
    };
    const auto before = programs();
    // Beside it, the sound programs where the tour takes the built mistakes
    // from (IPC_TOUR_MISTAKES/NAME/build/bin), to see that no note claims a
    // fault its run did not show; `tallybare` names the counter's two
    // mistakes, and only those. gridflip's ten tries and tallylock's five
    // runs of 100000 are stand-ins that print at once what the sound
    // programs print; spawnwait's ten seconds are left out.
    char sound_template[] = "/tmp/tour-sound-XXXXXX";
    ASSERT_NE(mkdtemp(sound_template), nullptr);
    const std::filesystem::path sound(sound_template);
    std::string whole = "Thread cancelled\nMatrix :\n";
    for (int row = 0; row < 10; ++row) whole += "[1,1,1,1,1,1,1,1,1,1]\n";
    const std::map<std::string, std::pair<std::string, std::string>> replayed{
        {"gridflip-async-cancel", {"gridflip", whole}},
        {"tallylock-guard-of-two", {"tallylock", total_line(500000)}}};
    const auto source = std::filesystem::path(__FILE__).parent_path().parent_path();
    for (const auto &diff : std::filesystem::directory_iterator(source / "mistakes")) {
        if (diff.path().extension() != ".diff") continue;
        const auto name = diff.path().stem().string();
        const auto bin_dir = sound / name / "build" / "bin";
        std::filesystem::create_directories(bin_dir.parent_path());
        if (!replayed.contains(name)) {
            std::filesystem::create_directory_symlink(IPC_TOUR_BIN_DIR, bin_dir);
            continue;
        }
        const auto &[program, text] = replayed.at(name);
        std::filesystem::create_directory(bin_dir);
        std::ofstream(bin_dir / program) << "#!/bin/sh\nprintf '%s' '" << text << "'\n";
        std::filesystem::permissions(bin_dir / program, std::filesystem::perms::owner_all);
    }
    const auto sound_tour = [&](const std::vector<std::string> &names) {
        auto argv = tour_of(names);
        argv.insert(argv.begin(), {"/usr/bin/env", "IPC_TOUR_MISTAKES=" + sound.string()});
        return start(argv);
    };
    Running sound_counts = sound_tour({"--mistakes", "tallylock", "gridflip"});
    Running sound_boards = sound_tour({"--mistakes", "boardhost"});
    Running sound_others =
        sound_tour({"--mistakes", "tallybare", "tubenote", "tubechain", "stephost"});
    // The mistakes' tour itself in two runs side by side: the counter's
    // mistakes, and the others.
    Running counters = start(tour_of({"--mistakes", "tallylock", "tallybare"}));
    Running tour = start(tour_of(
        {"--mistakes", "gridflip", "spawnwait", "tubenote", "tubechain", "stephost", "boardhost"}));
    const std::vector<pid_t> groups{counters.pid(), tour.pid()};
    // Its own deadline, short of ctest's, so that a hung run is reported
    // here with what it printed, not cut off by ctest.
    constexpr Millis deadline = std::chrono::seconds(120);
    static_assert(deadline < std::chrono::seconds(IPC_TOUR_TEST_TIMEOUT));
    Outcome result = tour.finish(deadline);
    const Outcome counted = counters.finish(deadline);
    result.out += counted.out;
    result.err += counted.err;
    result.timed_out = result.timed_out || counted.timed_out;
    if (result.exit_code == 0) result.exit_code = counted.exit_code;
    ASSERT_FALSE(result.timed_out) << "a hung run left to hang:\n" << result.out;
    ASSERT_EQ(result.exit_code, 0) << result.err;
    auto parts = sections_of(result.out);
    ASSERT_EQ(parts.size(), 12U) << result.out;
    // Each part's last view, after the diff's.
    const auto last = [&](const std::string &name) {
        const auto &views = parts[name].views;
        return views.size() > 1 ? views.back() : std::string();
    };

    // The guard's row (semnum value ncount zcount pid): value 0, ncount 4.
    const Section &undo = parts["tallylock-no-undo"];
    ASSERT_EQ(undo.views.size(), 3U) << result.out;
    EXPECT_EQ(row(undo.views[2], "0").at(1), "0") << undo.views[2];
    EXPECT_EQ(row(undo.views[2], "0").at(2), "4") << undo.views[2];
    const auto workers = table(undo.views[1]);
    EXPECT_EQ(std::count_if(workers.begin(), workers.end(),
                            [](const auto &fields) {
                                return fields.size() > 4 && fields[2][0] == 'S' &&
                                       fields[4] == "\\_";
                            }),
              4)
        << "four workers asleep:\n"
        << undo.views[1];
    // A loss needs two overlapping stores, which busy CPUs can keep apart
    // through all five tries: the part then says so.
    const std::string &two = parts["tallylock-guard-of-two"].notices;
    EXPECT_TRUE(two.find("additions lost, with status 0") != std::string::npos ||
                two.find("lost no addition") != std::string::npos)
        << result.out;
    EXPECT_EQ(count(parts["counter-worker-returns"].own, "padre total="), 32U);
    EXPECT_EQ(count(parts["counter-printf-before-fork"].own, "padre creando 5 hijos\n"), 7U);
    EXPECT_EQ(parts["gridflip-async-cancel"].notices.rfind("a torn grid on try", 0), 0U);
    const std::string orphans = last("spawnwait-no-wait");
    const auto adopted = table(orphans);
    EXPECT_EQ(std::count_if(adopted.begin(), adopted.end(),
                            [](const auto &fields) {
                                return fields.size() > 2 && fields[1] == "1" && fields[2][0] == 'S';
                            }),
              5)
        << "adopted by the lab's init, asleep:\n"
        << orphans;
    EXPECT_EQ(parts["tubenote-pipe-after-fork"].own, "child read nothing\n");
    const Section &chain = parts["tubechain-reader-keeps-write-end"];
    ASSERT_EQ(chain.views.size(), 3U) << result.out;
    EXPECT_NE(chain.views[1].find("pipe_read"), std::string::npos) << chain.views[1];
    const auto read_end = row(chain.views[2], "0");
    ASSERT_EQ(read_end.size(), 3U) << chain.views[2];
    EXPECT_EQ(row(chain.views[2], "4"), (std::vector<std::string>{"4", "->", read_end[2]}))
        << "both ends of one pipe:\n"
        << chain.views[2];
    const Section &reuse = parts["stephost-no-reuseaddr"];
    EXPECT_NE(reuse.own.find("bind: Address already in use"), std::string::npos) << reuse.own;
    EXPECT_EQ(row(last("stephost-no-reuseaddr"), "TIME-WAIT").at(3), "127.0.0.1:7734");
    const auto spinning = table(last("boardhost-busy-wait"));
    ASSERT_EQ(spinning.size(), 2U) << result.out;
    EXPECT_EQ(spinning[1].at(1)[0], 'R') << "running";
    // A share of a core that no sleeping poll reaches (ps shows 0.0 for
    // the sound server), however busy the machine: the tests beside it,
    // and four busy loops, may leave it a few percent.
    EXPECT_GE(std::stod(spinning[1].at(2)), 1.0) << "%CPU, busy processes beside";
    EXPECT_EQ(parts["boardhost-no-volatile"].own,
              "el client leyo la memoria\nabcdefghijklmnopqrstuvwxyz\n");
    const Section &removed = parts["boardhost-removes-at-once"];
    ASSERT_EQ(removed.views.size(), 3U) << result.out;
    const auto keyless = row(removed.views[1], "0x00000000");
    ASSERT_FALSE(keyless.empty()) << removed.views[1];
    EXPECT_EQ(keyless.back(), "dest") << removed.views[1];
    EXPECT_NE(removed.own.find("shmget: No such file or directory"), std::string::npos);

    const Outcome others = sound_others.finish(deadline);
    Outcome boards = sound_boards.finish(deadline);
    const Outcome sound_counted = sound_counts.finish(deadline);
    boards.out += sound_counted.out;
    boards.err += sound_counted.err;
    if (boards.exit_code == 0) boards.exit_code = sound_counted.exit_code;
    std::filesystem::remove_all(sound);
    EXPECT_EQ(others.exit_code, 0) << others.err;
    EXPECT_EQ(boards.exit_code, 0) << boards.err;
    EXPECT_EQ(others.err + boards.err, "");
    auto sound_parts = sections_of(others.out);
    std::string ran;
    for (const auto &[name, part] : sound_parts) ran += name + " ";
    EXPECT_EQ(ran,
              "counter-printf-before-fork counter-worker-returns stephost-no-reuseaddr "
              "tubechain-reader-keeps-write-end tubenote-pipe-after-fork ");
    sound_parts.merge(sections_of(boards.out));
    // What a part's note claims only where its run shows the fault: as the
    // mistake's run shows it (unless no loss came in five tries), never as
    // the sound program's does.
    const std::map<std::string, std::string> claims{
        {"tallylock-no-undo", "value 0 and ncount 4:"},
        {"tallylock-guard-of-two", "additions lost"},
        {"counter-worker-returns", "went back into"},
        {"counter-printf-before-fork", "writes out when it exits"},
        {"gridflip-async-cancel", "torn grid"},
        {"tubenote-pipe-after-fork", "a pipe of its own"},
        {"tubechain-reader-keeps-write-end", "more holds"},
        {"stephost-no-reuseaddr", "may bind"},
        {"boardhost-busy-wait", "runs (R)"},
        {"boardhost-no-volatile", "took the loop out"},
        {"boardhost-removes-at-once", "lost its key"}};
    const auto said = [](std::string notices) {  // the notes' lines, unfolded
        std::replace(notices.begin(), notices.end(), '\n', ' ');
        return notices;
    };
    for (const auto &[name, claim] : claims) {
        const std::string noted = said(parts[name].notices);
        if (noted.find("lost no addition") == std::string::npos) {
            EXPECT_NE(noted.find(claim), std::string::npos) << name << ":\n" << noted;
        }
        ASSERT_TRUE(sound_parts.contains(name)) << name << others.out << boards.out;
        EXPECT_EQ(said(sound_parts[name].notices).find(claim), std::string::npos)
            << name << ", sound:\n"
            << sound_parts[name].own << sound_parts[name].notices;
    }

    // Nothing left: no process of the run, no System V object outside the
    // tour's lab, the programs in build/bin as they were.
    for (const pid_t group : groups) {
        wait_until([&] { return alive_in_group(group).empty(); }, 5s);
        EXPECT_EQ(alive_in_group(group), std::vector<pid_t>{});
    }
    EXPECT_EQ(semget(guard_key, 0, 0), -1);
    EXPECT_EQ(shmget(0x68e, 0, 0), -1);
    EXPECT_EQ(shmget(0x162e, 0, 0), -1);
    EXPECT_TRUE(programs() == before) << "build/bin changed";
}

// mistakes/build.sh, which --mistakes runs, inside a git clone's build/: git
// apply, were it to take the clone for its repository there, would skip every
// path outside its folder and build the programs unchanged. An edited diff is
// built again. No System V key, port or mount: tubenote's pipe only.
class MistakeBuild : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir_template[] = "/tmp/ipc-mistake-test.XXXXXX";
        ASSERT_NE(mkdtemp(dir_template), nullptr);
        clone_ = dir_template;
    }
    void TearDown() override { std::filesystem::remove_all(clone_); }
    const std::filesystem::path &clone() const { return clone_; }

  private:
    std::filesystem::path clone_;
};

TEST_F(MistakeBuild, AppliesTheDiffInsideAGitCloneAndBuildsItAgainOnceEdited) {
    namespace fs = std::filesystem;
    const auto sources = fs::path(__FILE__).parent_path().parent_path();
    fs::create_directories(clone() / "mistakes");
    fs::create_directories(clone() / "build");
    fs::copy(sources / "pipes", clone() / "pipes", fs::copy_options::recursive);
    fs::copy(sources / "mistakes/build.sh", clone() / "mistakes");
    const auto diff = clone() / "mistakes/tubenote-pipe-after-fork.diff";
    fs::copy(sources / "mistakes/tubenote-pipe-after-fork.diff", diff);
    // Without git, build.sh applies the diff with patch.
    if (const auto git = on_path("git"); !git.empty()) {
        ASSERT_EQ(run({git, "init", "-q", clone()}, 30s).exit_code, 0);
    }

    const auto note = [&] {
        Options in_build;
        in_build.in_child = [&] {
            if (chdir((clone() / "build").c_str()) != 0) _exit(127);
        };
        const Outcome built =
            run({clone() / "mistakes/build.sh", diff.stem(), "mistakes/note"}, 60s, in_build);
        EXPECT_EQ(built.exit_code, 0) << built.err;
        const Outcome ran = run({clone() / "build/mistakes/note/build/bin/tubenote"}, 10s);
        return ran.out + ran.err;
    };
    EXPECT_EQ(note(), "child read nothing\n") << "the diff not applied";
    // The diff edited: now it changes the folder's other program.
    fs::copy(sources / "mistakes/tubechain-reader-keeps-write-end.diff", diff,
             fs::copy_options::overwrite_existing);
    EXPECT_NE(note().find("child read Greetings"), std::string::npos)
        << "the edited diff not built";
}

namespace {

using Lab = Isolated;

// lab.sh running a built program (or any command), without building.
std::vector<std::string> in_lab(const std::vector<std::string> &command, bool own = false) {
    const auto script = std::filesystem::path(__FILE__).parent_path().parent_path() / "lab.sh";
    std::vector<std::string> argv{script.string(), "--no-build"};
    if (own) argv.emplace_back("--new");
    argv.insert(argv.end(), command.begin(), command.end());
    return argv;
}

// Whether `stty -a` output in `screen` has `flag` set (not "-flag").
bool flag_set(const std::string &screen, const std::string &flag) {
    return std::regex_search(screen, std::regex("(^|\\s)" + flag + "(\\s|$)"));
}

}  // namespace

TEST_F(Lab, LabsKeepTheirObjectsPortAndProcessesApartAndAJoinedLabShares) {
    Running mailbox = start(in_lab({bin("boardhost")}));
    Running server = start(in_lab({bin("stephost")}));
    // Joined, a lab shows the mailbox once boardhost has made it.
    ASSERT_TRUE(wait_until(
        [] {
            return run(in_lab({"ipcs", "-m"}), 10s).out.find("0x0000162e") != std::string::npos;
        },
        20s));

    const Outcome apart = run(
        in_lab({"sh", "-c", "ipcs -m | grep -c 0x0000162e; " + bin("stepguest") + "; ps -e"}, true),
        20s);
    EXPECT_EQ(apart.out.rfind("0\n" + client_header, 0), 0U) << apart.out;
    EXPECT_EQ(apart.err, "Error has occurred: Connection refused\n");
    EXPECT_EQ(apart.out.find("board"), std::string::npos) << "another lab's process";
    EXPECT_EQ(apart.exit_code, 0);

    // A lab is joined only from the IPC namespace it was made from.
    const Outcome elsewhere = run(in_lab({"ipcs", "-m"}), 20s, {.in_child = [] {
                                      if (unshare(CLONE_NEWIPC) == -1) _exit(127);
                                  }});
    EXPECT_EQ(elsewhere.exit_code, 0) << elsewhere.err;
    EXPECT_EQ(elsewhere.out.find("0x0000162e"), std::string::npos) << elsewhere.out;

    const Outcome guest = run(in_lab({bin("boardguest")}), 20s);
    EXPECT_EQ(guest.out, mailbox_client_out);
    EXPECT_EQ(mailbox.finish(20s).out, mailbox_server_out);
    Outcome client;
    const bool reached = wait_until(
        [&] {
            client = run(in_lab({bin("stepguest")}), 20s);
            return client.exit_code != 255;
        },
        20s);
    const Outcome served = server.finish(20s);
    ASSERT_TRUE(reached) << served.out << served.err;
    expect_full_conversation(client, served);
}

TEST_F(Lab, InsideALabTheProgramsAreOnPathAndLabShRunsThere) {
    const auto script = std::filesystem::path(__FILE__).parent_path().parent_path() / "lab.sh";
    const std::string lab = script.string() + " --no-build";
    // The inner lab.sh sees the counter that tallylock left in the outer
    // one; ps -e shows nothing of the lab's own machinery that comes and
    // goes.
    const Outcome inner =
        run(in_lab({"sh", "-c",
                    "command -v tallylock; " + bin("tallylock") + " 10 >/dev/null; " + lab +
                        " ipcs -m | grep -c 0x0000068e; ps -e -o comm= | grep -c '^sleep$'"}),
            30s);
    EXPECT_EQ(inner.out, (script.parent_path() / "build/bin/tallylock").string() + "\n1\n0\n");
    EXPECT_EQ(inner.err, "");
    // A relative --bin is taken from where lab.sh starts: a cd in the lab
    // keeps the programs.
    const std::string build = std::filesystem::path(bin("tallylock")).parent_path().parent_path();
    const Outcome moved =
        run({script.string(), "--bin", "bin", "sh", "-c", "cd / && command -v tallylock"}, 30s,
            {.in_child = [&] {
                if (chdir(build.c_str()) == -1 || setenv("PWD", build.c_str(), 1) == -1) _exit(127);
            }});
    EXPECT_EQ(moved.out, bin("tallylock") + "\n") << moved.err;

    // A shell that leaves a job running: one line says so, and how to end
    // the lab. The shell ends once the job is sleep (a job not yet past its
    // exec still bears the shell's name).
    char dir_template[] = "/tmp/lab-shell-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::filesystem::path shell = std::filesystem::path(dir_template) / "shell";
    std::ofstream(shell)
        << "#!/bin/sh\nsleep 120 >/dev/null 2>&1 &\n"
           "until read -r name </proc/$!/comm && [ \"$name\" = sleep ]; do :; done\n";
    std::filesystem::permissions(shell, std::filesystem::perms::owner_all);
    const Outcome left =
        run({"/usr/bin/env", "SHELL=" + shell.string(), script.string(), "--no-build"}, 30s);
    std::filesystem::remove_all(dir_template);
    EXPECT_EQ(left.exit_code, 0);
    std::smatch kill_line;
    ASSERT_TRUE(std::regex_search(left.err, kill_line,
                                  std::regex("1 process\\(es\\) still run in the lab you left "
                                             "\\(sleep\\)[^]* kill -KILL ([0-9]+)\n$")))
        << left.err;
    const pid_t holder = std::stoi(kill_line[1]);
    ASSERT_EQ(kill(holder, SIGKILL), 0);
    EXPECT_TRUE(wait_until([&] { return process_state(holder) == '\0'; }, 20s));

    // Where no namespace can be made, --check says no.
    char path_template[] = "/tmp/lab-path-XXXXXX";
    ASSERT_NE(mkdtemp(path_template), nullptr);
    const std::filesystem::path dir(path_template);
    std::ofstream(dir / "unshare")
        << "#!/bin/sh\necho 'unshare: unshare failed: Operation not permitted' >&2\nexit 1\n";
    std::filesystem::permissions(dir / "unshare", std::filesystem::perms::owner_all);
    const Outcome refused = run(
        {"/usr/bin/env", "PATH=" + dir.string() + ":" + search_path(), script.string(), "--check"},
        30s);
    std::filesystem::remove_all(dir);
    EXPECT_EQ(refused.out, "");
    // One message, wrapped to 80 columns.
    const std::string said = std::regex_replace(refused.err, std::regex("\n  "), " ");
    EXPECT_EQ(said.rfind("lab.sh: cannot make private namespaces here (unshare: unshare "
                         "failed: Operation not permitted); enable",
                         0),
              0U)
        << refused.err;
    EXPECT_EQ(refused.exit_code, 1);
}

TEST_F(Lab, TwoTerminalsInOneLabTheFirstToLeaveSaysSoAndEachGetsItsSettingsBack) {
    // Two terminals (script's pseudo-terminals) in one lab. Each one's shell
    // there leaves the settings as bash's line editor does while it waits
    // for a line, -icanon -echo, and ends when its file NAME.out appears.
    char dir_template[] = "/tmp/lab-terminals-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::filesystem::path dir(dir_template);
    std::ofstream(dir / "shell") << "#!/bin/sh\nstty -icanon -echo\ntouch \"$0.$NAME.in\"\n"
                                    "until [ -e \"$0.$NAME.out\" ]; do sleep 0.1; done\n";
    std::filesystem::permissions(dir / "shell", std::filesystem::perms::owner_all);
    const auto script = std::filesystem::path(__FILE__).parent_path().parent_path() / "lab.sh";
    const auto terminal = [&](const std::string &name) {
        Running shell = start({"/usr/bin/script", "-qec",
                               "NAME=" + name + " SHELL=" + (dir / "shell").string() + " " +
                                   script.string() + " --no-build; stty -a",
                               "/dev/null"});
        EXPECT_TRUE(wait_until(
            [&] { return std::filesystem::exists(dir / ("shell." + name + ".in")); }, 30s))
            << name << " is not in the lab";
        return shell;
    };
    Running first = terminal("first");
    Running second = terminal("second");
    std::ofstream(dir / "shell.first.out").close();
    const Outcome left = first.finish(30s);
    EXPECT_NE(left.out.find("lab.sh: your other terminal is still in this lab; it ends when the "
                            "last leaves\r\n"),
              std::string::npos)
        << left.out;
    EXPECT_EQ(left.out.find("kill -"), std::string::npos) << left.out;
    EXPECT_TRUE(flag_set(left.out, "icanon") && flag_set(left.out, "echo")) << left.out;

    // The lab killed from outside: its PID 1, the one made from here.
    struct stat ipc {};
    ASSERT_EQ(stat("/proc/self/ns/ipc", &ipc), 0);
    const Outcome lab =
        run({"/usr/bin/pgrep", "-f", "^ipc-tour-lab joinable " + std::to_string(ipc.st_ino) + " "},
            10s);
    ASSERT_EQ(lab.exit_code, 0) << "no lab";
    ASSERT_EQ(kill(std::stoi(lab.out), SIGKILL), 0) << lab.out;
    const Outcome ended = second.finish(30s);
    EXPECT_TRUE(flag_set(ended.out, "icanon") && flag_set(ended.out, "echo")) << ended.out;
    std::filesystem::remove_all(dir);
}

// Root where user namespaces are switched off (here: in a user namespace
// that maps root alone, and allows no other) still makes a lab, without
// one. Where no user namespace can be made from here, root is in that case
// already.
TEST_F(Lab, AsRootWhereUserNamespacesAreSwitchedOffALabIsMadeWithoutOne) {
    const auto script = std::filesystem::path(__FILE__).parent_path().parent_path() / "lab.sh";
    const std::string switch_off = "echo 0 >/proc/sys/user/max_user_namespaces && exec \"$@\"";
    std::vector<std::string> argv{"/usr/bin/unshare", "--user", "--map-root-user", "/bin/sh", "-c",
                                  switch_off,         "sh"};
    if (run({"/usr/bin/unshare", "--user", "true"}, 10s).exit_code != 0) {
        if (geteuid() != 0) GTEST_SKIP() << "no user namespace can be made here, nor is this root";
        argv.clear();
    }
    argv.insert(argv.end(), {script.string(), "--no-build", "readlink", "/proc/self/ns/ipc"});
    const Outcome lab = run(argv, 30s);
    EXPECT_EQ(lab.err, "");
    EXPECT_EQ(lab.exit_code, 0);
    EXPECT_EQ(lab.out.rfind("ipc:[", 0), 0U) << lab.out;
    EXPECT_NE(lab.out, std::filesystem::read_symlink("/proc/self/ns/ipc").string() + "\n")
        << "the command ran outside the lab";
}

// Two lab.sh started at once end in one lab: the one that finds none makes
// it while the other waits for the lock, then joins. The new lab's ip (its
// first command) is held until the other waits for lab.sh's lock or calls
// ip for a lab of its own, so that the other looks for a lab while the
// first is still making it, however the two are timed.
TEST_F(Lab, TwoStartedAtOnceEndInOneLab) {
    char dir_template[] = "/tmp/lab-two-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::filesystem::path dir(dir_template);
    std::ofstream(dir / "ip") << "#!/bin/sh\nmktemp \"$0.XXXXXX\" >/dev/null\n"
                                 "until [ -e \"$0.go\" ]; do sleep 0.05; done\n"
                                 "PATH=${PATH#*:} exec ip \"$@\"\n";
    std::ofstream(dir / "shell") << "#!/bin/sh\nreadlink /proc/self/ns/ipc\n"
                                    "until [ -e \"$0.go\" ]; do sleep 0.05; done\n";
    for (const char *name : {"ip", "shell"}) {
        std::filesystem::permissions(dir / name, std::filesystem::perms::owner_all);
    }
    const auto script = std::filesystem::path(__FILE__).parent_path().parent_path() / "lab.sh";
    const std::vector<std::string> open{
        "/usr/bin/env", "PATH=" + dir.string() + ":" + search_path(),
        "SHELL=" + (dir / "shell").string(), script.string(), "--no-build"};
    Running first = start(open);
    Running second = start(open);
    struct stat lab_sh {};
    ASSERT_EQ(stat(script.c_str(), &lab_sh), 0);
    const std::string lock = ":" + std::to_string(lab_sh.st_ino) + " ";
    EXPECT_TRUE(wait_until(
        [&] {
            std::ifstream locks("/proc/locks");
            for (std::string line; std::getline(locks, line);) {
                if (line.find("->") != std::string::npos && line.find(lock) != std::string::npos) {
                    return true;
                }
            }
            const std::filesystem::directory_iterator files(dir);
            return std::count_if(begin(files), end(files), [](const auto &file) {
                       return file.path().filename().string().rfind("ip.", 0) == 0;
                   }) == 2;
        },
        30s));
    std::ofstream(dir / "ip.go").close();
    EXPECT_TRUE(wait_until(
        [&] { return count(first.so_far().out + second.so_far().out, "\n") == 2; }, 30s));
    std::ofstream(dir / "shell.go").close();
    const Outcome one = first.finish(30s);
    const Outcome two = second.finish(30s);
    std::filesystem::remove_all(dir);
    EXPECT_EQ(one.out, two.out) << "two labs";
    EXPECT_NE((one.err + two.err).find("joined the lab you have open"), std::string::npos)
        << one.err << two.err;
}

// The number of the IPC namespace that the lab `member` is in was made
// from, as its PID 1's name says ("ipc-tour-lab joinable NUMBER ..."), or 0.
ino_t lab_origin(pid_t member) {
    namespace fs = std::filesystem;
    const auto ipc = [](const std::string &pid) {
        std::error_code error;
        return fs::read_symlink("/proc/" + pid + "/ns/ipc", error);
    };
    const auto lab = ipc(std::to_string(member));
    for (const auto &entry : fs::directory_iterator("/proc")) {
        const std::string pid = entry.path().filename();
        if (pid.find_first_not_of("0123456789") != std::string::npos || ipc(pid) != lab) continue;
        std::ifstream cmdline(entry.path() / "cmdline");
        std::string kind;
        std::string number;
        if (cmdline >> kind >> kind >> number && kind == "joinable") return std::stoul(number);
    }
    return 0;
}

// A lab whose maker is gone, and with it the IPC namespace it was made
// from, is not joined from a new namespace that the kernel gave the same
// number: lab.sh there, had the lab not held the old one, would join it.
// The kernel frees a namespace's number a moment after its last process
// has left; the new ones are held until one takes it, or for a second.
TEST_F(Lab, OutlivingItsMakersNamespaceIsJoinedFromNoOtherThatTookItsNumber) {
    Options in_new_ipc;
    in_new_ipc.in_child = [] {
        if (unshare(CLONE_NEWIPC) == -1) _exit(127);
    };
    // lab.sh leaves that namespace as it becomes nsenter, for the lab.
    Running made =
        start(in_lab({"sh", "-c", "readlink /proc/self/ns/ipc; exec sleep 30"}), in_new_ipc);
    ASSERT_TRUE(wait_until([&] { return made.so_far().out.ends_with("]\n"); }, 20s));
    const ino_t origin = lab_origin(made.pid());
    ASSERT_NE(origin, 0U) << "no lab";
    Options in_its_number;
    in_its_number.in_child = [origin] {
        struct stat now {};
        const timespec pause{0, 1000000};
        for (int tries = 0; tries < 1000; ++tries) {
            if (unshare(CLONE_NEWIPC) == -1) _exit(127);
            if (stat("/proc/self/ns/ipc", &now) == 0 && now.st_ino == origin) return;
            // Held open, so that the next one gets a number of its own;
            // closed at exec.
            // cppcheck-suppress leakReturnValNotUsed
            if (open("/proc/self/ns/ipc", O_RDONLY | O_CLOEXEC) == -1) _exit(127);
            nanosleep(&pause, nullptr);
        }
    };
    const Outcome other = run(in_lab({"readlink", "/proc/self/ns/ipc"}), 20s, in_its_number);
    kill(-made.pid(), SIGKILL);  // nsenter, and the lab's sleep
    const std::string lab = made.finish(20s).out;
    EXPECT_EQ(other.exit_code, 0) << other.err;
    EXPECT_EQ(other.out.rfind("ipc:[", 0), 0U) << other.out;
    EXPECT_NE(other.out, lab) << "joined a lab made from another namespace";
}
