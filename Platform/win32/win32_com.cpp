// Win32 stand-in: COM basics and the XML DOM document over pugixml.
//
// One pugixml document holds everything a DOM document made: the element
// "kp-document" stands for the document itself and "kp-detached" holds nodes
// that were created but not yet attached, or were removed.  Moving nodes within
// one pugixml document keeps them alive, so a removed node stays valid while a
// caller holds it.
#include <msxml.h>

#include <pugixml.hpp>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "win32_internal.h"

namespace fs = std::filesystem;
using namespace kp::win32;

namespace {

thread_local int t_apartments = 0;

std::string Utf8Of(const OLECHAR* text) {
    if (text == nullptr) return "";
    std::u16string_view view(text);
    return Narrow(view);
}

BSTR BstrOf(const std::string& text) {
    std::u16string wide;
    if (!Widen(text, &wide)) return nullptr;
    return SysAllocString(wide.c_str());
}

// An XML name: a letter, "_" or ":" (or any non-ASCII byte) first; then also
// digits, "." and "-".
bool IsXmlName(const std::string& name) {
    if (name.empty()) return false;
    for (size_t i = 0; i < name.size(); i++) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        bool start = std::isalpha(c) || c == '_' || c == ':' || c >= 0x80;
        bool later = start || std::isdigit(c) || c == '.' || c == '-';
        if (i == 0 ? !start : !later) return false;
    }
    return true;
}

// One element at the top, with the declaration (first) the only node beside
// it: text or a second element there make no XML document, and a save would
// drop the one or write the other back as it is.
bool IsOneDocument(const pugi::xml_document& parsed) {
    int elements = 0;
    for (pugi::xml_node child : parsed.children()) {
        if (child.type() == pugi::node_element)
            elements++;
        else if (child.type() != pugi::node_declaration || child != parsed.first_child())
            return false;
    }
    return elements == 1;
}

// What the DOM objects of one document share.
struct DomStore {
    pugi::xml_document Xml;
    pugi::xml_node Document, Detached;
    // Counts the moves of nodes, so that a node list knows when the position
    // it kept may be stale.
    unsigned long Moves = 0;
    DomStore() {
        Document = Xml.append_child("kp-document");
        Detached = Xml.append_child("kp-detached");
    }
};

// The COM reference count of every DOM object.
template <typename Interface>
class Counted : public Interface {
public:
    ULONG STDMETHODCALLTYPE AddRef() override { return ++count_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = --count_;
        if (left == 0) delete this;
        return left;
    }

protected:
    virtual ~Counted() = default;

private:
    std::atomic<ULONG> count_{1};
};

template <typename Interface>
HRESULT Hand(Interface* object, Interface** out) {
    if (out == nullptr) {
        object->Release();
        return E_POINTER;
    }
    *out = object;
    return S_OK;
}

