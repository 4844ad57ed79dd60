// Runs the record writer on a file that cannot be created, so that it
// writes its journal entries, and exits with the writer's status.
#include <cstdio>

#include "args.h"
#include "backend.h"
#include "timer.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s UNWRITABLE-FILE\n", argv[0]);
        return 2;
    }
    char program[] = "journal-probe";
    char display[] = ":0";
    char* args[] = {program, display, argv[1], nullptr};
    cli_parse_arguments(3, args);
    time_start();
    backend_thread_start();
    backend_thread_stop();
    return backend_exit_status();
}
