// What the DOM wrapper asks of MSXML before it lets a document parse. Wine's MSXML takes every
// one of these settings and reads none of them back (nor does it fetch external DTDs at all), so
// the calls are seen through a document of the test's own that records them.
#include <windows.h>

#include <gtest/gtest.h>

#include <comdef.h>

#include <atomic>
#include <string>
#include <vector>

#include "config/config_fixture.h"
#include "config/xml_dom.h"
#include "support/test_support.h"

namespace {

using Calls = std::vector<std::string>;

std::string Text(BSTR text) {
  std::string narrow;
  for (const wchar_t* c = text; c && *c; ++c) narrow += static_cast<char>(*c);
  return narrow;
}

std::string Flag(VARIANT_BOOL value) {
  return value == VARIANT_TRUE ? "true" : value == VARIANT_FALSE ? "false" : "?";
}

std::string Value(const VARIANT& value) {
  if (V_VT(&value) == VT_BOOL) return Flag(V_BOOL(&value));
  if (V_VT(&value) == VT_BSTR) return "\"" + Text(V_BSTR(&value)) + "\"";
  return "vt " + std::to_string(V_VT(&value));
}

// Records the calls the wrapper makes, answers setProperty with `refusal` for the property named
// `refused`, and loads nothing.
class RecordingDocument : public IXMLDOMDocument2 {
 public:
  Calls calls;
  std::wstring refused;
  HRESULT refusal = E_FAIL;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, InstallUtils::kIidXmlDomDocument2)) {
      return E_NOINTERFACE;
    }
    *object = static_cast<IXMLDOMDocument2*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override { return --references_; }
  ULONG references() const { return references_; }

  // What the wrapper uses.
  HRESULT STDMETHODCALLTYPE put_async(VARIANT_BOOL value) override {
    calls.push_back("put_async " + Flag(value));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_resolveExternals(VARIANT_BOOL value) override {
    calls.push_back("put_resolveExternals " + Flag(value));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_validateOnParse(VARIANT_BOOL value) override {
    calls.push_back("put_validateOnParse " + Flag(value));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE setProperty(BSTR name, VARIANT value) override {
    calls.push_back("setProperty " + Text(name) + " " + Value(value));
    return name && refused == name ? refusal : S_OK;
  }
  HRESULT STDMETHODCALLTYPE load(VARIANT source, VARIANT_BOOL* success) override {
    calls.push_back("load " + Value(source));
    *success = VARIANT_FALSE;
    return S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE get_doctype(IXMLDOMDocumentType** type) override {
    calls.push_back("get_doctype");
    *type = nullptr;
    return S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE get_documentElement(IXMLDOMElement** element) override {
    calls.push_back("get_documentElement");
    *element = nullptr;
    return S_FALSE;
  }

  // Nothing else is asked for.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_nodeName(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_nodeValue(VARIANT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_nodeValue(VARIANT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_nodeType(DOMNodeType*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_parentNode(IXMLDOMNode**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_childNodes(IXMLDOMNodeList**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_firstChild(IXMLDOMNode**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_lastChild(IXMLDOMNode**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_previousSibling(IXMLDOMNode**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_nextSibling(IXMLDOMNode**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_attributes(IXMLDOMNamedNodeMap**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE insertBefore(IXMLDOMNode*, VARIANT, IXMLDOMNode**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE replaceChild(IXMLDOMNode*, IXMLDOMNode*, IXMLDOMNode**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE removeChild(IXMLDOMNode*, IXMLDOMNode**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE appendChild(IXMLDOMNode*, IXMLDOMNode**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE hasChildNodes(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_ownerDocument(IXMLDOMDocument**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE cloneNode(VARIANT_BOOL, IXMLDOMNode**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_nodeTypeString(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_text(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_text(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_specified(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_definition(IXMLDOMNode**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_nodeTypedValue(VARIANT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_nodeTypedValue(VARIANT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_dataType(VARIANT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_dataType(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_xml(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE transformNode(IXMLDOMNode*, BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE selectNodes(BSTR, IXMLDOMNodeList**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE selectSingleNode(BSTR, IXMLDOMNode**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_parsed(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_namespaceURI(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_prefix(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_baseName(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE transformNodeToObject(IXMLDOMNode*, VARIANT) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_implementation(IXMLDOMImplementation**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE putref_documentElement(IXMLDOMElement*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE createElement(BSTR, IXMLDOMElement**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE createDocumentFragment(IXMLDOMDocumentFragment**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE createTextNode(BSTR, IXMLDOMText**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE createComment(BSTR, IXMLDOMComment**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE createCDATASection(BSTR, IXMLDOMCDATASection**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE createProcessingInstruction(BSTR, BSTR,
                                                        IXMLDOMProcessingInstruction**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE createAttribute(BSTR, IXMLDOMAttribute**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE createEntityReference(BSTR, IXMLDOMEntityReference**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE getElementsByTagName(BSTR, IXMLDOMNodeList**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE createNode(VARIANT, BSTR, BSTR, IXMLDOMNode**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE nodeFromID(BSTR, IXMLDOMNode**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_readyState(long*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_parseError(IXMLDOMParseError**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_url(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_async(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE abort() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE loadXML(BSTR, VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE save(VARIANT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_validateOnParse(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_resolveExternals(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_preserveWhiteSpace(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_preserveWhiteSpace(VARIANT_BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_onreadystatechange(VARIANT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_ondataavailable(VARIANT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_ontransformnode(VARIANT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_namespaces(IXMLDOMSchemaCollection**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_schemas(VARIANT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE putref_schemas(VARIANT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE validate(IXMLDOMParseError**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE getProperty(BSTR, VARIANT*) override { return E_NOTIMPL; }

 private:
  ULONG references_ = 1;
};

const std::wstring kPath = L"C:\\client\\config.xml";

// Fault: only async and ServerHTTPRequest were set, so MSXML 3 fetched a DTD that config.xml
// named (\\host\share\x.dtd: from another machine, as LocalSystem, handing it the computer's
// credentials), expanded its entities and applied its default attribute values.
TEST(XmlDomLoad, EveryDocumentIsMadeInertBeforeItParses) {
  RecordingDocument document;
  {
    InstallUtils::CXmlDom dom(&document);
    ASSERT_TRUE(dom.created());
    EXPECT_FALSE(dom.loadFile(kPath));
  }
  EXPECT_EQ(document.calls, (Calls{"put_async false", "setProperty ServerHTTPRequest true",
                                   "setProperty ProhibitDTD true", "put_resolveExternals false",
                                   "put_validateOnParse false", "load \"C:\\client\\config.xml\"",
                                   "get_documentElement"}));
  // The wrapper gave back the one reference it took over.
  EXPECT_EQ(document.references(), 0u);
}

// An MSXML that does not know ProhibitDTD still loads: the other two settings keep external
// documents out, and a declared document type is refused after the load. The refusal is told
// once, not for each of the five readers of a run. No other case of this executable refuses it.
TEST(XmlDomLoad, RefusedProhibitDtdIsLoggedOnceAndTheLoadGoesOn) {
  const size_t mark = testing_support::LogMessages(config_testing::LogPath()).size();
  for (int load = 0; load < 2; ++load) {
    RecordingDocument document;
    document.refused = L"ProhibitDTD";
    document.refusal = E_INVALIDARG;
    {
      InstallUtils::CXmlDom dom(&document);
      EXPECT_FALSE(dom.loadFile(kPath));
    }
    EXPECT_EQ(document.calls, (Calls{"put_async false", "setProperty ServerHTTPRequest true",
                                     "setProperty ProhibitDTD true", "put_resolveExternals false",
                                     "put_validateOnParse false", "load \"C:\\client\\config.xml\"",
                                     "get_documentElement"}))
        << "load " << load;
  }
  const auto all = testing_support::LogMessages(config_testing::LogPath());
  EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(mark), all.end()),
            std::vector<std::string>{"InstallUtils::CXmlDom::loadFile - ProhibitDTD refused with "
                                     "0x80070057; a document type declaration is refused after "
                                     "loading"});
}

}  // namespace
