// The RFC 1123 date of the HTTP "Date" header, always in GMT.
#include <cstdio>
#include <ctime>

#include "http/http.h"

namespace {

constexpr const char* kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

template <size_t N>
constexpr const char* name_at(const char* const (&table)[N], int index) {
  return index >= 0 && static_cast<size_t>(index) < N ? table[index] : "";
}

}  // namespace

char* cg_http_date(time_t time, char* buffer) {
  if (!buffer) return nullptr;
  tm gmt{};
  if (!gmtime_r(&time, &gmt)) {
    buffer[0] = '\0';
    return buffer;
  }
  std::snprintf(buffer, CG_HTTP_DATE_SIZE, "%s, %02d %s %04lld %02d:%02d:%02d GMT",
                name_at(kWeekdays, gmt.tm_wday), gmt.tm_mday, name_at(kMonths, gmt.tm_mon),
                static_cast<long long>(gmt.tm_year) + 1900, gmt.tm_hour, gmt.tm_min, gmt.tm_sec);
  return buffer;
}
