#include "platform/vault.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/status_code.h"
#include "platform/database_copy.h"
#include "platform/file_system.h"

namespace caskel {

namespace {

constexpr int64_t kFormatVersion = 1;
// Stored cost parameters are read from a file that anyone with write access could have
// altered: figures beyond these are refused rather than spent (memory exhaustion, a hang).
constexpr unsigned long long kMaxOpslimit = 16;
constexpr size_t kMaxMemlimit = crypto_pwhash_MEMLIMIT_SENSITIVE;
constexpr size_t kWrappedKeyBytes =
    crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES + VaultKey::kSecretKeyBytes;
// A sealed value opens to [flags][24-bit big-endian account length][account][value]. Items
// sealed before the flags byte existed had a 32-bit length there, whose first byte is 0.
constexpr size_t kAccountLengthBytes = 4;
constexpr size_t kMaxAccountBytes = 0xFFFFFF;
constexpr unsigned char kFlagsPresent = 0x80;
constexpr unsigned char kFlagStrict = 0x01;
// Keeps every length that reaches SQLite or libsodium well inside an int.
constexpr size_t kMaxPlaintextBytes = 512 * 1024 * 1024;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS meta("
    " id INTEGER PRIMARY KEY CHECK (id = 1),"
    " format INTEGER NOT NULL,"
    " public_key BLOB NOT NULL,"
    " wrapped_key BLOB NOT NULL,"
    " salt BLOB NOT NULL,"
    " opslimit INTEGER NOT NULL,"
    " memlimit INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS items("
    " service TEXT NOT NULL,"
    " account TEXT NOT NULL,"
    " sealed BLOB NOT NULL,"
    " generic TEXT,"
    " PRIMARY KEY (service, account)) WITHOUT ROWID;";

// A prepared statement, finalized on scope exit.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    ok_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) == SQLITE_OK;
  }
  // A statement prepared once for the connection (see Vault::preparedLocked): it is reset and
  // its bindings cleared after use instead of finalized.
  explicit Statement(sqlite3_stmt* prepared) : stmt_(prepared), ok_(prepared != nullptr), cached_(true) {}
  ~Statement() {
    if (!cached_) {
      sqlite3_finalize(stmt_);
    } else if (stmt_) {
      // Resetting also ends the statement's read transaction.
      sqlite3_reset(stmt_);
      sqlite3_clear_bindings(stmt_);
    }
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  bool ok() const { return ok_; }
  sqlite3_stmt* get() const { return stmt_; }
  void bindText(int index, std::string_view text) {
    ok_ = ok_ && sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                                   SQLITE_TRANSIENT) == SQLITE_OK;
  }
  void bindBlob(int index, const void* data, size_t size) {
    ok_ = ok_ && sqlite3_bind_blob(stmt_, index, data, static_cast<int>(size), SQLITE_TRANSIENT) == SQLITE_OK;
  }
  void bindInt(int index, int64_t value) {
    ok_ = ok_ && sqlite3_bind_int64(stmt_, index, value) == SQLITE_OK;
  }
  void bindNull(int index) { ok_ = ok_ && sqlite3_bind_null(stmt_, index) == SQLITE_OK; }
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int step() { return ok_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }
  std::string columnBytes(int index) const {
    const void* data = sqlite3_column_blob(stmt_, index);
    int size = sqlite3_column_bytes(stmt_, index);
    return data ? std::string(static_cast<const char*>(data), static_cast<size_t>(size)) : std::string();
  }
  bool columnIsNull(int index) const { return sqlite3_column_type(stmt_, index) == SQLITE_NULL; }
  int64_t columnInt(int index) const { return sqlite3_column_int64(stmt_, index); }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  bool ok_ = false;
  bool cached_ = false;
};

bool exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// One write transaction; rolled back unless committed, so a failed write leaves nothing behind.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db) { began_ = exec(db_, "BEGIN IMMEDIATE"); }
  ~Transaction() {
    if (began_ && !done_) exec(db_, "ROLLBACK");
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  bool began() const { return began_; }
  bool commit() {
    done_ = exec(db_, "COMMIT");
    return done_;
  }

 private:
  sqlite3* db_;
  bool began_ = false;
  bool done_ = false;
};

// Clear text that must not outlive its use: wiped on scope exit.
class WipedBytes {
 public:
  explicit WipedBytes(size_t size) : bytes_(size) {}
  ~WipedBytes() {
    if (!bytes_.empty()) sodium_memzero(bytes_.data(), bytes_.size());
  }
  WipedBytes(const WipedBytes&) = delete;
  WipedBytes& operator=(const WipedBytes&) = delete;
  unsigned char* data() { return bytes_.data(); }
  size_t size() const { return bytes_.size(); }

