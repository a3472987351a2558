// The guest-facing platform calls: networking, network management, the service control
// manager, the remote registry and endpoint-map inquiry. Product code reaches a guest only
// through remote::Platform(), never by calling these Windows functions directly, so that the
// same code can run against a real guest or a simulated one.
//
// Each member has the signature, result and last-error behaviour of the Windows function of
// the same name. remote::Platform() is defined by exactly one binding source per binary:
// remote/RealSeam.cpp (the real functions, shipped DLL) or the simulated guests of the tests.
#pragma once

#include <windows.h>
#include <winnetwk.h>
#include <lm.h>
#include <rpc.h>

namespace remote {

class IPlatform {
public:
    virtual ~IPlatform() = default;

    // Windows networking (mpr).
    virtual DWORD WNetAddConnection2W(LPNETRESOURCEW resource, LPCWSTR password, LPCWSTR userName,
                                      DWORD flags) = 0;
    virtual DWORD WNetOpenEnumW(DWORD scope, DWORD type, DWORD usage, LPNETRESOURCEW resource,
                                LPHANDLE enumHandle) = 0;
    virtual DWORD WNetEnumResourceW(HANDLE enumHandle, LPDWORD count, LPVOID buffer,
                                    LPDWORD bufferSize) = 0;
    virtual DWORD WNetCloseEnum(HANDLE enumHandle) = 0;
    virtual DWORD WNetCancelConnectionW(LPCWSTR name, BOOL force) = 0;

    // Network management (netapi32). Buffers handed out are released with NetApiBufferFree
    // of the same binding.
    virtual NET_API_STATUS NetShareGetInfo(LMSTR serverName, LMSTR netName, DWORD level,
                                           LPBYTE* buffer) = 0;
    virtual NET_API_STATUS NetServerGetInfo(LMSTR serverName, DWORD level, LPBYTE* buffer) = 0;
    virtual NET_API_STATUS NetApiBufferFree(LPVOID buffer) = 0;

    // Service control manager (advapi32). Failures return NULL or FALSE and set the last error.
    virtual SC_HANDLE OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName,
                                     DWORD desiredAccess) = 0;
    virtual SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName,
                                     DWORD desiredAccess, DWORD serviceType, DWORD startType,
                                     DWORD errorControl, LPCWSTR binaryPathName,
                                     LPCWSTR loadOrderGroup, LPDWORD tagId, LPCWSTR dependencies,
                                     LPCWSTR serviceStartName, LPCWSTR password) = 0;
    virtual SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName,
                                   DWORD desiredAccess) = 0;
    virtual BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) = 0;
    virtual BOOL StartServiceW(SC_HANDLE service, DWORD argc, LPCWSTR* argv) = 0;
    virtual BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) = 0;
    virtual BOOL DeleteService(SC_HANDLE service) = 0;
    virtual BOOL CloseServiceHandle(SC_HANDLE handle) = 0;

    // Remote registry (advapi32). Results are Win32 error codes.
    virtual LSTATUS RegConnectRegistryW(LPCWSTR machineName, HKEY key, PHKEY result) = 0;
    virtual LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired,
                                  PHKEY result) = 0;
    virtual LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type,
                                     LPBYTE data, LPDWORD dataSize) = 0;
    virtual LSTATUS RegCloseKey(HKEY key) = 0;

    // Endpoint-map inquiry (rpcrt4). Bindings handed out by the inquiry are ordinary runtime
    // bindings (RpcBindingFree), annotations runtime strings (RpcStringFreeW).
    virtual RPC_STATUS RpcMgmtEpEltInqBegin(RPC_BINDING_HANDLE epBinding, unsigned long inquiryType,
                                            RPC_IF_ID* ifId, unsigned long versOption,
                                            UUID* objectUuid,
                                            RPC_EP_INQ_HANDLE* inquiryContext) = 0;
    virtual RPC_STATUS RpcMgmtEpEltInqNextW(RPC_EP_INQ_HANDLE inquiryContext, RPC_IF_ID* ifId,
                                            RPC_BINDING_HANDLE* binding, UUID* objectUuid,
                                            RPC_WSTR* annotation) = 0;
    virtual RPC_STATUS RpcMgmtEpEltInqDone(RPC_EP_INQ_HANDLE* inquiryContext) = 0;
};

// The binding of this binary. Defined once per binary by the binding source it links.
IPlatform& Platform();

}  // namespace remote
