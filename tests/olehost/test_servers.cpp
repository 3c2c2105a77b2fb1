// Two in-process COM servers for the host's tests: a control (IOleControl,
// IPersistStreamInit, in-place activation in a window of its own) and an embeddable document
// (IPersistStorage, IPersistFile for ".olhtdoc" files). Both draw themselves, list verbs with
// "&" in their names, can be told to keep their own size, and record what the container tells
// them, which the test host reads back through their IDispatch.
#include <ole2.h>
#include <olectl.h>
#include <windows.h>
#include <wrl/client.h>

#include <cstdio>
#include <string>
#include <vector>

#include "test_ids.h"

using Microsoft::WRL::ComPtr;

namespace {

HINSTANCE g_module = nullptr;

std::wstring describe(const VARIANT& v) {
    wchar_t text[64];
    switch (V_VT(&v)) {
        case VT_I4:
            std::swprintf(text, 64, L"%ld", static_cast<long>(V_I4(&v)));
            return text;
        case VT_I2:
            std::swprintf(text, 64, L"%d", V_I2(&v));
            return text;
        case VT_BOOL:
            return V_BOOL(&v) ? L"true" : L"false";
        case VT_BSTR:
            return V_BSTR(&v) ? V_BSTR(&v) : L"";
        case VT_DISPATCH: {
            ComPtr<IFont> font;
            BSTR name = nullptr;
            CY size{};
            if (!V_DISPATCH(&v) || FAILED(V_DISPATCH(&v)->QueryInterface(IID_PPV_ARGS(&font))) ||
                FAILED(font->get_Name(&name)) || FAILED(font->get_Size(&size)))
                return L"(not a font)";
            std::swprintf(text, 64, L"%ls/%lld", name, static_cast<long long>(size.int64 / 10000));
            SysFreeString(name);
            return text;
        }
        case VT_EMPTY:
            return L"(empty)";
        default:
            return L"(other)";
    }
}

// The reference count of a COM object that deletes itself with its last reference.
class Counted {
  protected:
    ULONG addRef() { return InterlockedIncrement(&refs_); }
    template <typename Self>
    ULONG release(Self* self) {
        LONG left = InterlockedDecrement(&refs_);
        if (left == 0) delete self;
        return left;
    }

  private:
    LONG refs_ = 1;
};

// What tells the test classes apart.
struct TestClass {
    const CLSID* id;
    bool control;
    DWORD misc;
};
const TestClass kControl{&kTestControlClass, true, TEST_CONTROL_MISC};
const TestClass kDocument{&kTestDocumentClass, false, TEST_DOCUMENT_MISC};
const TestClass kRegisteredInsideOut{&kTestRegisteredInsideOutClass, true,
                                     TEST_REGISTERED_INSIDEOUT_MISC};

class TestObject final : private Counted,
                         public IOleObject,
                         public IViewObject2,
                         public IDispatch,
                         public IOleControl,
                         public IPersistStreamInit,
                         public IOleInPlaceObject,
                         public IPersistStorage,
                         public IPersistFile,
                         public IDataObject {
  public:
    explicit TestObject(const TestClass& kind) : class_(kind), control_(kind.control) {
        extent_ = control_ ? SIZEL{TEST_CONTROL_CX, TEST_CONTROL_CY}
                           : SIZEL{TEST_DOCUMENT_CX, TEST_DOCUMENT_CY};
    }

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        *out = nullptr;
        if (iid == IID_IUnknown || iid == IID_IOleObject)
            *out = static_cast<IOleObject*>(this);
        else if (iid == IID_IViewObject || iid == IID_IViewObject2)
            *out = static_cast<IViewObject2*>(this);
        else if (iid == IID_IDispatch)
            *out = static_cast<IDispatch*>(this);
        else if (control_ && iid == IID_IOleControl)
            *out = static_cast<IOleControl*>(this);
        else if (control_ && (iid == IID_IPersistStreamInit || iid == IID_IPersist))
            *out = static_cast<IPersistStreamInit*>(this);
        else if (control_ && (iid == IID_IOleInPlaceObject || iid == IID_IOleWindow))
            *out = static_cast<IOleInPlaceObject*>(this);
        else if (!control_ && (iid == IID_IPersistStorage || iid == IID_IPersist))
            *out = static_cast<IPersistStorage*>(this);
        else if (!control_ && iid == IID_IPersistFile)
            *out = static_cast<IPersistFile*>(this);
        else if (!control_ && iid == IID_IDataObject)
            *out = static_cast<IDataObject*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return addRef(); }
    STDMETHODIMP_(ULONG) Release() override { return release(this); }

