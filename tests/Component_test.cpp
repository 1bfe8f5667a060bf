// Tests of the component framework: ownership and bound-method events.
#include <gtest/gtest.h>

#include "kestrum/base/Component.h"

namespace kestrum {
namespace {

// Counts its own destruction.
class TCounted : public TComponent {
public:
  TCounted(TComponent* Owner, int& Destroyed) : TComponent(Owner), FDestroyed(Destroyed) {}
  ~TCounted() override { ++FDestroyed; }
  void Add(int Value) { Sum += Value; }
  int Sum = 0;

private:
  int& FDestroyed;
};

TEST(Component, OwnerDestroysWhatItOwns) {
  int Destroyed = 0;
  auto* Owner = new TComponent(nullptr);
  auto* A = new TCounted(Owner, Destroyed);
  new TCounted(A, Destroyed);  // owned in turn by A
  auto* B = new TCounted(Owner, Destroyed);
  delete B;  // leaves its owner's list
  EXPECT_EQ(Owner->Components(), std::vector<TComponent*>{A});
  delete Owner;
  EXPECT_EQ(Destroyed, 3);
}

TEST(Component, EventsCallTheBoundMethodOfTheirObject) {
  int Destroyed = 0;
  TCounted Target(nullptr, Destroyed), Other(nullptr, Destroyed);
  TEvent<int> Event;
  EXPECT_FALSE(Event);
  Event = TEvent<int>(&Target, &TCounted::Add);
  Event(2);
  Event = TEvent<int>(&Other, &TCounted::Add);  // rebinding takes effect at once
  Event(5);
  EXPECT_EQ(Target.Sum, 2);
  EXPECT_EQ(Other.Sum, 5);
  EXPECT_EQ(Event.Object(), &Other);
}

}  // namespace
}  // namespace kestrum
