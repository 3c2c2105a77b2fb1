// The process-wide table of objects held for the host, and the id counter.
#pragma once

#include <map>
#include <memory>

#include "host_object.h"
#include "olehost.h"

namespace olehost {

class ObjectTable {
  public:
    static ObjectTable& instance();

    // Ids come from one counter, incremented before every create or load.
    int32_t nextId() { return ++counter_; }
    // A load that failed, or an insert that made no window, gives its id back.
    void giveBack() { --counter_; }

    // Lookups hand out a share of the object: a call that holds it may go on after the host
    // destroyed the object from its callback, and finds it destroyed() instead of freed.
    void add(int32_t id, std::shared_ptr<HostObject> object);
    std::shared_ptr<HostObject> find(int32_t id) const;
    // The object whose view's parent is the frame window.
    std::shared_ptr<HostObject> findByFrame(HWND frame) const;
    std::shared_ptr<HostObject> remove(int32_t id);

    OleBoundsChangedCallback setCallback(OleBoundsChangedCallback callback);
    void reportBoundsChanged(int32_t token) const;

  private:
    int32_t counter_ = 0;
    std::map<int32_t, std::shared_ptr<HostObject>> objects_;
    OleBoundsChangedCallback callback_ = nullptr;
};

}  // namespace olehost
