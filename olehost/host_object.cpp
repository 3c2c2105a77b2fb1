#include "host_object.h"

#include <algorithm>
#include <utility>

#include "object_table.h"

namespace olehost {

namespace {

constexpr const wchar_t* kFrameClass = L"OleHostChildWindow";
constexpr const wchar_t* kViewClass = L"OleHostView";
constexpr const wchar_t* kItemStorage = L"Item";
constexpr const wchar_t* kKindStream = L"ItemKind";  // how the item was made: ItemKind
constexpr int kHimetricPerInch = 2540;
constexpr DWORD kDocumentMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

HINSTANCE moduleInstance() {
    HMODULE module = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&moduleInstance), &module);
    return module;
}

HostObject* objectOf(HWND window) {
    return reinterpret_cast<HostObject*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

// The frame window: the view fills it.
LRESULT CALLBACK frameProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_SIZE) {
        if (HWND view = GetWindow(window, GW_CHILD))
            MoveWindow(view, 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK viewProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // Held while painting: drawing calls into the object. None while the object is deleted.
    std::shared_ptr<HostObject> object;
    if (HostObject* owner = objectOf(window)) object = owner->weak_from_this().lock();
    switch (message) {
        case WM_ERASEBKGND:
            return 1;  // painting fills the whole client area
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(window, &paint);
            if (object) object->paint(dc, false);
            EndPaint(window, &paint);
            return 0;
        }
        case WM_PRINTCLIENT:
            if (object) object->paint(reinterpret_cast<HDC>(wParam), false);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

bool registerClasses() {
    static const bool registered = [] {
        WNDCLASSEXW frame{};
        frame.cbSize = sizeof frame;
        frame.lpfnWndProc = frameProc;
        frame.hInstance = moduleInstance();
        frame.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
        frame.lpszClassName = kFrameClass;
        WNDCLASSEXW view = frame;
        view.lpfnWndProc = viewProc;
        view.lpszClassName = kViewClass;
        return RegisterClassExW(&frame) != 0 && RegisterClassExW(&view) != 0;
    }();
    return registered;
}

SIZE screenPixelsPerInch() {
    HDC screen = GetDC(nullptr);
    SIZE dpi{GetDeviceCaps(screen, LOGPIXELSX), GetDeviceCaps(screen, LOGPIXELSY)};
    ReleaseDC(nullptr, screen);
    return dpi;
}

COLORREF colorOf(OLE_COLOR color) {
    COLORREF rgb = 0;
    if (FAILED(OleTranslateColor(color, nullptr, &rgb))) return GetSysColor(COLOR_WINDOW);
    return rgb;
}

void fill(HDC dc, const RECT& rect, COLORREF color) {
    HBRUSH brush = CreateSolidBrush(color);
    FillRect(dc, &rect, brush);
    DeleteObject(brush);
}

}  // namespace

SIZE toHimetric(SIZE pixels) {
    SIZE dpi = screenPixelsPerInch();
    return {MulDiv(pixels.cx, kHimetricPerInch, dpi.cx),
            MulDiv(pixels.cy, kHimetricPerInch, dpi.cy)};
}

SIZE toPixels(SIZE himetric) {
    SIZE dpi = screenPixelsPerInch();
    return {MulDiv(himetric.cx, dpi.cx, kHimetricPerInch),
            MulDiv(himetric.cy, dpi.cy, kHimetricPerInch)};
}

std::wstring widen(const char* text) {
    if (!text) return {};
    int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring wide(length > 0 ? length : 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), length);
    wide.resize(wcslen(wide.c_str()));
    return wide;
}

