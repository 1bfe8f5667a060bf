// The engine factory and the driver: a threaded pipeline of blocks from a
// source through an engine to a sink.
#include "kestrum/kernel/Engine.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "kestrum/base/Errors.h"
#include "kestrum/base/FloatEnv.h"
#include "kestrum/base/QuietThread.h"
#include "kestrum/kernel/FastKernel.h"

namespace kestrum {

TProcessed TKernelEngine::ComputeBlock(const uint8_t*, int32_t, uint8_t*, int64_t) const {
  throw std::logic_error("this engine computes its blocks in order, through Process");
}

std::unique_ptr<TKernelEngine> MakeEngine(TEngine Kind, const TFilter& Filter, const TAudioFormat& Format,
                                          const TStoreSettings& Store, int64_t Frames, bool Live) {
  const bool OtherTarget = Store.Target && *Store.Target != Format.Samples;
  std::unique_ptr<TKernelEngine> Engine;
  if (Filter.IsLong()) {
    if (Kind == TEngine::Exact) {
      Engine = MakeBlockEngine(Filter.Long());
    } else {
      if (OtherTarget)
        throw EGeneralError("the FFT engine writes the source's sample format: with another target format, filter "
                            "with the exact sum (--exact)");
      Engine = MakeFftEngine(Filter.SharedLong());
    }
  } else if (Kind == TEngine::Fft) {
    // The long filter's refusal advises --exact, which is for a WAV filter.
    if (OtherTarget)
      throw EGeneralError("the FFT engine (--fft) writes the source's sample format: with another target "
                          "format, filter the .fir without --fft");
    Engine = MakeFftEngine(LongFilterOf(Filter.Fir()));
  } else if (Kind == TEngine::Reference) {
    Engine = MakeReferenceEngine(Filter.Fir());
  } else {  // Auto, Fast, and Exact, whose float sum is the fast engine's
    Engine = MakeBlockEngine(Filter.Fir());
  }
  Engine->SetLive(Live);
  Engine->Prepare(Format, Store, Frames);
  return Engine;
}

namespace {

// A block of frames on its way: read by the caller's thread, computed by any
// thread (or by the caller's, in order), handed over by the caller's thread.
struct TBlock {
  std::vector<uint8_t> Raw;  // History() frames of history, then the block's frames, as in the file
  std::vector<uint8_t> Out;  // the block's frames as they go to the sink
  int64_t First = 0;         // frame number of the block's first frame in the run
  int32_t Count = 0;         // the block's frames
  TProcessed Result;         // what computing it gave
  std::exception_ptr Error;  // a failure to read or compute the block
  bool Done = false;         // computed (or failed), not yet handed over
};

// The run: the caller's thread reads blocks ahead into a ring of slots and
// hands finished blocks over in order; worker threads, and the caller while
// it waits, compute the oldest block read and not yet taken. An engine whose
// blocks depend on all before them has no workers: the caller's thread
// computes each block in turn.
class TPipeline {
public:
  TPipeline(TKernelEngine& Engine, TFrameSource& Source, TFrameSink& Sink, const TRunLength& Length,
            TRunContext& Run, int Threads, int32_t BlockFrames)
      : FSource(Source), FSink(Sink), FRun(Run), FEngine(Engine), FApart(Engine.History() >= 0),
        FHistory(std::max(Engine.History(), 0)), FFormat(Engine.Format()), FBlockFrames(BlockFrames),
        FLength(Length) {
    const int64_t NbBlocks = Length.Frames / BlockFrames + (Length.Frames % BlockFrames != 0);
    const int64_t Workers = FApart ? std::min<int64_t>(Threads - 1, NbBlocks - 1) : 0;
    FSlots.resize(static_cast<size_t>(std::min<int64_t>(std::max<int64_t>(Workers, 0) + 2, NbBlocks)));
    const size_t FrameBytes = static_cast<size_t>(FFormat.FrameBytes());
    for (TBlock& Slot : FSlots) {
      Slot.Raw.resize((static_cast<size_t>(FHistory) + static_cast<size_t>(BlockFrames)) * FrameBytes);
      Slot.Out.resize(static_cast<size_t>(BlockFrames) * static_cast<size_t>(Engine.Target().FrameBytes()));
    }
    // Workers leave signals to the caller's thread, so that a stop ends any
    // wait it is in (a write to a FIFO, say).
    for (int64_t I = 0; I < Workers; ++I) {
      try {
        FWorkers.push_back(QuietThread([this] { Work(); }));
      } catch (const std::system_error&) {
        break;  // fewer threads: the caller's thread computes what they don't
      }
    }
  }

