#pragma once
// Helpers of the deployment tests: scratch files, simulated guests, the sentences of an error
// and the markup of a saved XML file.

#include <windows.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "foundation/Exc.h"
#include "foundation/FileSystem.h"
#include "foundation/XmlDocument.h"

namespace deploytest
{
// A new path below the temporary folder, unique in this process.
inline std::wstring TempPath(const std::wstring& suffix)
{
    static unsigned counter = 0;
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    return temp + (L"nimbo-deploy-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter) + suffix);
}

inline std::wstring ScratchFolder()
{
    const std::wstring folder = TempPath(L"");
    return CreateDirectoryW(folder.c_str(), nullptr), folder;
}

inline bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
inline void RemoveTree(const std::wstring& folder) { Exists(folder) ? util::RemoveFolder(folder) : void(); }

inline std::string ReadBytes(const std::wstring& path)
{
    std::string bytes(1 << 22, '\0');  // larger than any package file
    FILE* f = _wfopen(path.c_str(), L"rb");
    bytes.resize(f ? fread(&bytes[0], 1, bytes.size(), f) : 0);
    if (f)
        fclose(f);
    return bytes;
}

inline void WriteBytes(const std::wstring& path, const std::string& bytes)
{
    FILE* f = _wfopen(path.c_str(), L"wb");
    ASSERT_NE(nullptr, f);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

// Points the simulation at a new description file (a new file is always noticed).
inline void UseGuests(const std::wstring& text)
{
    static std::wstring previous;
    DeleteFileW(previous.c_str());
    previous = TempPath(L"-guests.ini");
    WriteBytes(previous, std::string(text.begin(), text.end()));
    SetEnvironmentVariableW(L"NIMBO_SIM_GUESTS", previous.c_str());
}

// The exception `action` raises; a test failure when it raises none.
inline CExc Raised(const std::function<void()>& action)
{
    try
    {
        action();
        ADD_FAILURE() << "no exception";
    }
    catch (CExc& e)
    {
        return e;
    }
    return CExc();
}

// The first `count` sentences of `e`.
inline std::vector<std::wstring> Sentences(const CExc& e, size_t count)
{
    std::vector<std::wstring> all(e.GetMessages().begin(), e.GetMessages().end());
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
