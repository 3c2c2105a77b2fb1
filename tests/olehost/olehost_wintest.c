/* A plain Win32 host program: it loads olehost.dll by name, calls only its exports (and the
 * COM interfaces those hand out, as a host does), and checks what a host sees. Each group of
 * cases is one command-line argument; the exit code is the number of failed checks. */
#define COBJMACROS
#include <ole2.h>
#include <olectl.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "caller_cleans.h"
#include "olehost.h"
#include "test_ids.h"

static int failures = 0;

#define CHECK(cond, what)                                                     \
    do {                                                                      \
        if (!(cond)) {                                                        \
            fprintf(stderr, "%s:%d: FAILED: %s\n", __FILE__, __LINE__, what); \
            ++failures;                                                       \
        }                                                                     \
    } while (0)
#define CHECK_EQ(expected, actual, what)                                                        \
    do {                                                                                        \
        long long e_ = (long long)(expected), a_ = (long long)(actual);                         \
        if (e_ != a_) {                                                                         \
            fprintf(stderr, "%s:%d: FAILED: %s: expected %lld, got %lld\n", __FILE__, __LINE__, \
                    what, e_, a_);                                                              \
            ++failures;                                                                         \
        }                                                                                       \
    } while (0)
#define CHECK_TEXT(expected, actual, what)                                                  \
    do {                                                                                    \
        const wchar_t* e_ = (expected);                                                     \
        const wchar_t* a_ = (actual);                                                       \
        if (wcscmp(e_, a_ ? a_ : L"(null)") != 0) {                                         \
            fprintf(stderr, "%s:%d: FAILED: %s: expected \"%ls\", got \"%ls\"\n", __FILE__, \
                    __LINE__, what, e_, a_ ? a_ : L"(null)");                               \
            ++failures;                                                                     \
        }                                                                                   \
    } while (0)

/* The exports, found by name as a host that loads the library at run time finds them. */
#define EXPORTS(X)                                                                               \
    X(OleInsertObject)                                                                           \
    X(OleInsertObjectSilent)                                                                     \
    X(OleInsertFile)                                                                             \
    X(OleLoadObject)                                                                             \
    X(OleSaveObject)                                                                             \
    X(OleDestroyObject)                                                                          \
    X(OleIsObjectLoaded) X(OleActivateObject) X(OleDeactivateObject) X(OleOpenEditObject)        \
        X(OleObjectDoVerb) X(OleObjectGetPopupMenu) X(OleObjectToMetafile) X(OleObjectMiscFlags) \
            X(OleSetObjectBounds) X(OleGetObjectBounds) X(OleSetAppBounds) X(OleSetOrigin)       \
                X(OleAdoptObject) X(OleSetAutosizeObject) X(OleGetAutosizeObject)                \
                    X(OleFocusObject) X(OleGetObjectIDispatch) X(OleGetObjectIDispatchSingle)    \
                        X(OleSetTokenOfObj) X(OleGetTokenOfObj)                                  \
                            X(OleRegisterBoundsChangedCallback) X(OleObjAmbBGColorChange)        \
                                X(OleObjAmbDisplayNameChange) X(OleObjAmbFGColorChange)          \
                                    X(OleObjAmbFontChange) X(OleObjAmbUIDeadChange)              \
                                        X(OleObjAmbUserModeChange)
#define FIELD(name) __typeof__(&name) name;
static struct { EXPORTS(FIELD) } api;

static HWND host;

