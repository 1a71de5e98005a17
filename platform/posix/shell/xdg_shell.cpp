// The shell's mail hand-off on a free desktop: the probe file, the default application of
// text/html from the desktop's MIME lists, and starting it detached.
#include "platform/posix/shell/xdg_shell.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <utility>

#include "platform/posix/fd.hpp"
#include "platform/posix/spawn.hpp"
#include "platform/posix/user_folders.hpp"
#include "runtime/host_error.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth::platform::posix::shell {
namespace xdg {
namespace {

using posix::RaisePosixError;

namespace fs = std::filesystem;

std::string Getenv(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

// An XDG folder list: its absolute entries, or the fallback's when it has none.
std::vector<std::string> BaseFolders(const char* variable, std::string_view fallback) {
  std::vector<std::string> folders;
  const auto absolute = [&folders](std::string_view list) {
    for (const std::string_view entry : posix::SplitColonList(list)) {
      if (!entry.empty() && entry.front() == '/') folders.emplace_back(entry);
    }
  };
  absolute(Getenv(variable));
  if (folders.empty()) absolute(fallback);
  return folders;
}

std::vector<std::string> ApplicationFolders() {
  std::vector<std::string> folders;
  const std::string data_home = posix::XdgBaseFolder("XDG_DATA_HOME", "/.local/share");
  if (!data_home.empty()) folders.push_back(data_home + "/applications");
  for (const std::string& dir : BaseFolders("XDG_DATA_DIRS", "/usr/local/share:/usr/share")) {
    folders.push_back(dir + "/applications");
  }
  return folders;
}

// The mimeapps.list files from the most important to the least.
std::vector<std::string> MimeListFiles() {
  std::vector<std::string> desktops;
  const std::string current = Getenv("XDG_CURRENT_DESKTOP");
  for (const std::string_view entry : posix::SplitColonList(current)) {
    std::string name(entry);
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) {
      return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
    if (!name.empty() && name.find('/') == std::string::npos) desktops.push_back(name);
  }
  std::vector<std::string> folders;
  const std::string config_home = posix::XdgBaseFolder("XDG_CONFIG_HOME", "/.config");
  if (!config_home.empty()) folders.push_back(config_home);
  for (const std::string& dir : BaseFolders("XDG_CONFIG_DIRS", "/etc/xdg")) folders.push_back(dir);
  for (const std::string& dir : ApplicationFolders()) folders.push_back(dir);

  std::vector<std::string> files;
  for (const std::string& folder : folders) {
    for (const std::string& desktop : desktops) {
      files.push_back(folder + "/" + desktop + "-mimeapps.list");
    }
    files.push_back(folder + "/mimeapps.list");
  }
  return files;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

// Reads a desktop-style file whole: a regular file of at most kMaxKeyFileBytes, opened
// without waiting (a FIFO's writer, a device) and without becoming the host's terminal.
// Anything else, and a file that grows beyond the limit while it is read, is unreadable.
std::optional<std::string> ReadKeyFileBytes(const std::string& path) {
  const posix::UniqueFd fd(posix::RetryOnEintr(
      [&] { return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY); }));
  struct stat info {};
  if (!fd.Valid() || ::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      info.st_size < 0 || static_cast<std::uint64_t>(info.st_size) > kMaxKeyFileBytes) {
    return std::nullopt;
  }
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(info.st_size));
  char buffer[8192];
  for (;;) {
    const ssize_t n = posix::RetryOnEintr([&] { return ::read(fd.Get(), buffer, sizeof buffer); });
    if (n < 0) return std::nullopt;
    if (n == 0) return bytes;
    // A file that has grown beyond the limit since fstat is unreadable too.
    if (bytes.size() + static_cast<std::size_t>(n) > kMaxKeyFileBytes) return std::nullopt;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
}

// ForEachKey over the file at `path`; false when it cannot be read (see ReadKeyFileBytes).
bool ReadKeyFile(const std::string& path, const KeyVisitor& visit) {
  const std::optional<std::string> bytes = ReadKeyFileBytes(path);
  if (!bytes) return false;
  ForEachKey(*bytes, visit);
  return true;
}

std::vector<std::string> SplitList(std::string_view list) {
  std::vector<std::string> items;
  while (!list.empty()) {
    const std::size_t semicolon = list.find(';');
    const std::string_view item = Trim(list.substr(0, semicolon));
    if (!item.empty()) items.emplace_back(item);
    if (semicolon == std::string_view::npos) break;
    list.remove_prefix(semicolon + 1);
  }
  return items;
}

// What one mimeapps.list says about one MIME type.
struct MimeList {
  std::vector<std::string> defaults;
  std::vector<std::string> added;
  std::vector<std::string> removed;
};

MimeList ReadMimeList(const std::string& path, std::string_view mime_type) {
  MimeList list;
  ReadKeyFile(path, [&](std::string_view group, std::string_view key, std::string_view value) {
    if (key != mime_type) return;
    std::vector<std::string>* into = nullptr;
    if (group == "Default Applications") into = &list.defaults;
    if (group == "Added Associations") into = &list.added;
    if (group == "Removed Associations") into = &list.removed;
    if (into == nullptr) return;
    for (std::string& id : SplitList(value)) into->push_back(std::move(id));
  });
  return list;
}

// The keys of a desktop entry's [Desktop Entry] group that decide whether it can be started.
struct DesktopEntry {
  std::string type;
  std::string exec;
  std::string try_exec;
  std::string mime_types;
  bool hidden = false;
};

std::optional<DesktopEntry> ReadDesktopEntry(const std::string& path) {
  DesktopEntry entry;
  const bool read = ReadKeyFile(
      path, [&entry](std::string_view group, std::string_view key, std::string_view value) {
        if (group != "Desktop Entry") return;
        if (key == "Type") entry.type = value;
        if (key == "Exec") entry.exec = value;
        if (key == "TryExec") entry.try_exec = value;
        if (key == "MimeType") entry.mime_types = value;
        if (key == "Hidden") entry.hidden = value == "true";
      });
  if (!read) return std::nullopt;
  return entry;
}

// An installed application: one that can be started.
bool Startable(const DesktopEntry& entry) {
  if (entry.hidden || entry.type != "Application" || entry.exec.empty()) return false;
  return entry.try_exec.empty() || !FindProgram(entry.try_exec).empty();
}

bool IsRegularFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool IsDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The file of the desktop id `rest` under `folder`, each "-" of the id standing also for a
// subfolder: "vendor-app.desktop" is "vendor-app.desktop" or "vendor/app.desktop".
std::string FindIdIn(const std::string& folder, std::string_view rest) {
  const std::string direct = folder + "/" + std::string(rest);
  if (IsRegularFile(direct)) return direct;
  for (std::size_t dash = rest.find('-'); dash != std::string_view::npos;
       dash = rest.find('-', dash + 1)) {
    const std::string sub = folder + "/" + std::string(rest.substr(0, dash));
    if (!IsDirectory(sub)) continue;
    std::string found = FindIdIn(sub, rest.substr(dash + 1));
    if (!found.empty()) return found;
  }
  return std::string();
}

// The file of an installed application by its desktop id; the first folder holding the id
// decides, so an entry hidden there hides the same id in folders of lower precedence.
std::string InstalledApplication(std::string_view id) {
  if (id.size() <= 8 || id.substr(id.size() - 8) != ".desktop" ||
      id.find('/') != std::string_view::npos || id.front() == '.') {
    return std::string();
  }
  for (const std::string& folder : ApplicationFolders()) {
    std::string path = FindIdIn(folder, id);
    if (path.empty()) continue;
    const std::optional<DesktopEntry> entry = ReadDesktopEntry(path);
    return entry && Startable(*entry) ? path : std::string();
  }
  return std::string();
}

// The desktop ids of every ".desktop" file under the application folders, in precedence order
// and by name within a folder (a subfolder's "/" read as "-").
std::vector<std::string> AllDesktopIds() {
  std::vector<std::string> ids;
  for (const std::string& folder : ApplicationFolders()) {
    std::vector<std::string> here;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(folder, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
      if (!it->is_regular_file(error) || it->path().extension() != ".desktop") continue;
      std::string id = it->path().lexically_relative(folder).string();
      std::replace(id.begin(), id.end(), '/', '-');
      here.push_back(std::move(id));
    }
    std::sort(here.begin(), here.end());
    ids.insert(ids.end(), here.begin(), here.end());
  }
  return ids;
}

bool ListsMimeType(const std::string& path, std::string_view mime_type) {
  const std::optional<DesktopEntry> entry = ReadDesktopEntry(path);
  if (!entry) return false;
  for (const std::string& type : SplitList(entry->mime_types)) {
    if (type == mime_type) return true;
  }
  return false;
}

int ShellCodeOf(int error_number) {
  switch (error_number) {
    case ENOENT:
    case ENOTDIR:
    case ELOOP:
    case ENAMETOOLONG:
      return kShellFileNotFound;
    case EACCES:
    case EPERM:
    case ETXTBSY:
      return kShellAccessDenied;
    case ENOMEM:
    case EAGAIN:
      return kShellOutOfMemory;
    case ENOEXEC:
    case E2BIG:
      return kShellBadFormat;
    default:
      return 0;  // out of resources, as the Windows shell says for an unknown failure
  }
}

bool EndsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

}  // namespace

void ForEachKey(std::string_view contents, const KeyVisitor& visit) {
  std::string_view group;
  while (!contents.empty()) {
    const std::size_t end = contents.find('\n');
    const std::string_view text = Trim(contents.substr(0, end));
    contents.remove_prefix(end == std::string_view::npos ? contents.size() : end + 1);
    if (text.empty() || text.front() == '#') continue;
    if (text.front() == '[') {
      const std::size_t close = text.find(']');
      group = text.substr(1, close == std::string_view::npos ? 0 : close - 1);
      continue;
    }
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    visit(group, Trim(text.substr(0, equals)), Trim(text.substr(equals + 1)));
  }
}

void CreateFileExclusively(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) {
    runtime::RaiseRuntime(runtime::kBadFileNameOrNumber);
  }
  const int fd = posix::RetryOnEintr([&] {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                  0600);
  });
  if (fd < 0) RaisePosixError(errno);
  ::close(fd);
}

