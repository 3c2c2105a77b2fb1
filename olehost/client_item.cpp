#include "client_item.h"

#include "host_object.h"

namespace olehost {

namespace {

constexpr const wchar_t* kContentsStream = L"Contents";  // a control's persisted state
constexpr const wchar_t* kHostName = L"olehost";

std::wstring classKey(const CLSID& classId) {
    wchar_t text[40];
    StringFromGUID2(classId, text, 40);
    return L"CLSID\\" + std::wstring(text);
}

bool keyExists(HKEY root, const std::wstring& path) {
    HKEY handle;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
    RegCloseKey(handle);
    return true;
}

bool hasControlKey(const CLSID& classId) {
    return keyExists(HKEY_CLASSES_ROOT, classKey(classId) + L"\\Control");
}

// The registered misc status (the content aspect's own, else the class's), a decimal text.
DWORD registeredMiscStatus(const CLSID& classId) {
    for (const wchar_t* sub : {L"\\MiscStatus\\1", L"\\MiscStatus"}) {
        wchar_t text[32] = L"";
        LONG size = sizeof text;
        if (RegQueryValueW(HKEY_CLASSES_ROOT, (classKey(classId) + sub).c_str(), text, &size) ==
                ERROR_SUCCESS &&
            text[0])
            return wcstoul(text, nullptr, 10);
    }
    return 0;
}

}  // namespace

bool isControlClass(const CLSID& classId) {
    return keyExists(HKEY_LOCAL_MACHINE,
                     L"SOFTWARE\\Classes\\" + classKey(classId) + L"\\Control") ||
           hasControlKey(classId) || (registeredMiscStatus(classId) & OLEMISC_INSIDEOUT) != 0;
}

ClientItem::ClientItem(HostObject& owner, const Appearance& appearance)
    : owner_(&owner), ambients_(appearance) {}

HRESULT ClientItem::attach(IUnknown* object) {
    HRESULT hr = object->QueryInterface(IID_PPV_ARGS(object_.ReleaseAndGetAddressOf()));
    if (FAILED(hr)) return hr;
    adviseSet_ = SUCCEEDED(object_->Advise(this, &adviseCookie_));
    if (SUCCEEDED(object_->QueryInterface(IID_PPV_ARGS(view_.ReleaseAndGetAddressOf()))))
        view_->SetAdvise(DVASPECT_CONTENT, 0, this);
    OleSetContainedObject(object_.Get(), TRUE);
    state_ = ItemState::Loaded;
    return S_OK;
}

HRESULT ClientItem::createControl(const CLSID& classId) {
    ComPtr<IClassFactory> factory;
    HRESULT hr = CoGetClassObject(classId, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, nullptr,
                                  IID_PPV_ARGS(&factory));
    if (FAILED(hr)) return hr;
    ComPtr<IOleObject> object;
    if (FAILED(hr = factory->CreateInstance(nullptr, IID_PPV_ARGS(&object)))) return hr;
    // A control reads its ambient properties while it initialises: the site comes first.
    if (FAILED(hr = object->SetClientSite(this))) return hr;
    ComPtr<IPersistStreamInit> init;
    if (SUCCEEDED(object.As(&init)) && FAILED(hr = init->InitNew())) {
        object->SetClientSite(nullptr);
        return hr;
    }
    // Made the way controls are made; whether it counts as one is the item's own test.
    kind_ = ItemKind::Control;
    return attach(object.Get());
}

HRESULT ClientItem::createEmbedded(const CLSID& classId, IStorage* storage) {
    ComPtr<IOleObject> object;
    HRESULT hr = OleCreate(classId, IID_IOleObject, OLERENDER_DRAW, nullptr, this, storage,
                           reinterpret_cast<void**>(object.GetAddressOf()));
    if (FAILED(hr)) return hr;
    object->SetHostNames(kHostName, nullptr);
    return attach(object.Get());
}

HRESULT ClientItem::createFromFile(const wchar_t* path, bool link, IStorage* storage) {
    ComPtr<IOleObject> object;
    HRESULT hr =
        link ? OleCreateLinkToFile(path, IID_IOleObject, OLERENDER_DRAW, nullptr, this, storage,
                                   reinterpret_cast<void**>(object.GetAddressOf()))
             : OleCreateFromFile(CLSID_NULL, path, IID_IOleObject, OLERENDER_DRAW, nullptr, this,
                                 storage, reinterpret_cast<void**>(object.GetAddressOf()));
    if (FAILED(hr)) return hr;
    if (!object) return E_UNEXPECTED;
    object->SetHostNames(kHostName, nullptr);
    return attach(object.Get());
}

HRESULT ClientItem::load(IStorage* storage, ItemKind kind) {
    CLSID classId;
    HRESULT hr = ReadClassStg(storage, &classId);
    if (FAILED(hr)) return hr;
    if (kind == ItemKind::Control) {
        ComPtr<IStream> contents;
        if (FAILED(hr = storage->OpenStream(kContentsStream, nullptr,
                                            STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &contents)))
            return hr;
        ComPtr<IOleObject> object;
        if (FAILED(hr = CoCreateInstance(classId, nullptr,
                                         CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                         IID_PPV_ARGS(&object))))
            return hr;
        if (FAILED(hr = object->SetClientSite(this))) return hr;
        ComPtr<IPersistStreamInit> persist;
        if (FAILED(hr = object.As(&persist)) || FAILED(hr = persist->Load(contents.Get()))) {
            object->SetClientSite(nullptr);
            return hr;
        }
        kind_ = ItemKind::Control;
        return attach(object.Get());
    }
    ComPtr<IOleObject> object;
    if (FAILED(hr = OleLoad(storage, IID_IOleObject, this,
                            reinterpret_cast<void**>(object.GetAddressOf()))))
        return hr;
    return attach(object.Get());
}

HRESULT ClientItem::save(IStorage* storage) {
    if (!object_) return E_UNEXPECTED;
    HRESULT hr;
    if (kind_ == ItemKind::Control) {
        ComPtr<IPersistStreamInit> persist;
        if (FAILED(hr = object_.As(&persist))) return hr;
        CLSID classId;
        if (FAILED(hr = persist->GetClassID(&classId)) ||
            FAILED(hr = WriteClassStg(storage, classId)))
            return hr;
        ComPtr<IStream> contents;
        if (FAILED(hr = storage->CreateStream(kContentsStream,
                                              STGM_CREATE | STGM_WRITE | STGM_SHARE_EXCLUSIVE, 0, 0,
                                              &contents)))
            return hr;
        return persist->Save(contents.Get(), TRUE);
    }
    ComPtr<IPersistStorage> persist;
    if (FAILED(hr = object_.As(&persist))) return hr;
    // Written into the file's storage, the object keeps working on its own storage after.
    hr = OleSave(persist.Get(), storage, FALSE);
    persist->SaveCompleted(nullptr);
    return hr;
}

// Calls into the object hold it (and the item) for their length: the host may destroy the
// object from a callback the object reaches meanwhile, and close() lets go of it then.

HRESULT ClientItem::run() {
    ComPtr<IOleObject> object = object_;
    return object ? OleRun(object.Get()) : E_UNEXPECTED;
}

void ClientItem::deactivate() {
    if (!inPlace_) return;
    ComPtr<IOleInPlaceObject> inPlace = inPlace_;  // the object's call-back resets the member
    if (state_ == ItemState::UIActive) inPlace->UIDeactivate();
    inPlace->InPlaceDeactivate();
    inPlace_.Reset();
    if (state_ == ItemState::Active || state_ == ItemState::UIActive) state_ = ItemState::Loaded;
}

void ClientItem::close() {
    if (object_) {
        if (state_ == ItemState::Active || state_ == ItemState::UIActive)
            deactivate();
        else
            object_->Close(OLECLOSE_SAVEIFDIRTY);
        if (view_) view_->SetAdvise(DVASPECT_CONTENT, 0, nullptr);
        if (adviseSet_) object_->Unadvise(adviseCookie_);
        object_->SetClientSite(nullptr);
    }
    view_.Reset();
    inPlace_.Reset();
    object_.Reset();
    owner_ = nullptr;
    state_ = ItemState::Empty;
}

HRESULT ClientItem::doVerb(LONG verb) {
    if (!object_ || !owner_) return E_UNEXPECTED;
    RECT position = owner_->objectRectInView();
    ComPtr<IOleObject> object = object_;
    ComPtr<ClientItem> self(this);
    return object->DoVerb(verb, nullptr, this, 0, owner_->view(), &position);
}

std::optional<CLSID> ClientItem::classId() {
    CLSID id;
    if (object_ && SUCCEEDED(object_->GetUserClassID(&id))) return id;
    ComPtr<IPersist> persist;
    if (object_ && SUCCEEDED(object_.As(&persist)) && SUCCEEDED(persist->GetClassID(&id)))
        return id;
    return std::nullopt;
}

bool ClientItem::isControl() {
    if (!control_) {
        if (!object_) return false;
        auto id = classId();
        control_ = (id && hasControlKey(*id)) || (miscStatus() & OLEMISC_INSIDEOUT) != 0;
    }
    return *control_;
}

DWORD ClientItem::miscStatus() {
    if (!object_) return 0;
    DWORD status = 0;
    HRESULT hr = object_->GetMiscStatus(DVASPECT_CONTENT, &status);
    if (hr == OLE_S_USEREG) {
        auto id = classId();
        if (!id || FAILED(OleRegGetMiscStatus(*id, DVASPECT_CONTENT, &status))) return 0;
    } else if (FAILED(hr)) {
        return 0;
    }
    return status;
}

std::optional<SIZE> ClientItem::extentPixels() {
    SIZEL extent;
    if (!object_ || FAILED(object_->GetExtent(DVASPECT_CONTENT, &extent))) return std::nullopt;
    return toPixels(extent);
}

HRESULT ClientItem::setExtentPixels(SIZE size) {
    ComPtr<IOleObject> object = object_;
    if (!object) return E_UNEXPECTED;
    SIZEL extent = toHimetric(size);
    return object->SetExtent(DVASPECT_CONTENT, &extent);
}

void ClientItem::setObjectRects(const RECT& position, const RECT& clip) {
    if (ComPtr<IOleInPlaceObject> inPlace = inPlace_) inPlace->SetObjectRects(&position, &clip);
}

void ClientItem::draw(HDC dc, const RECT& bounds) {
    ComPtr<IOleObject> object = object_;
    ComPtr<IViewObject> view = view_;
    if (!object) return;
    RECTL rect{bounds.left, bounds.top, bounds.right, bounds.bottom};
    if (view)
        view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc, &rect, nullptr, nullptr, 0);
    else
        OleDraw(object.Get(), DVASPECT_CONTENT, dc, &bounds);
}

