// The user's folders (platform/posix/user_folders.hpp).
#include "platform/posix/user_folders.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace cobaltmoth::platform::posix {

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return home;
  struct passwd entry {};
  struct passwd* found = nullptr;
  char buffer[4096];
  if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && found->pw_dir[0] != '\0') {
    return found->pw_dir;
  }
  return {};
}

std::string XdgBaseFolder(const char* variable, std::string_view home_relative) {
  const char* value = std::getenv(variable);
  if (value != nullptr && value[0] == '/') return value;
  const std::string home = HomeFolder();
  return home.empty() ? std::string() : home + std::string(home_relative);
}

std::vector<std::string_view> SplitColonList(std::string_view list) {
  std::vector<std::string_view> entries;
  while (!list.empty()) {
    const std::size_t colon = list.find(':');
    entries.push_back(list.substr(0, colon));
    if (colon == std::string_view::npos) break;
    list.remove_prefix(colon + 1);
    if (list.empty()) entries.emplace_back();  // "a:" ends in an empty entry
  }
  return entries;
}

}  // namespace cobaltmoth::platform::posix
