// Command line and the optional options line on standard input.
#pragma once

#include <cstddef>
#include <cstdint>

void cli_parse_arguments(int argc, char** argv);
void cli_validate();
void cli_process(int argc, char** argv, bool allow_stdin);
void cli_process_stdin();
const char* value_of_option64(const char* opt, const char* arg);
int base64_decode(const char* in, size_t inLen, unsigned char* out, size_t* outLen);
[[noreturn]] void show_usage(const char* program);
[[noreturn]] void show_version(const char* program);
void cli_dump();

bool ignore_suspended();
bool no_session();
const char* app();
const char* appfmt();
const char* host();
uint8_t framerate();
const char* ip();
const char* sid();
const char* tfn();
const char* tid();
const char* user();
const char* sign_key();
bool use_installed_colormap();
const char* display_name();
const char* filename();
