// The DOM document of the stand-in, as a tool uses it through COM.
#include <windows.h>

#include <msxml.h>

#include <gtest/gtest.h>

#include <fstream>

#include "ToolProcess.h"
#include "kp/win32.h"

namespace {

// A BSTR or VARIANT for the length of a call.
struct Text {
    explicit Text(const char* text) {
        std::u16string wide;
        for (const char* p = text; *p; ++p) wide.push_back(static_cast<char16_t>(*p));
        value = SysAllocString(wide.c_str());
    }
    ~Text() { SysFreeString(value); }
    VARIANT Variant() const {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_BSTR;
        v.bstrVal = value;
        return v;
    }
    BSTR value;
};

std::string Ascii(BSTR text) {
    std::string out;
    for (UINT i = 0; i < SysStringLen(text); i++) out.push_back(static_cast<char>(text[i]));
    SysFreeString(text);
    return out;
}

class Dom : public ::testing::Test {
protected:
    void SetUp() override {
        machine_.WriteRegistry("");
        KpWin32UseMachineFile(machine_.Folder());
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        IUnknown* unknown = nullptr;
        ASSERT_EQ(CoCreateInstance(CLSID_DOMDocument, nullptr, 7, IID_IUnknown,
                                   reinterpret_cast<void**>(&unknown)),
                  S_OK);
        ASSERT_EQ(OleRun(unknown), S_OK);
        ASSERT_EQ(unknown->QueryInterface(IID_IXMLDOMDocument, reinterpret_cast<void**>(&doc_)),
                  S_OK);
        unknown->Release();
    }
    void TearDown() override {
        if (doc_ != nullptr) {
            EXPECT_EQ(doc_->Release(), 0u);
        }
        CoUninitialize();
        KpWin32ClearFailures();
    }
    IXMLDOMDocument* doc_ = nullptr;
    kp::tooltest::TempMachine machine_{"dom"};
};

TEST_F(Dom, LoadsARecordWithWhitespaceAndBothQuoteStyles) {
    std::filesystem::create_directories(machine_.Folder() / "Windows" / "Temp");
    std::ofstream(machine_.Folder() / "Windows" / "Temp" / "r.xml")
        << "<?xml version='1.0'?>\n<Installed>\n  <CAM Inf=\"cam.inf\" X='y'>\n"
           "    <k1><![CDATA[delregkey#hklm,software\\x]]></k1>\n  </CAM>\n</Installed>\n";
    VARIANT_BOOL ok;
    Text path("C:\\WINDOWS\\Temp\\r.xml");
    ASSERT_EQ(doc_->load(path.Variant(), &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_TRUE);
    IXMLDOMNode* product = nullptr;
    Text query("//Installed");
    ASSERT_EQ(doc_->selectSingleNode(query.value, &product), S_OK);
    IXMLDOMNode* cam = nullptr;
    ASSERT_EQ(product->get_firstChild(&cam), S_OK);
    BSTR name;
    ASSERT_EQ(cam->get_nodeName(&name), S_OK);
    EXPECT_EQ(Ascii(name), "CAM");
    IXMLDOMNamedNodeMap* attributes;
    ASSERT_EQ(cam->get_attributes(&attributes), S_OK);
    IXMLDOMNode* inf;
    ASSERT_EQ(attributes->get_item(0, &inf), S_OK);
    ASSERT_EQ(inf->get_text(&name), S_OK);
    EXPECT_EQ(Ascii(name), "cam.inf");
    IXMLDOMNode* command;
    ASSERT_EQ(cam->get_firstChild(&command), S_OK);
    IXMLDOMNode* cdata;
    ASSERT_EQ(command->get_firstChild(&cdata), S_OK);  // whitespace text was dropped
    ASSERT_EQ(cdata->get_text(&name), S_OK);
    EXPECT_EQ(Ascii(name), "delregkey#hklm,software\\x");
    // Removed, the node stays valid while held.
    IXMLDOMNode* removed;
    ASSERT_EQ(product->removeChild(cam, &removed), S_OK);
    VARIANT_BOOL has;
    EXPECT_EQ(product->hasChildNodes(&has), S_FALSE);
    ASSERT_EQ(removed->get_nodeName(&name), S_OK);
    EXPECT_EQ(Ascii(name), "CAM");
    ASSERT_EQ(cdata->get_text(&name), S_OK);
    EXPECT_EQ(Ascii(name), "delregkey#hklm,software\\x");
    for (IUnknown* u :
         std::initializer_list<IUnknown*>{removed, cdata, command, inf, attributes, cam, product})
        u->Release();
}

TEST_F(Dom, ChildListsAreLive) {
    std::filesystem::create_directories(machine_.Folder() / "Windows" / "Temp");
    std::ofstream(machine_.Folder() / "Windows" / "Temp" / "r.xml")
        << "<Installed><A/><B/><C/></Installed>";
    VARIANT_BOOL ok;
    Text path("C:\\WINDOWS\\Temp\\r.xml"), query("//Installed"), d("D");
    ASSERT_EQ(doc_->load(path.Variant(), &ok), S_OK);
    IXMLDOMNode* installed = nullptr;
    ASSERT_EQ(doc_->selectSingleNode(query.value, &installed), S_OK);
    IXMLDOMNodeList* children = nullptr;
    ASSERT_EQ(installed->get_childNodes(&children), S_OK);
    auto next = [&] {
        IXMLDOMNode* node = nullptr;
        if (children->nextNode(&node) != S_OK) return std::string("(end)");
        BSTR name;
        EXPECT_EQ(node->get_nodeName(&name), S_OK);
        node->Release();
        return Ascii(name);
    };
    IXMLDOMNode* first = nullptr;
    ASSERT_EQ(children->nextNode(&first), S_OK);
    // Removing the node just visited moves B into its place: the walk goes on at C.
    IXMLDOMNode* removed = nullptr;
    ASSERT_EQ(installed->removeChild(first, &removed), S_OK);
    EXPECT_EQ(next(), "C");
    // A child added after the list was taken is in it.
    IXMLDOMElement* added = nullptr;
    ASSERT_EQ(doc_->createElement(d.value, &added), S_OK);
    ASSERT_EQ(installed->appendChild(added, nullptr), S_OK);
    EXPECT_EQ(next(), "D");
    EXPECT_EQ(next(), "(end)");
    for (IUnknown* u : std::initializer_list<IUnknown*>{added, removed, first, children, installed})
        u->Release();
}

TEST_F(Dom, BuildsSavesAndRefusesInvalidNames) {
    IXMLDOMProcessingInstruction* pi;
    Text xml("xml"), version("version='1.0'"), installed("Installed"), bad("MY CAM"), digit("1X"),
        cdataText("launch#a,b");
    ASSERT_EQ(doc_->createProcessingInstruction(xml.value, version.value, &pi), S_OK);
    ASSERT_EQ(doc_->appendChild(pi, nullptr), S_OK);
    IXMLDOMElement* root;
    ASSERT_EQ(doc_->createElement(installed.value, &root), S_OK);
    ASSERT_EQ(doc_->appendChild(root, nullptr), S_OK);
    IXMLDOMElement* invalid = nullptr;
    EXPECT_TRUE(FAILED(doc_->createElement(bad.value, &invalid)));
    EXPECT_TRUE(FAILED(doc_->createElement(digit.value, &invalid)));
    EXPECT_EQ(invalid, nullptr);
    IXMLDOMCDATASection* cdata;
    ASSERT_EQ(doc_->createCDATASection(cdataText.value, &cdata), S_OK);
    ASSERT_EQ(root->appendChild(cdata, nullptr), S_OK);
    Text path("C:\\WINDOWS\\Temp\\out.xml");
    ASSERT_EQ(doc_->save(path.Variant()), S_OK);
    std::ifstream in(machine_.Folder() / "Windows" / "Temp" / "out.xml");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("<?xml version='1.0'?>"), std::string::npos) << text;
    EXPECT_NE(text.find("<Installed><![CDATA[launch#a,b]]></Installed>"), std::string::npos)
        << text;
    IUnknown* other;
    EXPECT_EQ(root->QueryInterface(IID_IXMLDOMDocument, reinterpret_cast<void**>(&other)),
              E_NOINTERFACE);
    cdata->Release();
    root->Release();
    pi->Release();
}

TEST(DomCreation, AnInjectedFailureGivesClassNotRegistered) {
    KpWin32FailCall("CoCreateInstance", nullptr, static_cast<ULONG>(REGDB_E_CLASSNOTREG));
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_DOMDocument, nullptr, 7, IID_IUnknown, &object),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(object, nullptr);
    CoUninitialize();
    KpWin32ClearFailures();
    // Outside an apartment nothing is created.
    EXPECT_EQ(CoCreateInstance(CLSID_DOMDocument, nullptr, 7, IID_IUnknown, &object),
              CO_E_NOTINITIALIZED);
}

}  // namespace
