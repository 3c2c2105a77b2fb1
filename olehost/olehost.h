/*
 * olehost: places OLE objects and ActiveX controls in the windows of a host program that is
 * not itself an OLE container, through 33 flat functions.
 *
 * Windows only: olehost.dll (x86 or x64, matching the caller), exported undecorated with the
 * caller-cleans (__cdecl) convention, by name and by the ordinals given below. Integers are
 * 32-bit. Call every function from the host's user-interface thread (the thread that owns
 * the host windows); the library initialises OLE on that thread itself when it first needs
 * it. No C++ exception ever leaves a function: failures come back as the codes below.
 *
 * Objects. A successful create or load hands out an object id (1, 2, 3, ...); the id names
 * the object until OleDestroyObject. Ids are not reused, with two exceptions: a failed load,
 * and an insert for which not even the object's window could be made, give their id back,
 * so the next create gets the same id again. A failed insert otherwise keeps its id used.
 *
 * Every object lives in a frame window of its own (window class "OleHostChildWindow", a
 * child of the host window without caption or border) that holds the object's view window.
 *
 * Argument groups that many functions share, in this order:
 *   bounds     top, left, height, width: the object's rectangle in pixels of the host window.
 *   origin     vertical, horizontal: the host's scroll position. The frame window is placed at
 *              (left - horizontal, top - vertical), cut by the application bounds when those
 *              are set (OleSetAppBounds).
 *   appearance background colour, foreground colour (OLE_COLOR; the high bit set makes the
 *              low byte a system colour index), display name (UTF-16, zero-terminated, may be
 *              NULL), and a FONTDESC passed by value. These seed the ambient properties that
 *              a control reads from its container: "BackColor", "ForeColor", "DisplayName",
 *              "Font" (plus "LocaleID" = the user's default locale, "TextAlign" 0, "UserMode"
 *              true, "UIDead", "ShowGrabHandles" and "ShowHatching" false). The library copies
 *              the name and the font description; the caller keeps ownership of both. A
 *              FONTDESC without a face name (NULL or empty) gets the face of the system's GUI
 *              font (DEFAULT_GUI_FONT), here and in OleObjAmbFontChange.
 *
 * Files. The path given to OleLoadObject or OleSaveObject becomes the object's remembered
 * file. When a different file is remembered later, the previous file is DELETED; when the
 * object is destroyed, its remembered file is DELETED. Paths are compared as files: a
 * relative and an absolute path, "/" and "\", a short and a long name of one file are the
 * same file. Pass only paths of working files that the library may remove. The files are OLE
 * compound files holding the object; a save writes a new file in the target's folder and
 * replaces the target only when it is complete, so a failed save leaves the old file.
 */
#ifndef OLEHOST_H
#define OLEHOST_H

#include <ole2.h>
#include <olectl.h>
#include <stdint.h>
#include <windows.h>

#define OLEHOST_CALL __cdecl

/* Results. */
#define OLEHOST_OK 0
#define OLEHOST_FAILED 1          /* no such object, or the general failure of a call */
#define OLEHOST_E_CREATE 500      /* the object could not be created */
#define OLEHOST_E_NO_PROPERTY 504 /* the ambient property is not in the table */
#define OLEHOST_E_ACTIVATE 505    /* no such object, or it refused to activate */
#define OLEHOST_E_DEACTIVATE 506  /* no such object */
#define OLEHOST_E_METAFILE 507    /* the picture could not be recorded */
#define OLEHOST_E_VERB 508        /* the object refused the verb or failed in it */
#define OLEHOST_E_LOAD 510        /* the file could not be loaded */

/* flags (create and load): keep automatic sizing on after the object is placed; without this
 * bit the object is given the bounds and automatic sizing is switched off. */
#define OLEHOST_KEEP_AUTOSIZE 0x2
/* out flags: placing the object left it with a size other than the one asked; read the
 * bounds back with OleGetObjectBounds. */
#define OLEHOST_SIZE_CHANGED 0x1

