// Builds the messages of the system's errors.
#include "kestrum/base/Errors.h"

#include <cstring>

namespace kestrum {

std::string EscapeControl(const std::string& Message) {
  std::string Out;
  Out.reserve(Message.size());
  for (const char C : Message) {
    const auto Byte = static_cast<unsigned char>(C);
    if ((Byte >= 32 && Byte != 127) || C == '\t') {
      Out += C;
      continue;
    }
    static const char kHex[] = "0123456789abcdef";
    Out += {'\\', 'x', kHex[Byte >> 4], kHex[Byte & 15]};
  }
  return Out;
}

EKestrum::EKestrum(const std::string& Message) : std::runtime_error(EscapeControl(Message)) {}

EInOutError::EInOutError(int ErrorCode, const std::string& Message)
    : EKestrum(Message), FErrorCode(ErrorCode) {}

EInOutError EInOutError::FromErrno(int ErrorCode, const std::string& Operation,
                                   const std::string& FileName, const std::string& Purpose) {
  return EInOutError(ErrorCode, Operation + " '" + FileName + "'" + (Purpose.empty() ? "" : " ") +
                                    Purpose + ": " + std::strerror(ErrorCode));
}

EMathError NonFiniteSampleError(int64_t Shown, const std::string& Signal, int64_t Frame) {
  return EMathError((Signal.empty() ? "" : Signal + ": ") + "frame " + std::to_string(Shown) +
                        " holds a sample that is not a finite number; it cannot be filtered",
                    Frame < 0 ? Shown : Frame);
}

}  // namespace kestrum
