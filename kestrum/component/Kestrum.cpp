// The run of TKestrum: opens the files, reads the filter, runs an engine and
// reports through the events.
#include "kestrum/component/Kestrum.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>

#include "kestrum/base/Application.h"
#include "kestrum/base/Errors.h"
#include "kestrum/base/FloatEnv.h"
#include "kestrum/base/Stop.h"
#include "kestrum/filter/FirFile.h"
#include "kestrum/component/WavFrames.h"
#include "kestrum/kernel/Engine.h"
#include "kestrum/kernel/FastKernel.h"
#include "kestrum/wav/ReadWavFile.h"
#include "kestrum/wav/WriteWavFile.h"

namespace kestrum {

namespace {

// The source's metadata as it holds for a target whose first frame is the
// source's frame Start: bext's time reference (the frames since midnight at
// the first frame) moves on by Start; the chunks that point at frames in
// other ways (cue points, the labels and notes of a LIST adtl that name them,
// playlists, sampler loops) are left out, with a warning for each.
std::vector<TWavChunk> CarriedChunks(std::vector<TWavChunk> Chunks, int32_t Start, std::vector<std::string>& Warnings) {
  constexpr size_t kTimeReference = 338;  // after the bext chunk's texts, date and time
  std::vector<TWavChunk> Kept;
  for (TWavChunk& Chunk : Chunks) {
    const bool Adtl = Chunk.Id == "LIST" && Chunk.Data.size() >= 4 && std::memcmp(Chunk.Data.data(), "adtl", 4) == 0;
    if (Chunk.Id == "cue " || Chunk.Id == "smpl" || Chunk.Id == "plst" || Adtl) {
      Warnings.push_back("the source's '" + std::string(Adtl ? "LIST adtl" : Chunk.Id) +
                         "' chunk points at frames, which filtering a range would move: it is left out");
      continue;
    }
    if (Chunk.Id == "bext" && Chunk.Data.size() >= kTimeReference + 8) {
      // A reference so large that moving it would wrap holds no real time
      // (a day is about 2^35 frames at the highest rates): it stays at the
      // largest value rather than turning into a small, plausible one.
      const uint64_t Reference = ReadU64LE(&Chunk.Data[kTimeReference]);
      const uint64_t Offset = static_cast<uint64_t>(Start);
      const uint64_t Moved = Reference > UINT64_MAX - Offset ? UINT64_MAX : Reference + Offset;
      if (Moved == UINT64_MAX && Start > 0)
        Warnings.push_back("the source's 'bext' time reference " + std::to_string(Reference) + " cannot move on by " +
                           std::to_string(Start) + " frames: it is written as " + std::to_string(Moved));
      WriteU64LE(&Chunk.Data[kTimeReference], Moved);
    }
    Kept.push_back(std::move(Chunk));
  }
  return Kept;
}

void RefuseBlankName(const std::string& Name, const char* Role) {
  if (IsBlankName(Name)) throw EGeneralError(std::string("no ") + Role + " file name given");
}

}  // namespace

const std::vector<std::string>& EngineNames() {
  static const std::vector<std::string> Names{"auto", "reference", "fast", "fft", "exact"};
  return Names;
}

const std::string& EngineName(TEngine Engine) { return EngineNames().at(static_cast<size_t>(Engine)); }

std::optional<TEngine> EngineOf(const std::string& Name) {
  const std::vector<std::string>& Names = EngineNames();
  for (size_t I = 0; I < Names.size(); ++I)
    if (Names[I] == Name) return static_cast<TEngine>(I);
  return std::nullopt;
}

std::string UnknownEngine(const std::string& Name) {
  const std::vector<std::string>& Names = EngineNames();
  std::string Message = "kernel '" + Name + "': ";
  for (size_t I = 0; I < Names.size(); ++I)
    Message += (I == 0 ? "'" : I + 1 == Names.size() ? " or '" : ", '") + Names[I] + "'";
  return Message + " are accepted";
}

void CheckEngine(TEngine Engine, bool WavFilter, const std::string& FirFile) {
  if (WavFilter && (Engine == TEngine::Reference || Engine == TEngine::Fast))
    throw EGeneralError("'" + FirFile + "' is a WAV filter, which runs on the fft or exact engine, not on " +
                        EngineName(Engine));
}

TKestrum::TKestrum(TComponent* Owner) : TComponent(Owner) {
  PublishString("Version", [this] { return Version(); }, [this](const std::string& V) { SetVersion(V); });
  PublishString("SourceFile", [this] { return SourceFile; }, [this](const std::string& V) { SourceFile = V; });
  PublishString("CibleFile", [this] { return CibleFile; }, [this](const std::string& V) { CibleFile = V; });
  PublishString("FirFile", [this] { return FirFile; }, [this](const std::string& V) { FirFile = V; });
  PublishBoolean("ActiveProcessMessage", [this] { return ActiveProcessMessage; },
                 [this](bool V) { ActiveProcessMessage = V; });
  PublishInteger("StartPos", [this] { return StartPos(); }, [this](int32_t V) { SetStartPos(V); });
  PublishInteger("EndPos", [this] { return EndPos(); }, [this](int32_t V) { SetEndPos(V); });
}

std::string TKestrum::Version() const { return KESTRUM_VERSION; }

void TKestrum::ReportProgress(int64_t Done) {
  FDone = Done;
  if (ActiveProcessMessage) TApplication::ProcessMessages();
  CheckStop();
  if (OnProgress) OnProgress(this, static_cast<int32_t>(std::min<int64_t>(Done, INT32_MAX)), FNbEch);
}

void TKestrum::SendWarnings(const std::vector<std::string>& Warnings) {
  for (const std::string& Warning : Warnings)
    if (OnWarning) OnWarning(this, Warning);
}

void TKestrum::DoExecute() {
  // The whole run, filter reading included, computes in the default
  // environment, whatever the host has set; the events see it too.
  const TDefaultFloatEnv Env;
  Overflow = TOverflowCount();
  FSourceFormat = TAudioFormat();
  FDone = 0;
  FUntilEnd = false;
  if (OnStartFilter) OnStartFilter(this);
  std::unique_ptr<TReadWavFile> Reader;
  std::unique_ptr<TWriteWavFile> Writer;
  try {
    if (SourceDescriptor < 0) RefuseBlankName(SourceFile, "source");
    RefuseBlankName(CibleFile, "target");
    if (!Filter) RefuseBlankName(FirFile, "filter");
    if (!ValidTarget(TargetBits, TargetEncoding))
      throw EGeneralError("no WAV sample format has " + std::to_string(TargetBits) + "-bit samples of that encoding");
    Reader = std::make_unique<TReadWavFile>();
    Writer = std::make_unique<TWriteWavFile>();

    Reader->FileName = SourceFile;
    Reader->Descriptor = SourceDescriptor;
    Reader->KeepChunks = KeepMetadata;
    Reader->OnHeader = [this, &Reader] {
      if (OnSourceRate) OnSourceRate(this, Reader->Frequency);
      Reader->StartSample = StartPos();
    };
    Reader->SetActive(true);
    const TAudioFormat Format = Reader->Format();
    FSourceFormat = Format;
    TAudioFormat TargetFormat = Format;
    TargetFormat.Samples = TargetSampleFormat(Format.Samples, TargetBits, TargetEncoding);
    Overflow = TOverflowCount::For(TargetFormat);
    FNbEch = EndPos() - StartPos();  // both are 0 or more: no overflow
    FUntilEnd = FNbEch == 0 && Reader->Streamed();
    if (FNbEch == 0) FNbEch = Reader->NSamples;

    Writer->FileName = CibleFile;
    Writer->SetActive(true);
    Writer->SetFormat(TargetFormat);
    Writer->NSamples = Reader->NSamples;
    // The length declared: RF64 past 4 GiB. A stream's header gives at most
    // its length, which sizes a file target; one that gives none keeps room
    // for a ds64 chunk in a JUNK chunk (a streamed target says "unknown").
    if (!FUntilEnd)
      Writer->Reserve(FNbEch);
    else if (Reader->NSamples >= 0 && !Writer->Streaming())
      Writer->Reserve(Reader->NSamples);
    else
      Writer->ReserveUnknownLength();
    std::vector<std::string> Dropped;
    if (KeepMetadata) Writer->Chunks = CarriedChunks(std::move(Reader->Chunks), StartPos(), Dropped);
    if (OnSourceProperty)
      OnSourceProperty(this, SourceFile, NbBitsOf(Format.Samples), Format.ChannelsFlag(), Format.Rate,
                       Reader->NSamples);
    SendWarnings(Reader->TakeWarnings());
    SendWarnings(Dropped);
    if (Dither && !DitherApplies(Format.Samples, TargetFormat.Samples)) {
      const auto Name = [](TSampleFormat F) {
        return std::to_string(8 * BytesPerSample(F)) + (IsFloat(F) ? "-bit float" : "-bit");
      };
      SendWarnings({"dither applies only to integer samples narrower than the source's, not to " +
                    Name(TargetFormat.Samples) + " samples from " + Name(Format.Samples) + " ones: nothing is dithered"});
    }

    TWavFrameSource WavSource(*Reader);
    TWavFrameSink WavSink(*Writer);
    int64_t Delay = 0;  // the frames an aligned run drops, once the filter is known
    TRunContext Run(Clip, Overflow, PROGRESS_STEP,
                    [this, &Delay](int64_t Done) { ReportProgress(std::max<int64_t>(0, Done - Delay)); });
    if (TargetFormat.Samples != Format.Samples) Run.Target = TargetFormat.Samples;
    if (Dither) Run.Dither = DitherSeed;
    TRunLength Length =
        FUntilEnd ? TRunLength{FNbEch < 0 ? TRunLength::kEndless : FNbEch, true} : TRunLength{FNbEch, false};
    const std::string NbEchText =
        FNbEch < 0 && FUntilEnd ? std::string("unknown (until the end of the stream)") : std::to_string(FNbEch);
    try {
      // Read once (a pipe or FIFO works), unless the host gave the filter;
      // its head is logged before a .fir's taps are read.
      const auto LogHead = [&](const TFilter& Head) {
        CheckEngine(Engine, Head.IsLong(), Head.Name);
        DoLog("Filter file name: " + Head.Name);
        DoLog("Filter comment: " + Head.Comment);
        DoLog("Taps: " + std::to_string(Head.Length()));
        SendWarnings(Head.HeadWarnings);
      };
      if (Filter) LogHead(*Filter);
      const TFilter Read = Filter ? TFilter() : ReadFilter(FirFile, FilterOptions, LogHead);
      const TFilter& Used = Filter ? *Filter : Read;
      SendWarnings(Used.TapWarnings);
      if (Used.IsLong()) CheckChannels(Used.Long(), Format.Channels, Used.Name);
      DoLog("NbEch: " + NbEchText);
      // Aligned: D frames more, read past the end, and the first D dropped.
      Delay = Align == kAlignDelay ? GroupDelay(Used) : std::max(Align, 0);
      if (Length.Frames != TRunLength::kEndless) Length.Frames = std::max<int64_t>(Length.Frames, 0) + Delay;
      TTailSource Source(WavSource, Format, FUntilEnd ? Delay : 0);
      TSkipSink Sink(WavSink, static_cast<size_t>(Run.TargetFormat(Format).FrameBytes()), Delay);
      const std::unique_ptr<TKernelEngine> Kernel =
          MakeEngine(Engine, Used, Format, {Clip, Run.Target, Run.Dither}, Length.Frames, Length.UntilEnd);
      DriveEngine(*Kernel, Source, Sink, Length, Run, Threads, fast::kBlockFrames);
    } catch (const EMathError& E) {
      // A sample that is not a finite number, at or before the frame that
      // failed, makes every sum that holds it fail: it is the cause (the FFT
      // engine, whose transforms mix a block, fails at that sample's own
      // frame). One that no sum holds fails nothing.
      const int64_t NonFinite = Reader->NonFiniteFrame() - StartPos();
      if (Reader->NonFiniteFrame() >= 0 && NonFinite <= E.Frame())
        throw NonFiniteSampleError(Reader->NonFiniteFrame(), SourceFile, NonFinite);
      throw;
    }
    FDone = std::max<int64_t>(0, Run.Done() - Delay);

    Reader->SetActive(false);
    Writer->Close();
    Writer.reset();
    Reader.reset();
    if (OnProgress) OnProgress(this, 0, 0);
    if (OnEndFilter) OnEndFilter(this);
  } catch (...) {
    const bool Streamed = Writer && Writer->Streaming();
    const bool Stopped = StopSignal() != 0;
    Reader.reset();
    if (Stopped && Writer) Writer->EndStream();  // a stream ends after its last whole frame
    Writer.reset();  // drops the unfinished target; an earlier file stays
    if (OnProgress) OnProgress(this, 0, 0);
    if (OnEndFilter) OnEndFilter(this);
    // Whatever failed once a stop was asked for (a wait cut short, say), the
    // stop is what happened. The target has not been replaced: that is the
    // last step of a run, after which nothing polls for a stop.
    if (Stopped)
      throw EStopped(Streamed ? "interrupted; the WAV streamed to '" + CibleFile + "' ends after its last whole frame"
                              : "interrupted; '" + CibleFile + "' was left as it was");
    throw;
  }
}

}  // namespace kestrum
