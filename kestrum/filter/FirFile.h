// Reads FIR filter files: a comment line, a tap count, then one delay and one
// coefficient per tap.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrum {

// Capacity of the tap tables; a file that declares more taps is refused.
constexpr int FIR_MAX_TAPS = 1000;
// Bounds of a filter file, so that a device or a huge file given by mistake
// fails at once: the longest line, and the most bytes read before the last tap.
constexpr size_t kFirMaxLineLength = 4096;
constexpr size_t kFirMaxFileBytes = size_t{4} << 20;

// Frames of history the filter sees per channel: a delay is taken modulo
// this, so the delay a tap applies is its low 14 bits, 0 to 16383.
constexpr int FIR_HISTORY_SIZE = 16384;
constexpr uint32_t FIR_HISTORY_MASK = 0x3FFF;

// The delay, in frames, that a tap of written delay Delay applies.
constexpr int32_t EffectiveDelay(int32_t Delay) {
  return static_cast<int32_t>(static_cast<uint32_t>(Delay) & FIR_HISTORY_MASK);
}

// What a reading produces. Only the first NbTaps entries of the tables are
// defined, and only when NbTaps is positive.
struct TFirFilter {
  std::string FilterComment;  // the whole first line, without its line end
  int32_t NbTaps = 0;         // the tap count as written; 0 or less: no taps
  std::array<int32_t, FIR_MAX_TAPS> Delays{};  // in frames, stored as written
  std::array<float, FIR_MAX_TAPS> Coefs{};     // rounded to nearest single
};

// The text of a filter file holding Filter's comment, its tap count and one
// "delay coefficient" line per tap, each coefficient in the fewest digits
// that read back to the same float. LF line ends; a comment holding a line
// end would not read back, so it is cut there.
std::string FormatFirFile(const TFirFilter& Filter);

// Reads one filter file in two halves, so that a run can log the comment and
// the tap count before the taps are read:
//
//   TFirFileReader Fir = TFirFileReader::FromFile(Name);
//   Fir.ReadHead(Filter);   // comment and tap count
//   ... log ...
//   Fir.ReadTaps(Filter);   // the taps
//
// Line ends are CR LF or LF. White space is blank and tab; a number ends at
// white space or a line end; anything after the last number a line needs is
// ignored. Every error names the file and the line, e.g.
// "lowpass.fir, line 7: expected a coefficient (tap 5 of 8), found 'abc'".
//
// The file is read line by line as the parse needs it, never past the line
// of the last tap (but for one buffer of read-ahead), and within the bounds
// above; a file that begins like a WAV file is refused as one. Reading polls
// CheckStop (kestrum/base/Stop.h).
class TFirFileReader {
public:
  // Opens the file. Throws EInOutError when it cannot be opened; reading and
  // closing errors come from ReadHead and ReadTaps.
  static TFirFileReader FromFile(const std::string& FileName);

  // Reads File, called Name in messages, from where it stands, taking it
  // over; Head holds the bytes already read from it, which come first.
  static TFirFileReader FromOpenFile(std::FILE* File, std::string Name, std::string Head);

  // Parses Text as if it were the content of a file called Name (used in
  // error messages). Never touches the file system.
  static TFirFileReader FromText(std::string Text, std::string Name);

  // Fills FilterComment and NbTaps. Throws EInOutError when the tap count is
  // missing or not a 32-bit integer. Warns about a count of 0 or less (the
  // output is silent) and about a number after the count on its line (a file
  // that lacks its count line reads the first tap's delay as the count).
  void ReadHead(TFirFilter& Filter);

  // Fills Delays and Coefs for the NbTaps that ReadHead found (none when 0 or
  // less), then closes the file. Throws EInOutError for a count above
  // FIR_MAX_TAPS, a token that is not a number, or a file that ends before
  // all its taps are read; throws EMathError for a coefficient beyond single
  // precision's range. Warns about delays outside 0 to FIR_HISTORY_SIZE - 1,
  // saying the delay used, and, once, about lines after the last tap that
  // look like taps (among those read ahead already).
  void ReadTaps(TFirFilter& Filter);

  // The warnings of the reads so far that have not been taken yet, each
  // naming the file and the line, e.g. "f.fir, line 2: the tap count is 0:
  // the filter has no taps and the output is silent".
  std::vector<std::string> TakeWarnings();

private:
  struct TFileCloser {
    void operator()(std::FILE* File) const { std::fclose(File); }
  };

  TFirFileReader(std::string Text, std::string Name);

  bool Fill();
  bool ReadLine();

  std::string_view NextToken();
  void SkipToNextLine();
  int32_t ReadInteger(const std::string& Noun, const std::string& Tap);
  float ReadCoefficient(const std::string& Tap);
  std::string Where(int Line) const;
  void WarnAboutCountLine(int32_t NbTaps);
  void WarnAboutExtraTaps(int32_t NbTaps);

  std::unique_ptr<std::FILE, TFileCloser> FFile;  // null for text, or once closed
  std::string FRaw;     // bytes read from the file and not yet taken as lines
  size_t FRawPos = 0;   // first byte of FRaw not yet taken
  size_t FBytesRead = 0;
  int FLinesRead = 0;
  std::string FText;    // the lines taken so far, line ends included
  std::string FName;
  size_t FPos = 0;     // next character to read in FText
  int FLine = 1;       // line of FText[FPos], from 1
  int FCountLine = 0;  // line of the tap count, for ReadTaps' messages
  bool FCountLineSuspect = false;  // it holds more than one number
  std::vector<std::string> FWarnings;
};

// One tap of a filter built in code: a delay in frames and a coefficient.
struct TFirTap {
  int32_t Delay = 0;
  float Coef = 0.0f;
};

// The filter of these taps, in this order. Throws std::invalid_argument for
// more than FIR_MAX_TAPS taps or a coefficient that is not finite.
TFirFilter MakeFirFilter(std::span<const TFirTap> Taps, std::string Comment = "");
// The whole filter in FileName, or in Text read as a file called Name; throws
// as TFirFileReader does.
TFirFilter ReadFirFilter(const std::string& FileName);
TFirFilter ParseFirFilter(std::string Text, std::string Name);

// The rules of reading a WAV file's samples as a filter's taps, for every
// reader of an impulse response. Channels count from 1; Every: 0 may name
// every channel. Throws EGeneralError "x.wav has 2 channels, no channel 3"
// for a channel the file lacks.
void CheckImpulseChannel(const std::string& FileName, int Channels, int Channel, bool Every);
// Throws EGeneralError for the sample Sample at Frame of FileName, which is
// not a finite number: "x.wav: frame 5 holds a sample that is not a finite
// number (nan); a filter's taps must be finite".
[[noreturn]] void ThrowNonFiniteTap(const std::string& FileName, int64_t Frame, double Sample);

}  // namespace kestrum
