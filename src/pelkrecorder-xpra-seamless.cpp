// Entry of the recorder: run under the process title, then options, set-up,
// the frontend loop and teardown.
#include <err.h>
#include <unistd.h>

#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "args.h"
#include "backend.h"
#include "debugging.h"
#include "frontend.h"

static constexpr const char* process_title = "pelkRec pelkrecorder-xpra-seamless";

// The running executable's absolute path, kept for the whole process.
static char* executable;

int main(int argc, char** argv)
{
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

    setlocale(LC_CTYPE, "");
    setlinebuf(stdout);
    setlinebuf(stderr);

    cli_parse_arguments(argc, argv);
    cli_validate();

    frontend_setup();
    frontend_run();
    frontend_teardown();

    DEBUG("exiting");
    return backend_exit_status();
}
