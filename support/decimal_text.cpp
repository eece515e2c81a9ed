// Fixed-decimal numbers (see decimal_text.h).
#include "decimal_text.h"

#include <cstdio>

namespace support {

std::string fixed_decimal(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

} // namespace support
