// The small component framework: owned components with names, published
// properties that stored text can set by name, and bound-method events.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kestrum {

// Root of everything that can send an event.
class TObject {
public:
  virtual ~TObject() = default;
};

// An event handler: an object together with one of its member functions. An
// empty event has no handler; callers test it and skip the call.
template <typename... Args>
class TEvent {
public:
  TEvent() = default;
  template <class C>
  TEvent(C* Object, void (C::*Method)(Args...))
      : FObject(Object), FCall([Object, Method](Args... A) { (Object->*Method)(A...); }) {}

  explicit operator bool() const { return static_cast<bool>(FCall); }
  void operator()(Args... A) const { FCall(A...); }
  // The object the handler belongs to, or nullptr.
  const void* Object() const { return FObject; }

private:
  const void* FObject = nullptr;
  std::function<void(Args...)> FCall;
};

// A component has an owner, which destroys it, and a name. Its published
// properties can be read and set as text by name, which is how a host loads
// stored values ("StartPos = 0", "Version = '0.90'").
class TComponent : public TObject {
public:
  // Registers with Owner (may be nullptr), which will destroy this component.
  explicit TComponent(TComponent* Owner);
  // Destroys the owned components, last created first, and leaves the owner.
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return FOwner; }
  const std::vector<TComponent*>& Components() const { return FComponents; }
  const std::string& Name() const { return FName; }
  void SetName(const std::string& Name) { FName = Name; }

  // Names of the published properties, in declaration order.
  std::vector<std::string> PublishedProperties() const;
  // The property's value as stored text: integers in decimal, booleans as
  // True or False, strings quoted ('it''s'). Throws EGeneralError for an
  // unknown name.
  std::string PropertyText(const std::string& Name) const;
  // Sets the property through its setter from stored text in the same form.
  // Throws EGeneralError for an unknown name or a value of the wrong kind.
  void SetPropertyText(const std::string& Name, const std::string& Value);
  // Applies stored text: one "Name = Value" per line; blank lines ignored.
  void LoadProperties(const std::string& Stored);

protected:
  // Property kinds a component can publish; the getter and setter are the
  // component's own, so setters keep their rules when text is loaded.
  void PublishString(const std::string& Name, std::function<std::string()> Get,
                     std::function<void(const std::string&)> Set);
  void PublishInteger(const std::string& Name, std::function<int32_t()> Get,
                      std::function<void(int32_t)> Set);
  void PublishBoolean(const std::string& Name, std::function<bool()> Get,
                      std::function<void(bool)> Set);

private:
  struct TProperty {
    std::string Name;
    std::function<std::string()> Get;            // as stored text
    std::function<void(const std::string&)> Set;  // from stored text
  };
  const TProperty& Find(const std::string& Name) const;

  TComponent* FOwner;
  std::string FName;
  std::vector<TComponent*> FComponents;
  std::vector<TProperty> FProperties;
};

}  // namespace kestrum
