// TKestrum, the component that filters one WAV file into another through an
// FIR filter read from a .fir file or from a WAV impulse response.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kestrum/base/Component.h"
#include "kestrum/filter/Filter.h"
#include "kestrum/kernel/Engine.h"
#include "kestrum/kernel/Overflow.h"
#include "kestrum/wav/WavHeader.h"

namespace kestrum {

constexpr int32_t PROGRESS_STEP = 5000;  // frames between progress reports

using TNotifyEvent = TEvent<TObject*>;
using TLog = TEvent<TObject*, std::string>;
// Sender, Position (frames done, at most INT32_MAX), Max (NbEch; -1 while a
// stream's length is unknown).
using TProgress = TEvent<TObject*, int32_t, int32_t>;
// Sender, SourceFile, NbBits, Channels, Frequency (Hz), NSamples (-1: a
// stream whose length is known only at its end). Channels is ff_multichannel
// for more than two: SourceFormat() tells how many.
using TSourceProperty = TEvent<TObject*, std::string, ff_bits, ff_channels, uint32_t, int32_t>;
// Sender, Frequency (Hz) of the source whose header has just been read.
using TSourceRate = TEvent<TObject*, uint32_t>;

// The engine that runs a filter, one setting for every host:
//  Auto      a .fir on Fast, a WAV filter on Fft.
//  Reference a .fir's float sum, one frame at a time.
//  Fast      the same sum and the same bytes, frames side by side, on
//            several threads.
//  Fft       FFT convolution in double precision (kestrum/kernel/FftKernel.h).
//  Exact     the float sum over every tap: a WAV filter's taps summed as a
//            .fir's are; for a .fir that is Fast's arithmetic, so it runs there.
// Reference and Fast hold at most a .fir's 1000 taps: a WAV filter is refused.
// TEngine lives with the engines (kestrum/kernel/Engine.h).

// The engines' names, in TEngine's order: "auto", "reference", "fast", "fft",
// "exact".
const std::vector<std::string>& EngineNames();
const std::string& EngineName(TEngine Engine);
// The engine of that name; none for another text.
std::optional<TEngine> EngineOf(const std::string& Name);
// "kernel 'slow': 'auto', 'reference', 'fast', 'fft' or 'exact' are accepted"
std::string UnknownEngine(const std::string& Name);
// Raises EGeneralError, naming FirFile, when Engine cannot run a filter of
// that kind (WavFilter: an impulse response in a WAV file, else a .fir).
void CheckEngine(TEngine Engine, bool WavFilter, const std::string& FirFile);

// TKestrum::Align's settings besides a frame count.
constexpr int32_t kAlignOff = -1;    // the target's frames are the filter's output as it comes
constexpr int32_t kAlignDelay = -2;  // remove the filter's own delay (GroupDelay)

// A run (Execute):
//  1. OnStartFilter.
//  2. Refuses a blank SourceFile, CibleFile or FirFile. Opens SourceFile (or
//     SourceDescriptor) and reads its header, sends OnSourceRate, then goes
//     to frame StartPos; NbEch = EndPos - StartPos, or the source's whole
//     frame count when that is 0.
//  3. Creates CibleFile in the source's format (its sample format as
//     TargetBits and TargetEncoding ask), declaring its length (RF64 past
//     4 GiB, a JUNK placeholder for a stream's unknown length: see
//     TWriteWavFile::Reserve); sets SourceFormat, then OnSourceProperty;
//     OnWarning for a source whose data is shorter than its header says.
//  4. Opens FirFile once (TFilterFile, so that a pipe or FIFO works); its
//     first bytes tell which it is. A WAV file is a long filter
//     (kestrum/filter/LongFilter.h), read as FilterOptions say: logs its name,
//     "Filter comment: impulse response, ..." and its taps, and runs on the
//     FFT engine, or with Exact on the fast kernel's float sum
//     (kestrum/kernel/FftKernel.h); Engine Reference or Fast fails the run
//     (CheckEngine). Otherwise, reads
//     FirFile's comment and tap count, logs "Filter file name: ",
//     "Filter comment: ", "Taps: ", reads the taps, logs "NbEch: ". Sends
//     OnWarning for a filter that is valid but odd (no taps, a tap count line
//     holding more numbers, delays outside 0 to 16383, lines after the last
//     tap that look like taps), after the line or lines concerned have been
//     read.
//  5. Filters NbEch frames (none when NbEch <= 0) with the chosen kernel
//     (kestrum/kernel/Kernel.h): OnProgress(frames done, NbEch) every PROGRESS_STEP
//     frames. A sum that fails because a source sample is not a finite
//     number raises an EMathError naming that sample's frame.
//  6. Closes both files (the target then holds its header and replaces any
//     earlier file of that name), OnProgress(0, 0), OnEndFilter.
// When any of 2 to 6 fails, the reader and writer are dropped (the target is
// left as it was before the run), then OnProgress(0, 0), OnEndFilter, and the
// same error is raised again to the caller of Execute; but once a stop was
// requested (kestrum/base/Stop.h, polled at every progress step and wherever the run
// waits), the error raised is EStopped, saying what became of the target: a
// file is left as it was, a streamed target ends after its last whole frame.
//
// Streams. A source that is not a regular file (standard input "-", a pipe, a
// FIFO, a socket, or SourceDescriptor) is filtered as it arrives: each piece
// read is filtered and written on at once (TWriteWavFile::SendBuffered), so
// the first frames leave within one read of their arrival (on the FFT
// engine, within one of its blocks) and memory stays the same whatever the
// length. With EndPos = StartPos such a run goes until
// the stream ends (at the end of its input, or at its header's data size when
// that is a real size); NbEch is then the header's frame count, or -1 when
// the header gives none: the log says "NbEch: unknown (until the end of the
// stream)", OnSourceProperty's NSamples and OnProgress's Max are -1. The
// target's header says "unknown length" when it is streamed too and the
// length is not known up front; a file target gets its true sizes at the end.
class TKestrum : public TComponent {
public:
  explicit TKestrum(TComponent* Owner);

