// Numbers as the tool prints them.
#pragma once

#include <cstdint>
#include <string>

namespace meshjobs::tool {

std::string Grouped(int64_t value);  // "1,234,567"
std::string Number(double value);    // three significant digits

}  // namespace meshjobs::tool
