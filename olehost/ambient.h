// The ambient properties one client item offers its control: a fixed table of ten entries,
// each a name, its dispatch id and a VARIANT value.
#pragma once

#include <ole2.h>
#include <olectl.h>
#include <windows.h>

#include <array>

namespace olehost {

// The appearance group of the create and load functions; the name and the font's face name
// stay the caller's and are copied where kept.
struct Appearance {
    OLE_COLOR backColor = 0;
    OLE_COLOR foreColor = 0;
    const wchar_t* displayName = nullptr;
    FONTDESC font{};
};

class AmbientTable {
  public:
    AmbientTable();  // every value empty except the fixed defaults
    explicit AmbientTable(const Appearance& appearance);
    ~AmbientTable();
    AmbientTable(const AmbientTable&) = delete;
    AmbientTable& operator=(const AmbientTable&) = delete;

    // The entry of a dispatch id, or nullptr when the table has none.
    VARIANT* find(DISPID id);
    // The dispatch id of a name (exact, case-sensitive), or DISPID_UNKNOWN.
    DISPID idOf(const wchar_t* name) const;

    // Copies the value into an initialised VARIANT; false for an id not in the table.
    bool read(DISPID id, VARIANT* out) const;

    void setColor(DISPID id, OLE_COLOR color);
    void setBool(DISPID id, bool value);
    void setDisplayName(const wchar_t* name);
    // Replaces the font object by a new one built from the description (without a face name,
    // null or empty, with the face of the system's GUI font); false when no font could be
    // built (the old one is then kept).
    bool setFont(const FONTDESC& font);

    OLE_COLOR backColor() const;
    bool userMode() const;

  private:
    struct Entry {
        const wchar_t* name;
        DISPID id;
        VARIANT value;
    };
    const Entry* entry(DISPID id) const;
    std::array<Entry, 10> entries_;
};

}  // namespace olehost