  // Published properties.
  std::string Version() const;  // the project's version, e.g. "0.90"
  void SetVersion(const std::string&) {}  // accepted, changes nothing
  std::string SourceFile;
  std::string CibleFile;
  std::string FirFile;
  bool ActiveProcessMessage = false;  // let the host process messages at each progress step
  int32_t StartPos() const { return FStartPos; }
  void SetStartPos(int32_t Value) {  // a negative value is ignored
    if (Value >= 0) FStartPos = Value;
  }
  int32_t EndPos() const { return FEndPos; }
  void SetEndPos(int32_t Value) {  // a negative value is ignored
    if (Value >= 0) FEndPos = Value;
  }
  TLog OnLog;
  TProgress OnProgress;
  TNotifyEvent OnEndFilter;
  TNotifyEvent OnStartFilter;
  TSourceProperty OnSourceProperty;

  // Host settings, not published: the engine, and the threads the fast and
  // FFT engines may use (0: one per core).
  TEngine Engine = TEngine::Auto;
  int Threads = 0;
  // Long filters: how a WAV filter's samples become taps.
  TLongFilterOptions FilterOptions;
  // The filter itself, when the host holds it (a design, one read once for
  // many runs): the run then reads no FirFile, and names the filter by its
  // Name. FilterOptions are for FirFile only.
  std::optional<TFilter> Filter;
  // Aligned output: removes D frames of the filter's delay and keeps the
  // target's length, by filtering D frames more past NbEch (past the
  // source's end they read as silence; a stream's come once it has ended)
  // and dropping the first D frames of output. D is Align when 0 or more,
  // the filter's group delay for kAlignDelay (a filter that is not
  // linear-phase, or whose delay is not a whole frame, fails the run);
  // kAlignOff, the default, drops nothing.
  int32_t Align = kAlignOff;
  // Saturate rounded sums beyond the sample width's levels instead of keeping
  // their low bits, and clamp float samples to -1 to 1: the store rules of
  // kestrum/kernel/Overflow.h.
  bool Clip = false;
  // The target's sample width (0: the source's) and encoding, resolved for
  // each source by TargetSampleFormat (kestrum/audio/Format.h); a pair that is not
  // ValidTarget fails the run. When the target's format is not the source's,
  // the levels are scaled by the exact power of two between the two full
  // scales and stored by the target's rules (kestrum/kernel/Overflow.h), rounded
  // as they are unless Dither asks otherwise.
  int TargetBits = 0;
  TEncoding TargetEncoding = TEncoding::Source;
  // Add triangular (TPDF) dither of -1 to 1 target level before rounding,
  // where the target's integer samples are narrower than the source's
  // (DitherApplies, kestrum/kernel/Overflow.h), from a generator seeded with
  // DitherSeed: a run repeats byte for byte, whatever the kernel and its
  // Threads. Asked for where it does not apply, it changes nothing and sends
  // OnWarning. Off by default: sums are rounded to the nearest.
  bool Dither = false;
  uint64_t DitherSeed = TDither::kDefaultSeed;
  // Carry the source's metadata chunks (all but the ones that describe the
  // samples: bext, iXML, LIST, ...; after its data too, in a regular file)
  // into the target, in their order, between its format and data chunks.
  // bext's time reference moves on by StartPos (one that would pass 2^64 - 1
  // stays there, with a warning); chunks that point at frames otherwise (cue,
  // smpl, plst, LIST adtl) are left out with a warning. Off by default: the target
  // then has the plain header alone.
  bool KeepMetadata = false;
  // Warnings about the run's input, one line each (Sender, text); not
  // published, sent only when bound.
  TLog OnWarning;
  // Sent when the source's header has been read, before the run goes to
  // StartPos and settles NbEch: a handler may set StartPos and EndPos from
  // the rate (a position given as a time, in a stream that tells its rate
  // only once it is read). Not published.
  TSourceRate OnSourceRate;
  // When 0 or more, the run reads its source from this open descriptor (a
  // pipe, a socket, a file) instead of opening SourceFile, which then only
  // names it in messages and events; it is read as a stream unless it is a
  // regular file, and it is not closed. Not published.
  int SourceDescriptor = -1;

