// The binding's native half, the module kestrum._kestrum: the library's
// filters, streams, file runs, design, response and WAV files over plain
// byte buffers. The package kestrum (kestrum/__init__.py) checks and shapes
// numpy arrays around it and documents the public names.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <numbers>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "kestrum/base/Errors.h"
#include "kestrum/base/FloatEnv.h"
#include "kestrum/base/FrameTime.h"
#include "kestrum/base/OutputFile.h"
#include "kestrum/design/Design.h"
#include "kestrum/design/FilterArgument.h"
#include "kestrum/design/Response.h"
#include "kestrum/component/Kestrum.h"
#include "kestrum/filter/Filter.h"
#include "kestrum/filter/FirFile.h"
#include "kestrum/kernel/Engine.h"
#include "kestrum/kernel/FftKernel.h"
#include "kestrum/kernel/FirStream.h"
#include "kestrum/wav/ReadWavFile.h"
#include "kestrum/wav/TargetRule.h"
#include "kestrum/wav/WavHeader.h"
#include "kestrum/wav/WriteWavFile.h"

namespace py = pybind11;
using namespace kestrum;

namespace {

// The package's exception classes, created by the module's init.
PyObject* KestrumError = nullptr;
PyObject* FileError = nullptr;
PyObject* MathError = nullptr;
PyObject* StoppedError = nullptr;

// Raises Type(Message) with the attributes a caller can test: a MathError's
// frame (None for -1), a FileError's errno (when not 0).
void Raise(PyObject* Type, const std::string& Message, int ErrorCode = 0, int64_t Frame = -1) {
  py::object Error = py::reinterpret_borrow<py::object>(Type)(Message);
  if (Type == MathError) Error.attr("frame") = Frame >= 0 ? py::object(py::int_(Frame)) : py::none();
  if (Type == FileError && ErrorCode != 0) Error.attr("errno") = ErrorCode;
  PyErr_SetObject(Type, Error.ptr());
}

void Translate(std::exception_ptr Pending) {
  try {
    if (Pending) std::rethrow_exception(Pending);
  } catch (const EMathError& E) {
    Raise(MathError, E.what(), 0, E.Frame());
  } catch (const EInOutError& E) {
    Raise(FileError, E.what(), E.ErrorCode());
  } catch (const EStopped& E) {
    Raise(StoppedError, E.what());
  } catch (const EKestrum& E) {
    Raise(KestrumError, E.what());
  }
}

// A contiguous byte buffer of a Python object, read-only or writable.
std::span<const uint8_t> Bytes(const py::buffer& Buffer) {
  const py::buffer_info Info = Buffer.request();
  if (Info.itemsize != 1 || Info.ndim != 1 || (Info.size > 1 && Info.strides[0] != 1))
    throw py::value_error("expected a contiguous buffer of bytes");
  return {static_cast<const uint8_t*>(Info.ptr), static_cast<size_t>(Info.size)};
}

std::span<uint8_t> WritableBytes(const py::buffer& Buffer) {
  const py::buffer_info Info = Buffer.request(true);
  if (Info.itemsize != 1 || Info.ndim != 1 || (Info.size > 1 && Info.strides[0] != 1))
    throw py::value_error("expected a contiguous buffer of bytes");
  return {static_cast<uint8_t*>(Info.ptr), static_cast<size_t>(Info.size)};
}

ff_bits BitsOf(int Bits) {
  if (Bits < ff_8bits || Bits > ff_64bitsFloat) throw py::value_error("unknown sample format " + std::to_string(Bits));
  return static_cast<ff_bits>(Bits);
}

// The format of Channels channels (1 to 64) of samples Bits (an ff_bits).
TAudioFormat FormatOf(int Channels, int Bits, uint32_t Rate = 0) {
  if (Channels < 1 || Channels > MAX_CHANNELS)
    throw py::value_error(std::to_string(Channels) + " channels; 1 to " + std::to_string(MAX_CHANNELS) +
                          " are accepted");
  return {SampleFormatOf(BitsOf(Bits)), Channels, Rate};
}

// Refuses a WAV target that the library's rule (kestrum/wav/TargetRule.h) keeps:
// FileExistsError for an existing file of another kind, ValueError for a
// name of another kind or one of Inputs; Force lets the first two through.
void CheckTarget(const std::string& Target, const std::vector<TTargetInput>& Inputs, bool Force) {
  const TTargetProblem Problem = TargetProblem(Target, TTargetContent::Wav, Inputs, Force);
  if (!Problem) return;
  const std::string Message = Problem.Message + (Problem.Refusal == TTargetRefusal::Input ? "" : " (force=True does)");
  if (Problem.Refusal != TTargetRefusal::Existing) throw py::value_error(Message);
  PyErr_SetString(PyExc_FileExistsError, Message.c_str());
  throw py::error_already_set();
}

py::tuple OverflowTuple(const TOverflowCount& Count) {
  return py::make_tuple(Count.Samples, Count.Overflowed, Count.Peak, Count.PeakFullScale());
}

// The words of the library for what the stores of a run of samples Bits
// (an ff_bits) met beyond the sample width, "" when nothing did.
std::string OverflowWarning(int64_t Samples, int64_t Overflowed, double Peak, int Bits, bool Clip) {
  TOverflowCount Count = TOverflowCount::For(FormatOf(1, Bits));
  Count.Samples = Samples;
  Count.Overflowed = Overflowed;
  Count.Peak = Peak;
  return DescribeOverflow(Count, Clip);
}

// Packed 24-bit samples (three bytes each, low byte first) as int32 levels.
py::array_t<int32_t> Unpack24(const py::buffer& Data) {
  const std::span<const uint8_t> Packed = Bytes(Data);
  if (Packed.size() % 3 != 0) throw py::value_error("24-bit samples take three bytes each");
  py::array_t<int32_t> Levels(static_cast<py::ssize_t>(Packed.size() / 3));
  int32_t* Out = Levels.mutable_data();
  for (size_t I = 0; I < Packed.size() / 3; ++I) Out[I] = ReadS24LE(&Packed[3 * I]);
  return Levels;
}

// A library stream for Python, one call at a time, the GIL released while
// it filters: a .fir through the block engine, a long filter through the
// FFT engine, which holds frames back until Flush.
class TStream {
public:
  TStream(const TFilter& Filter, int Channels, int Bits, bool Clip)
      : FStream(Filter, FormatOf(Channels, Bits), Clip) {}

