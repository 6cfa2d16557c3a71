# sources of screensaver/appointments
target_sources(quol_saver_picture PRIVATE
  appointments/appointment.cpp
  appointments/appointment_reminders.cpp
  appointments/appointment_snapshot.cpp
  appointments/calendar_request.cpp
)
list(APPEND QUOL_SAVER_PICTURE_TEST_SOURCES
  appointments/appointment_colours_test.cpp
  appointments/appointment_reminders_test.cpp
  appointments/calendar_request_test.cpp
)
