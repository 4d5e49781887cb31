// DescribeException gives the "Exceptions" pane's line for an exception that ended a command:
// "[" + class name + "] " + message. ServerCore and the base login decision use it.
#pragma once

#include <exception>
#include <string>

namespace zorva {

std::string DescribeException(const std::exception& error);

}  // namespace zorva
