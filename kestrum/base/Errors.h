// The error types of the whole system: every failure is one of these exceptions.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kestrum {

// Base of every error the system raises; hosts catch this one type. The one
// exception is a call that breaks its documented preconditions, a fault of the
// calling code rather than of a run's input: it raises std::logic_error
// (std::invalid_argument for arguments such as TFirStream::Filter's buffer
// sizes, MakeFirFilter's tap count), which hosts need not catch.
// what() is the message a user sees: control bytes and NUL in it, which may
// come from file names or file contents, are shown escaped (\x00) so that
// they neither cut it short nor break its line.
class EKestrum : public std::runtime_error {
public:
  explicit EKestrum(const std::string& Message);
};

// Message with every byte below 32 but the tab, and 127, written as \xHH:
// nothing in it can move a terminal's cursor to another line or reprogram it.
std::string EscapeControl(const std::string& Message);

// A failed file operation. ErrorCode() is the operating system's error code
// (errno), or 0 when the failure is about the file's content rather than the
// system call. The message names the operation and the file.
class EInOutError : public EKestrum {
public:
  EInOutError(int ErrorCode, const std::string& Message);

  // "cannot open 'x.wav' for reading: No such file or directory" from the
  // operation, the file, the purpose (may be empty) and the code's system text.
  static EInOutError FromErrno(int ErrorCode, const std::string& Operation,
                               const std::string& FileName, const std::string& Purpose = "");

  int ErrorCode() const noexcept { return FErrorCode; }

private:
  int FErrorCode;
};

// An error of the system's own, with a message and nothing else.
class EGeneralError : public EKestrum {
public:
  using EKestrum::EKestrum;
};

// Arithmetic overflow, or a float-to-integer conversion out of range.
class EMathError : public EKestrum {
public:
  // Frame: the frame of the run whose sum failed, -1 when none.
  explicit EMathError(const std::string& Message, int64_t Frame = -1) : EKestrum(Message), FFrame(Frame) {}

  int64_t Frame() const noexcept { return FFrame; }

private:
  int64_t FFrame;
};

// The error of a sample that is not a finite number, which fails every sum
// that holds it: "frame 42 holds a sample that is not a finite number; it
// cannot be filtered", after "Signal: " when Signal (a file's name) is given.
// Shown: the frame's number in the message (a file's own); Frame: its number
// as EMathError::Frame counts it, the first frame filtered being 0 (Shown
// when -1).
EMathError NonFiniteSampleError(int64_t Shown, const std::string& Signal = "", int64_t Frame = -1);

// A run stopped because a stop was requested (kestrum/base/Stop.h).
class EStopped : public EKestrum {
public:
  using EKestrum::EKestrum;
};

}  // namespace kestrum
