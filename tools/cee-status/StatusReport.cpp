#include "StatusReport.h"

#include <picojson.h>

#include <algorithm>
#include <sstream>

#include "StatusTime.h"
#include "UpdJobStore.h"
#include "Version.h"

namespace zorstatus {

namespace {
// Length of the well-formed UTF-8 sequence at text[i] and its code point; 0 when malformed
// (overlong forms, surrogates and values above U+10FFFF included).
size_t utf8Sequence(const std::string& text, size_t i, unsigned& code) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned lead = byte(i);
    size_t length = 0;
    if (lead < 0x80) {
        code = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    const unsigned minimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < minimum[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return 0;
    }
    return length;
}

std::string validUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        unsigned code = 0;
        const size_t n = utf8Sequence(text, i, code);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    return out;
}

// Code points of a valid UTF-8 text, the measure of its width on the terminal.
size_t width(const std::string& text) {
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

// Byte offset after the first `count` code points.
size_t offsetOf(const std::string& text, size_t count) {
    size_t i = 0;
    for (size_t seen = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (seen == count) {
                break;
            }
            ++seen;
        }
    }
    return i;
}

// Padded or cut to exactly n columns; a cut text ends in "~".
std::string fit(const std::string& text, size_t n) {
    const size_t w = width(text);
    if (w <= n) {
        return text + std::string(n - w, ' ');
    }
    return text.substr(0, offsetOf(text, n - 1)) + "~";
}

std::string padLeft(const std::string& text, size_t n) {
    const size_t w = width(text);
    return w >= n ? text : std::string(n - w, ' ') + text;
}

// Writes label and text with every further line indented under the text.
void labelled(std::ostream& out, const std::string& indent, const std::string& label,
              size_t labelWidth, const std::string& text) {
    const std::string head = indent + fit(label, labelWidth);
    const std::string hang(width(head), ' ');
    const size_t used = width(head);
    const auto lines = wrapText(printable(text), used < kTextWidth ? kTextWidth - used : 0);
    for (size_t i = 0; i < lines.size(); ++i) {
        out << (i == 0 ? head : hang) << lines[i] << "\n";
    }
    if (lines.empty()) {
        out << head << "\n";
    }
}

std::string packagePath(const PackageRow& p) {
    if (p.path.empty()) {
        return p.file;
    }
    return p.path.back() == '/' ? p.path + p.file : p.path + "/" + p.file;
}

std::string header(const Report& r) {
    const std::string offset = localUtcOffset(r.now);
    std::ostringstream out;
    out << "cee-status " << CEE_VERSION << ", read " << formatLocal(r.now) << " (UTC" << offset
        << ")\n";
    labelled(out, "", "Database", 10, r.snapshot.database);
    for (size_t i = 0; i < r.settings.sources.size(); ++i) {
        const auto& s = r.settings.sources[i];
        labelled(out, "", i == 0 ? "Settings" : "", 10, s.path + ": " + s.status);
    }
    labelled(out, "", "Times", 10,
             "local time of this device (UTC" + offset +
                 "). Due times are stored as wall-clock of UTC+" +
                 std::to_string(r.settings.localeHour) +
                 " (LOCALE_HOUR), the other recorded times as UTC.");
    return out.str();
}

void textOrders(std::ostream& out, const Report& r) {
    const auto& orders = r.snapshot.orders;
    out << "\nOrders: last " << orders.size() << " of " << r.snapshot.orderTotal
        << " (newest first)\n";
    if (orders.empty()) {
        out << "  none\n";
        return;
    }
    size_t idWidth = 4;
    size_t commandWidth = 7;
    for (const auto& o : orders) {
        idWidth = std::max(idWidth, std::to_string(o.id).size());
        commandWidth = std::max(commandWidth, width(printable(o.command)));
    }
    commandWidth = std::min<size_t>(commandWidth, 34);
    const size_t timeWidth = 19;
    out << "  " << padLeft("ID", idWidth) << "  " << fit("Recorded", timeWidth) << "  "
        << fit("Server time", timeWidth) << "  " << fit("Command", commandWidth) << "  Result\n";
    const std::string indent(2 + idWidth + 2, ' ');
    for (const auto& o : orders) {
        const std::string line = "  " + padLeft(std::to_string(o.id), idWidth) + "  " +
                                 fit(printable(localText(o.recorded, 0)), timeWidth) + "  " +
                                 fit(printable(o.serverTime.value_or("")), timeWidth) + "  " +
                                 fit(printable(o.command), commandWidth) + "  " +
                                 orderResultText(o.result);
        out << line << "\n";
        if (!o.error.empty()) {
            labelled(out, indent, "", 0, o.error);
        }
    }
}

// head starts the run's first line and sets the indentation of the lines below it.
void textRun(std::ostream& out, const std::string& head, const RunRow& run, int localeHour,
             long long now) {
    out << head << "try " << run.tryNumber << "  run " << run.id << "  due "
        << printable(localText(run.due, localeHour)) << "  " << runStateText(run.state) << "\n";
    const std::string indent(width(head), ' ');
    const std::string detail = indent + "  ";
    if (run.started || run.ended) {
        labelled(out, detail, "ran ", 4,
                 localText(run.started, 0) + " to " + localText(run.ended, 0));
    }
    if (run.cancelled) {
        labelled(out, detail, "cancelled ", 10, localText(run.cancelled, 0));
    }
    if (run.result && !run.result->empty()) {
        labelled(out, detail, "result: ", 8, *run.result);
    }
    if (run.attemptBegun) {
        labelled(out, detail, "attempt: ", 9,
                 std::string(run.attemptReinstall ? "re-install" : "install") + " begun " +
                     localText(run.attemptBegun, 0) +
                     ", no outcome (cut off; settled at the next start of the updater)");
    }
    const std::string health = healthText(run, now);
    if (!health.empty()) {
        labelled(out, detail, "health: ", 8, health);
    }
}

void textJobs(std::ostream& out, const Report& r) {
    const int localeHour = r.settings.localeHour;
    out << "\nUpdate jobs: " << r.snapshot.jobs.size() << " (newest first)\n";
    if (r.snapshot.jobs.empty()) {
        out << "  none\n";
    }
    const size_t labelWidth = 11;
    for (const auto& job : r.snapshot.jobs) {
        labelled(out, "", "", 0,
                 "Job " + std::to_string(job.id) + "  " + updateTypeText(job.type) +
                     "  command id " + job.commandId + "  request " + job.requestId);
        std::string ordered =
            localText(job.recorded, 0) + "  (order " + orderResultText(job.result) + ")";
        labelled(out, "  ", "Ordered", labelWidth, ordered);
        if (!job.error.empty()) {
            labelled(out, "  ", "", labelWidth, job.error);
        }
        labelled(out, "  ", "Scheduled", labelWidth, localText(job.scheduled, localeHour));

        if (job.packages.empty()) {
            labelled(out, "  ", "Packages", labelWidth, "none");
        }
        for (size_t i = 0; i < job.packages.size(); ++i) {
            const auto& p = job.packages[i];
            std::string line = std::to_string(p.seq) + ". " + packagePath(p);
            if (p.oldFile && !p.oldFile->empty()) {
                line += "  (installed before: " + *p.oldFile + ")";
            }
            labelled(out, "  ", i == 0 ? "Packages" : "", labelWidth, line);
        }
        for (size_t i = 0; i < job.cancels.size(); ++i) {
            const auto& c = job.cancels[i];
            labelled(out, "  ", i == 0 ? "Cancels" : "", labelWidth,
                     std::to_string(c.seq) + ". command id " + c.commandId +
                         (c.isCancel ? "  cancel" : "  ignored (no such update when ordered)"));
        }

        if (job.runs.empty()) {
            labelled(out, "  ", "Runs", labelWidth, "none");
        }
        for (size_t i = 0; i < job.runs.size(); ++i) {
            textRun(out, "  " + fit(i == 0 ? "Runs" : "", labelWidth), job.runs[i], localeHour,
                    r.now);
        }
        const auto left = retriesLeft(job, r.settings.retryLimit);
        if (left) {
            labelled(out, "  ", "Retries", labelWidth,
                     std::to_string(*left) + " left (UPD_RETRY_NUM " +
                         std::to_string(r.settings.retryLimit) + ")");
        }
        out << "\n";
    }
}

void textResultFiles(std::ostream& out, const Report& r) {
    out << (r.snapshot.jobs.empty() ? "\n" : "");
    labelled(out, "", "", 0, "Result files in " + r.settings.resultDir);
    size_t nameWidth = 0;
    for (const auto& f : r.resultFiles) {
        nameWidth = std::max(nameWidth, width(printable(f.name)));
    }
    nameWidth = std::min<size_t>(nameWidth + 2, 30);
    for (const auto& f : r.resultFiles) {
        if (!f.present) {
            labelled(out, "  ", printable(f.name), nameWidth, "not present");
            continue;
        }
        labelled(out, "  ", printable(f.name), nameWidth, "modified " + formatLocal(f.modified));
        const std::string indent(2 + nameWidth, ' ');
        if (f.content.empty()) {
            labelled(out, indent, "", 0, "(empty)");
        }
        std::istringstream lines(f.content);
        std::string line;
        while (std::getline(lines, line)) {
            labelled(out, indent, "", 0, line);
        }
        if (f.truncated) {
            labelled(out, indent, "", 0,
                     "(only the first " + std::to_string(kResultFileLimit) + " bytes shown)");
        }
    }
}

picojson::value str(const std::string& text) {
    return picojson::value(validUtf8(text));
}

picojson::value num(long long n) {
    return picojson::value(static_cast<double>(n));
}

picojson::value optStr(const std::optional<std::string>& text) {
    return text ? str(*text) : picojson::value();
}

picojson::value optNum(const std::optional<long long>& n) {
    return n ? num(*n) : picojson::value();
}

picojson::value jsonJob(const UpdateJob& job, const StatusSettings& settings, long long now) {
    const int h = settings.localeHour;
    picojson::array packages;
    for (const auto& p : job.packages) {
        picojson::object o;
        o["seq"] = num(p.seq);
        o["path"] = str(p.path);
        o["file"] = str(p.file);
        o["name"] = str(p.name);
        o["old_file"] = optStr(p.oldFile);
        packages.emplace_back(o);
    }
    picojson::array cancels;
    for (const auto& c : job.cancels) {
        picojson::object o;
        o["seq"] = num(c.seq);
        o["command_id"] = str(c.commandId);
        o["is_cancel"] = picojson::value(c.isCancel);
        cancels.emplace_back(o);
    }
    picojson::array runs;
    for (const auto& run : job.runs) {
        picojson::object o;
        o["id"] = num(run.id);
        o["try"] = num(run.tryNumber);
        o["state"] = num(run.state);
        o["state_text"] = str(runStateText(run.state));
        o["due"] = optStr(localIsoText(run.due, h));
        o["started"] = optStr(localIsoText(run.started, 0));
        o["ended"] = optStr(localIsoText(run.ended, 0));
        o["cancelled"] = optStr(localIsoText(run.cancelled, 0));
        o["created"] = optStr(localIsoText(run.created, 0));
        o["result"] = optStr(run.result);
        o["attempt_begun"] = optStr(localIsoText(run.attemptBegun, 0));
        const std::string health = healthText(run, now);
        o["health"] = health.empty() ? picojson::value() : str(health);
        runs.emplace_back(o);
    }
    picojson::object o;
    o["id"] = num(job.id);
    o["command_id"] = str(job.commandId);
    o["type"] = num(job.type);
    o["type_text"] = str(updateTypeText(job.type));
    o["request_id"] = str(job.requestId);
    o["scheduled"] = optStr(localIsoText(job.scheduled, h));
    o["recorded"] = optStr(localIsoText(job.recorded, 0));
    o["order_result"] = optNum(job.result);
    o["order_error"] = str(job.error);
    o["packages"] = picojson::value(packages);
    o["cancels"] = picojson::value(cancels);
    o["runs"] = picojson::value(runs);
    const auto left = retriesLeft(job, settings.retryLimit);
    o["retries_left"] = left ? num(*left) : picojson::value();
    return picojson::value(o);
}
}  // namespace