std::string narrow(const wchar_t* text) {
    if (!text) return {};
    int length = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string result(length > 0 ? length : 1, '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, result.data(), length, nullptr, nullptr);
    result.resize(strlen(result.c_str()));
    return result;
}

std::shared_ptr<HostObject> HostObject::create(HWND host, const Bounds& bounds,
                                               const Origin& origin) {
    if (!registerClasses()) return nullptr;
    std::shared_ptr<HostObject> object(new HostObject);
    object->bounds_ = bounds;
    object->origin_ = origin;
    ComPtr<ILockBytes> bytes;
    if (FAILED(CreateILockBytesOnHGlobal(nullptr, TRUE, &bytes)) ||
        FAILED(StgCreateDocfileOnILockBytes(bytes.Get(), STGM_CREATE | kDocumentMode, 0,
                                            &object->root_)))
        return nullptr;
    object->frame_ = CreateWindowExW(
        0, kFrameClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN,
        bounds.left - origin.horizontal, bounds.top - origin.vertical, bounds.width, bounds.height,
        host, nullptr, moduleInstance(), nullptr);
    if (!object->frame_) return nullptr;
    RECT client;
    GetClientRect(object->frame_, &client);
    object->view_ = CreateWindowExW(0, kViewClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0,
                                    0, client.right, client.bottom, object->frame_, nullptr,
                                    moduleInstance(), nullptr);
    if (!object->view_) {
        DestroyWindow(object->frame_);
        object->frame_ = nullptr;
        return nullptr;
    }
    SetWindowLongPtrW(object->view_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(object.get()));
    return object;
}

HostObject::~HostObject() {
    closeAll();
}

void HostObject::closeAll() {
    // What the closing object still tells its site finds no item here.
    if (ClientItem* item = std::exchange(item_, nullptr)) {
        item->close();
        item->Release();
    }
    if (frame_) DestroyWindow(frame_);
    frame_ = view_ = nullptr;
    itemStorage_.Reset();
    root_.Reset();
}

HRESULT HostObject::makeItemStorage() {
    itemStorage_.Reset();
    return root_->CreateStorage(kItemStorage, STGM_CREATE | kDocumentMode, 0, 0, &itemStorage_);
}

HRESULT HostObject::insert(const Appearance& appearance,
                           const std::function<HRESULT(ClientItem&, IStorage*)>& make) {
    HRESULT hr = makeItemStorage();
    if (FAILED(hr)) return hr;
    return makeItem(appearance, make);
}

// A new item is kept only when it was made and runs; otherwise it is let go at once.
HRESULT HostObject::makeItem(const Appearance& appearance,
                             const std::function<HRESULT(ClientItem&, IStorage*)>& make) {
    auto* item = new ClientItem(*this, appearance);
    HRESULT hr = make(*item, itemStorage_.Get());
    if (SUCCEEDED(hr)) hr = item->run();
    if (FAILED(hr)) {
        item->close();
        item->Release();
        return hr;
    }
    item_ = item;
    repaint();
    return S_OK;
}

HRESULT HostObject::load(const char* path, const Appearance& appearance) {
    ComPtr<IStorage> file;
    HRESULT hr = StgOpenStorage(widen(path).c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE,
                                nullptr, 0, &file);
    if (FAILED(hr)) return hr;
    // The whole document is read into memory: the file stays free to be replaced or deleted.
    if (FAILED(hr = file->CopyTo(0, nullptr, nullptr, root_.Get()))) return hr;
    file.Reset();
    ItemKind kind = ItemKind::Embedded;
    ComPtr<IStream> kindStream;
    if (FAILED(hr = root_->OpenStream(kKindStream, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0,
                                      &kindStream)))
        return hr;
    ULONG read = 0;
    if (FAILED(hr = kindStream->Read(&kind, sizeof kind, &read)) || read != sizeof kind)
        return STG_E_READFAULT;
    if (FAILED(hr = root_->OpenStorage(kItemStorage, nullptr, kDocumentMode, nullptr, 0,
                                       &itemStorage_)))
        return hr;
    hr = makeItem(appearance,
                  [kind](ClientItem& item, IStorage* storage) { return item.load(storage, kind); });
    if (SUCCEEDED(hr)) remember(path);
    return hr;
}

namespace {

// A new, empty file in the folder of `target`, or "" when that folder cannot take one.
std::wstring fileBeside(const std::wstring& target) {
    wchar_t full[MAX_PATH];
    wchar_t* name = nullptr;
    const DWORD length = GetFullPathNameW(target.c_str(), MAX_PATH, full, &name);
    if (length == 0 || length >= MAX_PATH || !name) return {};
    *name = L'\0';
    wchar_t temporary[MAX_PATH];
    if (!GetTempFileNameW(full, L"olh", 0, temporary)) return {};
    return temporary;
}

// The identity of an existing file: its volume and index.
bool fileIdentity(const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
    HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = GetFileInformationByHandle(h, &info) != 0;
    CloseHandle(h);
    return ok;
}

// The full, long form of a path ("\" separators, no short names where the file exists).
std::string fullPath(const std::string& path) {
    char full[MAX_PATH];
    DWORD length = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH) return path;
    char longer[MAX_PATH];
    length = GetLongPathNameA(full, longer, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? std::string(full) : std::string(longer);
}

// Two paths name the same file when they reach the same file, however they are written:
// relative or absolute, "/" or "\\", short or long names, any case.
bool sameFile(const std::string& a, const std::string& b) {
    BY_HANDLE_FILE_INFORMATION ia{}, ib{};
    if (fileIdentity(a, ia) && fileIdentity(b, ib))
        return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
               ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
    return lstrcmpiA(fullPath(a).c_str(), fullPath(b).c_str()) == 0;
}

}  // namespace

HRESULT HostObject::save(const char* path) {
    if (!item_) return E_UNEXPECTED;
    // The object goes into a new file beside the target, which replaces the target only once
    // it is complete: a save that fails leaves the previous file (often the only copy) as it
    // was.
    const std::wstring target = widen(path);
    const std::wstring temporary = fileBeside(target);
    if (temporary.empty()) return HRESULT_FROM_WIN32(GetLastError());
    ComPtr<IStorage> file;
    HRESULT hr = StgCreateDocfile(temporary.c_str(), STGM_CREATE | kDocumentMode, 0, &file);
    ComPtr<IStream> kindStream;
    ComPtr<IStorage> itemStorage;
    ItemKind kind = item_->kind();
    if (SUCCEEDED(hr) &&
        SUCCEEDED(
            hr = file->CreateStream(kKindStream, STGM_CREATE | kDocumentMode, 0, 0, &kindStream)) &&
        SUCCEEDED(hr = kindStream->Write(&kind, sizeof kind, nullptr)) &&
        SUCCEEDED(hr = file->CreateStorage(kItemStorage, STGM_CREATE | kDocumentMode, 0, 0,
                                           &itemStorage)) &&
        SUCCEEDED(hr = item_->save(itemStorage.Get())) &&
        SUCCEEDED(hr = itemStorage->Commit(STGC_DEFAULT)))
        hr = file->Commit(STGC_DEFAULT);
    if (destroyed_) hr = E_UNEXPECTED;  // from inside the object's save: no file to remember
    kindStream.Reset();
    itemStorage.Reset();
    file.Reset();
    if (SUCCEEDED(hr) && !MoveFileExW(temporary.c_str(), target.c_str(),
                                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        hr = HRESULT_FROM_WIN32(GetLastError());
    if (FAILED(hr)) {
        DeleteFileW(temporary.c_str());  // a half-written document is of no use to anyone
        return hr;
    }
    remember(path);
    return S_OK;
}

void HostObject::remember(const std::string& path) {
    if (!remembered_.empty() && !sameFile(remembered_, path)) DeleteFileA(remembered_.c_str());
    // Kept in full: a later change of the current folder must not make it another file.
    remembered_ = fullPath(path);
}

void HostObject::destroy() {
    destroyed_ = true;
    closeAll();
    if (!remembered_.empty()) DeleteFileA(remembered_.c_str());
    remembered_.clear();
}

bool HostObject::place(const Bounds& asked) {
    bounds_ = {asked.top, asked.left, 0, 0};
    if (item_ && item_->autoSize) {
        auto own = item_->extentPixels();
        bounds_.width = own ? own->cx : asked.width;
        bounds_.height = own ? own->cy : asked.height;
        moveFrame();
    } else {
        setBounds(asked);
        if (item_) item_->autoSize = false;
    }
    return bounds_.width != asked.width || bounds_.height != asked.height;
}

bool HostObject::setBounds(const Bounds& bounds) {
    bounds_ = bounds;
    bool kept = false;
    if (item_) {
        item_->run();
        if (destroyed_) return false;
        sizing_ = true;
        lastSent_ = {bounds.width, bounds.height};
        // The object may ask for a new layout from inside SetExtent.
        HRESULT hr = item_->setExtentPixels(lastSent_);
        sizing_ = false;
        if (destroyed_) return false;
        if (FAILED(hr) && !item_->autoSize) {
            auto own = item_->extentPixels();
            if (own && (own->cx != bounds.width || own->cy != bounds.height)) {
                bounds_.width = own->cx;
                bounds_.height = own->cy;
                kept = true;
            }
        }
    }
    moveFrame();
    return kept && !destroyed_;
}

void HostObject::objectSizeChanged() {
    if (!item_ || destroyed_) return;
    auto own = item_->extentPixels();
    if (!own) return;
    SIZE current = sizing_ ? lastSent_ : SIZE{bounds_.width, bounds_.height};
    if (own->cx == current.cx && own->cy == current.cy) return;
    bounds_.width = own->cx;
    bounds_.height = own->cy;
    moveFrame();
    // Last: the host may destroy this object from inside its callback. An object destroyed
    // from a callback during the move is not reported.
    if (!destroyed_) ObjectTable::instance().reportBoundsChanged(token);
}

void HostObject::setAutoSize(bool on) {
    if (!item_) return;
    item_->autoSize = on;
    if (on) objectSizeChanged();
}

void HostObject::setOrigin(const Origin& origin) {
    if (origin.vertical == origin_.vertical && origin.horizontal == origin_.horizontal) return;
    origin_ = origin;
    moveFrame();
}

void HostObject::setAppBounds(const Bounds& clip) {
    clip_ = clip;
    moveFrame();
}

bool HostObject::adopt(HWND host, const Origin& origin) {
    if (!SetParent(frame_, host)) return false;
    origin_ = origin;
    moveFrame();
    return !destroyed_;
}

// The frame sits at the object's rectangle less the origin, cut by the application bounds;
// what is cut on the left and top shifts the object inside the view so it stays in place.
void HostObject::moveFrame() {
    if (destroyed_) return;
    RECT wanted{bounds_.left - origin_.horizontal, bounds_.top - origin_.vertical, 0, 0};
    wanted.right = wanted.left + bounds_.width;
    wanted.bottom = wanted.top + bounds_.height;
    RECT visible = wanted;
    if (clip_.width > 0 && clip_.height > 0) {
        RECT clip{clip_.left, clip_.top, clip_.left + clip_.width, clip_.top + clip_.height};
        if (!IntersectRect(&visible, &wanted, &clip))
            visible = {wanted.left, wanted.top, wanted.left, wanted.top};
    }
    cut_ = {visible.left - wanted.left, visible.top - wanted.top};
    SetWindowPos(frame_, nullptr, visible.left, visible.top, visible.right - visible.left,
                 visible.bottom - visible.top, SWP_NOZORDER | SWP_NOACTIVATE);
    if (item_) item_->setObjectRects(objectRectInView(), viewClientRect());
    if (!destroyed_) InvalidateRect(view_, nullptr, FALSE);
}

RECT HostObject::objectRectInView() const {
    return {-cut_.x, -cut_.y, bounds_.width - cut_.x, bounds_.height - cut_.y};
}

RECT HostObject::viewClientRect() const {
    RECT client{};
    GetClientRect(view_, &client);
    return client;
}

void HostObject::repaint() {
    if (!view_) return;
    InvalidateRect(view_, nullptr, FALSE);
    UpdateWindow(view_);
}

void HostObject::paint(HDC dc, bool metafile) {
    COLORREF background = colorOf(item_ ? item_->ambients().backColor() : 0);
    if (metafile) {
        RECT whole{0, 0, bounds_.width, bounds_.height};
        fill(dc, whole, background);
        if (item_) item_->draw(dc, whole);
        return;
    }
    RECT client = viewClientRect();
    // A control draws itself in its own window; other objects are drawn off screen first
    // so that the background and the object reach the screen in one step.
    if (!item_ || item_->isControl() || client.right <= 0 || client.bottom <= 0) {
        fill(dc, client, background);
        return;
    }
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, client.right, client.bottom);
    ReleaseDC(nullptr, screen);
    HGDIOBJ old = SelectObject(memory, bitmap);
    fill(memory, client, background);
    RECT object = objectRectInView();
    item_->draw(memory, object);
    if (item_ && item_->state() == ItemState::Open) {
        // The object is open in its server's window: cover it with hatching.
        // Rows of an 8 x 8 monochrome pattern: 0 bits (drawn black) make diagonal lines,
        // 1 bits (white) leave the object as it is.
        static const WORD kHatch[8] = {0xEE, 0xDD, 0xBB, 0x77, 0xEE, 0xDD, 0xBB, 0x77};
        HBITMAP pattern = CreateBitmap(8, 8, 1, 1, kHatch);
        HBRUSH brush = CreatePatternBrush(pattern);
        SetTextColor(memory, RGB(0, 0, 0));
        SetBkColor(memory, RGB(255, 255, 255));
        HGDIOBJ oldBrush = SelectObject(memory, brush);
        PatBlt(memory, object.left, object.top, object.right - object.left,
               object.bottom - object.top, 0x00A000C9 /* DPa: darken through the pattern */);
        SelectObject(memory, oldBrush);
        DeleteObject(brush);
        DeleteObject(pattern);
    }
    BitBlt(dc, 0, 0, client.right, client.bottom, memory, 0, 0, SRCCOPY);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
}

// The picture is recorded in a file of its own name in the temporary folder (created empty
// and unique by GetTempFileName, so no other process shares it), copied into memory for
// the caller and removed.
HRESULT HostObject::toMetafile(HENHMETAFILE* out) {
    *out = nullptr;
    wchar_t folder[MAX_PATH];
    wchar_t path[MAX_PATH];
    DWORD length = GetTempPathW(MAX_PATH, folder);
    if (length == 0 || length >= MAX_PATH || !GetTempFileNameW(folder, L"olh", 0, path))
        return HRESULT_FROM_WIN32(GetLastError());
    SIZE himetric = toHimetric({bounds_.width, bounds_.height});
    RECT frame{0, 0, himetric.cx, himetric.cy};
    HDC screen = GetDC(nullptr);
    HDC recorder = CreateEnhMetaFileW(screen, path, &frame, nullptr);
    ReleaseDC(nullptr, screen);
    if (!recorder) {
        DeleteFileW(path);
        return E_FAIL;
    }
    paint(recorder, true);
    HENHMETAFILE onDisk = CloseEnhMetaFile(recorder);
    HENHMETAFILE copy = onDisk ? CopyEnhMetaFileW(onDisk, nullptr) : nullptr;
    if (onDisk) DeleteEnhMetaFile(onDisk);
    DeleteFileW(path);
    if (!copy) return E_FAIL;
    ENHMETAHEADER header{};
    const RECTL& b = header.rclBounds;
    if (!GetEnhMetaFileHeader(copy, sizeof header, &header) || b.left < 0 || b.top < 0 ||
        b.right < b.left || b.bottom < b.top) {
        DeleteEnhMetaFile(copy);
        return E_FAIL;
    }
    *out = copy;
    return S_OK;
}

bool HostObject::focusNext(bool backwards) {
    HWND current = GetFocus();
    if (current && !IsChild(view_, current)) current = nullptr;
    HWND next = GetNextDlgTabItem(view_, current, backwards);
    if (!next || next == current || !IsChild(view_, next)) return false;
    SetFocus(next);
    return GetFocus() == next;
}

}  // namespace olehost
