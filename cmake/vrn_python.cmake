# Whether the Python package (python/) can be built here: Linux, no
# sanitizers, Python's headers and pybind11. Sets VRN_PYTHON off, with a
# line saying why, when it cannot; otherwise finds the interpreter
# (Python3_EXECUTABLE) that builds, tests and receives the package.
if(NOT VRN_PYTHON)
  message(STATUS "Python package: not built (VRN_PYTHON is OFF)")
  return()
endif()
if(WIN32 OR CMAKE_CROSSCOMPILING)
  message(STATUS "Python package: not built (Linux builds only)")
  set(VRN_PYTHON OFF)
  return()
endif()
if(VRN_SANITIZE)
  # An extension built with AddressSanitizer loads only into an
  # interpreter that was started with it.
  message(STATUS "Python package: not built with the sanitizers")
  set(VRN_PYTHON OFF)
  return()
endif()
# The system's interpreter, which Debian's pybind11 and pytest belong to,
# rather than whatever python3 comes first on the PATH.
if(NOT DEFINED Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
  set(Python3_EXECUTABLE /usr/bin/python3)
endif()
find_package(Python3 COMPONENTS Interpreter Development.Module)
if(Python3_FOUND)
  find_package(pybind11 CONFIG QUIET)
endif()
if(NOT Python3_FOUND OR NOT pybind11_FOUND)
  message(STATUS "Python package: not built: install python3-dev and pybind11-dev (Debian) to build it")
  set(VRN_PYTHON OFF)
  return()
endif()
message(STATUS "Python package: built for ${Python3_EXECUTABLE} (${Python3_VERSION}), pybind11 ${pybind11_VERSION}")
# The extension takes the project's static libraries in.
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
