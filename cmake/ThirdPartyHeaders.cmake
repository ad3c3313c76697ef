# zr_third_party_headers: the header-only libraries the tools and tests use
# (Asio, nlohmann-json, CLI11).
#
# Natively they are found in the system include directory. A Windows build
# must never add the build machine's /usr/include (it would pull in glibc's
# headers), so there the header trees are copied into the build tree and that
# copy is the include directory. Including this file more than once is fine.
if(TARGET zr_third_party_headers)
  return()
endif()

add_library(zr_third_party_headers INTERFACE)

if(WIN32)
  set(ZR_THIRD_PARTY_SOURCE_DIR /usr/include CACHE PATH
    "Where the Asio, nlohmann-json and CLI11 headers are installed on the build machine")
  set(_zr_tp_dir ${CMAKE_BINARY_DIR}/third_party/include)
  foreach(item asio.hpp asio nlohmann CLI)
    set(_zr_tp_from ${ZR_THIRD_PARTY_SOURCE_DIR}/${item})
    if(EXISTS ${_zr_tp_from})
      file(COPY ${_zr_tp_from} DESTINATION ${_zr_tp_dir})
    else()
      message(WARNING "ThirdPartyHeaders: ${_zr_tp_from} not found (packages "
        "libasio-dev, nlohmann-json3-dev, libcli11-dev)")
    endif()
  endforeach()
  target_include_directories(zr_third_party_headers SYSTEM INTERFACE ${_zr_tp_dir})
  # Asio's Windows back end: the Windows 7 API, Winsock 2 and its extensions.
  target_compile_definitions(zr_third_party_headers INTERFACE _WIN32_WINNT=0x0601)
  target_link_libraries(zr_third_party_headers INTERFACE ws2_32 mswsock)
  unset(_zr_tp_from)
  unset(_zr_tp_dir)
endif()