// --- IUnknown -----------------------------------------------------------------------------

STDMETHODIMP ClientItem::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IOleClientSite)
        *out = static_cast<IOleClientSite*>(this);
    else if (iid == IID_IOleWindow || iid == IID_IOleInPlaceSite)
        *out = static_cast<IOleInPlaceSite*>(this);
    else if (iid == IID_IOleInPlaceUIWindow || iid == IID_IOleInPlaceFrame)
        *out = static_cast<IOleInPlaceFrame*>(this);
    else if (iid == IID_IAdviseSink)
        *out = static_cast<IAdviseSink*>(this);
    else if (iid == IID_IDispatch)
        *out = static_cast<IDispatch*>(this);
    else {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) ClientItem::AddRef() {
    return InterlockedIncrement(&refs_);
}

STDMETHODIMP_(ULONG) ClientItem::Release() {
    LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return left;
}

// --- IOleClientSite -----------------------------------------------------------------------

STDMETHODIMP ClientItem::SaveObject() {
    if (!owner_ || !object_) return E_UNEXPECTED;
    if (kind_ == ItemKind::Control)
        return S_OK;  // a control's state is written when the document is saved
    ComPtr<IPersistStorage> persist;
    HRESULT hr = object_.As(&persist);
    if (FAILED(hr)) return hr;
    ComPtr<IStorage> storage = owner_->itemStorage();
    if (!storage) return E_UNEXPECTED;
    hr = OleSave(persist.Get(), storage.Get(), TRUE);
    persist->SaveCompleted(nullptr);
    return hr;
}

