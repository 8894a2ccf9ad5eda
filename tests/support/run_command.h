// The standard output of a shell command, for tests that ask a real tool
// (ffprobe, ...) what it sees.
#pragma once

#include <cstdio>
#include <string>

namespace vistrel::test {

inline std::string RunCommand(const std::string& command) {
  std::string out;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    ::pclose(pipe);
  }
  return out;
}

}  // namespace vistrel::test
