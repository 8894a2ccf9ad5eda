// Console front end: the receiver without a desktop, driven by commands on
// standard input and stopped by "quit", end of input or a signal.
#pragma once

#include "app/command_line.h"
#include "platform/single_instance.h"

namespace vistrel {

// Runs the receiver until quit; the result is the exit code.
int RunConsole(const CommandLine& command_line, SingleInstance& instance);

// "--remove-camera": 0 when the camera was removed or none exists, 1 on failure.
int RemoveCameraCommand();

// The console's commands, one per line, as "help" prints them.
extern const char* const kConsoleHelp;

}  // namespace vistrel
