// tests/xdg_tree.hpp - a private desktop for tests of the mail hand-off: scoped environment
// variables, every XDG base folder inside a temporary folder, and a stand-in program that
// records how it was started.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "temp_dir.hpp"

namespace cobaltmoth::testing {

namespace fs = std::filesystem;
using Words = std::vector<std::string>;

// Sets environment variables for one test and gives each its earlier value back.
class ScopedEnv {
 public:
  ScopedEnv() = default;
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() {
    for (const auto& [name, value] : saved_) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
  }
  void Set(const std::string& name, const std::string& value) {
    Save(name);
    ::setenv(name.c_str(), value.c_str(), 1);
  }
  void Unset(const std::string& name) {
    Save(name);
    ::unsetenv(name.c_str());
  }

 private:
  void Save(const std::string& name) {
    if (saved_.count(name) != 0) return;
    const char* value = std::getenv(name.c_str());
    saved_[name] = value == nullptr ? std::nullopt : std::optional<std::string>(value);
  }
  std::map<std::string, std::optional<std::string>> saved_;
};

inline void WriteFile(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The stand-in program: records its arguments NUL-separated in $COBALTMOTH_TEST_RECORD.argv,
// its blocked and ignored signals, pid, parent and session in .info, then creates .done. The
// signal masks are read first, with the shell's own builtins: a shell blocks signals for a
// moment around each fork, which a later reading could catch.
inline constexpr char kRecorder[] =
    "#!/bin/sh\n"
    "while read -r key value rest; do\n"
    "  case $key in SigBlk:|SigIgn:) echo \"$key $value\";; esac\n"
    "done < /proc/$$/status > \"$COBALTMOTH_TEST_RECORD.info\"\n"
    "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > \"$COBALTMOTH_TEST_RECORD.argv\"\n"
    "{ echo \"pid $$\"; echo \"ppid $PPID\"; echo \"sid $(cut -d' ' -f6 /proc/$$/stat)\";\n"
    "} >> \"$COBALTMOTH_TEST_RECORD.info\"\n"
    ": > \"$COBALTMOTH_TEST_RECORD.done\"\n";

// A private XDG tree: every base folder inside a temporary folder, the recorder installed as
// "<root>/bin dir/my browser" and as "<root>/bin/recorder" (on PATH).
class XdgTree {
 public:
  XdgTree() {
    env_.Set("HOME", dir_ / "home");
    env_.Set("XDG_CONFIG_HOME", ConfigHome());
    env_.Set("XDG_CONFIG_DIRS", ConfigDir(1) + ":relative/ignored:" + ConfigDir(2));
    env_.Set("XDG_DATA_HOME", dir_ / "data-home");
    env_.Set("XDG_DATA_DIRS", DataDir(1) + ":" + DataDir(2));
    env_.Unset("XDG_CURRENT_DESKTOP");
    env_.Set("TMPDIR", dir_ / "tmp");
    env_.Set("COBALTMOTH_TEST_RECORD", Record());
    const char* path = std::getenv("PATH");
    env_.Set("PATH", (dir_ / "bin") + ":" + (path == nullptr ? "/usr/bin:/bin" : path));
    fs::create_directories(dir_ / "tmp");
    for (const std::string& program : {Browser(), dir_ / "bin/recorder"}) {
      WriteFile(program, kRecorder);
      fs::permissions(program, fs::perms::owner_all);
    }
  }

  std::string Root() const { return dir_.path().string(); }
  std::string ConfigHome() const { return dir_ / "config-home"; }
  std::string ConfigDir(int n) const { return dir_ / ("config-dir" + std::to_string(n)); }
  std::string DataHomeApps() const { return dir_ / "data-home/applications"; }
  std::string DataDir(int n) const { return dir_ / ("data-dir" + std::to_string(n)); }
  std::string DataDirApps(int n) const { return DataDir(n) + "/applications"; }
  std::string Browser() const { return dir_ / "bin dir/my browser"; }
  std::string Record() const { return dir_ / "record"; }
  ScopedEnv& env() { return env_; }

  // Installs an application in `folder` (an applications folder) under `id_path`.
  std::string Install(const std::string& folder, const std::string& id_path,
                      const std::string& exec, const std::string& extra = "") {
    const std::string path = folder + "/" + id_path;
    WriteFile(path, "[Desktop Entry]\nType=Application\nName=App\nExec=" + exec + "\n" + extra +
                        "\n[Desktop Action other]\nExec=/bin/false\n");
    return path;
  }
  // Writes a mimeapps.list naming `defaults` as the text/html default.
  void List(const std::string& path, const std::string& defaults,
            const std::string& more = "") {
    WriteFile(path, "# comment\n[Default Applications]\ntext/html=" + defaults +
                        "\nimage/png=png.desktop\n" + more);
  }

  // Waits for the recorder to finish and returns its arguments.
  Words RecordedArguments() const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!fs::exists(Record() + ".done") && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(fs::exists(Record() + ".done")) << "the program never ran";
    Words words;
    std::string all = ReadFile(Record() + ".argv");
    for (std::size_t at = 0; at < all.size();) {
      const std::size_t end = all.find('\0', at);
      if (end == std::string::npos) {
        ADD_FAILURE() << "unterminated argument";
        break;
      }
      words.push_back(all.substr(at, end - at));
      at = end + 1;
    }
    return words;
  }
  std::map<std::string, std::string> RecordedInfo() const {
    std::map<std::string, std::string> info;
    std::istringstream lines(ReadFile(Record() + ".info"));
    std::string key;
    std::string value;
    while (lines >> key >> value) info[key] = value;
    return info;
  }

 private:
  TempDir dir_;
  ScopedEnv env_;
};

}  // namespace cobaltmoth::testing
