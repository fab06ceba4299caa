#include "korvex/utils/named_logger.hpp"

#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <mutex>

namespace korvex {

std::shared_ptr<spdlog::logger> named_logger(const std::string& name) {
    // spdlog refuses a second logger of one name: two threads asking first must not both make it.
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    if (auto existing = spdlog::get(name)) return existing;
    return spdlog::stderr_color_mt(name);
}

}  // namespace korvex