std::optional<std::vector<std::string>> ExecArguments(std::string_view exec_value,
                                                      std::string_view argument) {
  // The escapes of any string value.
  std::string exec;
  for (std::size_t i = 0; i < exec_value.size(); ++i) {
    const char c = exec_value[i];
    if (c != '\\' || i + 1 == exec_value.size()) {
      exec += c;
      continue;
    }
    switch (exec_value[++i]) {
      case 's': exec += ' '; break;
      case 'n': exec += '\n'; break;
      case 't': exec += '\t'; break;
      case 'r': exec += '\r'; break;
      case '\\': exec += '\\'; break;
      default:
        exec += '\\';
        exec += exec_value[i];
    }
  }

  // Words: quoted ones taken literally (but for %%), bare ones with their field codes.
  std::vector<std::string> words;
  bool file_code_seen = false;
  const auto is_blank = [](char c) { return c == ' ' || c == '\t' || c == '\n'; };
  std::size_t i = 0;
  while (i < exec.size()) {
    if (is_blank(exec[i])) {
      ++i;
      continue;
    }
    std::string word;
    if (exec[i] == '"') {
      bool closed = false;
      for (++i; i < exec.size(); ++i) {
        const char c = exec[i];
        if (c == '"') {
          closed = true;
          ++i;
          break;
        }
        if (c == '\\' && i + 1 < exec.size() &&
            std::string_view("\"`$\\").find(exec[i + 1]) != std::string_view::npos) {
          word += exec[++i];
        } else if (c == '%' && i + 1 < exec.size() && exec[i + 1] == '%') {
          word += '%';
          ++i;
        } else {
          word += c;
        }
      }
      if (!closed || (i < exec.size() && !is_blank(exec[i]))) return std::nullopt;
      words.push_back(std::move(word));
      continue;
    }
    bool removed_code = false;
    bool file_code = false;
    for (; i < exec.size() && !is_blank(exec[i]); ++i) {
      const char c = exec[i];
      if (c == '"') return std::nullopt;
      if (c != '%') {
        word += c;
        continue;
      }
      if (++i == exec.size()) return std::nullopt;
      switch (exec[i]) {
        case '%':
          word += '%';
          break;
        case 'f': case 'F': case 'u': case 'U':
          word += argument;
          file_code = true;
          break;
        case 'i': case 'c': case 'k': case 'd': case 'D': case 'n': case 'N': case 'v': case 'm':
          removed_code = true;
          break;
        default:
          return std::nullopt;
      }
    }
    if (file_code && words.empty()) return std::nullopt;  // the program is never the argument
    file_code_seen = file_code_seen || file_code;
    if (word.empty() && removed_code && !file_code) continue;
    words.push_back(std::move(word));
  }
  if (words.empty() || words.front().empty()) return std::nullopt;
  if (!file_code_seen) words.emplace_back(argument);
  return words;
}