STDMETHODIMP ClientItem::GetMoniker(DWORD, DWORD, IMoniker** out) {
    if (out) *out = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP ClientItem::GetContainer(IOleContainer** out) {
    if (out) *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP ClientItem::ShowObject() {
    return S_OK;
}

STDMETHODIMP ClientItem::OnShowWindow(BOOL show) {
    if (show)
        state_ = ItemState::Open;
    else if (state_ == ItemState::Open)
        state_ = ItemState::Loaded;
    if (owner_) owner_->repaint();  // the open object is covered by hatching
    return S_OK;
}

// The host may destroy the object from inside its bounds-changed callback: the item and its
// owner are held until the call returns (the destroyed object's item then has no owner).
void ClientItem::ownerSizeChanged() {
    ComPtr<ClientItem> self(this);
    if (auto owner = owner_ ? owner_->weak_from_this().lock() : nullptr) owner->objectSizeChanged();
}

STDMETHODIMP ClientItem::RequestNewObjectLayout() {
    ownerSizeChanged();
    return S_OK;
}

// --- IOleWindow, IOleInPlaceSite ----------------------------------------------------------

STDMETHODIMP ClientItem::GetWindow(HWND* out) {
    if (!out) return E_POINTER;
    *out = owner_ ? owner_->view() : nullptr;
    return *out ? S_OK : E_FAIL;
}

STDMETHODIMP ClientItem::ContextSensitiveHelp(BOOL) {
    return E_NOTIMPL;
}

STDMETHODIMP ClientItem::CanInPlaceActivate() {
    return owner_ ? S_OK : S_FALSE;
}

STDMETHODIMP ClientItem::OnInPlaceActivate() {
    state_ = ItemState::Active;
    if (object_) object_.As(&inPlace_);
    return S_OK;
}

STDMETHODIMP ClientItem::OnUIActivate() {
    state_ = ItemState::UIActive;
    return S_OK;
}

STDMETHODIMP ClientItem::GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document,
                                          RECT* position, RECT* clip, OLEINPLACEFRAMEINFO* info) {
    if (!frame || !document || !position || !clip || !info || !owner_) return E_INVALIDARG;
    *frame = static_cast<IOleInPlaceFrame*>(this);
    AddRef();
    *document = nullptr;
    *position = owner_->objectRectInView();
    *clip = owner_->viewClientRect();
    info->fMDIApp = FALSE;
    info->hwndFrame = owner_->view();
    info->haccel = nullptr;
    info->cAccelEntries = 0;
    return S_OK;
}

STDMETHODIMP ClientItem::Scroll(SIZE) {
    return E_NOTIMPL;
}

STDMETHODIMP ClientItem::OnUIDeactivate(BOOL) {
    if (state_ == ItemState::UIActive) state_ = ItemState::Active;
    return S_OK;
}

STDMETHODIMP ClientItem::OnInPlaceDeactivate() {
    state_ = ItemState::Loaded;
    inPlace_.Reset();
    return S_OK;
}

STDMETHODIMP ClientItem::DiscardUndoState() {
    return S_OK;
}
STDMETHODIMP ClientItem::DeactivateAndUndo() {
    deactivate();
    return S_OK;
}

STDMETHODIMP ClientItem::OnPosRectChange(const RECT*) {
    ownerSizeChanged();
    return S_OK;
}

// --- IOleInPlaceUIWindow, IOleInPlaceFrame ------------------------------------------------

STDMETHODIMP ClientItem::GetBorder(RECT*) {
    return INPLACE_E_NOTOOLSPACE;
}
STDMETHODIMP ClientItem::RequestBorderSpace(LPCBORDERWIDTHS) {
    return INPLACE_E_NOTOOLSPACE;
}
STDMETHODIMP ClientItem::SetBorderSpace(LPCBORDERWIDTHS) {
    return OLE_E_INVALIDRECT;
}
STDMETHODIMP ClientItem::SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR) {
    return S_OK;
}
STDMETHODIMP ClientItem::InsertMenus(HMENU, OLEMENUGROUPWIDTHS*) {
    return E_NOTIMPL;
}
STDMETHODIMP ClientItem::SetMenu(HMENU, HOLEMENU, HWND) {
    return S_OK;
}
STDMETHODIMP ClientItem::RemoveMenus(HMENU) {
    return S_OK;
}
STDMETHODIMP ClientItem::SetStatusText(LPCOLESTR) {
    return S_OK;
}
STDMETHODIMP ClientItem::EnableModeless(BOOL) {
    return S_OK;
}
STDMETHODIMP ClientItem::TranslateAccelerator(MSG*, WORD) {
    return S_FALSE;
}