 private:
  std::vector<unsigned char> bytes_;
};

// Key material in libsodium guarded memory (wiped and released on scope exit).
class GuardedBytes {
 public:
  explicit GuardedBytes(size_t size) : data_(static_cast<unsigned char*>(sodium_malloc(size))) {}
  ~GuardedBytes() {
    if (data_) sodium_free(data_);
  }
  GuardedBytes(const GuardedBytes&) = delete;
  GuardedBytes& operator=(const GuardedBytes&) = delete;
  unsigned char* data() const { return data_; }
  explicit operator bool() const { return data_ != nullptr; }

 private:
  unsigned char* data_;
};

bool deriveKey(const SecretString& passphrase, const unsigned char* salt, unsigned long long opslimit,
               size_t memlimit, unsigned char* out) {
  return crypto_pwhash(out, crypto_secretbox_KEYBYTES, passphrase.data(), passphrase.size(), salt, opslimit,
                       memlimit, crypto_pwhash_ALG_ARGON2ID13) == 0;
}

// Draws a new salt and seals `secretKey` under the key derived from `passphrase` with it: what
// creation and a passphrase change both store. The derivation takes long and much memory, so
// callers run it outside their lock.
bool wrapSecretKey(const SecretString& passphrase, const unsigned char* secretKey,
                   const VaultOptions& options, unsigned char* salt, unsigned char* wrapped) {
  GuardedBytes derived(crypto_secretbox_KEYBYTES);
  if (!derived) return false;
  randombytes_buf(salt, crypto_pwhash_SALTBYTES);
  if (!deriveKey(passphrase, salt, options.opslimit, options.memlimit, derived.data())) return false;
  randombytes_buf(wrapped, crypto_secretbox_NONCEBYTES);
  crypto_secretbox_easy(wrapped + crypto_secretbox_NONCEBYTES, secretKey, VaultKey::kSecretKeyBytes, wrapped,
                        derived.data());
  return true;
}

void makePrivate(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 07777) != 0600) {
    ::chmod(path.c_str(), 0600);
  }
}

// Opens one sealed value and checks that it was sealed for `account`. Nothing on any failure.
std::optional<SealedValue> openSealed(const std::string& sealed, const std::string& account,
                                      const VaultKey& key) {
  if (sealed.size() < crypto_box_SEALBYTES + kAccountLengthBytes) return std::nullopt;
  WipedBytes plain(sealed.size() - crypto_box_SEALBYTES);
  if (crypto_box_seal_open(plain.data(), reinterpret_cast<const unsigned char*>(sealed.data()), sealed.size(),
                           key.publicKey(), key.secretKey()) != 0) {
    return std::nullopt;
  }
  const unsigned char* p = plain.data();
  const unsigned char flags = p[0];
  // Unknown flags mean a format this build cannot honour: refused rather than half-obeyed.
  if (flags != 0 && flags != kFlagsPresent && flags != (kFlagsPresent | kFlagStrict)) return std::nullopt;
  size_t accountLength = (size_t{p[1]} << 16) | (size_t{p[2]} << 8) | size_t{p[3]};
  if (accountLength > plain.size() - kAccountLengthBytes) return std::nullopt;
  std::string_view sealedAccount(reinterpret_cast<const char*>(p + kAccountLengthBytes), accountLength);
  // A value copied into another row must not be served under that row's name.
  if (sealedAccount != account) return std::nullopt;
  size_t offset = kAccountLengthBytes + accountLength;
  SealedValue out;
  out.value =
      SecretString(std::string_view(reinterpret_cast<const char*>(p + offset), plain.size() - offset));
  if (flags & kFlagsPresent) out.strict = (flags & kFlagStrict) != 0;
  return out;
}

}  // namespace

struct Vault::KeyRecord {
  int64_t format = 0;
  std::string publicKey;
  std::string wrappedKey;
  std::string salt;
  int64_t opslimit = 0;
  int64_t memlimit = 0;

  bool valid() const {
    return format == kFormatVersion && publicKey.size() == VaultKey::kPublicKeyBytes &&
           wrappedKey.size() == kWrappedKeyBytes && salt.size() == crypto_pwhash_SALTBYTES &&
           opslimit >= static_cast<int64_t>(crypto_pwhash_OPSLIMIT_MIN) &&
           opslimit <= static_cast<int64_t>(kMaxOpslimit) &&
           memlimit >= static_cast<int64_t>(crypto_pwhash_MEMLIMIT_MIN) &&
           memlimit <= static_cast<int64_t>(kMaxMemlimit);
  }
};

Vault::Vault(std::string path, VaultOptions options) : path_(std::move(path)), options_(options) {}

