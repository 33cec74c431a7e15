// Figures as the kestrel command prints them.
#pragma once

#include <cstdint>
#include <string>

namespace jobs {

// "1.5 MiB" and the like.
std::string human_bytes(uint64_t bytes);
// "12.3 MiB/s".
std::string rate(double bytes_per_second);
// "0.012 s".
std::string seconds_text(double s);
// "2026-12-08 05:35:52" (UTC) of seconds since the epoch.
std::string utc_time(int64_t t);
// The same in the machine's local time zone.
std::string local_time(int64_t t);

} // namespace jobs
