// A thin owner of one MSXML DOM document with a cursor on one of its nodes. Failed COM calls are
// raised as _com_error carrying the HRESULT.
#pragma once

#include <windows.h>

#include <msxml2.h>

#include <string>

#include "platform/unique_handle.h"

namespace InstallUtils {

// IXMLDOMDocument2, for whoever implements it.
extern const IID kIidXmlDomDocument2;

class CXmlDom {
 public:
  // Creates the MSXML DOMDocument; created() tells whether that worked.
  CXmlDom();
  // Takes over one reference to `document` (created() is false for nullptr): for tests that
  // must see the calls made on a document, which MSXML does not tell.
  explicit CXmlDom(IXMLDOMDocument2* document);
  virtual ~CXmlDom();
  CXmlDom(const CXmlDom&) = delete;
  CXmlDom& operator=(const CXmlDom&) = delete;

  bool created() const { return created_; }

  // Loads the file synchronously and inert (no document type declaration, nothing external
  // fetched or validated); false when it is missing, does not parse or declares a document
  // type. The cursor is then on the document element (or on nothing).
  bool loadFile(const std::wstring& path);
  // The same for a document already read into memory: nothing is opened by name.
  bool loadBytes(const std::string& bytes);
  // Puts the cursor on the document element; false (cursor unchanged) when there is none.
  bool moveToRoot();
  // Moves the cursor to its first child whose base name is `name` (ordinal comparison).
  bool selectChild(const std::wstring& name);
  bool moveToFirstChild();
  bool moveToNextSibling();
  // True when the cursor is on an element (not a comment, processing instruction or text).
  bool isElement();
  // The string value of attribute `name` of the cursor element; empty when absent, not a string,
  // or when the cursor is not on an element.
  std::wstring readAttribute(const std::wstring& name);

 private:
  void setCursor(IXMLDOMNode* node);
  // Sets the document up for an inert synchronous load, loads `source` and puts the cursor on
  // the document element.
  bool load(VARIANT& source);
  // setProperty with a VT_BOOL value; the answer of MSXML.
  HRESULT setBooleanProperty(const wchar_t* name, bool value);

  bool created_ = false;
  platform::ComPtr<IXMLDOMDocument2> document_;
  platform::ComPtr<IXMLDOMElement> rootElement_;
  platform::ComPtr<IXMLDOMNode> cursor_;
};

}  // namespace InstallUtils