// One node: an element, CDATA section or processing instruction (a pugixml
// node), the document (the store's document node), or an attribute (its
// element and name once attached; a name and value until then).
template <typename Interface>
class NodeBase : public Counted<Interface> {
public:
    NodeBase(std::shared_ptr<DomStore> store, pugi::xml_node node)
        : store_(std::move(store)), node_(node) {}
    NodeBase(std::shared_ptr<DomStore> store, pugi::xml_node owner, std::string attribute,
             std::string value)
        : store_(std::move(store)),
          node_(owner),
          attribute_(std::move(attribute)),
          value_(std::move(value)),
          isAttribute_(true) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (!IsEqualGUID(riid, IID_IUnknown) && !IsEqualGUID(riid, IID_IXMLDOMNode) &&
            !AnswersDocument(riid))
            return E_NOINTERFACE;
        this->AddRef();
        *out = static_cast<Interface*>(this);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE get_nodeName(BSTR* name) override {
        if (name == nullptr) return E_POINTER;
        std::string text = isAttribute_                        ? attribute_
                           : node_ == store_->Document         ? "#document"
                           : node_.type() == pugi::node_cdata  ? "#cdata-section"
                           : node_.type() == pugi::node_pcdata ? "#text"
                                                               : node_.name();
        *name = BstrOf(text);
        return *name != nullptr ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT STDMETHODCALLTYPE get_parentNode(IXMLDOMNode** parent) override;
    HRESULT STDMETHODCALLTYPE get_childNodes(IXMLDOMNodeList** children) override;
    HRESULT STDMETHODCALLTYPE get_firstChild(IXMLDOMNode** child) override;
    HRESULT STDMETHODCALLTYPE get_attributes(IXMLDOMNamedNodeMap** attributes) override;
    HRESULT STDMETHODCALLTYPE appendChild(IXMLDOMNode* newChild, IXMLDOMNode** out) override;
    HRESULT STDMETHODCALLTYPE removeChild(IXMLDOMNode* child, IXMLDOMNode** out) override;

    HRESULT STDMETHODCALLTYPE hasChildNodes(VARIANT_BOOL* has) override {
        if (has == nullptr) return E_POINTER;
        bool any = !isAttribute_ && node_.first_child();
        *has = any ? VARIANT_TRUE : VARIANT_FALSE;
        return any ? S_OK : S_FALSE;
    }

    HRESULT STDMETHODCALLTYPE get_text(BSTR* text) override {
        if (text == nullptr) return E_POINTER;
        std::string out;
        if (isAttribute_)
            out = AttributeValue();
        else if (node_.type() == pugi::node_cdata || node_.type() == pugi::node_pcdata)
            out = node_.value();
        else
            Collect(node_, &out);
        *text = BstrOf(out);
        return *text != nullptr ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT STDMETHODCALLTYPE selectSingleNode(BSTR query, IXMLDOMNode** node) override;

    HRESULT STDMETHODCALLTYPE put_value(VARIANT value) override {
        if (!isAttribute_) return E_FAIL;
        if (value.vt != VT_BSTR) return E_INVALIDARG;
        std::string text = Utf8Of(value.bstrVal);
        if (pugi::xml_attribute attribute = Attached())
            attribute.set_value(text.c_str());
        else
            value_ = text;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE setAttributeNode(IXMLDOMNode* attribute,
                                               IXMLDOMNode** replaced) override;

    // For the other objects of this file.
    pugi::xml_node Handle() const { return node_; }
    bool IsAttribute() const { return isAttribute_; }
    const std::shared_ptr<DomStore>& Store() const { return store_; }
    void Attach(pugi::xml_node element) {
        pugi::xml_attribute attribute = element.attribute(attribute_.c_str());
        if (!attribute) attribute = element.append_attribute(attribute_.c_str());
        attribute.set_value(value_.c_str());
        node_ = element;
    }

protected:
    virtual bool AnswersDocument(REFIID) const { return false; }

    static void Collect(pugi::xml_node node, std::string* out) {
        for (pugi::xml_node child : node.children()) {
            if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata)
                *out += child.value();
            else if (child.type() == pugi::node_element)
                Collect(child, out);
        }
    }
    pugi::xml_attribute Attached() const {
        return node_ ? node_.attribute(attribute_.c_str()) : pugi::xml_attribute();
    }
    std::string AttributeValue() const {
        pugi::xml_attribute attribute = Attached();
        return attribute ? attribute.value() : value_;
    }

    std::shared_ptr<DomStore> store_;
    pugi::xml_node node_;  // an attribute's element once attached
    std::string attribute_, value_;
    bool isAttribute_ = false;
};

using Node = NodeBase<IXMLDOMNode>;

IXMLDOMNode* Wrap(const std::shared_ptr<DomStore>& store, pugi::xml_node node);

// The implementation behind a node pointer a caller passes in, when it belongs
// to this store.
Node* Own(const std::shared_ptr<DomStore>& store, IXMLDOMNode* node);

// A node's child list, live as the platform's is: each nextNode takes the
// child at the list's position among the children the node has at that
// moment, so a child removed during a walk moves the ones after it forward.
class NodeList : public Counted<IXMLDOMNodeList> {
public:
    NodeList(std::shared_ptr<DomStore> store, pugi::xml_node parent)
        : store_(std::move(store)), parent_(parent) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (!IsEqualGUID(riid, IID_IUnknown)) return E_NOINTERFACE;
        AddRef();
        *out = static_cast<IUnknown*>(this);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE nextNode(IXMLDOMNode** next) override {
        if (next == nullptr) return E_POINTER;
        *next = nullptr;
        // The child after the last one handed out, while no node has moved
        // since; else counted again from the first.
        pugi::xml_node child;
        if (last_ && moves_ == store_->Moves) {
            child = last_.next_sibling();
        } else {
            child = parent_ ? parent_.first_child() : pugi::xml_node();
            for (size_t i = 0; child && i < at_; i++) child = child.next_sibling();
        }
        if (!child) return S_FALSE;
        at_++;
        last_ = child;
        moves_ = store_->Moves;
        *next = Wrap(store_, child);
        return *next != nullptr ? S_OK : E_OUTOFMEMORY;
    }

private:
    std::shared_ptr<DomStore> store_;
    pugi::xml_node parent_;  // none for an attribute
    size_t at_ = 0;
    pugi::xml_node last_;  // the child at at_ - 1 when Moves was moves_
    unsigned long moves_ = 0;
};

class AttributeMap : public Counted<IXMLDOMNamedNodeMap> {
public:
    AttributeMap(std::shared_ptr<DomStore> store, pugi::xml_node element)
        : store_(std::move(store)), element_(element) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (!IsEqualGUID(riid, IID_IUnknown)) return E_NOINTERFACE;
        AddRef();
        *out = static_cast<IUnknown*>(this);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_item(LONG index, IXMLDOMNode** item) override {
        if (item == nullptr) return E_POINTER;
        *item = nullptr;
        LONG i = 0;
        for (pugi::xml_attribute attribute : element_.attributes()) {
            if (i++ == index) {
                *item = new (std::nothrow) Node(store_, element_, attribute.name(), "");
                return *item != nullptr ? S_OK : E_OUTOFMEMORY;
            }
        }
        return S_FALSE;
    }

private:
    std::shared_ptr<DomStore> store_;
    pugi::xml_node element_;
};

template <typename Interface>
HRESULT NodeBase<Interface>::get_parentNode(IXMLDOMNode** parent) {
    if (parent == nullptr) return E_POINTER;
    *parent = nullptr;
    if (isAttribute_ || node_ == store_->Document) return S_FALSE;
    pugi::xml_node up = node_.parent();
    if (!up || up == store_->Detached) return S_FALSE;
    *parent = Wrap(store_, up);
    return *parent != nullptr ? S_OK : E_OUTOFMEMORY;
}

template <typename Interface>
HRESULT NodeBase<Interface>::get_childNodes(IXMLDOMNodeList** children) {
    if (children == nullptr) return E_POINTER;
    auto list = new (std::nothrow) NodeList(store_, isAttribute_ ? pugi::xml_node() : node_);
    if (list == nullptr) return E_OUTOFMEMORY;
    return Hand<IXMLDOMNodeList>(list, children);
}

template <typename Interface>
HRESULT NodeBase<Interface>::get_firstChild(IXMLDOMNode** child) {
    if (child == nullptr) return E_POINTER;
    *child = nullptr;
    if (isAttribute_ || !node_.first_child()) return S_FALSE;
    *child = Wrap(store_, node_.first_child());
    return *child != nullptr ? S_OK : E_OUTOFMEMORY;
}

template <typename Interface>
HRESULT NodeBase<Interface>::get_attributes(IXMLDOMNamedNodeMap** attributes) {
    if (attributes == nullptr) return E_POINTER;
    *attributes = nullptr;
    if (isAttribute_ || node_.type() != pugi::node_element || node_ == store_->Document)
        return S_FALSE;
    auto map = new (std::nothrow) AttributeMap(store_, node_);
    if (map == nullptr) return E_OUTOFMEMORY;
    return Hand<IXMLDOMNamedNodeMap>(map, attributes);
}

template <typename Interface>
HRESULT NodeBase<Interface>::appendChild(IXMLDOMNode* newChild, IXMLDOMNode** out) {
    if (out != nullptr) *out = nullptr;
    Node* child = Own(store_, newChild);
    if (child == nullptr || child->IsAttribute() || isAttribute_) return E_INVALIDARG;
    pugi::xml_node moving = child->Handle();
    if (moving == store_->Document || node_.type() == pugi::node_cdata ||
        node_.type() == pugi::node_pi || node_.type() == pugi::node_declaration)
        return E_FAIL;
    // A node cannot go below itself.
    for (pugi::xml_node up = node_; up; up = up.parent()) {
        if (up == moving) return E_FAIL;
    }
    if (!node_.append_move(moving)) return E_FAIL;
    store_->Moves++;
    if (out != nullptr) {
        newChild->AddRef();
        *out = newChild;
    }
    return S_OK;
}

template <typename Interface>
HRESULT NodeBase<Interface>::removeChild(IXMLDOMNode* child, IXMLDOMNode** out) {
    if (out != nullptr) *out = nullptr;
    Node* old = Own(store_, child);
    if (old == nullptr || old->IsAttribute() || old->Handle().parent() != node_ || isAttribute_)
        return E_INVALIDARG;
    if (!store_->Detached.append_move(old->Handle())) return E_FAIL;
    store_->Moves++;
    if (out != nullptr) {
        child->AddRef();
        *out = child;
    }
    return S_OK;
}

template <typename Interface>
HRESULT NodeBase<Interface>::selectSingleNode(BSTR query, IXMLDOMNode** node) {
    if (node == nullptr) return E_POINTER;
    *node = nullptr;
    if (isAttribute_) return E_FAIL;
    std::string text = Utf8Of(query);
    // A query from the root searches the document, not the store around it.
    if (text.compare(0, 1, "/") == 0) {
        pugi::xml_node root = node_;
        while (root.parent() && root != store_->Document) root = root.parent();
        if (root != store_->Document) return S_FALSE;
        pugi::xpath_query compiled(("." + text).c_str());
        if (!compiled) return E_FAIL;
        pugi::xpath_node found = compiled.evaluate_node(store_->Document);
        if (!found.node()) return S_FALSE;
        *node = Wrap(store_, found.node());
    } else {
        pugi::xpath_query compiled(text.c_str());
        if (!compiled) return E_FAIL;
        pugi::xpath_node found = compiled.evaluate_node(node_);
        if (!found.node()) return S_FALSE;
        *node = Wrap(store_, found.node());
    }
    return *node != nullptr ? S_OK : E_OUTOFMEMORY;
}

template <typename Interface>
HRESULT NodeBase<Interface>::setAttributeNode(IXMLDOMNode* attribute, IXMLDOMNode** replaced) {
    if (replaced != nullptr) *replaced = nullptr;
    Node* own = Own(store_, attribute);
    if (own == nullptr || !own->IsAttribute() || isAttribute_ ||
        node_.type() != pugi::node_element || node_ == store_->Document)
        return E_INVALIDARG;
    own->Attach(node_);
    return S_OK;
}

class Document : public NodeBase<IXMLDOMDocument> {
public:
    explicit Document(std::shared_ptr<DomStore> store)
        : NodeBase<IXMLDOMDocument>(store, store->Document) {}

    HRESULT STDMETHODCALLTYPE put_async(VARIANT_BOOL isAsync) override {
        // Loads are synchronous in any case.
        (void)isAsync;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE load(VARIANT source, VARIANT_BOOL* ok) override {
        if (ok == nullptr) return E_POINTER;
        *ok = VARIANT_FALSE;
        if (source.vt != VT_BSTR) return E_INVALIDARG;
        Clear();
        DWORD error = 0;
        auto file = MapFilePath("IXMLDOMDocument::load", Utf8Of(source.bstrVal).c_str(), &error);
        if (!file) return S_FALSE;
        // As a fragment, so that text beside the document element is kept to
        // be seen.
        pugi::xml_document parsed;
        if (!parsed.load_file(file->c_str(), pugi::parse_default | pugi::parse_declaration |
                                                 pugi::parse_fragment) ||
            !IsOneDocument(parsed))
            return S_FALSE;
        InjectedDelay("IXMLDOMDocument.load");
        for (pugi::xml_node child : parsed.children()) {
            if (child.type() != pugi::node_declaration) {
                store_->Document.append_copy(child);
                continue;
            }
            // The "xml" declaration is kept as the processing instruction it
            // was written as, so that a load and save keeps it.
            std::string data;
            for (pugi::xml_attribute attribute : child.attributes())
                data += (data.empty() ? "" : " ") + std::string(attribute.name()) + "='" +
                        attribute.value() + "'";
            pugi::xml_node pi = store_->Document.append_child(pugi::node_pi);
            pi.set_name(child.name());
            pi.set_value(data.c_str());
        }
        *ok = VARIANT_TRUE;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE save(VARIANT destination) override {
        if (destination.vt != VT_BSTR) return E_INVALIDARG;
        if (DWORD injected = InjectedFault("IXMLDOMDocument.save")) return HRESULT(injected);
        DWORD error = 0;
        auto file =
            MapFilePath("IXMLDOMDocument::save", Utf8Of(destination.bstrVal).c_str(), &error);
        if (!file) return HRESULT(0x80070000 | error);
        pugi::xml_document out;
        for (pugi::xml_node child : store_->Document.children()) out.append_copy(child);
        if (!out.save_file(file->c_str(), "\t", pugi::format_default | pugi::format_no_declaration))
            return E_FAIL;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE get_documentElement(IXMLDOMElement** element) override {
        if (element == nullptr) return E_POINTER;
        *element = nullptr;
        for (pugi::xml_node child : store_->Document.children()) {
            if (child.type() == pugi::node_element) {
                *element = Wrap(store_, child);
                return *element != nullptr ? S_OK : E_OUTOFMEMORY;
            }
        }
        return S_FALSE;
    }

    HRESULT STDMETHODCALLTYPE createElement(BSTR tagName, IXMLDOMElement** element) override {
        if (element == nullptr) return E_POINTER;
        *element = nullptr;
        std::string name = Utf8Of(tagName);
        if (!IsXmlName(name)) return E_FAIL;
        return Created(store_->Detached.append_child(name.c_str()), element);
    }

    HRESULT STDMETHODCALLTYPE createAttribute(BSTR name, IXMLDOMAttribute** attribute) override {
        if (attribute == nullptr) return E_POINTER;
        *attribute = nullptr;
        std::string text = Utf8Of(name);
        if (!IsXmlName(text)) return E_FAIL;
        auto node = new (std::nothrow) Node(store_, pugi::xml_node(), text, "");
        if (node == nullptr) return E_OUTOFMEMORY;
        *attribute = node;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE createCDATASection(BSTR data, IXMLDOMCDATASection** cdata) override {
        if (cdata == nullptr) return E_POINTER;
        *cdata = nullptr;
        pugi::xml_node node = store_->Detached.append_child(pugi::node_cdata);
        if (node) node.set_value(Utf8Of(data).c_str());
        return Created(node, cdata);
    }

    HRESULT STDMETHODCALLTYPE createProcessingInstruction(
        BSTR target, BSTR data, IXMLDOMProcessingInstruction** pi) override {
        if (pi == nullptr) return E_POINTER;
        *pi = nullptr;
        std::string name = Utf8Of(target);
        if (!IsXmlName(name)) return E_FAIL;
        pugi::xml_node node = store_->Detached.append_child(pugi::node_pi);
        if (node) {
            node.set_name(name.c_str());
            node.set_value(Utf8Of(data).c_str());
        }
        return Created(node, pi);
    }

private:
    bool AnswersDocument(REFIID riid) const override {
        return IsEqualGUID(riid, IID_IXMLDOMDocument);
    }
    void Clear() {
        while (pugi::xml_node child = store_->Document.first_child())
            store_->Detached.append_move(child);
        store_->Moves++;
    }
    HRESULT Created(pugi::xml_node node, IXMLDOMNode** out) {
        if (!node) return E_OUTOFMEMORY;
        *out = Wrap(store_, node);
        return *out != nullptr ? S_OK : E_OUTOFMEMORY;
    }
};

IXMLDOMNode* Wrap(const std::shared_ptr<DomStore>& store, pugi::xml_node node) {
    if (node == store->Document) return new (std::nothrow) Document(store);
    return new (std::nothrow) Node(store, node);
}

Node* Own(const std::shared_ptr<DomStore>& store, IXMLDOMNode* node) {
    if (node == nullptr) return nullptr;
    // Every node this stand-in hands out is a NodeBase; a document answers its
    // own interface.
    void* document = nullptr;
    if (SUCCEEDED(node->QueryInterface(IID_IXMLDOMDocument, &document))) {
        static_cast<IUnknown*>(document)->Release();
        return nullptr;
    }
    auto own = static_cast<Node*>(node);
    return own->Store() == store ? own : nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// CoInitialize / CoUninitialize / CoCreateInstance / OleRun
// ---------------------------------------------------------------------------
HRESULT WINAPI CoInitialize(LPVOID pvReserved) {
    if (pvReserved != nullptr) return E_INVALIDARG;
    return t_apartments++ == 0 ? S_OK : S_FALSE;
}

void WINAPI CoUninitialize(void) {
    if (t_apartments > 0) t_apartments--;
}

HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext,
                                REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (pUnkOuter != nullptr) {
        Unmodelled("CoCreateInstance", "an outer object");
        return E_NOTIMPL;
    }
    if (t_apartments == 0) return CO_E_NOTINITIALIZED;
    if ((dwClsContext & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER)) == 0)
        return REGDB_E_CLASSNOTREG;
    if (DWORD error = InjectedFault("CoCreateInstance")) return HRESULT(error);
    if (!IsEqualGUID(rclsid, CLSID_DOMDocument)) return REGDB_E_CLASSNOTREG;
    std::shared_ptr<DomStore> store;
    try {
        store = std::make_shared<DomStore>();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    auto document = new (std::nothrow) Document(store);
    if (document == nullptr) return E_OUTOFMEMORY;
    HRESULT hr = document->QueryInterface(riid, ppv);
    document->Release();
    return hr;
}

HRESULT WINAPI OleRun(LPUNKNOWN pUnknown) {
    return pUnknown != nullptr ? S_OK : E_INVALIDARG;
}

LPVOID WINAPI CoTaskMemAlloc(size_t cb) {
    return std::malloc(cb == 0 ? 1 : cb);
}

void WINAPI CoTaskMemFree(LPVOID pv) {
    std::free(pv);
}

// ---------------------------------------------------------------------------
// BSTR and VARIANT
// ---------------------------------------------------------------------------
BSTR WINAPI SysAllocString(const OLECHAR* psz) {
    if (psz == nullptr) return nullptr;
    size_t length = std::char_traits<char16_t>::length(psz);
    // The length in bytes precedes the text, as the platform keeps it.
    auto block = static_cast<uint32_t*>(std::malloc(sizeof(uint32_t) + (length + 1) * 2));
    if (block == nullptr) return nullptr;
    block[0] = static_cast<uint32_t>(length * 2);
    auto text = reinterpret_cast<OLECHAR*>(block + 1);
    std::memcpy(text, psz, (length + 1) * 2);
    return text;
}

void WINAPI SysFreeString(BSTR bstrString) {
    if (bstrString != nullptr) std::free(reinterpret_cast<uint32_t*>(bstrString) - 1);
}

UINT WINAPI SysStringLen(BSTR pbstr) {
    return pbstr == nullptr ? 0 : reinterpret_cast<uint32_t*>(pbstr)[-1] / 2;
}

void WINAPI VariantInit(VARIANT* pvarg) {
    if (pvarg == nullptr) return;
    std::memset(pvarg, 0, sizeof *pvarg);
    pvarg->vt = VT_EMPTY;
}

HRESULT WINAPI VariantClear(VARIANT* pvarg) {
    if (pvarg == nullptr) return E_INVALIDARG;
    if (pvarg->vt == VT_BSTR) SysFreeString(pvarg->bstrVal);
    VariantInit(pvarg);
    return S_OK;
}
