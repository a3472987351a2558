#include "agents/AgentConfig.h"
#include "agents/AgentError.h"
#include "foundation/Handle.h"

#include <msxml.h>
#include <wrl/client.h>

#include <cwchar>

using Microsoft::WRL::ComPtr;

namespace agent
{
const wchar_t* const CAgentConfig::FileName = L"NimboAgentConfig.xml";

namespace
{
using CBstr = util::CUniqueAny<BSTR, &::SysFreeString>;

CBstr MakeBstr(const std::wstring& text)
{
    CBstr result(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
    if (!result)
        throw CAgentError(EAgentExit::StartupFailed, L"Out of memory while reading the configuration.",
                          static_cast<DWORD>(E_OUTOFMEMORY));
    return result;
}

std::wstring FromBstr(const CBstr& text)
{
    return text ? std::wstring(text.get(), SysStringLen(text.get())) : std::wstring();
}
}

// Walks the DOM; every complaint names the file so that a log line alone says what to fix.
class CAgentConfigReader
{
public:
    explicit CAgentConfigReader(std::wstring origin) : m_origin(std::move(origin)) {}

    ComPtr<IXMLDOMDocument> NewDocument()
    {
        ComPtr<IXMLDOMDocument> document;
        HRESULT hr = CoCreateInstance(CLSID_DOMDocument, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IXMLDOMDocument,
                                      reinterpret_cast<void**>(document.GetAddressOf()));
        if (FAILED(hr))
            Fail(L"The XML parser is unavailable.", static_cast<DWORD>(hr));
        document->put_async(VARIANT_FALSE);
        document->put_validateOnParse(VARIANT_FALSE);
        document->put_resolveExternals(VARIANT_FALSE);
        return document;
    }

    // `loaded` is what load/loadXML returned; on a parse failure the parser's reason is quoted.
    void CheckLoaded(IXMLDOMDocument* document, HRESULT hr, VARIANT_BOOL loaded)
    {
        if (SUCCEEDED(hr) && loaded == VARIANT_TRUE)
            return;
        std::wstring reason;
        long line = 0;
        long code = static_cast<long>(hr);
        ComPtr<IXMLDOMParseError> parseError;
        if (SUCCEEDED(document->get_parseError(parseError.GetAddressOf())) && parseError)
        {
            CBstr text;
            if (parseError->get_reason(text.put()) == S_OK)
                reason = FromBstr(text);
            parseError->get_line(&line);
            parseError->get_errorCode(&code);
        }
        while (!reason.empty() && (reason.back() == L'\n' || reason.back() == L'\r' || reason.back() == L' '))
            reason.pop_back();
        std::wstring text = L"The document is not well-formed XML";
        if (line > 0)
            text += L" (line " + std::to_wstring(line) + L")";
        text += reason.empty() ? L"." : L": " + reason;
        Fail(text, static_cast<DWORD>(code));
    }

    CAgentConfig Read(IXMLDOMDocument* document)
    {
        CAgentConfig config;
        ComPtr<IXMLDOMElement> root;
        if (document->get_documentElement(root.GetAddressOf()) != S_OK || !root)
            Fail(L"The document has no root element.");
        std::wstring rootName = TagName(root.Get());
        if (rootName != L"GuestAgentConfig")
            Fail(L"The root element is [" + rootName + L"], expected [GuestAgentConfig].");

        if (!Attribute(root.Get(), L"ServiceName", config.m_serviceName) ||
            config.m_serviceName.empty())
            Fail(L"The element [GuestAgentConfig] has no ServiceName attribute.");

        ComPtr<IXMLDOMElement> plugins = Child(root.Get(), L"PluginsCnt");
        ReadPlugins(plugins.Get(), config.m_plugins);

        ComPtr<IXMLDOMElement> ports = Child(root.Get(), L"PortsCfg");
        config.m_ports = ReadPorts(ports.Get());
        return config;
    }

    [[noreturn]] void Fail(const std::wstring& what, DWORD error = 0)
    {
        throw CAgentError(EAgentExit::ConfigUnreadable,
                          L"The agent's configuration [" + m_origin + L"] cannot be used. " + what,
                          error);
    }

private:
    std::wstring TagName(IXMLDOMElement* element)
    {
        CBstr name;
        if (element->get_tagName(name.put()) != S_OK)
            Fail(L"An element name cannot be read.");
        return FromBstr(name);
    }

    // False when the attribute is absent (MSXML answers S_FALSE then).
    bool Attribute(IXMLDOMElement* element, const wchar_t* name, std::wstring& value)
    {
        CBstr bstrName = MakeBstr(name);
        VARIANT v;
        VariantInit(&v);
        HRESULT hr = element->getAttribute(bstrName.get(), &v);
        if (hr != S_OK || v.vt != VT_BSTR)
        {
            VariantClear(&v);
            return false;
        }
        value.assign(v.bstrVal, SysStringLen(v.bstrVal));
        VariantClear(&v);
        return true;
    }