// --- IAdviseSink --------------------------------------------------------------------------

STDMETHODIMP_(void) ClientItem::OnDataChange(FORMATETC*, STGMEDIUM*) {}

STDMETHODIMP_(void) ClientItem::OnViewChange(DWORD, LONG) {
    if (!owner_) return;
    AddRef();
    if (autoSize && !isControl()) ownerSizeChanged();
    if (owner_) owner_->repaint();
    Release();
}

STDMETHODIMP_(void) ClientItem::OnRename(IMoniker*) {}

STDMETHODIMP_(void) ClientItem::OnSave() {
    if (owner_) owner_->repaint();
}

STDMETHODIMP_(void) ClientItem::OnClose() {
    if (state_ == ItemState::Open) state_ = ItemState::Loaded;
    if (owner_) owner_->repaint();
}

// --- IDispatch: ambient properties --------------------------------------------------------

STDMETHODIMP ClientItem::GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
}

STDMETHODIMP ClientItem::GetTypeInfo(UINT, LCID, ITypeInfo** out) {
    if (out) *out = nullptr;
    return E_NOTIMPL;
}

// A name the table does not know gets DISPID_UNKNOWN; the call itself still succeeds.
STDMETHODIMP ClientItem::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    if (!names || !ids) return E_POINTER;
    for (UINT i = 0; i < count; ++i)
        ids[i] = ambients_.idOf(names[i]);
    return S_OK;
}

STDMETHODIMP ClientItem::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result,
                                EXCEPINFO*, UINT*) {
    VARIANT scratch;
    VariantInit(&scratch);
    VARIANT* target = result ? result : &scratch;
    if (result) VariantInit(result);
    if (!ambients_.read(id, target)) return E_NOTIMPL;
    VariantClear(&scratch);
    return S_OK;
}

}  // namespace olehost
