// A WAV reader as a kernel's frame source, a WAV writer as its frame sink.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <algorithm>

#include "kestrum/kernel/Kernel.h"
#include "kestrum/wav/ReadWavFile.h"
#include "kestrum/wav/WriteWavFile.h"

namespace kestrum {

class TWavFrameSource : public TFrameSource {
public:
  explicit TWavFrameSource(TReadWavFile& Reader) : FReader(Reader) {}
  void ReadFrames(uint8_t* Dest, int32_t Count) override { FReader.ReadFrames(Dest, Count); }
  int32_t ReadArrived(uint8_t* Dest, int32_t Max) override { return FReader.ReadArrived(Dest, Max); }
  bool Ready() override { return FReader.Ready(); }

private:
  TReadWavFile& FReader;
};

// Frames in the writer's format, set before the first one.
class TWavFrameSink : public TFrameSink {
public:
  explicit TWavFrameSink(TWriteWavFile& Writer) : FWriter(Writer) {}
  void WriteFrames(const uint8_t* Frames, int32_t Count) override {
    FWriter.WriteBytes(Frames, static_cast<size_t>(Count) * static_cast<size_t>(FWriter.Format().FrameBytes()));
  }
  void Flush() override { FWriter.SendBuffered(); }

private:
  TWriteWavFile& FWriter;
};

// A source that goes on, once its signal has ended, with Tail frames of
// silence: the flush of an aligned run's delayed output.
class TTailSource : public TFrameSource {
public:
  TTailSource(TFrameSource& Inner, TAudioFormat Format, int64_t Tail)
      : FInner(Inner), FFrameBytes(static_cast<size_t>(Format.FrameBytes())),
        FSilence(Format.Samples == TSampleFormat::Pcm8 ? 0x80 : 0), FTail(Tail) {}
  void ReadFrames(uint8_t* Dest, int32_t Count) override { FInner.ReadFrames(Dest, Count); }
  int32_t ReadArrived(uint8_t* Dest, int32_t Max) override {
    if (!FEnded) {
      if (const int32_t Got = FInner.ReadArrived(Dest, Max); Got > 0) return Got;
      FEnded = true;
    }
    const auto Count = static_cast<int32_t>(std::min<int64_t>(Max, FTail));
    std::memset(Dest, FSilence, static_cast<size_t>(Count) * FFrameBytes);
    FTail -= Count;
    return Count;
  }
  bool Ready() override { return FEnded || FInner.Ready(); }

private:
  TFrameSource& FInner;
  const size_t FFrameBytes;
  const uint8_t FSilence;
  int64_t FTail;
  bool FEnded = false;
};

// A sink that drops the first Skip frames it is given.
class TSkipSink : public TFrameSink {
public:
  TSkipSink(TFrameSink& Inner, size_t FrameBytes, int64_t Skip) : FInner(Inner), FFrameBytes(FrameBytes), FSkip(Skip) {}
  void WriteFrames(const uint8_t* Frames, int32_t Count) override {
    const auto Skipped = static_cast<int32_t>(std::min<int64_t>(Count, FSkip));
    FSkip -= Skipped;
    if (Count > Skipped) FInner.WriteFrames(Frames + static_cast<size_t>(Skipped) * FFrameBytes, Count - Skipped);
  }
  void Flush() override { FInner.Flush(); }

private:
  TFrameSink& FInner;
  const size_t FFrameBytes;
  int64_t FSkip;
};

}  // namespace kestrum