    // The child elements of `parent` in document order; text, comments and the like are skipped.
    std::vector<ComPtr<IXMLDOMElement>> ChildElements(IXMLDOMElement* parent)
    {
        std::vector<ComPtr<IXMLDOMElement>> result;
        ComPtr<IXMLDOMNode> node;
        parent->get_firstChild(node.GetAddressOf());
        while (node)
        {
            DOMNodeType type = NODE_INVALID;
            ComPtr<IXMLDOMElement> element;
            if (node->get_nodeType(&type) == S_OK && type == NODE_ELEMENT &&
                SUCCEEDED(node->QueryInterface(IID_IXMLDOMElement,
                                               reinterpret_cast<void**>(element.GetAddressOf()))))
                result.push_back(element);
            ComPtr<IXMLDOMNode> next;
            node->get_nextSibling(next.GetAddressOf());
            node = next;
        }
        return result;
    }

    ComPtr<IXMLDOMElement> Child(IXMLDOMElement* parent, const wchar_t* name)
    {
        for (auto& element : ChildElements(parent))
            if (TagName(element.Get()) == name)
                return element;
        Fail(std::wstring(L"The element [") + name + L"] is missing.");
    }

    void ReadPlugins(IXMLDOMElement* container, std::vector<std::wstring>& plugins)
    {
        for (auto& element : ChildElements(container))
        {
            // Unknown elements are left for newer agents.
            if (TagName(element.Get()) != L"Plugin")
                continue;
            std::wstring path;
            if (!Attribute(element.Get(), L"Path", path) || path.empty())
                Fail(L"Plugin number " + std::to_wstring(plugins.size() + 1) +
                     L" has no Path attribute.");
            for (const auto& known : plugins)
                if (_wcsicmp(known.c_str(), path.c_str()) == 0)
                    Fail(L"The plugin [" + path + L"] is listed twice.");
            plugins.push_back(path);
        }
    }

    SAgentPortsCfg ReadPorts(IXMLDOMElement* element)
    {
        SAgentPortsCfg ports;
        std::wstring useDyn;
        if (!Attribute(element, L"UseDynPort", useDyn))
            Fail(L"The element [PortsCfg] has no UseDynPort attribute.");
        if (useDyn == L"true")
            ports.useDynPort = true;
        else if (useDyn == L"false")
            ports.useDynPort = false;
        else
            Fail(L"UseDynPort is [" + useDyn + L"], expected [true] or [false].");
        if (ports.useDynPort)
            return ports;   // a StaticPort left over from an earlier setting does not matter

        std::wstring port;
        if (!Attribute(element, L"StaticPort", port))
            Fail(L"UseDynPort is [false] but the element [PortsCfg] has no StaticPort attribute.");
        unsigned long value = 0;
        bool digits = !port.empty() && port.size() <= 5;
        for (wchar_t c : port)
        {
            if (c < L'0' || c > L'9')
                digits = false;
            else
                value = value * 10 + (c - L'0');
        }
        if (!digits || value == 0 || value > 65535)
            Fail(L"StaticPort is [" + port + L"], expected a TCP port number from 1 to 65535.");
        ports.staticPort = value;
        return ports;
    }

    std::wstring m_origin;
};

CAgentConfig CAgentConfig::Load(const std::wstring& path)
{
    CAgentConfigReader reader(path);
    // Checked first: the parser's own answer for a missing file is vague.
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
    {
        DWORD error = GetLastError();
        reader.Fail(L"The file cannot be found.", error);
    }
    ComPtr<IXMLDOMDocument> document = reader.NewDocument();
    VARIANT source;
    VariantInit(&source);
    CBstr bstrPath = MakeBstr(path);
    source.vt = VT_BSTR;
    source.bstrVal = bstrPath.get();   // still owned by bstrPath
    VARIANT_BOOL loaded = VARIANT_FALSE;
    HRESULT hr = document->load(source, &loaded);
    reader.CheckLoaded(document.Get(), hr, loaded);
    return reader.Read(document.Get());
}

CAgentConfig CAgentConfig::Parse(const std::wstring& xml, const std::wstring& origin)
{
    CAgentConfigReader reader(origin);
    ComPtr<IXMLDOMDocument> document = reader.NewDocument();
    CBstr text = MakeBstr(xml);
    VARIANT_BOOL loaded = VARIANT_FALSE;
    HRESULT hr = document->loadXML(text.get(), &loaded);
    reader.CheckLoaded(document.Get(), hr, loaded);
    return reader.Read(document.Get());
}
}
