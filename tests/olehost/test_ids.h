/* Class ids, names and dispatch ids of the test servers, shared by the servers and the test
 * host. */
#ifndef OLEHOST_TEST_IDS_H
#define OLEHOST_TEST_IDS_H

#include <windows.h>

/* {6F1C2A10-5B3E-4C7D-9A21-0C4E8B7D3A01}: the control (registered with a "Control" key). */
static const CLSID kTestControlClass = {
    0x6f1c2a10, 0x5b3e, 0x4c7d, {0x9a, 0x21, 0x0c, 0x4e, 0x8b, 0x7d, 0x3a, 0x01}};
/* {6F1C2A10-5B3E-4C7D-9A21-0C4E8B7D3A02}: the embeddable document, for files ".olhtdoc". */
static const CLSID kTestDocumentClass = {
    0x6f1c2a10, 0x5b3e, 0x4c7d, {0x9a, 0x21, 0x0c, 0x4e, 0x8b, 0x7d, 0x3a, 0x02}};
/* {6F1C2A10-5B3E-4C7D-9A21-0C4E8B7D3A03}: a control whose registration says inside-out (so
 * it is made as a control) while the object itself says neither that nor has a "Control" key. */
static const CLSID kTestRegisteredInsideOutClass = {
    0x6f1c2a10, 0x5b3e, 0x4c7d, {0x9a, 0x21, 0x0c, 0x4e, 0x8b, 0x7d, 0x3a, 0x03}};
/* {6F1C2A10-5B3E-4C7D-9A21-0C4E8B7D3A0F}: registered nowhere. */
static const CLSID kUnregisteredClass = {
    0x6f1c2a10, 0x5b3e, 0x4c7d, {0x9a, 0x21, 0x0c, 0x4e, 0x8b, 0x7d, 0x3a, 0x0f}};

/* The members the test servers' IDispatch offers. */
enum TestDispatchId {
    kDispAmbientLog = 1,    /* get: every ambient change told, "<dispid>=<value>\n" each */
    kDispKeepsSize = 2,     /* get/put: the object refuses SetExtent and keeps its size */
    kDispVerbLog = 3,       /* get: every verb run, "<verb>:<user mode 1/0>\n" each */
    kDispResize = 4,        /* method(cx, cy): the object changes its own extent (HIMETRIC) */
    kDispText = 5,          /* get/put: the object's saved content */
    kDispInPlaceWindow = 6, /* get: 1 while the object has its in-place window */
    kDispLoadedFrom = 7,    /* get: the path IPersistFile::Load was given */
    kDispAmbient = 8,       /* method(dispid): the container's ambient value, as text */
    kDispAmbientId = 9,     /* method(name): the container's dispatch id for the name */
    kDispRelayout = 10      /* put(cx): from now on every verb, SetExtent and SetObjectRects
                               takes the width cx (HIMETRIC) and asks for a new layout */
};

/* What the control's misc status says: inside-out, acts like a button, always run. */
#define TEST_CONTROL_MISC                                                           \
    (OLEMISC_INSIDEOUT | OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_SETCLIENTSITEFIRST | \
     OLEMISC_ACTSLIKEBUTTON | OLEMISC_ALWAYSRUN | OLEMISC_RECOMPOSEONRESIZE)
#define TEST_DOCUMENT_MISC OLEMISC_ACTSLIKELABEL
#define TEST_REGISTERED_INSIDEOUT_MISC (OLEMISC_SETCLIENTSITEFIRST | OLEMISC_ACTSLIKELABEL)

/* Default extents in HIMETRIC: 96 x 48 and 192 x 96 pixels at 96 dots per inch. */
#define TEST_CONTROL_CX 2540
#define TEST_CONTROL_CY 1270
#define TEST_DOCUMENT_CX 5080
#define TEST_DOCUMENT_CY 2540

#endif
