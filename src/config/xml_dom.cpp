#include "config/xml_dom.h"

#include <comdef.h>

#include <atomic>
#include <cstdio>

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

// Owns one COM reference for the length of a call.
template <typename T>
class ComRef {
 public:
  ComRef() = default;
  ~ComRef() {
    if (p_) p_->Release();
  }
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  T** put() { return &p_; }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T* release() {
    T* p = p_;
    p_ = nullptr;
    return p;
  }

 private:
  T* p_ = nullptr;
};

class Bstr {
 public:
  explicit Bstr(const std::wstring& text) : value_(::SysAllocString(text.c_str())) {
    if (!value_) throw _com_error(E_OUTOFMEMORY);
  }
  Bstr() = default;
  ~Bstr() { ::SysFreeString(value_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR get() const { return value_; }
  BSTR* put() { return &value_; }
  std::wstring str() const { return value_ ? std::wstring(value_, ::SysStringLen(value_)) : L""; }

 private:
  BSTR value_ = nullptr;
};

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
  const HRESULT result =
      ::CoCreateInstance(kClsidDomDocument, nullptr, CLSCTX_INPROC_SERVER, kIidXmlDomDocument2,
                         reinterpret_cast<void**>(&document_));
  if (FAILED(result)) document_ = nullptr;
  created_ = SUCCEEDED(result) && document_ != nullptr;
}

CXmlDom::CXmlDom(IXMLDOMDocument2* document) : created_(document != nullptr), document_(document) {}

CXmlDom::~CXmlDom() {
  if (cursor_) cursor_->Release();
  if (rootElement_) rootElement_->Release();
  if (document_) document_->Release();
}

void CXmlDom::setCursor(IXMLDOMNode* node) {
  if (cursor_) cursor_->Release();
  cursor_ = node;
}

bool CXmlDom::loadFile(const std::wstring& path) {
  if (!created_) return false;
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
  Variant source;
  V_VT(source.get()) = VT_BSTR;
  V_BSTR(source.get()) = ::SysAllocString(path.c_str());
  if (!V_BSTR(source.get())) throw _com_error(E_OUTOFMEMORY);
  VARIANT_BOOL success = VARIANT_FALSE;
  ThrowIfFailed(document_->load(*source.get(), &success));

  setCursor(nullptr);
  if (rootElement_) {
    rootElement_->Release();
    rootElement_ = nullptr;
  }
  // Where ProhibitDTD is not honoured (Wine's MSXML takes it and parses on), a declared document
  // type still makes the file malformed, as it is where ProhibitDTD works.
  if (success == VARIANT_TRUE) {
    ComRef<IXMLDOMDocumentType> documentType;
    ThrowIfFailed(document_->get_doctype(documentType.put()));
    if (documentType.get()) return false;
  }
  ThrowIfFailed(document_->get_documentElement(&rootElement_));
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
  Bstr propertyName(name);
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
  ComRef<IXMLDOMNodeList> children;
  ThrowIfFailed(cursor_->get_childNodes(children.put()));
  if (!children.get()) return false;
  long length = 0;
  ThrowIfFailed(children->get_length(&length));
  for (long i = 0; i < length; ++i) {
    ComRef<IXMLDOMNode> child;
    ThrowIfFailed(children->nextNode(child.put()));
    if (!child.get()) break;
    Bstr baseName;
    ThrowIfFailed(child->get_baseName(baseName.put()));
    if (baseName.str() == name) {
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
  ComRef<IXMLDOMElement> element;
  const HRESULT queried =
      cursor_->QueryInterface(kIidXmlDomElement, reinterpret_cast<void**>(element.put()));
  // A comment or processing instruction has no attributes at all.
  if (queried == E_NOINTERFACE) return std::wstring();
  ThrowIfFailed(queried);
  if (!element.get()) return std::wstring();
  Bstr attribute(name);
  Variant value;
  ThrowIfFailed(element->getAttribute(attribute.get(), value.get()));
  if (V_VT(value.get()) != VT_BSTR || !V_BSTR(value.get())) return std::wstring();
  return std::wstring(V_BSTR(value.get()), ::SysStringLen(V_BSTR(value.get())));
}

}  // namespace InstallUtils
