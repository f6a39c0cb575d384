#include "messages/ScheduleText.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <sstream>

#include "platform/Clock.h"

namespace {

constexpr const char* kDayNames[CFtpThrottleData::kDays] = {"sun", "mon", "tue", "wed",
                                                            "thu", "fri", "sat"};
constexpr int64_t kHighestSpeed = 2147483647;  // KB/s
constexpr size_t kMostZonesADay = 24;          // what a schedule message carries

int MinuteOfDay(platform::Time32 t) {
    struct tm local = platform::LocalTime(t);
    return local.tm_hour * 60 + local.tm_min;
}

// Today at hh:mm local time: a zone's start counts only by its time of day.
platform::Time32 TodayAt(int minute) {
    struct tm today = platform::LocalTime(platform::Clock::Now());
    today.tm_hour = minute / 60;
    today.tm_min = minute % 60;
    today.tm_sec = 0;
    today.tm_isdst = -1;
    return platform::MakeLocalTime(today);
}

// "HH:MM", 00:00 to 23:59.
bool ReadClock(const std::string& text, int& minute) {
    auto digit = [&](size_t i) { return std::isdigit(static_cast<unsigned char>(text[i])); };
    if (text.size() != 5 || text[2] != ':' || !digit(0) || !digit(1) || !digit(3) || !digit(4))
        return false;
    int hours = (text[0] - '0') * 10 + (text[1] - '0');
    int minutes = (text[3] - '0') * 10 + (text[4] - '0');
    if (hours > 23 || minutes > 59) return false;
    minute = hours * 60 + minutes;
    return true;
}

bool ReadSpeed(const std::string& text, int64_t& speed) {
    if (text.empty() || text.size() > 10 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
        return false;
    speed = std::stoll(text);
    return speed <= kHighestSpeed;
}

}  // namespace

std::string FormatSchedule(const CFtpThrottleData& schedule) {
    std::ostringstream out;
    out << "enabled " << (schedule.enabled ? "yes" : "no") << "\n";
    for (int day = 0; day < CFtpThrottleData::kDays; ++day) {
        std::vector<std::pair<int, int64_t>> zones;
        for (const ThrottleZone& zone : schedule.days[day])
            zones.emplace_back(MinuteOfDay(zone.start), zone.maxSpeed);
        std::sort(zones.begin(), zones.end());
        for (const auto& [minute, speed] : zones) {
            char clock[16];
            std::snprintf(clock, sizeof clock, "%02d:%02d", minute / 60, minute % 60);
            out << kDayNames[day] << " " << clock << " " << speed << "\n";
        }
    }
    return out.str();
}

bool ParseSchedule(const std::string& text, CFtpThrottleData& schedule,
                   std::vector<std::string>& errors) {
    errors.clear();
    std::array<std::vector<std::pair<int, int64_t>>, CFtpThrottleData::kDays> days;
    int enabled = -1;
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        auto fail = [&](const std::string& why) {
            errors.push_back("line " + std::to_string(number) + ": " + why);
        };
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::vector<std::string> word;
        for (std::string w; words >> w;) word.push_back(w);
        if (word.empty()) continue;
        std::string head = word[0];
        std::transform(head.begin(), head.end(), head.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (head == "enabled") {
            if (word.size() != 2 || (word[1] != "yes" && word[1] != "no")) {
                fail("\"enabled\" takes yes or no");
                continue;
            }
            if (enabled != -1) fail("\"enabled\" is given twice");
            enabled = word[1] == "yes";
            continue;
        }
        auto name = std::find(std::begin(kDayNames), std::end(kDayNames), head);
        if (name == std::end(kDayNames) && head != "all") {
            fail("\"" + word[0] + "\" is not a day (sun mon tue wed thu fri sat, or all)");
            continue;
        }
        if (word.size() != 3) {
            fail("a zone is DAY HH:MM KBPS, e.g. \"mon 08:00 512\"");
            continue;
        }
        int minute = 0;
        int64_t speed = 0;
        if (!ReadClock(word[1], minute)) {
            fail("\"" + word[1] + "\" is not a time of day from 00:00 to 23:59");
            continue;
        }
        if (!ReadSpeed(word[2], speed)) {
            fail("\"" + word[2] + "\" is not a speed in KB/s (0 to 2147483647)");
            continue;
        }
        int first = head == "all" ? 0 : static_cast<int>(name - std::begin(kDayNames));
        int last = head == "all" ? CFtpThrottleData::kDays - 1 : first;
        for (int day = first; day <= last; ++day) {
            auto& zones = days[day];
            if (std::any_of(zones.begin(), zones.end(),
                            [&](const auto& z) { return z.first == minute; })) {
                fail(std::string(kDayNames[day]) + " already has a zone at " + word[1]);
                break;
            }
            if (zones.size() == kMostZonesADay) {
                fail(std::string(kDayNames[day]) + " has more than 24 zones");
                break;
            }
            zones.emplace_back(minute, speed);
        }
    }
    if (!errors.empty()) return false;
    if (enabled != -1) schedule.enabled = enabled;
    for (int day = 0; day < CFtpThrottleData::kDays; ++day) {
        std::sort(days[day].begin(), days[day].end());
        ZoneList zones;
        for (const auto& [minute, speed] : days[day]) zones.push_back({TodayAt(minute), speed});
        schedule.SetDay(day, zones);
    }
    return true;
}
