# Finds SuiteSparse, or builds the pinned release when no usable one is installed.
#
# After include(), tarnix_suitesparse_target(<out> <package>) names the library target that a
# module links for a SuiteSparse package (SuiteSparseConfig, COLAMD, CCOLAMD, CAMD, BTF,
# CHOLMOD, SPQR).
#
# Cache options (pass them as -D..., or -Ccmake.define.NAME=VALUE to pip):
#   TARNIX_SYSTEM_SUITESPARSE    look for an installed SuiteSparse first (ON)
#   TARNIX_DOWNLOAD_SUITESPARSE  download the pinned release when none is usable (ON);
#                                FETCHCONTENT_FULLY_DISCONNECTED=ON forbids it as well
#   TARNIX_SUITESPARSE_SOURCE    a SuiteSparse release tarball (checked against the pinned
#                                hashes) or an unpacked source tree to build instead
#   TARNIX_SUITESPARSE_URL, TARNIX_SUITESPARSE_SHA256
#                                one more mirror, tried first, with its own SHA-256
#   TARNIX_SUITESPARSE_WORK_DIR  where a built SuiteSparse is unpacked, built and installed
#                                (default: the build tree); builds that share it build the
#                                release once, for wheels of several interpreters
#   TARNIX_BLAS                  auto | system | scipy-openblas32: the BLAS/LAPACK that a
#                                built SuiteSparse calls (auto: the system's when CMake
#                                finds one, else the one of the scipy-openblas32 package)

set(TARNIX_SUITESPARSE_MIN 7.2)
# The deep copy of a factor (src/tarnix/spqr/copy.hpp) copies SuiteSparseQR's private
# structures as its release 4.3 lays them out; an installed SuiteSparse with another
# SuiteSparseQR is passed over unless a packager has checked that layout and says so.
option(TARNIX_SPQR_LAYOUT_CHECKED "The installed SuiteSparseQR's private factor layout has been checked against 4.3's" OFF)
set(TARNIX_SUITESPARSE_PACKAGES SuiteSparse_config COLAMD CCOLAMD CAMD BTF CHOLMOD SPQR)
string(REPLACE ";" ", " _tarnix_packages "${TARNIX_SUITESPARSE_PACKAGES}")

option(TARNIX_SYSTEM_SUITESPARSE "Use an installed SuiteSparse >= ${TARNIX_SUITESPARSE_MIN} when one is found" ON)
option(TARNIX_DOWNLOAD_SUITESPARSE "Download and build the pinned SuiteSparse release when no installed one is usable" ON)
set(TARNIX_SUITESPARSE_SOURCE "" CACHE PATH "SuiteSparse release tarball or source tree to build instead of downloading")
set(TARNIX_SUITESPARSE_URL "" CACHE STRING "An extra SuiteSparse tarball URL, tried before the pinned mirrors")
set(TARNIX_SUITESPARSE_SHA256 "" CACHE STRING "SHA-256 of the tarball at TARNIX_SUITESPARSE_URL")
set(TARNIX_SUITESPARSE_WORK_DIR "" CACHE PATH "Where a built SuiteSparse is built and installed (default: in the build tree)")
set(TARNIX_BLAS "auto" CACHE STRING "BLAS/LAPACK for a built SuiteSparse: auto, system or scipy-openblas32")
set_property(CACHE TARNIX_BLAS PROPERTY STRINGS auto system scipy-openblas32)

