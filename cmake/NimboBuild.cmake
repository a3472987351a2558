# Build helpers shared by every folder: compile flags, static linking, widl and the two DLLs.

# OLEAUT32 before OLE32: the error-information functions are documented in OLEAUT32, and the
# first import library that defines a function decides where it is imported from.
set(NIMBO_SYSTEM_LIBS oleaut32 ole32 uuid rpcrt4 mpr netapi32 advapi32 version shlwapi)

find_program(NIMBO_WIDL NAMES widl ${NIMBO_TRIPLET}-widl REQUIRED)
# mingw ships no .idl files; Wine's development package has the system ones, and
# importlib("stdole2.tlb") needs Wine's own stdole2.tlb.
set(NIMBO_WINE_IDL_DIR /usr/include/wine/wine/windows)
set(NIMBO_WINE_TLB_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)

# The oldest Windows a shipped binary must load on: XP for 32-bit code, Server 2003 x64 (and XP
# x64) for 64-bit code. Declaring it makes the headers refuse any newer function at compile
# time. Test programs run only under Wine and may use what Windows 7 has.
if(NIMBO_ARCH STREQUAL "i686")
  set(NIMBO_WINNT 0x0501)
else()
  set(NIMBO_WINNT 0x0502)
endif()

function(nimbo_compile_options target)
  get_target_property(dir ${target} SOURCE_DIR)
  set(winnt ${NIMBO_WINNT})
  if(dir MATCHES "^${CMAKE_SOURCE_DIR}/(agents/)?tests(/|$)")
    set(winnt 0x0601)
  endif()
  target_compile_definitions(${target} PRIVATE UNICODE _UNICODE NOMINMAX
    _WIN32_WINNT=${winnt} WINVER=${winnt} COBJMACROS_NOT_USED)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Wno-unused-parameter -Wno-missing-field-initializers>)
endfunction()

# Executables and DLLs import only system DLLs: the C and C++ runtimes and winpthread are
# linked in.
function(nimbo_link_static target)
  target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
  if(NIMBO_ARCH STREQUAL "i686")
    target_link_options(${target} PRIVATE -Wl,--enable-stdcall-fixup)
  else()
    # The 64-bit handler of structured exceptions (winpthread uses it) comes from msvcrt.dll,
    # which documents it since its first x64 version; KERNEL32's export of it is undocumented.
    target_link_options(${target} PRIVATE -Wl,-u,__C_specific_handler)
    target_link_libraries(${target} PRIVATE msvcrt)
  endif()
endfunction()

# nimbo_widl(<idl> MODES header|typelib|client|server... [DEPENDS ...])
# Runs widl on <idl> into NIMBO_GEN_DIR, one command per mode, and sets
# <stem>_WIDL_OUTPUTS in the caller's scope.
function(nimbo_widl idl)
  cmake_parse_arguments(W "" "" "MODES;DEPENDS" ${ARGN})
  get_filename_component(stem ${idl} NAME_WE)
  get_filename_component(idl_abs ${idl} ABSOLUTE)
  get_filename_component(idl_dir ${idl_abs} DIRECTORY)
  set(args ${NIMBO_WIDL_ARCH} -I ${idl_dir} -I ${CMAKE_SOURCE_DIR} -I ${NIMBO_WINE_IDL_DIR}
           -L ${NIMBO_WINE_TLB_DIR})
  set(all_outputs)
  foreach(mode IN LISTS W_MODES)
    set(g ${NIMBO_GEN_DIR}/${stem})
    if(mode STREQUAL "header")
      set(outputs ${g}.h ${g}_i.c)
      set(cmd -h -H ${g}.h -u -U ${g}_i.c)
    elseif(mode STREQUAL "typelib")
      set(outputs ${g}.tlb)
      set(cmd -t -T ${g}.tlb)
    elseif(mode STREQUAL "client")
      # -Os (inline marshalling): the interpreted modes mis-marshal an explicit handle_t.
      set(outputs ${g}_c.c)
      set(cmd -Os -c -C ${g}_c.c)
    elseif(mode STREQUAL "server")
      set(outputs ${g}_s.c)
      set(cmd -Os -s -S ${g}_s.c)
    else()
      message(FATAL_ERROR "nimbo_widl: unknown mode ${mode}")
    endif()
    add_custom_command(OUTPUT ${outputs}
      COMMAND ${NIMBO_WIDL} ${args} ${cmd} ${idl_abs}
      DEPENDS ${idl_abs} ${W_DEPENDS}
      COMMENT "widl ${mode}: ${stem}.idl")
    list(APPEND all_outputs ${outputs})
  endforeach()
  set(${stem}_WIDL_OUTPUTS ${all_outputs} PARENT_SCOPE)
endfunction()

# nimbo_rpc_stubs(<target> <idl> CLIENT|SERVER)
# Generates the header and both stubs of an RPC interface into NIMBO_GEN_DIR (once per build
# tree) and compiles the client or the server stub into <target>. -Os (inline marshalling):
# the interpreted modes mis-marshal an explicit handle_t. The stub is compiled with
# rpc/StubSupport.h forced in front, which gives gcc plain blocks for the stub's
# __try/__finally; a client stub also needs rpc/RpcGuard.c in the same binary.
function(nimbo_rpc_stubs target idl side)
  get_filename_component(stem ${idl} NAME_WE)
  get_filename_component(idl_abs ${idl} ABSOLUTE)
  set(g ${NIMBO_GEN_DIR}/${stem})
  if(side STREQUAL "CLIENT")
    set(stub ${g}_c.c)
    set(defines USE_COMPILER_EXCEPTIONS NIMBO_RPC_CLIENT_STUB)
  elseif(side STREQUAL "SERVER")
    set(stub ${g}_s.c)
    set(defines USE_COMPILER_EXCEPTIONS)
  else()
    message(FATAL_ERROR "nimbo_rpc_stubs: CLIENT or SERVER, not ${side}")
  endif()
  set(stubs_target NimboRpcStubs_${stem})
  if(NOT TARGET ${stubs_target})
    add_custom_command(OUTPUT ${g}.h ${g}_c.c ${g}_s.c
      COMMAND ${NIMBO_WIDL} ${NIMBO_WIDL_ARCH} -I ${CMAKE_SOURCE_DIR} -I ${NIMBO_WINE_IDL_DIR}
              -Os -h -H ${g}.h -c -C ${g}_c.c -s -S ${g}_s.c ${idl_abs}
      DEPENDS ${idl_abs}
      COMMENT "widl stubs: ${stem}.idl")
    add_custom_target(${stubs_target} DEPENDS ${g}.h ${g}_c.c ${g}_s.c)
  endif()
  target_sources(${target} PRIVATE ${stub})
  set_source_files_properties(${stub} TARGET_DIRECTORY ${target} PROPERTIES GENERATED TRUE
      COMPILE_OPTIONS "-include;${CMAKE_SOURCE_DIR}/rpc/StubSupport.h;-Wno-unused-parameter"
      COMPILE_DEFINITIONS "${defines}")
  target_include_directories(${target} PRIVATE ${NIMBO_GEN_DIR} ${CMAKE_SOURCE_DIR})
  add_dependencies(${target} ${stubs_target})
endfunction()