  // The frames written at Out's start.
  int64_t Filter(const py::buffer& In, const py::buffer& Out) {
    const std::span<const uint8_t> Source = Bytes(In);
    const std::span<uint8_t> Target = WritableBytes(Out);
    py::gil_scoped_release Release;
    const std::lock_guard Lock(FMutex);
    return FStream.Filter(Source, Target);
  }
  py::bytes Flush() {
    std::vector<uint8_t> Out;
    {
      py::gil_scoped_release Release;
      const std::lock_guard Lock(FMutex);
      Out = FStream.Flush();
    }
    return py::bytes(reinterpret_cast<const char*>(Out.data()), Out.size());
  }
  void Reset() {
    py::gil_scoped_release Release;
    const std::lock_guard Lock(FMutex);
    FStream.Reset();
  }
  int64_t Frames() {
    const std::lock_guard Lock(FMutex);
    return FStream.Frames();
  }
  py::tuple Overflow() {
    const std::lock_guard Lock(FMutex);
    return OverflowTuple(FStream.Overflow());
  }
  int32_t BlockFrames() {
    const std::lock_guard Lock(FMutex);
    return FStream.BlockFrames();
  }

private:
  std::mutex FMutex;
  TFirStream FStream;
};

TNormalize NormalizeOf(const std::string& Name) {
  if (Name == "peak") return TNormalize::Peak;
  if (Name == "energy") return TNormalize::Energy;
  if (Name.empty()) return TNormalize::None;
  throw py::value_error("normalize '" + Name + "': 'peak', 'energy' or None are accepted");
}

// A WAV impulse response read as the tool reads it, with these options.
TFilter ReadLong(const std::string& Path, int FilterChannel, double GainDb, const std::string& Normalize) {
  TLongFilter Long = ReadLongFilter(Path, {FilterChannel, GainDb, NormalizeOf(Normalize)});
  std::string Comment = ImpulseComment(Long);
  return FilterOf(std::move(Long), Path, std::move(Comment));
}

// A whole signal at once through the driver (kestrum/kernel/Engine.h), on
// Threads threads (0: one per core, for a filter worth it). Number: the
// number of the signal's first frame in errors.
py::tuple Apply(const TFilter& Filter, int ChannelCount, int BitsValue, bool Clip, const py::buffer& In,
                const py::buffer& Out, int Threads, int64_t Number) {
  const TAudioFormat Format = FormatOf(ChannelCount, BitsValue);
  const std::span<const uint8_t> Source = Bytes(In);
  const std::span<uint8_t> Target = WritableBytes(Out);
  const size_t FrameBytes = static_cast<size_t>(Format.FrameBytes());
  if (Source.size() != Target.size() || Source.size() % FrameBytes != 0)
    throw py::value_error("the input and output buffers must hold the same whole number of frames");
  if (Threads < 0) throw py::value_error("threads must be 0 (one per core) or more, not " + std::to_string(Threads));
  TOverflowCount Overflow;
  {
    py::gil_scoped_release Release;
    const int64_t Frames = std::max<int64_t>(1, static_cast<int64_t>(Source.size() / FrameBytes));
    const std::unique_ptr<TKernelEngine> Engine = MakeEngine(TEngine::Auto, Filter, Format, {Clip, {}, {}}, Frames);
    Overflow = ApplyEngine(*Engine, Source, Target, Threads, Number);
  }
  return OverflowTuple(Overflow);
}

// Calls Python callables for a file run's events, with the GIL held. An
// exception a callable raises (KeyboardInterrupt too, which a check of the
// signals raises at each progress step) ends the run through TCallbackFailed
// and is raised again once the run has cleaned up.
struct TCallbackFailed {};

class TRunEvents : public TObject {
public:
  py::object OnProgress, OnLog, OnWarning;
  std::optional<py::error_already_set> Failure;
  // Settles what waits for the source's rate; C++ only, no GIL.
  std::function<void(uint32_t)> OnRate;

  void SourceRate(TObject*, uint32_t Rate) { OnRate(Rate); }

