# Warnings, sanitizers and system libraries shared by every target.
set(ZR_SYSTEM_LIBS "")
if(WIN32)
  list(APPEND ZR_SYSTEM_LIBS ws2_32)
endif()

set(ZR_SANITIZE_FLAGS "")
if(ZODARURUVIZI_SANITIZE)
  set(ZR_SANITIZE_FLAGS -fsanitize=${ZODARURUVIZI_SANITIZE} -fno-omit-frame-pointer)
  if(ZODARURUVIZI_SANITIZE MATCHES "undefined")
    list(APPEND ZR_SANITIZE_FLAGS -fno-sanitize-recover=undefined)
  endif()
  add_compile_options(${ZR_SANITIZE_FLAGS})
  add_link_options(${ZR_SANITIZE_FLAGS})
endif()

function(zr_project_options target)
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(${target} PRIVATE -Wall -Wextra)
  endif()
endfunction()

# On Windows the compiler's run-time libraries (libgcc, libstdc++, winpthread)
# are linked in, so that programs and the DLL import only system DLLs.
function(zr_link_options target)
  if(WIN32 AND CMAKE_CXX_COMPILER_ID MATCHES "GNU")
    target_link_options(${target} PRIVATE -static-libgcc -static-libstdc++ -static)
  endif()
endfunction()