Vault::~Vault() {
  std::lock_guard lock(mutex_);
  closeLocked();
}

std::string Vault::defaultPath() {
  return fs::dataDirectory() + "/vault.db";
}

void Vault::closeLocked() {
  for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
  statements_.clear();
  if (db_) sqlite3_close_v2(db_);
  db_ = nullptr;
}

sqlite3_stmt* Vault::preparedLocked(const char* sql) {
  if (auto it = statements_.find(sql); it != statements_.end()) return it->second;
  sqlite3_stmt* stmt = nullptr;
  // Preparing costs more than the one-row lookups that run on every request.
  if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    return nullptr;
  }
  statements_.emplace(sql, stmt);
  return stmt;
}

Vault::OpenResult Vault::ensureOpenLocked(bool createFile) {
  if (db_) return OpenResult::open;
  if (sodium_init() < 0) return OpenResult::failed;
  struct stat st {};
  if (::lstat(path_.c_str(), &st) != 0) {
    if (errno != ENOENT) return OpenResult::failed;
    if (!createFile || options_.readOnly) return OpenResult::absent;
    if (!fs::ensurePrivateDirectory(fs::parentOf(path_))) return OpenResult::failed;
    // Created here rather than by SQLite so that it is 0600 from its first instant, whatever
    // the umask; SQLite gives the -wal and -shm files the database file's mode.
    int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) return OpenResult::failed;
    if (fd >= 0) {
      bool tightened = ::fchmod(fd, 0600) == 0;
      ::close(fd);
      if (!tightened) return OpenResult::failed;
    }
  } else if (!S_ISREG(st.st_mode)) {
    return OpenResult::failed;
  } else if (!options_.readOnly) {
    makePrivate(path_);
  }
  return openDatabaseLocked() ? OpenResult::open : OpenResult::failed;
}

bool Vault::openDatabaseLocked() {
  int flags = (options_.readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_NOMUTEX |
              SQLITE_OPEN_NOFOLLOW;
  if (sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    closeLocked();
    return false;
  }
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, options_.busyTimeoutMs);
  if (!options_.readOnly) {
    // WAL: readers never block the writer; secure_delete overwrites freed pages, so a deleted
    // sealed value or an old wrapped key does not linger in the file.
    bool ok = exec(db_, "PRAGMA journal_mode=WAL") && exec(db_, "PRAGMA synchronous=FULL") &&
              exec(db_, "PRAGMA secure_delete=ON") && exec(db_, kSchema);
    if (!ok) {
      closeLocked();
      return false;
    }
    tightenSideFiles();
  }
  return true;
}

void Vault::tightenSideFiles() {
  makePrivate(path_ + "-wal");
  makePrivate(path_ + "-shm");
}

int32_t Vault::readKeyRecordLocked(std::optional<KeyRecord>& out) {
  return readKeyRecord(db_, out);
}

int32_t Vault::readKeyRecord(sqlite3* db, std::optional<KeyRecord>& out) {
  out.reset();
  Statement stmt(db,
                 "SELECT format, public_key, wrapped_key, salt, opslimit, memlimit FROM meta WHERE id = 1");
  int rc = stmt.step();
  if (rc == SQLITE_DONE) return status::kItemNotFound;
  if (rc != SQLITE_ROW) return status::kIoError;
  KeyRecord record;
  record.format = stmt.columnInt(0);
  record.publicKey = stmt.columnBytes(1);
  record.wrappedKey = stmt.columnBytes(2);
  record.salt = stmt.columnBytes(3);
  record.opslimit = stmt.columnInt(4);
  record.memlimit = stmt.columnInt(5);
  out = std::move(record);
  return status::kSuccess;
}

int32_t Vault::publicKeyLocked(unsigned char* publicKey) {
  std::optional<KeyRecord> record;
  if (int32_t s = readKeyRecordLocked(record); s != status::kSuccess) return s;
  if (!record->valid()) return status::kKeyMaterialUnusable;
  if (pinned_ && sodium_memcmp(pinnedPublicKey_, record->publicKey.data(), VaultKey::kPublicKeyBytes) != 0) {
    return status::kKeyMaterialUnusable;
  }
  std::memcpy(publicKey, record->publicKey.data(), VaultKey::kPublicKeyBytes);
  return status::kSuccess;
}

void Vault::pinPublicKey(const unsigned char* publicKey) {
  std::lock_guard lock(mutex_);
  std::memcpy(pinnedPublicKey_, publicKey, VaultKey::kPublicKeyBytes);
  pinned_ = true;
}

bool Vault::exists() {
  std::lock_guard lock(mutex_);
  if (ensureOpenLocked(false) != OpenResult::open) return false;
  std::optional<KeyRecord> record;
  return readKeyRecordLocked(record) == status::kSuccess;
}

