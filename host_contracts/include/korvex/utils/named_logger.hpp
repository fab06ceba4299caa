#pragma once
// The loggers of the host and its modules, each named after its module path.

#include <spdlog/logger.h>

#include <memory>
#include <string>

namespace korvex {

// The logger named `name`, made on first use (writing to standard error) and shared afterwards;
// one a host made under that name before is used as it is.
std::shared_ptr<spdlog::logger> named_logger(const std::string& name);

}  // namespace korvex
