// platform/posix/shell/xdg_shell.hpp - the shell's mail hand-off on a free desktop: the program
// that the desktop opens ".htm" files with, and starting it with the mail's one parameter text.
//
// The program is the default application of the file's MIME type (text/html for ".htm" and
// ".html") as the desktop's mimeapps.list files name it, searched in this order, the desktop-
// specific lists ("<desktop>-mimeapps.list", for each name in $XDG_CURRENT_DESKTOP, lower case)
// before the plain one in each folder:
//   $XDG_CONFIG_HOME (~/.config), each $XDG_CONFIG_DIRS (/etc/xdg),
//   $XDG_DATA_HOME/applications (~/.local/share/applications),
//   each $XDG_DATA_DIRS/applications (/usr/local/share:/usr/share).
// The first list naming an installed application under [Default Applications] decides; an
// application that a list of higher precedence names under [Removed Associations] is passed
// over. Without a default, [Added Associations] are tried in the same order, then the
// installed applications whose MimeType lists the type. A desktop id "vendor-app.desktop" is
// found as that file or as "vendor/app.desktop" in $XDG_DATA_HOME/applications and each
// $XDG_DATA_DIRS/applications; the first folder holding it decides, and an entry there that is
// Hidden, not an Application, without Exec, or whose TryExec is not installed, hides it.
//
// A mimeapps.list or ".desktop" file is read only when it is a regular file of at most
// kMaxKeyFileBytes (1 MiB); a larger one, a FIFO, a device or a folder counts as unreadable, as
// a missing file does, and is never waited on.
//
// FindExecutable hands out the path of the application's ".desktop" file as the program;
// ShellExecute reads its Exec line again and starts it, the parameter text standing as one
// argument where the first file or URL field code (%f %F %u %U) stands, or appended when the
// line has none. A program that is not a ".desktop" file is started directly with the
// parameter text as its only argument. Nothing goes through a command interpreter or through
// the desktop's own opener.
//
// Thread-safety: the shell keeps no state; it reads the environment at every call.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ui.hpp"

namespace cobaltmoth::platform::posix::shell {

// The shell's codes, as the Windows shell returns them (above 32 is success).
inline constexpr std::int32_t kShellFileNotFound = 2;    // the file or the program is missing
inline constexpr std::int32_t kShellAccessDenied = 5;    // the program may not be run
inline constexpr std::int32_t kShellOutOfMemory = 8;
inline constexpr std::int32_t kShellBadFormat = 11;      // an unusable Exec line or parameter
inline constexpr std::int32_t kShellNoAssociation = 31;  // no program for the file's type
inline constexpr std::int32_t kShellLaunched = 42;       // ShellExecute started the program
inline constexpr std::int32_t kShellFound = 33;          // FindExecutable found the program

// The shell's mail hand-off as described above.
std::shared_ptr<Shell> MakeXdgShell();

namespace xdg {

// The name the probe file has inside its private folder, and the folder's name before its
// random part.
inline constexpr std::string_view kProbeName = "~mail.htm";
inline constexpr std::string_view kProbeFolderPrefix = "cobaltmoth-mail-";

// Creates `path` as a new empty file (mode 0600), never following a symbolic link and never
// opening a file that exists already; raises the host's run-time error when it cannot
// (58 "File already exists" when anything, a link included, has that name).
void CreateFileExclusively(const std::string& path);

// The largest mimeapps.list or ".desktop" file that is read.
inline constexpr std::size_t kMaxKeyFileBytes = std::size_t{1} << 20;

// Receives one "key=value" line of a desktop-style file: its group (the text between "[" and
// the first "]" of the latest group line, "" before any), then key and value, each without
// the blanks around it.
using KeyVisitor =
    std::function<void(std::string_view group, std::string_view key, std::string_view value)>;

// Calls `visit` for every "key=value" line of a desktop-style file's contents, in order. Lines
// end at LF (a CR before it is dropped); blank lines, lines starting with "#" and lines
// without "=" are passed over. Any bytes are accepted.
//   "[Default Applications]\r\ntext/html = web.desktop;\n"
//     visits ("Default Applications", "text/html", "web.desktop;")
void ForEachKey(std::string_view contents, const KeyVisitor& visit);

// The arguments of a desktop entry's Exec value, written as it stands in the file: the value's
// escapes (\s \n \t \r \\) undone, then split at blanks with double quotes grouping and, inside
// them, backslash escaping " ` $ and \. Field codes are expanded with `argument`: %f %F %u %U
// become it (an argument that is only such a code becomes exactly `argument`), %% becomes %,
// and the other codes are removed, an argument made only of them with them. When no file or
// URL code occurs, `argument` is appended. Empty when the value is malformed (an unterminated
// quote, a quote inside an unquoted word, an unknown field code) or names no program.
std::optional<std::vector<std::string>> ExecArguments(std::string_view exec_value,
                                                      std::string_view argument);

// The ".desktop" file of the default application of `mime_type` as described above, or an
// empty string when there is none.
std::string DefaultApplicationFile(std::string_view mime_type);

// `name` found through $PATH (/usr/local/bin:/usr/bin:/bin when unset) unless it holds a
// slash, as an executable regular file; empty when there is none.
std::string FindProgram(std::string_view name);

}  // namespace xdg

}  // namespace cobaltmoth::platform::posix::shell
