#pragma once
// Helpers of the deployment tests: scratch files, simulated guests, the sentences of an error
// and the markup of a saved XML file.

#include <windows.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/Exc.h"
#include "foundation/FileSystem.h"
#include "foundation/XmlDocument.h"
#include "tests/foundation/FilesTestSupport.h"
#include "tests/remote/RemoteTestSupport.h"

namespace deploytest
{
using filestest::Raised;
using filestest::WriteTextFile;

inline std::wstring ScratchFolder()
{
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = temp + filestest::UniqueName(L"nimbo-deploy");
    return CreateDirectoryW(folder.c_str(), nullptr), folder;
}

inline bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
inline void RemoveTree(const std::wstring& folder) { Exists(folder) ? util::RemoveFolder(folder) : void(); }
inline std::string ReadBytes(const std::wstring& path) { return filestest::ReadAll(path); }
inline void UseGuests(const std::wstring& text) { remote_test::UseGuests(std::string(text.begin(), text.end())); }

// The first `count` sentences of `e`.
inline std::vector<std::wstring> Sentences(const CExc& e, size_t count)
{
    std::vector<std::wstring> all = filestest::Sentences(e);
    all.resize(std::min(all.size(), count));
    return all;
}

// The root element of an XML file as markup, without layout whitespace between tags.
inline std::wstring SavedXml(const std::wstring& path)
{
    util::CComPtr<IXMLDOMElement> root;
    util::CBstr xml;
    std::wstring text;
    if (util::LoadDocument(path, false)->get_documentElement(root.put()) == S_OK && root->get_xml(xml.put()) == S_OK)
        for (const wchar_t c : xml.Text())
            if (!(iswspace(c) && !text.empty() && text.back() == L'>'))
                text += c;
    return text;
}

// COM for the calling thread, as every caller of the engine has it.
struct SComScope
{
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ~SComScope() { SUCCEEDED(hr) ? CoUninitialize() : void(); }
};
}