static int loadLibrary(void) {
    HMODULE dll = LoadLibraryA("olehost.dll");
    if (!dll) {
        fprintf(stderr, "olehost.dll cannot be loaded (error %lu)\n", GetLastError());
        return 0;
    }
#define LOAD(name)                                                            \
    api.name = (__typeof__(&name))(void (*)(void))GetProcAddress(dll, #name); \
    if (!api.name) {                                                          \
        fprintf(stderr, "olehost.dll does not export %s\n", #name);           \
        return 0;                                                             \
    }
    EXPORTS(LOAD)
    return 1;
}

static HWND makeHostWindow(void) {
    static int registered = 0;
    if (!registered) {
        WNDCLASSA wc = {0};
        wc.lpfnWndProc = DefWindowProcA;
        wc.hInstance = GetModuleHandleA(NULL);
        wc.lpszClassName = "OleHostTestHost";
        RegisterClassA(&wc);
        registered = 1;
    }
    HWND w = CreateWindowA("OleHostTestHost", "host", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 0, 0,
                           640, 480, NULL, NULL, GetModuleHandleA(NULL), NULL);
    ShowWindow(w, SW_SHOW);
    return w;
}

/* A font is realised from the nearest face the system has: the face and size a font object
 * built from the same description reports. */
static const wchar_t* realised(FONTDESC desc) {
    static wchar_t buffer[128];
    IFont* f = NULL;
    BSTR name = NULL;
    CY size;
    buffer[0] = 0;
    if (SUCCEEDED(OleCreateFontIndirect(&desc, &IID_IFont, (void**)&f))) {
        if (SUCCEEDED(IFont_get_Name(f, &name)) && SUCCEEDED(IFont_get_Size(f, &size)))
            swprintf(buffer, 128, L"%ls/%lld", name, (long long)(size.int64 / 10000));
        SysFreeString(name);
        IFont_Release(f);
    }
    return buffer;
}

static FONTDESC font(const wchar_t* name, int points) {
    FONTDESC f;
    memset(&f, 0, sizeof f);
    f.cbSizeofstruct = sizeof f;
    f.lpstrName = (LPOLESTR)name;
    f.cySize.int64 = (LONGLONG)points * 10000;
    f.sWeight = FW_NORMAL;
    f.sCharset = ANSI_CHARSET;
    return f;
}

/* The appearance every test object gets unless a case says otherwise. */
#define BACK_COLOR 0x00112233
#define FORE_COLOR 0x000000FF
#define APPEARANCE BACK_COLOR, FORE_COLOR, L"Gauge 1", font(L"Arial", 12)

static int insert(const CLSID* classId, int top, int left, int height, int width, int flags,
                  int32_t* outFlags) {
    int32_t id = -1, ignored;
    int32_t rc = api.OleInsertObject(&id, host, top, left, height, width, 0, 0, APPEARANCE,
                                     *classId, 0, flags, outFlags ? outFlags : &ignored);
    CHECK_EQ(OLEHOST_OK, rc, "OleInsertObject");
    return id;
}

static HWND frameOf(int32_t id, HWND parent) {
    HWND w = NULL;
    while ((w = FindWindowExA(parent, w, "OleHostChildWindow", NULL)) != NULL) {
        int32_t token = 0;
        api.OleGetTokenOfObj(w, &token);
        if (token == 1000 + id) return w;
    }
    return NULL;
}

/* Marks the object so its frame window can be found, and returns the frame. */
static HWND frameOfNew(int32_t id) {
    CHECK_EQ(0, api.OleSetTokenOfObj(id, 1000 + id), "OleSetTokenOfObj");
    return frameOf(id, host);
}

static RECT rectInParent(HWND w) {
    RECT r;
    GetWindowRect(w, &r);
    MapWindowPoints(NULL, GetParent(w), (POINT*)&r, 2);
    return r;
}

/* --- the objects' own IDispatch ---------------------------------------------------------- */

static IDispatch* dispatchOf(int32_t id) {
    IDispatch* d = NULL;
    api.OleGetObjectIDispatchSingle(id, &d);
    CHECK(d != NULL, "the object has an IDispatch");
    return d;
}

static HRESULT call(IDispatch* d, DISPID member, WORD flags, VARIANT* args, UINT count,
                    VARIANT* result) {
    DISPPARAMS params = {args, NULL, count, 0};
    DISPID named = DISPID_PROPERTYPUT;
    if (flags == DISPATCH_PROPERTYPUT) {
        params.rgdispidNamedArgs = &named;
        params.cNamedArgs = 1;
    }
    VariantInit(result);
    return IDispatch_Invoke(d, member, &IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, NULL,
                            NULL);
}

/* A text member of the object (kept until the next call). */
static const wchar_t* text(int32_t id, DISPID member) {
    static wchar_t buffer[1024];
    IDispatch* d = dispatchOf(id);
    VARIANT r;
    buffer[0] = 0;
    if (d && SUCCEEDED(call(d, member, DISPATCH_PROPERTYGET, NULL, 0, &r)) && V_VT(&r) == VT_BSTR) {
        lstrcpynW(buffer, V_BSTR(&r), 1024);
        VariantClear(&r);
    }
    if (d) IDispatch_Release(d);
    return buffer;
}

static LONG number(int32_t id, DISPID member) {
    IDispatch* d = dispatchOf(id);
    VARIANT r;
    LONG value = -12345;
    if (d && SUCCEEDED(call(d, member, DISPATCH_PROPERTYGET, NULL, 0, &r))) {
        VariantChangeType(&r, &r, 0, VT_I4);
        value = V_I4(&r);
    }
    if (d) IDispatch_Release(d);
    return value;
}

static void put(int32_t id, DISPID member, VARIANT value) {
    IDispatch* d = dispatchOf(id);
    VARIANT r;
    if (d) {
        CHECK(SUCCEEDED(call(d, member, DISPATCH_PROPERTYPUT, &value, 1, &r)), "property put");
        IDispatch_Release(d);
    }
}

static void putText(int32_t id, const wchar_t* value) {
    VARIANT v;
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = SysAllocString(value);
    put(id, kDispText, v);
    SysFreeString(V_BSTR(&v));
}

static void keepSize(int32_t id) {
    VARIANT v;
    V_VT(&v) = VT_BOOL;
    V_BOOL(&v) = VARIANT_TRUE;
    put(id, kDispKeepsSize, v);
}

/* The object changes its own extent (HIMETRIC). */
static void resize(int32_t id, LONG cx, LONG cy) {
    IDispatch* d = dispatchOf(id);
    VARIANT args[2], r;
    V_VT(&args[1]) = VT_I4; /* arguments go last first */
    V_I4(&args[1]) = cx;
    V_VT(&args[0]) = VT_I4;
    V_I4(&args[0]) = cy;
    if (d) {
        CHECK(SUCCEEDED(call(d, kDispResize, DISPATCH_METHOD, args, 2, &r)), "Resize");
        IDispatch_Release(d);
    }
}

/* The container's ambient property as the object reads it through its site. */
static const wchar_t* ambient(int32_t id, DISPID property) {
    static wchar_t buffer[256];
    IDispatch* d = dispatchOf(id);
    VARIANT arg, r;
    buffer[0] = 0;
    V_VT(&arg) = VT_I4;
    V_I4(&arg) = property;
    if (d && SUCCEEDED(call(d, kDispAmbient, DISPATCH_METHOD, &arg, 1, &r))) {
        lstrcpynW(buffer, V_BSTR(&r), 256);
        VariantClear(&r);
    }
    if (d) IDispatch_Release(d);
    return buffer;
}

static LONG ambientId(int32_t id, const wchar_t* name) {
    IDispatch* d = dispatchOf(id);
    VARIANT arg, r;
    LONG found = -12345;
    V_VT(&arg) = VT_BSTR;
    V_BSTR(&arg) = SysAllocString(name);
    if (d && SUCCEEDED(call(d, kDispAmbientId, DISPATCH_METHOD, &arg, 1, &r))) found = V_I4(&r);
    SysFreeString(V_BSTR(&arg));
    if (d) IDispatch_Release(d);
    return found;
}

static int fileExists(const char* path) {
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

static void tempPath(char* out, const char* name) {
    char dir[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    snprintf(out, MAX_PATH, "%solehost-test-%lu-%s", dir, GetCurrentProcessId(), name);
}

/* --- ids --------------------------------------------------------------------------------- */

static void testIds(void) {
    int32_t id = -1, flags = -1;
    /* A class nobody registered: the insert fails but its id stays used. */
    CHECK_EQ(OLEHOST_E_CREATE,
             api.OleInsertObject(&id, host, 0, 0, 10, 10, 0, 0, APPEARANCE, kUnregisteredClass, 0,
                                 0, &flags),
             "insert of an unregistered class");
    CHECK_EQ(0, id, "failed insert writes id 0");
    CHECK_EQ(0, api.OleIsObjectLoaded(1), "the failed insert left no object");
    int32_t first = insert(&kTestControlClass, 0, 0, 10, 10, 0, NULL);
    CHECK_EQ(2, first, "the insert after a failed insert gets a new id");

    /* A failed load gives its id back. */
    char missing[MAX_PATH];
    tempPath(missing, "missing.olh");
    id = -1;
    CHECK_EQ(OLEHOST_E_LOAD,
             api.OleLoadObject(&id, host, 0, 0, 10, 10, 0, 0, missing, &flags, 0, APPEARANCE),
             "load of a missing file");
    CHECK_EQ(0, id, "failed load writes id 0");
    CHECK_EQ(3, insert(&kTestControlClass, 0, 0, 10, 10, 0, NULL),
             "the create after a failed load gets the same id again");
    CHECK_EQ(4, insert(&kTestDocumentClass, 0, 0, 10, 10, 0, NULL), "ids count up");

    /* An insert that cannot even make its window (the host window does not exist) gives its
     * id back too. */
    HWND gone = CreateWindowA("STATIC", "", 0, 0, 0, 1, 1, NULL, NULL, NULL, NULL);
    DestroyWindow(gone);
    id = -1;
    CHECK_EQ(OLEHOST_FAILED,
             api.OleInsertObject(&id, gone, 0, 0, 10, 10, 0, 0, APPEARANCE, kTestControlClass, 0, 0,
                                 &flags),
             "insert into a window that does not exist");
    CHECK_EQ(0, id, "no id for it");
    CHECK_EQ(5, insert(&kTestDocumentClass, 0, 0, 10, 10, 0, NULL), "its id is given back");

    CHECK(api.OleIsObjectLoaded(3), "id 3 is loaded");
    CHECK(api.OleDestroyObject(3), "destroy");
    CHECK_EQ(0, api.OleIsObjectLoaded(3), "a destroyed id is gone");
    CHECK_EQ(0, api.OleDestroyObject(3), "destroying it again");
    CHECK_EQ(6, insert(&kTestControlClass, 0, 0, 10, 10, 0, NULL), "a destroyed id is not reused");

    /* Functions of an id that names no object. */
    int32_t v = 7;
    CHECK_EQ(0, api.OleSetObjectBounds(99, 0, 0, 5, 5), "OleSetObjectBounds, no object");
    CHECK_EQ(1, api.OleGetObjectBounds(99, &v, &v, &v, &v), "OleGetObjectBounds, no object");
    CHECK_EQ(0, api.OleGetAutosizeObject(99), "OleGetAutosizeObject, no object");
    CHECK_EQ(1, api.OleSetTokenOfObj(99, 5), "OleSetTokenOfObj, no object");
    CHECK_EQ(1, api.OleFocusObject(99, 0), "OleFocusObject, no object");
    CHECK_EQ(0, api.OleSaveObject(99, missing), "OleSaveObject, no object");
    CHECK_EQ(0, api.OleAdoptObject(99, host, 0, 0), "OleAdoptObject, no object");
    api.OleGetTokenOfObj(host, &v);
    CHECK_EQ(0, v, "OleGetTokenOfObj of a window that is no frame");

#if defined(__i386__)
    CHECK_EQ(0, stackMovedByCall((const void*)api.OleIsObjectLoaded, 2), "caller cleans the stack");
    CHECK_EQ(0, stackMovedByCall((const void*)api.OleObjectMiscFlags, 2),
             "caller cleans the stack");
    CHECK_EQ(0, stackMovedByCall((const void*)api.OleGetAutosizeObject, 2),
             "caller cleans the stack");
#endif
}

/* --- files ------------------------------------------------------------------------------- */

static void testFiles(void) {
    char first[MAX_PATH], second[MAX_PATH], third[MAX_PATH], noFolder[MAX_PATH];
    tempPath(first, "first.olh");
    tempPath(second, "second.olh");
    tempPath(third, "third.olh");
    tempPath(noFolder, "no-such-folder\\x.olh");
    int32_t id = insert(&kTestControlClass, 0, 0, 30, 40, 0, NULL);
    putText(id, L"saved text");

    CHECK(api.OleSaveObject(id, first), "save to the first path");
    CHECK(fileExists(first), "the first file is written");
    CHECK_EQ(0, api.OleSaveObject(id, noFolder), "save into a missing folder fails");
    CHECK(fileExists(first), "a failed save deletes nothing");
    CHECK(api.OleSaveObject(id, second), "save to the second path");
    CHECK(!fileExists(first), "saving to a second path deletes the first file");
    CHECK(fileExists(second), "the second file is written");

    int32_t loaded = -1, flags = -1;
    CHECK_EQ(OLEHOST_OK,
             api.OleLoadObject(&loaded, host, 5, 5, 30, 40, 0, 0, second, &flags, 0, APPEARANCE),
             "load the saved file");
    CHECK(loaded > id, "the load gets a new id");
    CHECK_TEXT(L"saved text", text(loaded, kDispText), "the loaded control has its content");
    CHECK(api.OleDestroyObject(id), "destroy the saved object");
    CHECK(!fileExists(second), "destroying the object deletes the file it remembers");
    CHECK(api.OleSaveObject(loaded, third), "save the loaded object");
    CHECK(api.OleDestroyObject(loaded), "destroy the loaded object");
    CHECK(!fileExists(third), "its remembered file is deleted too");

    /* A save that fails keeps the file it would have replaced, the remembered one included. */
    int32_t keeper = insert(&kTestControlClass, 0, 0, 30, 40, 0, NULL);
    putText(keeper, L"the only copy");
    CHECK(api.OleSaveObject(keeper, first), "save the only copy");
    putText(keeper, L"refuse to save");
    CHECK_EQ(0, api.OleSaveObject(keeper, first), "a save the object refuses fails");
    CHECK_EQ(0, api.OleSaveObject(keeper, second), "so does one to another path");
    CHECK(!fileExists(second), "the failed save leaves no file behind");
    int32_t copy = -1;
    CHECK_EQ(OLEHOST_OK,
             api.OleLoadObject(&copy, host, 0, 0, 30, 40, 0, 0, first, &flags, 0, APPEARANCE),
             "the remembered file still loads");
    CHECK_TEXT(L"the only copy", text(copy, kDispText), "with its content as it was saved");
    api.OleDestroyObject(copy);

    /* The same file written another way is the same file: it is not deleted. */
    putText(keeper, L"again");
    CHECK(api.OleSaveObject(keeper, first), "save to the first path again");
    char folder[MAX_PATH], relative[MAX_PATH], slashes[MAX_PATH], shortName[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    SetCurrentDirectoryA(folder);
    snprintf(relative, MAX_PATH, ".\\%s", first + strlen(folder));
    snprintf(slashes, MAX_PATH, "%s", first);
    for (char* c = slashes; *c; ++c)
        if (*c == '\\') *c = '/';
    const DWORD shortLength = GetShortPathNameA(first, shortName, MAX_PATH);
    const char* sameFile[] = {relative, slashes, shortLength ? shortName : first};
    for (int i = 0; i < 3; ++i) {
        CHECK(api.OleSaveObject(keeper, sameFile[i]), sameFile[i]);
        CHECK(fileExists(first), "saving to the same file under another name keeps it");
    }
    CHECK(api.OleDestroyObject(keeper), "destroy the object");
    CHECK(!fileExists(first), "its remembered file goes with it");

    /* An embedded document from a file of its registered type, saved and loaded again. */
    char source[MAX_PATH];
    tempPath(source, "source.olhtdoc");
    HANDLE h = CreateFileA(source, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD written;
    WriteFile(h, "document body", 13, &written, NULL);
    CloseHandle(h);
    int32_t doc = -1;
    CHECK_EQ(OLEHOST_OK,
             api.OleInsertFile(&doc, host, 0, 0, 50, 60, 0, 0, APPEARANCE, source, 0, 0, &flags),
             "embed a document file");
    wchar_t wideSource[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, source, -1, wideSource, MAX_PATH);
    CHECK_TEXT(wideSource, text(doc, kDispLoadedFrom), "the server read the file");
    CHECK_TEXT(L"document body", text(doc, kDispText), "the document has the file's content");
    CHECK(api.OleSaveObject(doc, first), "save the embedded document");
    int32_t again = -1;
    CHECK_EQ(OLEHOST_OK,
             api.OleLoadObject(&again, host, 0, 0, 50, 60, 0, 0, first, &flags, 0, APPEARANCE),
             "load the embedded document");
    CHECK_TEXT(L"document body", text(again, kDispText), "the loaded document has its content");
    CHECK(api.OleDestroyObject(doc), "destroy the embedded document");
    CHECK(fileExists(source), "the embedded file is not the library's to delete");
    CHECK(!fileExists(first), "the saved document file is deleted with its object");
    api.OleDestroyObject(again);
    DeleteFileA(source);

    /* A file that is no saved object. */
    int32_t bad = -1;
    CHECK_EQ(OLEHOST_E_LOAD,
             api.OleLoadObject(&bad, host, 0, 0, 10, 10, 0, 0, source, &flags, 0, APPEARANCE),
             "load of a file that is not a saved object");
}

/* The colour the object's view paints at a point, drawn into memory. */
static COLORREF viewPixel(int32_t id, int x, int y) {
    HWND view = GetWindow(frameOfNew(id), GW_CHILD);
    HDC screen = GetDC(NULL);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, 200, 200);
    ReleaseDC(NULL, screen);
    HGDIOBJ old = SelectObject(dc, bitmap);
    SendMessageA(view, WM_PRINTCLIENT, (WPARAM)dc, PRF_CLIENT);
    COLORREF c = GetPixel(dc, x, y);
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
    return c;
}

/* How many of eight pixels in a row inside the test document's picture have the colour. */
static int countColor(int32_t id, COLORREF color) {
    int n = 0;
    for (int x = 24; x < 32; ++x)
        n += viewPixel(id, x, 15) == color;
    return n;
}

/* --- verbs and activation ---------------------------------------------------------------- */

static void testVerbs(void) {
    char type[OLEHOST_TEXT_SLOT];
    char verbs[OLEHOST_MAX_VERBS][OLEHOST_TEXT_SLOT];
    int32_t count = -1;
    int32_t control = insert(&kTestControlClass, 0, 0, 30, 40, 0, NULL);
    int32_t doc = insert(&kTestDocumentClass, 0, 100, 40, 80, 0, NULL);

    CHECK_EQ(0, api.OleObjectGetPopupMenu(control, type, verbs[0], &count), "popup menu");
    CHECK_EQ(2, count, "the control's named verbs");
    CHECK(strcmp(verbs[0], "Edit") == 0, "\"&Edit\" comes back as \"Edit\"");
    CHECK(strcmp(verbs[1], "Properties...") == 0, "\"&Properties...\" without \"&\"");
    CHECK(strcmp(type, "Host Test Control") == 0, "the control's short type name");
    CHECK_EQ(0, api.OleObjectGetPopupMenu(doc, type, verbs[0], &count), "document popup menu");
    CHECK_EQ(1, count, "the document's named verbs");
    CHECK(strcmp(verbs[0], "Open") == 0 && strcmp(type, "Host Test Document") == 0,
          "the document's verb and type");
    CHECK_EQ(1, api.OleObjectGetPopupMenu(99, type, verbs[0], &count), "popup, no object");
    CHECK_EQ(0, count, "no verbs for no object");

    /* A verb runs with "UserMode" false; afterwards it is true again. */
    CHECK_EQ(0, api.OleObjectDoVerb(control, 1), "verb 1");
    CHECK_TEXT(L"1:0\n", text(control, kDispVerbLog), "the verb ran out of user mode");
    CHECK_TEXT(L"true", ambient(control, DISPID_AMBIENT_USERMODE), "user mode is back");
    CHECK_EQ(OLEHOST_E_VERB, api.OleObjectDoVerb(control, 7), "a verb the control refuses");
    CHECK_EQ(0, api.OleObjectDoVerb(99, 1), "a verb of no object");

    /* Activation: in place for a control, nothing at all for anything else. */
    CHECK_EQ(0, api.OleActivateObject(control), "activate the control");
    CHECK_EQ(1, number(control, kDispInPlaceWindow), "the control is active in place");
    CHECK_TEXT(L"1:0\n7:0\n-5:1\n", text(control, kDispVerbLog), "activation ran verb -5");
    CHECK_EQ(0, api.OleDeactivateObject(control), "deactivate the control");
    CHECK_EQ(0, number(control, kDispInPlaceWindow), "the control's window is gone");
    CHECK_EQ(0, api.OleActivateObject(doc), "activating a document reports done");
    CHECK_TEXT(L"", text(doc, kDispVerbLog), "and runs no verb");
    CHECK_EQ(OLEHOST_E_ACTIVATE, api.OleActivateObject(99), "activate, no object");
    CHECK_EQ(OLEHOST_E_DEACTIVATE, api.OleDeactivateObject(99), "deactivate, no object");
    CHECK_EQ(8, countColor(doc, RGB(0, 0, 255)), "the document is drawn plain");
    CHECK_EQ(0, api.OleOpenEditObject(doc), "open a document for editing");
    CHECK_TEXT(L"-1:1\n", text(doc, kDispVerbLog), "editing a document shows it");
    int blue = countColor(doc, RGB(0, 0, 255)), black = countColor(doc, RGB(0, 0, 0));
    CHECK(blue > 0 && black > 0 && blue + black == 8, "the open document is hatched");
    CHECK_EQ(0, api.OleOpenEditObject(control), "open a control for editing");
    CHECK_EQ(1, number(control, kDispInPlaceWindow), "editing a control activates it in place");
    CHECK_EQ(1, api.OleOpenEditObject(99), "open, no object");

    /* Focus moves to the active control's window inside the view. */
    CHECK_EQ(0, api.OleFocusObject(control, 0), "focus into the control");
    HWND focus = GetFocus();
    HWND frame = frameOfNew(control);
    CHECK(focus != NULL && IsChild(frame, focus), "the focus is inside the object");
    CHECK_EQ(1, api.OleFocusObject(doc, 0), "a document view has no tab stop");
    CHECK(api.OleDestroyObject(control), "destroy an active control");
}

/* --- sizes, places and the bounds-changed callback --------------------------------------- */

static int32_t lastToken = 0, callbacks = 0;
static void OLEHOST_CALL boundsChanged(int32_t token) {
    lastToken = token;
    ++callbacks;
}

/* A host that destroys the object whose size changed, from inside the callback. */
static int32_t toDestroy = 0;
static void OLEHOST_CALL destroyingCallback(int32_t token) {
    lastToken = token;
    CHECK(api.OleDestroyObject(toDestroy), "the callback destroys the object");
    toDestroy = 0;
}

static void checkBounds(int32_t id, int top, int left, int height, int width, const char* what) {
    int32_t t = -1, l = -1, h = -1, w = -1;
    CHECK_EQ(0, api.OleGetObjectBounds(id, &t, &l, &h, &w), what);
    if (t != top || l != left || h != height || w != width) {
        fprintf(stderr, "FAILED: %s: bounds %d,%d,%d,%d, expected %d,%d,%d,%d\n", what, t, l, h, w,
                top, left, height, width);
        ++failures;
    }
}

static void checkRect(RECT r, int left, int top, int right, int bottom, const char* what) {
    if (r.left != left || r.top != top || r.right != right || r.bottom != bottom) {
        fprintf(stderr, "FAILED: %s: (%ld,%ld)-(%ld,%ld), expected (%d,%d)-(%d,%d)\n", what, r.left,
                r.top, r.right, r.bottom, left, top, right, bottom);
        ++failures;
    }
}

static void testBounds(void) {
    int32_t flags = -1;
    /* Without flag 2 the object gets the bounds asked and automatic sizing is off. */
    int32_t fixed = insert(&kTestControlClass, 10, 20, 30, 40, 0, &flags);
    CHECK_EQ(0, flags, "the object took the size asked");
    checkBounds(fixed, 10, 20, 30, 40, "bounds as asked");
    CHECK_EQ(0, api.OleGetAutosizeObject(fixed), "automatic sizing is off");

    /* A server that keeps its own size. */
    keepSize(fixed);
    CHECK_EQ(1, api.OleSetObjectBounds(fixed, 11, 21, 50, 60), "the server kept its size");
    checkBounds(fixed, 11, 21, 30, 40, "the bounds are the server's");
    CHECK_EQ(0, api.OleSetObjectBounds(fixed, 12, 22, 30, 40), "asking the size it has");

    /* With flag 2 the object takes its own size (96 x 48 pixels) and says so. */
    int32_t own = insert(&kTestControlClass, 5, 6, 30, 40, OLEHOST_KEEP_AUTOSIZE, &flags);
    CHECK_EQ(OLEHOST_SIZE_CHANGED, flags, "out flags: the size differs from the one asked");
    checkBounds(own, 5, 6, 48, 96, "the control's own size");
    CHECK_EQ(1, api.OleGetAutosizeObject(own), "automatic sizing stays on");
    int32_t silent = -1;
    CHECK_EQ(0,
             api.OleInsertObjectSilent(&silent, host, 7, 8, 30, 40, 0, 0, APPEARANCE,
                                       kTestDocumentClass, &flags),
             "silent insert");
    checkBounds(silent, 7, 8, 96, 192, "a silent insert takes the object's own size");

    /* An object that changes its own size is moved, and the host told by token. */
    CHECK(api.OleRegisterBoundsChangedCallback(boundsChanged) == boundsChanged,
          "the callback is registered");
    api.OleSetTokenOfObj(fixed, 77);
    VARIANT no;
    V_VT(&no) = VT_BOOL;
    V_BOOL(&no) = VARIANT_FALSE;
    put(fixed, kDispKeepsSize, no);
    resize(fixed, 5080, 2540);
    CHECK_EQ(1, callbacks, "one bounds-changed call");
    CHECK_EQ(77, lastToken, "with the object's token");
    checkBounds(fixed, 12, 22, 96, 192, "the control's new size");
    resize(silent, 2540, 1270); /* a document with automatic sizing on: taken, no token */
    checkBounds(silent, 7, 8, 48, 96, "the document's new size");
    CHECK_EQ(1, callbacks, "no call for an object without token");
    int32_t doc = insert(&kTestDocumentClass, 0, 0, 30, 40, 0, NULL);
    api.OleSetTokenOfObj(doc, 78);
    resize(doc, 2540, 1270); /* automatic sizing off: the document's change is not taken */
    checkBounds(doc, 0, 0, 30, 40, "a document without automatic sizing keeps its bounds");
    CHECK_EQ(1, callbacks, "and nobody is told");
    api.OleSetAutosizeObject(doc, 1); /* switching it on takes the size at once */
    checkBounds(doc, 0, 0, 48, 96, "automatic sizing switched on takes the object's size");
    CHECK_EQ(2, callbacks, "and tells the host");
    CHECK_EQ(78, lastToken, "with the document's token");

    /* A host that destroys the object from inside the callback: the control's layout request
     * and the document's view change both return, and the other objects work on. */
    api.OleRegisterBoundsChangedCallback(destroyingCallback);
    int32_t doomedControl = insert(&kTestControlClass, 0, 0, 30, 40, 0, NULL);
    int32_t doomedDocument = insert(&kTestDocumentClass, 0, 0, 30, 40, OLEHOST_KEEP_AUTOSIZE, NULL);
    const int32_t doomed[] = {doomedControl, doomedDocument};
    for (int i = 0; i < 2; ++i) {
        api.OleSetTokenOfObj(doomed[i], 90 + i);
        toDestroy = doomed[i];
        resize(doomed[i], 1270 * (i + 3), 1270);
        CHECK_EQ(0, api.OleIsObjectLoaded(doomed[i]), "destroyed from inside its callback");
        CHECK_EQ(90 + i, lastToken, "the callback had its token");
    }
    checkBounds(doc, 0, 0, 48, 96, "another object is untouched");
    /* The same from inside the library's own calls into the object: a control that asks for a
     * new layout in its verb, in SetExtent, and when an adopted, active control is moved. The
     * call answers as for no object and touches nothing freed (the run checks the heap). */
    for (int i = 0; i < 3; ++i) {
        int32_t victim = insert(&kTestControlClass, 0, 0, 30, 40, 0, NULL);
        if (i == 2) api.OleActivateObject(victim);
        api.OleSetTokenOfObj(victim, 95 + i);
        VARIANT width;
        V_VT(&width) = VT_I4;
        V_I4(&width) = 3810;
        put(victim, kDispRelayout, width);
        toDestroy = victim;
        int32_t rc = i == 0   ? api.OleObjectDoVerb(victim, 1)
                     : i == 1 ? api.OleSetObjectBounds(victim, 1, 2, 50, 60)
                              : api.OleAdoptObject(victim, host, 0, 0);
        CHECK_EQ(0, rc, "the call during which the host destroyed the object");
        CHECK_EQ(0, api.OleIsObjectLoaded(victim), "destroyed from inside the library's call");
        CHECK_EQ(95 + i, lastToken, "the callback had its token");
    }
    api.OleRegisterBoundsChangedCallback(NULL);

    /* Placed at bounds minus origin, cut by the application bounds. */
    int32_t id = -1;
    CHECK_EQ(0,
             api.OleInsertObject(&id, host, 100, 50, 40, 80, 30, 10, APPEARANCE, kTestControlClass,
                                 0, 0, &flags),
             "insert with an origin");
    HWND frame = frameOfNew(id);
    CHECK(frame != NULL, "the object's frame window is a child of the host window");
    checkRect(rectInParent(frame), 40, 70, 120, 110, "frame at bounds minus origin");
    api.OleSetAppBounds(frame, 0, 0, 90, 60);
    checkRect(rectInParent(frame), 40, 70, 60, 90, "frame cut on the right and bottom");
    api.OleSetAppBounds(frame, 80, 60, 100, 100);
    checkRect(rectInParent(frame), 60, 80, 120, 110, "frame cut on the left and top");
    CHECK_EQ(0, api.OleActivateObject(id), "activate the cut control");
    HWND view = GetWindow(frame, GW_CHILD);
    HWND control = GetWindow(view, GW_CHILD);
    CHECK(control != NULL, "the control has its window in the view");
    if (control) checkRect(rectInParent(control), -20, -10, 60, 30, "the control stays in place");
    api.OleSetAppBounds(frame, 0, 0, 0, 0);
    api.OleSetOrigin(frame, 0, 0);
    checkRect(rectInParent(frame), 50, 100, 130, 140, "no cut, no origin");
    checkBounds(id, 100, 50, 40, 80, "the bounds do not move with the origin");

    HWND other = makeHostWindow();
    CHECK_EQ(1, api.OleAdoptObject(id, other, 5, 5), "adopt into another host window");
    CHECK(GetParent(frame) == other, "the frame moved to the new host");
    checkRect(rectInParent(frame), 45, 95, 125, 135, "placed with the new origin");
    int32_t token = 0;
    api.OleGetTokenOfObj(frame, &token);
    CHECK_EQ(1000 + id, token, "the token is found by the frame window");
}

/* --- ambient properties and flags -------------------------------------------------------- */

static void testAmbient(void) {
    int32_t control = insert(&kTestControlClass, 0, 0, 30, 40, 0, NULL);
    wchar_t locale[16];
    swprintf(locale, 16, L"%lu", (unsigned long)GetUserDefaultLCID());
    /* The starting values, as the control reads them. */
    CHECK_TEXT(L"1122867", ambient(control, DISPID_AMBIENT_BACKCOLOR), "BackColor");
    CHECK_TEXT(L"Gauge 1", ambient(control, DISPID_AMBIENT_DISPLAYNAME), "DisplayName");
    wchar_t firstFont[128], secondFont[128], changes[512];
    lstrcpynW(firstFont, realised(font(L"Arial", 12)), 128);
    lstrcpynW(secondFont, realised(font(L"Courier New", 10)), 128);
    CHECK(firstFont[0] && secondFont[0], "font objects can be built here");
    CHECK_TEXT(firstFont, ambient(control, DISPID_AMBIENT_FONT), "Font");
    CHECK_TEXT(L"255", ambient(control, DISPID_AMBIENT_FORECOLOR), "ForeColor");
    CHECK_TEXT(locale, ambient(control, DISPID_AMBIENT_LOCALEID), "LocaleID");
    CHECK_TEXT(L"0", ambient(control, DISPID_AMBIENT_TEXTALIGN), "TextAlign");
    CHECK_TEXT(L"true", ambient(control, DISPID_AMBIENT_USERMODE), "UserMode");
    CHECK_TEXT(L"false", ambient(control, DISPID_AMBIENT_UIDEAD), "UIDead");
    CHECK_TEXT(L"false", ambient(control, DISPID_AMBIENT_SHOWGRABHANDLES), "ShowGrabHandles");
    CHECK_TEXT(L"false", ambient(control, DISPID_AMBIENT_SHOWHATCHING), "ShowHatching");
    CHECK_TEXT(L"(error 0x80004001)", ambient(control, DISPID_AMBIENT_APPEARANCE),
               "a property not in the table is not implemented");
    CHECK_EQ(DISPID_AMBIENT_USERMODE, ambientId(control, L"UserMode"), "name to dispatch id");
    CHECK_EQ(DISPID_UNKNOWN, ambientId(control, L"usermode"), "names are case-sensitive");
    CHECK_EQ(DISPID_UNKNOWN, ambientId(control, L"Appearance"), "a name not in the table");

    /* Each change reaches the control with its dispatch id and the new value. */
    CHECK_EQ(S_OK, api.OleObjAmbBGColorChange(control, 0x00FF0000), "BackColor change");
    CHECK_EQ(S_OK, api.OleObjAmbDisplayNameChange(control, L"Gauge 2"), "DisplayName change");
    CHECK_EQ(S_OK, api.OleObjAmbFGColorChange(control, 0x80000005), "ForeColor change");
    CHECK_EQ(S_OK, api.OleObjAmbFontChange(control, font(L"Courier New", 10)), "Font change");
    CHECK_EQ(S_OK, api.OleObjAmbUIDeadChange(control, 5), "UIDead change");
    CHECK_EQ(S_OK, api.OleObjAmbUserModeChange(control, 0), "UserMode change");
    swprintf(changes, 512,
             L"-701=16711680\n-702=Gauge 2\n-704=-2147483643\n-703=%ls\n"
             L"-710=true\n-709=false\n",
             secondFont);
    CHECK_TEXT(changes, text(control, kDispAmbientLog), "the control's record of the changes");
    /* A description without a face name, at creation and in a change, gets the face of the
     * system's GUI font. */
    LOGFONTW gui;
    GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof gui, &gui);
    int32_t faceless = -1, ignored;
    CHECK_EQ(OLEHOST_OK,
             api.OleInsertObject(&faceless, host, 0, 0, 30, 40, 0, 0, BACK_COLOR, FORE_COLOR, NULL,
                                 font(NULL, 9), kTestControlClass, 0, 0, &ignored),
             "insert with a font without a face name");
    CHECK_TEXT(realised(font(gui.lfFaceName, 9)), ambient(faceless, DISPID_AMBIENT_FONT),
               "the default face at creation");
    CHECK_EQ(S_OK, api.OleObjAmbFontChange(faceless, font(NULL, 11)), "a change without a face");
    CHECK_TEXT(realised(font(gui.lfFaceName, 11)), ambient(faceless, DISPID_AMBIENT_FONT),
               "the default face after the change");
    CHECK_EQ(1, api.OleObjAmbBGColorChange(99, 0), "change, no object");
    CHECK_EQ(1, api.OleObjAmbUserModeChange(99, 0), "change, no object");

    /* A document is no control: only the background colour is taken, and it shows. */
    int32_t doc = insert(&kTestDocumentClass, 0, 100, 40, 80, 0, NULL);
    CHECK_EQ(RGB(0x33, 0x22, 0x11), viewPixel(doc, 1, 1), "the view's background colour");
    CHECK_EQ(RGB(0, 0, 255), viewPixel(doc, 40, 20), "the document draws itself in the view");
    CHECK_EQ(1, api.OleObjAmbBGColorChange(doc, 0x0000FF00), "BackColor of a document");
    CHECK_EQ(RGB(0, 255, 0), viewPixel(doc, 1, 1), "the view is painted in the new colour");
    CHECK_TEXT(L"65280", ambient(doc, DISPID_AMBIENT_BACKCOLOR), "and the document reads it");
    CHECK_EQ(1, api.OleObjAmbUIDeadChange(doc, 1), "UIDead of a document");
    CHECK_TEXT(L"false", ambient(doc, DISPID_AMBIENT_UIDEAD), "changes nothing");
    CHECK_EQ(1, api.OleObjAmbDisplayNameChange(doc, L"x"), "DisplayName of a document");
    CHECK_TEXT(L"Gauge 1", ambient(doc, DISPID_AMBIENT_DISPLAYNAME), "changes nothing");

    /* The misc-flags word. */
    CHECK_EQ(0, api.OleObjectMiscFlags(99), "misc flags, no object");
    CHECK_EQ(OLEHOST_MISC_ALWAYSRUN | OLEHOST_MISC_ACTSLIKEBUTTON | OLEHOST_MISC_INSIDEOUT |
                 OLEHOST_MISC_CONTROL,
             api.OleObjectMiscFlags(control), "misc flags of the control");
    CHECK_EQ(OLEHOST_MISC_ACTSLIKELABEL, api.OleObjectMiscFlags(doc), "misc flags, document");
    CHECK_EQ(OLEHOST_MISC_ACTSLIKELABEL,
             api.OleObjectMiscFlags(insert(&kTestRegisteredInsideOutClass, 0, 0, 30, 40, 0, NULL)),
             "made as a control for its registration, but the object itself is none");
}

/* --- metafile ---------------------------------------------------------------------------- */

static int countTempFiles(void) {
    char pattern[MAX_PATH];
    WIN32_FIND_DATAA found;
    int n = 0;
    GetTempPathA(MAX_PATH, pattern);
    strcat(pattern, "*");
    HANDLE h = FindFirstFileA(pattern, &found);
    if (h == INVALID_HANDLE_VALUE) return 0;
    do
        ++n;
    while (FindNextFileA(h, &found));
    FindClose(h);
    return n;
}

static void testMetafile(void) {
    int32_t control = insert(&kTestControlClass, 15, 25, 30, 40, 0, NULL);
    int32_t doc = insert(&kTestDocumentClass, 0, 0, 60, 80, 0, NULL);
    int before = countTempFiles();
    HENHMETAFILE picture = (HENHMETAFILE)1;
    CHECK_EQ(0, api.OleObjectToMetafile(control, &picture), "metafile of the control");
    CHECK(picture != NULL, "a metafile is returned");
    ENHMETAHEADER header;
    if (picture && GetEnhMetaFileHeader(picture, sizeof header, &header)) {
        RECT bounds = {header.rclBounds.left, header.rclBounds.top, header.rclBounds.right,
                       header.rclBounds.bottom};
        checkRect(bounds, 0, 0, 39, 29, "the picture has the object's bounds");
        DeleteEnhMetaFile(picture);
    }
    CHECK_EQ(0, api.OleObjectToMetafile(doc, &picture), "metafile of the document");
    if (picture && GetEnhMetaFileHeader(picture, sizeof header, &header)) {
        RECT bounds = {header.rclBounds.left, header.rclBounds.top, header.rclBounds.right,
                       header.rclBounds.bottom};
        checkRect(bounds, 0, 0, 79, 59, "the document picture has its bounds");
        DeleteEnhMetaFile(picture);
    }
    CHECK_EQ(before, countTempFiles(), "no file is left in the temporary folder");
    char fixedName[MAX_PATH];
    GetTempPathA(MAX_PATH, fixedName);
    strcat(fixedName, "cont.emf");
    CHECK(!fileExists(fixedName), "no file of a fixed name is used");
    picture = (HENHMETAFILE)1;
    CHECK_EQ(1, api.OleObjectToMetafile(99, &picture), "metafile, no object");
    CHECK(picture == NULL, "no handle for no object");
}

/* --- dispatch and marshalling ------------------------------------------------------------ */

static IStream* shared;
static wchar_t answer[64];

static DWORD WINAPI otherApartment(void* unused) {
    (void)unused;
    IDispatch* d = NULL;
    CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
    LARGE_INTEGER start = {{0, 0}};
    IStream_Seek(shared, start, STREAM_SEEK_SET, NULL);
    if (SUCCEEDED(CoUnmarshalInterface(shared, &IID_IDispatch, (void**)&d))) {
        VARIANT r;
        if (SUCCEEDED(call(d, kDispText, DISPATCH_PROPERTYGET, NULL, 0, &r)) &&
            V_VT(&r) == VT_BSTR) {
            lstrcpynW(answer, V_BSTR(&r), 64);
            VariantClear(&r);
        }
        IDispatch_Release(d);
    }
    CoUninitialize();
    return 0;
}

static void testDispatch(void) {
    int32_t control = insert(&kTestControlClass, 0, 0, 30, 40, 0, NULL);
    putText(control, L"marshalled");
    CHECK(SUCCEEDED(CreateStreamOnHGlobal(NULL, TRUE, &shared)), "stream");
    IStream_Write(shared, "junk", 4, NULL); /* the library rewinds it */
    CHECK_EQ(S_OK, api.OleGetObjectIDispatch(control, shared), "marshal the dispatch");
    HANDLE thread = CreateThread(NULL, 0, otherApartment, NULL, 0, NULL);
    DWORD index;
    /* The object lives in this apartment: keep serving its calls while the thread runs. */
    CoWaitForMultipleHandles(0, 10000, 1, &thread, &index);
    CloseHandle(thread);
    CHECK_TEXT(L"marshalled", answer, "the unmarshalled dispatch answers from another thread");
    CHECK(FAILED(api.OleGetObjectIDispatch(99, shared)), "marshal, no object");
    IStream_Release(shared);
    IDispatch* d = (IDispatch*)1;
    api.OleGetObjectIDispatchSingle(99, &d);
    CHECK(d == NULL, "no dispatch for no object");
    CHECK_TEXT(L"marshalled", text(control, kDispText), "the direct dispatch answers");
}

int main(int argc, char** argv) {
    static const struct {
        const char* name;
        void (*run)(void);
    } groups[] = {{"ids", testIds},          {"files", testFiles},     {"verbs", testVerbs},
                  {"bounds", testBounds},    {"ambient", testAmbient}, {"metafile", testMetafile},
                  {"dispatch", testDispatch}};
    if (argc != 2) {
        fprintf(stderr, "usage: olehost_wintest <group>\n");
        return 100;
    }
    OleInitialize(NULL);
    if (!loadLibrary()) return 101;
    host = makeHostWindow();
    for (size_t i = 0; i < sizeof groups / sizeof groups[0]; ++i)
        if (strcmp(argv[1], groups[i].name) == 0) {
            groups[i].run();
            printf("%s: %d failed check(s)\n", argv[1], failures);
            return failures;
        }
    fprintf(stderr, "unknown group %s\n", argv[1]);
    return 100;
}