  // The source's format, channel count and channel mask included, set before
  // OnSourceProperty is sent: a host told ff_multichannel reads the count here.
  const TAudioFormat& SourceFormat() const { return FSourceFormat; }

  // What the run's stores met: reset when a run starts, read after it,
  // whether it succeeded or failed (then it covers the frames written).
  TOverflowCount Overflow;

  // Runs the filter once; raises the run's error, if any.
  void Execute() { DoExecute(); }

  // Frames to process in the current run; -1 when it goes until the end of
  // a stream of unknown length.
  int32_t NbEch() const { return FNbEch; }
  // Whether the current run goes until the end of a stream rather than for
  // NbEch frames.
  bool UntilEnd() const { return FUntilEnd; }
  // Frames filtered by the last run, so far or in all.
  int64_t FramesDone() const { return FDone; }

protected:
  // The whole run; a descendant may replace it.
  virtual void DoExecute();
  void DoLog(const std::string& Comment) {
    if (OnLog) OnLog(this, Comment);
  }

private:
  void ReportProgress(int64_t Done);
  void SendWarnings(const std::vector<std::string>& Warnings);

  int32_t FStartPos = 0;
  int32_t FEndPos = 0;
  int32_t FNbEch = 0;
  TAudioFormat FSourceFormat;
  bool FUntilEnd = false;
  int64_t FDone = 0;
};

}  // namespace kestrum
