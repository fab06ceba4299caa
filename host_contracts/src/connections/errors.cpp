#include "korvex/connections/errors.hpp"

namespace korvex {

std::exception_ptr cause_of(const std::exception& error) {
    if (const auto* nested = dynamic_cast<const std::nested_exception*>(&error)) {
        return nested->nested_ptr();
    }
    return nullptr;
}

}  // namespace korvex
