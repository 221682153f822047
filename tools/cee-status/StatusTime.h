// Time texts of the command database, turned into the device's local time for display.
//
// The database holds two kinds of "YYYY-MM-DD HH:MM:SS" text: CURRENT_TIMESTAMP columns in UTC,
// and due times (sched_proc_time, upd_sched_exec_time) as wall-clock of UTC+LOCALE_HOUR. Both
// are turned into an instant and shown in the time zone of the process (TZ).
#pragma once

#include <optional>
#include <string>

namespace zorstatus {

// Seconds since the epoch of a text in exactly the form "YYYY-MM-DD HH:MM:SS", read as wall-clock
// time of UTC+offsetHours. False for any other text.
bool parseDbTime(const std::string& text, int offsetHours, long long& epoch);

// "YYYY-MM-DD HH:MM:SS" in local time.
std::string formatLocal(long long epoch);
// "YYYY-MM-DDTHH:MM:SS+hh:mm" in local time, with the local offset from UTC.
std::string formatLocalIso(long long epoch);
// The local offset from UTC at that instant, "+hh:mm".
std::string localUtcOffset(long long epoch);

// Display forms of a stored text: converted when it parses, the stored text unchanged when it
// does not (so nothing is hidden), empty for NULL.
std::string localText(const std::optional<std::string>& stored, int offsetHours);
std::optional<std::string> localIsoText(const std::optional<std::string>& stored, int offsetHours);

}  // namespace zorstatus