  // Stops the workers once their current block is done.
  ~TPipeline() {
    {
      std::lock_guard<std::mutex> Lock(FMutex);
      FStop = true;
    }
    FChanged.notify_all();
    for (std::thread& Worker : FWorkers) Worker.join();
  }

  // Reads ahead while the source has frames at hand; when it has none, hands
  // over every block read before waiting for it, so that a live source's
  // frames leave as soon as they are filtered. Then the frames the engine
  // held back.
  void Run() {
    for (int64_t W = 0;; ++W) {
      while (!FEnded && FNextRead < W + static_cast<int64_t>(FSlots.size())) {
        const bool AtHand = FSource.Ready();
        if (!AtHand) {
          if (FNextRead > W) break;  // block W first
          FSink.Flush();
        }
        // A block read after a wait is most often a live source's one piece:
        // the caller computes it next, and waking a worker for it would only
        // cost two switches of thread. A worker takes it if more follow.
        Read(FNextRead, AtHand);
      }
      if (W >= FNextRead) break;
      TBlock& Block = Slot(W);
      {
        std::unique_lock<std::mutex> Lock(FMutex);
        while (!Block.Done) {
          if (FNextCompute < FNextRead)
            ComputeNext(Lock, false);
          else
            FChanged.wait(Lock);
        }
        Block.Done = false;
      }
      HandOver(Block);
    }
    if (FEngine.Latency() > 0) {
      std::vector<uint8_t> Held(size_t(FEngine.Latency()) * size_t(FEngine.Target().FrameBytes()));
      TBlock Last;
      Last.Result = FEngine.Flush(Held.data());
      Last.Out = std::move(Held);
      HandOver(Last);
    }
  }

private:
  TBlock& Slot(int64_t K) { return FSlots[static_cast<size_t>(K % static_cast<int64_t>(FSlots.size()))]; }

  // Fills block K's slot: the history from block K - 1's (silence before the
  // first frame), then its own frames, those that have arrived. A read
  // failure is kept in the block and raised when its turn to be handed over
  // comes, after the blocks before. Sets FEnded, reading no block, once the
  // run's frames are all read or its source's signal has ended. Wakes a
  // worker for the block when Wake is set.
  void Read(int64_t K, bool Wake) {
    TBlock& Block = Slot(K);
    const size_t FrameBytes = static_cast<size_t>(FFormat.FrameBytes());
    const size_t HistoryBytes = static_cast<size_t>(FHistory) * FrameBytes;
    Block.First = FFramesRead;
    const int32_t Want = static_cast<int32_t>(std::min<int64_t>(FBlockFrames, FLength.Frames - FFramesRead));
    Block.Error = nullptr;
    if (K == 0) {
      std::memset(Block.Raw.data(), FFormat.Samples == TSampleFormat::Pcm8 ? 0x80 : 0x00, HistoryBytes);
    } else {
      const TBlock& Before = Slot(K - 1);
      const size_t BeforeEnd = HistoryBytes + static_cast<size_t>(Before.Count) * FrameBytes;
      // With one slot, block K - 1 is in the same slot (a block that a short
      // read left short is followed by another): the ranges may overlap.
      std::memmove(Block.Raw.data(), Before.Raw.data() + BeforeEnd - HistoryBytes, HistoryBytes);
    }
    uint8_t* const Frames = Block.Raw.data() + HistoryBytes;
    try {
      Block.Count = Want <= 0 ? 0 : FSource.ReadArrived(Frames, Want);
      if (Block.Count == 0 && Want > 0 && !FLength.UntilEnd) {  // silence past the signal's end
        FSource.ReadFrames(Frames, Want);
        Block.Count = Want;
      }
      if (Block.Count == 0) {
        FEnded = true;
        return;
      }
    } catch (...) {
      Block.Count = 0;
      Block.Error = std::current_exception();
      FEnded = true;
    }
    FFramesRead += Block.Count;
    {
      std::lock_guard<std::mutex> Lock(FMutex);
      ++FNextRead;
    }
    if (Wake) FChanged.notify_one();
  }

