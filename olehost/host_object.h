// One object held for the host: its document (the storage the item lives in, the remembered
// file), its frame window and view in the host window, and its client item.
#pragma once

#include <ole2.h>
#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "client_item.h"

namespace olehost {

// A rectangle as the host gives it: pixels of the host window.
struct Bounds {
    LONG top = 0;
    LONG left = 0;
    LONG height = 0;
    LONG width = 0;
};

// The host's scroll position, subtracted from the object's position.
struct Origin {
    LONG vertical = 0;
    LONG horizontal = 0;
};

// The host may destroy an object from its bounds-changed callback, which runs inside calls
// into the object: whoever calls into it holds a share of it, and after each call that can
// reach the callback looks at destroyed() before going on.
class HostObject : public std::enable_shared_from_this<HostObject> {
  public:
    // Makes the storage and the windows; nullptr when either cannot be made.
    static std::shared_ptr<HostObject> create(HWND host, const Bounds& bounds,
                                              const Origin& origin);
    ~HostObject();
    HostObject(const HostObject&) = delete;
    HostObject& operator=(const HostObject&) = delete;

    HWND frame() const { return frame_; }
    HWND view() const { return view_; }
    ClientItem* item() const { return item_; }
    IStorage* itemStorage() const { return itemStorage_.Get(); }

    // Creates the item by one of the kinds; on failure the object is left without item.
    HRESULT insert(const Appearance& appearance,
                   const std::function<HRESULT(ClientItem&, IStorage*)>& make);
    // Reads a file written by save(); the path becomes the remembered file.
    HRESULT load(const char* path, const Appearance& appearance);
    // Writes the object to a compound file; the path becomes the remembered file.
    HRESULT save(const char* path);
    // Closes the item, removes the windows and deletes the remembered file.
    void destroy();
    bool destroyed() const { return destroyed_; }

    // Gives the new object its place; true when it kept a size other than the one asked.
    bool place(const Bounds& asked);
    // Sends the size to the object and moves the frame; true when the object kept another
    // (false when the host destroyed the object meanwhile, as for adopt()).
    bool setBounds(const Bounds& bounds);
    Bounds bounds() const { return bounds_; }
    void setOrigin(const Origin& origin);
    void setAppBounds(const Bounds& clip);
    bool adopt(HWND host, const Origin& origin);
    void setAutoSize(bool on);

    // The object changed, or asked to change, its own extent.
    void objectSizeChanged();
    // Repaints the view now.
    void repaint();
    void paint(HDC dc, bool metafile);
    HRESULT toMetafile(HENHMETAFILE* out);
    bool focusNext(bool backwards);

    // The object's rectangle in view coordinates (shifted by the part cut away).
    RECT objectRectInView() const;
    RECT viewClientRect() const;

    LONG token = 0;

  private:
    HostObject() = default;
    void moveFrame();
    void closeAll();
    void remember(const std::string& path);
    HRESULT makeItemStorage();
    HRESULT makeItem(const Appearance& appearance,
                     const std::function<HRESULT(ClientItem&, IStorage*)>& make);

    HWND frame_ = nullptr;
    HWND view_ = nullptr;
    ClientItem* item_ = nullptr;  // one reference held
    ComPtr<IStorage> root_;       // the document, in memory
    ComPtr<IStorage> itemStorage_;
    Bounds bounds_;
    Origin origin_;
    Bounds clip_;          // the application bounds; no area: no cut
    POINT cut_{0, 0};      // the part of the object cut away on the left and top
    SIZE lastSent_{0, 0};  // the last size sent to the object, in pixels
    bool sizing_ = false;  // a size is being sent to the object
    bool destroyed_ = false;
    std::string remembered_;
};

// Pixels of the screen to HIMETRIC and back.
SIZE toHimetric(SIZE pixels);
SIZE toPixels(SIZE himetric);
std::wstring widen(const char* text);
std::string narrow(const wchar_t* text);

}  // namespace olehost