# The pinned release. Each mirror is "<url> <sha256>". A mirror whose hash nobody has
# checked carries the placeholder UNVERIFIED and is never downloaded: a tarball is only
# ever accepted against a hash written here (or given with TARNIX_SUITESPARSE_URL).
# The upstream archive is listed first but its hash could not be checked from the machine
# this list was written on; whoever can fetch it fills the hash in, and until then the
# Debian archive's copy of the same release (repacked, hence another hash) is used.
set(TARNIX_SUITESPARSE_VERSION 7.10.1)
set(TARNIX_SUITESPARSE_MIRRORS
  "https://github.com/DrTimothyAldenDavis/SuiteSparse/archive/refs/tags/v7.10.1.tar.gz UNVERIFIED"
  "https://deb.debian.org/debian/pool/main/s/suitesparse/suitesparse_7.10.1+dfsg.orig.tar.xz f33dc4dbbaa16711861bb986604ac7ea15d949276951c706c6997d5567cebfcc"
  "http://deb.debian.org/debian/pool/main/s/suitesparse/suitesparse_7.10.1+dfsg.orig.tar.xz f33dc4dbbaa16711861bb986604ac7ea15d949276951c706c6997d5567cebfcc"
  "http://ftp.debian.org/debian/pool/main/s/suitesparse/suitesparse_7.10.1+dfsg.orig.tar.xz f33dc4dbbaa16711861bb986604ac7ea15d949276951c706c6997d5567cebfcc"
)
# What of the release gets unpacked and built: only what tarnix links.
set(TARNIX_SUITESPARSE_PARTS SuiteSparse_config AMD CAMD COLAMD CCOLAMD CHOLMOD SPQR BTF)

# A macro, so that the packages' variables (versions, directories) stay visible.
macro(_tarnix_find_installed out)
  set(_missing "")
  foreach(_pkg IN LISTS TARNIX_SUITESPARSE_PACKAGES)
    find_package(${_pkg} CONFIG QUIET)
    if(NOT ${_pkg}_FOUND)
      list(APPEND _missing ${_pkg})
    endif()
  endforeach()
  if(_missing)
    string(REPLACE ";" ", " _missing "${_missing}")
    set(${out} "an installed one was not found (missing: ${_missing})")
  elseif(SuiteSparse_config_VERSION VERSION_LESS TARNIX_SUITESPARSE_MIN)
    set(${out} "the installed one is ${SuiteSparse_config_VERSION} (${SuiteSparse_config_DIR}), too old")
  elseif(NOT SPQR_VERSION MATCHES "^4\\.3\\." AND NOT TARNIX_SPQR_LAYOUT_CHECKED)
    set(${out} "the installed one holds SuiteSparseQR ${SPQR_VERSION} (${SPQR_DIR}), whose private factor layout tarnix's copy of a factor has not been checked against (it knows 4.3)")
  else()
    set(${out} "")
  endif()
endmacro()

include(${CMAKE_CURRENT_LIST_DIR}/TarnixFetch.cmake)

# Sets BLAS_ARGS (for the SuiteSparse build) and TARNIX_BLAS_LINK / TARNIX_BLAS_PROVIDER
# (for the library that holds SuiteSparse) in the caller's scope.
macro(_tarnix_choose_blas)
  set(_blas "${TARNIX_BLAS}")
  if(_blas STREQUAL "auto" OR _blas STREQUAL "system")
    set(BLA_SIZEOF_INTEGER 4)
    find_package(BLAS QUIET)
    find_package(LAPACK QUIET)
    if(BLAS_FOUND AND LAPACK_FOUND)
      set(_blas system)
    elseif(_blas STREQUAL "system")
      message(FATAL_ERROR "TARNIX_BLAS=system, but CMake finds no 32-bit BLAS and LAPACK")
    else()
      set(_blas scipy-openblas32)
    endif()
  elseif(NOT _blas STREQUAL "scipy-openblas32")
    message(FATAL_ERROR "TARNIX_BLAS must be auto, system or scipy-openblas32, not '${_blas}'")
  endif()
  if(_blas STREQUAL "system")
    # "|" stands for the list separator until the settings are written out.
    string(REPLACE ";" "|" _bl "${BLAS_LIBRARIES}")
    string(REPLACE ";" "|" _ll "${LAPACK_LIBRARIES}")
    set(BLAS_ARGS "BLAS_LIBRARIES=${_bl}" "LAPACK_LIBRARIES=${_ll}"
        "SUITESPARSE_C_TO_FORTRAN=(name,NAME) name##_")
    set(TARNIX_BLAS_LINK ${LAPACK_LIBRARIES} ${BLAS_LIBRARIES})
    set(TARNIX_BLAS_PROVIDER "")
    message(STATUS "tarnix: SuiteSparse calls the system BLAS/LAPACK (${LAPACK_LIBRARIES})")
  else()
    # scipy-openblas32 names every routine scipy_<name>_ (dgemm -> scipy_dgemm_);
    # SuiteSparse's own C-to-Fortran naming rule is set to match. Its library is not
    # linked: the package loads it with global symbols before the extensions (the
    # scipy_openblas32 module does so when imported), so the wheel needs no copy of it.
    execute_process(
      COMMAND "${Python_EXECUTABLE}" -c
        "import scipy_openblas32 as s, os; print(os.path.join(s.get_lib_dir(), s.get_library(True)))"
      OUTPUT_VARIABLE _ob_lib OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _ob_rc ERROR_QUIET)
    if(NOT _ob_rc EQUAL 0 OR NOT EXISTS "${_ob_lib}")
      message(FATAL_ERROR
        "tarnix: no system BLAS/LAPACK found and the scipy-openblas32 package is not "
        "importable by ${Python_EXECUTABLE}. Install one of them (pip install scipy-openblas32, "
        "or your system's OpenBLAS/LAPACK development package).")
    endif()
    set(BLAS_ARGS "BLAS_LIBRARIES=" "LAPACK_LIBRARIES=" "BLA_VENDOR=Generic"
        "SUITESPARSE_C_TO_FORTRAN=(name,NAME) scipy_##name##_")
    set(TARNIX_BLAS_LINK "")
    set(TARNIX_BLAS_PROVIDER "scipy-openblas32")
    message(STATUS "tarnix: SuiteSparse calls the BLAS/LAPACK of scipy-openblas32 (${_ob_lib})")
  endif()