  void Work() {
    std::unique_lock<std::mutex> Lock(FMutex);
    for (;;) {
      FChanged.wait(Lock, [this] { return FStop || FNextCompute < FNextRead; });
      if (FStop) return;
      ComputeNext(Lock, true);
    }
  }

  // Computes the oldest block not yet taken, with the lock released meanwhile.
  // Only the caller's thread waits for a block to be done: a worker's block
  // wakes it, the caller's own wakes no one (a sleeping worker would wake for
  // nothing).
  void ComputeNext(std::unique_lock<std::mutex>& Lock, bool ByWorker) {
    TBlock& Block = Slot(FNextCompute++);
    Lock.unlock();
    if (!Block.Error) {
      try {
        Block.Result = FApart ? FEngine.ComputeBlock(Block.Raw.data(), Block.Count, Block.Out.data(), Block.First)
                              : FEngine.Process(Block.Raw.data(), Block.Count, Block.Out.data());
      } catch (...) {
        Block.Error = std::current_exception();
      }
    }
    Lock.lock();
    Block.Done = true;
    if (ByWorker) FChanged.notify_all();
  }

  // Hands the block's written frames to the sink in runs that end where a
  // progress report falls, each followed by the StepProgress calls of its
  // frames, so that reports, writes and a failing write come in frame
  // order; then counts the block's overflows and raises its failure, if any.
  void HandOver(const TBlock& Block) {
    if (Block.Error) std::rethrow_exception(Block.Error);
    const size_t FrameBytes = static_cast<size_t>(FEngine.Target().FrameBytes());
    for (int32_t Done = 0; Done < Block.Result.Written;) {
      const int32_t Frames = std::min(Block.Result.Written - Done, FRun.FramesToProgress());
      FSink.WriteFrames(Block.Out.data() + static_cast<size_t>(Done) * FrameBytes, Frames);
      FRun.StepProgress(Frames);
      Done += Frames;
    }
    FRun.Overflow.Add(Block.Result.Tally);
    if (Block.Result.Failure) std::rethrow_exception(Block.Result.Failure);
  }

  TFrameSource& FSource;
  TFrameSink& FSink;
  TRunContext& FRun;
  TKernelEngine& FEngine;
  const bool FApart;  // blocks computed apart, through ComputeBlock
  const int32_t FHistory;
  const TAudioFormat FFormat;
  const int32_t FBlockFrames;
  const TRunLength FLength;
  std::vector<TBlock> FSlots;  // block K lives in slot K % size
  int64_t FFramesRead = 0;     // the caller's thread's own, as FEnded
  bool FEnded = false;         // no block is read after the last or a failure

