// Builds the messages of the system's errors.
#include "base/Errors.h"

#include <cstring>

namespace kestrum {

EInOutError::EInOutError(int ErrorCode, const std::string& Message)
    : EKestrum(Message), FErrorCode(ErrorCode) {}

EInOutError EInOutError::FromErrno(int ErrorCode, const std::string& Operation,
                                   const std::string& FileName, const std::string& Purpose) {
  return EInOutError(ErrorCode, Operation + " '" + FileName + "'" + (Purpose.empty() ? "" : " ") +
                                    Purpose + ": " + std::strerror(ErrorCode));
}

}  // namespace kestrum