bool Vault::canCreate() {
  if (options_.readOnly) return false;
  struct stat st {};
  if (::lstat(path_.c_str(), &st) == 0) {
    // A file that is there but does not read as a vault without key material (damaged, cut
    // short, not a database) may still be recovered: it is never offered for a new vault.
    std::lock_guard lock(mutex_);
    if (ensureOpenLocked(false) != OpenResult::open) return false;
    std::optional<KeyRecord> record;
    if (readKeyRecordLocked(record) != status::kItemNotFound) return false;
  }
  // Writable file, or else the nearest existing ancestor lets us make the rest.
  std::string probe = path_;
  while (::access(probe.c_str(), F_OK) != 0) {
    std::string parent = fs::parentOf(probe);
    if (parent == probe) return false;
    probe = parent;
  }
  return ::access(probe.c_str(), probe == path_ ? W_OK : (W_OK | X_OK)) == 0;
}

VaultKeyring::Status Vault::create(const SecretString& passphrase, std::shared_ptr<const VaultKey>& key) {
  key.reset();
  if (options_.opslimit < crypto_pwhash_OPSLIMIT_MIN || options_.opslimit > kMaxOpslimit ||
      options_.memlimit < crypto_pwhash_MEMLIMIT_MIN || options_.memlimit > kMaxMemlimit) {
    return Status::ioError;
  }
  {
    std::lock_guard lock(mutex_);
    if (ensureOpenLocked(true) != OpenResult::open) return Status::ioError;
    std::optional<KeyRecord> record;
    // Never replaces existing key material: that would orphan every stored value.
    int32_t s = readKeyRecordLocked(record);
    if (s == status::kSuccess) return Status::damaged;
    if (s != status::kItemNotFound) return Status::ioError;
  }

  unsigned char publicKey[VaultKey::kPublicKeyBytes];
  GuardedBytes secretKey(VaultKey::kSecretKeyBytes);
  if (!secretKey) return Status::ioError;
  crypto_box_keypair(publicKey, secretKey.data());
  unsigned char salt[crypto_pwhash_SALTBYTES];
  unsigned char wrapped[kWrappedKeyBytes];
  if (!wrapSecretKey(passphrase, secretKey.data(), options_, salt, wrapped)) return Status::ioError;

  {
    std::lock_guard lock(mutex_);
    if (ensureOpenLocked(true) != OpenResult::open) return Status::ioError;
    Transaction tx(db_);
    if (!tx.began()) return Status::ioError;
    // The id = 1 key makes a concurrent second creation fail here instead of overwriting.
    Statement stmt(db_,
                   "INSERT INTO meta(id, format, public_key, wrapped_key, salt, opslimit, memlimit)"
                   " VALUES(1, ?, ?, ?, ?, ?, ?)");
    stmt.bindInt(1, kFormatVersion);
    stmt.bindBlob(2, publicKey, sizeof publicKey);
    stmt.bindBlob(3, wrapped, sizeof wrapped);
    stmt.bindBlob(4, salt, sizeof salt);
    stmt.bindInt(5, static_cast<int64_t>(options_.opslimit));
    stmt.bindInt(6, static_cast<int64_t>(options_.memlimit));
    int rc = stmt.step();
    if (rc == SQLITE_CONSTRAINT_PRIMARYKEY) return Status::damaged;  // created meanwhile
    if (rc != SQLITE_DONE || !tx.commit()) return Status::ioError;
    tightenSideFiles();
  }
  pinPublicKey(publicKey);
  key = VaultKey::create(secretKey.data(), publicKey);
  return key ? Status::ok : Status::ioError;
}

