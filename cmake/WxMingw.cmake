# The Windows build's wxWidgets: the static MSW libraries that
# scripts/build-wx-mingw.sh cross-builds into VANDREL_WX_MINGW_DIR, described
# to the rest of the build through the same wxWidgets_* variables that
# find_package(wxWidgets) sets on Linux. FindwxWidgets is not used because a
# cross build would have it search the mingw sysroot, not the cache.
# The same prefix carries the mingw build of qrcodegen.

set(VANDREL_WX_MINGW_DIR "" CACHE PATH "Install prefix printed by scripts/build-wx-mingw.sh")
if(NOT VANDREL_WX_MINGW_DIR)
  message(FATAL_ERROR "VANDREL_WINDOWS_GUI needs -DVANDREL_WX_MINGW_DIR=<prefix printed by scripts/build-wx-mingw.sh>")
endif()
set(wx_config ${VANDREL_WX_MINGW_DIR}/bin/wx-config)
if(NOT EXISTS ${VANDREL_WX_MINGW_DIR}/.complete OR NOT EXISTS ${wx_config})
  message(FATAL_ERROR "${VANDREL_WX_MINGW_DIR} is not a finished wx build; run scripts/build-wx-mingw.sh")
endif()

# --prefix keeps a cache restored to another folder usable: wx-config would
# otherwise answer with the folder it was built in.
function(vandrel_wx_config out)
  execute_process(
    COMMAND sh ${wx_config} --prefix=${VANDREL_WX_MINGW_DIR} --static=yes ${ARGN} core,base
    OUTPUT_VARIABLE text RESULT_VARIABLE rc ERROR_VARIABLE err OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "wx-config ${ARGN} failed: ${err}")
  endif()
  separate_arguments(words UNIX_COMMAND "${text}")
  set(${out} ${words} PARENT_SCOPE)
endfunction()

vandrel_wx_config(cxx_words --cxxflags)
set(wxWidgets_INCLUDE_DIRS "")
set(wxWidgets_DEFINITIONS "")
set(wxWidgets_CXX_FLAGS "")
foreach(w IN LISTS cxx_words)
  if(w MATCHES "^-I(.+)")
    list(APPEND wxWidgets_INCLUDE_DIRS ${CMAKE_MATCH_1})
  elseif(w MATCHES "^-D(.+)")
    list(APPEND wxWidgets_DEFINITIONS ${CMAKE_MATCH_1})
  else()
    list(APPEND wxWidgets_CXX_FLAGS ${w})
  endif()
endforeach()

# The GUI subsystem is the executable's choice (WIN32_EXECUTABLE), not the
# library's: the test programs that link the GUI code stay console programs.
vandrel_wx_config(lib_words --libs)
set(wxWidgets_LIBRARIES "")
foreach(w IN LISTS lib_words)
  if(NOT w STREQUAL "-mwindows" AND NOT w MATCHES "^-Wl,--subsystem")
    list(APPEND wxWidgets_LIBRARIES ${w})
  endif()
endforeach()
set(wxWidgets_FOUND TRUE)

# find_path/find_library keep a value that is already in the cache, so these
# win over the host's Linux build of qrcodegen.
set(VANDREL_QRCODEGEN_INCLUDE_DIR ${VANDREL_WX_MINGW_DIR}/include CACHE PATH "" FORCE)
set(VANDREL_QRCODEGEN_LIBRARY ${VANDREL_WX_MINGW_DIR}/lib/libqrcodegencpp.a CACHE FILEPATH "" FORCE)
message(STATUS "wxWidgets for Windows: ${VANDREL_WX_MINGW_DIR}")
