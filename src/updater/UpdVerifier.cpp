#include "UpdVerifier.h"

#include <poll.h>
#include <signal.h>

#include <algorithm>

namespace zorupd {

namespace {
using std::chrono::steady_clock;

constexpr int kReinstallList = 1;  // the package list and log kind of a re-install

const char* phaseText(int phase) {
    return phase == zorcommon::kVerifyRollback ? "roll-back" : "installation";
}
}  // namespace

UpdVerifier::UpdVerifier(cee_upd& upd, db::DbUpdController& c)
    : upd_(upd), c_(c), settings_(upd.healthSettings()), log_(upd.log_) {}

int UpdVerifier::run() {
    if (!findRun()) {
        return kNothingToVerify;
    }
    if (c_.selectPackageInfoAtCiid(run_.target.command_info_id, packages_) < 0) {
        ZLOG_W(log_, "[{}:{}] ===== health : proc_info.id -> {} : packages not read : next start",
               rec_.proc_info_id);
        return cee_upd::kCommitFailed;
    }
    if (!settings_.enabled) {
        return endVerified(zorcommon::kVerdictUnverified, "unverified");
    }
    zorcommon::InstallAttempt open;
    if (zorcommon::selectOpenAttempt(c_.getDb(), open, rec_.proc_info_id) == 1 &&
        open.kind == zorcommon::kAttemptRollback) {
        return settleRollback(open);
    }
    ZLOG_I(log_,
           "[{}:{}] ===== health : verifying the {} : proc_info.id -> {} : update id -> {} : "
           "start {} of {}",
           phaseText(rec_.phase), rec_.proc_info_id, run_.commandId, rec_.starts + 1,
           settings_.maxVerifyStarts);
    std::string why;
    const Health health = verify(expectedFiles(), why);
    return conclude(health, why);
}

bool UpdVerifier::findRun() {
    sqlite3* db = c_.getDb();
    const bool table =
        settings_.enabled ? zorcommon::ensureHealthTable(db) : zorcommon::hasHealthTable(db);
    if (!table || zorcommon::selectPendingVerification(db, rec_) != 1) {
        return false;
    }
    run_.target = c_.selectRunById(rec_.proc_info_id);
    run_.commandId = run_.target.command_id;
    run_.startTime = std::time(nullptr);
    if (dueRunCancels()) {
        ZLOG_I(log_, "[{}:{}] ===== health : proc_info.id -> {} : cancelled by the due update",
               rec_.proc_info_id);
        return false;
    }
    return true;
}

int UpdVerifier::conclude(Health health, const std::string& why) {
    switch (health) {
        case Health::Cut:
            ZLOG_I(log_, "[{}:{}] ===== health : stopped by a signal : the next start goes on");
            return 0;
        case Health::NotRecorded:
            return cee_upd::kCommitFailed;
        case Health::Healthy:
            return rec_.phase == zorcommon::kVerifyInstall
                       ? endVerified(zorcommon::kVerdictVerified, "")
                       : endRolledBack();
        case Health::Unhealthy:
            break;
    }
    if (rec_.phase == zorcommon::kVerifyRollback) {
        return endFailed("<17> roll-back failed : old version unhealthy : " + why);
    }
    rec_.detail = why;
    if (!settings_.autoRollback) {
        return endFailed("<16> health check failed : " + why +
                         " : not rolled back (AUTO_ROLLBACK false)");
    }
    return rollBack(why);
}

bool UpdVerifier::dueRunCancels() {
    const auto due = c_.selectTargetCommandInfo();
    if (!due.hasTarget() || due.command_type != 1) {
        return false;
    }
    std::vector<db::data::CancelProcInfo> executed, pending;
    if (c_.selectCancelProcInfo(due.command_info_id, executed, pending) < 0) {
        return false;
    }
    return std::any_of(executed.begin(), executed.end(),
                       [this](const auto& t) { return t.id == rec_.proc_info_id; });
}

std::vector<std::string> UpdVerifier::expectedFiles() const {
    std::vector<std::string> files;
    for (const auto& p : packages_) {
        // A package the update added has no old version: the roll-back leaves it.
        if (rec_.phase == zorcommon::kVerifyInstall) {
            files.push_back(p.package_filename);
        } else if (!p.old_package_filename.empty()) {
            files.push_back(p.old_package_filename);
        }
    }
    return files;
}

UpdVerifier::Health UpdVerifier::verify(const std::vector<std::string>& files, std::string& why) {
    if (rec_.starts >= settings_.maxVerifyStarts) {
        why = "verification cut off : " + std::to_string(rec_.starts) +
              " start(s) ended within the window";
        return Health::Unhealthy;
    }
    const auto begin = processStart();
    const auto deadline = begin + std::chrono::seconds(settings_.windowS);
    const auto left =
        std::chrono::duration_cast<std::chrono::seconds>(deadline - steady_clock::now());
    rec_.starts += 1;
    rec_.passed = 0;
    rec_.window_end = zorcommon::localeHourText(
        std::time(nullptr) + std::max<long>(0, left.count()), 0, "%Y-%m-%d %H:%M:%S");
    if (!save()) {
        return Health::NotRecorded;
    }
    int inRow = 0;
    auto next = begin + std::chrono::seconds(settings_.settleS);
    for (int round = 1; next <= deadline; ++round) {
        if (!waitUntil(next)) {
            return Health::Cut;
        }
        const HealthResult r = upd_.check_.checkOnce(files, round);
        inRow = r.ok ? inRow + 1 : 0;
        if (!r.ok) {
            why = r.failed;
        }
        if (rec_.passed != inRow) {
            rec_.passed = inRow;
            if (!save()) {
                return Health::NotRecorded;
            }
        }
        if (inRow >= settings_.consecutiveOk) {
            return Health::Healthy;
        }
        next = std::max(next + std::chrono::seconds(settings_.intervalS), steady_clock::now());
    }
    if (why.empty()) {
        why = "fewer than " + std::to_string(settings_.consecutiveOk) +
              " checks in a row passed within the window";
    }
    return Health::Unhealthy;
}

bool UpdVerifier::waitUntil(steady_clock::time_point when) {
    // The stop signals stay blocked except inside ppoll, so one that arrives between the
    // check of the count and the wait still ends the wait at once.
    sigset_t stops, old;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigprocmask(SIG_BLOCK, &stops, &old);
    const int seen = signalsReceived();
    bool stopped = false;
    for (auto now = steady_clock::now(); now < when; now = steady_clock::now()) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(when - now).count();
        const timespec wait{static_cast<time_t>(ns / 1000000000),
                            static_cast<long>(ns % 1000000000)};
        ppoll(nullptr, 0, &wait, &old);
        if (signalsReceived() != seen) {
            stopped = true;
            break;
        }
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    noteSignal();
    return !stopped;
}

std::vector<db::data::PackageInfoData> UpdVerifier::packagesToPutBack(bool& recorded) {
    std::vector<db::data::PackageInfoData> olds, back;
    std::vector<std::string> names, installed;
    for (const auto& p : packages_) {
        if (!p.old_package_filename.empty() && p.old_package_filename != p.package_filename) {
            olds.push_back(p);
            names.push_back(p.package_name);
        }
    }
    recorded = !olds.empty();
    if (recorded) {
        upd_.installedFiles(names, installed);
    }
    for (const auto& p : olds) {
        if (std::find(installed.begin(), installed.end(), p.old_package_filename) ==
            installed.end()) {
            back.push_back(p);
        }
    }
    return back;
}

int UpdVerifier::rollBack(const std::string& why) {
    rec_.detail = why;
    bool recorded = false;
    const auto back = packagesToPutBack(recorded);
    if (!recorded) {
        return endFailed("<17> roll-back failed : no old version recorded : " + why);
    }
    if (back.empty()) {
        return rolledBack();  // the old versions are in place already
    }
    const int attempts =
        zorcommon::countAttempts(c_.getDb(), rec_.proc_info_id, zorcommon::kAttemptRollback);
    if (attempts < 0) {
        return cee_upd::kCommitFailed;
    }
    if (attempts >= settings_.maxRollbackAttempts) {
        return endFailed("<17> roll-back failed : " + std::to_string(attempts) +
                         " attempt(s) did not finish : " + why);
    }
    for (const auto& p : back) {
        if (upd_.storageBatteryConnectionCheck(p.old_package_filename) < 0) {
            return endFailed(
                "<17> roll-back failed : <6.5> Storage battery connection check : "
                "FAILED : " +
                why);
        }
    }
    run_.startTime = std::time(nullptr);
    AttemptSpec spec;
    spec.kind = kReinstallList;
    spec.journalKind = zorcommon::kAttemptRollback;
    spec.list = upd_.writePackageList(kReinstallList, run_.startTime,
                                      upd_.setting_->getStringValue("LIST_FILE_PATH"),
                                      upd_.setting_->getStringValue("LIST_PRE_NAME"), back);
    if (spec.list.empty()) {
        return endFailed("<17> roll-back failed : <8> create cancel package list file error : " +
                         why);
    }
    for (const auto& p : back) {
        spec.files.push_back(p.old_package_filename);
    }
    spec.withAttempt = [this](sqlite3* db) { return zorcommon::updateHealthRecord(db, rec_); };
    ZLOG_W(log_, "[{}:{}] ===== health : rolling back proc_info.id -> {} : attempt {} of {} : {}",
           rec_.proc_info_id, attempts + 1, settings_.maxRollbackAttempts, why);
    if (upd_.runAttempt(c_, run_, spec) != 0) {
        return cee_upd::kCommitFailed;
    }
    if (spec.outcome == zorcommon::kOutcomeInstalled) {
        return rolledBack();
    }
    return endFailed("<17> roll-back failed : re-install execution -> " +
                     std::to_string(spec.code) + " : " +
                     zorcommon::attemptOutcomeText(spec.outcome) + " : " + why);
}

int UpdVerifier::settleRollback(const zorcommon::InstallAttempt& open) {
    const int outcome = upd_.attemptOutcomeNow(open.files);
    ZLOG_W(log_,
           "[{}:{}] ===== interrupted attempt : proc_info.id -> {} : roll-back begun {} : found {}",
           rec_.proc_info_id, open.begin_time, zorcommon::attemptOutcomeText(outcome));
    sqlite3* db = c_.getDb();
    if (zorcommon::inWriteTransaction(db, [&] {
            return zorcommon::updateAttemptOutcome(db, open.id, outcome, -1) ? 0 : -1;
        }) < 0) {
        return cee_upd::kCommitFailed;
    }
    return outcome == zorcommon::kOutcomeInstalled ? rolledBack() : rollBack(rec_.detail);
}

int UpdVerifier::rolledBack() {
    rec_.phase = zorcommon::kVerifyRollback;
    rec_.starts = 0;
    rec_.passed = 0;
    rec_.window_end.clear();
    if (!save()) {
        return cee_upd::kCommitFailed;
    }
    const std::string text = "<16> health check failed : " + rec_.detail + " : rolled back";
    ZLOG_W(log_, "[{}:{}] ===== health : proc_info.id -> {} : {}", rec_.proc_info_id, text);
    upd_.removeSuccessFile();
    if (upd_.createResultFile(1, run_.commandId, text) == -2) {
        ZLOG_E(log_, "[{}:{}] failure file not written : finish command not started");
        return cee_upd::kResultFileFailed;
    }
    upd_.runFinishCommand();
    return 0;
}

int UpdVerifier::endVerified(int verdict, const std::string& note) {
    rec_.verdict = verdict;
    if (!save()) {
        return cee_upd::kCommitFailed;
    }
    ZLOG_I(log_, "[{}:{}] ===== health : proc_info.id -> {} : {}", rec_.proc_info_id,
           verdict == zorcommon::kVerdictVerified ? "verified healthy" : "unverified");
    upd_.createResultFile(0, run_.commandId, "", note);
    return 0;
}

int UpdVerifier::endRolledBack() {
    rec_.verdict = zorcommon::kVerdictRolledBack;
    if (!save(zorcommon::kRunRolledBack,
              "<16> health check failed : " + rec_.detail + " : rolled back")) {
        return cee_upd::kCommitFailed;
    }
    ZLOG_I(log_, "[{}:{}] ===== health : proc_info.id -> {} : rolled back, old versions healthy",
           rec_.proc_info_id);
    return 0;
}

int UpdVerifier::endFailed(const std::string& text) {
    rec_.verdict = zorcommon::kVerdictRollbackFailed;
    if (!save(zorcommon::kRunRollbackFailed, text)) {
        return cee_upd::kCommitFailed;
    }
    ZLOG_W(log_, "[{}:{}] ===== health : proc_info.id -> {} : {} : finish command not started",
           rec_.proc_info_id, text);
    upd_.removeSuccessFile();
    return upd_.createResultFile(1, run_.commandId, text) == -2 ? cee_upd::kResultFileFailed : 0;
}

bool UpdVerifier::save(int finalState, const std::string& result) {
    sqlite3* db = c_.getDb();
    const bool saved = zorcommon::inWriteTransaction(db, [&] {
                           if (finalState >= 0 &&
                               c_.updateVerifiedRun(rec_.proc_info_id, finalState, result) < 0) {
                               return -1;
                           }
                           return zorcommon::updateHealthRecord(db, rec_) ? 0 : -1;
                       }) == 0;
    if (!saved) {
        ZLOG_W(log_, "[{}:{}] ===== health : proc_info.id -> {} : not recorded : {}",
               rec_.proc_info_id, sqlite3_errmsg(db));
    }
    zorcommon::flushLog(log_);
    return saved;
}

}  // namespace zorupd
