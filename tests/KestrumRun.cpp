// A TKestrum with recording handlers, for tests of whole runs.
#include "tests/KestrumRun.h"

#include <exception>

namespace kestrum::test {

TKestrumRun::TKestrumRun() {
  Kestrum.OnStartFilter = TNotifyEvent(this, &TKestrumRun::StartFilter);
  Kestrum.OnEndFilter = TNotifyEvent(this, &TKestrumRun::EndFilter);
  Kestrum.OnLog = TLog(this, &TKestrumRun::Log);
  Kestrum.OnWarning = TLog(this, &TKestrumRun::Warning);
  Kestrum.OnProgress = TProgress(this, &TKestrumRun::Progress);
  Kestrum.OnSourceProperty = TSourceProperty(this, &TKestrumRun::SourceProperty);
  Kestrum.CibleFile = Dir / "out.wav";
}

void TKestrumRun::Prepare(int Channels, int Bits, uint32_t Rate, const Bytes& Data,
                          const std::string& Fir) {
  Prepare(MakeWav(Channels, Bits, Rate, Data), Fir);
}

void TKestrumRun::Prepare(const Bytes& Wav, const std::string& Fir) {
  Kestrum.SourceFile = Dir / "in.wav";
  Kestrum.FirFile = Dir / "filter.fir";
  WriteFileBytes(Kestrum.SourceFile, Wav);
  WriteFileText(Kestrum.FirFile, Fir);
}

void TKestrumRun::Execute() {
  Events.clear();
  Error.clear();
  try {
    Kestrum.Execute();
  } catch (const std::exception& E) {
    Error = E.what();
  }
}

Bytes TKestrumRun::Output() const {
  return WavSamples(ReadFileBytes(Kestrum.CibleFile));
}

void TKestrumRun::StartFilter(TObject* Sender) {
  Events.push_back(Sender == &Kestrum ? "StartFilter" : "StartFilter from another sender");
}
void TKestrumRun::EndFilter(TObject*) { Events.push_back("EndFilter"); }
void TKestrumRun::Log(TObject*, std::string Comment) { Events.push_back("Log " + Comment); }
void TKestrumRun::Warning(TObject*, std::string Text) { Events.push_back("Warning " + Text); }
void TKestrumRun::Progress(TObject*, int32_t Position, int32_t Max) {
  Events.push_back("Progress " + std::to_string(Position) + " " + std::to_string(Max));
}
void TKestrumRun::SourceProperty(TObject*, std::string SourceFile, ff_bits NbBits,
                                 ff_channels Channels, uint32_t Frequency, int32_t NSamples) {
  Events.push_back("SourceProperty " + std::string(SourceFile == Kestrum.SourceFile ? "" : SourceFile + " ") +
                   (NbBits == ff_32bitsFloat ? "32 float" : NbBits == ff_64bitsFloat ? "64 float"
                    : NbBits == ff_32bits ? "32" : std::to_string(8 * (NbBits + 1))) +
                   (Channels == ff_stereo ? " stereo " : Channels == ff_multichannel ? " multichannel " : " mono ") +
                   std::to_string(Frequency) + " " + std::to_string(NSamples));
}

}  // namespace kestrum::test