std::string runStateText(long long state) {
    switch (state) {
        case zorcommon::kRunScheduled:
            return "scheduled";
        case zorcommon::kRunInstalled:
            return "installed";
        case zorcommon::kRunFailed:
            return "failed";
        case zorcommon::kRunCancelledAfterInstall:
            return "cancelled after install";
        case zorcommon::kRunCancelledBeforeRun:
            return "cancelled before execution";
        case zorcommon::kRunSuperseded:
            return "superseded";
        case zorcommon::kRunRolledBack:
            return "rolled back after a failed health check";
        case zorcommon::kRunRollbackFailed:
            return "roll-back failed";
        default:
            return "unknown state " + std::to_string(state);
    }
}

std::string healthText(const RunRow& run, long long now) {
    if (!run.health) {
        return "";
    }
    const zorcommon::HealthRecord& h = *run.health;
    switch (h.verdict) {
        case zorcommon::kVerdictVerified:
            return "verified healthy";
        case zorcommon::kVerdictUnverified:
            return h.baseline_ok ? "unverified (health check turned off)"
                                 : "unverified: unhealthy before the installation (" +
                                       h.baseline_detail + ")";
        case zorcommon::kVerdictRolledBack:
            return "rolled back after a failed health check: " + h.detail;
        case zorcommon::kVerdictRollbackFailed:
            return "roll-back failed or not done: " + h.detail;
        default:
            break;
    }
    if (run.state != zorcommon::kRunInstalled) {
        return "";
    }
    std::string text = std::string("verification of the ") +
                       (h.phase == zorcommon::kVerifyRollback ? "roll-back" : "installation") +
                       " pending: " + std::to_string(h.passed) + " check(s) passed in a row";
    long long end = 0;
    if (h.starts > 0 && parseDbTime(h.window_end, 0, end) && end > now) {
        text += ", " + std::to_string(end - now) + " s left in the window";
    } else {
        text += ", the next start of the updater checks";
    }
    return text;
}