    // IOleObject
    STDMETHODIMP SetClientSite(IOleClientSite* site) override {
        site_ = site;
        return S_OK;
    }
    STDMETHODIMP GetClientSite(IOleClientSite** out) override {
        *out = site_.Get();
        if (*out) (*out)->AddRef();
        return S_OK;
    }
    STDMETHODIMP SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
    STDMETHODIMP Close(DWORD) override {
        InPlaceDeactivate();
        if (adviseSink_) adviseSink_->OnClose();
        return S_OK;
    }
    STDMETHODIMP SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
    STDMETHODIMP InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP GetClipboardData(DWORD, IDataObject**) override { return E_NOTIMPL; }
    STDMETHODIMP DoVerb(LONG verb, MSG*, IOleClientSite* site, LONG, HWND, LPCRECT) override {
        wchar_t line[32];
        std::swprintf(line, 32, L"%ld:%d\n", static_cast<long>(verb), userMode() ? 1 : 0);
        verbLog_ += line;
        askForLayout();
        if (control_) {
            if (verb == OLEIVERB_INPLACEACTIVATE || verb == OLEIVERB_UIACTIVATE ||
                verb == OLEIVERB_SHOW || verb == OLEIVERB_PRIMARY)
                return activateInPlace(site ? site : site_.Get());
            return verb == 1 ? S_OK : E_NOTIMPL;
        }
        if (verb == OLEIVERB_PRIMARY || verb == OLEIVERB_SHOW || verb == OLEIVERB_OPEN) {
            if (site_) site_->OnShowWindow(TRUE);
            return S_OK;
        }
        return E_NOTIMPL;
    }
    STDMETHODIMP EnumVerbs(IEnumOLEVERB** out) override;
    STDMETHODIMP Update() override { return S_OK; }
    STDMETHODIMP IsUpToDate() override { return S_OK; }
    STDMETHODIMP GetUserClassID(CLSID* out) override { return GetClassID(out); }
    STDMETHODIMP GetUserType(DWORD, LPOLESTR* out) override {
        const wchar_t* name = control_ ? L"Host Test Control" : L"Host Test Document";
        size_t bytes = (wcslen(name) + 1) * sizeof(wchar_t);
        *out = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
        memcpy(*out, name, bytes);
        return S_OK;
    }
    STDMETHODIMP SetExtent(DWORD, SIZEL* size) override {
        if (keepsSize_) return E_FAIL;
        extent_ = *size;
        askForLayout();
        return S_OK;
    }
    STDMETHODIMP GetExtent(DWORD, SIZEL* size) override {
        *size = extent_;
        return S_OK;
    }
    STDMETHODIMP Advise(IAdviseSink* sink, DWORD* cookie) override {
        adviseSink_ = sink;
        *cookie = 1;
        return S_OK;
    }
    STDMETHODIMP Unadvise(DWORD) override {
        adviseSink_.Reset();
        return S_OK;
    }
    STDMETHODIMP EnumAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }
    STDMETHODIMP GetMiscStatus(DWORD, DWORD* status) override {
        *status = class_.misc;
        return S_OK;
    }
    STDMETHODIMP SetColorScheme(LOGPALETTE*) override { return E_NOTIMPL; }

    // IViewObject2
    STDMETHODIMP Draw(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, HDC dc, LPCRECTL bounds, LPCRECTL,
                      BOOL(STDMETHODCALLTYPE*)(ULONG_PTR), ULONG_PTR) override {
        RECT r{bounds->left, bounds->top, bounds->right, bounds->bottom};
        if (!control_)  // the document leaves a margin, where the container's colour shows
            InflateRect(&r, -(r.right - r.left) / 4, -(r.bottom - r.top) / 4);
        HBRUSH brush = CreateSolidBrush(control_ ? RGB(0, 128, 0) : RGB(0, 0, 255));
        FillRect(dc, &r, brush);
        DeleteObject(brush);
        return S_OK;
    }
    STDMETHODIMP GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE**) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Freeze(DWORD, LONG, void*, DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP Unfreeze(DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP SetAdvise(DWORD, DWORD, IAdviseSink* sink) override {
        viewSink_ = sink;
        return S_OK;
    }
    STDMETHODIMP GetAdvise(DWORD*, DWORD*, IAdviseSink** sink) override {
        *sink = viewSink_.Get();
        if (*sink) (*sink)->AddRef();
        return S_OK;
    }
    STDMETHODIMP GetExtent(DWORD, LONG, DVTARGETDEVICE*, LPSIZEL size) override {
        *size = extent_;
        return S_OK;
    }

    // IDispatch
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        static const struct {
            const wchar_t* name;
            DISPID id;
        } kMembers[] = {{L"AmbientLog", kDispAmbientLog},
                        {L"KeepsSize", kDispKeepsSize},
                        {L"VerbLog", kDispVerbLog},
                        {L"Resize", kDispResize},
                        {L"Text", kDispText},
                        {L"InPlaceWindow", kDispInPlaceWindow},
                        {L"LoadedFrom", kDispLoadedFrom},
                        {L"Ambient", kDispAmbient},
                        {L"AmbientId", kDispAmbientId}};
        HRESULT hr = S_OK;
        for (UINT i = 0; i < count; ++i) {
            ids[i] = DISPID_UNKNOWN;
            for (const auto& m : kMembers)
                if (_wcsicmp(m.name, names[i]) == 0) ids[i] = m.id;
            if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
        }
        return hr;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO*, UINT*) override;

    // IOleControl
    STDMETHODIMP GetControlInfo(CONTROLINFO*) override { return E_NOTIMPL; }
    STDMETHODIMP OnMnemonic(MSG*) override { return E_NOTIMPL; }
    STDMETHODIMP OnAmbientPropertyChange(DISPID id) override {
        wchar_t line[32];
        std::swprintf(line, 32, L"%ld=", static_cast<long>(id));
        ambientLog_ += line + ambient(id) + L"\n";
        return S_OK;
    }
    STDMETHODIMP FreezeEvents(BOOL) override { return S_OK; }

    // IPersist and the three persistence interfaces
    STDMETHODIMP GetClassID(CLSID* out) override {
        *out = *class_.id;
        return S_OK;
    }
    STDMETHODIMP IsDirty() override { return S_OK; }
    STDMETHODIMP Load(IStream* stream) override {  // the control: extent, size mode, text
        ULONG read = 0;
        UINT32 keeps = 0, length = 0;
        stream->Read(&extent_, sizeof extent_, &read);
        stream->Read(&keeps, sizeof keeps, &read);
        stream->Read(&length, sizeof length, &read);
        if (read != sizeof length || length > 4096) return E_FAIL;
        text_.assign(length, L'\0');
        stream->Read(text_.data(), length * sizeof(wchar_t), &read);
        keepsSize_ = keeps != 0;
        return S_OK;
    }
    STDMETHODIMP Save(IStream* stream, BOOL) override {
        // A host's test of a save that fails half-way: this text is written, then refused.
        const bool refuse = text_ == L"refuse to save";
        UINT32 keeps = keepsSize_, length = static_cast<UINT32>(text_.size());
        stream->Write(&extent_, sizeof extent_, nullptr);
        stream->Write(&keeps, sizeof keeps, nullptr);
        stream->Write(&length, sizeof length, nullptr);
        const HRESULT hr = stream->Write(text_.data(), length * sizeof(wchar_t), nullptr);
        return refuse ? STG_E_WRITEFAULT : hr;
    }
    STDMETHODIMP GetSizeMax(ULARGE_INTEGER*) override { return E_NOTIMPL; }
    STDMETHODIMP InitNew() override { return S_OK; }
    // The document keeps its text in the stream "Contents" of its storage.
    STDMETHODIMP InitNew(IStorage* storage) override {
        storage_ = storage;
        return S_OK;
    }
    STDMETHODIMP Load(IStorage* storage) override {
        storage_ = storage;
        ComPtr<IStream> stream;
        if (FAILED(storage->OpenStream(L"Contents", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0,
                                       &stream)))
            return S_OK;  // saved empty
        HRESULT hr = Load(stream.Get());
        ComPtr<IStream> source;
        if (SUCCEEDED(hr) &&
            SUCCEEDED(storage->OpenStream(L"Source", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0,
                                          &source))) {
            wchar_t path[MAX_PATH] = L"";
            source->Read(path, sizeof path - sizeof(wchar_t), nullptr);
            loadedFrom_ = path;
        }
        return hr;
    }
    STDMETHODIMP Save(IStorage* storage, BOOL) override {
        ComPtr<IStream> stream;
        HRESULT hr = storage->CreateStream(
            L"Contents", STGM_CREATE | STGM_WRITE | STGM_SHARE_EXCLUSIVE, 0, 0, &stream);
        if (FAILED(hr)) return hr;
        WriteClassStg(storage, kTestDocumentClass);
        if (FAILED(hr = Save(stream.Get(), TRUE))) return hr;
        ComPtr<IStream> source;
        if (FAILED(hr = storage->CreateStream(
                       L"Source", STGM_CREATE | STGM_WRITE | STGM_SHARE_EXCLUSIVE, 0, 0, &source)))
            return hr;
        return source->Write(loadedFrom_.c_str(), (loadedFrom_.size() + 1) * sizeof(wchar_t),
                             nullptr);
    }
    STDMETHODIMP SaveCompleted(IStorage* storage) override {
        if (storage) storage_ = storage;
        return S_OK;
    }
    STDMETHODIMP HandsOffStorage() override {
        storage_.Reset();
        return S_OK;
    }
    // A ".olhtdoc" file is plain 8-bit text that becomes the document's text.
    STDMETHODIMP Load(LPCOLESTR path, DWORD) override {
        loadedFrom_ = path;
        HANDLE file =
            CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) return STG_E_FILENOTFOUND;
        char buffer[1024];
        DWORD read = 0;
        ReadFile(file, buffer, sizeof buffer, &read, nullptr);
        CloseHandle(file);
        text_.assign(buffer, buffer + read);
        return S_OK;
    }
    STDMETHODIMP Save(LPCOLESTR, BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP SaveCompleted(LPCOLESTR) override { return S_OK; }
    STDMETHODIMP GetCurFile(LPOLESTR*) override { return E_NOTIMPL; }

    // IDataObject: a document bound from its file hands itself over as an embedding.
    STDMETHODIMP GetData(FORMATETC*, STGMEDIUM*) override { return DV_E_FORMATETC; }
    STDMETHODIMP GetDataHere(FORMATETC* format, STGMEDIUM* medium) override {
        if (QueryGetData(format) != S_OK || medium->tymed != TYMED_ISTORAGE || !medium->pstg)
            return DV_E_FORMATETC;
        return Save(medium->pstg, FALSE);
    }
    STDMETHODIMP QueryGetData(FORMATETC* format) override {
        static const CLIPFORMAT embedSource =
            static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"Embed Source"));
        return format && format->cfFormat == embedSource && (format->tymed & TYMED_ISTORAGE)
                   ? S_OK
                   : DV_E_FORMATETC;
    }
    STDMETHODIMP GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out) override {
        out->ptd = nullptr;
        return DATA_S_SAMEFORMATETC;
    }
    STDMETHODIMP SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
    STDMETHODIMP DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override {
        return OLE_E_ADVISENOTSUPPORTED;
    }
    STDMETHODIMP DUnadvise(DWORD) override { return OLE_E_ADVISENOTSUPPORTED; }
    STDMETHODIMP EnumDAdvise(IEnumSTATDATA**) override { return OLE_E_ADVISENOTSUPPORTED; }

    // IOleWindow, IOleInPlaceObject
    STDMETHODIMP GetWindow(HWND* out) override {
        *out = window_;
        return window_ ? S_OK : E_FAIL;
    }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP InPlaceDeactivate() override {
        if (!window_) return S_OK;
        DestroyWindow(window_);
        window_ = nullptr;
        ComPtr<IOleInPlaceSite> site;
        if (site_ && SUCCEEDED(site_.As(&site))) site->OnInPlaceDeactivate();
        return S_OK;
    }
    STDMETHODIMP UIDeactivate() override { return S_OK; }
    STDMETHODIMP SetObjectRects(LPCRECT position, LPCRECT) override {
        askForLayout();
        if (window_)
            MoveWindow(window_, position->left, position->top, position->right - position->left,
                       position->bottom - position->top, TRUE);
        return S_OK;
    }
    STDMETHODIMP ReactivateAndUndo() override { return E_NOTIMPL; }

  private:
    ~TestObject() = default;
    friend class Counted;

    // The container's ambient property, read through its client site as a control does.
    std::wstring ambient(DISPID id) {
        ComPtr<IDispatch> container;
        if (!site_ || FAILED(site_.As(&container))) return L"(no container)";
        VARIANT value;
        VariantInit(&value);
        DISPPARAMS none{};
        HRESULT hr = container->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET,
                                       &none, &value, nullptr, nullptr);
        if (FAILED(hr)) {
            wchar_t text[32];
            std::swprintf(text, 32, L"(error 0x%08lX)", static_cast<unsigned long>(hr));
            return text;
        }
        std::wstring text = describe(value);
        VariantClear(&value);
        return text;
    }

    bool userMode() { return ambient(DISPID_AMBIENT_USERMODE) != L"false"; }

    HRESULT activateInPlace(IOleClientSite* clientSite) {
        if (window_) return S_OK;
        ComPtr<IOleInPlaceSite> site;
        if (!clientSite || FAILED(clientSite->QueryInterface(IID_PPV_ARGS(&site))))
            return E_NOINTERFACE;
        if (site->CanInPlaceActivate() != S_OK) return E_FAIL;
        site->OnInPlaceActivate();
        HWND parent = nullptr;
        site->GetWindow(&parent);
        ComPtr<IOleInPlaceFrame> frame;
        ComPtr<IOleInPlaceUIWindow> document;
        RECT position{}, clip{};
        OLEINPLACEFRAMEINFO info{};
        info.cb = sizeof info;
        HRESULT hr = site->GetWindowContext(&frame, &document, &position, &clip, &info);
        if (FAILED(hr)) return hr;
        window_ =
            CreateWindowExW(0, L"EDIT", text_.c_str(), WS_CHILD | WS_VISIBLE | WS_TABSTOP,
                            position.left, position.top, position.right - position.left,
                            position.bottom - position.top, parent, nullptr, g_module, nullptr);
        return window_ ? S_OK : E_FAIL;
    }

    void resize(LONG cx, LONG cy) {
        extent_ = {cx, cy};
        if (control_) {
            if (site_) site_->RequestNewObjectLayout();
        } else if (viewSink_) {
            viewSink_->OnViewChange(DVASPECT_CONTENT, -1);
        }
    }

    // In the mode kDispRelayout sets: takes that extent and asks the site for a new layout,
    // holding the site as a caller must (the container may let go of us meanwhile).
    void askForLayout() {
        if (!relayout_.cx) return;
        extent_ = relayout_;
        if (ComPtr<IOleClientSite> site = site_) site->RequestNewObjectLayout();
    }

    const TestClass& class_;
    bool control_;
    SIZEL relayout_{0, 0};
    bool keepsSize_ = false;
    SIZEL extent_;
    std::wstring text_, ambientLog_, verbLog_, loadedFrom_;
    ComPtr<IOleClientSite> site_;
    ComPtr<IAdviseSink> adviseSink_, viewSink_;
    ComPtr<IStorage> storage_;
    HWND window_ = nullptr;
};