endmacro()

# Builds the pinned SuiteSparse release as static position-independent libraries and
# gathers them into one shared library, libtarnix_suitesparse, that every extension links:
# one copy of SuiteSparse per process, as with an installed SuiteSparse, so that the
# allocator SuiteSparse_config holds is the same for all the modules.
function(_tarnix_build_suitesparse why)
  set(work "${CMAKE_BINARY_DIR}/suitesparse")
  if(TARNIX_SUITESPARSE_WORK_DIR)
    set(work "${TARNIX_SUITESPARSE_WORK_DIR}")
  endif()
  set(prefix "${work}/install")

  set(source "")
  if(TARNIX_SUITESPARSE_SOURCE)
    if(IS_DIRECTORY "${TARNIX_SUITESPARSE_SOURCE}")
      set(source "${TARNIX_SUITESPARSE_SOURCE}")
    elseif(EXISTS "${TARNIX_SUITESPARSE_SOURCE}")
      _tarnix_known_hash(hash "${TARNIX_SUITESPARSE_SOURCE}")
      if(NOT hash)
        message(FATAL_ERROR "TARNIX_SUITESPARSE_SOURCE=${TARNIX_SUITESPARSE_SOURCE} is not the pinned "
                            "SuiteSparse ${TARNIX_SUITESPARSE_VERSION} tarball (its SHA-256 matches none)")
      endif()
      _tarnix_unpack(source "${TARNIX_SUITESPARSE_SOURCE}" "${work}/src")
    else()
      message(FATAL_ERROR "TARNIX_SUITESPARSE_SOURCE=${TARNIX_SUITESPARSE_SOURCE} does not exist")
    endif()
  elseif(NOT TARNIX_DOWNLOAD_SUITESPARSE OR FETCHCONTENT_FULLY_DISCONNECTED)
    message(FATAL_ERROR
      "tarnix needs SuiteSparse >= ${TARNIX_SUITESPARSE_MIN} (${_tarnix_packages}); "
      "${why}, and downloading it is turned off (TARNIX_DOWNLOAD_SUITESPARSE=OFF or "
      "FETCHCONTENT_FULLY_DISCONNECTED=ON). Either install SuiteSparse >= ${TARNIX_SUITESPARSE_MIN} "
      "with its CMake package files and point CMAKE_PREFIX_PATH at it, or allow the download "
      "(or give the release tarball with -DTARNIX_SUITESPARSE_SOURCE=<file>).")
  else()
    file(MAKE_DIRECTORY "${work}/download")
    _tarnix_download(tarball report "${work}/download")
    if(NOT tarball)
      message(FATAL_ERROR
        "tarnix needs SuiteSparse >= ${TARNIX_SUITESPARSE_MIN} (${_tarnix_packages}); "
        "${why}, and the pinned release could not be downloaded:${report}\n"
        "Either install SuiteSparse >= ${TARNIX_SUITESPARSE_MIN} with its CMake package files and "
        "point CMAKE_PREFIX_PATH at it, or build where one of these URLs is reachable (or give "
        "the tarball with -DTARNIX_SUITESPARSE_SOURCE=<file>).")
    endif()
    _tarnix_unpack(source "${tarball}" "${work}/src")
  endif()
  _tarnix_choose_blas()

  # The settings of the SuiteSparse build, as an initial cache (values hold semicolons).
  set(settings
    CMAKE_BUILD_TYPE=Release
    "CMAKE_INSTALL_PREFIX=${prefix}"
    CMAKE_INSTALL_LIBDIR=lib
    "CMAKE_C_COMPILER=${CMAKE_C_COMPILER}"
    "CMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER}"
    "CMAKE_MAKE_PROGRAM=${CMAKE_MAKE_PROGRAM}"
    BUILD_SHARED_LIBS=OFF BUILD_STATIC_LIBS=ON CMAKE_POSITION_INDEPENDENT_CODE=ON
    SUITESPARSE_USE_CUDA=OFF SUITESPARSE_USE_FORTRAN=OFF SUITESPARSE_USE_OPENMP=OFF
    SUITESPARSE_DEMOS=OFF BUILD_TESTING=OFF SUITESPARSE_USE_STRICT=ON
    # SuiteSparseQR needs CHOLMOD's Cholesky and Supernodal modules and refers to its
    # MatrixOps, Check and Partition (METIS) ones; Modify it never uses.
    CHOLMOD_MODIFY=OFF
    ${BLAS_ARGS})
  set(cache "")
  foreach(setting IN LISTS settings)
    string(FIND "${setting}" "=" eq)
    string(SUBSTRING "${setting}" 0 ${eq} name)
    math(EXPR eq "${eq} + 1")
    string(SUBSTRING "${setting}" ${eq} -1 value)
    string(REPLACE "|" ";" value "${value}")
    string(APPEND cache "set(${name} [==[${value}]==] CACHE STRING \"\" FORCE)\n")
  endforeach()
  string(APPEND cache "set(SUITESPARSE_ENABLE_PROJECTS [==[suitesparse_config;amd;camd;colamd;ccolamd;cholmod;spqr;btf]==] CACHE STRING \"\" FORCE)\n")
  set(args -C "${work}/settings.cmake")
  # The build is redone only when what it depends on changes.
  string(SHA256 key "${source}\n${cache}")
  set(stamp "${prefix}/.tarnix-build")
  set(built "")
  if(EXISTS "${stamp}")
    file(READ "${stamp}" built)
  endif()
  if(NOT built STREQUAL key)
    message(STATUS "tarnix: building SuiteSparse from ${source} (logs in ${work})")
    file(REMOVE_RECURSE "${work}/build" "${prefix}")
    file(WRITE "${work}/settings.cmake" "${cache}")
    include(ProcessorCount)
    ProcessorCount(ncpu)
    if(DEFINED ENV{CMAKE_BUILD_PARALLEL_LEVEL})
      set(ncpu "$ENV{CMAKE_BUILD_PARALLEL_LEVEL}")
    elseif(ncpu EQUAL 0)
      set(ncpu 2)
    endif()
    foreach(step configure build install)
      if(step STREQUAL "configure")
        set(cmd "${CMAKE_COMMAND}" -S "${source}" -B "${work}/build" -G "${CMAKE_GENERATOR}" ${args})
      elseif(step STREQUAL "build")
        set(cmd "${CMAKE_COMMAND}" --build "${work}/build" --parallel ${ncpu})
      else()
        set(cmd "${CMAKE_COMMAND}" --install "${work}/build")
      endif()
      execute_process(COMMAND ${cmd} RESULT_VARIABLE rc
                      OUTPUT_FILE "${work}/${step}.log" ERROR_FILE "${work}/${step}.log")
      if(NOT rc EQUAL 0)
        file(READ "${work}/${step}.log" tail OFFSET 0)
        string(LENGTH "${tail}" len)
        if(len GREATER 4000)
          math(EXPR off "${len} - 4000")
          string(SUBSTRING "${tail}" ${off} -1 tail)
        endif()
        message(FATAL_ERROR "tarnix: SuiteSparse ${step} failed (${work}/${step}.log):\n${tail}")
      endif()
    endforeach()
    file(WRITE "${stamp}" "${key}")
  endif()

  set(archives "")
  foreach(lib spqr cholmod btf ccolamd camd colamd amd suitesparseconfig)
    find_library(_lib_${lib} NAMES ${lib} "lib${lib}.a" PATHS "${prefix}/lib" NO_DEFAULT_PATH NO_CACHE REQUIRED)
    list(APPEND archives "${_lib_${lib}}")
  endforeach()
  add_library(tarnix_suitesparse SHARED "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/suitesparse.c")
  target_include_directories(tarnix_suitesparse PUBLIC "${prefix}/include/suitesparse")
  find_package(Threads REQUIRED)
  if(APPLE)
    list(TRANSFORM archives PREPEND "-Wl,-force_load,")
    target_link_libraries(tarnix_suitesparse PRIVATE ${archives})
    if(TARNIX_BLAS_PROVIDER)
      target_link_options(tarnix_suitesparse PRIVATE -undefined dynamic_lookup)
    endif()
  else()
    target_link_libraries(tarnix_suitesparse PRIVATE -Wl,--whole-archive ${archives} -Wl,--no-whole-archive)
  endif()
  target_link_libraries(tarnix_suitesparse PRIVATE ${TARNIX_BLAS_LINK} Threads::Threads m)
  # Named for the release it holds (libtarnix_suitesparse.so.7.10.1), and installed without
  # the unversioned link: a file ending in .so in the package directory would be taken for
  # an extension module (pkgutil lists it, stubtest and `import tarnix.<name>` try it).
  set_target_properties(tarnix_suitesparse PROPERTIES LINKER_LANGUAGE CXX
                        SOVERSION ${TARNIX_SUITESPARSE_VERSION})
  install(TARGETS tarnix_suitesparse LIBRARY DESTINATION tarnix NAMELINK_SKIP RUNTIME DESTINATION tarnix)
  # The license texts of what the library holds are those of licenses/SuiteSparse/, which
  # pyproject.toml puts into the wheel's metadata: update them with the pinned release.
  set(TARNIX_SUITESPARSE_SOURCE_DIR "${source}" PARENT_SCOPE)
  set(TARNIX_BLAS_PROVIDER "${TARNIX_BLAS_PROVIDER}" PARENT_SCOPE)
  set(TARNIX_BUNDLED_SUITESPARSE ON PARENT_SCOPE)
