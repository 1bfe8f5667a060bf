// A WAV reader as a kernel's frame source, a WAV writer as its frame sink.
#pragma once

#include <cstddef>
#include <cstdint>

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

}  // namespace kestrum
