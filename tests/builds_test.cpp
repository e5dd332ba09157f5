// A clone's own build, which the other tests never take (they run this
// build's programs with --bin): a fresh clone's first tour builds the
// programs and nothing else, and where the user cannot write build/, the
// tour runs the programs already built there, without cmake.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "peers.hpp"
#include "run.hpp"

using namespace tour;
namespace fs = std::filesystem;

namespace {

const fs::path sources = fs::path(__FILE__).parent_path().parent_path();

// A folder of the test's own, readable by any user (the tour runs as
// nobody when root runs the test), removed at the end.
class Clone : public Isolated {
  protected:
    void SetUp() override {
        Isolated::SetUp();
        if (IsSkipped()) return;
        char dir_template[] = "/tmp/ipc-clone-test.XXXXXX";
        ASSERT_NE(mkdtemp(dir_template), nullptr);
        dir_ = dir_template;
        fs::permissions(dir_, fs::perms(0755));
    }
    void TearDown() override {
        if (dir_.empty()) return;
        run({"/bin/chmod", "-R", "u+w", dir_}, 30s);
        fs::remove_all(dir_);
    }
    const fs::path &dir() const { return dir_; }

  private:
    fs::path dir_;
};

Outcome shell(const std::string &script, const std::vector<std::string> &arguments) {
    std::vector<std::string> argv{"/bin/bash", "-c", "set -euo pipefail; " + script, "bash"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return run(argv, 60s);
}

}  // namespace

TEST_F(Clone, FirstTourBuildsTheProgramsOnlyAndAReadOnlyBuildRunsWithoutCmake) {
    // The files that git keeps (and new ones it would), as they are now;
    // the clone is another user's where root made it.
    const std::string files =
        "git -c safe.directory='*' -C \"$1\" ls-files -z -co --exclude-standard";
    const Outcome listed = shell(files, {sources});
    if (listed.exit_code != 0) GTEST_SKIP() << "the sources are not a git clone: " << listed.err;
    const fs::path clone = dir() / "clone";
    const Outcome copied =
        shell("mkdir \"$2\"; " + files + " | (cd \"$1\"; xargs -0 cp -P --parents -t \"$2\")",
              {sources, clone});
    ASSERT_EQ(copied.exit_code, 0) << copied.err;

    const Outcome first = run({clone / "tour.sh", "tubenote"}, 240s);
    ASSERT_EQ(first.exit_code, 0) << first.err;
    EXPECT_NE(first.out.find("child read Greetings"), std::string::npos) << first.out;
    std::set<std::string> built;
    for (const auto &entry : fs::directory_iterator(clone / "build/bin")) {
        built.insert(entry.path().filename());
    }
    EXPECT_EQ(built, (std::set<std::string>{"boardguest", "boardhost", "gridflip", "spawnwait",
                                            "stepguest", "stephost", "tallybare", "tallylock",
                                            "tallylock.o", "tubechain", "tubenote"}));
    const Outcome tests =
        shell("find \"$1\" -type f \\( -perm -u+x -o -name '*.[ao]' \\) -print -quit",
              {clone / "build/tests"});
    EXPECT_EQ(tests.out, "") << "the tests were built too";

    // build/ made read-only by the one who built it. The tour then runs as
    // a user whom that keeps out (nobody, where root runs the test: root
    // writes anyway), on a PATH without cmake.
    ASSERT_EQ(shell("chmod -R a-w \"$1\"", {clone / "build"}).exit_code, 0);
    const fs::path path = dir() / "bin";
    const std::string linked =
        "mkdir \"$1\"; IFS=:; for dir in $PATH; do "
        "ln -s \"$dir\"/* \"$1\" 2>/dev/null || true; done; rm -f \"$1/cmake\"";
    ASSERT_EQ(shell(linked, {path}).exit_code, 0);
    std::vector<std::string> as_user{"/usr/bin/env", "PATH=" + path.string(), clone / "tour.sh",
                                     "tubenote"};
    if (geteuid() == 0) {
        std::vector<std::string> nobody{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                        "--clear-groups", "/bin/true"};
        const Outcome can = run(nobody, 30s);
        if (can.exit_code != 0) {
            GTEST_SKIP() << "cannot run as nobody, who cannot write build/: " << can.err;
        }
        ASSERT_EQ(chown(clone.c_str(), 65534, 65534), 0) << "the clone as the user's own";
        nobody.pop_back();
        as_user.insert(as_user.begin(), nobody.begin(), nobody.end());
    }
    const Outcome again = run(as_user, 120s);
    ASSERT_EQ(again.exit_code, 0) << again.err;
    EXPECT_EQ(
        again.err,
        "tour.sh: you cannot write to build, so the programs already built in\n  build/bin run\n");
    EXPECT_NE(again.out.find("child read Greetings"), std::string::npos) << again.out;
}
