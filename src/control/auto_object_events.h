// An automation object that raises events: it is a connectable object with one
// connection point per events (source) interface of its class, the default
// one first; it keeps a cached list of each point's connected sinks and
// delivers an event to each of them in turn.
//
// Threads: the object and its connection point are called on the apartment's
// thread. TInterfaceList locks itself for each operation.
#pragma once

#include <oaidl.h>
#include <windows.h>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "control/auto_object.h"
#include "control/com_ptr.h"
#include "control/connection_points.h"

namespace vela::control {

// An ordered list of counted interface references; each entry holds one
// reference, released when the entry is removed or the list is destroyed.
class TInterfaceList {
 public:
  TInterfaceList() = default;
  ~TInterfaceList();
  TInterfaceList(const TInterfaceList&) = delete;
  TInterfaceList& operator=(const TInterfaceList&) = delete;

  void Add(IUnknown* item);  // takes its own reference
  size_t Count() const;
  ComPtr<IUnknown> Item(size_t index) const;  // null past the end
  std::vector<ComPtr<IUnknown>> Snapshot() const;
  void Clear();

 private:
  mutable std::mutex lock_;
  std::vector<IUnknown*> items_;
};

class TAutoObjectWithEvents : public TAutoObject {
 public:
  TAutoObjectWithEvents(TAutoObjectFactory& factory, IUnknown* outer);

  void InitializeObject() override;

  // The sinks connected to the default events interface's point, in
  // ascending cookie order (the IUnknown each client passed to Advise). Built
  // on first use and kept until that point's connection set changes; owned
  // by the object, never freed by the caller.
  TInterfaceList& EventSinks();
  // The same for the point of events interface `iid` (an empty list when the
  // class has no such source interface).
  TInterfaceList& EventSinks(REFIID iid);
  // Frees the cached lists (if any).
  void DiscardSinkList();

  // The default events connection point (null when the class has none).
  TConnectionPoint* EventConnectionPoint() const { return eventConnectionPoint_; }

  // Raises one event on the sinks of the points of `points` (events
  // interface identifiers, in that order): calls IDispatch::Invoke(`id`,
  // method call) on every sink connected when delivery starts, point by
  // point in cookie order. `makeArgs` fills the arguments for one sink, laid
  // out last-first as Invoke expects; they are built anew for each sink and
  // cleared after its call. A sink that lacks its point's events interface
  // or whose Invoke fails ends the delivery with an error (EOleSysError; for
  // DISP_E_EXCEPTION with the sink's description): sinks after it, also
  // those of later points, do not receive the event.
  void DeliverEvent(const std::vector<IID>& points, DISPID id,
                    const std::function<void(std::vector<VARIANT>& args)>& makeArgs);
  // On the default events interface's point only.
  void DeliverEvent(DISPID id, const std::function<void(std::vector<VARIANT>& args)>& makeArgs);

 protected:
  // Called after a sink connected or disconnected.
  virtual void SinkConnectionChanged();
  void BeforeDestruction() override;
  void* OwnInterface(REFIID iid) override;

 private:
  struct SinkCache {
    IID iid;
    std::unique_ptr<TInterfaceList> sinks;  // null when not built
  };
  void ConnectEvent(REFIID events, IUnknown* sink, bool connecting);
  SinkCache* CacheOf(REFIID iid);

  std::unique_ptr<TConnectionPoints> connectionPoints_;
  std::vector<SinkCache> caches_;  // one per events interface, the default first
  TConnectionPoint* eventConnectionPoint_ = nullptr;
  TInterfaceList emptySinks_;
};

}  // namespace vela::control