VaultKeyring::Status Vault::unlock(const SecretString& passphrase, std::shared_ptr<const VaultKey>& key) {
  key.reset();
  std::optional<KeyRecord> record;
  {
    std::lock_guard lock(mutex_);
    OpenResult opened = ensureOpenLocked(false);
    if (opened == OpenResult::absent) return Status::missing;
    if (opened == OpenResult::failed) return Status::ioError;
    int32_t s = readKeyRecordLocked(record);
    if (s == status::kItemNotFound) return Status::missing;
    if (s != status::kSuccess) return Status::ioError;
  }
  if (!record->valid()) return Status::damaged;

  GuardedBytes derived(crypto_secretbox_KEYBYTES);
  GuardedBytes secretKey(VaultKey::kSecretKeyBytes);
  if (!derived || !secretKey) return Status::ioError;
  const auto* salt = reinterpret_cast<const unsigned char*>(record->salt.data());
  if (!deriveKey(passphrase, salt, static_cast<unsigned long long>(record->opslimit),
                 static_cast<size_t>(record->memlimit), derived.data())) {
    return Status::ioError;
  }
  const auto* wrapped = reinterpret_cast<const unsigned char*>(record->wrappedKey.data());
  if (crypto_secretbox_open_easy(secretKey.data(), wrapped + crypto_secretbox_NONCEBYTES,
                                 kWrappedKeyBytes - crypto_secretbox_NONCEBYTES, wrapped,
                                 derived.data()) != 0) {
    return Status::wrongPassphrase;
  }
  // The right passphrase must yield the secret half of the stored public key; anything else
  // means the file was tampered with, and values sealed to that public key would not open.
  unsigned char computed[VaultKey::kPublicKeyBytes];
  if (crypto_scalarmult_base(computed, secretKey.data()) != 0 ||
      sodium_memcmp(computed, record->publicKey.data(), VaultKey::kPublicKeyBytes) != 0) {
    return Status::damaged;
  }
  pinPublicKey(computed);
  key = VaultKey::create(secretKey.data(), computed);
  return key ? Status::ok : Status::ioError;
}

VaultKeyring::Status Vault::changePassphrase(const VaultKey& key, const SecretString& newPassphrase) {
  if (options_.opslimit < crypto_pwhash_OPSLIMIT_MIN || options_.opslimit > kMaxOpslimit ||
      options_.memlimit < crypto_pwhash_MEMLIMIT_MIN || options_.memlimit > kMaxMemlimit) {
    return Status::ioError;
  }
  unsigned char salt[crypto_pwhash_SALTBYTES];
  unsigned char wrapped[kWrappedKeyBytes];
  if (!wrapSecretKey(newPassphrase, key.secretKey(), options_, salt, wrapped)) return Status::ioError;

  std::lock_guard lock(mutex_);
  OpenResult opened = ensureOpenLocked(false);
  if (opened == OpenResult::absent) return Status::missing;
  if (opened == OpenResult::failed) return Status::ioError;
  Transaction tx(db_);
  if (!tx.began()) return Status::ioError;
  // Read inside the transaction: the key pair wrapped anew must be the one stored now.
  std::optional<KeyRecord> record;
  int32_t s = readKeyRecordLocked(record);
  if (s == status::kItemNotFound) return Status::missing;
  if (s != status::kSuccess) return Status::ioError;
  if (!record->valid() ||
      sodium_memcmp(record->publicKey.data(), key.publicKey(), VaultKey::kPublicKeyBytes) != 0) {
    return Status::damaged;
  }
  // One row, one statement: the old wrapping and the new never both half exist.
  Statement stmt(db_, "UPDATE meta SET wrapped_key = ?, salt = ?, opslimit = ?, memlimit = ? WHERE id = 1");
  stmt.bindBlob(1, wrapped, sizeof wrapped);
  stmt.bindBlob(2, salt, sizeof salt);
  stmt.bindInt(3, static_cast<int64_t>(options_.opslimit));
  stmt.bindInt(4, static_cast<int64_t>(options_.memlimit));
  if (stmt.step() != SQLITE_DONE || sqlite3_changes(db_) != 1) return Status::ioError;
  if (options_.beforePassphraseCommit) options_.beforePassphraseCommit();
  if (!tx.commit()) return Status::ioError;
  tightenSideFiles();
  return Status::ok;
}

namespace {
Vault::CopyStatus copyStatusOf(database_copy::Result result) {
  using R = database_copy::Result;
  using S = Vault::CopyStatus;
  switch (result) {
    case R::ok:
      return S::ok;
    case R::exists:
      return S::exists;
    case R::symlink:
      return S::symlink;
    case R::notRegular:
      return S::notRegular;
    case R::notWritable:
      return S::notWritable;
    case R::missing:
      return S::missing;
    case R::notDatabase:
      return S::notVault;
    case R::ioError:
      break;
  }
  return S::ioError;
}
}  // namespace

Vault::CopyStatus Vault::backupTo(const std::string& target, bool replace) {
  if (database_copy::Result r = database_copy::checkTarget(target, replace); r != database_copy::Result::ok) {
    return copyStatusOf(r);
  }
  std::string temp = database_copy::makePrivateSibling(target);
  if (temp.empty()) return CopyStatus::notWritable;
  database_copy::Result copied;
  {
    std::lock_guard lock(mutex_);
    std::optional<KeyRecord> record;
    if (ensureOpenLocked(false) != OpenResult::open || readKeyRecordLocked(record) != status::kSuccess) {
      ::unlink(temp.c_str());
      return CopyStatus::noVault;
    }
    copied = database_copy::copy(db_, temp);
  }
  if (copied != database_copy::Result::ok) {
    ::unlink(temp.c_str());
    return CopyStatus::ioError;
  }
  return copyStatusOf(database_copy::publish(temp, target, replace));
}

