#include <gtest/gtest.h>

#include <functional>

#include "foundation/XmlDocument.h"
#include "tests/foundation/FilesTestSupport.h"

using namespace util;
using namespace filestest;

namespace
{
class Xml : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)); }
    void TearDown() override { CoUninitialize(); }

    // Saves `text` as a file and loads it as a document.
    CXmlDocumentPtr Parse(const std::string& text)
    {
        const std::wstring path = m_dir / (L"doc" + std::to_wstring(++m_files) + L".xml");
        WriteTextFile(path, text);
        return LoadDocument(path, false);
    }

    static CXmlElementPtr Root(const CXmlDocumentPtr& document)
    {
        CXmlElementPtr root;
        EXPECT_HRESULT_SUCCEEDED(document->get_documentElement(root.put()));
        return root;
    }

    CScratchFolder m_dir;
    int m_files = 0;
};

std::wstring Tag(IXMLDOMElement* element)
{
    CBstr name;
    element->get_tagName(name.put());
    return name.Text();
}
}

TEST_F(Xml, RoundTripKeepsTreeAndTypedAttributes)
{
    CXmlDocumentPtr document = CreateDocument();
    CXmlElementPtr root = CreateChildElement(DocumentNode(document.get()).get(), L"GuestAgentConfig");
    SetAttribute(root.get(), L"ServiceName", L"Agent \"<&>\" \x00e9\x4e2d");
    SetAttribute(root.get(), L"Empty", L"");
    CXmlElementPtr plugins = CreateChildElement(root.get(), L"PluginsCnt");
    SetAttribute(CreateChildElement(plugins.get(), L"Plugin").get(), L"Path", L"first.dll");
    SetAttribute(CreateChildElement(plugins.get(), L"Plugin").get(), L"Path", L"second.dll");
    CXmlElementPtr ports = CreateChildElement(root.get(), L"PortsCfg");
    SetBoolAttribute(ports.get(), L"UseDynPort", false);
    SetIntAttribute(ports.get(), L"StaticPort", 2010);
    SetIntAttribute(ports.get(), L"Negative", -42);
    SetVersionAttribute(ports.get(), L"AgentVersion", SNimboAgentVersion(5, 0, 0, 123));

    const std::wstring path = m_dir / L"saved.xml";
    SaveDocument(document.get(), path);

    CXmlDocumentPtr loaded = LoadDocument(path, false);
    CXmlElementPtr loadedRoot = Root(loaded);
    ASSERT_TRUE(loadedRoot);
    EXPECT_EQ(Tag(loadedRoot.get()), L"GuestAgentConfig");
    EXPECT_EQ(GetAttribute(loadedRoot.get(), L"ServiceName"), L"Agent \"<&>\" \x00e9\x4e2d");
    EXPECT_EQ(GetAttribute(loadedRoot.get(), L"Empty"), L"");
    CXmlElementList found = EnumChildren(FindChild(loadedRoot.get(), L"PluginsCnt").get(), L"Plugin");
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(GetAttribute(found[0].get(), L"Path"), L"first.dll");
    EXPECT_EQ(GetAttribute(found[1].get(), L"Path"), L"second.dll");
    CXmlElementPtr loadedPorts = FindChild(loadedRoot.get(), L"PortsCfg");
    EXPECT_EQ(GetAttribute(loadedPorts.get(), L"UseDynPort"), L"false");
    EXPECT_FALSE(GetBoolAttribute(loadedPorts.get(), L"UseDynPort"));
    EXPECT_EQ(GetAttribute(loadedPorts.get(), L"StaticPort"), L"2010");
    EXPECT_EQ(GetAttribute(loadedPorts.get(), L"Negative"), L"-42");
    EXPECT_EQ(GetAttribute(loadedPorts.get(), L"AgentVersion"), L"5.0.0.123");
    EXPECT_EQ(GetVersionAttribute(loadedPorts.get(), L"AgentVersion"), SNimboAgentVersion(5, 0, 0, 123));

    // The owner of a loaded element is the loaded document.
    EXPECT_EQ(Tag(Root(OwnerDocument(loadedPorts.get())).get()), L"GuestAgentConfig");
}

