#include "agents/console/RcSettings.h"

#include "agents/AgentError.h"
#include "console/RcAgentConfigFormat.h"
#include "foundation/ComTypes.h"

#include <msxml.h>

#include <algorithm>
#include <cwchar>

namespace agent
{
namespace
{
using util::CBstr;
template <class T> using ComPtr = util::CComPtr<T>;

// Walks the document; every complaint names the file so that the log line alone says what
// to fix on the guest.
class CReader
{
public:
    explicit CReader(const std::wstring& path) : m_path(path) {}

    [[noreturn]] void Fail(const std::wstring& what, DWORD error = 0) const
    {
        throw CAgentError(EAgentExit::ConfigUnreadable,
                          L"The console configuration [" + m_path + L"] cannot be used. " + what, error);
    }

    ComPtr<IXMLDOMElement> LoadRoot()
    {
        if (GetFileAttributesW(m_path.c_str()) == INVALID_FILE_ATTRIBUTES)
        {
            const DWORD error = GetLastError();
            Fail(L"The file cannot be found.", error);
        }
        ComPtr<IXMLDOMDocument> document;
        HRESULT hr = CoCreateInstance(CLSID_DOMDocument, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument,
                                      document.put_void());
        if (FAILED(hr))
            Fail(L"The XML parser is unavailable.", static_cast<DWORD>(hr));
        document->put_async(VARIANT_FALSE);
        document->put_resolveExternals(VARIANT_FALSE);
        CBstr path(SysAllocString(m_path.c_str()));
        VARIANT source;
        VariantInit(&source);
        source.vt = VT_BSTR;
        source.bstrVal = path.get();   // still owned by path
        VARIANT_BOOL loaded = VARIANT_FALSE;
        hr = document->load(source, &loaded);
        if (FAILED(hr) || loaded != VARIANT_TRUE)
            Fail(L"The document is not well-formed XML.", static_cast<DWORD>(FAILED(hr) ? hr : E_FAIL));
        ComPtr<IXMLDOMElement> root;
        if (document->get_documentElement(root.put()) != S_OK || !root || Name(root.get()) != rcconfig::RootTag)
            Fail(std::wstring(L"The root element is not [") + rcconfig::RootTag + L"].");
        return root;
    }

    std::wstring Name(IXMLDOMElement* element) const
    {
        CBstr name;
        if (element->get_tagName(name.put()) != S_OK)
            Fail(L"An element name cannot be read.");
        return name.Text();
    }

    // A missing attribute is an error: the library always writes all of them.
    std::wstring Attribute(IXMLDOMElement* element, const wchar_t* name) const
    {
        CBstr bstrName(SysAllocString(name));
        util::CVariant value;
        if (element->getAttribute(bstrName.get(), value.put()) != S_OK || value.Type() != VT_BSTR)
            Fail(L"The element [" + Name(element) + L"] has no " + name + L" attribute.");
        return CBstr::ToText(value.get()->bstrVal);
    }

    SRcVersion Version(IXMLDOMElement* element) const
    {
        const std::wstring text = Attribute(element, rcconfig::AgentVersionAttribute);
        SRcVersion version;
        if (!SRcVersion::Parse(text, version))
            Fail(L"The version [" + text + L"] is not four dotted numbers.");
        return version;
    }

    // Child elements in document order, text and comments skipped.
    std::vector<ComPtr<IXMLDOMElement>> Children(IXMLDOMElement* parent, const wchar_t* name) const
    {
        std::vector<ComPtr<IXMLDOMElement>> result;
        ComPtr<IXMLDOMNode> node;
        parent->get_firstChild(node.put());
        while (node)
        {
            ComPtr<IXMLDOMElement> element;
            if (SUCCEEDED(node->QueryInterface(IID_IXMLDOMElement, element.put_void())) && element &&
                Name(element.get()) == name)
                result.push_back(element);
            ComPtr<IXMLDOMNode> next;
            node->get_nextSibling(next.put());
            node = next;
        }
        return result;
    }

    ComPtr<IXMLDOMElement> Child(IXMLDOMElement* parent, const wchar_t* name) const
    {
        auto children = Children(parent, name);
        if (children.empty())
            Fail(std::wstring(L"The element [") + name + L"] is missing.");
        return children.front();
    }

private:
    std::wstring m_path;
};
}

bool SRcVersion::Parse(const std::wstring& text, SRcVersion& version)
{
    unsigned short* parts[] = {&version.major, &version.minor, &version.revision, &version.build};
    size_t at = 0;
    for (size_t i = 0; i < 4; ++i)
    {
        if (i > 0 && (at >= text.size() || text[at++] != L'.'))
            return false;
        unsigned long value = 0;
        const size_t start = at;
        while (at < text.size() && text[at] >= L'0' && text[at] <= L'9' && at - start < 5)
            value = value * 10 + (text[at++] - L'0');
        if (at == start || value > 65535)
            return false;
        *parts[i] = static_cast<unsigned short>(value);
    }
    return at == text.size();
}

std::wstring SRcVersion::Text() const
{
    return std::to_wstring(major) + L"." + std::to_wstring(minor) + L"." + std::to_wstring(revision) + L"." +
           std::to_wstring(build);
}

bool SRcVersion::operator<(const SRcVersion& o) const noexcept
{
    if (major != o.major)
        return major < o.major;
    if (minor != o.minor)
        return minor < o.minor;
    if (revision != o.revision)
        return revision < o.revision;
    return build < o.build;
}

bool SRcVersion::operator==(const SRcVersion& o) const noexcept
{
    return !(*this < o) && !(o < *this);
}

SRcSettings SRcSettings::Load(const std::wstring& path)
{
    CReader reader(path);
    auto root = reader.LoadRoot();
    SRcSettings settings;
    settings.serviceName = reader.Attribute(root.get(), rcconfig::RpcSvcNameAttribute);
    const std::wstring autoUninstall = reader.Attribute(root.get(), rcconfig::AutoUninstallAttribute);
    if (autoUninstall != L"true" && autoUninstall != L"false")
        reader.Fail(L"AutoUninstall is [" + autoUninstall + L"], expected [true] or [false].");
    settings.autoUninstall = autoUninstall == L"true";

    auto versioning = reader.Child(root.get(), rcconfig::VersioningTag);
    settings.version = reader.Version(versioning.get());
    auto list = reader.Child(versioning.get(), rcconfig::CompatibilityListTag);
    for (auto& entry : reader.Children(list.get(), rcconfig::EntryTag))
        settings.compatibility.push_back(reader.Version(entry.get()));
    std::sort(settings.compatibility.begin(), settings.compatibility.end());
    settings.compatibility.erase(std::unique(settings.compatibility.begin(), settings.compatibility.end()),
                                 settings.compatibility.end());

    auto startup = reader.Child(root.get(), rcconfig::StartupTag);
    settings.relativePath = reader.Attribute(startup.get(), rcconfig::RelativePathAttribute);
    settings.cmdLine = reader.Attribute(startup.get(), rcconfig::CmdLineAttribute);
    settings.workingDir = reader.Attribute(startup.get(), rcconfig::WorkingDirAttribute);
    return settings;
}
}
