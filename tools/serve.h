// zeldump --serve: a small HTTP server for the browser player and the recordings.
#ifndef ZELDUMP_SERVE_H
#define ZELDUMP_SERVE_H

// Runs `zeldump --serve [--key PUBLIC_FILE] [ADDRESS:]PORT FILE_OR_DIR` with
// the words after --serve; returns the exit status (0 after SIGINT/SIGTERM,
// 1 on bad usage).
int zeldump_serve(int argc, char** argv);

#endif