Vault::CopyStatus Vault::stageRestore(const std::string& source, std::string& staged) {
  staged.clear();
  if (!fs::ensurePrivateDirectory(fs::parentOf(path_))) return CopyStatus::ioError;
  std::string temp = database_copy::makePrivateSibling(path_ + ".restore");
  if (temp.empty()) return CopyStatus::ioError;
  database_copy::Result copied = database_copy::copyFile(source, temp);
  if (copied != database_copy::Result::ok) {
    ::unlink(temp.c_str());
    return copyStatusOf(copied);
  }
  // A vault is a database whose key record reads as one this build can open.
  bool vault = false;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(temp.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW, nullptr) == SQLITE_OK) {
    Statement check(db, "PRAGMA quick_check");
    bool sound = check.step() == SQLITE_ROW && check.columnBytes(0) == "ok";
    Statement items(db, "SELECT service, account, sealed, generic FROM items LIMIT 0");
    std::optional<KeyRecord> record;
    vault = sound && items.ok() && readKeyRecord(db, record) == status::kSuccess && record->valid();
  }
  sqlite3_close_v2(db);
  if (!vault) {
    ::unlink(temp.c_str());
    return CopyStatus::notVault;
  }
  staged = temp;
  return CopyStatus::ok;
}

VaultKeyring::Status Vault::unlockStaged(const std::string& staged, const SecretString& passphrase) {
  // A vault of its own, so that this one's connection and pinned key stay as they are.
  VaultOptions options;
  options.createOnFirstSave = false;
  Vault candidate(staged, options);
  std::shared_ptr<const VaultKey> key;
  return candidate.unlock(passphrase, key);
}

Vault::CopyStatus Vault::installRestore(const std::string& staged) {
  std::lock_guard lock(mutex_);
  const std::string kept = path_ + ".bak";
  OpenResult opened = ensureOpenLocked(false);
  if (opened == OpenResult::open) {
    // The current vault, as it is now, becomes the .bak: copied, so that vault.db is never
    // missing, not even for a moment.
    std::string temp = database_copy::makePrivateSibling(kept);
    if (temp.empty()) return CopyStatus::ioError;
    if (database_copy::copy(db_, temp) != database_copy::Result::ok ||
        database_copy::publish(temp, kept, true) != database_copy::Result::ok) {
      ::unlink(temp.c_str());
      return CopyStatus::ioError;
    }
    exec(db_, "PRAGMA wal_checkpoint(TRUNCATE)");
    closeLocked();
  } else if (opened == OpenResult::failed) {
    // A file SQLite cannot open is kept as it is, for whoever wants to look at it.
    if (::rename(path_.c_str(), kept.c_str()) != 0) return CopyStatus::ioError;
    ::chmod(kept.c_str(), 0600);
  }
  // Side files of the old database would be replayed into the new one.
  ::unlink((path_ + "-wal").c_str());
  ::unlink((path_ + "-shm").c_str());
  if (::rename(staged.c_str(), path_.c_str()) != 0) return CopyStatus::ioError;
  pinned_ = false;
  return CopyStatus::ok;
}

int Vault::itemCount() {
  std::lock_guard lock(mutex_);
  if (ensureOpenLocked(false) != OpenResult::open) return 0;
  Statement stmt(db_, "SELECT count(*) FROM items");
  return stmt.step() == SQLITE_ROW ? static_cast<int>(stmt.columnInt(0)) : 0;
}

int32_t Vault::ensureKeyForWrite(const std::string& account) {
  {
    std::lock_guard lock(mutex_);
    OpenResult opened = ensureOpenLocked(true);
    if (opened != OpenResult::open) return status::kIoError;
    std::optional<KeyRecord> record;
    int32_t s = readKeyRecordLocked(record);
    if (s == status::kSuccess) return record->valid() ? status::kSuccess : status::kKeyMaterialUnusable;
    if (s != status::kItemNotFound) return s;
  }
  if (!options_.createOnFirstSave) return status::kKeyMaterialUnusable;
  // No key pair yet: the authenticator's prompt creates the vault under a new passphrase.
  // The lock is not held here, because that prompt calls back into create().
  AuthContext context;
  return statusForOutcome(context.evaluate("Store \"" + account + "\""));
}

