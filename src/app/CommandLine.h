#pragma once

#include <optional>

// The program's own options, `--help` and `--version`. They are answered before any window or
// display connection exists, so they work on a console and in package scripts.
namespace CommandLine {

// Prints the help or the version when asked and returns the exit code the program should end
// with; returns nothing when the app should start. Every other argument is left to Qt, which
// takes its own options (-platform, -style, …) from the same command line.
std::optional<int> handle(int argc, char *argv[]);

} // namespace CommandLine
