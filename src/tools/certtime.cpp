// Time texts of certificates and signatures: conversion to epoch seconds
// and to display text.
#include <openssl/bio.h>

#include "misc/ossl.h"
#include "tools/certtools.h"

namespace zmr {
namespace {

bool digits(std::string_view text, size_t from, size_t count, int& value) {
  value = 0;
  for (size_t i = from; i < from + count; ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

bool leapyear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t daysfromcivil(int64_t y, int m, int d) {
  y -= m <= 2 ? 1 : 0;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

}  // namespace

// Pure arithmetic: no gmtime, no time zone, no shared state.
bool gentimetotime(std::string_view text, int64_t& seconds) {
  if (text.size() < 15 || text.back() != 'Z') return false;
  if (text.size() > 15) {
    // A fraction of seconds: '.' or ',' and at least one digit before 'Z'.
    if (text.size() < 17 || (text[14] != '.' && text[14] != ',')) return false;
    for (size_t i = 15; i + 1 < text.size(); ++i)
      if (text[i] < '0' || text[i] > '9') return false;
  }
  int year, month, day, hour, minute, second;
  if (!digits(text, 0, 4, year) || !digits(text, 4, 2, month) || !digits(text, 6, 2, day) ||
      !digits(text, 8, 2, hour) || !digits(text, 10, 2, minute) || !digits(text, 12, 2, second))
    return false;
  static constexpr int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1) return false;
  int mdays = kMonthDays[month - 1] + (month == 2 && leapyear(year) ? 1 : 0);
  if (day > mdays || hour > 23 || minute > 59 || second > 59) return false;
  seconds = daysfromcivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  return true;
}

bool asn1timetotime(const ASN1_TIME* time, int64_t& seconds) {
  if (time == nullptr) return false;
  GeneralizedTimePtr g(ASN1_TIME_to_generalizedtime(time, nullptr));
  if (!g) return false;
  return gentimetotime(std::string_view(reinterpret_cast<const char*>(ASN1_STRING_get0_data(g.get())),
                                        static_cast<size_t>(ASN1_STRING_length(g.get()))),
                       seconds);
}

bool gentimetostring(const ASN1_GENERALIZEDTIME* time, std::string& out) {
  if (time == nullptr) return false;
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || ASN1_GENERALIZEDTIME_print(bio.get(), time) != 1) return false;
  char* data = nullptr;
  long n = BIO_get_mem_data(bio.get(), &data);
  if (n <= 0) return false;
  out.assign(data, static_cast<size_t>(n));
  return true;
}

}  // namespace zmr
