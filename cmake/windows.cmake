# Windows build: the eight programs and the uninstaller of the payload, the
# payload container, the setup program and the Windows tests.

set(LIBLZMA_WIN_ROOT "${CMAKE_SOURCE_DIR}/build/deps/liblzma-win" CACHE PATH
    "liblzma built for Windows from Debian's xz-utils source (cmake/build-liblzma-win.sh)")
set(ORBELUNE_PACK_TOOL "${CMAKE_SOURCE_DIR}/build/native/tools/pack/orbelune-pack" CACHE FILEPATH
    "the packing tool of the native build")
set(ORBELUNE_ICON_TOOL "${CMAKE_SOURCE_DIR}/build/native/tools/icons/orbelune-icons" CACHE FILEPATH
    "the icon generator of the native build")

if(NOT EXISTS "${LIBLZMA_WIN_ROOT}/lib/liblzma.a")
  message(FATAL_ERROR "liblzma for Windows is missing; run cmake/build-liblzma-win.sh (make does)")
endif()
add_library(liblzma_win STATIC IMPORTED GLOBAL)
set_target_properties(liblzma_win PROPERTIES
  IMPORTED_LOCATION "${LIBLZMA_WIN_ROOT}/lib/liblzma.a"
  INTERFACE_INCLUDE_DIRECTORIES "${LIBLZMA_WIN_ROOT}/include"
  INTERFACE_COMPILE_DEFINITIONS LZMA_API_STATIC)

# Everything that reaches a user: size-optimised, statically linked against
# the C and C++ runtimes so that only Windows' own DLLs are imported, with
# ASLR and DEP, and without time stamps so that builds are reproducible.
add_library(shipped_link_options INTERFACE)
target_link_options(shipped_link_options INTERFACE
  -static -s -municode -mwindows
  -Wl,--gc-sections -Wl,--no-insert-timestamp
  -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat)
add_library(shipped_compile_options INTERFACE)
target_compile_options(shipped_compile_options INTERFACE
  -Os -ffunction-sections -fdata-sections
  $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>)
add_library(shipped_options INTERFACE)
target_link_libraries(shipped_options INTERFACE shipped_compile_options shipped_link_options)

# The setup program's own code (setup_core, payload_core, its entry), whose
# bytes are the stub that carries the payload: the smallest code GCC makes
# (-Oz), compiled as one unit at link time (-flto), which inlines across
# files and drops whatever nothing calls. So it needs no section per
# function or datum: each pads to 16 bytes, and GCC puts a zero global with
# a section of its own in .data, which takes room in the file, not .bss.
add_library(setup_compile_options INTERFACE)
target_compile_options(setup_compile_options INTERFACE
  -Oz -flto
  $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>)
# Its sections: cmake/setup-sections.ld, for programs with the setup's own
# entry (-nostartfiles).
add_library(setup_options INTERFACE)
target_link_libraries(setup_options INTERFACE setup_compile_options shipped_link_options)
target_link_options(setup_options INTERFACE -Oz -flto -Wl,-T,${CMAKE_SOURCE_DIR}/cmake/setup-sections.ld)
set_property(TARGET setup_options APPEND PROPERTY INTERFACE_LINK_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/setup-sections.ld)

# A signed release (the release preset, make release): every shipped program
# is signed right after it is linked, so that the payload packs signed
# programs and its constants follow them. tools/sign.sh takes the key from
# the environment; a failed signing removes the program, which is then linked
# again by the next build rather than shipped unsigned.
option(ORBELUNE_SIGN "sign every shipped program with tools/sign.sh" OFF)
set(ORBELUNE_SIGN_ROOT "${CMAKE_SOURCE_DIR}/build/signing/test-root.pem" CACHE FILEPATH
    "the root certificate that the signatures chain to (for the signature tests)")
function(sign_after_link target)
  if(ORBELUNE_SIGN)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND sh ${CMAKE_SOURCE_DIR}/tools/sign.sh file $<TARGET_FILE:${target}>
      VERBATIM)
  endif()
endfunction()

