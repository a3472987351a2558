#pragma once
// Owners of what the RPC runtime hands out: binding handles (RpcBindingFree) and runtime
// strings (RpcStringFreeW). Both take the address of the handle, so the owners go through
// small adapters to fit util::CUniqueAny.
//
//   util::CRpcBindingHandle binding;
//   RpcBindingFromStringBindingW(text, binding.put());
//   util::CRpcString text;
//   RpcBindingToStringBindingW(binding.get(), text.put());

#include <windows.h>
#include <rpc.h>
#include <string>

#include "foundation/Handle.h"

namespace util
{
namespace detail
{
inline void FreeRpcBinding(RPC_BINDING_HANDLE binding) noexcept { RpcBindingFree(&binding); }
inline void FreeRpcString(RPC_WSTR text) noexcept { RpcStringFreeW(&text); }
}

using CRpcBindingHandle = CUniqueAny<RPC_BINDING_HANDLE, &detail::FreeRpcBinding>;
using CRpcString = CUniqueAny<RPC_WSTR, &detail::FreeRpcString>;

// The text of a runtime string; empty for none.
inline std::wstring ToText(const CRpcString& text)
{
    return text ? std::wstring(reinterpret_cast<const wchar_t*>(text.get())) : std::wstring();
}

// A wide string as the runtime's string parameter (the runtime only reads it).
inline RPC_WSTR AsRpcString(const std::wstring& text)
{
    return reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(text.c_str()));
}
}
