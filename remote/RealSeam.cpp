// The platform seam bound to the real Windows functions (shipped DLL).
#include "remote/PlatformSeam.h"

namespace remote {
namespace {

class CRealPlatform final : public IPlatform {
public:
    DWORD WNetAddConnection2W(LPNETRESOURCEW resource, LPCWSTR password, LPCWSTR userName,
                              DWORD flags) override
    {
        return ::WNetAddConnection2W(resource, password, userName, flags);
    }
    DWORD WNetOpenEnumW(DWORD scope, DWORD type, DWORD usage, LPNETRESOURCEW resource,
                        LPHANDLE enumHandle) override
    {
        return ::WNetOpenEnumW(scope, type, usage, resource, enumHandle);
    }
    DWORD WNetEnumResourceW(HANDLE enumHandle, LPDWORD count, LPVOID buffer,
                            LPDWORD bufferSize) override
    {
        return ::WNetEnumResourceW(enumHandle, count, buffer, bufferSize);
    }
    DWORD WNetCloseEnum(HANDLE enumHandle) override { return ::WNetCloseEnum(enumHandle); }
    DWORD WNetCancelConnectionW(LPCWSTR name, BOOL force) override
    {
        return ::WNetCancelConnectionW(name, force);
    }

    NET_API_STATUS NetShareGetInfo(LMSTR serverName, LMSTR netName, DWORD level,
                                   LPBYTE* buffer) override
    {
        return ::NetShareGetInfo(serverName, netName, level, buffer);
    }
    NET_API_STATUS NetServerGetInfo(LMSTR serverName, DWORD level, LPBYTE* buffer) override
    {
        return ::NetServerGetInfo(serverName, level, buffer);
    }
    NET_API_STATUS NetApiBufferFree(LPVOID buffer) override { return ::NetApiBufferFree(buffer); }

    SC_HANDLE OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName,
                             DWORD desiredAccess) override
    {
        return ::OpenSCManagerW(machineName, databaseName, desiredAccess);
    }
    SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName,
                             DWORD desiredAccess, DWORD serviceType, DWORD startType,
                             DWORD errorControl, LPCWSTR binaryPathName, LPCWSTR loadOrderGroup,
                             LPDWORD tagId, LPCWSTR dependencies, LPCWSTR serviceStartName,
                             LPCWSTR password) override
    {
        return ::CreateServiceW(manager, serviceName, displayName, desiredAccess, serviceType,
                                startType, errorControl, binaryPathName, loadOrderGroup, tagId,
                                dependencies, serviceStartName, password);
    }
    SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess) override
    {
        return ::OpenServiceW(manager, serviceName, desiredAccess);
    }
    BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) override
    {
        return ::QueryServiceStatus(service, status);
    }
    BOOL StartServiceW(SC_HANDLE service, DWORD argc, LPCWSTR* argv) override
    {
        return ::StartServiceW(service, argc, argv);
    }
    BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) override
    {
        return ::ControlService(service, control, status);
    }
    BOOL DeleteService(SC_HANDLE service) override { return ::DeleteService(service); }
    BOOL CloseServiceHandle(SC_HANDLE handle) override { return ::CloseServiceHandle(handle); }

    LSTATUS RegConnectRegistryW(LPCWSTR machineName, HKEY key, PHKEY result) override
    {
        return ::RegConnectRegistryW(machineName, key, result);
    }
    LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired,
                          PHKEY result) override
    {
        return ::RegOpenKeyExW(key, subKey, options, desired, result);
    }
    LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type,
                             LPBYTE data, LPDWORD dataSize) override
    {
        return ::RegQueryValueExW(key, valueName, reserved, type, data, dataSize);
    }
    LSTATUS RegCloseKey(HKEY key) override { return ::RegCloseKey(key); }

    RPC_STATUS RpcMgmtEpEltInqBegin(RPC_BINDING_HANDLE epBinding, unsigned long inquiryType,
                                    RPC_IF_ID* ifId, unsigned long versOption, UUID* objectUuid,
                                    RPC_EP_INQ_HANDLE* inquiryContext) override
    {
        return ::RpcMgmtEpEltInqBegin(epBinding, inquiryType, ifId, versOption, objectUuid,
                                      inquiryContext);
    }
    RPC_STATUS RpcMgmtEpEltInqNextW(RPC_EP_INQ_HANDLE inquiryContext, RPC_IF_ID* ifId,
                                    RPC_BINDING_HANDLE* binding, UUID* objectUuid,
                                    RPC_WSTR* annotation) override
    {
        return ::RpcMgmtEpEltInqNextW(inquiryContext, ifId, binding, objectUuid, annotation);
    }
    RPC_STATUS RpcMgmtEpEltInqDone(RPC_EP_INQ_HANDLE* inquiryContext) override
    {
        return ::RpcMgmtEpEltInqDone(inquiryContext);
    }
};

}  // namespace

IPlatform& Platform()
{
    static CRealPlatform platform;
    return platform;
}

}  // namespace remote
