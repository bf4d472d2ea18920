// The XML DOM document of the stand-in, over pugixml: the document, node,
// node-list and attribute-map calls the tools make.  Every node kind answers
// the node interface; the element, attribute and other node names are the same
// interface, and an operation on the wrong kind fails with E_FAIL.
//   load     parses a file, dropping whitespace-only text and keeping the "xml"
//            declaration; a failed parse leaves the document empty and gives
//            VARIANT_FALSE.
//   save     writes the declaration and the tree (the exact bytes are not fixed).
//   createElement / createAttribute  E_FAIL for a name that is not an XML name.
//   removeChild  the removed node stays valid while it is held.
//   selectSingleNode  the first match in document order, or S_FALSE and NULL;
//            E_FAIL for a query that is not XPath.
//   get_text  the text below the node, concatenated.
#pragma once

#include <objbase.h>

DEFINE_GUID(CLSID_DOMDocument, 0x2933BF90, 0x7B36, 0x11D2, 0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E,
            0x60);
DEFINE_GUID(IID_IXMLDOMDocument, 0x2933BF81, 0x7B36, 0x11D2, 0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98,
            0x3E, 0x60);
DEFINE_GUID(IID_IXMLDOMNode, 0x2933BF80, 0x7B36, 0x11D2, 0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E,
            0x60);

struct IXMLDOMNodeList;
struct IXMLDOMNamedNodeMap;

struct IXMLDOMNode : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_nodeName(BSTR* name) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_parentNode(IXMLDOMNode** parent) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_childNodes(IXMLDOMNodeList** children) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_firstChild(IXMLDOMNode** child) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_attributes(IXMLDOMNamedNodeMap** attributes) = 0;
    virtual HRESULT STDMETHODCALLTYPE appendChild(IXMLDOMNode* newChild,
                                                  IXMLDOMNode** outNewChild) = 0;
    virtual HRESULT STDMETHODCALLTYPE removeChild(IXMLDOMNode* child, IXMLDOMNode** oldChild) = 0;
    virtual HRESULT STDMETHODCALLTYPE hasChildNodes(VARIANT_BOOL* has) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_text(BSTR* text) = 0;
    virtual HRESULT STDMETHODCALLTYPE selectSingleNode(BSTR queryString, IXMLDOMNode** node) = 0;
    // An attribute's value (VT_BSTR).
    virtual HRESULT STDMETHODCALLTYPE put_value(VARIANT value) = 0;
    // An element's: attaches a created attribute (replacing one of its name).
    virtual HRESULT STDMETHODCALLTYPE setAttributeNode(IXMLDOMNode* attribute,
                                                       IXMLDOMNode** replaced) = 0;

protected:
    ~IXMLDOMNode() = default;
};
typedef IXMLDOMNode IXMLDOMElement;
typedef IXMLDOMNode IXMLDOMAttribute;
typedef IXMLDOMNode IXMLDOMCDATASection;
typedef IXMLDOMNode IXMLDOMProcessingInstruction;

struct IXMLDOMNodeList : IUnknown {
    // The next node, or S_FALSE and NULL past the end.
    virtual HRESULT STDMETHODCALLTYPE nextNode(IXMLDOMNode** next) = 0;

protected:
    ~IXMLDOMNodeList() = default;
};

struct IXMLDOMNamedNodeMap : IUnknown {
    // The index-th attribute, or S_FALSE and NULL out of range.
    virtual HRESULT STDMETHODCALLTYPE get_item(LONG index, IXMLDOMNode** item) = 0;

protected:
    ~IXMLDOMNamedNodeMap() = default;
};

struct IXMLDOMDocument : IXMLDOMNode {
    virtual HRESULT STDMETHODCALLTYPE put_async(VARIANT_BOOL isAsync) = 0;
    // A Windows path (VT_BSTR).
    virtual HRESULT STDMETHODCALLTYPE load(VARIANT xmlSource, VARIANT_BOOL* isSuccessful) = 0;
    virtual HRESULT STDMETHODCALLTYPE save(VARIANT destination) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_documentElement(IXMLDOMElement** element) = 0;
    virtual HRESULT STDMETHODCALLTYPE createElement(BSTR tagName, IXMLDOMElement** element) = 0;
    virtual HRESULT STDMETHODCALLTYPE createAttribute(BSTR name, IXMLDOMAttribute** attribute) = 0;
    virtual HRESULT STDMETHODCALLTYPE createCDATASection(BSTR data,
                                                         IXMLDOMCDATASection** cdata) = 0;
    virtual HRESULT STDMETHODCALLTYPE
    createProcessingInstruction(BSTR target, BSTR data, IXMLDOMProcessingInstruction** pi) = 0;

protected:
    ~IXMLDOMDocument() = default;
};
