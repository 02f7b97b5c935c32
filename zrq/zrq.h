#pragma once

// Runs zrq on an argument vector: argv[1] is the command (list, test, cat,
// create, --help, --version), the rest its arguments. Returns the process
// exit code: unzrq's codes where zrq meets unzrq's problems, its own
// (driver/messages.h, ZRQ_EXIT_CODES) for the rest.
int RunZrq(int argc, char** argv);
