// Run by ctest after the tests (CTEST_CUSTOM_POST_TEST): where private
// namespaces cannot be made, it says so once, below ctest's list of the
// skipped tests, with the reason each of them gives. Otherwise it is silent.
// It always ends with 0: a probe that fails would fail the test run.
#include <cstdio>
#include <cstring>
#include <string>

#include "run.hpp"

int main() {
    // The same attempt as each test's, in this process of its own.
    const std::string why = tour::enter_private_namespaces();
    if (why.empty()) return 0;
    std::printf(
        "The tests that use a System V key, TCP port 7734 or a mount are skipped here: they need "
        "private namespaces%s\n",
        why.c_str() + std::strlen(tour::no_namespaces));
    return 0;
}
