// What the tray asks of the desktop besides its windows: opening files and
// folders, showing a file in the file manager, starting on login, and the
// state files that tests read.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace vistrel {

// Opens a file or folder with the user's default application (xdg-open).
// The outcome is not examined, as the shell's open is not.
void OpenWithDefaultApp(const std::filesystem::path& path);
// Selects the file in the file manager (FileManager1.ShowItems on the
// session bus); when no file manager answers, opens the file's folder.
void ShowInFolder(const std::filesystem::path& path);

// $XDG_CONFIG_HOME/autostart/vistrel.desktop starting `program` with
// "--background"; off removes it. False when the file could not be written
// or removed (or the path cannot be written into an Exec line).
bool SetAutostart(bool on, const std::filesystem::path& program);
bool IsAutostartEnabled();
std::filesystem::path AutostartFile();
// The Exec line's value for `program` with "--background", quoted and
// escaped as desktop entries require; empty for a path with a line break.
std::string AutostartExec(const std::filesystem::path& program);
// This program's file (/proc/self/exe).
std::filesystem::path ProgramFile();

// "VSTL_TEST_HOOKS" of at most 3 characters beginning with "1".
bool TestHooksEnabled();
// Writes (or appends) the file in the runtime folder: mode 0600, never
// through a link; nothing when hooks are off. Failures are skipped.
void WriteTestHookFile(std::string_view name, std::string_view text, bool append);

}  // namespace vistrel
