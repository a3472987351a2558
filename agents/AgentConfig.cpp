#include "agents/AgentConfig.h"
#include "agents/AgentError.h"
#include "deploy/AgentConfigFormat.h"
#include "foundation/ComTypes.h"

#include <msxml.h>

#include <cwchar>

namespace agent
{
const wchar_t* const CAgentConfig::FileName = agentconfig::FileName;

namespace
{
using util::CBstr;
template <class T> using ComPtr = util::CComPtr<T>;

CBstr MakeBstr(const std::wstring& text)
{
    CBstr result(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
    if (!result.get())
        throw CAgentError(EAgentExit::StartupFailed, L"Out of memory while reading the configuration.",
                          static_cast<DWORD>(E_OUTOFMEMORY));
    return result;
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
                                      document.put_void());
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
        if (SUCCEEDED(document->get_parseError(parseError.put())) && parseError)
        {
            CBstr text;
            if (parseError->get_reason(text.put()) == S_OK)
                reason = text.Text();
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
        if (document->get_documentElement(root.put()) != S_OK || !root)
            Fail(L"The document has no root element.");
        std::wstring rootName = TagName(root.get());
        if (rootName != agentconfig::RootTag)
            Fail(L"The root element is [" + rootName + L"], expected [" + agentconfig::RootTag + L"].");

        if (!Attribute(root.get(), agentconfig::ServiceNameAttribute, config.m_serviceName) ||
            config.m_serviceName.empty())
            Fail(std::wstring(L"The element [") + agentconfig::RootTag + L"] has no " +
                 agentconfig::ServiceNameAttribute + L" attribute.");

        ComPtr<IXMLDOMElement> plugins = Child(root.get(), agentconfig::PluginsTag);
        ReadPlugins(plugins.get(), config.m_plugins);

        ComPtr<IXMLDOMElement> ports = Child(root.get(), agentconfig::PortsTag);
        config.m_ports = ReadPorts(ports.get());
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
        return name.Text();
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
        parent->get_firstChild(node.put());
        while (node)
        {
            DOMNodeType type = NODE_INVALID;
            ComPtr<IXMLDOMElement> element;
            if (node->get_nodeType(&type) == S_OK && type == NODE_ELEMENT &&
                SUCCEEDED(node->QueryInterface(IID_IXMLDOMElement,
                                               element.put_void())))
                result.push_back(element);
            ComPtr<IXMLDOMNode> next;
            node->get_nextSibling(next.put());
            node = next;
        }
        return result;
    }

    ComPtr<IXMLDOMElement> Child(IXMLDOMElement* parent, const wchar_t* name)
    {
        for (auto& element : ChildElements(parent))
            if (TagName(element.get()) == name)
                return element;
        Fail(std::wstring(L"The element [") + name + L"] is missing.");
    }

    void ReadPlugins(IXMLDOMElement* container, std::vector<std::wstring>& plugins)
    {
        for (auto& element : ChildElements(container))
        {
            // Unknown elements are left for newer agents.
            if (TagName(element.get()) != agentconfig::PluginTag)
                continue;
            std::wstring path;
            if (!Attribute(element.get(), agentconfig::PathAttribute, path) || path.empty())
                Fail(L"Plugin number " + std::to_wstring(plugins.size() + 1) + L" has no " +
                     agentconfig::PathAttribute + L" attribute.");
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
        if (!Attribute(element, agentconfig::UseDynPortAttribute, useDyn))
            Fail(std::wstring(L"The element [") + agentconfig::PortsTag + L"] has no " +
                 agentconfig::UseDynPortAttribute + L" attribute.");
        if (useDyn == L"true")
            ports.useDynPort = true;
        else if (useDyn == L"false")
            ports.useDynPort = false;
        else
            Fail(L"UseDynPort is [" + useDyn + L"], expected [true] or [false].");
        if (ports.useDynPort)
            return ports;   // a StaticPort left over from an earlier setting does not matter

        std::wstring port;
        if (!Attribute(element, agentconfig::StaticPortAttribute, port))
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
    reader.CheckLoaded(document.get(), hr, loaded);
    return reader.Read(document.get());
}

CAgentConfig CAgentConfig::Parse(const std::wstring& xml, const std::wstring& origin)
{
    CAgentConfigReader reader(origin);
    ComPtr<IXMLDOMDocument> document = reader.NewDocument();
    CBstr text = MakeBstr(xml);
    VARIANT_BOOL loaded = VARIANT_FALSE;
    HRESULT hr = document->loadXML(text.get(), &loaded);
    reader.CheckLoaded(document.get(), hr, loaded);
    return reader.Read(document.get());
}
}
