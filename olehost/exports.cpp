// The exported functions: each finds its object, does its work and turns every failure,
// exceptions included, into the documented result.
#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#include "object_table.h"
#include "olehost.h"

using namespace olehost;

namespace {

// The verbs the activation functions run.
constexpr LONG kVerbInPlaceActivate = OLEIVERB_INPLACEACTIVATE;
constexpr LONG kVerbShow = OLEIVERB_SHOW;

// OLE is initialised on the host's thread the first time the library needs it and stays
// initialised for the thread's life: the host may hold our objects' interfaces until then.
void ensureOle() {
    static thread_local bool initialised = false;
    if (!initialised) {
        OleInitialize(nullptr);
        initialised = true;
    }
}

template <typename Result, typename Work>
Result guarded(Result failure, Work work) {
    try {
        ensureOle();
        return work();
    } catch (...) {
        return failure;
    }
}

std::shared_ptr<HostObject> objectOf(int32_t id) {
    return ObjectTable::instance().find(id);
}

// An object and its item, held for the length of an export: the host may destroy the object
// from its bounds-changed callback while the call is inside the object. After such a call the
// export asks gone() and then answers as for an id that names no object.
struct Held {
    explicit Held(int32_t id) : object(objectOf(id)), item(object ? object->item() : nullptr) {}
    bool gone() const { return !object || object->destroyed(); }

    std::shared_ptr<HostObject> object;
    ComPtr<ClientItem> item;
};

Appearance appearance(OLE_COLOR back, OLE_COLOR fore, const wchar_t* name, const FONTDESC& font) {
    return {back, fore, name, font};
}

enum class Creation { Insert, Load };

// The steps shared by the insert functions and the load: a new id and window, then the
// object by the chosen kind, then its place in the host window.
int32_t createObject(Creation how, int32_t* outId, HWND host, const Bounds& bounds,
                     const Origin& origin, bool keepAutoSize, int32_t* outFlags,
                     const std::function<HRESULT(HostObject&)>& make) {
    const int32_t failed = how == Creation::Load ? OLEHOST_E_LOAD : OLEHOST_E_CREATE;
    if (outId) *outId = 0;
    if (outFlags) *outFlags = 0;
    ObjectTable& table = ObjectTable::instance();
    int32_t id = table.nextId();
    auto made = HostObject::create(host, bounds, origin);
    if (!made) {
        table.giveBack();
        return how == Creation::Load ? OLEHOST_E_LOAD : OLEHOST_FAILED;
    }
    std::shared_ptr<HostObject> object = made;
    table.add(id, std::move(made));
    HRESULT hr = E_FAIL;
    try {
        hr = make(*object);
    } catch (...) {
        hr = E_FAIL;
    }
    if (FAILED(hr) || !object->item()) {
        table.remove(id)->destroy();
        if (how == Creation::Load) table.giveBack();
        return failed;
    }
    if (!keepAutoSize) object->item()->autoSize = false;
    const bool sizeChanged = object->place(bounds);
    if (object->destroyed()) return failed;
    if (sizeChanged && outFlags) *outFlags |= OLEHOST_SIZE_CHANGED;
    object->repaint();
    if (outId) *outId = id;
    return OLEHOST_OK;
}

int32_t insertByClass(int32_t* outId, HWND host, const Bounds& bounds, const Origin& origin,
                      const Appearance& look, const CLSID& classId, bool keepAutoSize,
                      int32_t* outFlags) {
    return createObject(Creation::Insert, outId, host, bounds, origin, keepAutoSize, outFlags,
                        [&](HostObject& object) {
                            return object.insert(look, [&](ClientItem& item, IStorage* storage) {
                                if (isControlClass(classId)) return item.createControl(classId);
                                return item.createEmbedded(classId, storage);
                            });
                        });
}

// Changes one ambient property: an object that is not a control takes only a new
// background colour (its view shows it) and answers 1 either way.
int32_t changeAmbient(int32_t id, DISPID property,
                      const std::function<bool(AmbientTable&)>& store) {
    Held held(id);
    ClientItem* item = held.item.Get();
    if (!item) return OLEHOST_FAILED;
    if (!item->ambients().find(property)) return OLEHOST_E_NO_PROPERTY;
    ComPtr<IOleControl> control;
    if (!item->object() || FAILED(item->object()->QueryInterface(IID_PPV_ARGS(&control)))) {
        if (property == DISPID_AMBIENT_BACKCOLOR && store(item->ambients())) held.object->repaint();
        return OLEHOST_FAILED;
    }
    store(item->ambients());
    held.object->repaint();
    // A control may ask for a new layout when, say, its font changes.
    const HRESULT hr = control->OnAmbientPropertyChange(property);
    return held.gone() ? OLEHOST_FAILED : hr;
}

// 8-bit text of at most 255 characters into a 256-byte slot.
void copySlot(char* slot, const wchar_t* text, bool dropAmpersands) {
    std::string value = narrow(text);
    if (dropAmpersands) std::erase(value, '&');
    value.resize(std::min<size_t>(value.size(), OLEHOST_TEXT_SLOT - 1));
    std::memcpy(slot, value.c_str(), value.size() + 1);
}

}  // namespace

