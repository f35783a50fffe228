#include "config/xml_dom.h"

#include <comdef.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>

#include "diag/log.h"

namespace InstallUtils {

const IID kIidXmlDomDocument2 = {
    0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

namespace {

// The MSXML identifiers, spelled out here because not every toolchain ships an import library
// that holds them.
const CLSID kClsidDomDocument = {
    0xF6D90F11, 0x9C73, 0x11D3, {0xB3, 0x2E, 0x00, 0xC0, 0x4F, 0x99, 0x0B, 0xB4}};
const IID kIidXmlDomNode = {
    0x2933BF80, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
const IID kIidXmlDomElement = {
    0x2933BF86, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

void ThrowIfFailed(HRESULT result) {
  if (FAILED(result)) throw _com_error(result);
}

platform::UniqueBstr MakeBstr(const std::wstring& text) {
  platform::UniqueBstr value(::SysAllocString(text.c_str()));
  if (!value) throw _com_error(E_OUTOFMEMORY);
  return value;
}

std::wstring BstrText(BSTR value) {
  return value ? std::wstring(value, ::SysStringLen(value)) : L"";
}

// A VARIANT is a value, not a handle: it clears whatever it came to hold.
class Variant {
 public:
  Variant() { ::VariantInit(&value_); }
  ~Variant() { ::VariantClear(&value_); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  VARIANT* get() { return &value_; }

 private:
  VARIANT value_;
};

}  // namespace

CXmlDom::CXmlDom() {
  // A failed creation leaves nothing that may be released.
  IXMLDOMDocument2* document = nullptr;
  const HRESULT result =
      ::CoCreateInstance(kClsidDomDocument, nullptr, CLSCTX_INPROC_SERVER, kIidXmlDomDocument2,
                         reinterpret_cast<void**>(&document));
  if (SUCCEEDED(result)) document_.reset(document);
  created_ = SUCCEEDED(result) && document_.is_valid();
}

CXmlDom::CXmlDom(IXMLDOMDocument2* document) : created_(document != nullptr), document_(document) {}

CXmlDom::~CXmlDom() = default;

void CXmlDom::setCursor(IXMLDOMNode* node) { cursor_.reset(node); }

bool CXmlDom::loadFile(const std::wstring& path) {
  if (!created_) return false;
  Variant source;
  V_VT(source.get()) = VT_BSTR;
  V_BSTR(source.get()) = ::SysAllocString(path.c_str());
  if (!V_BSTR(source.get())) throw _com_error(E_OUTOFMEMORY);
  return load(*source.get());
}

bool CXmlDom::loadBytes(const std::string& bytes) {
  if (!created_) return false;
  if (bytes.size() > ULONG_MAX) return false;
  Variant source;
  SAFEARRAY* array = ::SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
  if (!array) throw _com_error(E_OUTOFMEMORY);
  V_VT(source.get()) = VT_ARRAY | VT_UI1;
  V_ARRAY(source.get()) = array;  // cleared with the variant
  void* data = nullptr;
  ThrowIfFailed(::SafeArrayAccessData(array, &data));
  if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  ThrowIfFailed(::SafeArrayUnaccessData(array));
  return load(*source.get());
}

bool CXmlDom::load(VARIANT& source) {
  ThrowIfFailed(document_->put_async(VARIANT_FALSE));
  // Only loading over HTTP needs it, and not every MSXML knows it: a refusal is harmless.
  setBooleanProperty(L"ServerHTTPRequest", true);
  // MSXML 3 by default reads the DTD a document names, from another machine too (handing it the
  // service's credentials), expands its entities and applies its default attribute values.
  const HRESULT prohibited = setBooleanProperty(L"ProhibitDTD", true);
  if (FAILED(prohibited)) {
    static std::atomic<bool> reported{false};
    if (!reported.exchange(true)) {
      char code[11] = {};
      std::snprintf(code, sizeof(code), "%08lx", static_cast<unsigned long>(prohibited));
      diag::LogLine("InstallUtils::CXmlDom::loadFile", " - ProhibitDTD refused with 0x", code,
                    "; a document type declaration is refused after loading");
    }
  }
  // MSXML 3 refuses these two as properties; its own methods take them.
  ThrowIfFailed(document_->put_resolveExternals(VARIANT_FALSE));
  ThrowIfFailed(document_->put_validateOnParse(VARIANT_FALSE));
  VARIANT_BOOL success = VARIANT_FALSE;
  ThrowIfFailed(document_->load(source, &success));

  setCursor(nullptr);
  rootElement_.reset();
  // Where ProhibitDTD is not honoured (Wine's MSXML takes it and parses on), a declared document
  // type still makes the file malformed, as it is where ProhibitDTD works.
  if (success == VARIANT_TRUE) {
    platform::ComPtr<IXMLDOMDocumentType> documentType;
    ThrowIfFailed(document_->get_doctype(documentType.put()));
    if (documentType.get()) return false;
  }
  ThrowIfFailed(document_->get_documentElement(rootElement_.put()));
  if (rootElement_) {
    IXMLDOMNode* node = nullptr;
    const HRESULT result =
        rootElement_->QueryInterface(kIidXmlDomNode, reinterpret_cast<void**>(&node));
    if (result != E_NOINTERFACE) ThrowIfFailed(result);
    setCursor(SUCCEEDED(result) ? node : nullptr);
  }
  return success == VARIANT_TRUE;
}

HRESULT CXmlDom::setBooleanProperty(const wchar_t* name, bool value) {
  const platform::UniqueBstr propertyName = MakeBstr(name);
  Variant propertyValue;
  V_VT(propertyValue.get()) = VT_BOOL;
  V_BOOL(propertyValue.get()) = value ? VARIANT_TRUE : VARIANT_FALSE;
  return document_->setProperty(propertyName.get(), *propertyValue.get());
}

bool CXmlDom::moveToRoot() {
  if (!created_ || !rootElement_) return false;
  IXMLDOMNode* node = nullptr;
  ThrowIfFailed(rootElement_->QueryInterface(kIidXmlDomNode, reinterpret_cast<void**>(&node)));
  setCursor(node);
  return true;
}

bool CXmlDom::selectChild(const std::wstring& name) {
  if (!created_ || !cursor_) return false;
  VARIANT_BOOL hasChildren = VARIANT_FALSE;
  ThrowIfFailed(cursor_->hasChildNodes(&hasChildren));
  if (hasChildren != VARIANT_TRUE) return false;
  platform::ComPtr<IXMLDOMNodeList> children;
  ThrowIfFailed(cursor_->get_childNodes(children.put()));
  if (!children.get()) return false;
  long length = 0;
  ThrowIfFailed(children->get_length(&length));
  for (long i = 0; i < length; ++i) {
    platform::ComPtr<IXMLDOMNode> child;
    ThrowIfFailed(children->nextNode(child.put()));
    if (!child.get()) break;
    platform::UniqueBstr baseName;
    ThrowIfFailed(child->get_baseName(baseName.put()));
    if (BstrText(baseName.get()) == name) {
      setCursor(child.release());
      return true;
    }
  }
  return false;
}

bool CXmlDom::moveToFirstChild() {
  if (!created_ || !cursor_) return false;
  VARIANT_BOOL hasChildren = VARIANT_FALSE;
  ThrowIfFailed(cursor_->hasChildNodes(&hasChildren));
  if (hasChildren != VARIANT_TRUE) return false;
  IXMLDOMNode* child = nullptr;
  ThrowIfFailed(cursor_->get_firstChild(&child));
  if (!child) return false;
  setCursor(child);
  return true;
}

bool CXmlDom::moveToNextSibling() {
  if (!created_ || !cursor_) return false;
  IXMLDOMNode* sibling = nullptr;
  ThrowIfFailed(cursor_->get_nextSibling(&sibling));
  if (!sibling) return false;
  setCursor(sibling);
  return true;
}

bool CXmlDom::isElement() {
  if (!created_ || !cursor_) return false;
  DOMNodeType type = NODE_INVALID;
  ThrowIfFailed(cursor_->get_nodeType(&type));
  return type == NODE_ELEMENT;
}

std::wstring CXmlDom::readAttribute(const std::wstring& name) {
  if (!created_ || !cursor_) return std::wstring();
  platform::ComPtr<IXMLDOMElement> element;
  const HRESULT queried =
      cursor_->QueryInterface(kIidXmlDomElement, reinterpret_cast<void**>(element.put()));
  // A comment or processing instruction has no attributes at all.
  if (queried == E_NOINTERFACE) return std::wstring();
  ThrowIfFailed(queried);
  if (!element.get()) return std::wstring();
  const platform::UniqueBstr attribute = MakeBstr(name);
  Variant value;
  ThrowIfFailed(element->getAttribute(attribute.get(), value.get()));
  if (V_VT(value.get()) != VT_BSTR || !V_BSTR(value.get())) return std::wstring();
  return std::wstring(V_BSTR(value.get()), ::SysStringLen(V_BSTR(value.get())));
}

}  // namespace InstallUtils