HRESULT returnText(VARIANT* result, const std::wstring& text) {
    if (result) {
        V_VT(result) = VT_BSTR;
        V_BSTR(result) = SysAllocString(text.c_str());
    }
    return S_OK;
}

HRESULT argument(DISPPARAMS* params, UINT index, VARTYPE type, VARIANT* out) {
    // Arguments come last first.
    if (!params || index >= params->cArgs) return DISP_E_BADPARAMCOUNT;
    VariantInit(out);
    return VariantChangeType(out, &params->rgvarg[params->cArgs - 1 - index], 0, type);
}

STDMETHODIMP TestObject::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                VARIANT* result, EXCEPINFO*, UINT*) {
    if (result) VariantInit(result);
    const bool put = (flags & DISPATCH_PROPERTYPUT) != 0;
    VARIANT a, b;
    HRESULT hr;
    switch (id) {
        case kDispAmbientLog:
            return returnText(result, ambientLog_);
        case kDispVerbLog:
            return returnText(result, verbLog_);
        case kDispLoadedFrom:
            return returnText(result, loadedFrom_);
        case kDispKeepsSize:
            if (put) {
                if (FAILED(hr = argument(params, 0, VT_BOOL, &a))) return hr;
                keepsSize_ = V_BOOL(&a) != VARIANT_FALSE;
            } else if (result) {
                V_VT(result) = VT_BOOL;
                V_BOOL(result) = keepsSize_ ? VARIANT_TRUE : VARIANT_FALSE;
            }
            return S_OK;
        case kDispText:
            if (put) {
                if (FAILED(hr = argument(params, 0, VT_BSTR, &a))) return hr;
                text_ = V_BSTR(&a);
                VariantClear(&a);
                return S_OK;
            }
            return returnText(result, text_);
        case kDispInPlaceWindow:
            if (result) {
                V_VT(result) = VT_I4;
                V_I4(result) = window_ != nullptr;
            }
            return S_OK;
        case kDispResize:
            if (FAILED(hr = argument(params, 0, VT_I4, &a)) ||
                FAILED(hr = argument(params, 1, VT_I4, &b)))
                return hr;
            resize(V_I4(&a), V_I4(&b));
            return S_OK;
        case kDispRelayout:
            if (FAILED(hr = argument(params, 0, VT_I4, &a))) return hr;
            relayout_ = {V_I4(&a), TEST_CONTROL_CY};
            return S_OK;
        case kDispAmbient:
            if (FAILED(hr = argument(params, 0, VT_I4, &a))) return hr;
            return returnText(result, ambient(V_I4(&a)));
        case kDispAmbientId: {
            if (FAILED(hr = argument(params, 0, VT_BSTR, &a))) return hr;
            ComPtr<IDispatch> container;
            DISPID found = 0;
            hr = site_ && SUCCEEDED(site_.As(&container))
                     ? container->GetIDsOfNames(IID_NULL, &V_BSTR(&a), 1, LOCALE_USER_DEFAULT,
                                                &found)
                     : E_NOINTERFACE;
            VariantClear(&a);
            if (FAILED(hr)) return hr;
            if (result) {
                V_VT(result) = VT_I4;
                V_I4(result) = found;
            }
            return S_OK;
        }
        default:
            return DISP_E_MEMBERNOTFOUND;
    }
}