std::string DefaultApplicationFile(std::string_view mime_type) {
  const std::vector<std::string> files = MimeListFiles();
  std::vector<MimeList> lists;
  lists.reserve(files.size());
  for (const std::string& file : files) lists.push_back(ReadMimeList(file, mime_type));

  // The defaults, then the added associations: a list's removals pass over the applications
  // that less important lists name.
  for (const auto member : {&MimeList::defaults, &MimeList::added}) {
    std::set<std::string> removed;
    for (const MimeList& list : lists) {
      for (const std::string& id : list.*member) {
        if (removed.count(id) != 0) continue;
        std::string path = InstalledApplication(id);
        if (!path.empty()) return path;
      }
      removed.insert(list.removed.begin(), list.removed.end());
    }
  }
  // Last, any installed application that says it opens the type and no list removed.
  std::set<std::string> removed;
  for (const MimeList& list : lists) removed.insert(list.removed.begin(), list.removed.end());
  std::set<std::string> tried;
  for (const std::string& id : AllDesktopIds()) {
    if (removed.count(id) != 0 || !tried.insert(id).second) continue;
    std::string path = InstalledApplication(id);
    if (!path.empty() && ListsMimeType(path, mime_type)) return path;
  }
  return std::string();
}

std::string FindProgram(std::string_view name) {
  if (name.empty()) return std::string();
  const auto executable = [](const std::string& path) {
    return IsRegularFile(path) && ::access(path.c_str(), X_OK) == 0;
  };
  if (name.find('/') != std::string_view::npos) {
    std::string path(name);
    return executable(path) ? path : std::string();
  }
  std::string search = Getenv("PATH");
  if (std::getenv("PATH") == nullptr) search = "/usr/local/bin:/usr/bin:/bin";
  for (const std::string_view dir : posix::SplitColonList(search)) {
    std::string path = (dir.empty() ? std::string(".") : std::string(dir)) + "/" +
                       std::string(name);
    if (executable(path)) return path;
  }
  return std::string();
}

}  // namespace xdg

