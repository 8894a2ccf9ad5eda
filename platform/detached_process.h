// Starting a program that outlives its starter: its own session, no
// controlling terminal, not a child of ours (nothing to reap).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace vistrel {

// Runs `program` with `args` (without argv[0]) detached: standard input and
// output on /dev/null, standard error appended to `error_file` (opened 0600,
// never through a link), default signal mask and dispositions. Returns 0 once
// the program was executed, else the errno of the step that failed.
[[nodiscard]] int StartDetached(const std::filesystem::path& program,
                                const std::vector<std::string>& args,
                                const std::filesystem::path& error_file);

}  // namespace vistrel
