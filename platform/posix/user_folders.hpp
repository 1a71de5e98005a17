// platform/posix/user_folders.hpp - where the user's files are: the home folder and the XDG
// base folders (the settings store, the desktop's mail program, later stores), and the one
// reading of a colon-separated list (PATH, XDG_DATA_DIRS, XDG_CURRENT_DESKTOP).
//
// Thread-safety: read the environment and the password database; safe from any thread as
// long as nobody changes the environment meanwhile.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace cobaltmoth::platform::posix {

// The user's home folder: $HOME when set and not empty, else the password database's entry of
// the real user; empty when neither has one (some services).
std::string HomeFolder();

// An XDG base folder: the variable when it holds an absolute path, else the home folder and
// `home_relative` ("/.config" for XDG_CONFIG_HOME); empty when there is no home folder either.
std::string XdgBaseFolder(const char* variable, std::string_view home_relative);

// The entries of a colon-separated list, in order, empty ones included ("a::b" gives "a", "",
// "b"; "" gives none).
std::vector<std::string_view> SplitColonList(std::string_view list);

}  // namespace cobaltmoth::platform::posix
