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

    void add(int32_t id, std::unique_ptr<HostObject> object);
    HostObject* find(int32_t id) const;
    // The object whose view's parent is the frame window.
    HostObject* findByFrame(HWND frame) const;
    std::unique_ptr<HostObject> remove(int32_t id);

    OleBoundsChangedCallback setCallback(OleBoundsChangedCallback callback);
    void reportBoundsChanged(int32_t token) const;

  private:
    int32_t counter_ = 0;
    std::map<int32_t, std::unique_ptr<HostObject>> objects_;
    OleBoundsChangedCallback callback_ = nullptr;
};

}  // namespace olehost
