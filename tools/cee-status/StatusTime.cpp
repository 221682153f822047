#include "StatusTime.h"

#include <cstdio>
#include <ctime>

namespace zorstatus {

namespace {
bool digits(const std::string& text, size_t pos, size_t count, int& value) {
    value = 0;
    for (size_t i = pos; i < pos + count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

bool toLocal(long long epoch, std::tm& local) {
    const std::time_t t = static_cast<std::time_t>(epoch);
    return ::localtime_r(&t, &local) != nullptr;
}
}  // namespace

bool parseDbTime(const std::string& text, int offsetHours, long long& epoch) {
    if (text.size() != 19 || text[4] != '-' || text[7] != '-' || text[10] != ' ' ||
        text[13] != ':' || text[16] != ':') {
        return false;
    }
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!digits(text, 0, 4, year) || !digits(text, 5, 2, month) || !digits(text, 8, 2, day) ||
        !digits(text, 11, 2, hour) || !digits(text, 14, 2, minute) ||
        !digits(text, 17, 2, second)) {
        return false;
    }
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
        return false;
    }
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    // timegm reads the fields as UTC; the wall-clock of UTC+h is h hours ahead of that.
    epoch = static_cast<long long>(::timegm(&tm)) - static_cast<long long>(offsetHours) * 3600;
    return true;
}

std::string formatLocal(long long epoch) {
    std::tm local{};
    char buffer[32] = "";
    if (!toLocal(epoch, local) ||
        std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local) == 0) {
        return std::to_string(epoch);
    }
    return buffer;
}

std::string localUtcOffset(long long epoch) {
    std::tm local{};
    if (!toLocal(epoch, local)) {
        return "+00:00";
    }
    const long offset = local.tm_gmtoff;
    const long magnitude = offset < 0 ? -offset : offset;
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%c%02ld:%02ld", offset < 0 ? '-' : '+', magnitude / 3600,
                  (magnitude % 3600) / 60);
    return buffer;
}

std::string formatLocalIso(long long epoch) {
    std::string text = formatLocal(epoch);
    if (text.size() == 19) {
        text[10] = 'T';
    }
    return text + localUtcOffset(epoch);
}

std::string localText(const std::optional<std::string>& stored, int offsetHours) {
    if (!stored) {
        return "";
    }
    long long epoch = 0;
    return parseDbTime(*stored, offsetHours, epoch) ? formatLocal(epoch) : *stored;
}

std::optional<std::string> localIsoText(const std::optional<std::string>& stored, int offsetHours) {
    if (!stored) {
        return std::nullopt;
    }
    long long epoch = 0;
    return parseDbTime(*stored, offsetHours, epoch) ? formatLocalIso(epoch) : *stored;
}

}  // namespace zorstatus
