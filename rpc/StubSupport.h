/* Force-included into every source generated from an RPC interface definition (see
 * nimbo_rpc_stubs in cmake/NimboBuild.cmake), before the generated code.
 *
 * The generated stubs bracket their work with RpcTryFinally/RpcTryExcept, which the platform
 * headers turn into __try/__finally/__except: gcc cannot compile those. Here they become plain
 * blocks. What the "finally" part of a client stub does (free the message buffer, which gives
 * the connection back) must still happen when a remote call fails, so client stubs report
 * their message to the structured-exception guard (rpc/RpcGuard.h), which frees it then.
 * Server stubs run inside the RPC runtime's own handler, which turns a structured exception
 * into a fault for the client. */
#ifndef NIMBO_RPC_STUB_SUPPORT_H
#define NIMBO_RPC_STUB_SUPPORT_H

#include <rpc.h>
#include <rpcndr.h>

#undef RpcTryExcept
#undef RpcExcept
#undef RpcEndExcept
#undef RpcTryFinally
#undef RpcFinally
#undef RpcEndFinally
#undef RpcExceptionCode
#undef RpcAbnormalTermination

#ifdef NIMBO_RPC_CLIENT_STUB
#include "rpc/RpcGuard.h"
#define RpcTryFinally NimboRpcStubEnter(&__frame->_StubMsg);
#define RpcFinally NimboRpcStubLeave(&__frame->_StubMsg);
#else
#define RpcTryFinally
#define RpcFinally
#endif
#define RpcEndFinally

/* The "except" part only ever maps a stub's own unmarshalling faults to RPC_X_BAD_STUB_DATA;
 * without it the original fault reaches the caller, which reports it the same way. */
#define RpcTryExcept {
#define RpcExcept(filter) } if (0) {
#define RpcEndExcept }
#define RpcExceptionCode() 0
#define RpcAbnormalTermination() 0

#endif
