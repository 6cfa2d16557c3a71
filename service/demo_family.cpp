#include "service/demo_family.h"

#include <algorithm>

#include "service/civil_time.h"

namespace quol::service {
namespace {

constexpr std::time_t kMinute = 60;
constexpr std::time_t kHour = 60 * kMinute;

std::tm Local(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}

// Local wall-clock time on the day `day_shift` days after `base`'s day.
std::time_t LocalTimeOn(const std::tm& base, int day_shift, int hour, int minute) {
  std::tm tm{};
  tm.tm_year = base.tm_year;
  tm.tm_mon = base.tm_mon;
  tm.tm_mday = base.tm_mday + day_shift;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

Appointment Timed(std::string subject, std::time_t start, std::time_t end,
                  std::vector<Attendee> attendees, bool routine = false) {
  Appointment appointment;
  appointment.subject = std::move(subject);
  appointment.routine = routine;
  appointment.start_utc = start;
  appointment.end_utc = std::max(start, end);
  appointment.attendees = std::move(attendees);
  return appointment;
}

}  // namespace

std::vector<Appointment> DemoAppointments(std::time_t now) {
  const std::tm today = Local(now);
  const std::time_t day_end = LocalTimeOn(today, 1, 0, 0);  // local midnight tonight

  // The next five-minute mark, strictly after now: within the hour.
  const std::time_t soon = (now / (5 * kMinute) + 1) * (5 * kMinute);

  // Two more today: normally two and four hours after the first; late in the
  // evening squeezed into what is left of the day, still after now.
  std::time_t later1 = soon + 2 * kHour;
  std::time_t later2 = soon + 4 * kHour;
  if (later2 + kHour > day_end) {
    const std::time_t left = std::max<std::time_t>(day_end - now, 3);
    // On whole minutes when that still leaves them after now.
    const auto tidy = [&](std::time_t t) {
      return t / kMinute * kMinute > now ? t / kMinute * kMinute : t;
    };
    later1 = tidy(now + left / 3);
    later2 = tidy(now + 2 * left / 3);
  }
  const auto ends_today = [&](std::time_t start, std::time_t length) {
    return std::max(start, std::min(start + length, day_end - 1));
  };

  std::vector<Appointment> week;
  week.push_back(Timed("Soccer practice", soon, soon + 90 * kMinute,
                       {{"Mia", "3", false}, {"Dad", "#FF30A5BA", false}}));
  week.push_back(Timed("Piano lesson", later1, ends_today(later1, 45 * kMinute),
                       {{"Leo", "170,187,204", false}}));
  week.push_back(Timed("Family dinner", later2, ends_today(later2, kHour),
                       {{"Mia", "3", false},
                        {"Leo", "170,187,204", false},
                        {"Mom", "9", false},
                        {"Dad", "#FF30A5BA", false}},
                       /*routine=*/true));

  Appointment birthday;
  birthday.subject = "Grandma's birthday";
  birthday.all_day = true;
  birthday.local_date = FormatIsoDate({today.tm_year + 1900, today.tm_mon + 1, today.tm_mday});
  birthday.attendees = {{"Grandma", "14", false}};
  week.push_back(std::move(birthday));

  const std::time_t dentist = LocalTimeOn(today, 1, 9, 30);
  week.push_back(Timed("Dentist", dentist, dentist + 45 * kMinute,
                       {{"Mom", "9", false}, {"Leo", "170,187,204", false}}));
  const std::time_t club = LocalTimeOn(today, 1, 15, 0);
  week.push_back(Timed("Quol Kids Club", club, club + 90 * kMinute,
                       {{"Mia", "3", false}, {"Quol Kids Club", "0", true}}));
  return week;
}

}  // namespace quol::service
