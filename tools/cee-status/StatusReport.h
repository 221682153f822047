// The two forms of the cee-status report: plain text for a terminal of 100 columns, and one
// JSON object for programs. Both show times in the device's local time zone (see StatusTime.h).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "StatusData.h"
#include "StatusOptions.h"

namespace zorstatus {

constexpr size_t kTextWidth = 100;

struct Report {
    const Snapshot& snapshot;
    const std::vector<ResultFile>& resultFiles;
    const StatusSettings& settings;
    long long now;  // when the snapshot was taken, seconds since the epoch
};

std::string renderText(const Report& report);
// Always valid JSON: text that is not UTF-8 is repaired with U+FFFD.
std::string renderJson(const Report& report);

// Words for proc_status, upd_command_type and res_result.
std::string runStateText(long long state);
std::string updateTypeText(long long type);
std::string orderResultText(const std::optional<long long>& result);

// The health check of a run in words: verification pending (checks passed in a row, time left
// in the window of the updater's latest start), verified, unverified (what the check before the
// installation saw), rolled back (the failed check), roll-back failed; empty when there is
// nothing to show (no check, or a run cancelled or failed before a verdict).
std::string healthText(const RunRow& run, long long now);

// Runs the updater may still add after the job's latest run fails: the retry limit less the
// highest execution number, not below 0. Empty when the latest run is neither scheduled nor
// failed (nothing more will happen to the job) or the job has no run.
std::optional<int> retriesLeft(const UpdateJob& job, int retryLimit);

// Text made safe for a terminal: tabs and line ends become blanks, other control characters and
// bytes that are not UTF-8 become "?".
std::string printable(const std::string& text);
// Lines of at most width characters, broken at a blank where one is near the end.
std::vector<std::string> wrapText(const std::string& text, size_t width);

}  // namespace zorstatus
