// The kestrel command's front door: parsing with usage errors that name what is wrong,
// suggestions for mistyped subcommands and options, `kestrel help [SUBCOMMAND]` and
// `kestrel --version`. Every usage error exits with kExitUsage.
#pragma once

#include <string>
#include <vector>

#include "tools/cli.h"

namespace cli {

// The candidates closest to `typed` by edit distance (transpositions count as one edit),
// closest first; only those near enough to be a plausible typo, or that `typed` begins.
std::vector<std::string> suggestions(const std::string& typed, const std::vector<std::string>& candidates);

// The version line of `kestrel --version`: the program, the module and the kernel it is
// built for.
std::string version_line();

// Adds `kestrel help [SUBCOMMAND]` and `--version` to the top-level app.
void register_help(CLI::App& app, Commands& commands);

// Parses argv and runs the chosen subcommand; returns the exit code.
int parse_and_run(CLI::App& app, const Commands& commands, int argc, char** argv);

} // namespace cli
