// The verification of an installed update run at the updater's next start(s), the automatic
// roll-back of a run found unhealthy, and the verification of that roll-back.
//
// A run being verified takes a start before any due run, unless the due run is an emergency
// update that cancels it (the cancel then ends the verification). The start waits SETTLE_S
// after the process started, then checks every INTERVAL_S; CONSECUTIVE_OK passes in a row
// within WINDOW_S make the run healthy. Each start that begins verifying is counted before the
// first check: a start killed, cut by a power loss or stopped by a signal during the window
// still counts, and after MAX_VERIFY_STARTS of them the run is unhealthy.
//
//   installation healthy        -> verified: the success file becomes final
//   installation unhealthy      -> the recorded old versions re-installed through the
//                                  re-install path (each attempt in the journal before it
//                                  starts, at most MAX_ROLLBACK_ATTEMPTS), failure file <16>,
//                                  finish command; the next start(s) verify the old versions
//   old versions healthy        -> state 6
//   roll-back impossible, failed, cut off too often, or the old versions unhealthy, or
//   AUTO_ROLLBACK false         -> state 7, failure file, no finish command
//
// No transaction is open while a check, a wait or the package updater runs. Works on the
// updater's single thread with the run's open controller.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "cee_upd.h"

namespace zorupd {

class UpdVerifier {
  public:
    static constexpr int kNothingToVerify = -100;

    UpdVerifier(cee_upd& upd, db::DbUpdController& c);

    // Verifies, rolls back or settles the oldest run being verified. kNothingToVerify when
    // there is none (or a due run cancels it); otherwise the start's status for
    // runUpdateProcess: 0, cee_upd::kCommitFailed or cee_upd::kResultFileFailed.
    int run();

  private:
    enum class Health { Healthy, Unhealthy, Cut, NotRecorded };

    // Finds the oldest run being verified; false when there is none or the due run cancels it.
    bool findRun();
    bool dueRunCancels();
    // The verdict of a start's checks: the run's end, its roll-back, or nothing yet.
    int conclude(Health health, const std::string& why);
    // Checks the run until a verdict, the end of the window or a stop signal; `why` receives
    // the last failed check.
    Health verify(const std::vector<std::string>& files, std::string& why);
    bool waitUntil(std::chrono::steady_clock::time_point when);
    // The package files the current phase must find installed.
    std::vector<std::string> expectedFiles() const;
    // The run's packages whose recorded old version is not installed now; `recorded` tells
    // whether any package has an old version at all (a new package has none).
    std::vector<db::data::PackageInfoData> packagesToPutBack(bool& recorded);
    int rollBack(const std::string& why);
    int settleRollback(const zorcommon::InstallAttempt& open);
    // The old versions are in place: the verification of the roll-back begins.
    int rolledBack();
    int endVerified(int verdict, const std::string& note);
    int endRolledBack();
    int endFailed(const std::string& text);
    // The record (and, with a final state, the run's state) in one short transaction.
    bool save(int finalState = -1, const std::string& result = "");

    cee_upd& upd_;
    db::DbUpdController& c_;
    const HealthSettings& settings_;
    zorcommon::Logger log_;
    zorcommon::HealthRecord rec_;
    UpdateRun run_;
    std::vector<db::data::PackageInfoData> packages_;
};

}  // namespace zorupd
