// gridflip: deferred cancellation of a POSIX thread. A worker thread zeroes
// a 10 x 10 grid and then flips every cell between 0 and 1, pass after pass.
// The main thread lets it run for one second, cancels it, joins it and
// prints the grid.
//
// Run:   gridflip
// Watch: "Thread cancelled", then ten identical rows, either all 0 or all 1,
//        never a mix. Cancellation is deferred, so the request only takes
//        effect at the worker's pthread_testcancel, which comes after a
//        complete pass; a pass is never left half done.
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int rows = 10;
constexpr int columns = 10;

// Written only by the worker while it runs; the main thread reads it after
// pthread_join has returned, when the worker no longer exists, so it needs
// no lock.
int matrix[rows][columns];

// Ends the process with SIGABRT after a report if a thread call failed.
// The status is what the call returned: pthread functions return their
// error number and leave errno alone. `line` is the line of the call, which
// its caller passes as __LINE__; the call stands in this file, and only the
// file's own name is printed, not the directory it was built in.
void check(int status, const char *operation, int line) {
    if (status == 0) return;
    const char *file = __FILE__;
    if (const char *slash = strrchr(file, '/')) file = slash + 1;
    fprintf(stderr, "%s at \"%s\":%d: %s\n", operation, file, line, strerror(status));
    abort();
}

// The worker. glibc carries out a cancellation by unwinding the thread's
// stack like an exception, so nothing on this path may be noexcept or catch
// everything; the unwinding has to run out of this function to end the
// thread.
void *thread_routine(void *) {
    for (auto &row : matrix) {
        for (int &cell : row) cell = 0;
    }
    for (;;) {
        for (auto &row : matrix) {
            for (int &cell : row) cell = cell == 0 ? 1 : 0;
        }
        // The only cancellation point of the loop: a pending request ends
        // the thread here, between two complete passes.
        pthread_testcancel();
    }
}

// Prints the grid, one "[a,b,...]" line per row, cells in lower-case hex.
void print_array(const int (*array)[columns]) {
    for (int row = 0; row < rows; ++row) {
        putchar('[');
        for (int column = 0; column < columns; ++column) {
            if (column > 0) putchar(',');
            printf("%x", static_cast<unsigned>(array[row][column]));
        }
        puts("]");
    }
}

}  // namespace

int main() {
    pthread_t thread{};
    void *result = nullptr;

    // Default attributes: cancellation enabled and deferred.
    check(pthread_create(&thread, nullptr, thread_routine, nullptr), "Create thread", __LINE__);

    sleep(1);

    // Only a request: the worker goes on until its next pthread_testcancel.
    check(pthread_cancel(thread), "Cancel thread", __LINE__);

    // A cancelled thread's result is PTHREAD_CANCELED.
    check(pthread_join(thread, &result), "Join thread", __LINE__);

    if (result == PTHREAD_CANCELED) {
        puts("Thread cancelled");
    } else {
        puts("Thread was not cancelled");
    }
    puts("Matrix :");
    print_array(matrix);
    return 0;
}
