// The install record, Temp\Setupdeck.xml under the Windows folder, kept with
// the system's XML DOM document: one element per product, named by the
// product, with its INF file as the attribute "Inf" and one element per undo
// command holding the command as CDATA.
//
// The record lies in a folder any user can write, and an uninstall runs the
// commands it holds: a risk kept so that records of earlier installs are found.
#include <msxml.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <shlwapi.h>
#include <winuser.h>

#include "Setupdeck.h"

namespace {

constexpr char kNoDom[] = "Cant create DOM! Exiting...\n";

// UTF-8 <-> UTF-16 for the DOM's BSTRs.
std::u16string Wide(const char* text) {
    std::u16string out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0;) {
        char32_t c = *p;
        int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        c = extra == 0 ? c : (c & (0x3F >> extra));
        p++;
        for (int i = 0; i < extra && (*p & 0xC0) == 0x80; i++, p++) c = (c << 6) | (*p & 0x3F);
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    return out;
}

std::string Narrow(BSTR text) {
    std::string out;
    for (UINT i = 0; i < SysStringLen(text); i++) {
        char32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < SysStringLen(text))
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

// A BSTR for the length of a call.
class Bstr {
public:
    explicit Bstr(const char* text) : m_value(SysAllocString(Wide(text).c_str())) {}
    ~Bstr() { SysFreeString(m_value); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR Get() const { return m_value; }
    VARIANT Variant() const {
        VARIANT value;
        VariantInit(&value);
        value.vt = VT_BSTR;
        value.bstrVal = m_value;
        return value;
    }

private:
    BSTR m_value;
};

// An interface pointer released at the end of its scope.
template <typename T>
class Ref {
public:
    Ref() = default;
    ~Ref() { Reset(); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    T** Out() {
        Reset();
        return &m_p;
    }
    T* operator->() const { return m_p; }
    T* Get() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    void Reset() {
        if (m_p != nullptr) m_p->Release();
        m_p = nullptr;
    }

private:
    T* m_p = nullptr;
};

// The text a string-returning DOM call gives, or false.
template <typename Call>
bool TextOf(Call call, std::string* out) {
    BSTR text = nullptr;
    HRESULT hr = call(&text);
    if (FAILED(hr) || text == nullptr) return false;
    *out = Narrow(text);
    SysFreeString(text);
    return true;
}

void RecordPath(char* path) {
    // The Windows folder is short; a path that did not fit names no file.
    if (std::snprintf(path, MAX_PATH, "%s\\Temp\\%s", g_paths.Windows, "Setupdeck.xml") >= MAX_PATH)
        path[0] = 0;
}

// CoInitialize, then the DOM document; null (logged) when it cannot be had.
IXMLDOMDocument* CreateDocument() {
    IUnknown* unknown = nullptr;
    if (FAILED(CoCreateInstance(CLSID_DOMDocument, nullptr,
                                CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER,
                                IID_IUnknown, reinterpret_cast<void**>(&unknown)))) {
        WriteLog(kNoDom);
        return nullptr;
    }
    IXMLDOMDocument* document = nullptr;
    if (FAILED(OleRun(unknown)) ||
        FAILED(unknown->QueryInterface(IID_IXMLDOMDocument, reinterpret_cast<void**>(&document))) ||
        FAILED(document->put_async(VARIANT_FALSE))) {
        if (document != nullptr) document->Release();
        document = nullptr;
        WriteLog(kNoDom);
    }
    unknown->Release();
    return document;
}

// The element "Installed", or null.
bool FindInstalled(IXMLDOMDocument* document, Ref<IXMLDOMNode>* installed) {
    Bstr query("//Installed");
    return document->selectSingleNode(query.Get(), installed->Out()) == S_OK;
}

// The child of Installed named Name, compared as element names compare
// (whatever the name holds, it is no query).
bool FindProduct(IXMLDOMNode* installed, const char* name, Ref<IXMLDOMNode>* product) {
    Ref<IXMLDOMNodeList> children;
    if (FAILED(installed->get_childNodes(children.Out()))) return false;
    while (true) {
        Ref<IXMLDOMNode> child;
        if (children->nextNode(child.Out()) != S_OK) return false;
        std::string childName;
        if (TextOf([&](BSTR* out) { return child->get_nodeName(out); }, &childName) &&
            childName == name) {
            *product->Out() = child.Get();
            child.Get()->AddRef();
            return true;
        }
    }
}

// Loads the record; false unless it parsed and holds "Installed".
bool LoadRecord(IXMLDOMDocument* document, const char* path, Ref<IXMLDOMNode>* installed) {
    Bstr file(path);
    VARIANT_BOOL loaded = VARIANT_FALSE;
    return SUCCEEDED(document->load(file.Variant(), &loaded)) && loaded == VARIANT_TRUE &&
           FindInstalled(document, installed);
}

bool CreateInstallRecord(IXMLDOMDocument* document) {
    Bstr xml("xml"), version("version='1.0'"), installed("Installed");
    Ref<IXMLDOMProcessingInstruction> pi;
    Ref<IXMLDOMElement> root;
    return SUCCEEDED(document->createProcessingInstruction(xml.Get(), version.Get(), pi.Out())) &&
           SUCCEEDED(document->appendChild(pi.Get(), nullptr)) &&
           SUCCEEDED(document->createElement(installed.Get(), root.Out())) &&
           SUCCEEDED(document->appendChild(root.Get(), nullptr));
}

// Adds the product of the INI file (replacing one of its name); false (logged)
// when the product cannot be recorded.  A script without a name (or no script)
// adds nothing, and the record is written all the same.
bool AddInstallRecord(IXMLDOMDocument* document, IniFile* ini) {
    char name[256];
    if (!ini->ReadString("root", "name", name, sizeof name)) {
        WriteLog("No product name!\n");
        return true;
    }
    for (char* p = name; *p != 0; ++p) *p = (*p >= 'a' && *p <= 'z') ? char(*p - 'a' + 'A') : *p;
    Ref<IXMLDOMNode> installed, old;
    if (!FindInstalled(document, &installed)) return false;
    if (FindProduct(installed.Get(), name, &old)) {
        Ref<IXMLDOMNode> removed;
        if (FAILED(installed->removeChild(old.Get(), removed.Out()))) return false;
        WriteLog("Removing ub\n");
    }
    Bstr productName(name), infName("Inf");
    Ref<IXMLDOMElement> product;
    Ref<IXMLDOMAttribute> attribute;
    if (FAILED(document->createElement(productName.Get(), product.Out()))) {
        WriteLog("Invalid product name %s!\n", name);
        return false;
    }
    char inf[256] = "";
    ini->ReadString("root", "inf", inf, sizeof inf);
    Bstr infValue(inf);
    if (FAILED(document->createAttribute(infName.Get(), attribute.Out())) ||
        FAILED(attribute->put_value(infValue.Variant())) ||
        FAILED(product->setAttributeNode(attribute.Get(), nullptr)))
        return false;
    StringList keys;
    ini->KeyNames("Uninstall", &keys);
    for (size_t i = 0; i < keys.Count(); i++) {
        char value[MAX_PATH];
        // A value whose macro does not fit is not recorded with the macro in it.
        if (!ini->ReadString("Uninstall", keys.GetAt(i), value, 256) || !ExpandPathMacro(value))
            continue;
        Bstr key(keys.GetAt(i)), data(value);
        Ref<IXMLDOMElement> command;
        Ref<IXMLDOMCDATASection> cdata;
        if (FAILED(document->createElement(key.Get(), command.Out()))) {
            WriteLog("Invalid command name %s!\n", keys.GetAt(i));
            continue;
        }
        if (FAILED(document->createCDATASection(data.Get(), cdata.Out())) ||
            FAILED(command->appendChild(cdata.Get(), nullptr)) ||
            FAILED(product->appendChild(command.Get(), nullptr)))
            return false;
    }
    return SUCCEEDED(installed->appendChild(product.Get(), nullptr));
}

// Copies a record that does not parse to the first free of Path.bad,
// Path.bad2 ... Path.bad9 (logged); false (logged) when none could be made.
bool KeepBadRecord(const char* path) {
    for (int n = 1; n <= 9; n++) {
        char kept[MAX_PATH];
        int length = n == 1 ? std::snprintf(kept, sizeof kept, "%s.bad", path)
                            : std::snprintf(kept, sizeof kept, "%s.bad%d", path, n);
        if (length >= MAX_PATH) break;
        if (CopyFileA(path, kept, TRUE)) {
            WriteLog("Invalid install record %s! Kept as %s; starting a new one.\n", path, kept);
            return true;
        }
        if (GetLastError() != ERROR_FILE_EXISTS) break;
    }
    WriteLog("Invalid install record %s! It cannot be kept, so it is left as it is.\n", path);
    return false;
}

// The record is read, changed and written back in separate steps: two
// Setupdecks at once would each write back the record without the other's
// product.  A mutex its last owner died holding is taken over: the record is
// as that owner left it, and one it left cut short does not load and is kept.
class RecordLock {
public:
    RecordLock() : m_mutex(FALSE, "SETUPDECK_RECORD", nullptr), m_owned(m_mutex.Acquire(INFINITE)) {
        // Not to record the product at all would lose its undo commands for sure.
        if (!m_owned) WriteLog("Cant lock the install record!\n");
    }
    ~RecordLock() {
        if (m_owned) m_mutex.Unlock();
    }
    RecordLock(const RecordLock&) = delete;
    RecordLock& operator=(const RecordLock&) = delete;

private:
    NamedMutex m_mutex;
    bool m_owned;
};

void Save(IXMLDOMDocument* document, const char* path) {
    Bstr file(path);
    if (FAILED(document->save(file.Variant()))) WriteLog("Cant save %s!\n", path);
}

// Runs the product's recorded commands and removes it from the record.
void RunUninstallCommands(IXMLDOMNode* product) {
    std::string name;
    TextOf([&](BSTR* out) { return product->get_nodeName(out); }, &name);
    WriteLog("Uninstalling %s\n", name.c_str());
    Ref<IXMLDOMNodeList> children;
    if (SUCCEEDED(product->get_childNodes(children.Out()))) {
        while (true) {
            Ref<IXMLDOMNode> command;
            if (children->nextNode(command.Out()) != S_OK) break;
            std::string key, text;
            TextOf([&](BSTR* out) { return command->get_nodeName(out); }, &key);
            // The element's whole text: a command holding "]]>" is saved as
            // two CDATA sections.
            if (!TextOf([&](BSTR* out) { return command->get_text(out); }, &text) || text.empty()) {
                WriteLog("Command %s has no text!\n", key.c_str());
                continue;
            }
            if (text.size() > MAX_PATH - 1) {
                WriteLog("Command %s is too long!\n", key.c_str());
                continue;
            }
            RunRecordedCommand(text.c_str());
        }
    }
    Ref<IXMLDOMNode> parent, removed;
    if (SUCCEEDED(product->get_parentNode(parent.Out())) && parent)
        parent->removeChild(product, removed.Out());
}

// One product: its commands, then the INF's section through rundll32.exe.
void UninstallProduct(IXMLDOMNode* product, const char* section, const char* program) {
    Ref<IXMLDOMNamedNodeMap> attributes;
    Ref<IXMLDOMNode> first;
    std::string inf, name;
    bool hasInf = product->get_attributes(attributes.Out()) == S_OK &&
                  attributes->get_item(0, first.Out()) == S_OK &&
                  TextOf([&](BSTR* out) { return first->get_text(out); }, &inf);
    TextOf([&](BSTR* out) { return product->get_nodeName(out); }, &name);
    char parameters[MAX_PATH];
    int length = hasInf ? std::snprintf(parameters, sizeof parameters,
                                        "setupapi,InstallHinfSection %s %s\\%s", section,
                                        g_paths.Inf, inf.c_str())
                        : 0;
    RunUninstallCommands(product);
    if (!hasInf)
        WriteLog("Product %s has no INF!\n", name.c_str());
    else if (length >= MAX_PATH)
        WriteLog("Product %s has an INF name too long!\n", name.c_str());
    else
        LaunchCmdline(program, parameters, INFINITE, SW_MINIMIZE);
}

}  // namespace

void PerformInstall(IniFile* ini) {
    char path[MAX_PATH];
    RecordPath(path);
    CoInitialize(nullptr);
    IXMLDOMDocument* document = CreateDocument();
    if (document == nullptr) {
        CoUninitialize();
        return;
    }
    RecordLock lock;
    Ref<IXMLDOMNode> installed;
    bool ready = false;
    if (PathFileExistsA(path)) {
        ready = LoadRecord(document, path, &installed);
        // A record that did not parse is replaced by a new one, once it is
        // kept beside it: its products' undo commands are in it.
        if (!ready && !KeepBadRecord(path)) {
            document->Release();
            CoUninitialize();
            return;
        }
    }
    if (!ready) {
        document->Release();
        document = CreateDocument();
        ready = document != nullptr && CreateInstallRecord(document);
    }
    if (ready && AddInstallRecord(document, ini)) Save(document, path);
    if (document != nullptr) document->Release();
    CoUninitialize();
}

void PerformUninstall(const char* name, const char* infPath, const char* program,
                      const char* parameters) {
    (void)infPath;
    char path[MAX_PATH];
    RecordPath(path);
    CoInitialize(nullptr);
    IXMLDOMDocument* document = CreateDocument();
    if (document == nullptr) {
        CoUninitialize();
        LaunchCmdline(program, parameters, INFINITE, SW_MINIMIZE);
        return;
    }
    // The products leave the record before their commands run, and the lock
    // is not held while they run: an undo command may start another Setupdeck,
    // which waits for the lock while this one waits for it.
    std::vector<IXMLDOMNode*> products;
    const char* section = std::strcmp(name, "all") != 0 ? "DefaultUninstall 132" : "Uninstall 128";
    {
        RecordLock lock;
        Ref<IXMLDOMNode> installed;
        if (!PathFileExistsA(path)) {
            // Nothing recorded: nothing to undo, nothing written.
        } else if (!LoadRecord(document, path, &installed)) {
            WriteLog("Invalid install record %s!\n", path);
        } else {
            if (std::strcmp(name, "all") != 0) {
                char upper[MAX_PATH];
                std::snprintf(upper, sizeof upper, "%s", name);
                for (char* p = upper; *p != 0; ++p)
                    *p = (*p >= 'a' && *p <= 'z') ? char(*p - 'a' + 'A') : *p;
                Ref<IXMLDOMNode> product;
                if (FindProduct(installed.Get(), upper, &product)) {
                    products.push_back(product.Get());
                    product.Get()->AddRef();
                }
            } else {
                // Taken first: each product leaves Installed as it is taken.
                Ref<IXMLDOMNodeList> children;
                if (SUCCEEDED(installed->get_childNodes(children.Out()))) {
                    IXMLDOMNode* child = nullptr;
                    while (children->nextNode(&child) == S_OK) products.push_back(child);
                }
            }
            for (IXMLDOMNode* product : products) {
                Ref<IXMLDOMNode> removed;
                installed->removeChild(product, removed.Out());
            }
            Save(document, path);
        }
    }
    for (IXMLDOMNode* product : products) {
        UninstallProduct(product, section, program);
        product->Release();
    }
    document->Release();
    CoUninitialize();
}