class VerbEnumerator final : private Counted, public IEnumOLEVERB {
  public:
    explicit VerbEnumerator(std::vector<OLEVERB> verbs) : verbs_(std::move(verbs)) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        *out = nullptr;
        if (iid != IID_IUnknown && iid != IID_IEnumOLEVERB) return E_NOINTERFACE;
        *out = this;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return addRef(); }
    STDMETHODIMP_(ULONG) Release() override { return release(this); }
    STDMETHODIMP Next(ULONG count, OLEVERB* out, ULONG* fetched) override {
        ULONG n = 0;
        for (; n < count && next_ < verbs_.size(); ++n, ++next_) {
            out[n] = verbs_[next_];
            if (const wchar_t* name = verbs_[next_].lpszVerbName) {
                size_t bytes = (wcslen(name) + 1) * sizeof(wchar_t);
                out[n].lpszVerbName = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
                memcpy(out[n].lpszVerbName, name, bytes);
            }
        }
        if (fetched) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override {
        next_ += count;
        return next_ <= verbs_.size() ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override {
        next_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumOLEVERB**) override { return E_NOTIMPL; }

  private:
    ~VerbEnumerator() = default;
    friend class Counted;
    std::vector<OLEVERB> verbs_;
    size_t next_ = 0;
};

STDMETHODIMP TestObject::EnumVerbs(IEnumOLEVERB** out) {
    static wchar_t edit[] = L"&Edit", properties[] = L"&Properties...", open[] = L"&Open";
    std::vector<OLEVERB> verbs;
    if (control_)
        verbs = {{0, edit, 0, OLEVERBATTRIB_ONCONTAINERMENU},
                 {1, properties, 0, OLEVERBATTRIB_ONCONTAINERMENU},
                 {OLEIVERB_INPLACEACTIVATE, nullptr, 0, 0}};
    else
        verbs = {{0, open, 0, OLEVERBATTRIB_ONCONTAINERMENU}, {OLEIVERB_SHOW, nullptr, 0, 0}};
    *out = new VerbEnumerator(std::move(verbs));
    return S_OK;
}

class Factory final : public IClassFactory {
  public:
    explicit Factory(const TestClass& kind) : class_(kind) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        *out = nullptr;
        if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
        *out = this;
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // static lifetime
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        auto* object = new TestObject(class_);
        HRESULT hr = static_cast<IOleObject*>(object)->QueryInterface(iid, out);
        static_cast<IOleObject*>(object)->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }

  private:
    const TestClass& class_;
};

Factory g_controlFactory(kControl);
Factory g_documentFactory(kDocument);
Factory g_registeredInsideOutFactory(kRegisteredInsideOut);

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH) g_module = instance;
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID classId, REFIID iid, void** out) {
    if (classId == kTestControlClass) return g_controlFactory.QueryInterface(iid, out);
    if (classId == kTestDocumentClass) return g_documentFactory.QueryInterface(iid, out);
    if (classId == kTestRegisteredInsideOutClass)
        return g_registeredInsideOutFactory.QueryInterface(iid, out);
    *out = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return S_FALSE;
}