  void Progress(TObject*, int32_t Position, int32_t Max) {
    Call([&] {
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      if (!OnProgress.is_none()) OnProgress(Position, Max);
    });
  }
  void Log(TObject*, std::string Text) {
    Call([&] { OnLog(Text); });
  }
  void Warning(TObject*, std::string Text) {
    Call([&] { OnWarning(Text); });
  }

private:
  template <typename F>
  void Call(F Body) {
    if (Failure) return;
    py::gil_scoped_acquire Acquire;
    try {
      Body();
    } catch (py::error_already_set& E) {
      Failure.emplace(std::move(E));
      throw TCallbackFailed();
    }
  }
};

// The engine named Kernel; ValueError listing the names for another text.
TEngine CheckedEngine(const std::string& Kernel) {
  const std::optional<TEngine> Engine = EngineOf(Kernel);
  if (!Engine) throw py::value_error(UnknownEngine(Kernel));
  return *Engine;
}

// A position or length as the tool's --start and --count take it: frames
// or a time; ValueError naming the keyword for another text.
TFrameTime FrameTimeOf(const std::string& Text, const std::string& Name) {
  if (const std::string Problem = FrameTimeProblem(Text); !Problem.empty())
    throw py::value_error(Name + ": " + Problem);
  return *ParseFrameTime(Text);
}

// The frames [first, end) that Start and Count (frames or times) select at
// Rate, by the tool's rule; ValueError naming the keywords.
std::pair<int32_t, int32_t> RangeAt(const std::string& Start, const std::string& Count, uint32_t Rate,
                                    const std::string& StartName, const std::string& CountName) {
  try {
    return FrameRange(FrameTimeOf(Start, StartName), FrameTimeOf(Count, CountName), Rate, StartName, CountName);
  } catch (const EGeneralError& E) {
    throw py::value_error(E.what());
  }
}

// Any filter argument, as the tool takes it: a design (ParseFilterDesign)
// made at Rate, else a .fir or WAV file read once; with the warnings of the
// design and of the reading. ValueError for a design that is written wrong.
py::tuple FilterValue(const std::string& Text, uint32_t Rate) {
  try {
    if (ParseFilterDesign(Text) && Rate == 0)
      throw py::value_error("'" + Text + "' is a design, which needs a rate to be made at: give rate=");
  } catch (const EGeneralError& E) {
    throw py::value_error(E.what());
  }
  std::vector<std::string> Warnings;
  TFilter Filter = FilterFromArgument(Text, Rate, {}, Warnings);
  for (auto* More : {&Filter.HeadWarnings, &Filter.TapWarnings}) Warnings.insert(Warnings.end(), More->begin(), More->end());
  return py::make_tuple(Filter, Warnings);
}

// A filter value as it is pickled: its name, comment and rate, whether it
// is long, then a .fir's (delays, coefficients, comment) or a long filter's
// taps per channel (bytes of doubles) and rate.
py::tuple FilterState(const TFilter& Filter) {
  if (Filter.IsLong()) {
    py::list Channels;
    for (const std::vector<double>& Taps : Filter.Long().Channels)
      Channels.append(py::bytes(reinterpret_cast<const char*>(Taps.data()), Taps.size() * sizeof(double)));
    return py::make_tuple(Filter.Name, Filter.Comment, Filter.Rate, true, Channels, Filter.Long().Rate);
  }
  const TFirFilter& Fir = Filter.Fir();
  const size_t N = static_cast<size_t>(std::max(Fir.NbTaps, 0));
  return py::make_tuple(Filter.Name, Filter.Comment, Filter.Rate, false,
                        py::make_tuple(std::vector<int32_t>(Fir.Delays.begin(), Fir.Delays.begin() + N),
                                       std::vector<float>(Fir.Coefs.begin(), Fir.Coefs.begin() + N), Fir.FilterComment),
                        0);
}

TFilter FilterFromState(const py::tuple& State) {
  if (State.size() != 6) throw py::value_error("not the state of a filter value");
  TFilter Filter;
  if (State[3].cast<bool>()) {
    TLongFilter Long;
    for (const py::handle Channel : State[4].cast<py::list>()) {
      const std::string Bytes = Channel.cast<std::string>();
      std::vector<double>& Taps = Long.Channels.emplace_back(Bytes.size() / sizeof(double));
      std::memcpy(Taps.data(), Bytes.data(), Taps.size() * sizeof(double));
    }
    Long.Rate = State[5].cast<uint32_t>();
    Filter = FilterOf(std::move(Long), "", "");
  } else {
    const auto [Delays, Coefs, Comment] = State[4].cast<std::tuple<std::vector<int32_t>, std::vector<float>, std::string>>();
    std::vector<TFirTap> Taps(Delays.size());
    for (size_t I = 0; I < Taps.size() && I < Coefs.size(); ++I) Taps[I] = {Delays[I], Coefs[I]};
    Filter = FilterOf(MakeFirFilter(Taps, Comment), "");
  }
  Filter.Name = State[0].cast<std::string>();
  Filter.Comment = State[1].cast<std::string>();
  Filter.Rate = State[2].cast<uint32_t>();
  return Filter;
}

// Start and Count: frames or times (FrameTimeOf); times are settled once the
// run has read the source's rate. FilterArg: a filter value (FilterValue),
// or the text of any filter argument, a design being made at the source's
// rate once the run has read it.
py::tuple FilterFile(const std::string& Source, const std::string& Target, const py::object& FilterArg,
                     const std::string& Start, const std::string& Count, bool Clip, const std::string& Kernel,
                     int Threads, py::object Progress, py::object Log, py::object Warning, bool Force, int Bits,
                     bool Dither, uint64_t DitherSeed, int32_t Align) {
  std::optional<TFilter> Value;
  std::optional<TFilterDesign> Design;
  std::string FirFile;
  if (py::isinstance<TFilter>(FilterArg)) {
    Value = FilterArg.cast<TFilter>();
    FirFile = Value->Name;
  } else {
    FirFile = FilterArg.cast<std::string>();
    try {
      Design = ParseFilterDesign(FirFile);
    } catch (const EGeneralError& E) {
      throw py::value_error(E.what());
    }
  }
  const TFrameTime First = FrameTimeOf(Start, "start"), Length = FrameTimeOf(Count, "count");
  const bool Timed = First.IsTime || Length.IsTime;
  const auto Range = [&](uint32_t Rate) {
    return FrameRange(First, Length, Rate, "start", "count");
  };
  std::pair<int32_t, int32_t> Frames{0, 0};
  if (!Timed) {
    try {
      Frames = Range(0);
    } catch (const EGeneralError& E) {
      throw py::value_error(E.what());
    }
  }
  const TEngine Engine = CheckedEngine(Kernel);
  if (Threads < 0) throw py::value_error("threads must be 0 (one per core) or more, not " + std::to_string(Threads));
  if (!ValidTarget(Bits, TEncoding::Source))
    throw py::value_error("bits " + std::to_string(Bits) + ": 0 (the source's), 8, 16, 24, 32 or 64 are accepted");
  CheckTarget(Target, {{Source, "the source"}, {FirFile, "the filter"}}, Force);
  TRunEvents Events;
  Events.OnProgress = std::move(Progress);
  Events.OnLog = std::move(Log);
  Events.OnWarning = std::move(Warning);
  TKestrum Kestrum(nullptr);
  Kestrum.SourceFile = Source;
  Kestrum.CibleFile = Target;
  Kestrum.FirFile = FirFile;
  Kestrum.SetStartPos(Frames.first);
  Kestrum.SetEndPos(Frames.second);
  // FILTER is read once, here, as the tool reads it (unless it is blank,
  // which the run refuses): the run takes it as it is, and its rate is
  // checked against the source's.
  if (!Value && !Design && FirFile.find_first_not_of(" \t") != std::string::npos) {
    std::vector<std::string> None;  // a design's shortfalls; a file has none
    py::gil_scoped_release Release;
    Value = FilterFromArgument(FirFile, 0, {}, None);
  }
  Kestrum.Filter = std::move(Value);
  Events.OnRate = [&](uint32_t Rate) {
    if (Timed) {
      const auto [StartPos, EndPos] = Range(Rate);
      Kestrum.SetStartPos(StartPos);
      Kestrum.SetEndPos(EndPos);
    }
    if (Design) {
      std::vector<std::string> Warnings;
      Kestrum.Filter = DesignedFilter(*Design, Rate, Warnings);
      if (Kestrum.OnWarning)
        for (const std::string& Text : Warnings) Kestrum.OnWarning(&Kestrum, Text);
    }
    // A filter made for another rate than the source's, as the tool warns of it.
    if (const std::string Text = Kestrum.Filter ? RateWarning(*Kestrum.Filter, Rate) : "";
        !Text.empty() && Kestrum.OnWarning)
      Kestrum.OnWarning(&Kestrum, Text);
  };
  Kestrum.OnSourceRate = TSourceRate(&Events, &TRunEvents::SourceRate);
  Kestrum.Engine = Engine;
  Kestrum.Threads = Threads;
  Kestrum.Clip = Clip;
  Kestrum.TargetBits = Bits;
  Kestrum.Dither = Dither;
  Kestrum.DitherSeed = DitherSeed;
  Kestrum.Align = Align;  // a frame count, ALIGN_OFF or ALIGN_DELAY
  // Progress is always bound: its steps check for Ctrl-C.
  Kestrum.OnProgress = TProgress(&Events, &TRunEvents::Progress);
  if (!Events.OnLog.is_none()) Kestrum.OnLog = TLog(&Events, &TRunEvents::Log);
  if (!Events.OnWarning.is_none()) Kestrum.OnWarning = TLog(&Events, &TRunEvents::Warning);
  try {
    py::gil_scoped_release Release;
    Kestrum.Execute();
  } catch (const TCallbackFailed&) {
    throw std::move(*Events.Failure);
  }
  return OverflowTuple(Kestrum.Overflow);
}

// The whole data of a WAV file: (bytes, channels, sample format, rate).
py::tuple ReadWav(const std::string& FileName, int64_t Start, int64_t Count) {
  if (Start < 0 || Start > INT32_MAX) throw py::value_error("start must be from 0 to 2147483647");
  if (Count < -1) throw py::value_error("count must not be negative");
  TReadWavFile Reader;
  Reader.FileName = FileName;
  Reader.StartSample = static_cast<int32_t>(Start);
  std::vector<uint8_t> Data;
  {
    py::gil_scoped_release Release;
    Reader.SetActive(true);
    const int64_t Left = std::max<int64_t>(int64_t{Reader.NSamples} - Start, 0);
    const int32_t Frames = static_cast<int32_t>(Count < 0 ? Left : std::min(Count, Left));
    Data.resize(static_cast<size_t>(Frames) * static_cast<size_t>(Reader.FrameBytes()));
    Reader.ReadFrames(Data.data(), Frames);
    Reader.SetActive(false);
  }
  py::array_t<uint8_t> Bytes(static_cast<py::ssize_t>(Data.size()));
  std::memcpy(Bytes.mutable_data(), Data.data(), Data.size());
  return py::make_tuple(Bytes, Reader.Channels, static_cast<int>(NbBitsOf(Reader.SampleFormat())),
                        Reader.Frequency, Reader.ChannelMask);
}

void WriteWav(const std::string& FileName, const py::buffer& Data, int Channels, int Bits, uint32_t Rate,
              uint32_t Mask, bool Force) {
  const std::span<const uint8_t> Bytes = ::Bytes(Data);
  TAudioFormat Format = FormatOf(Channels, Bits, Rate);
  Format.ChannelMask = Mask;
  const size_t FrameBytes = static_cast<size_t>(Format.FrameBytes());
  if (Bytes.size() % FrameBytes != 0) throw py::value_error("the data is not a whole number of frames");
  if (Rate == 0) throw py::value_error("the rate must be positive");
  CheckTarget(FileName, {}, Force);
  py::gil_scoped_release Release;
  TWriteWavFile Writer;
  Writer.FileName = FileName;
  Writer.SetActive(true);
  Writer.SetFormat(Format);
  Writer.Reserve(static_cast<int64_t>(Bytes.size() / FrameBytes));
  Writer.WriteBytes(Bytes.data(), Bytes.size());
  Writer.Close();
}

// Writes Data at byte Position of the existing file FileName, which it was
// sized to hold, as the writer writes: blocks of zeros stay holes. The bytes
// reach the disk before it returns.
void WriteSparseAt(const std::string& FileName, const py::buffer& Data, uint64_t Position) {
  const std::span<const uint8_t> Bytes = ::Bytes(Data);
  py::gil_scoped_release Release;
  const int Fd = open(FileName.c_str(), O_WRONLY | O_CLOEXEC);
  if (Fd < 0) throw EInOutError::FromErrno(errno, "cannot open", FileName, "for writing");
  int Error = WriteSparse(Fd, Bytes.data(), Bytes.size(), Position, FileBlockSize(Fd));
  if (Error == 0 && fsync(Fd) != 0) Error = errno;
  close(Fd);
  if (Error != 0) throw EInOutError::FromErrno(Error, "cannot write", FileName);
}

// Where a WAV file's frames lie, for reading them in place: (the file
// offset of the first frame, frames, channels, sample format, rate).
py::tuple WavLayout(const std::string& FileName) {
  TReadWavFile Reader;
  Reader.FileName = FileName;
  {
    py::gil_scoped_release Release;
    Reader.SetActive(true);
  }
  return py::make_tuple(Reader.DataStart(), Reader.NSamples, Reader.Channels,
                        static_cast<int>(NbBitsOf(Reader.SampleFormat())), Reader.Frequency, Reader.ChannelMask);
}

// The header of a WAV file that holds Frames frames, as the writer puts it
// before them: RF64 when the file would outgrow the 32-bit sizes of a WAV
// header.
py::bytes WavHeader(const std::string&, int Channels, int Bits, uint32_t Rate, int64_t Frames, uint32_t Mask) {
  if (Rate == 0) throw py::value_error("the rate must be positive");
  if (Frames < 0) throw py::value_error("frames must not be negative");
  TAudioFormat Format = FormatOf(Channels, Bits, Rate);
  Format.ChannelMask = Mask;
  const uint64_t Bytes = static_cast<uint64_t>(Frames) * static_cast<uint64_t>(Format.FrameBytes());
  const TWavHeader Plain = TWavHeader::ForData(Format, Bytes);
  const std::vector<uint8_t> Header =
      (Plain.NeedsRf64() ? TWavHeader::ForData(Format, Bytes, TWavLayout::Rf64) : Plain).Encode();
  return py::bytes(reinterpret_cast<const char*>(Header.data()), Header.size());
}

// A filter read by the library's reader, with its warnings: the file
// FileName (a .fir or a WAV impulse response), or the text of a .fir.
py::tuple ReadFilterText(std::optional<std::string> FileName, std::optional<std::string> Text, const std::string& Name) {
  if (FileName) {
    TFilter Filter = ReadFilter(*FileName);
    std::vector<std::string> Warnings = Filter.HeadWarnings;
    Warnings.insert(Warnings.end(), Filter.TapWarnings.begin(), Filter.TapWarnings.end());
    return py::make_tuple(std::move(Filter), Warnings);
  }
  TFirFileReader Reader = TFirFileReader::FromText(*Text, Name);
  TFirFilter Filter;
  Reader.ReadHead(Filter);
  Reader.ReadTaps(Filter);
  return py::make_tuple(FilterOf(std::move(Filter), Name), Reader.TakeWarnings());
}

// A long filter of these taps per channel, as a pickled one comes back.
TFilter FromLong(std::vector<std::vector<double>> Channels, uint32_t Rate, std::string Name, std::string Comment) {
  if (Channels.empty() || Channels.size() > size_t{MAX_CHANNELS})
    throw py::value_error("a long filter has 1 to " + std::to_string(MAX_CHANNELS) + " channels");
  TLongFilter Long;
  Long.Channels = std::move(Channels);
  Long.Rate = Rate;
  return FilterOf(std::move(Long), std::move(Name), std::move(Comment));
}

// Coefficients come as doubles, rounded to float here, in the default
// environment rather than by the caller's numpy in its own, so that one beyond
// float range is refused as given rather than as the infinity it rounds to.
TFilter FromTaps(const std::vector<int32_t>& Delays, const std::vector<double>& Coefs, std::string Comment) {
  if (Delays.size() != Coefs.size())
    throw py::value_error(std::to_string(Delays.size()) + " delays and " + std::to_string(Coefs.size()) +
                          " coefficients: give one of each per tap");
  std::vector<TFirTap> Taps(Delays.size());
  // Halfway between the largest float and the next power of two: from here
  // up, a double rounds to infinity.
  constexpr double kBeyondFloat = 0x1.ffffffp+127;
  for (size_t I = 0; I < Taps.size(); ++I) {
    const bool Beyond = std::isfinite(Coefs[I]) && std::fabs(Coefs[I]) >= kBeyondFloat;
    Taps[I] = {Delays[I], Beyond ? 0.0f : static_cast<float>(Coefs[I])};
    if (Beyond) {
      char Given[32];
      std::snprintf(Given, sizeof Given, "%.17g", Coefs[I]);
      throw py::value_error("coefficient " + std::string(Given) + " of tap " + std::to_string(I + 1) + " of " +
                            std::to_string(Taps.size()) + " is beyond single precision");
    }
  }
  return FilterOf(MakeFirFilter(Taps, std::move(Comment)), "");
}

const std::pair<const char*, TBandKind> kBands[] = {{"lowpass", TBandKind::Lowpass},
                                                     {"highpass", TBandKind::Highpass},
                                                     {"bandpass", TBandKind::Bandpass},
                                                     {"bandstop", TBandKind::Bandstop}};
const std::pair<const char*, TWindowKind> kWindows[] = {{"rectangular", TWindowKind::Rectangular},
                                                         {"hann", TWindowKind::Hann},
                                                         {"hamming", TWindowKind::Hamming},
                                                         {"blackman", TWindowKind::Blackman},
                                                         {"kaiser", TWindowKind::Kaiser}};

template <typename T, size_t N>
T Lookup(const std::pair<const char*, T> (&Table)[N], const std::string& Name, const std::string& What) {
  std::string Names;
  for (const auto& [Key, Value] : Table) {
    if (Name == Key) return Value;
    Names += (Names.empty() ? "" : ", ") + std::string(Key);
  }
  throw py::value_error(What + " '" + Name + "': " + Names + " are accepted");
}

py::tuple Design(const std::string& Kind, double Low, double High, double Rate, int32_t Taps,
                  const std::string& Window, double Beta, double Attenuation, double Transition) {
  TDesignRequest Request;
  Request.Kind = Lookup(kBands, Kind, "kind");
  Request.Low = Low;
  Request.High = High;
  Request.Rate = Rate;
  Request.Taps = Taps;
  Request.Window = Lookup(kWindows, Window, "window");
  Request.Beta = Request.Window == TWindowKind::Kaiser ? Beta : 0;
  Request.Attenuation = Attenuation;  // NaN: not given
  Request.Transition = Transition;
  Request = WithDefaults(Request);
  if (const std::string Problem = CheckDesignRequest(Request); !Problem.empty()) throw py::value_error(Problem);
  TDesignedTaps Designed;
  {
    py::gil_scoped_release Release;
    Designed = DesignTaps(Request, kMaxDesignTaps);
  }
  // What a .fir cannot hold is a long filter, its taps in double, as the
  // tool's designs are.
  if (Designed.Taps.size() > size_t{FIR_MAX_TAPS}) {
    TLongFilter Long;
    Long.Channels.push_back(std::move(Designed.Taps));
    Long.Rate = static_cast<uint32_t>(Rate);
    return py::make_tuple(FilterOf(std::move(Long), "", Designed.Comment), Designed.Warnings);
  }
  return py::make_tuple(FilterOf(ToFirFilter(Designed), ""), Designed.Warnings);
}

// The filter of an impulse response, as the tool designs it, and what
// became of its samples.
py::tuple FromImpulse(const std::string& FileName, int Channel, double Threshold) {
  TImpulseReport Report;
  int64_t Frames = 0;
  const TFilter Filter = FilterOf(FilterFromImpulseFile(FileName, Channel, Threshold, Report, Frames), "");
  return py::make_tuple(Filter, py::dict(py::arg("frames") = Frames, py::arg("kept") = Report.Kept,
                                         py::arg("dropped_zero") = Report.DroppedZero,
                                         py::arg("dropped") = Report.Dropped,
                                         py::arg("largest_dropped") = Report.LargestDropped));
}

// The response of a filter: a long filter's first channel.
TResponse ResponseOf(const TFilter& Filter, double Rate) {
  return Filter.IsLong() ? TResponse(Filter.Long().Channels.front(), Rate) : TResponse(Filter.Fir(), Rate);
}

// The summary's figures, and its text as `kestrum response` prints it.
py::dict Summary(const TFilter& Filter, double Rate) {
  if (!(Rate > 0)) throw py::value_error("the rate must be positive");
  const TResponse Response = ResponseOf(Filter, Rate);
  const TResponseSummary S = Summarize(Response);
  const auto Crossings = [](const TCrossings& C) { return py::make_tuple(C.Frequencies, C.Count); };
  return py::dict(py::arg("taps") = S.Taps, py::arg("min_delay") = S.MinDelay, py::arg("max_delay") = S.MaxDelay,
                  py::arg("wrapped") = S.Wrapped, py::arg("gain_dc") = S.GainDc,
                  py::arg("gain_nyquist") = S.GainNyquist, py::arg("peak_gain") = S.PeakGain,
                  py::arg("minus3") = Crossings(S.Minus3), py::arg("minus60") = Crossings(S.Minus60),
                  py::arg("group_delay_dc") = S.GroupDelayDc, py::arg("worst_case_gain") = S.WorstCaseGain,
                  py::arg("text") = FormatSummary(S, Rate));
}

// Frequency (Hz), magnitude (dB), phase (degrees), group delay (frames, NaN
// where undefined) at Points frequencies from 0 to half the rate, the rows of
// `kestrum response --csv` unrounded.
py::tuple Curves(const TFilter& Filter, double Rate, int32_t Points) {
  if (!(Rate > 0)) throw py::value_error("the rate must be positive");
  if (Points < 2) throw py::value_error("points must be 2 or more, not " + std::to_string(Points));
  const TResponse Response = ResponseOf(Filter, Rate);
  py::array_t<double> Frequency(Points), Magnitude(Points), Phase(Points), Delay(Points);
  double *F = Frequency.mutable_data(), *M = Magnitude.mutable_data(), *P = Phase.mutable_data(),
         *D = Delay.mutable_data();
  {
    py::gil_scoped_release Release;
    for (int32_t I = 0; I < Points; ++I) {
      F[I] = Rate / 2 * I / (Points - 1);
      const std::complex<double> H = Response.At(F[I]);
      M[I] = GainDb(std::abs(H));
      P[I] = std::arg(H) * 180 / std::numbers::pi;
      D[I] = Response.GroupDelay(F[I]);
    }
  }
  return py::make_tuple(Frequency, Magnitude, Phase, Delay);
}

// TTempNameTag as a Python context manager: the temporary files that the
// runs of the thread inside its with-block create carry its tag.
class TTempTagScope {
public:
  explicit TTempTagScope(std::string Tag) : FTag(std::move(Tag)) { TTempNameTag Check(FTag); }
  void Enter() { FScope.emplace(FTag); }
  void Exit(const py::args&) { FScope.reset(); }

private:
  std::string FTag;
  std::optional<TTempNameTag> FScope;
};

py::object NewError(py::module_& M, const char* Name, py::handle Bases, const char* Doc) {
  PyObject* Type = PyErr_NewExceptionWithDoc(
      (std::string("kestrum.") + Name).c_str(), Doc, Bases.ptr(), nullptr);
  if (!Type) throw py::error_already_set();
  py::object Object = py::reinterpret_steal<py::object>(Type);
  M.attr(Name) = Object;
  return Object;
}

}  // namespace

