// The settings store on Linux: one SQLite database per root (a "hive"), in the places that
// DefaultRegistryHives() names.
//
// A hive holds two tables (the database's user_version is 1):
//   keys(id, parent, name, folded)          the root key is id 1 with parent 0 and name ""
//   vals(key, name, folded, type, data)     the unnamed default value has the name ""
// Names are UTF-8 as first created; `folded` is the host's LCase of the name, and every
// lookup goes through it, so "Software" and "SOFTWARE" are one key, whose name keeps the
// case it was created with. A key's values are removed in the transaction that removes it.
//
// Journal: write-ahead log, synchronous=NORMAL. Readers then never wait for a writer nor a
// writer for readers, and a commit is one append to the log instead of a journal created,
// synced and removed per transaction (eight processes saving a thousand values each finish
// in seconds, where a rollback journal takes minutes on an ordinary disk). A commit that has
// returned survives a crash of any process, since its pages are with the kernel; a power
// failure can at worst take back the last commits, never tear one, which is the promise the
// registry itself makes, as it writes its hives lazily. The log needs shared memory beside
// the database, so a hive must not sit on a network file system.
//
// Every write is one transaction begun with BEGIN IMMEDIATE: it takes the write lock before
// it reads, so two writers never deadlock on an upgrade; a call that finds the store locked
// by another process tries again after a pause, for up to ten seconds, instead of failing.
//
// Connections: a Registry keeps one connection per hive file, opened by the first key on
// it and shared by every key open on it; a call holds the connection's mutex from start to
// end. Between calls no statement or transaction is left open, so the connection holds only
// the shared lock that every connection to a write-ahead-logged database keeps, which stops
// no reader and no writer. Keeping it saves the open, the reading of the schema and the
// checkpoint that closing the last connection runs, at every call. A hive whose file was
// replaced on disk gets a new connection; a file made read-only since it was opened is
// refused, as it would be at its first opening.
//
// Forks: SQLite keeps, per process, locks and a record of the locks each open file holds; a
// child that used what it inherited would believe it holds locks it does not, or wait for a
// lock taken by a thread that did not come along. So the store's work inside SQLite and a fork
// exclude each other (ForkGate): a fork waits only for the statements running at that moment,
// never for a call that waits for another process (those pauses happen outside SQLite), and
// the parent's connections are left as they are. A child closes the connections it inherited,
// all idle, at its first call on each and opens its own.
#include <sqlite3.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <shared_mutex>
#include <thread>
#include <string>
#include <utility>

