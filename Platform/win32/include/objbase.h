// COM of the stand-in: apartments by count, the task allocator, BSTR and
// VARIANT (VT_BSTR only), and one creatable class, the XML DOM document
// (msxml.h).  Text of BSTRs is UTF-16 (OLECHAR is char16_t).
#pragma once

#include <windows.h>

#define S_OK ((HRESULT)0L)
#define S_FALSE ((HRESULT)1L)
#define E_NOTIMPL ((HRESULT)0x80004001L)
#define E_NOINTERFACE ((HRESULT)0x80004002L)
#define E_POINTER ((HRESULT)0x80004003L)
#define E_FAIL ((HRESULT)0x80004005L)
#define E_UNEXPECTED ((HRESULT)0x8000FFFFL)
#define E_OUTOFMEMORY ((HRESULT)0x8007000EL)
#define E_INVALIDARG ((HRESULT)0x80070057L)
#define CO_E_NOTINITIALIZED ((HRESULT)0x800401F0L)
#define REGDB_E_CLASSNOTREG ((HRESULT)0x80040154L)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

#define CLSCTX_INPROC_SERVER 0x1
#define CLSCTX_INPROC_HANDLER 0x2
#define CLSCTX_LOCAL_SERVER 0x4

#define STDMETHODCALLTYPE
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

DEFINE_GUID(IID_IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
            0x46);

struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;

protected:
    ~IUnknown() = default;
};
typedef IUnknown* LPUNKNOWN;

// Counted per thread; the last CoUninitialize ends the apartment.
HRESULT WINAPI CoInitialize(LPVOID pvReserved);
void WINAPI CoUninitialize(void);
// The DOM document class only (REGDB_E_CLASSNOTREG for another, or when
// injected), without an outer object.  CO_E_NOTINITIALIZED outside an apartment.
HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext,
                                REFIID riid, LPVOID* ppv);
// The object is in-process and always running: S_OK for any object.
HRESULT WINAPI OleRun(LPUNKNOWN pUnknown);
LPVOID WINAPI CoTaskMemAlloc(size_t cb);
void WINAPI CoTaskMemFree(LPVOID pv);

typedef char16_t OLECHAR;
typedef OLECHAR* BSTR;
typedef const OLECHAR* LPCOLESTR;
typedef short VARIANT_BOOL;
#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

// A copy of a NUL-terminated text; NULL for NULL or when memory runs out.
BSTR WINAPI SysAllocString(const OLECHAR* psz);
void WINAPI SysFreeString(BSTR bstrString);
// Length in characters without the NUL; 0 for NULL.
UINT WINAPI SysStringLen(BSTR pbstr);

typedef unsigned short VARTYPE;
#define VT_EMPTY 0
#define VT_BSTR 8

typedef struct tagVARIANT {
    VARTYPE vt;
    WORD wReserved1, wReserved2, wReserved3;
    union {
        BSTR bstrVal;
        LONG lVal;
    };
} VARIANT;

void WINAPI VariantInit(VARIANT* pvarg);
// Frees a VT_BSTR's string and leaves VT_EMPTY.
HRESULT WINAPI VariantClear(VARIANT* pvarg);
