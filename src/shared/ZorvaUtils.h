// The field tokenizer and the text conversions shared by every text form of the system
// (protocol lines, user and statistics records, info tokens). Used by both deliverables.
//
//   std::string line = "a|b|c";
//   getToken(line, "|");  // "a", line == "b|c"
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zorva {

// Cuts the text before the first separator off `text` and returns it; the separator is removed
// too. Without a separator (or with an empty text or separator) returns the whole text and
// leaves `text` empty. Never fails.
std::string getToken(std::string& text, std::string_view separator);

// The same contract on a view, for parsers that must not copy: `text` is advanced past the
// token and its separator.
std::string_view getToken(std::string_view& text, char separator);

// Raised when a field of a text form is not a number or a date. `Field()` names the field so
// that a caller can report which part of the text was bad.
class EConvertError : public std::runtime_error {
 public:
  EConvertError(std::string field, std::string_view value);
  const std::string& Field() const { return FField; }

 private:
  std::string FField;
};

// Day number as a double, day 0 = 30 December 1899; only the whole part is used for dates.
using TDateTime = double;

TDateTime EncodeDate(int year, int month, int day);
void DecodeDate(TDateTime date, int& year, int& month, int& day);

// Plain decimal integer text: optional minus sign, digits, within 32 bits. Empty is not a number.
bool TryStrToInt(std::string_view text, std::int32_t& value);
std::int32_t StrToInt(std::string_view text, const char* field);

// Dates travel as "mm/dd/yyyy" whatever the locale of either end, so that both read each other.
std::string DateToStr(TDateTime date);
bool TryStrToDate(std::string_view text, TDateTime& date);
TDateTime StrToDate(std::string_view text, const char* field);

// General format: shortest text with at most 15 significant digits; whole numbers below 10^15
// as plain digits, larger ones as "1.5E15". The decimal separator is always ".".
std::string FloatToStr(double value);
bool TryStrToFloat(std::string_view text, double& value);
double StrToFloat(std::string_view text, const char* field);

}  // namespace zorva
