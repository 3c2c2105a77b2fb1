// The container side of one embedded object or control: the client site, in-place site and
// frame, advise sink and ambient dispatch that the object talks to.
#pragma once

#include <ole2.h>
#include <olectl.h>
#include <windows.h>
#include <wrl/client.h>

#include <optional>
#include <string>

#include "ambient.h"

namespace olehost {

using Microsoft::WRL::ComPtr;

class HostObject;

// Whether a class is made as a control: it has a "Control" key, or OLEMISC_INSIDEOUT in the
// misc status of its registration.
bool isControlClass(const CLSID& classId);

// Where the item stands: created, running without a window, open in its server's own
// window, in-place active, UI active.
enum class ItemState { Empty, Loaded, Open, Active, UIActive };

// How the item was made, which decides how it is saved and loaded again.
enum class ItemKind : DWORD { Embedded = 0, Control = 1 };

class ClientItem final : public IOleClientSite,
                         public IOleInPlaceSite,
                         public IOleInPlaceFrame,
                         public IAdviseSink,
                         public IDispatch {
  public:
    ClientItem(HostObject& owner, const Appearance& appearance);
    ClientItem(const ClientItem&) = delete;
    ClientItem& operator=(const ClientItem&) = delete;

    // Creation kinds; each leaves the item loaded or reports the failure.
    HRESULT createControl(const CLSID& classId);
    HRESULT createEmbedded(const CLSID& classId, IStorage* storage);
    HRESULT createFromFile(const wchar_t* path, bool link, IStorage* storage);
    // Reads an item written by save() from its storage.
    HRESULT load(IStorage* storage, ItemKind kind);
    // Writes the item into a storage of a file being saved; the item keeps its own storage.
    HRESULT save(IStorage* storage);
    // Puts the item in the running state.
    HRESULT run();
    // Deactivates an active item, closes any other (saving it if dirty), and lets it go.
    void close();
    // In-place deactivates; false when the item is not active.
    void deactivate();

    HRESULT doVerb(LONG verb);
    bool isControl();
    DWORD miscStatus();
    // The object's extent in pixels of the screen; nullopt when it cannot tell.
    std::optional<SIZE> extentPixels();
    // Sends a size in pixels as the object's extent.
    HRESULT setExtentPixels(SIZE size);
    // Tells an in-place active object its rectangle in the view and the view's visible part.
    void setObjectRects(const RECT& position, const RECT& clip);
    void draw(HDC dc, const RECT& bounds);

    IOleObject* object() const { return object_.Get(); }
    ItemState state() const { return state_; }
    ItemKind kind() const { return kind_; }
    AmbientTable& ambients() { return ambients_; }
    bool autoSize = true;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    // IOleClientSite
    STDMETHODIMP SaveObject() override;
    STDMETHODIMP GetMoniker(DWORD assign, DWORD which, IMoniker** out) override;
    STDMETHODIMP GetContainer(IOleContainer** out) override;
    STDMETHODIMP ShowObject() override;
    STDMETHODIMP OnShowWindow(BOOL show) override;
    STDMETHODIMP RequestNewObjectLayout() override;
    // IOleWindow (shared by the in-place site and frame)
    STDMETHODIMP GetWindow(HWND* out) override;
    STDMETHODIMP ContextSensitiveHelp(BOOL enter) override;
    // IOleInPlaceSite
    STDMETHODIMP CanInPlaceActivate() override;
    STDMETHODIMP OnInPlaceActivate() override;
    STDMETHODIMP OnUIActivate() override;
    STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document,
                                  RECT* position, RECT* clip, OLEINPLACEFRAMEINFO* info) override;
    STDMETHODIMP Scroll(SIZE extent) override;
    STDMETHODIMP OnUIDeactivate(BOOL undoable) override;
    STDMETHODIMP OnInPlaceDeactivate() override;
    STDMETHODIMP DiscardUndoState() override;
    STDMETHODIMP DeactivateAndUndo() override;
    STDMETHODIMP OnPosRectChange(const RECT* position) override;
    // IOleInPlaceUIWindow / IOleInPlaceFrame: the host has no menus or tool space to share.
    STDMETHODIMP GetBorder(RECT* border) override;
    STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS widths) override;
    STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS widths) override;
    STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject* object, LPCOLESTR name) override;
    STDMETHODIMP InsertMenus(HMENU menu, OLEMENUGROUPWIDTHS* widths) override;
    STDMETHODIMP SetMenu(HMENU menu, HOLEMENU shared, HWND object) override;
    STDMETHODIMP RemoveMenus(HMENU menu) override;
    STDMETHODIMP SetStatusText(LPCOLESTR text) override;
    STDMETHODIMP EnableModeless(BOOL enable) override;
    STDMETHODIMP TranslateAccelerator(MSG* msg, WORD id) override;
    // IAdviseSink
    STDMETHODIMP_(void) OnDataChange(FORMATETC* format, STGMEDIUM* medium) override;
    STDMETHODIMP_(void) OnViewChange(DWORD aspect, LONG index) override;
    STDMETHODIMP_(void) OnRename(IMoniker* moniker) override;
    STDMETHODIMP_(void) OnSave() override;
    STDMETHODIMP_(void) OnClose() override;
    // IDispatch: the ambient properties
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID locale, ITypeInfo** out) override;
    STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale,
                               DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* exception, UINT* argError) override;

  private:
    // Tells the owner that the object's size changed; safe when the host destroys the
    // object meanwhile.
    void ownerSizeChanged();
    ~ClientItem() = default;
    HRESULT attach(IUnknown* object);  // advises and keeps the object
    std::optional<CLSID> classId();

    LONG refs_ = 1;
    HostObject* owner_;  // cleared by close(): a late call from the object then finds no view
    AmbientTable ambients_;
    ComPtr<IOleObject> object_;
    ComPtr<IViewObject> view_;
    ComPtr<IOleInPlaceObject> inPlace_;
    DWORD adviseCookie_ = 0;
    bool adviseSet_ = false;
    ItemState state_ = ItemState::Empty;
    ItemKind kind_ = ItemKind::Embedded;
    std::optional<bool> control_;
};

}  // namespace olehost
