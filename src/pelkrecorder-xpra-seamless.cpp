// Entry of the recorder: run under the process title, then options, set-up,
// the frontend loop and teardown.
#include <err.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <climits>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "args.h"
#include "console.h"
#include "debugging.h"
#include "frontend.h"
#include "writer.h"

static constexpr const char* process_title = "pelkRec pelkrecorder-xpra-seamless";

// The running executable's absolute path, kept for the whole process.
static char* executable;

// A stop may come at any moment, even before anything is set up: the
// termination signals are blocked before main runs and stay blocked (across
// the re-execution too) until the signal thread takes them, and neither a
// closed reader of standard output nor a file size limit ends the process.
__attribute__((constructor)) static void hold_signals()
{
    sigset_t stop;
    sigemptyset(&stop);
    for (int s : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) sigaddset(&stop, s);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN); // a file size limit is a failed write, not an end
}

// Standard descriptors closed at start would be taken by the next ones
// opened (the display connection's): open them on /dev/null.  A closed
// standard input thus reads as its end, which stops the recording at once
// (the service keeps it open for as long as recording should go on).
static void fill_closed_standard_descriptors()
{
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (fcntl(fd, F_GETFD) >= 0) continue;
        const int null = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
}

int main(int argc, char** argv)
{
    fill_closed_standard_descriptors();
    executable = realpath("/proc/self/exe", nullptr);
    if (executable == nullptr) err(1, "failed to get realpath for /proc/self/exe");

    // Run once more under the title, so that process listings and the
    // err/errx lines show it as the program name.
    if (argc < 1 || strcmp(argv[0], process_title) != 0) {
        std::vector<char*> arguments;
        arguments.push_back(const_cast<char*>(process_title));
        for (int i = 1; i < argc; i++) arguments.push_back(argv[i]);
        arguments.push_back(nullptr);
        execvp(executable, arguments.data());
        err(1, "failed to execute '%s'", executable);
    }

    // One heap for every thread: a large buffer (an image, a compressed
    // screen) freed by one thread is reused by the next that needs one,
    // rather than kept in a heap of each thread's.
    mallopt(M_ARENA_MAX, 1);
    // Image replies come and go at the frame rate: what one frame frees is
    // kept for the next instead of going back to the kernel and being faulted
    // in again (page faults were a quarter of the recorder's CPU with a
    // full-screen window changing).  The room for images in flight bounds it.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 256 * 1024 * 1024);
    setlocale(LC_CTYPE, "");
    setlinebuf(stdout);
    setlinebuf(stderr);

    cli_parse_arguments(argc, argv);
    cli_validate();
    console_setup();

    frontend_setup();
    frontend_run();
    frontend_teardown();

    DEBUG("exiting");
    return writer_exit_status();
}
