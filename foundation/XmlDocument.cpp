#include "foundation/XmlDocument.h"

#include "foundation/Convert.h"
#include "foundation/Exc.h"

namespace util
{
namespace
{
// MSXML 3 DOMDocument; written out here because <msxml2.h> gives the same name another class.
const CLSID kClsidDomDocument = {0x2933BF90, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

[[noreturn]] void ThrowCom(CComExc e)
{
    if (SUCCEEDED(e.GetHResult()))
        e.SetHResult(E_FAIL);
    throw e;
}

[[noreturn]] void ThrowCom(const std::wstring& text, HRESULT hr)
{
    ThrowCom(CComExc(text, hr));
}

[[noreturn]] void ThrowCom(const std::wstring& pattern, const std::wstring& a1, HRESULT hr)
{
    ThrowCom(CComExc(pattern, a1, hr));
}

// Null interface pointers from the caller are reported, never dereferenced.
void CheckPointer(const void* p)
{
    if (!p)
        throw CComExc(E_POINTER);
}

CVariant StringVariant(const std::wstring& text)
{
    CVariant v;
    V_BSTR(v.get()) = CBstr::Alloc(text);
    V_VT(v.get()) = VT_BSTR;
    return v;
}
}

CXmlDocumentPtr CreateDocument()
{
    CXmlDocumentPtr document;
    const HRESULT hr = CoCreateInstance(kClsidDomDocument, nullptr, CLSCTX_ALL, IID_IXMLDOMDocument,
                                        document.put_void());
    if (FAILED(hr) || !document)
        ThrowCom(L"Cannot create XML document.", hr);
    return document;
}

CXmlDocumentPtr LoadDocument(const std::wstring& path, bool validate)
{
    CXmlDocumentPtr document = CreateDocument();
    HRESULT hr = document->put_validateOnParse(validate ? VARIANT_TRUE : VARIANT_FALSE);
    if (FAILED(hr))
        ThrowCom(L"Cannot disable/enable validation of a XML document against DTD schema.", hr);
    CVariant source = StringVariant(path);
    VARIANT_BOOL loaded = VARIANT_FALSE;
    hr = document->load(*source.get(), &loaded);
    if (hr != S_OK || loaded != VARIANT_TRUE)
        ThrowCom(L"Cannot load the specified XML file: [%1].", path, hr);
    return document;
}

void SaveDocument(IXMLDOMDocument* document, const std::wstring& path)
{
    HRESULT hr = E_POINTER;
    if (document)
    {
        CVariant target = StringVariant(path);
        hr = document->save(*target.get());
    }
    if (hr != S_OK)
        ThrowCom(L"Cannot store a XML document at the specified location: [%1].", path, hr);
}

CXmlNodePtr DocumentNode(IXMLDOMDocument* document)
{
    CXmlNodePtr node;
    const HRESULT hr = document ? document->QueryInterface(IID_IXMLDOMNode, node.put_void()) : E_POINTER;
    if (FAILED(hr) || !node)
        ThrowCom(L"Cannot  query the IXmlDomNode interface at the given IXmlDomDocument object.", hr);
    return node;
}

CXmlDocumentPtr OwnerDocument(IXMLDOMNode* node)
{
    CheckPointer(node);
    CXmlDocumentPtr document;
    const HRESULT hr = node->get_ownerDocument(document.put());
    if (SUCCEEDED(hr) && document)
        return document;
    // The document node has no owner: it is the document.
    if (SUCCEEDED(node->QueryInterface(IID_IXMLDOMDocument, document.put_void())) && document)
        return document;
    ThrowCom(L"The owner of a XML elemen cannot be retrieved.", hr);
}

CXmlElementPtr CreateChildElement(IXMLDOMNode* parent, const std::wstring& tag)
{
    try
    {
        CXmlDocumentPtr document = OwnerDocument(parent);
        CXmlElementPtr element;
        HRESULT hr = document->createElement(CBstr(tag).get(), element.put());
        if (FAILED(hr) || !element)
            ThrowCom(CComExc(hr));
        CXmlNodePtr appended;
        hr = parent->appendChild(element.get(), appended.put());
        if (FAILED(hr))
            ThrowCom(L"Cannot append a node to the child element list.", hr);
        return element;
    }
    catch (CExc& e)
    {
        e.AddMessage(L"Cannot create a child element. Element name: [%1].", tag);
        throw;
    }
}

CXmlElementList EnumChildren(IXMLDOMNode* node, const std::wstring& tag, int maxCount)
{
    try
    {
        CheckPointer(node);
        CComPtr<IXMLDOMNodeList> children;
        HRESULT hr = node->get_childNodes(children.put());
        if (FAILED(hr) || !children)
            ThrowCom(L"Cannot get a collection of child nodes for the given element.", hr);
        long length = 0;
        hr = children->get_length(&length);
        if (FAILED(hr))
            ThrowCom(L"Cannot get the dimensions of a container with XML nodes.", hr);

        CXmlElementList result;
        for (long i = 0; i < length && (maxCount == -1 || static_cast<long>(result.size()) < maxCount); ++i)
        {
            CXmlNodePtr item;
            hr = children->get_item(i, item.put());
            if (FAILED(hr) || !item)
                ThrowCom(L"Cannot retrieve  a XML element  from the child nodes collection by the specified index [%1].",
                         ToDecimal(i), hr);
            CBstr name;
            hr = item->get_nodeName(name.put());
            if (FAILED(hr))
                ThrowCom(L"Cannot get a node's name.", hr);
            // Text and comment nodes are named "#text", "#comment": they never match a tag.
            if (!EqualNoCase(name.Text(), tag))
                continue;
            CXmlElementPtr element;
            hr = item.QueryInterface(IID_IXMLDOMElement, element);
            if (FAILED(hr) || !element)
                ThrowCom(L"The given XML node does not support the IXMLDOMElement interface.", hr);
            result.push_back(element);
        }
        return result;
    }
    catch (CExc& e)
    {
        e.AddMessage(L"Cannot enumerated child nodes having the specified tag [%1].", tag);
        throw;
    }
}

CXmlElementPtr FindChild(IXMLDOMNode* node, const std::wstring& tag)
{
    CXmlElementList found = EnumChildren(node, tag, 1);
    if (found.empty())
        throw CExc(L"There is no child nodes with name [%1].", tag, E_FAIL);
    return found.front();
}

bool HasAttribute(IXMLDOMElement* element, const std::wstring& name)
{
    CVariant value;
    const HRESULT hr = element ? element->getAttribute(CBstr(name).get(), value.put()) : E_POINTER;
    if (hr == S_OK)
        return true;
    if (hr == S_FALSE)
        return false;
    ThrowCom(L"Cannot check whether the attribute value is defined. Attribute name: [%1].", name, hr);
}

void SetAttribute(IXMLDOMElement* element, const std::wstring& name, const std::wstring& value)
{
    HRESULT hr = E_POINTER;
    if (element)
    {
        CVariant text = StringVariant(value);
        hr = element->setAttribute(CBstr(name).get(), *text.get());
    }
    if (FAILED(hr))
        ThrowCom(L"Cannot set a value of the attribute [%1].", name, hr);
}

std::wstring GetAttribute(IXMLDOMElement* element, const std::wstring& name)
{
    CVariant value;
    const HRESULT hr = element ? element->getAttribute(CBstr(name).get(), value.put()) : E_POINTER;
    if (hr != S_OK)
        ThrowCom(L"Cannot get a raw value of the attribute [%1].", name, hr);
    if (value.Type() != VT_BSTR)
        throw CExc(L"Unexpected type of a XML attribute. Attribute name: [%1]. Attribute type: [%2].", name,
                   ToHex(value.Type()), E_FAIL);
    return CBstr::ToText(V_BSTR(value.get()));
}

void SetBoolAttribute(IXMLDOMElement* element, const std::wstring& name, bool value)
{
    SetAttribute(element, name, value ? L"true" : L"false");
}

void SetIntAttribute(IXMLDOMElement* element, const std::wstring& name, long value)
{
    SetAttribute(element, name, ToDecimal(value));
}

void SetVersionAttribute(IXMLDOMElement* element, const std::wstring& name, const SNimboAgentVersion& value)
{
    try
    {
        SetAttribute(element, name, value.ToText());
    }
    catch (CExc& e)
    {
        e.AddMessage(L"Cannot set the value of version attribute. Attribute name: [%1].", name);
        throw;
    }
}

bool GetBoolAttribute(IXMLDOMElement* element, const std::wstring& name)
{
    return EqualNoCase(GetAttribute(element, name), L"true");
}

SNimboAgentVersion GetVersionAttribute(IXMLDOMElement* element, const std::wstring& name)
{
    try
    {
        return SNimboAgentVersion(GetAttribute(element, name));
    }
    catch (CExc& e)
    {
        e.AddMessage(L"Cannot get the value of version attribute. Attribute name: [%1].", name);
        throw;
    }
}
}
