#include "service/store.h"

#include <sodium.h>

#include "service/civil_time.h"

namespace quol::service {
namespace {

// Argon2id kept deliberately cheap: this is a local stand-in holding
// throwaway credentials, and tests sign in many times. The stored string
// names its own parameters, so stronger settings would still verify.
constexpr unsigned long long kHashOpsLimit = 2;
constexpr std::size_t kHashMemLimit = 1 << 20;

constexpr int kSchemaVersion = 1;

constexpr char kSchema[] = R"sql(
CREATE TABLE IF NOT EXISTS accounts (
  id TEXT PRIMARY KEY COLLATE NOCASE,
  email TEXT NOT NULL UNIQUE COLLATE NOCASE,
  password_hash TEXT NOT NULL,
  calendar_version INTEGER NOT NULL DEFAULT 1
);
CREATE TABLE IF NOT EXISTS tickets (
  ticket TEXT PRIMARY KEY,
  account_id TEXT NOT NULL COLLATE NOCASE REFERENCES accounts(id) ON DELETE CASCADE,
  expires_at INTEGER NOT NULL
);
-- Timed appointments keep UTC seconds; all-day ones keep their local day as
-- day number * 86400 (to 23:59:59), shifted per request by the caller's
-- time zone offset.
CREATE TABLE IF NOT EXISTS appointments (
  id INTEGER PRIMARY KEY,
  account_id TEXT NOT NULL COLLATE NOCASE REFERENCES accounts(id) ON DELETE CASCADE,
  subject TEXT NOT NULL,
  all_day INTEGER NOT NULL,
  routine INTEGER NOT NULL,
  start_at INTEGER NOT NULL,
  end_at INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS appointments_by_account ON appointments(account_id, start_at);
CREATE TABLE IF NOT EXISTS attendees (
  appointment_id INTEGER NOT NULL REFERENCES appointments(id) ON DELETE CASCADE,
  position INTEGER NOT NULL,
  name TEXT NOT NULL,
  color TEXT NOT NULL,
  cobrand INTEGER NOT NULL,
  PRIMARY KEY (appointment_id, position)
);
)sql";

std::string RandomHex(std::size_t bytes) {
  std::vector<unsigned char> raw(bytes);
  randombytes_buf(raw.data(), raw.size());
  std::string hex(bytes * 2 + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), raw.data(), raw.size());
  hex.pop_back();
  return hex;
}

// A random id shaped like a GUID: 8-4-4-4-12 lower-case hex digits.
std::string NewAccountId() {
  std::string hex = RandomHex(16);
  return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
         hex.substr(16, 4) + "-" + hex.substr(20);
}

std::optional<std::string> HashPassword(const std::string& password) {
  char out[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(out, password.data(), password.size(), kHashOpsLimit, kHashMemLimit) != 0)
    return std::nullopt;
  return std::string(out);
}

bool VerifyPassword(const std::string& hash, const std::string& password) {
  // crypto_pwhash_str_verify wants a NUL-terminated string of bounded size.
  if (hash.size() >= crypto_pwhash_STRBYTES) return false;
  char stored[crypto_pwhash_STRBYTES] = {};
  hash.copy(stored, hash.size());
  return crypto_pwhash_str_verify(stored, password.data(), password.size()) == 0;
}

// BEGIN IMMEDIATE on construction; rolls back unless Commit() succeeded.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db) {
    began_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  ~Transaction() {
    if (began_ && !committed_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  bool began() const { return began_; }
  bool Commit() {
    committed_ = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    return committed_;
  }

 private:
  sqlite3* db_;
  bool began_ = false;
  bool committed_ = false;
};

}  // namespace

Statement::Statement(sqlite3* db, std::string_view sql) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &raw, nullptr) == SQLITE_OK)
    stmt_.reset(raw);
  else
    sqlite3_finalize(raw);
}

