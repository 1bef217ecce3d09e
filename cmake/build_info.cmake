# Prepares the build-information record behind kemb00: 18 values and 6 comment lines gathered
# when CMake configures the build, written into a generated source file. This file only
# prepares; lib/vecommon adds VESKA_BUILD_INFO_SOURCE to the library.
#
# The values are taken at configure time, so that an ordinary rebuild does not relink the
# library only because the clock moved on. A reconfigure refreshes them.

# C string literal contents: backslashes and quotes escaped, line breaks flattened.
function(_veska_c_escape out value)
  string(REPLACE "\\" "\\\\" value "${value}")
  string(REPLACE "\"" "\\\"" value "${value}")
  string(REGEX REPLACE "[\r\n\t]+" " " value "${value}")
  string(STRIP "${value}" value)
  if(value STREQUAL "")
    set(value "unknown")
  endif()
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

string(TIMESTAMP _veska_date "%Y-%m-%d")
string(TIMESTAMP _veska_time "%H:%M:%S")

set(_veska_user "$ENV{USER}")
if(_veska_user STREQUAL "")
  set(_veska_user "$ENV{LOGNAME}")
endif()
if(_veska_user STREQUAL "")
  execute_process(COMMAND id -un OUTPUT_VARIABLE _veska_user ERROR_QUIET
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()

cmake_host_system_information(RESULT _veska_hostname QUERY HOSTNAME)
cmake_host_system_information(RESULT _veska_os_release QUERY OS_RELEASE)
cmake_host_system_information(RESULT _veska_os_version QUERY OS_VERSION)

# The revision is optional: no git, or a source tree outside a repository, leaves it unknown.
set(_veska_git_revision "")
set(_veska_git_count "")
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --short=12 HEAD
                  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  RESULT_VARIABLE _veska_git_rc OUTPUT_VARIABLE _veska_git_revision
                  ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT _veska_git_rc EQUAL 0)
    set(_veska_git_revision "")
  endif()
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-list --count HEAD
                  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  RESULT_VARIABLE _veska_git_rc OUTPUT_VARIABLE _veska_git_count
                  ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT _veska_git_rc EQUAL 0)
    set(_veska_git_count "")
  endif()
endif()
if(_veska_git_count STREQUAL "")
  set(_veska_git_count "0")
endif()

set(VESKA_BUILD_INFO_SOURCE ${CMAKE_BINARY_DIR}/generated/ve_build_info.cpp)
if(CMAKE_BUILD_TYPE)
  set(_veska_build_type "${CMAKE_BUILD_TYPE}")
else()
  set(_veska_build_type "default")
endif()

if(VESKA_SANITIZE)
  set(_veska_sanitizers "${VESKA_SANITIZE}")
else()
  set(_veska_sanitizers "none")
endif()

# Values in the order of their captions in the logging front end.
set(_veska_values
  "${_veska_date}"                                              # build date
  "${_veska_time}"                                              # build time
  "${VESKA_BUILD_INFO_SOURCE}"                                  # generated filename
  "${CMAKE_BINARY_DIR}/CMakeCache.txt"                          # environment filename
  "${CMAKE_INSTALL_PREFIX}/lib"                                 # target directory qualifier
  "${PROJECT_SOURCE_DIR}"                                       # host directory qualifier
  "${_veska_user}"                                              # user name
  "${CMAKE_HOST_SYSTEM_VERSION}"                                # host release
  "${_veska_os_version}"                                        # host version
  "${CMAKE_HOST_SYSTEM_NAME}"                                   # host type
  "${_veska_hostname}"                                          # machine name
  "${CMAKE_HOST_SYSTEM_PROCESSOR}"                              # host machine
  "${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION}"      # host environment code
  "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR} ${_veska_build_type}" # target environment code
  "${_veska_git_count}"                                         # build sequence number
  "veska"                                                       # component code
  "${_veska_git_revision}"                                      # build serial number
  "libveska.so.${PROJECT_VERSION}")                             # driver name
set(_veska_comments
  "veska ${PROJECT_VERSION}, C++17 with a C interface"
  "Compiler: ${CMAKE_CXX_COMPILER} (${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION})"
  "Build type: ${_veska_build_type}, sanitizers: ${_veska_sanitizers}"
  "Configured with CMake ${CMAKE_VERSION} on ${_veska_hostname} (${_veska_os_release})"
  "Source revision: ${_veska_git_revision}"
  "Configured at ${_veska_date} ${_veska_time} by ${_veska_user}")

set(VESKA_BUILD_INFO_VALUES "")
foreach(_veska_value IN LISTS _veska_values)
  _veska_c_escape(_veska_value "${_veska_value}")
  string(APPEND VESKA_BUILD_INFO_VALUES "    const_cast<char *>(\"${_veska_value}\"),\n")
endforeach()
set(VESKA_BUILD_INFO_COMMENTS "")
foreach(_veska_value IN LISTS _veska_comments)
  _veska_c_escape(_veska_value "${_veska_value}")
  string(APPEND VESKA_BUILD_INFO_COMMENTS "    const_cast<char *>(\"${_veska_value}\"),\n")
endforeach()
# QIVA_version's text: the release first, so that a caller may compare its leading part.
set(_veska_revision_text "${_veska_git_revision}")
if(_veska_revision_text STREQUAL "")
  set(_veska_revision_text "unknown")
endif()
_veska_c_escape(VESKA_VERSION_TEXT "${PROJECT_VERSION} (revision ${_veska_revision_text}, \
${_veska_build_type}, configured ${_veska_date} ${_veska_time})")
list(LENGTH _veska_values VESKA_BUILD_INFO_VALUE_COUNT)
list(LENGTH _veska_comments VESKA_BUILD_INFO_COMMENT_COUNT)

configure_file(${CMAKE_CURRENT_LIST_DIR}/ve_build_info.cpp.in ${VESKA_BUILD_INFO_SOURCE} @ONLY)
