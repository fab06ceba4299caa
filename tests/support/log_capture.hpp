#pragma once
// Captures what one named spdlog logger writes while the capture lives.

#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

class LogCapture {
public:
    explicit LogCapture(const std::string& logger_name)
        : sink_(std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(128)) {
        logger_ = spdlog::get(logger_name);
        if (!logger_) logger_ = spdlog::stderr_color_mt(logger_name);
        logger_->sinks().push_back(sink_);
    }
    ~LogCapture() {
        auto& sinks = logger_->sinks();
        sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> messages() const { return sink_->last_formatted(); }

    // Whether some message holds every one of the fragments.
    bool logged(const std::vector<std::string>& fragments) const {
        for (const auto& message : messages()) {
            if (std::all_of(fragments.begin(), fragments.end(),
                            [&](const std::string& fragment) { return message.find(fragment) != std::string::npos; })) {
                return true;
            }
        }
        return false;
    }

private:
    std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink_;
    std::shared_ptr<spdlog::logger> logger_;
};
