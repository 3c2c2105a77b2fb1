#include "ambient.h"

#include <cwchar>

namespace olehost {

namespace {

VARIANT empty() {
    VARIANT v;
    VariantInit(&v);
    return v;
}

VARIANT i4(LONG value) {
    VARIANT v = empty();
    V_VT(&v) = VT_I4;
    V_I4(&v) = value;
    return v;
}

VARIANT boolean(bool value) {
    VARIANT v = empty();
    V_VT(&v) = VT_BOOL;
    V_BOOL(&v) = value ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
}

// The face a font description without one gets: that of the system's font for window text.
// The standard font object takes a missing name as it is and fails when the name is read.
void defaultFace(wchar_t (&face)[LF_FACESIZE]) {
    LOGFONTW gui{};
    if (GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof gui, &gui) && gui.lfFaceName[0])
        std::wcscpy(face, gui.lfFaceName);
    else
        std::wcscpy(face, L"MS Shell Dlg");
}

}  // namespace

AmbientTable::AmbientTable()
    : entries_{{
          {L"BackColor", DISPID_AMBIENT_BACKCOLOR, empty()},
          {L"DisplayName", DISPID_AMBIENT_DISPLAYNAME, empty()},
          {L"Font", DISPID_AMBIENT_FONT, empty()},
          {L"ForeColor", DISPID_AMBIENT_FORECOLOR, empty()},
          {L"LocaleID", DISPID_AMBIENT_LOCALEID, i4(static_cast<LONG>(GetUserDefaultLCID()))},
          {L"TextAlign", DISPID_AMBIENT_TEXTALIGN, empty()},
          {L"UserMode", DISPID_AMBIENT_USERMODE, boolean(true)},
          {L"UIDead", DISPID_AMBIENT_UIDEAD, boolean(false)},
          {L"ShowGrabHandles", DISPID_AMBIENT_SHOWGRABHANDLES, boolean(false)},
          {L"ShowHatching", DISPID_AMBIENT_SHOWHATCHING, boolean(false)},
      }} {
    VARIANT* align = find(DISPID_AMBIENT_TEXTALIGN);
    V_VT(align) = VT_I2;
    V_I2(align) = 0;
}

AmbientTable::AmbientTable(const Appearance& appearance) : AmbientTable() {
    setColor(DISPID_AMBIENT_BACKCOLOR, appearance.backColor);
    setColor(DISPID_AMBIENT_FORECOLOR, appearance.foreColor);
    setDisplayName(appearance.displayName);
    setFont(appearance.font);
}

AmbientTable::~AmbientTable() {
    for (Entry& e : entries_)
        VariantClear(&e.value);
}

const AmbientTable::Entry* AmbientTable::entry(DISPID id) const {
    for (const Entry& e : entries_)
        if (e.id == id) return &e;
    return nullptr;
}

VARIANT* AmbientTable::find(DISPID id) {
    return const_cast<VARIANT*>(entry(id) ? &entry(id)->value : nullptr);
}

DISPID AmbientTable::idOf(const wchar_t* name) const {
    if (name)
        for (const Entry& e : entries_)
            if (std::wcscmp(e.name, name) == 0) return e.id;
    return DISPID_UNKNOWN;
}

bool AmbientTable::read(DISPID id, VARIANT* out) const {
    const Entry* e = entry(id);
    if (!e) return false;
    return SUCCEEDED(VariantCopy(out, const_cast<VARIANT*>(&e->value)));
}

void AmbientTable::setColor(DISPID id, OLE_COLOR color) {
    VARIANT* v = find(id);
    VariantClear(v);
    *v = i4(static_cast<LONG>(color));
}

void AmbientTable::setBool(DISPID id, bool value) {
    VARIANT* v = find(id);
    VariantClear(v);
    *v = boolean(value);
}

void AmbientTable::setDisplayName(const wchar_t* name) {
    VARIANT* v = find(DISPID_AMBIENT_DISPLAYNAME);
    VariantClear(v);
    V_VT(v) = VT_BSTR;
    V_BSTR(v) = SysAllocString(name ? name : L"");
}

bool AmbientTable::setFont(const FONTDESC& font) {
    FONTDESC desc = font;
    desc.cbSizeofstruct = sizeof(FONTDESC);  // callers often leave it 0
    wchar_t face[LF_FACESIZE];
    if (!desc.lpstrName || !desc.lpstrName[0]) {
        defaultFace(face);
        desc.lpstrName = face;
    }
    IDispatch* object = nullptr;
    if (FAILED(OleCreateFontIndirect(&desc, IID_IFontDisp, reinterpret_cast<void**>(&object))))
        return false;
    VARIANT* v = find(DISPID_AMBIENT_FONT);
    VariantClear(v);  // releases the old font object
    V_VT(v) = VT_DISPATCH;
    V_DISPATCH(v) = object;
    return true;
}

OLE_COLOR AmbientTable::backColor() const {
    const VARIANT& v = entry(DISPID_AMBIENT_BACKCOLOR)->value;
    return V_VT(&v) == VT_I4 ? static_cast<OLE_COLOR>(V_I4(&v)) : 0;
}

bool AmbientTable::userMode() const {
    const VARIANT& v = entry(DISPID_AMBIENT_USERMODE)->value;
    return V_VT(&v) == VT_BOOL && V_BOOL(&v) != VARIANT_FALSE;
}

}  // namespace olehost