endfunction()

set(TARNIX_BUNDLED_SUITESPARSE OFF)
set(TARNIX_BLAS_PROVIDER "")
set(_tarnix_why "the search for an installed one is turned off (TARNIX_SYSTEM_SUITESPARSE=OFF)")
if(TARNIX_SYSTEM_SUITESPARSE AND NOT TARNIX_SUITESPARSE_SOURCE)
  _tarnix_find_installed(_tarnix_why)
endif()
if(TARNIX_SYSTEM_SUITESPARSE AND NOT TARNIX_SUITESPARSE_SOURCE AND NOT _tarnix_why)
  message(STATUS "tarnix: SuiteSparse ${SuiteSparse_config_VERSION} from ${SuiteSparse_config_DIR}")
else()
  if(TARNIX_SUITESPARSE_SOURCE)
    set(_tarnix_why "TARNIX_SUITESPARSE_SOURCE is given")
  endif()
  message(STATUS "tarnix: no installed SuiteSparse used (${_tarnix_why}); building ${TARNIX_SUITESPARSE_VERSION}")
  _tarnix_build_suitesparse("${_tarnix_why}")
endif()

# Prefer the shared SuiteSparse libraries of an installation; fall back to static ones.
function(tarnix_suitesparse_target out pkg)
  if(TARNIX_BUNDLED_SUITESPARSE)
    set(${out} tarnix_suitesparse PARENT_SCOPE)
  elseif(TARGET SuiteSparse::${pkg})
    set(${out} SuiteSparse::${pkg} PARENT_SCOPE)
  elseif(TARGET SuiteSparse::${pkg}_static)
    set(${out} SuiteSparse::${pkg}_static PARENT_SCOPE)
  else()
    message(FATAL_ERROR "SuiteSparse package ${pkg} defines no library target")
  endif()
endfunction()
