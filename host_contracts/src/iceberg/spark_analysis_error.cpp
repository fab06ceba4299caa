#include "korvex/iceberg/spark_analysis_error.hpp"

namespace korvex {

// The out-of-line destructors anchor each class's type information in the host library, so a
// plug-in catches the error that another library throws.
AnalysisException::AnalysisException(const std::string& message, std::string error_class, std::string sql_state)
    : Error(message), error_class_(std::move(error_class)), sql_state_(std::move(sql_state)) {}
AnalysisException::~AnalysisException() = default;
ConnectAnalysisException::~ConnectAnalysisException() = default;
CapturedAnalysisException::~CapturedAnalysisException() = default;

}  // namespace korvex
