// Starting a program that outlives its starter: its own session, no
// controlling terminal, not a child of ours (nothing to reap).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/result.h"

namespace vistrel {

// Runs `program` with `args` (without argv[0]) detached: standard input and
// output on /dev/null, standard error appended to `error_file` (opened 0600,
// never through a link), default signal mask and dispositions. Succeeds once
// the program was executed; the error is the errno of the step that failed.
Status StartDetached(const std::filesystem::path& program, const std::vector<std::string>& args,
                     const std::filesystem::path& error_file);

}  // namespace vistrel