int32_t Vault::put(const std::string& service, const std::string& account, std::string_view value,
                   const std::optional<std::string>& generic, bool strict) {
  if (account.size() > kMaxAccountBytes || account.size() + value.size() > kMaxPlaintextBytes)
    return status::kIoError;
  if (int32_t s = ensureKeyForWrite(account); s != status::kSuccess) return s;

  WipedBytes plain(kAccountLengthBytes + account.size() + value.size());
  unsigned char* p = plain.data();
  uint32_t accountLength = static_cast<uint32_t>(account.size());
  p[0] = static_cast<unsigned char>(kFlagsPresent | (strict ? kFlagStrict : 0));
  p[1] = static_cast<unsigned char>(accountLength >> 16);
  p[2] = static_cast<unsigned char>(accountLength >> 8);
  p[3] = static_cast<unsigned char>(accountLength);
  std::memcpy(p + kAccountLengthBytes, account.data(), account.size());
  if (!value.empty()) std::memcpy(p + kAccountLengthBytes + account.size(), value.data(), value.size());
  std::vector<unsigned char> sealed(plain.size() + crypto_box_SEALBYTES);

  std::lock_guard lock(mutex_);
  if (ensureOpenLocked(true) != OpenResult::open) return status::kIoError;
  Transaction tx(db_);
  if (!tx.began()) return status::kIoError;
  // Sealed to the key read inside the transaction, so a value never goes to a stale key.
  unsigned char publicKey[VaultKey::kPublicKeyBytes];
  if (int32_t s = publicKeyLocked(publicKey); s != status::kSuccess) {
    return s == status::kItemNotFound ? status::kKeyMaterialUnusable : s;
  }
  if (crypto_box_seal(sealed.data(), plain.data(), plain.size(), publicKey) != 0) {
    return status::kKeyMaterialUnusable;
  }
  // One statement replaces value and metadata together: there is never a moment without the
  // item, and a failure rolls back to the old one.
  Statement stmt(
      db_,
      "INSERT INTO items(service, account, sealed, generic) VALUES(?, ?, ?, ?)"
      " ON CONFLICT(service, account) DO UPDATE SET sealed = excluded.sealed, generic = excluded.generic");
  stmt.bindText(1, service);
  stmt.bindText(2, account);
  stmt.bindBlob(3, sealed.data(), sealed.size());
  if (generic) {
    stmt.bindText(4, *generic);
  } else {
    stmt.bindNull(4);
  }
  if (stmt.step() != SQLITE_DONE || !tx.commit()) return status::kIoError;
  tightenSideFiles();
  return status::kSuccess;
}

int32_t Vault::copyAttributes(const std::string& service, const std::string& account, CredentialItem& out) {
  std::lock_guard lock(mutex_);
  OpenResult opened = ensureOpenLocked(false);
  if (opened != OpenResult::open)
    return opened == OpenResult::absent ? status::kItemNotFound : status::kIoError;
  Statement stmt(preparedLocked("SELECT generic FROM items WHERE service = ? AND account = ?"));
  stmt.bindText(1, service);
  stmt.bindText(2, account);
  int rc = stmt.step();
  if (rc == SQLITE_DONE) return status::kItemNotFound;
  if (rc != SQLITE_ROW) return status::kIoError;
  out.account = account;
  out.generic = stmt.columnIsNull(0) ? std::nullopt : std::optional<std::string>(stmt.columnBytes(0));
  return status::kSuccess;
}

int32_t Vault::copyAllAttributes(const std::string& service, std::vector<CredentialItem>& out) {
  out.clear();
  std::lock_guard lock(mutex_);
  OpenResult opened = ensureOpenLocked(false);
  if (opened != OpenResult::open)
    return opened == OpenResult::absent ? status::kItemNotFound : status::kIoError;
  // The column's BINARY collation orders by bytes.
  Statement stmt(preparedLocked("SELECT account, generic FROM items WHERE service = ? ORDER BY account"));
  stmt.bindText(1, service);
  int rc;
  while ((rc = stmt.step()) == SQLITE_ROW) {
    out.push_back(CredentialItem{stmt.columnBytes(0), stmt.columnIsNull(1)
                                                          ? std::nullopt
                                                          : std::optional<std::string>(stmt.columnBytes(1))});
  }
  if (rc != SQLITE_DONE) {
    out.clear();
    return status::kIoError;
  }
  return out.empty() ? status::kItemNotFound : status::kSuccess;
}

int32_t Vault::ensureEvaluated(const std::string& reason, AuthContext& context) {
  if (context.isEvaluated()) return status::kSuccess;
  if (context.interactionNotAllowed()) return status::kInteractionNotAllowed;
  return statusForOutcome(context.evaluate(reason));
}