set(PAYLOAD_STAGE_DIR ${CMAKE_BINARY_DIR}/payload)
file(MAKE_DIRECTORY ${PAYLOAD_STAGE_DIR} ${CMAKE_BINARY_DIR}/generated)

add_subdirectory(components)
add_subdirectory(payload)

add_custom_command(
  OUTPUT ${PAYLOAD_STAGE_DIR}/license.txt
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/components/license.txt ${PAYLOAD_STAGE_DIR}/license.txt
  DEPENDS ${CMAKE_SOURCE_DIR}/components/license.txt
  VERBATIM)

# The payload list: the files of the payload in archive order, each the
# program that this build makes ("build:NAME"), an absolute path, or a path
# relative to the list's own folder.
set(ORBELUNE_PAYLOAD_LIST "${CMAKE_SOURCE_DIR}/components/payload.list" CACHE FILEPATH
    "the payload list (README: packing new versions of the programs)")

# A signed build packs signed copies of the programs that the list gives by
# path, staged by tools/sign.sh with a list of their own; the given files
# themselves are never changed.
set(pack_list ${ORBELUNE_PAYLOAD_LIST})
if(ORBELUNE_SIGN)
  set(pack_list ${CMAKE_BINARY_DIR}/given/payload.list)
  add_custom_target(payload_given_signed
    COMMAND sh ${CMAKE_SOURCE_DIR}/tools/sign.sh given ${ORBELUNE_PACK_TOOL} ${ORBELUNE_PAYLOAD_LIST}
            ${PAYLOAD_STAGE_DIR} ${CMAKE_BINARY_DIR}/given
    BYPRODUCTS ${pack_list}
    VERBATIM)
endif()

# The payload container and its constants follow the payload list and every
# file that it names, whoever made it; nobody types them. The packing tool
# runs on every build and compares what it reads, content and time, with the
# record of its last pack (--inputs): a file replaced by one with an older
# time (unpacked from an archive, copied with its time) is packed as well,
# where a dependency on file times would miss it. While nothing changed it
# writes nothing, and nothing after it is built again.
set(PAYLOAD_CONTAINER ${CMAKE_BINARY_DIR}/payload/payload.bin)
set(PAYLOAD_CONSTANTS ${CMAKE_BINARY_DIR}/generated/payload_constants.h)
set(PAYLOAD_INPUTS ${CMAKE_BINARY_DIR}/payload/payload.inputs)
add_custom_target(payload_container
  COMMAND ${ORBELUNE_PACK_TOOL} --list ${pack_list} --dir ${PAYLOAD_STAGE_DIR}
          --container ${PAYLOAD_CONTAINER} --header ${PAYLOAD_CONSTANTS} --inputs ${PAYLOAD_INPUTS}
  DEPENDS ${PAYLOAD_STAGE_DIR}/license.txt
  BYPRODUCTS ${PAYLOAD_CONTAINER} ${PAYLOAD_CONSTANTS} ${PAYLOAD_INPUTS}
  COMMENT "Checking the payload"
  VERBATIM)
add_dependencies(payload_container ${PAYLOAD_PROGRAM_TARGETS})
if(ORBELUNE_SIGN)
  add_dependencies(payload_container payload_given_signed)
endif()

# The setup's manifest as the program carries it: resources/setup.manifest
# without the indentation and line breaks that keep the source readable
# (about 400 bytes). Written anew, at configure time, when the source changes.
set(SETUP_MANIFEST ${CMAKE_BINARY_DIR}/generated/setup-compact.manifest)
file(READ ${CMAKE_SOURCE_DIR}/resources/setup.manifest manifest_text)
string(REGEX REPLACE "\r?\n[ \t]*(<|$)" "\\1" manifest_text "${manifest_text}")
file(CONFIGURE OUTPUT ${SETUP_MANIFEST} CONTENT "${manifest_text}" @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/resources/setup.manifest)

add_subdirectory(app)
add_subdirectory(tests/win)
add_subdirectory(tests/e2e)
add_subdirectory(tests/win/hardening)
add_subdirectory(tools/bench)
