#pragma once
// Reading and writing the agents' XML configuration files through the DOM document of
// MSXML 3. Every failed DOM call becomes a CComExc whose sentence names the step; callers put
// their own sentence in front. The calling thread must have initialised COM.
//
// A failed call that MSXML reports with the success code S_FALSE (an unparsable file, an
// absent attribute) keeps that code in the COM line of the exception but carries E_FAIL as its
// HRESULT, so the failure can never reach a COM caller looking like success.

#include <windows.h>
#include <msxml.h>
#include <string>
#include <vector>

#include "foundation/AgentVersion.h"
#include "foundation/ComTypes.h"

namespace util
{
using CXmlDocumentPtr = CComPtr<IXMLDOMDocument>;
using CXmlNodePtr = CComPtr<IXMLDOMNode>;
using CXmlElementPtr = CComPtr<IXMLDOMElement>;
using CXmlElementList = std::vector<CXmlElementPtr>;

// Documents. An element converts to IXMLDOMNode*, so every node operation takes elements too.
CXmlDocumentPtr CreateDocument();
// `validate`: check the document against its DTD while parsing.
CXmlDocumentPtr LoadDocument(const std::wstring& path, bool validate);
void SaveDocument(IXMLDOMDocument* document, const std::wstring& path);
// The document as a node, to append the root element to.
CXmlNodePtr DocumentNode(IXMLDOMDocument* document);
// The document a node belongs to; for the document node itself, the document.
CXmlDocumentPtr OwnerDocument(IXMLDOMNode* node);

// Elements. Tags are matched without regard to case.
CXmlElementPtr CreateChildElement(IXMLDOMNode* parent, const std::wstring& tag);
// Child elements with the tag, in document order; at most `maxCount` of them (-1: all; any
// other negative count: none).
CXmlElementList EnumChildren(IXMLDOMNode* node, const std::wstring& tag, int maxCount = -1);
// The first child element with the tag; raises when there is none.
CXmlElementPtr FindChild(IXMLDOMNode* node, const std::wstring& tag);

// Attributes, stored as text: "true"/"false", decimal integers, dotted four-part versions.
bool HasAttribute(IXMLDOMElement* element, const std::wstring& name);
void SetAttribute(IXMLDOMElement* element, const std::wstring& name, const std::wstring& value);
// Raises for an absent attribute: ask HasAttribute first when the attribute is optional.
std::wstring GetAttribute(IXMLDOMElement* element, const std::wstring& name);
void SetBoolAttribute(IXMLDOMElement* element, const std::wstring& name, bool value);
void SetIntAttribute(IXMLDOMElement* element, const std::wstring& name, long value);
void SetVersionAttribute(IXMLDOMElement* element, const std::wstring& name, const SNimboAgentVersion& value);
// True exactly for "true" in any case; "1", "yes" and anything else are false.
bool GetBoolAttribute(IXMLDOMElement* element, const std::wstring& name);
SNimboAgentVersion GetVersionAttribute(IXMLDOMElement* element, const std::wstring& name);
}
