#include <gtest/gtest.h>

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

    // The root element of `text`, saved as a file and loaded.
    CXmlElementPtr Parse(const std::string& text)
    {
        const std::wstring path = m_dir / (L"doc" + std::to_wstring(++m_files) + L".xml");
        WriteTextFile(path, text);
        return Root(LoadDocument(path, false));
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

TEST_F(Xml, SavedDocumentLoadsWithItsTreeAndTypedAttributes)
{
    CXmlDocumentPtr document = CreateDocument();
    CXmlElementPtr root = CreateChildElement(DocumentNode(document.get()).get(), L"GuestAgentConfig");
    SetAttribute(root.get(), L"ServiceName", L"Agent \"<&>\" \x00e9\x4e2d");
    SetAttribute(root.get(), L"Empty", L"");
    CXmlElementPtr plugins = CreateChildElement(root.get(), L"PluginsCnt");
    for (const wchar_t* path : {L"first.dll", L"second.dll"})
        SetAttribute(CreateChildElement(plugins.get(), L"Plugin").get(), L"Path", path);
    CXmlElementPtr ports = CreateChildElement(root.get(), L"PortsCfg");
    SetBoolAttribute(ports.get(), L"UseDynPort", false);
    SetIntAttribute(ports.get(), L"StaticPort", 2010);
    SetIntAttribute(ports.get(), L"Negative", -42);
    SetVersionAttribute(ports.get(), L"AgentVersion", SNimboAgentVersion(5, 0, 0, 123));
    SaveDocument(document.get(), m_dir / L"saved.xml");

    CXmlElementPtr loaded = Root(LoadDocument(m_dir / L"saved.xml", false));
    ASSERT_TRUE(loaded);
    EXPECT_EQ(Tag(loaded.get()), L"GuestAgentConfig");
    CXmlElementList found = EnumChildren(FindChild(loaded.get(), L"PluginsCnt").get(), L"Plugin");
    ASSERT_EQ(found.size(), 2u);
    CXmlElementPtr loadedPorts = FindChild(loaded.get(), L"PortsCfg");
    struct { IXMLDOMElement* element; const wchar_t *name, *text; } values[] = {
        {loaded.get(), L"ServiceName", L"Agent \"<&>\" \x00e9\x4e2d"}, {loaded.get(), L"Empty", L""},
        {found[0].get(), L"Path", L"first.dll"}, {found[1].get(), L"Path", L"second.dll"},
        {loadedPorts.get(), L"UseDynPort", L"false"}, {loadedPorts.get(), L"StaticPort", L"2010"},
        {loadedPorts.get(), L"Negative", L"-42"}, {loadedPorts.get(), L"AgentVersion", L"5.0.0.123"}};
    for (const auto& v : values)
        EXPECT_EQ(GetAttribute(v.element, v.name), v.text) << v.name;
    EXPECT_FALSE(GetBoolAttribute(loadedPorts.get(), L"UseDynPort"));
    EXPECT_EQ(GetVersionAttribute(loadedPorts.get(), L"AgentVersion"), SNimboAgentVersion(5, 0, 0, 123));
    // The owner of a loaded element is the loaded document.
    EXPECT_EQ(Tag(Root(OwnerDocument(loadedPorts.get())).get()), L"GuestAgentConfig");
}

// Child lookups ignore case, keep the document's order and skip other nodes; booleans are
// true for "true" in any case only; an absent attribute fails.
TEST_F(Xml, ChildLookupAndAttributeReads)
{
    CXmlElementPtr root = Parse("<Root>text<!-- Agent --><Agent n='1'/><other/>\n<AGENT n='2'/><agent n='3'>"
                                "<Agent n='inner'/></agent><![CDATA[Agent]]></Root>");
    ASSERT_TRUE(root);
    struct { const wchar_t* tag; int max; std::vector<std::wstring> numbers; } cases[] = {
        {L"agent", -1, {L"1", L"2", L"3"}}, {L"Agent", 2, {L"1", L"2"}}, {L"aGeNt", 1, {L"1"}}, {L"agent", 0, {}},
        {L"agent", -2, {}},  // only -1 means all
        {L"missing", -1, {}}, {L"", -1, {}}};
    for (const auto& c : cases)
    {
        std::vector<std::wstring> numbers;
        for (const CXmlElementPtr& e : EnumChildren(root.get(), c.tag, c.max))
            numbers.push_back(GetAttribute(e.get(), L"n"));
        EXPECT_EQ(numbers, c.numbers) << c.tag << " max " << c.max;
    }
    EXPECT_EQ(GetAttribute(FindChild(root.get(), L"AGENT").get(), L"n"), L"1");
    EXPECT_EQ(Tag(FindChild(root.get(), L"OTHER").get()), L"other");
    CExc e = Raised([&] { FindChild(root.get(), L"Plugin"); });
    EXPECT_EQ(e.GetHResult(), E_FAIL);
    EXPECT_EQ(Sentences(e), std::vector<std::wstring>{L"There is no child nodes with name [Plugin]."});

    // A processing instruction is named after its target and so can carry the tag; it is no
    // element and is reported as such.
    CXmlElementPtr withInstruction = Parse("<Root><?Agent data?><Agent/></Root>");
    CExc pi = Raised([&] { EnumChildren(withInstruction.get(), L"agent"); });
    EXPECT_TRUE(FAILED(pi.GetHResult()));
    std::vector<std::wstring> s = Sentences(pi);
    ASSERT_EQ(s.size(), 3u);
    s.resize(2);
    EXPECT_EQ(s, (std::vector<std::wstring>{L"Cannot enumerated child nodes having the specified tag [agent].",
                                            L"The given XML node does not support the IXMLDOMElement interface."}));

    root = Parse("<r t1='true' t2='TRUE' t3='True' f1='1' f2='yes' f3='' f4=' true' f5='false' f6='truex' v='1.2.3'/>");
    ASSERT_TRUE(root);
    for (const wchar_t* name : {L"t1", L"t2", L"t3", L"f1", L"f2", L"f3", L"f4", L"f5", L"f6"})
        EXPECT_EQ(GetBoolAttribute(root.get(), name), name[0] == L't') << name;
    EXPECT_TRUE(HasAttribute(root.get(), L"f3"));
    EXPECT_FALSE(HasAttribute(root.get(), L"absent"));
    EXPECT_FALSE(HasAttribute(root.get(), L"T1")) << "attribute names keep their case";

    for (const CExc& absent : {Raised([&] { GetAttribute(root.get(), L"absent"); }),
                               Raised([&] { GetBoolAttribute(root.get(), L"absent"); })})
    {
        EXPECT_EQ(absent.GetHResult(), E_FAIL) << "an absent attribute must not look like success";
        const std::vector<std::wstring> lines = Sentences(absent);
        EXPECT_TRUE(lines.size() == 2 && lines[0] == L"Cannot get a raw value of the attribute [absent]." &&
                    lines[1].substr(lines[1].size() - 10) == L" Code: 0x1") << absent.GetFullText();
    }
    CExc badVersion = Raised([&] { GetVersionAttribute(root.get(), L"v"); });
    EXPECT_EQ(badVersion.GetHResult(), E_FAIL);
    EXPECT_EQ(Sentences(badVersion), (std::vector<std::wstring>{
                                         L"Cannot get the value of version attribute. Attribute name: [v].",
                                         L"Cannot unserialize a version string. Specified string: [1.2.3]."}));
}

TEST_F(Xml, LoadAndSaveFailuresNameTheFile)
{
    // content null: no file at all.
    struct { const char* content; const wchar_t* name; } cases[] = {
        {nullptr, L"missing.xml"}, {"<Root><Unclosed></Root>", L"broken.xml"}, {"", L"empty.xml"}, {"plain text", L"text.xml"}};
    for (const auto& c : cases)
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
