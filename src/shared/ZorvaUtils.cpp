#include "ZorvaUtils.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace zorva {

std::string getToken(std::string& text, std::string_view separator) {
  const auto pos = separator.empty() ? std::string::npos : text.find(separator);
  if (pos == std::string::npos) {
    std::string all;
    all.swap(text);
    return all;
  }
  std::string token = text.substr(0, pos);
  text.erase(0, pos + separator.size());
  return token;
}

std::string_view getToken(std::string_view& text, char separator) {
  const auto pos = text.find(separator);
  if (pos == std::string_view::npos) {
    const auto all = text;
    text = {};
    return all;
  }
  const auto token = text.substr(0, pos);
  text.remove_prefix(pos + 1);
  return token;
}

EConvertError::EConvertError(std::string field, std::string_view value)
    : std::runtime_error("'" + std::string(value) + "' is not a valid value for " + field),
      FField(std::move(field)) {}

namespace {

// Days from 1970-01-01 for a proleptic Gregorian date (H. Hinnant's days_from_civil).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, int& year, int& month, int& day) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(static_cast<long long>(yoe) + era * 400 + (month <= 2));
}

const long long kDayZero = DaysFromCivil(1899, 12, 30);

bool IsLeap(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

bool TryDigits(std::string_view text, int maxDigits, int& value) {
  if (text.empty() || static_cast<int>(text.size()) > maxDigits) return false;
  value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

}  // namespace

TDateTime EncodeDate(int year, int month, int day) {
  return static_cast<TDateTime>(DaysFromCivil(year, month, day) - kDayZero);
}

void DecodeDate(TDateTime date, int& year, int& month, int& day) {
  CivilFromDays(static_cast<long long>(std::floor(date)) + kDayZero, year, month, day);
}

bool TryStrToInt(std::string_view text, std::int32_t& value) {
  if (text.empty() || text.front() == '+') return false;
  const auto* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end;
}

std::int32_t StrToInt(std::string_view text, const char* field) {
  std::int32_t value = 0;
  if (!TryStrToInt(text, value)) throw EConvertError(field, text);
  return value;
}

std::string DateToStr(TDateTime date) {
  int y = 0, m = 0, d = 0;
  DecodeDate(date, y, m, d);
  char buf[32];
  const int n = std::snprintf(buf, sizeof buf, "%02d/%02d/%04d", m, d, y);
  return std::string(buf, static_cast<std::size_t>(n));
}

bool TryStrToDate(std::string_view text, TDateTime& date) {
  int m = 0, d = 0, y = 0;
  if (!TryDigits(getToken(text, '/'), 2, m) || text.empty()) return false;
  if (!TryDigits(getToken(text, '/'), 2, d) || text.empty()) return false;
  if (!TryDigits(text, 4, y)) return false;
  if (y < 1 || m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, m)) return false;
  date = EncodeDate(y, m, d);
  return true;
}

TDateTime StrToDate(std::string_view text, const char* field) {
  TDateTime date = 0;
  if (!TryStrToDate(text, date)) throw EConvertError(field, text);
  return date;
}

std::string FloatToStr(double value) {
  if (value == std::trunc(value) && std::fabs(value) < 1e15) {
    return std::to_string(static_cast<long long>(value));
  }
  char buf[64];
  const auto [end, ec] =
      std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
  std::string text(buf, ec == std::errc() ? end : buf);
  const auto e = text.find('e');
  if (e == std::string::npos) return text;
  // "1.5e+15" -> "1.5E15", "1e-05" -> "1E-5"
  std::string exponent = text.substr(e + 1);
  const bool negative = !exponent.empty() && exponent.front() == '-';
  if (!exponent.empty() && (exponent.front() == '+' || exponent.front() == '-'))
    exponent.erase(0, 1);
  exponent.erase(0, std::min(exponent.find_first_not_of('0'), exponent.size() - 1));
  return text.substr(0, e) + (negative ? "E-" : "E") + exponent;
}

bool TryStrToFloat(std::string_view text, double& value) {
  if (text.empty()) return false;
  for (const char c : text) {
    const bool allowed =
        (c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '-' || c == '+';
    if (!allowed) return false;
  }
  if (text.front() == '+') return false;
  const auto* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end;
}

double StrToFloat(std::string_view text, const char* field) {
  double value = 0;
  if (!TryStrToFloat(text, value)) throw EConvertError(field, text);
  return value;
}

}  // namespace zorva
