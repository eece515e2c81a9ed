// Numbers as the reports, the progress lines and the benchmark's tables write them: a fixed count
// of decimals, rounded to the nearest.
#pragma once

#include <string>

namespace support {

std::string fixed_decimal(double value, int decimals);

} // namespace support
