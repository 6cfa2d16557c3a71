// The demo family's week, placed around the current time in this process's
// local time zone so that the screen saver always has something to show:
// one appointment starting within the hour, two more later today, one all-day
// today, and two tomorrow (morning and afternoon).
#pragma once

#include <ctime>
#include <vector>

#include "service/devservice.h"

namespace quol::service {

std::vector<Appointment> DemoAppointments(std::time_t now);

}  // namespace quol::service
