// Where the receiver keeps things: the xdg base and user folders, and the
// private per-user runtime folder.
#pragma once

#include <filesystem>
#include <optional>

namespace vistrel {

enum class UserFolder { kVideos, kDocuments, kPictures };

// $XDG_DATA_HOME/Vistrel, default ~/.local/share/Vistrel (log and default data).
std::filesystem::path AppDataFolder();
// $XDG_STATE_HOME/Vistrel, default ~/.local/state/Vistrel (camera library log).
std::filesystem::path CameraLogFolder();
// $XDG_CONFIG_HOME, default ~/.config.
std::filesystem::path ConfigHome();
// The user dir from user-dirs.dirs, else ~/Videos etc.; empty when there is no home.
std::filesystem::path ResolveUserFolder(UserFolder folder);
// The per-user runtime folder, created 0700; nothing when it is a symlink, owned
// by someone else or cannot be made.
std::optional<std::filesystem::path> RuntimeFolder();
// $HOME, else the password database; empty when neither is known.
std::filesystem::path HomeFolder();

}  // namespace vistrel
