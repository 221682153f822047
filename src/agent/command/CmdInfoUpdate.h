// The software update order: reads the update request (packages, and for an emergency update
// the earlier update orders to cancel), picks the run time inside the nightly update window
// (normal update) or a few minutes ahead (emergency update), writes the job into the command
// database in one transaction, and answers with a NotifyUpdateLoggerResponse XML, published
// over MQTT and posted to the result server read from SystemSetting.xml.
//
// Runs on the order thread. The clock and the random draws used for scheduling can be replaced
// (tests); by default they are the real time and a generator seeded from the system's entropy
// source at each scheduling. Scheduled times are written as wall-clock texts of UTC +
// LOCALE_HOUR, independent of the device's time zone.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "CmdInfoBase.h"

namespace zorcee {
namespace db {
class DbController;
}
namespace command {

class CmdInfoUpdate : public CmdInfoBase {
  public:
    using Clock = std::function<std::time_t()>;
    // Returns the draws of one scheduling; it is given the current time (the default source
    // does not use it: it seeds from the system's entropy).
    using RandomSource = std::function<std::vector<std::uint32_t>(std::time_t seed, int count)>;

    explicit CmdInfoUpdate(const picojson::value& order);

    // 0 job written; -1 nothing scheduled; -2 package list, -3 cancel lookup, -4 cancel list,
    // -5 update fields, -6 runs, -9 order result could not be written.
    int execCommand() override;

    // The update type (0, 1 or any other integer given), or -101..-106 for an unusable request,
    // -107 (kTooManyEntries) for more than 1000 package entries or cancel ids.
    // Throws std::runtime_error for a package element without text.
    int getPkgListFromRecvData(const std::string& xml, std::string& requestId,
                               std::string& commandId, std::vector<std::string>& packageEntries,
                               std::vector<std::string>& cancelIds);
    // Run time of a normal update (seconds since the epoch), 0 when not computable.
    std::time_t calculateTimeToExecute();
    // Run time of an emergency update, 0 when not computable.
    std::time_t calculateTimeToEmargencyExecute();
    // HH:MM:SS of the current day in UTC + LOCALE_HOUR, 0 on failure.
    std::time_t timeOfDayToEpoch(const std::string& text);
    bool isSystemSettingReady() const;
    std::string makeResponseXml(const std::string& requestId, const std::string& commandId,
                                std::time_t runTime, const std::string& errorText,
                                const std::vector<std::string>& foundIds) const;

    void setClock(Clock clock) { clock_ = std::move(clock); }
    void setRandomSource(RandomSource random) { random_ = std::move(random); }

    static constexpr int kTooManyEntries = -107;

  private:
    struct Job;
    // The steps of execCommand: the request's contents and their checks; the run time; the
    // job's rows in a transaction left open (job.tx) until the order's row is written; the
    // response (also kept as the Base64 result); the order's row and the commit.
    void readRequest(const std::string& request, Job& job);
    void scheduleRun(Job& job);
    void writeJobRows(db::DbController& db, std::int64_t id, Job& job);
    void writeJobRun(db::DbController& db, std::int64_t id, Job& job);
    std::string respond(const Job& job);
    void recordAndCommit(db::DbController& db, std::int64_t id, Job& job, std::string response);

    std::time_t now() const { return clock_(); }
    // LOCALE_HOUR, and the same in seconds.
    int localeHour() const;
    std::time_t zoneOffset() const;
    // A moment as wall-clock text of UTC + LOCALE_HOUR.
    std::string scheduleTimeText(std::time_t t, const char* format) const;

    // XML vocabulary of the request and the response.
    const std::string xmlRoot_ = "commandRequest";
    const std::string xmlData_ = "requestData";
    const std::string xmlPackage_ = "p";
    const std::string xmlType_ = "command_type";
    const std::string xmlCancelList_ = "cancel_id_list";
    const std::string xmlCancelEntry_ = "p";
    const std::string xmlRootId_ = "id";
    const std::string xmlTypeId_ = "id";
    const std::string xmlEntry_ = "p";
    const std::string xmlEntryPos_ = "x";
    const std::string xmlEntryId_ = "id";

    Clock clock_;
    RandomSource random_;
};

}  // namespace command
}  // namespace zorcee