extern "C" {

int32_t OLEHOST_CALL OleInsertObject(int32_t* outId, HWND hostWindow, int32_t top, int32_t left,
                                     int32_t height, int32_t width, int32_t originVertical,
                                     int32_t originHorizontal, OLE_COLOR backColor,
                                     OLE_COLOR foreColor, const wchar_t* displayName, FONTDESC font,
                                     CLSID classId, int32_t /*kind*/, int32_t flags,
                                     int32_t* outFlags) {
    return guarded<int32_t>(OLEHOST_E_CREATE, [&] {
        return insertByClass(outId, hostWindow, {top, left, height, width},
                             {originVertical, originHorizontal},
                             appearance(backColor, foreColor, displayName, font), classId,
                             (flags & OLEHOST_KEEP_AUTOSIZE) != 0, outFlags);
    });
}

int32_t OLEHOST_CALL OleInsertObjectSilent(int32_t* outId, HWND hostWindow, int32_t top,
                                           int32_t left, int32_t height, int32_t width,
                                           int32_t originVertical, int32_t originHorizontal,
                                           OLE_COLOR backColor, OLE_COLOR foreColor,
                                           const wchar_t* displayName, FONTDESC font, CLSID classId,
                                           int32_t* outFlags) {
    return guarded<int32_t>(OLEHOST_E_CREATE, [&] {
        return insertByClass(
            outId, hostWindow, {top, left, height, width}, {originVertical, originHorizontal},
            appearance(backColor, foreColor, displayName, font), classId, true, outFlags);
    });
}

int32_t OLEHOST_CALL OleInsertFile(int32_t* outId, HWND hostWindow, int32_t top, int32_t left,
                                   int32_t height, int32_t width, int32_t originVertical,
                                   int32_t originHorizontal, OLE_COLOR backColor,
                                   OLE_COLOR foreColor, const wchar_t* displayName, FONTDESC font,
                                   const char* path, int32_t link, int32_t flags,
                                   int32_t* outFlags) {
    return guarded<int32_t>(OLEHOST_E_CREATE, [&] {
        if (!path)
            return createObject(Creation::Insert, outId, hostWindow, {}, {}, false, outFlags,
                                [](HostObject&) { return E_POINTER; });
        std::wstring widePath = widen(path);
        Appearance look = appearance(backColor, foreColor, displayName, font);
        return createObject(
            Creation::Insert, outId, hostWindow, {top, left, height, width},
            {originVertical, originHorizontal}, (flags & OLEHOST_KEEP_AUTOSIZE) != 0, outFlags,
            [&](HostObject& object) {
                return object.insert(look, [&](ClientItem& item, IStorage* storage) {
                    return item.createFromFile(widePath.c_str(), link != 0, storage);
                });
            });
    });
}

int32_t OLEHOST_CALL OleLoadObject(int32_t* outId, HWND hostWindow, int32_t top, int32_t left,
                                   int32_t height, int32_t width, int32_t originVertical,
                                   int32_t originHorizontal, const char* path, int32_t* outFlags,
                                   int32_t flags, OLE_COLOR backColor, OLE_COLOR foreColor,
                                   const wchar_t* displayName, FONTDESC font) {
    return guarded<int32_t>(OLEHOST_E_LOAD, [&] {
        Appearance look = appearance(backColor, foreColor, displayName, font);
        return createObject(
            Creation::Load, outId, hostWindow, {top, left, height, width},
            {originVertical, originHorizontal}, (flags & OLEHOST_KEEP_AUTOSIZE) != 0, outFlags,
            [&](HostObject& object) { return path ? object.load(path, look) : E_POINTER; });
    });
}

int32_t OLEHOST_CALL OleSaveObject(int32_t id, const char* path) {
    return guarded<int32_t>(0, [&] {
        auto object = objectOf(id);
        return object && path && SUCCEEDED(object->save(path)) ? 1 : 0;
    });
}

int32_t OLEHOST_CALL OleDestroyObject(int32_t id) {
    return guarded<int32_t>(0, [&] {
        auto object = objectOf(id);
        if (!object || !object->view()) return 0;
        ObjectTable::instance().remove(id)->destroy();
        return 1;
    });
}

int32_t OLEHOST_CALL OleIsObjectLoaded(int32_t id) {
    return guarded<int32_t>(0, [&] { return objectOf(id) ? 1 : 0; });
}

int32_t OLEHOST_CALL OleActivateObject(int32_t id) {
    return guarded<int32_t>(OLEHOST_E_ACTIVATE, [&] {
        Held held(id);
        if (!held.item) return OLEHOST_E_ACTIVATE;
        if (!held.item->isControl()) return OLEHOST_OK;
        const HRESULT hr = held.item->doVerb(kVerbInPlaceActivate);
        return FAILED(hr) || held.gone() ? OLEHOST_E_ACTIVATE : OLEHOST_OK;
    });
}

int32_t OLEHOST_CALL OleDeactivateObject(int32_t id) {
    return guarded<int32_t>(OLEHOST_E_DEACTIVATE, [&] {
        Held held(id);
        if (!held.item) return OLEHOST_E_DEACTIVATE;
        held.item->deactivate();
        return held.gone() ? OLEHOST_E_DEACTIVATE : OLEHOST_OK;
    });
}

int32_t OLEHOST_CALL OleOpenEditObject(int32_t id) {
    return guarded<int32_t>(OLEHOST_FAILED, [&] {
        Held held(id);
        if (!held.item) return OLEHOST_FAILED;
        LONG verb = held.item->isControl() ? kVerbInPlaceActivate : kVerbShow;
        const HRESULT hr = held.item->doVerb(verb);
        return FAILED(hr) || held.gone() ? OLEHOST_FAILED : OLEHOST_OK;
    });
}

int32_t OLEHOST_CALL OleObjectDoVerb(int32_t id, int32_t verb) {
    return guarded<int32_t>(OLEHOST_E_VERB, [&] {
        Held held(id);
        if (!held.item) return OLEHOST_OK;
        // The object runs the verb as in design mode.
        held.item->ambients().setBool(DISPID_AMBIENT_USERMODE, false);
        HRESULT hr = held.item->doVerb(verb);
        if (held.gone()) return OLEHOST_OK;
        held.item->ambients().setBool(DISPID_AMBIENT_USERMODE, true);
        return FAILED(hr) ? OLEHOST_E_VERB : OLEHOST_OK;
    });
}

int32_t OLEHOST_CALL OleObjectGetPopupMenu(int32_t id, char* typeName, char* verbNames,
                                           int32_t* outCount) {
    return guarded<int32_t>(OLEHOST_FAILED, [&] {
        if (outCount) *outCount = 0;
        Held held(id);
        if (!held.item || !held.item->object()) return OLEHOST_FAILED;
        ComPtr<IOleObject> object = held.item->object();
        CLSID classId{};
        object->GetUserClassID(&classId);
        ComPtr<IEnumOLEVERB> verbs;
        HRESULT hr = object->EnumVerbs(&verbs);
        if (hr == OLE_S_USEREG) hr = OleRegEnumVerbs(classId, verbs.ReleaseAndGetAddressOf());
        int32_t count = 0;
        OLEVERB verb;
        while (SUCCEEDED(hr) && verbs && count < OLEHOST_MAX_VERBS &&
               verbs->Next(1, &verb, nullptr) == S_OK) {
            if (verb.lpszVerbName && *verb.lpszVerbName && verbNames)
                copySlot(verbNames + count++ * OLEHOST_TEXT_SLOT, verb.lpszVerbName, true);
            CoTaskMemFree(verb.lpszVerbName);
        }
        LPOLESTR type = nullptr;
        hr = object->GetUserType(USERCLASSTYPE_SHORT, &type);
        if (hr == OLE_S_USEREG || FAILED(hr) || !type) {
            CoTaskMemFree(type);
            type = nullptr;
            OleRegGetUserType(classId, USERCLASSTYPE_SHORT, &type);
        }
        if (typeName) copySlot(typeName, type ? type : L"", false);
        CoTaskMemFree(type);
        if (outCount) *outCount = count;
        return count > 0 && !held.gone() ? OLEHOST_OK : OLEHOST_FAILED;
    });
}

int32_t OLEHOST_CALL OleObjectToMetafile(int32_t id, HENHMETAFILE* outMetafile) {
    return guarded<int32_t>(OLEHOST_E_METAFILE, [&] {
        if (outMetafile) *outMetafile = nullptr;
        auto object = objectOf(id);
        if (!object) return OLEHOST_FAILED;
        if (!outMetafile) return OLEHOST_E_METAFILE;
        const HRESULT hr = object->toMetafile(outMetafile);
        if (object->destroyed()) {  // from inside its drawing: no picture of what is gone
            if (*outMetafile) DeleteEnhMetaFile(*outMetafile);
            *outMetafile = nullptr;
            return OLEHOST_FAILED;
        }
        return FAILED(hr) ? OLEHOST_E_METAFILE : OLEHOST_OK;
    });
}

int32_t OLEHOST_CALL OleObjectMiscFlags(int32_t id) {
    return guarded<int32_t>(0, [&] {
        Held held(id);
        if (!held.item) return 0;
        static constexpr struct {
            DWORD status;
            int32_t bit;
        } kBits[] = {
            {OLEMISC_INVISIBLEATRUNTIME, OLEHOST_MISC_INVISIBLEATRUNTIME},
            {OLEMISC_ALWAYSRUN, OLEHOST_MISC_ALWAYSRUN},
            {OLEMISC_ACTSLIKEBUTTON, OLEHOST_MISC_ACTSLIKEBUTTON},
            {OLEMISC_ACTSLIKELABEL, OLEHOST_MISC_ACTSLIKELABEL},
            {OLEMISC_ONLYICONIC, OLEHOST_MISC_ONLYICONIC},
            {OLEMISC_INSIDEOUT, OLEHOST_MISC_INSIDEOUT},
            {OLEMISC_NOUIACTIVATE, OLEHOST_MISC_NOUIACTIVATE},
            {OLEMISC_SIMPLEFRAME, OLEHOST_MISC_SIMPLEFRAME},
        };
        DWORD status = held.item->miscStatus();
        int32_t flags = 0;
        for (const auto& b : kBits)
            if (status & b.status) flags |= b.bit;
        if (held.item->isControl()) flags |= OLEHOST_MISC_CONTROL;
        return held.gone() ? 0 : flags;
    });
}

int32_t OLEHOST_CALL OleSetObjectBounds(int32_t id, int32_t top, int32_t left, int32_t height,
                                        int32_t width) {
    return guarded<int32_t>(0, [&] {
        auto object = objectOf(id);
        return object && object->setBounds({top, left, height, width}) ? 1 : 0;
    });
}

int32_t OLEHOST_CALL OleGetObjectBounds(int32_t id, int32_t* top, int32_t* left, int32_t* height,
                                        int32_t* width) {
    return guarded<int32_t>(OLEHOST_FAILED, [&] {
        auto object = objectOf(id);
        if (!object || !object->item()) return OLEHOST_FAILED;
        Bounds b = object->bounds();
        if (top) *top = b.top;
        if (left) *left = b.left;
        if (height) *height = b.height;
        if (width) *width = b.width;
        return OLEHOST_OK;
    });
}

void OLEHOST_CALL OleSetAppBounds(HWND frameWindow, int32_t top, int32_t left, int32_t height,
                                  int32_t width) {
    guarded<int>(0, [&] {
        if (auto object = ObjectTable::instance().findByFrame(frameWindow))
            object->setAppBounds({top, left, height, width});
        return 0;
    });
}

void OLEHOST_CALL OleSetOrigin(HWND frameWindow, int32_t originVertical, int32_t originHorizontal) {
    guarded<int>(0, [&] {
        if (auto object = ObjectTable::instance().findByFrame(frameWindow))
            object->setOrigin({originVertical, originHorizontal});
        return 0;
    });
}

int32_t OLEHOST_CALL OleAdoptObject(int32_t id, HWND newHostWindow, int32_t originVertical,
                                    int32_t originHorizontal) {
    return guarded<int32_t>(0, [&] {
        auto object = objectOf(id);
        return object && object->adopt(newHostWindow, {originVertical, originHorizontal}) ? 1 : 0;
    });
}

void OLEHOST_CALL OleSetAutosizeObject(int32_t id, int32_t on) {
    guarded<int>(0, [&] {
        if (auto object = objectOf(id)) object->setAutoSize(on != 0);
        return 0;
    });
}

int32_t OLEHOST_CALL OleGetAutosizeObject(int32_t id) {
    return guarded<int32_t>(0, [&] {
        Held held(id);
        return held.item && held.item->autoSize ? 1 : 0;
    });
}

OleBoundsChangedCallback OLEHOST_CALL
OleRegisterBoundsChangedCallback(OleBoundsChangedCallback callback) {
    return ObjectTable::instance().setCallback(callback);
}

int32_t OLEHOST_CALL OleSetTokenOfObj(int32_t id, int32_t token) {
    return guarded<int32_t>(OLEHOST_FAILED, [&] {
        auto object = objectOf(id);
        if (!object) return OLEHOST_FAILED;
        object->token = token;
        return OLEHOST_OK;
    });
}

void OLEHOST_CALL OleGetTokenOfObj(HWND frameWindow, int32_t* outToken) {
    guarded<int>(0, [&] {
        if (!outToken) return 0;
        auto object = ObjectTable::instance().findByFrame(frameWindow);
        *outToken = object ? object->token : 0;
        return 0;
    });
}

int32_t OLEHOST_CALL OleFocusObject(int32_t id, int32_t backwards) {
    return guarded<int32_t>(OLEHOST_FAILED, [&] {
        auto object = objectOf(id);
        return object && object->focusNext(backwards != 0) && !object->destroyed() ? OLEHOST_OK
                                                                                   : OLEHOST_FAILED;
    });
}

HRESULT OLEHOST_CALL OleGetObjectIDispatch(int32_t id, IStream* stream) {
    return guarded<HRESULT>(E_UNEXPECTED, [&] {
        Held held(id);
        ClientItem* item = held.item.Get();
        if (!item || !item->object()) return E_FAIL;
        if (!stream) return E_POINTER;
        LARGE_INTEGER start{};
        HRESULT hr = stream->Seek(start, STREAM_SEEK_SET, nullptr);
        if (FAILED(hr)) return hr;
        ComPtr<IDispatch> dispatch;
        if (FAILED(hr = item->object()->QueryInterface(IID_PPV_ARGS(&dispatch)))) return hr;
        return CoMarshalInterface(stream, IID_IDispatch, dispatch.Get(), MSHCTX_INPROC, nullptr,
                                  MSHLFLAGS_NORMAL);
    });
}

void OLEHOST_CALL OleGetObjectIDispatchSingle(int32_t id, IDispatch** outDispatch) {
    guarded<int>(0, [&] {
        if (!outDispatch) return 0;
        *outDispatch = nullptr;
        Held held(id);
        if (held.item && held.item->object())
            held.item->object()->QueryInterface(IID_PPV_ARGS(outDispatch));
        return 0;
    });
}

int32_t OLEHOST_CALL OleObjAmbBGColorChange(int32_t id, OLE_COLOR color) {
    return guarded<int32_t>(OLEHOST_FAILED, [&] {
        return changeAmbient(id, DISPID_AMBIENT_BACKCOLOR, [&](AmbientTable& table) {
            table.setColor(DISPID_AMBIENT_BACKCOLOR, color);
            return true;
        });
    });
}

int32_t OLEHOST_CALL OleObjAmbDisplayNameChange(int32_t id, const wchar_t* name) {
    return guarded<int32_t>(OLEHOST_FAILED, [&] {
        return changeAmbient(id, DISPID_AMBIENT_DISPLAYNAME, [&](AmbientTable& table) {
            table.setDisplayName(name);
            return true;
        });
    });
}

int32_t OLEHOST_CALL OleObjAmbFGColorChange(int32_t id, OLE_COLOR color) {
    return guarded<int32_t>(OLEHOST_FAILED, [&] {
        return changeAmbient(id, DISPID_AMBIENT_FORECOLOR, [&](AmbientTable& table) {
            table.setColor(DISPID_AMBIENT_FORECOLOR, color);
            return true;
        });
    });
}

int32_t OLEHOST_CALL OleObjAmbFontChange(int32_t id, FONTDESC font) {
    return guarded<int32_t>(OLEHOST_FAILED, [&] {
        return changeAmbient(id, DISPID_AMBIENT_FONT,
                             [&](AmbientTable& table) { return table.setFont(font); });
    });
}

int32_t OLEHOST_CALL OleObjAmbUIDeadChange(int32_t id, int32_t dead) {
    return guarded<int32_t>(OLEHOST_FAILED, [&] {
        return changeAmbient(id, DISPID_AMBIENT_UIDEAD, [&](AmbientTable& table) {
            table.setBool(DISPID_AMBIENT_UIDEAD, dead != 0);
            return true;
        });
    });
}

int32_t OLEHOST_CALL OleObjAmbUserModeChange(int32_t id, int32_t userMode) {
    return guarded<int32_t>(OLEHOST_FAILED, [&] {
        return changeAmbient(id, DISPID_AMBIENT_USERMODE, [&](AmbientTable& table) {
            table.setBool(DISPID_AMBIENT_USERMODE, userMode != 0);
            return true;
        });
    });
}

}  // extern "C"
