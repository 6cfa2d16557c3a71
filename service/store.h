// The service's state in one SQLite file: accounts (salted password hashes),
// sign-in tickets and appointments with their attendees. Every call is
// serialised on one connection; all SQL is prepared with bound values.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/devservice.h"

namespace quol::service {

struct SqliteCloser {
  void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
using SqliteHandle = std::unique_ptr<sqlite3, SqliteCloser>;

// One prepared statement. Bind indexes start at 1, columns at 0.
class Statement {
 public:
  Statement(sqlite3* db, std::string_view sql);
  bool ok() const { return stmt_ != nullptr; }
  Statement& Bind(int index, std::string_view text);
  Statement& Bind(int index, std::int64_t value);
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step();
  // Steps to the end; true when the statement completed.
  bool Run();
  std::string Text(int column) const;
  std::int64_t Int(int column) const;

 private:
  struct Finalizer {
    void operator()(sqlite3_stmt* stmt) const noexcept { sqlite3_finalize(stmt); }
  };
  std::unique_ptr<sqlite3_stmt, Finalizer> stmt_;
};

// An appointment as one calendar answer places it.
struct ServedAppointment {
  std::string subject;
  bool all_day = false;
  bool routine = false;
  std::int64_t start_utc = 0;
  std::int64_t end_utc = 0;
  std::vector<Attendee> attendees;
};

// Whose a live ticket is.
struct SignedInAccount {
  std::string account_id;
  std::string email;
};

struct CalendarPage {
  std::string version;
  std::vector<ServedAppointment> appointments;
};

class Store {
 public:
  static std::unique_ptr<Store> Open(const std::string& path, std::string* error);

  // Adds the account or, for a known e-mail (any case), replaces its
  // password. The account id; empty on failure.
  std::string UpsertAccount(const std::string& email, const std::string& password);
  // The account id when the e-mail is known and the password matches.
  std::optional<std::string> CheckPassword(const std::string& email, const std::string& password);
  bool AccountExists(const std::string& account_id);

  // Issues a fresh random ticket for the account, valid until `expires_at`;
  // also forgets tickets that expired by `now`. Empty on failure.
  std::string IssueTicket(const std::string& account_id, std::int64_t now, std::int64_t expires_at);
  bool IsTicketLive(const std::string& ticket, const std::string& account_id, std::int64_t now);
  // The account a live ticket belongs to (the web application's session).
  std::optional<SignedInAccount> AccountOfTicket(const std::string& ticket, std::int64_t now);
  // Ends a ticket at once (signing out); true when the statement ran.
  bool RevokeTicket(const std::string& ticket);

  bool AddAppointment(const std::string& account_id, const Appointment& appointment);
  // Deletes all of the account's appointments and adds these, in one go.
  bool ReplaceAppointments(const std::string& account_id,
                           const std::vector<Appointment>& appointments);

  // The account's appointments overlapping [window_start, window_end) UTC,
  // by start. All-day ones are placed for a caller `tz_offset_minutes` behind
  // UTC. nullopt on a database failure.
  std::optional<CalendarPage> Calendar(const std::string& account_id, std::int64_t window_start,
                                       std::int64_t window_end, int tz_offset_minutes);

 private:
  explicit Store(SqliteHandle db) : db_(std::move(db)) {}
  bool InsertAppointmentLocked(const std::string& account_id, const Appointment& appointment);
  bool BumpVersionLocked(const std::string& account_id);

  std::mutex mutex_;
  SqliteHandle db_;
};

}  // namespace quol::service