namespace {

using posix::RaisePosixError;

class XdgShell final : public Shell {
 public:
  std::u16string CreateHtmProbe() override {
    std::string base = xdg::Getenv("TMPDIR");
    if (base.empty() || base.front() != '/') base = "/tmp";
    std::string folder = base + "/" + std::string(xdg::kProbeFolderPrefix) + "XXXXXX";
    if (::mkdtemp(folder.data()) == nullptr) RaisePosixError(errno);  // mode 0700
    const std::string path = folder + "/" + std::string(xdg::kProbeName);
    try {
      xdg::CreateFileExclusively(path);
      return runtime::FromUtf8(path);
    } catch (...) {
      ::unlink(path.c_str());
      ::rmdir(folder.c_str());
      throw;
    }
  }

  // Never throws: callers clean up with it on their error paths. unlink and rmdir act on the
  // names themselves, never on what a link there points to; the folder is removed only when it
  // is one of ours and the file was our probe.
  void DeleteHtmProbe(std::u16string_view path) override {
    try {
      const std::string file = runtime::ToUtf8(path);
      if (file.empty() || file.find('\0') != std::string::npos) return;
      ::unlink(file.c_str());
      const std::size_t slash = file.rfind('/');
      if (slash == std::string::npos || slash == 0) return;
      if (std::string_view(file).substr(slash + 1) != xdg::kProbeName) return;
      const std::string folder = file.substr(0, slash);
      const std::size_t parent = folder.rfind('/');
      const std::string_view name =
          std::string_view(folder).substr(parent == std::string::npos ? 0 : parent + 1);
      if (name.substr(0, xdg::kProbeFolderPrefix.size()) != xdg::kProbeFolderPrefix) return;
      ::rmdir(folder.c_str());
    } catch (...) {
      // Only an allocation can fail here; a probe left behind is harmless.
    }
  }