/* OleObjectGetPopupMenu: every text slot is 256 bytes, and the verb-name buffer must have
 * room for OLEHOST_MAX_VERBS slots; further verbs are not reported. */
#define OLEHOST_TEXT_SLOT 256
#define OLEHOST_MAX_VERBS 32

/* OleObjectMiscFlags bits. */
#define OLEHOST_MISC_INVISIBLEATRUNTIME 0x01
#define OLEHOST_MISC_ALWAYSRUN 0x02
#define OLEHOST_MISC_ACTSLIKEBUTTON 0x04
#define OLEHOST_MISC_ACTSLIKELABEL 0x08
#define OLEHOST_MISC_ONLYICONIC 0x10
#define OLEHOST_MISC_INSIDEOUT 0x20
#define OLEHOST_MISC_NOUIACTIVATE 0x40
#define OLEHOST_MISC_SIMPLEFRAME 0x80
#define OLEHOST_MISC_CONTROL 0x100 /* the object is a control */

/* Called (on the host's thread) with the object's token when an object changed its own size
 * and the library moved its frame window; only objects with a nonzero token are reported.
 * The object may do so from inside a call of the library (a verb, OleSetObjectBounds, a move
 * of an active control, an ambient change), so the callback runs inside that call. The
 * callback may destroy that object, or any other, with OleDestroyObject; the call then
 * returns what it returns for an id that names no object. */
typedef void(OLEHOST_CALL* OleBoundsChangedCallback)(int32_t token);

