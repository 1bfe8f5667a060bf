// Parses FIR filter files token by token, keeping the line for error messages.
#include "kestrum/filter/FirFile.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <utility>

#include <unistd.h>

#include "kestrum/base/Errors.h"
#include "kestrum/base/FloatEnv.h"
#include "kestrum/base/Stop.h"

namespace kestrum {

namespace {

bool IsBlank(char C) { return C == ' ' || C == '\t'; }

bool IsDigit(char C) { return C >= '0' && C <= '9'; }

// Length of the line end at Pos: 1 for LF, 2 for CR LF, 0 for none. A lone
// CR is an ordinary character.
size_t LineEndLength(std::string_view Text, size_t Pos) {
  if (Pos < Text.size() && Text[Pos] == '\n') return 1;
  if (Pos + 1 < Text.size() && Text[Pos] == '\r' && Text[Pos + 1] == '\n') return 2;
  return 0;
}

// A plain decimal real: [-]digits[.digits][(e|E)[+|-]digits], with at least
// one mantissa digit. Checked here because from_chars also takes inf and nan.
bool IsDecimalReal(std::string_view S) {
  size_t I = 0;
  size_t Digits = 0;
  auto SkipDigits = [&] {
    const size_t Start = I;
    while (I < S.size() && IsDigit(S[I])) ++I;
    return I - Start;
  };
  if (I < S.size() && S[I] == '-') ++I;
  Digits += SkipDigits();
  if (I < S.size() && S[I] == '.') {
    ++I;
    Digits += SkipDigits();
  }
  if (Digits == 0) return false;
  if (I < S.size() && (S[I] == 'e' || S[I] == 'E')) {
    ++I;
    if (I < S.size() && (S[I] == '+' || S[I] == '-')) ++I;
    if (SkipDigits() == 0) return false;
  }
  return I == S.size();
}

// Whether a decimal real that is out of float's range is below 1 in magnitude,
// i.e. underflows rather than overflows: the power of ten of its first non-zero
// digit is negative. Exponents are clamped far beyond any float's, which keeps
// the sign right and the sum below from overflowing.
bool IsTiny(std::string_view S) {
  const size_t ExpAt = std::min(S.find_first_of("eE"), S.size());
  const std::string_view Mantissa = S.substr(0, ExpAt);
  const size_t First = Mantissa.find_first_of("123456789");
  if (First == std::string_view::npos) return true;
  const size_t Point = std::min(Mantissa.find('.'), Mantissa.size());
  long long Order = First < Point ? static_cast<long long>(Point - First) - 1
                                  : -static_cast<long long>(First - Point);
  if (ExpAt < S.size()) {
    std::string_view Exp = S.substr(ExpAt + 1);
    const bool Negative = Exp[0] == '-';
    if (Exp[0] == '-' || Exp[0] == '+') Exp.remove_prefix(1);
    long long Value = 0;
    constexpr long long kFar = 1'000'000'000'000'000'000;  // far beyond any float
    if (std::from_chars(Exp.data(), Exp.data() + Exp.size(), Value).ec != std::errc{} || Value > kFar)
      Value = kFar;
    Order += Negative ? -Value : Value;
  }
  return Order < 0;
}

// How a token appears in a message: quoted and cut short, or "end of file".
std::string Found(std::string_view Token) {
  if (Token.empty()) return "end of file";
  constexpr size_t kMaxShown = 40;
  if (Token.size() > kMaxShown) return "'" + std::string(Token.substr(0, kMaxShown)) + "...'";
  return "'" + std::string(Token) + "'";
}

}  // namespace

TFirFileReader::TFirFileReader(std::string Text, std::string Name)
    : FRaw(std::move(Text)), FName(std::move(Name)) {}

TFirFileReader TFirFileReader::FromFile(const std::string& FileName) {
  TFirFileReader Reader("", FileName);
  Reader.FFile.reset(std::fopen(FileName.c_str(), "rb"));
  if (!Reader.FFile) {
    const int Error = errno;
    CheckStop();  // opening a FIFO waits for its writer: a stop ends the wait
    throw EInOutError::FromErrno(Error, "cannot open", FileName, "for reading");
  }
  return Reader;
}

TFirFileReader TFirFileReader::FromOpenFile(std::FILE* File, std::string Name, std::string Head) {
  TFirFileReader Reader(std::move(Head), std::move(Name));
  Reader.FFile.reset(File);
  Reader.FBytesRead = Reader.FRaw.size();
  return Reader;
}

TFirFileReader TFirFileReader::FromText(std::string Text, std::string Name) {
  return TFirFileReader(std::move(Text), std::move(Name));
}

// Appends the next block of the file to FRaw; false at its end.
bool TFirFileReader::Fill() {
  if (!FFile) return false;
  CheckStop();
  FRaw.erase(0, FRawPos);
  FRawPos = 0;
  char Buffer[4096];
  // read, not fread: from a pipe, take what is there rather than wait for a
  // whole buffer beyond the last tap.
  ssize_t Count;
  while ((Count = read(fileno(FFile.get()), Buffer, sizeof Buffer)) < 0) {
    const int Error = errno;
    CheckStop();  // a stop ends a wait for a slow writer
    // On Linux a directory opens fine and fails here, with EISDIR.
    if (Error != EINTR) throw EInOutError::FromErrno(Error, "cannot read", FName);
  }
  FRaw.append(Buffer, static_cast<size_t>(Count));
  FBytesRead += static_cast<size_t>(Count);
  if (FBytesRead > kFirMaxFileBytes)
    throw EInOutError(0, FName + ": more than " + std::to_string(kFirMaxFileBytes >> 20) +
                             " MiB before the last tap; not a filter file");
  return Count > 0;
}

// Moves the next line of the file, line end included, from FRaw to FText;
// false at the end of the file.
bool TFirFileReader::ReadLine() {
  for (;;) {
    const size_t End = FRaw.find('\n', FRawPos);
    const size_t Length = (End == std::string::npos ? FRaw.size() : End) - FRawPos;
    if (Length > kFirMaxLineLength)
      throw EInOutError(0, Where(FLinesRead + 1) + "line longer than " +
                               std::to_string(kFirMaxLineLength) + " bytes; not a filter file");
    if (End != std::string::npos || !Fill()) {
      if (End == std::string::npos && FRawPos == FRaw.size()) return false;
      const size_t Taken = End == std::string::npos ? FRaw.size() : End + 1;
      FText.append(FRaw, FRawPos, Taken - FRawPos);
      FRawPos = Taken;
      ++FLinesRead;
      return true;
    }
  }
}

void TFirFileReader::ReadHead(TFirFilter& Filter) {
  while (FRaw.size() - FRawPos < 12 && Fill()) {}
  if (FRaw.compare(FRawPos, 4, "RIFF") == 0 && FRaw.size() - FRawPos >= 12 &&
      FRaw.compare(FRawPos + 8, 4, "WAVE") == 0)
    throw EInOutError(0, FName + " is a WAV file, not a filter file; the order is SOURCE TARGET FILTER");
  ReadLine();
  const size_t End = FText.find('\n');
  Filter.FilterComment = FText.substr(0, End);
  if (End == std::string::npos) {
    FPos = FText.size();
  } else {
    if (!Filter.FilterComment.empty() && Filter.FilterComment.back() == '\r')
      Filter.FilterComment.pop_back();
    FPos = End + 1;
    FLine = 2;
  }
  Filter.NbTaps = ReadInteger("tap count", "");
  FCountLine = FLine;
  WarnAboutCountLine(Filter.NbTaps);
  SkipToNextLine();
}

// FPos is just after the tap count.
void TFirFileReader::WarnAboutCountLine(int32_t NbTaps) {
  if (NbTaps <= 0)
    FWarnings.push_back(Where(FCountLine) + "the tap count is " + std::to_string(NbTaps) +
                        ": the filter has no taps and the output is silent");
  const size_t Newline = FText.rfind('\n', FPos - 1);
  const size_t Start = Newline == std::string::npos ? 0 : Newline + 1;
  size_t End = std::min(FText.find('\n', FPos), FText.size());
  if (End > Start && FText[End - 1] == '\r') --End;
  size_t Next = FPos;
  while (Next < End && IsBlank(FText[Next])) ++Next;
  size_t NextEnd = Next;
  while (NextEnd < End && !IsBlank(FText[NextEnd])) ++NextEnd;
  FCountLineSuspect = IsDecimalReal(std::string_view(FText).substr(Next, NextEnd - Next));
  if (FCountLineSuspect)
    FWarnings.push_back(Where(FCountLine) + "the tap count line " + Found(FText.substr(Start, End - Start)) +
                        " holds more than one number; is the tap count line missing?");
}

void TFirFileReader::ReadTaps(TFirFilter& Filter) {
  // Coefficients are read as the default environment reads them: the
  // parse's arithmetic rounds in the thread's mode, and FTZ/DAZ would turn
  // a subnormal one into 0.
  const TDefaultFloatEnv Env;
  if (Filter.NbTaps > FIR_MAX_TAPS)
    throw EInOutError(0, Where(FCountLine) + std::to_string(Filter.NbTaps) + " taps, at most " +
                             std::to_string(FIR_MAX_TAPS) + " are supported");
  // A filter whose delays are all odd gets a few examples, then a count.
  constexpr int kMaxDelayWarnings = 3;
  int OddDelays = 0;
  for (int32_t I = 0; I < Filter.NbTaps; ++I) {
    const std::string Tap =
        " (tap " + std::to_string(I + 1) + " of " + std::to_string(Filter.NbTaps) + ")";
    Filter.Delays[I] = ReadInteger("delay", Tap);
    const int32_t Used = EffectiveDelay(Filter.Delays[I]);
    if (Used != Filter.Delays[I] && ++OddDelays <= kMaxDelayWarnings)
      FWarnings.push_back(Where(FLine) + "delay " + std::to_string(Filter.Delays[I]) + Tap + " is outside 0 to " +
                          std::to_string(FIR_HISTORY_MASK) + ": it is taken modulo " +
                          std::to_string(FIR_HISTORY_SIZE) + " and " + std::to_string(Used) + " is used");
    Filter.Coefs[I] = ReadCoefficient(Tap);
    SkipToNextLine();
  }
  WarnAboutExtraTaps(Filter.NbTaps);
  if (FFile && std::fclose(FFile.release()) != 0) throw EInOutError::FromErrno(errno, "cannot close", FName);
  if (OddDelays > kMaxDelayWarnings)
    FWarnings.push_back(FName + ": " + std::to_string(OddDelays - kMaxDelayWarnings) +
                        " more taps have delays outside 0 to " + std::to_string(FIR_HISTORY_MASK));
}

// FPos is at the line after the last tap. Looks at what has been read
// already, without waiting for more.
void TFirFileReader::WarnAboutExtraTaps(int32_t NbTaps) {
  const std::string Rest = FText.substr(FPos) + FRaw.substr(FRawPos);
  int Line = FLine, First = 0, Count = 0;
  for (size_t Start = 0; Start < Rest.size(); ++Line) {
    const size_t End = std::min(Rest.find('\n', Start), Rest.size());
    std::string_view Tokens[2];
    size_t Pos = Start;
    for (std::string_view& Token : Tokens) {
      while (Pos < End && (IsBlank(Rest[Pos]) || Rest[Pos] == '\r')) ++Pos;
      const size_t TokenStart = Pos;
      while (Pos < End && !IsBlank(Rest[Pos]) && Rest[Pos] != '\r') ++Pos;
      Token = std::string_view(Rest).substr(TokenStart, Pos - TokenStart);
    }
    int32_t Delay = 0;
    const char* Last = Tokens[0].data() + Tokens[0].size();
    const auto Parsed = std::from_chars(Tokens[0].data(), Last, Delay);
    if (!Tokens[0].empty() && Parsed.ec == std::errc{} && Parsed.ptr == Last && IsDecimalReal(Tokens[1]) &&
        Count++ == 0)
      First = Line;
    Start = End + 1;
  }
  // A count line that is suspect already (it holds the first tap) says enough.
  if (Count > 0 && NbTaps > 0 && !FCountLineSuspect)
    FWarnings.push_back(Where(First) + std::to_string(Count) + (Count == 1 ? " line" : " lines") +
                        " after the " + std::to_string(std::max(NbTaps, 0)) +
                        (NbTaps == 1 ? " tap" : " taps") + " that the count declares " +
                        (Count == 1 ? "looks like a tap and is" : "look like taps and are") +
                        " ignored; is the tap count right?");
}

std::vector<std::string> TFirFileReader::TakeWarnings() { return std::exchange(FWarnings, {}); }

// Skips blanks, tabs and line ends, then takes characters up to the next
// blank, tab or line end. Empty only at the end of the text.
std::string_view TFirFileReader::NextToken() {
  for (;;) {
    if (FPos == FText.size() && !ReadLine()) break;
    if (IsBlank(FText[FPos])) {
      ++FPos;
    } else if (const size_t Length = LineEndLength(FText, FPos)) {
      FPos += Length;
      ++FLine;
    } else {
      break;
    }
  }
  const size_t Start = FPos;
  while (FPos < FText.size() && !IsBlank(FText[FPos]) && LineEndLength(FText, FPos) == 0) ++FPos;
  return std::string_view(FText).substr(Start, FPos - Start);
}

void TFirFileReader::SkipToNextLine() {
  const size_t End = FText.find('\n', FPos);
  if (End == std::string::npos) {
    FPos = FText.size();
  } else {
    FPos = End + 1;
    ++FLine;
  }
}

int32_t TFirFileReader::ReadInteger(const std::string& Noun, const std::string& Tap) {
  const std::string_view Token = NextToken();
  const char* Last = Token.data() + Token.size();
  int32_t Value = 0;
  const auto [End, Error] = std::from_chars(Token.data(), Last, Value);
  if (Error == std::errc::invalid_argument || End != Last)
    throw EInOutError(0, Where(FLine) + "expected a " + Noun + Tap + ", found " + Found(Token));
  if (Error == std::errc::result_out_of_range)
    throw EInOutError(0, Where(FLine) + Noun + " " + std::string(Token) + Tap +
                             " does not fit in 32 bits");
  return Value;
}

float TFirFileReader::ReadCoefficient(const std::string& Tap) {
  const std::string_view Token = NextToken();
  if (!IsDecimalReal(Token))
    throw EInOutError(0, Where(FLine) + "expected a coefficient" + Tap + ", found " + Found(Token));
  // Straight to float: going through double would round twice.
  float Value = 0;
  if (std::from_chars(Token.data(), Token.data() + Token.size(), Value).ec ==
      std::errc::result_out_of_range) {
    if (IsTiny(Token)) return Token[0] == '-' ? -0.0f : 0.0f;
    throw EMathError(Where(FLine) + "coefficient " + std::string(Token) + Tap +
                     " is beyond single precision");
  }
  return Value;
}

std::string FormatFirFile(const TFirFilter& Filter) {
  const TDefaultFloatEnv Env;  // the shortest digits that read back there
  std::string Text = Filter.FilterComment.substr(0, Filter.FilterComment.find_first_of("\r\n"));
  Text += "\n" + std::to_string(Filter.NbTaps) + "\n";
  for (int32_t I = 0; I < std::min(Filter.NbTaps, FIR_MAX_TAPS); ++I) {
    char Coef[32];
    const auto End = std::to_chars(Coef, Coef + sizeof Coef, Filter.Coefs[I]).ptr;
    Text += std::to_string(Filter.Delays[I]) + " " + std::string(Coef, End) + "\n";
  }
  return Text;
}

std::string TFirFileReader::Where(int Line) const {
  return FName + ", line " + std::to_string(Line) + ": ";
}

TFirFilter MakeFirFilter(std::span<const TFirTap> Taps, std::string Comment) {
  if (Taps.size() > static_cast<size_t>(FIR_MAX_TAPS))
    throw std::invalid_argument(std::to_string(Taps.size()) + " taps, at most " +
                                std::to_string(FIR_MAX_TAPS) + " allowed");
  for (size_t I = 0; I < Taps.size(); ++I)
    if (!std::isfinite(Taps[I].Coef))
      throw std::invalid_argument("coefficient " + std::to_string(Taps[I].Coef) + " of tap " + std::to_string(I + 1) +
                                  " of " + std::to_string(Taps.size()) + " is not a finite number");
  TFirFilter Filter;
  Filter.FilterComment = std::move(Comment);
  Filter.NbTaps = static_cast<int32_t>(Taps.size());
  for (size_t I = 0; I < Taps.size(); ++I) {
    Filter.Delays[I] = Taps[I].Delay;
    Filter.Coefs[I] = Taps[I].Coef;
  }
  return Filter;
}

namespace {

TFirFilter ReadWhole(TFirFileReader Fir) {
  TFirFilter Filter;
  Fir.ReadHead(Filter);
  Fir.ReadTaps(Filter);
  return Filter;
}

}  // namespace

TFirFilter ReadFirFilter(const std::string& FileName) { return ReadWhole(TFirFileReader::FromFile(FileName)); }

TFirFilter ParseFirFilter(std::string Text, std::string Name) {
  return ReadWhole(TFirFileReader::FromText(std::move(Text), std::move(Name)));
}

void CheckImpulseChannel(const std::string& FileName, int Channels, int Channel, bool Every) {
  if (Channel >= (Every ? 0 : 1) && Channel <= Channels) return;
  throw EGeneralError(FileName + " has " + std::to_string(Channels) + (Channels == 1 ? " channel" : " channels") +
                      ", no channel " + std::to_string(Channel));
}

void ThrowNonFiniteTap(const std::string& FileName, int64_t Frame, double Sample) {
  throw EGeneralError(FileName + ": frame " + std::to_string(Frame) +
                      " holds a sample that is not a finite number (" +
                      (std::isnan(Sample) ? "nan" : Sample > 0 ? "inf" : "-inf") + "); a filter's taps must be finite");
}

}  // namespace kestrum