#include "platform/posix/settings/sqlite_registry.hpp"
#include "platform/posix/user_folders.hpp"
#include "platform/registry.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth::platform::posix::settings {
namespace {

constexpr std::int64_t kRootId = 1;
constexpr int kBusyTimeoutMs = 10000;
constexpr std::chrono::milliseconds kLongestPause(50);

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS keys("
    "  id INTEGER PRIMARY KEY, parent INTEGER NOT NULL,"
    "  name TEXT NOT NULL, folded TEXT NOT NULL, UNIQUE(parent, folded));"
    "CREATE TABLE IF NOT EXISTS vals("
    "  key INTEGER NOT NULL, name TEXT NOT NULL, folded TEXT NOT NULL,"
    "  type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key, folded)) WITHOUT ROWID;"
    "INSERT OR IGNORE INTO keys(id, parent, name, folded) VALUES(1, 0, '', '');"
    "PRAGMA user_version = 1;";

// The one place where an SQLite result becomes the store's status.
RegStatus StatusFromSqlite(int result) {
  switch (result & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return RegStatus::kOk;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return RegStatus::kBusy;
    case SQLITE_NOMEM:
      return RegStatus::kOutOfMemory;
    case SQLITE_FULL:
      return RegStatus::kDiskFull;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_CANTOPEN:
    case SQLITE_AUTH:
      return RegStatus::kAccessDenied;
    case SQLITE_ERROR:
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
    case SQLITE_SCHEMA:
    case SQLITE_MISMATCH:
    case SQLITE_CONSTRAINT:
      return RegStatus::kBadDatabase;
    default:
      return RegStatus::kIoFailed;
  }
}

// ... and where an errno of the hive's folder does.
RegStatus StatusFromErrno(int error_number) {
  switch (error_number) {
    case ENOSPC:
    case EDQUOT:
      return RegStatus::kDiskFull;
    case ENOMEM:
      return RegStatus::kOutOfMemory;
    case EIO:
      return RegStatus::kIoFailed;
    default:  // EACCES, EPERM, EROFS, ENOTDIR, ...: the hive cannot be had
      return RegStatus::kAccessDenied;
  }
}

// Creates the folder and every missing folder above it with this mode.
RegStatus MakeFolders(const std::string& folder, mode_t mode) {
  for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string part = folder.substr(0, slash);
    if (!part.empty() && part.back() != '/' && ::mkdir(part.c_str(), mode) != 0 &&
        errno != EEXIST) {
      return StatusFromErrno(errno);
    }
    if (slash == std::string::npos) return RegStatus::kOk;
  }
}

// The names of a key path, without the empty ones.
std::vector<std::u16string_view> SplitPath(std::u16string_view path) {
  std::vector<std::u16string_view> names;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(u'\\', start);
    if (end == std::u16string_view::npos) end = path.size();
    if (end > start) names.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

std::string Folded(std::u16string_view name) { return runtime::ToUtf8(runtime::LCase(name)); }

// A prepared statement; finalised by its destructor.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    result_ = ::sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr);
  }
  ~Statement() { ::sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, std::int64_t value) {
    if (result_ == SQLITE_OK) result_ = ::sqlite3_bind_int64(statement_, index, value);
    return *this;
  }
  Statement& Bind(int index, const std::string& text) {
    if (result_ == SQLITE_OK) {
      result_ = ::sqlite3_bind_text(statement_, index, text.data(),
                                    static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    return *this;
  }
  Statement& Bind(int index, std::span<const std::uint8_t> bytes) {
    // A blob of no bytes must not be bound from a null pointer, which would make it NULL.
    if (result_ == SQLITE_OK) {
      result_ = bytes.empty() ? ::sqlite3_bind_zeroblob(statement_, index, 0)
                              : ::sqlite3_bind_blob(statement_, index, bytes.data(),
                                                    static_cast<int>(bytes.size()),
                                                    SQLITE_TRANSIENT);
    }
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE, or the error that stopped the statement.
  int Step() {
    if (result_ != SQLITE_OK && result_ != SQLITE_ROW) return result_;
    result_ = ::sqlite3_step(statement_);
    return result_;
  }
  bool IsNull(int column) const { return ::sqlite3_column_type(statement_, column) == SQLITE_NULL; }
  std::int64_t Int(int column) const { return ::sqlite3_column_int64(statement_, column); }
  std::vector<std::uint8_t> Bytes(int column) const {
    const auto* data = static_cast<const std::uint8_t*>(::sqlite3_column_blob(statement_, column));
    const int size = ::sqlite3_column_bytes(statement_, column);
    if (data == nullptr || size <= 0) return {};
    return std::vector<std::uint8_t>(data, data + size);
  }

 private:
  sqlite3_stmt* statement_ = nullptr;
  int result_;
};

// Held shared by every call of the store while it is inside SQLite, and exclusively by a
// fork from its start to its end. A child gets a gate of its own (the inherited one may still
// count the parent's waiting threads). Never destroyed: a fork may come while the process
// exits.
std::atomic<std::shared_mutex*> g_fork_gate{nullptr};

std::shared_mutex& ForkGate() {
  static std::once_flag made;
  std::call_once(made, [] {
    g_fork_gate = new std::shared_mutex;
    ::pthread_atfork([] { g_fork_gate.load()->lock(); }, [] { g_fork_gate.load()->unlock(); },
                     [] { g_fork_gate = new std::shared_mutex; });
  });
  return *g_fork_gate.load();
}

// Runs `call` inside the gate; while it finds the store locked by another process (kBusy), it
// runs again after a pause outside the gate, for up to kBusyTimeoutMs.
template <typename Call>
RegStatus Patiently(Call call) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
  for (auto pause = std::chrono::milliseconds(1);; pause = std::min(pause * 2, kLongestPause)) {
    RegStatus status;
    {
      const std::shared_lock<std::shared_mutex> inside(ForkGate());
      status = call();
    }
    if (status != RegStatus::kBusy || std::chrono::steady_clock::now() + pause > deadline) {
      return status;
    }
    std::this_thread::sleep_for(pause);
  }
}

// One process's connection to a hive file, opened again at a forked child's first call.
// Calls on it hold Mutex() from start to end, inside the fork gate.
class Hive {
 public:
  // Opens the hive's database for writing, making its folder and file when `create` is set;
  // a database that can only be read then counts as one that cannot be opened. With
  // `read_only`, the database (which must exist) is opened to be read only.
  static RegStatus Open(const std::string& file, mode_t folder_mode, bool create,
                        bool read_only, std::shared_ptr<Hive>* hive) {
    if (create) {
      const std::size_t slash = file.rfind('/');
      if (slash != std::string::npos && slash > 0) {
        const RegStatus made = MakeFolders(file.substr(0, slash), folder_mode);
        if (made != RegStatus::kOk) return made;
      }
    }
    auto owner = std::shared_ptr<Hive>(new Hive(file, read_only));
    const std::lock_guard<std::mutex> lock(owner->mutex_);
    const RegStatus status = owner->Connect(create);
    if (status == RegStatus::kOk) *hive = std::move(owner);
    return status;
  }

  ~Hive() {
    const std::shared_lock<std::shared_mutex> inside(ForkGate());
    Close();
  }
  Hive(const Hive&) = delete;
  Hive& operator=(const Hive&) = delete;

  std::mutex& Mutex() { return mutex_; }
  sqlite3* Db() const { return db_; }
  bool ReadOnly() const { return read_only_; }

  // Whether this is a connection to the file that `info` describes now.
  bool Serves(const struct stat& info) const {
    return device_ == info.st_dev && inode_ == info.st_ino;
  }

  // In a forked child, closes the connection it inherited and opens its own, on the same file
  // only. Needs Mutex().
  RegStatus Reopen() {
    if (db_ != nullptr && process_ == ::getpid()) return RegStatus::kOk;
    const dev_t device = device_;
    const ino_t inode = inode_;
    const RegStatus status = Connect(false);
    if (status != RegStatus::kOk) return status;
    if (device_ != device || inode_ != inode) return RegStatus::kKeyDeleted;  // another file
    return RegStatus::kOk;
  }

  // Closes the connection (it holds no transaction between calls). Needs Mutex().
  void Close() {
    if (db_ != nullptr) ::sqlite3_close_v2(db_);
    db_ = nullptr;
  }

  RegStatus Exec(const char* sql) {
    return StatusFromSqlite(::sqlite3_exec(db_, sql, nullptr, nullptr, nullptr));
  }

  // Runs `body` in one write transaction: committed when it returns kOk, else rolled back.
  template <typename Body>
  RegStatus Write(Body body) {
    const RegStatus begun = Exec("BEGIN IMMEDIATE");
    if (begun != RegStatus::kOk) return begun;
    RegStatus status = RegStatus::kIoFailed;
    try {
      status = body();
    } catch (...) {
      status = RegStatus::kOutOfMemory;
    }
    if (status == RegStatus::kOk) status = Exec("COMMIT");
    if (status != RegStatus::kOk && !::sqlite3_get_autocommit(db_)) Exec("ROLLBACK");
    return status;
  }
  // The key at `path` below key `from`: found, or made when `create` is set (which must run
  // inside Write). kNotFound names the first missing key.
  RegStatus Walk(std::int64_t from, std::u16string_view path, bool create, std::int64_t* id) {
    std::int64_t current = from;
    for (const std::u16string_view name : SplitPath(path)) {
      const std::string folded = Folded(name);
      Statement find(db_, "SELECT id FROM keys WHERE parent = ?1 AND folded = ?2");
      const int found = find.Bind(1, current).Bind(2, folded).Step();
      if (found == SQLITE_ROW) {
        current = find.Int(0);
        continue;
      }
      if (found != SQLITE_DONE) return StatusFromSqlite(found);
      if (!create) return RegStatus::kNotFound;
      Statement add(db_, "INSERT INTO keys(parent, name, folded) VALUES(?1, ?2, ?3)");
      const int added = add.Bind(1, current).Bind(2, runtime::ToUtf8(name)).Bind(3, folded).Step();
      if (added != SQLITE_DONE) return StatusFromSqlite(added);
      current = ::sqlite3_last_insert_rowid(db_);
    }
    *id = current;
    return RegStatus::kOk;
  }

  // kOk while the key exists, kKeyDeleted once it is gone.
  RegStatus Exists(std::int64_t id) {
    Statement find(db_, "SELECT 1 FROM keys WHERE id = ?1");
    const int found = find.Bind(1, id).Step();
    if (found == SQLITE_ROW) return RegStatus::kOk;
    return found == SQLITE_DONE ? RegStatus::kKeyDeleted : StatusFromSqlite(found);
  }

 private:
  Hive(std::string file, bool read_only) : file_(std::move(file)), read_only_(read_only) {}

  RegStatus Connect(bool create) {
    Close();
    RegStatus status;
    if (read_only_) {
      // Read without writing anything, not even the files a write-ahead log keeps beside the
      // database; a database whose log cannot be shared so is read as a snapshot.
      status = OpenReading("?mode=ro");
      if (status != RegStatus::kOk) status = OpenReading("?immutable=1");
    } else {
      const int flags =
          SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
      status = StatusFromSqlite(::sqlite3_open_v2(file_.c_str(), &db_, flags, nullptr));
    }
    // SQLite falls back to reading only when the file is write-protected.
    if (status == RegStatus::kOk && !read_only_ && ::sqlite3_db_readonly(db_, "main") != 0) {
      status = RegStatus::kAccessDenied;
    }
    if (status == RegStatus::kOk) {
      status = Prepare();
    }
    struct stat info {};
    if (status == RegStatus::kOk && ::stat(file_.c_str(), &info) != 0) {
      status = StatusFromErrno(errno);
    }
    if (status != RegStatus::kOk) {
      Close();
      return status;
    }
    device_ = info.st_dev;
    inode_ = info.st_ino;
    process_ = ::getpid();
    return RegStatus::kOk;
  }

  // Opens the file as an SQLite URI with `query`, for reading only.
  RegStatus OpenReading(const char* query) {
    Close();
    std::string uri = "file:";
    for (const char c : file_) {
      if (c == '?' || c == '#' || c == '%') {
        static constexpr char kHex[] = "0123456789ABCDEF";
        uri += '%';
        uri += kHex[static_cast<unsigned char>(c) >> 4];
        uri += kHex[c & 0xF];
      } else {
        uri += c;
      }
    }
    uri += query;
    const int flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX;
    RegStatus status = StatusFromSqlite(::sqlite3_open_v2(uri.c_str(), &db_, flags, nullptr));
    std::int64_t version = 0;
    if (status == RegStatus::kOk) status = Version(&version);
    if (status == RegStatus::kOk && version != 1) {
      status = version == 0 ? RegStatus::kNotFound : RegStatus::kBadDatabase;
    }
    if (status != RegStatus::kOk) Close();
    return status;
  }

  // Makes the tables of a new hive; checks those of an old one. Reading the version here
  // also makes the first access to the file (and its log) happen now, so that a hive that
  // cannot be used fails to open rather than at its first call.
  RegStatus Prepare() {
    if (read_only_) return RegStatus::kOk;  // checked as it was opened
    RegStatus status = Exec("PRAGMA synchronous = NORMAL");
    if (status != RegStatus::kOk) return status;
    std::int64_t version = 0;
    status = Version(&version);
    if (status != RegStatus::kOk || version == 1) return status;
    if (version != 0) return RegStatus::kBadDatabase;  // made by a later release
    status = Exec("PRAGMA journal_mode = WAL");
    if (status != RegStatus::kOk) return status;
    return Write([this] { return Exec(kSchema); });
  }

  RegStatus Version(std::int64_t* version) {
    Statement read(db_, "PRAGMA user_version");
    const int stepped = read.Step();
    if (stepped != SQLITE_ROW) return StatusFromSqlite(stepped);
    *version = read.Int(0);
    return RegStatus::kOk;
  }

  const std::string file_;
  const bool read_only_;
  sqlite3* db_ = nullptr;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  pid_t process_ = 0;  // the process that opened db_
  std::mutex mutex_;
};

class SqliteKey final : public RegistryKey {
 public:
  SqliteKey(std::shared_ptr<Hive> hive, std::int64_t id) : hive_(std::move(hive)), id_(id) {}

  RegStatus QueryValue(std::u16string_view name, RegValue* value) override {
    return Guard([&] {
      Statement find(hive_->Db(),
                     "SELECT v.type, v.data FROM keys AS k LEFT JOIN vals AS v"
                     " ON v.key = k.id AND v.folded = ?2 WHERE k.id = ?1");
      const int found = find.Bind(1, id_).Bind(2, Folded(name)).Step();
      if (found == SQLITE_DONE) return RegStatus::kKeyDeleted;
      if (found != SQLITE_ROW) return StatusFromSqlite(found);
      if (find.IsNull(0)) return RegStatus::kNotFound;
      value->type = static_cast<std::uint32_t>(find.Int(0));
      value->data = find.Bytes(1);
      return RegStatus::kOk;
    });
  }

  RegStatus SetValue(std::u16string_view name, std::uint32_t type,
                     std::span<const std::uint8_t> data) override {
    return Guard([&] {
      if (hive_->ReadOnly()) return RegStatus::kAccessDenied;
      return hive_->Write([&] {
        const RegStatus exists = hive_->Exists(id_);
        if (exists != RegStatus::kOk) return exists;
        Statement set(hive_->Db(),
                      "INSERT INTO vals(key, name, folded, type, data) VALUES(?1, ?2, ?3, ?4, ?5)"
                      " ON CONFLICT(key, folded) DO UPDATE SET type = excluded.type,"
                      " data = excluded.data");
        return StatusFromSqlite(set.Bind(1, id_)
                                    .Bind(2, runtime::ToUtf8(name))
                                    .Bind(3, Folded(name))
                                    .Bind(4, static_cast<std::int64_t>(type))
                                    .Bind(5, data)
                                    .Step());
      });
    });
  }

  RegStatus DeleteValue(std::u16string_view name) override {
    return Guard([&] {
      if (hive_->ReadOnly()) return RegStatus::kAccessDenied;
      return hive_->Write([&] {
        const RegStatus exists = hive_->Exists(id_);
        if (exists != RegStatus::kOk) return exists;
        Statement remove(hive_->Db(), "DELETE FROM vals WHERE key = ?1 AND folded = ?2");
        const int removed = remove.Bind(1, id_).Bind(2, Folded(name)).Step();
        if (removed != SQLITE_DONE) return StatusFromSqlite(removed);
        return ::sqlite3_changes(hive_->Db()) == 0 ? RegStatus::kNotFound : RegStatus::kOk;
      });
    });
  }

  RegStatus DeleteSubKey(std::u16string_view path) override {
    return Guard([&] {
      if (hive_->ReadOnly()) return RegStatus::kAccessDenied;
      return hive_->Write([&] {
        const RegStatus exists = hive_->Exists(id_);
        if (exists != RegStatus::kOk) return exists;
        std::int64_t target = 0;
        const RegStatus walked = hive_->Walk(id_, path, false, &target);
        if (walked != RegStatus::kOk) return walked;
        if (target == kRootId) return RegStatus::kAccessDenied;
        Statement child(hive_->Db(), "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1");
        const int has_child = child.Bind(1, target).Step();
        if (has_child == SQLITE_ROW) return RegStatus::kAccessDenied;
        if (has_child != SQLITE_DONE) return StatusFromSqlite(has_child);
        Statement values(hive_->Db(), "DELETE FROM vals WHERE key = ?1");
        const int values_removed = values.Bind(1, target).Step();
        if (values_removed != SQLITE_DONE) return StatusFromSqlite(values_removed);
        Statement key(hive_->Db(), "DELETE FROM keys WHERE id = ?1");
        return StatusFromSqlite(key.Bind(1, target).Step());
      });
    });
  }

 private:
  // Runs one call under the connection's lock, keeping allocation failures inside: the store
  // reports, it never throws.
  template <typename Body>
  RegStatus Guard(Body body) noexcept {
    try {
      return Patiently([&] {
        const std::lock_guard<std::mutex> lock(hive_->Mutex());
        const RegStatus ready = hive_->Reopen();
        return ready != RegStatus::kOk ? ready : body();
      });
    } catch (...) {
      return RegStatus::kOutOfMemory;
    }
  }

  std::shared_ptr<Hive> hive_;
  std::int64_t id_;
};

class SqliteRegistry final : public Registry {
 public:
  explicit SqliteRegistry(std::optional<RegistryHives> hives) : hives_(std::move(hives)) {}

  RegStatus OpenKey(std::uint32_t root, std::u16string_view path, RegKey* key) override {
    return Open(root, path, false, key);
  }
  RegStatus CreateKey(std::uint32_t root, std::u16string_view path, RegKey* key) override {
    return Open(root, path, true, key);
  }

 private:
  RegStatus Open(std::uint32_t root, std::u16string_view path, bool create,
                 RegKey* key) noexcept {
    key->reset();
    try {
      return Patiently([&] { return OpenInside(root, path, create, key); });
    } catch (...) {
      return RegStatus::kOutOfMemory;
    }
  }

  RegStatus OpenInside(std::uint32_t root, std::u16string_view path, bool create, RegKey* key) {
    {
      const RegistryHives hives = hives_ ? *hives_ : DefaultRegistryHives();
      std::string file;
      mode_t folder_mode = 0700;
      if (root == kHkeyCurrentUser) {
        file = hives.current_user;
      } else if (root == kHkeyLocalMachine) {
        file = hives.local_machine;
        folder_mode = 0755;
      } else {
        return RegStatus::kInvalidHandle;
      }
      if (file.empty()) return RegStatus::kAccessDenied;  // no home folder to keep it in
      std::shared_ptr<Hive> hive;
      RegStatus status = Connect(file, folder_mode, create, false, SplitPath(path).empty(), &hive);
      // The machine's store is the administrator's: another user may read it (writing still
      // needs write access).
      if (status == RegStatus::kAccessDenied && root == kHkeyLocalMachine && !create) {
        status = Connect(file, folder_mode, false, true, false, &hive);
      }
      if (status != RegStatus::kOk) return status;
      const std::lock_guard<std::mutex> lock(hive->Mutex());
      status = hive->Reopen();
      if (status != RegStatus::kOk) return status;
      std::int64_t id = 0;
      status = hive->Walk(kRootId, path, false, &id);
      if (status == RegStatus::kNotFound && create) {
        Hive* h = hive.get();
        status = h->Write([&] { return h->Walk(kRootId, path, true, &id); });
      }
      if (status != RegStatus::kOk) return status;
      *key = std::make_unique<SqliteKey>(std::move(hive), id);
      return RegStatus::kOk;
    }
  }

  // This process's connection to the hive in `file`, opened when there is none yet (or the
  // one there is serves a file that has since been replaced, or another process). Opening to
  // read makes no files: a hive never written has no keys but its root.
  RegStatus Connect(const std::string& file, mode_t folder_mode, bool create, bool read_only,
                    bool root_only, std::shared_ptr<Hive>* hive) {
    struct stat info {};
    const bool exists = ::stat(file.c_str(), &info) == 0;
    if (!exists) {
      if (errno != ENOENT) return StatusFromErrno(errno);
      if (!create && !root_only) return RegStatus::kNotFound;
      create = true;
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    const std::string name = read_only ? file + '\0' : file;  // the readers' own connection
    const auto cached = connections_.find(name);
    bool serves = false;
    if (exists && cached != connections_.end()) {
      const std::lock_guard<std::mutex> hive_lock(cached->second->Mutex());
      serves = cached->second->Serves(info);
    }
    if (serves) {
      if (!read_only && ::faccessat(AT_FDCWD, file.c_str(), W_OK, AT_EACCESS) != 0) {
        return StatusFromErrno(errno);
      }
      *hive = cached->second;
      return RegStatus::kOk;
    }
    if (read_only && !exists) return RegStatus::kNotFound;
    const RegStatus status = Hive::Open(file, folder_mode, create, read_only, hive);
    if (status == RegStatus::kOk) connections_[name] = *hive;
    return status;
  }

  std::optional<RegistryHives> hives_;
  std::mutex mutex_;  // guards connections_
  std::map<std::string, std::shared_ptr<Hive>> connections_;
};

}  // namespace

RegistryHives DefaultRegistryHives() {
  RegistryHives hives;
  const char* folder = std::getenv("COBALTMOTH_REGISTRY_DIR");
  if (folder != nullptr && folder[0] != '\0') {
    hives.current_user = std::string(folder) + "/user.db";
    hives.local_machine = std::string(folder) + "/machine.db";
    return hives;
  }
  const std::string config = posix::XdgBaseFolder("XDG_CONFIG_HOME", "/.config");
  if (!config.empty()) hives.current_user = config + "/cobaltmoth/user.db";
  hives.local_machine = "/etc/cobaltmoth/machine.db";
  return hives;
}

std::shared_ptr<Registry> MakeSqliteRegistry() {
  return std::make_shared<SqliteRegistry>(std::nullopt);
}

std::shared_ptr<Registry> MakeSqliteRegistry(RegistryHives hives) {
  return std::make_shared<SqliteRegistry>(std::move(hives));
}

}  // namespace cobaltmoth::platform::posix::settings
