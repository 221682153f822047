// cee-updater's core: start-up (initMain), the alive check, one update run and shutdown
// (endMain).
//
// Single-threaded. Process-wide state: the settings singleton, the connection manager (both
// created by initMain and deleted by endMain) and the number of the last signal received.
// SIGINT and SIGTERM do not end the program: the handler only records the number, and the
// main thread writes the "receive signal" line at its next safe point (noteSignal), so a run
// always goes to its end.
#pragma once

#include <string>

#include "communication/ConnectionManagerUpd.h"
#include "data/SettingData.h"
#include "db/DbUpdController.h"

namespace zorupd {

// Exit statuses of cee-updater.
constexpr int kExitOk = 0;
constexpr int kExitNoDatabase = 1;  // also: the log file cannot be created
constexpr int kExitDbOpenFailed = 2;
constexpr int kExitNetworkDown = 100;

// Settings singleton, log "upd", banner, signal handlers, connection manager and initConn
// (whose result is ignored). 0, or 1 when the log file cannot be created (message on stderr).
int initMain(const std::string& configPath);
// Writes the closing lines, deletes the connection manager (ending the MQTT library) and the
// settings singleton.
void endMain();
// Async-signal-safe: stores the number and nothing else.
void signal_handler(int signal);
// Writes "in signal_handler : receive signal -> N" for a signal recorded since the last call.
// Main thread only.
void noteSignal();
// Number of the last signal received (0: none yet).
int lastSignal();
// The connection manager created by initMain (null before and after).
conn::ConnectionManagerUpd* connectionManager();

// Everything after the command line: start-up, alive check, at most one update run, shutdown.
// The exit status: 0, 1, 2 or 100.
int runMain(const std::string& configPath);

class cee_upd {
  public:
    // Requires the settings singleton (initMain, or a test's createInstance).
    cee_upd();
    virtual ~cee_upd();
    cee_upd(const cee_upd&) = delete;
    cee_upd& operator=(const cee_upd&) = delete;

    // One ping of PING_SERVER: 0 when it answered, otherwise pingCmd's code.
    int checkAlive();
    // "/bin/ping -c 1 <host> > /dev/null 2>&1" through execCmdCheck.
    int pingCmd(const std::string& host);
    // 0 exit code 0; -1 cannot start; -2 ended by a signal; -3 no wait status; -4 exit code
    // other than 0.
    int execCmdCheck(const std::string& command);

    // One update run in one transaction: the step code of execUpdate, or -1 (database file
    // missing or a name empty) or -2 (database not opened).
    int runUpdateProcess();
    // The steps of a run on an open controller inside the caller's transaction. 1 when no run
    // is due; commandId and resultText are out-parameters.
    int execUpdate(db::DbUpdController& controller, int& commandId, std::string& resultText);

    // Step code of a due run whose steps this build does not carry out: the run is rolled back
    // and stays scheduled, and neither a result file nor the finish command is produced.
    static constexpr int kStepsUnavailable = 2;

  private:
    data::SettingData* setting_;
    zorcommon::Logger log_;
};

}  // namespace zorupd
