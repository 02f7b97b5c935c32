#pragma once

// Runs the tool on an argument vector: argv[1] is the archive, argv[2] the
// optional output folder. Returns the process exit code: 0, -1 to -4 for a
// failure that stops the run before the walk, -5 when the walk met problems
// (each reported on standard error; every good entry was still written).
int RunUnzrq(int argc, char** argv);