TEST_F(Xml, ChildLookupIgnoresCaseKeepsOrderAndSkipsOtherNodes)
{
    CXmlDocumentPtr document = Parse(
        "<Root>text<!-- Agent --><Agent n='1'/><other/>\n<AGENT n='2'/><agent n='3'><Agent n='inner'/></agent>"
        "<![CDATA[Agent]]></Root>");
    CXmlElementPtr root = Root(document);
    ASSERT_TRUE(root);

    struct SCase
    {
        const wchar_t* tag;
        int max;
        std::vector<std::wstring> numbers;
    };
    const SCase cases[] = {
        {L"agent", -1, {L"1", L"2", L"3"}},
        {L"Agent", 2, {L"1", L"2"}},
        {L"aGeNt", 1, {L"1"}},
        {L"agent", 0, {}},
        {L"agent", -2, {}},  // only -1 means all
        {L"missing", -1, {}},
        {L"", -1, {}},
    };
    for (const SCase& c : cases)
    {
        std::vector<std::wstring> numbers;
        for (const CXmlElementPtr& e : EnumChildren(root.get(), c.tag, c.max))
            numbers.push_back(GetAttribute(e.get(), L"n"));
        EXPECT_EQ(numbers, c.numbers) << c.tag << " max " << c.max;
    }

    EXPECT_EQ(GetAttribute(FindChild(root.get(), L"AGENT").get(), L"n"), L"1");
    EXPECT_EQ(Tag(FindChild(Root(document).get(), L"OTHER").get()), L"other");
    CExc e = Raised([&] { FindChild(root.get(), L"Plugin"); });
    EXPECT_EQ(e.GetHResult(), E_FAIL);
    EXPECT_EQ(Sentences(e), std::vector<std::wstring>{L"There is no child nodes with name [Plugin]."});

    // A processing instruction is named after its target and so can carry the tag; it is no
    // element and is reported as such.
    CXmlElementPtr withInstruction = Root(Parse("<Root><?Agent data?><Agent/></Root>"));
    CExc pi = Raised([&] { EnumChildren(withInstruction.get(), L"agent"); });
    EXPECT_TRUE(FAILED(pi.GetHResult()));
    std::vector<std::wstring> s = Sentences(pi);
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[0], L"Cannot enumerated child nodes having the specified tag [agent].");
    EXPECT_EQ(s[1], L"The given XML node does not support the IXMLDOMElement interface.");
}

TEST_F(Xml, AttributeReadsOfTextBooleansAndVersions)
{
    CXmlElementPtr root = Root(Parse(
        "<r t1='true' t2='TRUE' t3='True' f1='1' f2='yes' f3='' f4=' true' f5='false' f6='truex' v='1.2.3'/>"));
    ASSERT_TRUE(root);
    for (const wchar_t* name : {L"t1", L"t2", L"t3"})
        EXPECT_TRUE(GetBoolAttribute(root.get(), name)) << name;
    for (const wchar_t* name : {L"f1", L"f2", L"f3", L"f4", L"f5", L"f6"})
        EXPECT_FALSE(GetBoolAttribute(root.get(), name)) << name;

    EXPECT_TRUE(HasAttribute(root.get(), L"t1"));
    EXPECT_TRUE(HasAttribute(root.get(), L"f3"));
    EXPECT_FALSE(HasAttribute(root.get(), L"absent"));
    EXPECT_FALSE(HasAttribute(root.get(), L"T1")) << "attribute names keep their case";

    CExc absent = Raised([&] { GetAttribute(root.get(), L"absent"); });
    EXPECT_EQ(absent.GetHResult(), E_FAIL) << "an absent attribute must not look like success";
    std::vector<std::wstring> s = Sentences(absent);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0], L"Cannot get a raw value of the attribute [absent].");
    EXPECT_EQ(s[1].substr(s[1].size() - 10), L" Code: 0x1");

    CExc badBool = Raised([&] { GetBoolAttribute(root.get(), L"absent"); });
    EXPECT_EQ(FirstSentence(badBool), L"Cannot get a raw value of the attribute [absent].");

    CExc badVersion = Raised([&] { GetVersionAttribute(root.get(), L"v"); });
    EXPECT_EQ(badVersion.GetHResult(), E_FAIL);
    EXPECT_EQ(Sentences(badVersion), (std::vector<std::wstring>{
                                         L"Cannot get the value of version attribute. Attribute name: [v].",
                                         L"Cannot unserialize a version string. Specified string: [1.2.3]."}));
}

TEST_F(Xml, LoadAndSaveFailuresNameTheFile)
{
    struct SCase
    {
        const char* content;  // nullptr: no file at all
        const wchar_t* name;
    };
    const SCase cases[] = {
        {nullptr, L"missing.xml"},
        {"<Root><Unclosed></Root>", L"broken.xml"},
        {"", L"empty.xml"},
        {"plain text", L"text.xml"},
    };
    for (const SCase& c : cases)
    {
        const std::wstring path = m_dir / c.name;
        if (c.content)
            WriteTextFile(path, c.content);
        CExc e = Raised([&] { LoadDocument(path, false); });
        EXPECT_TRUE(FAILED(e.GetHResult())) << c.name << " gave " << e.GetHResult();
        EXPECT_EQ(FirstSentence(e), L"Cannot load the specified XML file: [" + path + L"].") << c.name;
    }

    // Validation against a DTD is switched on only when asked for.
    const std::wstring valid = m_dir / L"valid.xml";
    WriteTextFile(valid, "<!DOCTYPE r [<!ELEMENT r EMPTY>]><r/>");
    for (bool validate : {false, true})
    {
        VARIANT_BOOL validating = 2;
        ASSERT_HRESULT_SUCCEEDED(LoadDocument(valid, validate)->get_validateOnParse(&validating));
        EXPECT_EQ(validating, validate ? VARIANT_TRUE : VARIANT_FALSE);
    }

    CXmlDocumentPtr document = CreateDocument();
    CreateChildElement(DocumentNode(document.get()).get(), L"Root");
    const std::wstring unreachable = m_dir / L"no\\folder\\out.xml";
    CExc e = Raised([&] { SaveDocument(document.get(), unreachable); });
    EXPECT_TRUE(FAILED(e.GetHResult()));
    EXPECT_EQ(FirstSentence(e), L"Cannot store a XML document at the specified location: [" + unreachable + L"].");
}
