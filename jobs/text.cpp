#include "jobs/text.h"

#include <cstdio>
#include <ctime>

namespace jobs {

std::string human_bytes(uint64_t bytes)
{
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double v = static_cast<double>(bytes);
    int u = 0;
    while (v >= 1024 && u < 4) {
        v /= 1024;
        u++;
    }
    char buf[32];
    snprintf(buf, sizeof buf, u ? "%.1f %s" : "%.0f %s", v, units[u]);
    return buf;
}

std::string rate(double bytes_per_second)
{
    return human_bytes(static_cast<uint64_t>(bytes_per_second)) + "/s";
}

std::string seconds_text(double s)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%.3f s", s);
    return buf;
}

namespace {
std::string time_text(int64_t t, struct tm* (*split)(const time_t*, struct tm*))
{
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    split(&tt, &tm);
    char buf[32];
    strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}
} // namespace

std::string utc_time(int64_t t) { return time_text(t, gmtime_r); }
std::string local_time(int64_t t) { return time_text(t, localtime_r); }

} // namespace jobs