PYBIND11_MODULE(_kestrum, M) {
  M.doc() = "Kestrum's native half; use the package kestrum.";
  // Every call computes in the default floating-point environment, whatever
  // the interpreter's thread has set (fesetround through ctypes, a library
  // that turned on flush-to-zero), and gives it back.
  const auto kDefaultEnv = py::call_guard<TDefaultFloatEnv>();
  static py::object Base = NewError(M, "KestrumError", PyExc_Exception,
                                    "An error of the Kestrum library: its message is the one the kestrum tool prints.");
  static py::object File = NewError(M, "FileError", py::make_tuple(Base, py::handle(PyExc_OSError)),
                                    "A file that cannot be read or written, or whose content is refused; errno is "
                                    "the system's error code when there is one.");
  static py::object Math = NewError(M, "MathError", py::make_tuple(Base, py::handle(PyExc_ArithmeticError)),
                                    "A filtered sum that cannot be stored; frame is the failing frame's number, "
                                    "counted from the first frame filtered.");
  static py::object Stopped = NewError(M, "StoppedError", Base, "A run stopped on request.");
  KestrumError = Base.ptr();
  FileError = File.ptr();
  MathError = Math.ptr();
  StoppedError = Stopped.ptr();
  py::register_exception_translator(Translate);

  // A filter value of either kind: a .fir's taps, or a long filter's per
  // channel (delays and coefficients: its first channel's, at delays 0 to
  // N - 1).
  py::class_<TFilter>(M, "FilterValue")
      .def_readonly("name", &TFilter::Name)
      .def_readonly("comment", &TFilter::Comment)
      .def_readonly("rate", &TFilter::Rate)
      .def_property_readonly("is_long", &TFilter::IsLong)
      .def_property_readonly("length", &TFilter::Length)
      .def_property_readonly("nb_taps", [](const TFilter& F) { return F.IsLong() ? int64_t(F.Length()) : int64_t(F.Fir().NbTaps); })
      .def_property_readonly("delays",
                             [](const TFilter& F) {
                               if (F.IsLong()) {
                                 py::array_t<int32_t> Delays(static_cast<py::ssize_t>(F.Long().Channels.front().size()));
                                 for (py::ssize_t I = 0; I < Delays.size(); ++I) Delays.mutable_data()[I] = int32_t(I);
                                 return Delays;
                               }
                               const size_t N = static_cast<size_t>(std::max(F.Fir().NbTaps, 0));
                               return py::array_t<int32_t>(static_cast<py::ssize_t>(N), F.Fir().Delays.data());
                             })
      .def_property_readonly("coefficients",
                             [](const TFilter& F) -> py::object {
                               if (F.IsLong()) {
                                 const std::vector<double>& Taps = F.Long().Channels.front();
                                 return py::array_t<double>(static_cast<py::ssize_t>(Taps.size()), Taps.data());
                               }
                               const size_t N = static_cast<size_t>(std::max(F.Fir().NbTaps, 0));
                               return py::array_t<float>(static_cast<py::ssize_t>(N), F.Fir().Coefs.data());
                             })
      .def_property_readonly("channels", [](const TFilter& F) { return F.IsLong() ? F.Long().Channels : std::vector<std::vector<double>>{}; })
      .def("text",
           [](const TFilter& F) {
             if (F.IsLong())
               throw EGeneralError("a long filter of " + std::to_string(F.Length()) +
                                   " taps has no .fir text: a .fir holds at most " + std::to_string(FIR_MAX_TAPS));
             return FormatFirFile(F.Fir());
           },
           kDefaultEnv)
      .def(py::pickle(&FilterState, &FilterFromState));
  M.def("read_filter", &ReadFilterText, kDefaultEnv);
  M.def("from_taps", &FromTaps, kDefaultEnv);
  M.def("from_long", &FromLong, kDefaultEnv);
  M.def("read_long_filter", &ReadLong, kDefaultEnv);
  M.def("design", &Design, kDefaultEnv);
  M.def("from_impulse", &FromImpulse, kDefaultEnv);
  M.def("summary", &Summary, kDefaultEnv);
  M.def("curves", &Curves, kDefaultEnv);
  M.def("apply", &Apply, kDefaultEnv);
  M.def("overflow_warning", &OverflowWarning, kDefaultEnv);
  M.def("unpack24", &Unpack24, kDefaultEnv);
  // The sample formats' names, indexed by the binding's format codes (ff_bits).
  py::tuple Names(ff_64bitsFloat + 1);
  for (int Bits = ff_8bits; Bits <= ff_64bitsFloat; ++Bits)
    Names[static_cast<size_t>(Bits)] = SampleFormatName(SampleFormatOf(static_cast<ff_bits>(Bits)));
  M.attr("FORMAT_NAMES") = Names;
  M.attr("MAX_CHANNELS") = MAX_CHANNELS;
  M.def("filter_file", &FilterFile, kDefaultEnv);
  M.def("frame_range", &RangeAt, kDefaultEnv);
  M.def("is_time", [](const std::string& Text, const std::string& Name) { return FrameTimeOf(Text, Name).IsTime; });
  M.def("rate_warning", py::overload_cast<const std::string&, const std::string&, uint32_t>(&RateWarning),
        kDefaultEnv);
  // A long filter's pieces (FftPieces): (block frames, warm-up frames).
  M.def("fft_pieces", [](const TFilter& Filter) {
    if (!Filter.IsLong()) throw py::value_error("'" + Filter.Name + "' is not a long filter");
    const TFftPieces Pieces = FftPieces(Filter.Long());
    return py::make_tuple(Pieces.Block, Pieces.Warm);
  });
  M.def("design_log_line", &DesignLogLine, kDefaultEnv);
  M.def("value_rate_warning", py::overload_cast<const TFilter&, uint32_t>(&RateWarning), kDefaultEnv);
  M.def("filter_value", &FilterValue, kDefaultEnv);
  M.def("is_design", [](const std::string& Text) {
    try {
      return ParseFilterDesign(Text).has_value();
    } catch (const EGeneralError& E) {
      throw py::value_error(E.what());
    }
  }, kDefaultEnv);
  M.attr("ALIGN_OFF") = kAlignOff;
  M.attr("ALIGN_DELAY") = kAlignDelay;
  M.attr("KERNELS") = py::tuple(py::cast(EngineNames()));
  M.def("check_kernel", [](const std::string& Kernel) { CheckedEngine(Kernel); });
  M.def("read_wav", &ReadWav, kDefaultEnv);
  M.def("write_wav", &WriteWav, kDefaultEnv);
  M.def("wav_layout", &WavLayout, kDefaultEnv);
  M.def("wav_header", &WavHeader, kDefaultEnv);
  M.def("write_sparse_at", &WriteSparseAt, kDefaultEnv);
  M.def("check_target", [](const std::string& Target, bool Force) { CheckTarget(Target, {}, Force); },
        kDefaultEnv);
  py::class_<TReplaceFile>(M, "Replacement")
      .def(py::init<>(), kDefaultEnv)
      .def("open", &TReplaceFile::Open, kDefaultEnv)
      .def_property_readonly("temp_name", &TReplaceFile::TempName, kDefaultEnv)
      .def("commit", &TReplaceFile::Commit, kDefaultEnv)
      .def("discard", &TReplaceFile::Discard, kDefaultEnv);
  py::class_<TTempTagScope>(M, "TempNameTag")
      .def(py::init<std::string>(), kDefaultEnv)
      .def("__enter__", &TTempTagScope::Enter, kDefaultEnv)
      .def("__exit__", &TTempTagScope::Exit, kDefaultEnv);
  py::class_<TStream>(M, "Stream")
      .def(py::init<const TFilter&, int, int, bool>(), kDefaultEnv)
      .def("filter", &TStream::Filter, kDefaultEnv)
      .def("flush", &TStream::Flush, kDefaultEnv)
      .def_property_readonly("block_frames", &TStream::BlockFrames, kDefaultEnv)
      .def("reset", &TStream::Reset, kDefaultEnv)
      .def_property_readonly("frames", &TStream::Frames, kDefaultEnv)
      .def_property_readonly("overflow", &TStream::Overflow, kDefaultEnv);
}