#ifdef __cplusplus
extern "C" {
#endif

/* --- Creating, loading, saving and destroying -------------------------------------------- */

/* (16) Creates a new object of the class. A class registered with a "Control" key, or whose
 * misc status has OLEMISC_INSIDEOUT, is created as a control (class factory, SetClientSite,
 * IPersistStreamInit::InitNew); any other class as an embedded object drawn by OLE. kind is
 * accepted and has no effect. Writes the new id (0 on failure) and the out flags.
 * Returns 0 done; 500 creation failed; 1 not even the window could be made. */
int32_t OLEHOST_CALL OleInsertObject(int32_t* outId, HWND hostWindow, int32_t top, int32_t left,
                                     int32_t height, int32_t width, int32_t originVertical,
                                     int32_t originHorizontal, OLE_COLOR backColor,
                                     OLE_COLOR foreColor, const wchar_t* displayName, FONTDESC font,
                                     CLSID classId, int32_t kind, int32_t flags, int32_t* outFlags);

/* (5) As OleInsertObject without kind and flags: automatic sizing stays on, so the object
 * takes its own size. Returns 0 done; 500 creation failed; 1 other failure. */
int32_t OLEHOST_CALL OleInsertObjectSilent(int32_t* outId, HWND hostWindow, int32_t top,
                                           int32_t left, int32_t height, int32_t width,
                                           int32_t originVertical, int32_t originHorizontal,
                                           OLE_COLOR backColor, OLE_COLOR foreColor,
                                           const wchar_t* displayName, FONTDESC font, CLSID classId,
                                           int32_t* outFlags);

/* (15) Creates an object from a file (8-bit path in the system code page): link nonzero links
 * to the file, 0 embeds a copy. The file is not remembered and never deleted by the library.
 * Results as OleInsertObject. */
int32_t OLEHOST_CALL OleInsertFile(int32_t* outId, HWND hostWindow, int32_t top, int32_t left,
                                   int32_t height, int32_t width, int32_t originVertical,
                                   int32_t originHorizontal, OLE_COLOR backColor,
                                   OLE_COLOR foreColor, const wchar_t* displayName, FONTDESC font,
                                   const char* path, int32_t link, int32_t flags,
                                   int32_t* outFlags);

/* (7) Loads an object saved by OleSaveObject; the path becomes the remembered file.
 * Returns 0 done; 510 failed (out id 0, and the id is given back). */
int32_t OLEHOST_CALL OleLoadObject(int32_t* outId, HWND hostWindow, int32_t top, int32_t left,
                                   int32_t height, int32_t width, int32_t originVertical,
                                   int32_t originHorizontal, const char* path, int32_t* outFlags,
                                   int32_t flags, OLE_COLOR backColor, OLE_COLOR foreColor,
                                   const wchar_t* displayName, FONTDESC font);

/* (28) Saves the object to the path as a compound file; the path becomes the remembered
 * file (the previously remembered file is deleted when it is a different file).
 * Returns nonzero done; 0 no such object or the save failed (nothing is deleted or replaced
 * then). */
int32_t OLEHOST_CALL OleSaveObject(int32_t id, const char* path);

/* (2) Deactivates or closes the object, destroys its windows, forgets the id and deletes the
 * remembered file. Returns nonzero done; 0 no such object. */
int32_t OLEHOST_CALL OleDestroyObject(int32_t id);

/* (6) Returns nonzero if the id names an object. */
int32_t OLEHOST_CALL OleIsObjectLoaded(int32_t id);

/* --- Activation and verbs ----------------------------------------------------------------- */

/* (9) In-place activates a control; for any other object does nothing and returns 0.
 * Returns 0 done; 505 no such object, or the control refused. */
int32_t OLEHOST_CALL OleActivateObject(int32_t id);

/* (1) Deactivates an in-place active object. Returns 0 done; 506 no such object. */
int32_t OLEHOST_CALL OleDeactivateObject(int32_t id);

/* (26) Opens the object for editing: in place for a control, OLEIVERB_SHOW otherwise.
 * Returns 0 done; 1 no such object or the object refused. */
int32_t OLEHOST_CALL OleOpenEditObject(int32_t id);

/* (23) Runs the verb with "UserMode" false for its duration. Returns 0 done, and also when the
 * id names no object; 508 the object refused the verb or failed in it. */
int32_t OLEHOST_CALL OleObjectDoVerb(int32_t id, int32_t verb);

/* (8) Fills verbNames with the names of the object's verbs in the order the object lists
 * them (verbs without a name are skipped; "&" is removed; at most 255 characters, 8-bit,
 * zero-terminated; OLEHOST_TEXT_SLOT bytes per slot, at most OLEHOST_MAX_VERBS slots), writes
 * their count and the object's short type name (typeName: OLEHOST_TEXT_SLOT bytes).
 * Returns 0 at least one verb; 1 none or no such object. */
int32_t OLEHOST_CALL OleObjectGetPopupMenu(int32_t id, char* typeName, char* verbNames,
                                           int32_t* outCount);

/* --- Drawing, geometry and sizing --------------------------------------------------------- */

/* (25) Draws the object (background in its "BackColor", then the object) into a new enhanced
 * metafile of the object's size. The picture is recorded in a uniquely named temporary file
 * that is removed before returning. The caller owns *outMetafile and frees it with
 * DeleteEnhMetaFile. Returns 0 done; 1 no such object; 507 failed (*outMetafile NULL). */
int32_t OLEHOST_CALL OleObjectToMetafile(int32_t id, HENHMETAFILE* outMetafile);

/* (31) Gives the object the bounds (its size sent to the server in HIMETRIC). Returns 1 if
 * the object kept a size other than the one asked (read it back with OleGetObjectBounds);
 * 0 otherwise, or no such object. */
int32_t OLEHOST_CALL OleSetObjectBounds(int32_t id, int32_t top, int32_t left, int32_t height,
                                        int32_t width);

/* (13) Reads the object's bounds. Returns 0 done; 1 no such object. */
int32_t OLEHOST_CALL OleGetObjectBounds(int32_t id, int32_t* top, int32_t* left, int32_t* height,
                                        int32_t* width);

/* (29) Sets the visible part of the host window for the object whose frame window is given:
 * the frame window is cut to it. A rectangle with no area removes the cut. */
void OLEHOST_CALL OleSetAppBounds(HWND frameWindow, int32_t top, int32_t left, int32_t height,
                                  int32_t width);

/* (32) Sets the origin of the object whose frame window is given. */
void OLEHOST_CALL OleSetOrigin(HWND frameWindow, int32_t originVertical, int32_t originHorizontal);

/* (10) Moves the object's frame window into another host window and sets the origin.
 * Returns 1 re-parented; 0 otherwise. */
int32_t OLEHOST_CALL OleAdoptObject(int32_t id, HWND newHostWindow, int32_t originVertical,
                                    int32_t originHorizontal);

/* (30) Switches automatic sizing; switching it on makes the object take its own size at once
 * (reported to the bounds-changed callback when the size changes). */
void OLEHOST_CALL OleSetAutosizeObject(int32_t id, int32_t on);

/* (12) Returns the automatic-sizing flag; 0 for no such object. */
int32_t OLEHOST_CALL OleGetAutosizeObject(int32_t id);

/* (27) Registers the one callback for size changes made by objects (NULL removes it).
 * Returns the callback given. */
OleBoundsChangedCallback OLEHOST_CALL
OleRegisterBoundsChangedCallback(OleBoundsChangedCallback callback);

/* (33) Sets the integer the host knows the object by (0: none). Returns 0 done; 1 no object. */
int32_t OLEHOST_CALL OleSetTokenOfObj(int32_t id, int32_t token);

/* (14) Writes the token of the object whose frame window is given; 0 when there is none. */
void OLEHOST_CALL OleGetTokenOfObj(HWND frameWindow, int32_t* outToken);

/* (11) Moves the keyboard focus to the next (backwards nonzero: previous) tab stop inside the
 * object's view. Returns 0 focus moved; 1 not moved or no such object. */
int32_t OLEHOST_CALL OleFocusObject(int32_t id, int32_t backwards);

/* --- Automation --------------------------------------------------------------------------- */

/* (3) Rewinds the stream and marshals the object's IDispatch into it (in-process use, normal
 * marshalling), for another thread to unmarshal with CoUnmarshalInterface (which consumes the
 * marshalled reference). The caller owns the stream. Returns the HRESULT of marshalling
 * (E_FAIL for no such object, E_NOINTERFACE when the object has no IDispatch). */
HRESULT OLEHOST_CALL OleGetObjectIDispatch(int32_t id, IStream* stream);

/* (4) Writes the object's IDispatch (NULL for no such object or none). The caller owns one
 * reference and releases it. */
void OLEHOST_CALL OleGetObjectIDispatchSingle(int32_t id, IDispatch** outDispatch);

/* --- Ambient properties and flags ---------------------------------------------------------
 * Each change function stores the value and tells the control
 * (IOleControl::OnAmbientPropertyChange with the property's dispatch id), returning that
 * call's HRESULT. It returns 1 for no such object, and 1 for an object that is not a control:
 * such an object still takes a new background colour (its view is repainted in it) but no
 * other property. 504: the property is not in the table. */

int32_t OLEHOST_CALL OleObjAmbBGColorChange(int32_t id, OLE_COLOR color);         /* (17) */
int32_t OLEHOST_CALL OleObjAmbDisplayNameChange(int32_t id, const wchar_t* name); /* (18) */
int32_t OLEHOST_CALL OleObjAmbFGColorChange(int32_t id, OLE_COLOR color);         /* (19) */
int32_t OLEHOST_CALL OleObjAmbFontChange(int32_t id, FONTDESC font);              /* (20) */
int32_t OLEHOST_CALL OleObjAmbUIDeadChange(int32_t id, int32_t dead);             /* (21) */
int32_t OLEHOST_CALL OleObjAmbUserModeChange(int32_t id, int32_t userMode);       /* (22) */

/* (24) The object's OLE misc status for its content aspect as OLEHOST_MISC_* bits;
 * 0 for no such object. OLEHOST_MISC_CONTROL is set when the class has a "Control" key or the
 * object's own misc status says OLEMISC_INSIDEOUT, however the object was made. */
int32_t OLEHOST_CALL OleObjectMiscFlags(int32_t id);

#ifdef __cplusplus
}
#endif

#endif /* OLEHOST_H */
