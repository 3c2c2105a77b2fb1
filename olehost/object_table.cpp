#include "object_table.h"

namespace olehost {

ObjectTable& ObjectTable::instance() {
    static ObjectTable table;
    return table;
}

void ObjectTable::add(int32_t id, std::shared_ptr<HostObject> object) {
    objects_[id] = std::move(object);
}

std::shared_ptr<HostObject> ObjectTable::find(int32_t id) const {
    auto it = objects_.find(id);
    return it == objects_.end() ? nullptr : it->second;
}

std::shared_ptr<HostObject> ObjectTable::findByFrame(HWND frame) const {
    if (!frame) return nullptr;
    for (const auto& [id, object] : objects_)
        if (object->view() && GetParent(object->view()) == frame) return object;
    return nullptr;
}

std::shared_ptr<HostObject> ObjectTable::remove(int32_t id) {
    auto it = objects_.find(id);
    if (it == objects_.end()) return nullptr;
    auto object = std::move(it->second);
    objects_.erase(it);
    return object;
}

OleBoundsChangedCallback ObjectTable::setCallback(OleBoundsChangedCallback callback) {
    callback_ = callback;
    return callback;
}

void ObjectTable::reportBoundsChanged(int32_t token) const {
    if (callback_ && token != 0) callback_(token);
}

}  // namespace olehost