std::string updateTypeText(long long type) {
    switch (type) {
        case 0:
            return "normal";
        case 1:
            return "emergency";
        case 2:
            return "normal (type 2)";
        default:
            return "type " + std::to_string(type);
    }
}

std::string orderResultText(const std::optional<long long>& result) {
    if (!result) {
        return "no result";
    }
    return *result == 0 ? "ok" : "error " + std::to_string(*result);
}

std::optional<int> retriesLeft(const UpdateJob& job, int retryLimit) {
    const auto last = job.runs.empty() ? -1 : job.runs.back().state;
    if (last != zorcommon::kRunScheduled && last != zorcommon::kRunFailed) {
        return std::nullopt;
    }
    long long highest = 0;
    for (const auto& run : job.runs) {
        highest = std::max(highest, run.tryNumber);
    }
    const long long left = static_cast<long long>(retryLimit) - highest;
    return static_cast<int>(std::clamp<long long>(left, 0, retryLimit < 0 ? 0 : retryLimit));
}

std::string printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        unsigned code = 0;
        const size_t n = utf8Sequence(text, i, code);
        if (n == 0 || (code >= 0x80 && code < 0xA0) || code == 0x7F) {
            out += '?';
        } else if (code == '\t' || code == '\n' || code == '\r') {
            out += ' ';
        } else if (code < 0x20) {
            out += '?';
        } else {
            out.append(text, i, n);
        }
        i += n == 0 ? 1 : n;
    }
    return out;
}

