// A TKestrum with recording handlers and files in a scratch folder, for tests
// of whole runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kestrum/component/Kestrum.h"
#include "tests/TestUtil.h"

namespace kestrum::test {

class TKestrumRun {
public:
  TKestrumRun();

  // Writes the source WAV and the filter file and points the component at
  // them; the target is Dir / "out.wav".
  void Prepare(int Channels, int Bits, uint32_t Rate, const Bytes& Data, const std::string& Fir);
  void Prepare(const Bytes& Wav, const std::string& Fir);
  // Executes, recording the error message (empty on success).
  void Execute();
  // The sample bytes of the target.
  Bytes Output() const;

  // Handlers: each appends one line to Events.
  void StartFilter(TObject* Sender);
  void EndFilter(TObject* Sender);
  void Log(TObject* Sender, std::string Comment);
  void Warning(TObject* Sender, std::string Text);
  void Progress(TObject* Sender, int32_t Position, int32_t Max);
  void SourceProperty(TObject* Sender, std::string SourceFile, ff_bits NbBits,
                      ff_channels Channels, uint32_t Frequency, int32_t NSamples);

  TScratchDir Dir;
  TKestrum Kestrum{nullptr};
  std::vector<std::string> Events;
  std::string Error;
};

}  // namespace kestrum::test
