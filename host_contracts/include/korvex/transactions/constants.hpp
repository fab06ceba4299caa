#pragma once

namespace korvex {

inline constexpr const char* TRANSACTION_CLASS_NAME = "Transaction";

}  // namespace korvex