std::vector<std::string> wrapText(const std::string& text, size_t lineWidth) {
    std::vector<std::string> lines;
    lineWidth = std::max<size_t>(lineWidth, 20);
    std::string rest = text;
    while (width(rest) > lineWidth) {
        size_t cut = offsetOf(rest, lineWidth);
        // Prefer the last blank in the second half of the line, so words stay whole.
        const size_t blank = rest.rfind(' ', cut);
        if (blank != std::string::npos && blank > 0 &&
            width(rest.substr(0, blank)) > lineWidth / 2) {
            lines.push_back(rest.substr(0, blank));
            rest = rest.substr(blank + 1);
        } else {
            lines.push_back(rest.substr(0, cut));
            rest = rest.substr(cut);
        }
    }
    if (!rest.empty() || lines.empty()) {
        lines.push_back(rest);
    }
    return lines;
}

std::string renderText(const Report& report) {
    std::ostringstream out;
    out << header(report);
    textOrders(out, report);
    textJobs(out, report);
    textResultFiles(out, report);
    return out.str();
}

std::string renderJson(const Report& report) {
    const auto& s = report.settings;
    picojson::array orders;
    for (const auto& o : report.snapshot.orders) {
        picojson::object row;
        row["id"] = num(o.id);
        row["command"] = str(o.command);
        row["server_time"] = optStr(o.serverTime);
        row["result"] = optNum(o.result);
        row["result_text"] = str(orderResultText(o.result));
        row["error"] = str(o.error);
        row["recorded"] = optStr(localIsoText(o.recorded, 0));
        orders.emplace_back(row);
    }
    picojson::array jobs;
    for (const auto& job : report.snapshot.jobs) {
        jobs.push_back(jsonJob(job, s, report.now));
    }
    picojson::array files;
    for (const auto& f : report.resultFiles) {
        if (!f.present) {
            continue;
        }
        picojson::object row;
        row["name"] = str(f.name);
        row["path"] = str(f.path);
        row["modified"] = str(formatLocalIso(f.modified));
        row["content"] = str(f.content);
        row["truncated"] = picojson::value(f.truncated);
        files.emplace_back(row);
    }
    picojson::array sources;
    for (const auto& src : s.sources) {
        picojson::object row;
        row["path"] = str(src.path);
        row["status"] = str(src.status);
        sources.emplace_back(row);
    }
    picojson::object root;
    root["database"] = str(report.snapshot.database);
    root["read_at"] = str(formatLocalIso(report.now));
    root["locale_hour"] = num(s.localeHour);
    root["retry_limit"] = num(s.retryLimit);
    root["settings"] = picojson::value(sources);
    root["orders_total"] = num(report.snapshot.orderTotal);
    root["orders"] = picojson::value(orders);
    root["update_jobs"] = picojson::value(jobs);
    root["result_dir"] = str(s.resultDir);
    root["result_files"] = picojson::value(files);
    return picojson::value(root).serialize(true);
}

}  // namespace zorstatus
