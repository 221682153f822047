// Records of one status snapshot: what cee-status reads from the command database and the
// update result folder, kept as stored (time texts unconverted) until the report formats them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "UpdHealthStore.h"

namespace zorstatus {

// Result files are a few lines; a longer one is shown only up to here.
constexpr std::size_t kResultFileLimit = 64 * 1024;

// One command_info row, as the order list shows it.
struct OrderRow {
    long long id = 0;
    std::string command;                    // command_json
    std::optional<std::string> serverTime;  // server_time_str, the order's own text
    std::optional<long long> result;        // res_result; empty while no result is recorded
    std::string error;                      // res_error_str
    std::optional<std::string> recorded;    // create_time, UTC
};

// One package_list row of an update job.
struct PackageRow {
    long long seq = 0;
    std::string file;                    // package_filename
    std::string name;                    // package_name
    std::string path;                    // package_path
    std::optional<std::string> oldFile;  // old_package_filename, set by the updater
};

// One cancel_cid_list row of an update job.
struct CancelRow {
    long long seq = 0;
    std::string commandId;  // cancel_command_id
    bool isCancel = false;  // the id named a recorded update when the job was written
};

// One proc_info row: a run of an update job.
struct RunRow {
    long long id = 0;
    long long tryNumber = 0;               // exic_num: 0 for the first run, +1 per retry
    long long state = 0;                   // proc_status
    std::string due;                       // sched_proc_time, wall-clock of UTC+LOCALE_HOUR
    std::optional<std::string> started;    // r_start_time, UTC
    std::optional<std::string> ended;      // r_end_time, UTC
    std::optional<std::string> cancelled;  // cancel_time, UTC
    std::optional<std::string> created;    // create_time, UTC
    std::optional<std::string> result;     // r_result_str
    // An install attempt of the run that began and has no outcome (the updater was cut off):
    // its begin time (UTC) and whether it was a re-install of cancelled updates.
    std::optional<std::string> attemptBegun;
    bool attemptReinstall = false;
    // The health check after the run's installation, when the updater made one.
    std::optional<zorcommon::HealthRecord> health;
};

// A command_info row of an update order (upd_command_type 0, 1 or 2) with its rows.
struct UpdateJob {
    long long id = 0;
    std::string commandId;                 // upd_command_id
    long long type = 0;                    // upd_command_type
    std::string requestId;                 // upd_cmd_req_id
    std::optional<std::string> scheduled;  // upd_sched_exec_time, wall-clock of UTC+LOCALE_HOUR
    std::optional<std::string> recorded;   // create_time, UTC
    std::optional<long long> result;       // res_result of the order
    std::string error;                     // res_error_str of the order
    std::vector<PackageRow> packages;
    std::vector<CancelRow> cancels;
    std::vector<RunRow> runs;  // by exic_num, then id
};

// Everything read from the database inside one read transaction.
struct Snapshot {
    std::string database;
    long long orderTotal = 0;
    std::vector<OrderRow> orders;  // newest first
    std::vector<UpdateJob> jobs;   // newest first
};

// A result file of the updater in RESULT_DIR.
struct ResultFile {
    std::string name;
    std::string path;
    bool present = false;
    long long modified = 0;  // seconds since the epoch
    std::string content;
    bool truncated = false;  // content holds only the first kResultFileLimit bytes
};

}  // namespace zorstatus