  std::mutex FMutex;  // guards the counters below and the blocks' Done
  std::condition_variable FChanged;
  int64_t FNextRead = 0;     // blocks read
  int64_t FNextCompute = 0;  // blocks taken for computing
  bool FStop = false;
  std::vector<std::thread> FWorkers;
};

// A signal in memory as a source, and a buffer in memory as a sink.
class TMemorySource final : public TFrameSource {
public:
  TMemorySource(std::span<const uint8_t> In, size_t FrameBytes) : FIn(In), FFrameBytes(FrameBytes) {}
  void ReadFrames(uint8_t* Dest, int32_t Count) override {
    const size_t Bytes = size_t(Count) * FFrameBytes;
    std::memcpy(Dest, FIn.data() + FAt, Bytes);
    FAt += Bytes;
  }

private:
  std::span<const uint8_t> FIn;
  const size_t FFrameBytes;
  size_t FAt = 0;
};

class TMemorySink final : public TFrameSink {
public:
  TMemorySink(std::span<uint8_t> Out, size_t FrameBytes) : FOut(Out), FFrameBytes(FrameBytes) {}
  void WriteFrames(const uint8_t* Frames, int32_t Count) override {
    const size_t Bytes = size_t(Count) * FFrameBytes;
    std::memcpy(FOut.data() + FAt, Frames, Bytes);
    FAt += Bytes;
  }

private:
  std::span<uint8_t> FOut;
  const size_t FFrameBytes;
  size_t FAt = 0;
};

}  // namespace

void DriveEngine(TKernelEngine& Engine, TFrameSource& Source, TFrameSink& Sink, const TRunLength& Length,
                 TRunContext& Run, int Threads, int32_t BlockFrames, int64_t Number) {
  if (Length.Frames <= 0) return;
  const TDefaultFloatEnv Env;
  // Past a few dozen threads the caller's own work per frame (reading,
  // writing, StepProgress) is the limit: more would only take memory.
  constexpr int kMaxThreads = 32;
  if (Threads <= 0 && Engine.Light()) Threads = 1;
  if (Threads <= 0) Threads = static_cast<int>(std::thread::hardware_concurrency());
  Threads = std::clamp(Threads, 1, kMaxThreads);
  Engine.SetThreads(Threads);
  Engine.SetResumable(false);  // the run ends at a failure
  Engine.NumberFrom(Number);
  const int32_t Frames = static_cast<int32_t>(std::min<int64_t>(Length.Frames, INT32_MAX));
  TPipeline Pipeline(Engine, Source, Sink, Length, Run, Threads, std::clamp(BlockFrames, 1, Frames));
  Pipeline.Run();
}

TOverflowCount ApplyEngine(TKernelEngine& Engine, std::span<const uint8_t> In, std::span<uint8_t> Out, int Threads,
                           int64_t Number) {
  const size_t InBytes = size_t(Engine.Format().FrameBytes()), OutBytes = size_t(Engine.Target().FrameBytes());
  const size_t Frames = In.size() / InBytes;
  if (In.size() % InBytes != 0 || Out.size() != Frames * OutBytes)
    throw std::invalid_argument("ApplyEngine: " + std::to_string(In.size()) + " bytes in, " +
                                std::to_string(Out.size()) + " out, expected the same whole number of frames");
  TOverflowCount Overflow = TOverflowCount::For(Engine.Target());
  TMemorySource Source(In, InBytes);
  TMemorySink Sink(Out, OutBytes);
  TRunContext Run(false, Overflow, INT32_MAX);
  try {
    DriveEngine(Engine, Source, Sink, TRunLength{int64_t(Frames), false}, Run, Threads, fast::kBlockFrames, Number);
  } catch (const EMathError& E) {
    // A sample that is not a finite number, at or before the frame that
    // failed, makes every sum that holds it fail: it is the cause, as a
    // file run names it.
    if (Engine.Format().Float() && E.Frame() >= Number) {
      const size_t Last = std::min<size_t>(Frames - 1, size_t(E.Frame() - Number));
      std::vector<double> Levels(Last + 1);
      int64_t Bad = -1;
      for (int C = 0; C < Engine.Format().Channels; ++C) {
        fast::LoadLevelsPortable(In.data(), int32_t(Last + 1), Engine.Format(), C, Levels.data());
        for (size_t I = 0; I < Levels.size() && (Bad < 0 || int64_t(I) < Bad); ++I)
          if (!std::isfinite(Levels[I])) Bad = int64_t(I);
      }
      if (Bad >= 0) throw NonFiniteSampleError(Number + Bad);
    }
    throw;
  }
  return Overflow;
}

}  // namespace kestrum