Statement& Statement::Bind(int index, std::string_view text) {
  if (stmt_) {
    sqlite3_bind_text(stmt_.get(), index, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
  }
  return *this;
}

Statement& Statement::Bind(int index, std::int64_t value) {
  if (stmt_) sqlite3_bind_int64(stmt_.get(), index, value);
  return *this;
}

int Statement::Step() { return stmt_ ? sqlite3_step(stmt_.get()) : SQLITE_MISUSE; }

bool Statement::Run() {
  int rc;
  while ((rc = Step()) == SQLITE_ROW) {
  }
  return rc == SQLITE_DONE;
}

std::string Statement::Text(int column) const {
  const auto* text = sqlite3_column_text(stmt_.get(), column);
  if (!text) return {};
  return std::string(reinterpret_cast<const char*>(text),
                     static_cast<std::size_t>(sqlite3_column_bytes(stmt_.get(), column)));
}

std::int64_t Statement::Int(int column) const { return sqlite3_column_int64(stmt_.get(), column); }

std::unique_ptr<Store> Store::Open(const std::string& path, std::string* error) {
  auto fail = [&](const std::string& why) -> std::unique_ptr<Store> {
    if (error) *error = why;
    return nullptr;
  };
  if (sodium_init() < 0) return fail("cannot initialise libsodium");
  if (path.empty()) return fail("no database path given");

  sqlite3* raw = nullptr;
  int rc =
      sqlite3_open_v2(path.c_str(), &raw,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  SqliteHandle db(raw);
  if (rc != SQLITE_OK) {
    return fail("cannot open database " + path + ": " +
                (raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)));
  }
  sqlite3_busy_timeout(db.get(), 5000);
  sqlite3_exec(db.get(), "PRAGMA foreign_keys = ON", nullptr, nullptr, nullptr);

  Statement version(db.get(), "PRAGMA user_version");
  if (!version.ok() || version.Step() != SQLITE_ROW)
    return fail("cannot read database " + path + ": " + sqlite3_errmsg(db.get()));
  if (version.Int(0) > kSchemaVersion)
    return fail("database " + path + " was made by a newer quol-devservice");

  char* message = nullptr;
  if (sqlite3_exec(db.get(), kSchema, nullptr, nullptr, &message) != SQLITE_OK) {
    std::string why = message ? message : "unknown error";
    sqlite3_free(message);
    return fail("cannot create tables in " + path + ": " + why);
  }
  sqlite3_exec(db.get(), ("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str(),
               nullptr, nullptr, nullptr);
  return std::unique_ptr<Store>(new Store(std::move(db)));
}

std::string Store::UpsertAccount(const std::string& email, const std::string& password) {
  if (email.empty() || password.empty()) return {};
  auto hash = HashPassword(password);  // slow on purpose: outside the lock
  if (!hash) return {};

  std::lock_guard lock(mutex_);
  Statement update(db_.get(), "UPDATE accounts SET password_hash = ?1 WHERE email = ?2");
  if (!update.Bind(1, *hash).Bind(2, email).Run()) return {};
  if (sqlite3_changes(db_.get()) == 0) {
    Statement insert(db_.get(),
                     "INSERT INTO accounts (id, email, password_hash) VALUES (?1, ?2, ?3)");
    if (!insert.Bind(1, NewAccountId()).Bind(2, email).Bind(3, *hash).Run()) return {};
  }
  Statement select(db_.get(), "SELECT id FROM accounts WHERE email = ?1");
  if (select.Bind(1, email).Step() != SQLITE_ROW) return {};
  return select.Text(0);
}

std::optional<std::string> Store::CheckPassword(const std::string& email,
                                                const std::string& password) {
  std::string id, hash;
  {
    std::lock_guard lock(mutex_);
    Statement select(db_.get(), "SELECT id, password_hash FROM accounts WHERE email = ?1");
    if (select.Bind(1, email).Step() != SQLITE_ROW) return std::nullopt;
    id = select.Text(0);
    hash = select.Text(1);
  }
  if (!VerifyPassword(hash, password)) return std::nullopt;
  return id;
}

bool Store::AccountExists(const std::string& account_id) {
  std::lock_guard lock(mutex_);
  Statement select(db_.get(), "SELECT 1 FROM accounts WHERE id = ?1");
  return select.Bind(1, account_id).Step() == SQLITE_ROW;
}

std::string Store::IssueTicket(const std::string& account_id, std::int64_t now,
                               std::int64_t expires_at) {
  std::string ticket = RandomHex(24);
  std::lock_guard lock(mutex_);
  Statement purge(db_.get(), "DELETE FROM tickets WHERE expires_at <= ?1");
  purge.Bind(1, now).Run();
  Statement insert(db_.get(),
                   "INSERT INTO tickets (ticket, account_id, expires_at) VALUES (?1, ?2, ?3)");
  if (!insert.Bind(1, ticket).Bind(2, account_id).Bind(3, expires_at).Run()) return {};
  return ticket;
}

std::optional<SignedInAccount> Store::AccountOfTicket(const std::string& ticket, std::int64_t now) {
  std::lock_guard lock(mutex_);
  Statement select(db_.get(),
                   "SELECT accounts.id, accounts.email FROM tickets JOIN accounts ON "
                   "accounts.id = tickets.account_id WHERE tickets.ticket = ?1 AND "
                   "tickets.expires_at > ?2");
  if (select.Bind(1, ticket).Bind(2, now).Step() != SQLITE_ROW) return std::nullopt;
  return SignedInAccount{select.Text(0), select.Text(1)};
}

bool Store::RevokeTicket(const std::string& ticket) {
  std::lock_guard lock(mutex_);
  Statement remove(db_.get(), "DELETE FROM tickets WHERE ticket = ?1");
  return remove.Bind(1, ticket).Run();
}

bool Store::IsTicketLive(const std::string& ticket, const std::string& account_id,
                         std::int64_t now) {
  std::lock_guard lock(mutex_);
  Statement select(db_.get(),
                   "SELECT 1 FROM tickets WHERE ticket = ?1 AND account_id = ?2 AND "
                   "expires_at > ?3");
  return select.Bind(1, ticket).Bind(2, account_id).Bind(3, now).Step() == SQLITE_ROW;
}

bool Store::BumpVersionLocked(const std::string& account_id) {
  Statement bump(db_.get(),
                 "UPDATE accounts SET calendar_version = calendar_version + 1 WHERE id = ?1");
  return bump.Bind(1, account_id).Run() && sqlite3_changes(db_.get()) == 1;
}

bool Store::InsertAppointmentLocked(const std::string& account_id, const Appointment& appointment) {
  std::int64_t start = appointment.start_utc, end = appointment.end_utc;
  if (appointment.all_day) {
    auto date = ParseIsoDate(appointment.local_date);
    if (!date) return false;
    start = DaysFromCivil(*date) * kSecondsPerDay;
    end = start + kSecondsPerDay - 1;
  } else if (end < start) {
    return false;
  }
  Statement insert(db_.get(),
                   "INSERT INTO appointments (account_id, subject, all_day, routine, start_at, "
                   "end_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
  insert.Bind(1, account_id)
      .Bind(2, appointment.subject)
      .Bind(3, std::int64_t{appointment.all_day})
      .Bind(4, std::int64_t{appointment.routine})
      .Bind(5, start)
      .Bind(6, end);
  if (!insert.Run()) return false;
  const std::int64_t appointment_id = sqlite3_last_insert_rowid(db_.get());
  std::int64_t position = 0;
  for (const Attendee& attendee : appointment.attendees) {
    Statement add(db_.get(),
                  "INSERT INTO attendees (appointment_id, position, name, color, cobrand) "
                  "VALUES (?1, ?2, ?3, ?4, ?5)");
    add.Bind(1, appointment_id)
        .Bind(2, position++)
        .Bind(3, attendee.name)
        .Bind(4, attendee.color)
        .Bind(5, std::int64_t{attendee.cobrand});
    if (!add.Run()) return false;
  }
  return true;
}

bool Store::AddAppointment(const std::string& account_id, const Appointment& appointment) {
  std::lock_guard lock(mutex_);
  Transaction transaction(db_.get());
  if (!transaction.began()) return false;
  // The version bump doubles as the existence check of the account.
  if (!BumpVersionLocked(account_id)) return false;
  if (!InsertAppointmentLocked(account_id, appointment)) return false;
  return transaction.Commit();
}

bool Store::ReplaceAppointments(const std::string& account_id,
                                const std::vector<Appointment>& appointments) {
  std::lock_guard lock(mutex_);
  Transaction transaction(db_.get());
  if (!transaction.began()) return false;
  if (!BumpVersionLocked(account_id)) return false;
  Statement wipe(db_.get(), "DELETE FROM appointments WHERE account_id = ?1");
  if (!wipe.Bind(1, account_id).Run()) return false;
  for (const Appointment& appointment : appointments) {
    if (!InsertAppointmentLocked(account_id, appointment)) return false;
  }
  return transaction.Commit();
}

std::optional<CalendarPage> Store::Calendar(const std::string& account_id,
                                            std::int64_t window_start, std::int64_t window_end,
                                            int tz_offset_minutes) {
  std::lock_guard lock(mutex_);
  CalendarPage page;
  {
    Statement version(db_.get(), "SELECT calendar_version FROM accounts WHERE id = ?1");
    if (version.Bind(1, account_id).Step() != SQLITE_ROW) return std::nullopt;
    page.version = std::to_string(version.Int(0));
  }
  // ?2 shifts all-day rows onto the caller's local day. An appointment
  // overlaps when it starts before the window ends and either ends after the
  // window starts or is an instant inside it.
  Statement select(db_.get(), R"sql(
    SELECT id, subject, all_day, routine, start_at + all_day * ?2 AS s, end_at + all_day * ?2 AS e
    FROM appointments
    WHERE account_id = ?1 AND s < ?4 AND (e > ?3 OR s >= ?3)
    ORDER BY s, e, id)sql");
  select.Bind(1, account_id)
      .Bind(2, std::int64_t{tz_offset_minutes} * 60)
      .Bind(3, window_start)
      .Bind(4, window_end);
  std::vector<std::int64_t> ids;
  int rc;
  while ((rc = select.Step()) == SQLITE_ROW) {
    ids.push_back(select.Int(0));
    ServedAppointment served;
    served.subject = select.Text(1);
    served.all_day = select.Int(2) != 0;
    served.routine = select.Int(3) != 0;
    served.start_utc = select.Int(4);
    served.end_utc = select.Int(5);
    page.appointments.push_back(std::move(served));
  }
  if (rc != SQLITE_DONE) return std::nullopt;

  for (std::size_t i = 0; i < ids.size(); ++i) {
    Statement attendees(db_.get(),
                        "SELECT name, color, cobrand FROM attendees WHERE appointment_id = ?1 "
                        "ORDER BY position");
    attendees.Bind(1, ids[i]);
    while ((rc = attendees.Step()) == SQLITE_ROW) {
      page.appointments[i].attendees.push_back(
          Attendee{attendees.Text(0), attendees.Text(1), attendees.Int(2) != 0});
    }
    if (rc != SQLITE_DONE) return std::nullopt;
  }
  return page;
}

}  // namespace quol::service
