#include "winpe/option_values.h"

namespace {

// Splits at the first "%": the text before it, and the rest after it.
bool SplitAtPercent(const std::string& value, std::string& before, std::string& after) {
  const std::size_t percent = value.find('%');
  before = value.substr(0, percent);
  after = percent == std::string::npos ? "" : value.substr(percent + 1);
  return percent != std::string::npos;
}

}  // namespace

StartValue ParseStartPackage(const std::string& value) {
  StartValue parsed;
  parsed.hasPercent = SplitAtPercent(value, parsed.package, parsed.executable);
  return parsed;
}

StartValue ParseVncValue(const std::string& value) {
  StartValue parsed = ParseStartPackage(value);
  const std::string rest = parsed.executable;
  parsed.hasPasswordField = SplitAtPercent(rest, parsed.executable, parsed.password);
  return parsed;
}

std::string VncValueText(const StartValue& value) {
  return value.package + "%" + value.executable +
         (value.password.empty() ? "" : "%" + value.password);
}

Placement ParsePlacement(const std::string& value) {
  Placement parsed;
  SplitAtPercent(value, parsed.local, parsed.place);
  return parsed;
}