  std::int32_t FindExecutable(std::u16string_view file, std::u16string* program) override {
    if (program != nullptr) program->clear();
    const std::string name = runtime::ToUtf8(file);
    if (name.empty() || name.find('\0') != std::string::npos) return kShellFileNotFound;
    struct stat info {};
    if (::stat(name.c_str(), &info) != 0) return kShellFileNotFound;
    const std::string_view base = std::string_view(name).substr(name.rfind('/') + 1);
    const std::size_t dot = base.rfind('.');
    if (dot == std::string_view::npos) return kShellNoAssociation;
    const std::string extension =
        runtime::ToUtf8(runtime::LCase(runtime::FromUtf8(base.substr(dot))));
    if (extension != ".htm" && extension != ".html" && extension != ".shtml") {
      return kShellNoAssociation;
    }
    const std::string found = xdg::DefaultApplicationFile("text/html");
    if (found.empty()) return kShellNoAssociation;
    if (program != nullptr) *program = runtime::FromUtf8(found);
    return kShellFound;
  }

  std::int32_t ShellExecute(std::u16string_view operation, std::u16string_view file,
                            std::u16string_view parameters, std::int32_t /*show*/) override {
    if (!operation.empty() && runtime::LCase(operation) != u"open") return kShellNoAssociation;
    const std::string program = runtime::ToUtf8(file);
    const std::string argument = runtime::ToUtf8(parameters);
    if (program.empty() || program.find('\0') != std::string::npos) return kShellFileNotFound;
    if (argument.find('\0') != std::string::npos) return kShellBadFormat;

    std::vector<std::string> arguments;
    if (xdg::EndsWith(program, ".desktop")) {
      std::string exec;
      const bool read = xdg::ReadKeyFile(
          program, [&exec](std::string_view group, std::string_view key, std::string_view value) {
            if (group == "Desktop Entry" && key == "Exec") exec = value;
          });
      if (!read) return kShellFileNotFound;
      std::optional<std::vector<std::string>> words = xdg::ExecArguments(exec, argument);
      if (!words) return kShellBadFormat;
      arguments = std::move(*words);
    } else {
      arguments = {program, argument};
    }
    const std::string path = xdg::FindProgram(arguments.front());
    if (path.empty()) return kShellFileNotFound;
    const int error = posix::SpawnDetached(path, arguments);
    return error == 0 ? kShellLaunched : xdg::ShellCodeOf(error);
  }
};

}  // namespace

std::shared_ptr<Shell> MakeXdgShell() { return std::make_shared<XdgShell>(); }

}  // namespace cobaltmoth::platform::posix::shell