int32_t Vault::checkKey(const AuthContext& context) {
  // Caller holds mutex_. A key unlocked from another vault would open nothing here.
  unsigned char publicKey[VaultKey::kPublicKeyBytes];
  int32_t s = publicKeyLocked(publicKey);
  if (s == status::kIoError) return s;
  if (s != status::kSuccess || !context.key() ||
      sodium_memcmp(publicKey, context.key()->publicKey(), VaultKey::kPublicKeyBytes) != 0) {
    return status::kKeyMaterialUnusable;
  }
  return status::kSuccess;
}

int32_t Vault::copyValue(const std::string& service, const std::string& account, AuthContext& context,
                         SealedValue& out) {
  // A missing item is reported as such without asking for the passphrase first.
  {
    CredentialItem item;
    if (int32_t s = copyAttributes(service, account, item); s != status::kSuccess) return s;
  }
  if (int32_t s = ensureEvaluated("Read \"" + account + "\"", context); s != status::kSuccess) return s;

  std::string sealed;
  {
    std::lock_guard lock(mutex_);
    if (ensureOpenLocked(false) != OpenResult::open) return status::kIoError;
    if (int32_t s = checkKey(context); s != status::kSuccess) return s;
    // Read again: the item may have changed or gone while the prompt was on screen.
    Statement stmt(preparedLocked("SELECT sealed FROM items WHERE service = ? AND account = ?"));
    stmt.bindText(1, service);
    stmt.bindText(2, account);
    int rc = stmt.step();
    if (rc == SQLITE_DONE) return status::kItemNotFound;
    if (rc != SQLITE_ROW) return status::kIoError;
    sealed = stmt.columnBytes(0);
  }
  std::optional<SealedValue> value = openSealed(sealed, account, *context.key());
  if (!value) return status::kDecode;
  out = std::move(*value);
  return status::kSuccess;
}

int32_t Vault::copyAllValues(const std::string& service, std::string_view prefix, AuthContext& context,
                             std::map<std::string, SealedValue>& out) {
  out.clear();
  struct Row {
    std::string account;
    std::string sealed;
  };
  // Selects by plain byte prefix (no LIKE, whose wildcards "_" and "%" occur in key paths).
  auto fetch = [&](bool withValues, std::vector<Row>& rows) -> int32_t {
    std::lock_guard lock(mutex_);
    OpenResult opened = ensureOpenLocked(false);
    if (opened == OpenResult::absent) return status::kSuccess;
    if (opened == OpenResult::failed) return status::kIoError;
    if (withValues) {
      if (int32_t s = checkKey(context); s != status::kSuccess) return s;
    }
    Statement stmt(preparedLocked(withValues ? "SELECT account, sealed FROM items WHERE service = ?"
                                             : "SELECT account FROM items WHERE service = ?"));
    stmt.bindText(1, service);
    int rc;
    while ((rc = stmt.step()) == SQLITE_ROW) {
      std::string account = stmt.columnBytes(0);
      if (account.compare(0, prefix.size(), prefix) != 0) continue;
      rows.push_back(Row{std::move(account), withValues ? stmt.columnBytes(1) : std::string()});
    }
    return rc == SQLITE_DONE ? status::kSuccess : status::kIoError;
  };

  std::vector<Row> rows;
  if (!context.isEvaluated()) {
    // Nothing to open means nothing to ask the passphrase for.
    if (int32_t s = fetch(false, rows); s != status::kSuccess) return s;
    if (rows.empty()) return status::kSuccess;
    std::string reason =
        prefix.empty() ? std::string("Read all secrets") : "Read \"" + std::string(prefix) + "\"";
    if (int32_t s = ensureEvaluated(reason, context); s != status::kSuccess) return s;
    rows.clear();
  }
  if (int32_t s = fetch(true, rows); s != status::kSuccess) return s;
  // Opened outside the lock: other threads' saves and listings go on meanwhile.
  for (const Row& row : rows) {
    if (std::optional<SealedValue> value = openSealed(row.sealed, row.account, *context.key())) {
      out.emplace(row.account, std::move(*value));
    }
  }
  return status::kSuccess;
}

int32_t Vault::remove(const std::string& service, const std::string& account) {
  std::lock_guard lock(mutex_);
  OpenResult opened = ensureOpenLocked(false);
  if (opened != OpenResult::open)
    return opened == OpenResult::absent ? status::kItemNotFound : status::kIoError;
  Transaction tx(db_);
  if (!tx.began()) return status::kIoError;
  Statement stmt(preparedLocked("DELETE FROM items WHERE service = ? AND account = ?"));
  stmt.bindText(1, service);
  stmt.bindText(2, account);
  if (stmt.step() != SQLITE_DONE) return status::kIoError;
  if (sqlite3_changes(db_) == 0) return status::kItemNotFound;
  if (!tx.commit()) return status::kIoError;
  return status::kSuccess;
}

}  // namespace caskel
