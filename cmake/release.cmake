# What a release needs to know about this build, and a program that is the
# same bytes wherever it is built.
#
# The images in images/, the default vendor identifier and the default
# manufacturer are placeholders: flashed into a real Kalvo, the placeholder
# images leave it without working firmware. The configure step says so
# whenever it embeds one, the program's version resource then calls itself a
# test release, and the packaging (release/package.py) refuses such a build
# unless told it is a test release.

# SHA-256 of images/fpga.bin and images/mcu.bin as images/make_placeholders.py
# writes them.
set(KALVO_PLACEHOLDER_FPGA_SHA256 61f2d9e5add2151396e6432bd1a8d6e4ad73d7fdae83b5bd507385d833fa1ea0)
set(KALVO_PLACEHOLDER_MCU_SHA256 9f7c973f3a36dbbf7c2ee71b7cc59e04d1dd51780ac659057562040d81262c93)
set(KALVO_PLACEHOLDER_MANUFACTURER "Example Maker (placeholder)")

option(KALVO_TEST_RELEASE "Mark the program as a test release, not for general use" OFF)
# scripts/release.sh gives its release its version and says it is one: a
# release build names each placeholder in full, a development build in one
# line.
set(KALVO_VERSION "" CACHE STRING "The release's version, X.Y.Z (none: a test build)")
option(KALVO_RELEASE "Configured by scripts/release.sh: each placeholder warned of in full" OFF)
# Who makes and who supplies the program: the version resource's CompanyName
# and LegalCopyright, the bill of materials' manufacturer, author and
# supplier.
set(KALVO_MANUFACTURER "${KALVO_PLACEHOLDER_MANUFACTURER}" CACHE STRING
    "The organisation that makes kalvo-update, as its version resource and bill of materials name it")
set(KALVO_SUPPLIER "" CACHE STRING
    "The organisation that supplies the release to its users (default: the manufacturer)")
set(KALVO_LEGAL_COPYRIGHT "" CACHE STRING
    "The version resource's copyright notice (default: Copyright (C) MANUFACTURER)")
set(KALVO_FPGA_VERSION "" CACHE STRING "Version of the FPGA image, for the bill of materials")
set(KALVO_MCU_VERSION "" CACHE STRING "Version of the MCU image, for the bill of materials")
# A tree exported without .git (a clean room, an archive) is told its commit
# here, or in the environment of its first configure.
set(KALVO_SOURCE_COMMIT "$ENV{KALVO_SOURCE_COMMIT}" CACHE STRING
    "The commit the tree is, unchanged, for the bill of materials of a tree without .git")
set(kalvo_supplier "${KALVO_SUPPLIER}")
if(kalvo_supplier STREQUAL "")
  set(kalvo_supplier "${KALVO_MANUFACTURER}")
endif()
set(KALVO_COPYRIGHT_NOTICE "${KALVO_LEGAL_COPYRIGHT}")
if(KALVO_COPYRIGHT_NOTICE STREQUAL "")
  set(KALVO_COPYRIGHT_NOTICE "Copyright (C) ${KALVO_MANUFACTURER}")
endif()

set(KALVO_PLACEHOLDERS "")
set(kalvo_placeholder_warnings "")
# Each placeholder's warning: in full for a release build, named in one line
# for a development build.
macro(kalvo_placeholder what)
  list(APPEND KALVO_PLACEHOLDERS "${what}")
  string(CONCAT kalvo_warning ${ARGN})
  list(APPEND kalvo_placeholder_warnings "${kalvo_warning}")
endmacro()
if(NOT KALVO_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
  if(NOT KALVO_VERSION STREQUAL "")
    message(FATAL_ERROR "KALVO_VERSION must be three numbers, X.Y.Z, not '${KALVO_VERSION}'.")
  endif()
  kalvo_placeholder(version "KALVO_VERSION is not given: the program's version is the tree's "
                    "${PROJECT_VERSION} marked as a test. This build is a test release; set "
                    "KALVO_VERSION (X.Y.Z) for a release.")
  string(REGEX MATCH "^([0-9]+)\\.([0-9]+)\\.([0-9]+)" kalvo_numbers "${PROJECT_VERSION}")
endif()
set(KALVO_VERSION_NUMBERS "${CMAKE_MATCH_1},${CMAKE_MATCH_2},${CMAKE_MATCH_3},0")
foreach(kind IN ITEMS FPGA MCU)
  file(SHA256 "${KALVO_${kind}_IMAGE}" image_sha256)
  set(kalvo_${kind}_version "${KALVO_${kind}_VERSION}")
  if(image_sha256 STREQUAL KALVO_PLACEHOLDER_${kind}_SHA256)
    kalvo_placeholder("${kind} image" "The ${kind} image ${KALVO_${kind}_IMAGE} is the "
                      "placeholder, not Kalvo firmware: flashed into a Kalvo it leaves the device "
                      "without working firmware. This build is a test release; set "
                      "KALVO_${kind}_IMAGE to the real image for a release.")
    if(kalvo_${kind}_version STREQUAL "")
      set(kalvo_${kind}_version placeholder)
    endif()
  elseif(kalvo_${kind}_version STREQUAL "")
    kalvo_placeholder("${kind} image version" "The ${kind} image ${KALVO_${kind}_IMAGE} has no "
                      "version, which the bill of materials gives. This build is a test release; "
                      "set KALVO_${kind}_VERSION for a release.")
  endif()
endforeach()
math(EXPR vendor_id "${KALVO_VENDOR_ID}" OUTPUT_FORMAT HEXADECIMAL)
math(EXPR placeholder_vendor_id "${KALVO_PLACEHOLDER_VENDOR_ID}" OUTPUT_FORMAT HEXADECIMAL)
if(vendor_id STREQUAL placeholder_vendor_id)
  kalvo_placeholder("vendor identifier" "KALVO_VENDOR_ID ${KALVO_VENDOR_ID} is the placeholder, "
                    "not the Kalvo's vendor identifier: the program will not find a real Kalvo. "
                    "This build is a test release; set KALVO_VENDOR_ID to the real one for a "
                    "release.")
endif()
if(KALVO_MANUFACTURER STREQUAL KALVO_PLACEHOLDER_MANUFACTURER)
  kalvo_placeholder(manufacturer "KALVO_MANUFACTURER \"${KALVO_MANUFACTURER}\" is the "
                    "placeholder, which the version resource and the bill of materials would "
                    "name as the maker. This build is a test release; set KALVO_MANUFACTURER "
                    "for a release.")
endif()
if(kalvo_supplier STREQUAL KALVO_PLACEHOLDER_MANUFACTURER)
  kalvo_placeholder(supplier "The supplier \"${kalvo_supplier}\" is the placeholder "
                    "(KALVO_SUPPLIER, by default the manufacturer). This build is a test "
                    "release; set KALVO_SUPPLIER or KALVO_MANUFACTURER for a release.")
endif()
if(KALVO_RELEASE)
  foreach(warning IN LISTS kalvo_placeholder_warnings)
    message(WARNING "${warning}")
  endforeach()
elseif(KALVO_PLACEHOLDERS AND WIN32)
  # Only the Windows program is ever released; the host build holds the same.
  string(REPLACE ";" ", " named "${KALVO_PLACEHOLDERS}")
  message(NOTICE "Test build, not for release: placeholder ${named} (release/README.md says "
          "what each means).")
endif()

set(KALVO_FILE_DESCRIPTION "${PROJECT_DESCRIPTION}")
# A test build's version is marked as one: the packaging adds the commit.
if(KALVO_TEST_RELEASE OR KALVO_PLACEHOLDERS)
  set(KALVO_FILE_DESCRIPTION "${PROJECT_DESCRIPTION} (TEST RELEASE, not for general use)")
  set(kalvo_test_release 1)
  if(KALVO_VERSION STREQUAL "")
    set(KALVO_VERSION_TEXT "${PROJECT_VERSION}-test")
  else()
    set(KALVO_VERSION_TEXT "${KALVO_VERSION}-test")
  endif()
else()
  set(kalvo_test_release 0)
  set(KALVO_VERSION_TEXT "${KALVO_VERSION}")
endif()

# What release/package.py reads beside the program: the version, who makes
# and supplies it, what is built in (it goes into the bill of materials), the
# sources of the program's own code (the rest of the link needs notices) and
# the tools that built it. Written once the whole tree is configured, when
# every target and tool is known.
function(kalvo_write_release_facts)
  string(REPLACE ";" "," placeholder_list "${KALVO_PLACEHOLDERS}")
  set(facts "version=${KALVO_VERSION_TEXT}\n"
            "test_release=${kalvo_test_release}\n"
            "placeholders=${placeholder_list}\n"
            "vendor_id=${KALVO_VENDOR_ID}\n"
            "manufacturer=${KALVO_MANUFACTURER}\n"
            "supplier=${kalvo_supplier}\n"
            "source_commit=${KALVO_SOURCE_COMMIT}\n")
  foreach(kind IN ITEMS FPGA MCU)
    string(TOLOWER "${kind}" key)
    get_filename_component(name "${KALVO_${kind}_IMAGE}" NAME)
    file(SIZE "${KALVO_${kind}_IMAGE}" size)
    file(SHA256 "${KALVO_${kind}_IMAGE}" sha256)
    list(APPEND facts "${key}_image=${name}\n" "${key}_size=${size}\n" "${key}_sha256=${sha256}\n"
                      "${key}_version=${kalvo_${kind}_version}\n")
  endforeach()
  # Each source as CMake names its object: relative to the build folder when
  # generated there, else to the tree.
  foreach(target IN ITEMS kalvo_product kalvo-update)
    get_target_property(sources ${target} SOURCES)
    set(named "")
    foreach(source IN LISTS sources)
      cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY "${PROJECT_SOURCE_DIR}" NORMALIZE)
      cmake_path(IS_PREFIX CMAKE_BINARY_DIR "${source}" NORMALIZE generated)
      if(generated)
        cmake_path(RELATIVE_PATH source BASE_DIRECTORY "${CMAKE_BINARY_DIR}")
      else()
        cmake_path(RELATIVE_PATH source BASE_DIRECTORY "${PROJECT_SOURCE_DIR}")
      endif()
      list(APPEND named "${source}")
    endforeach()
    string(REPLACE ";" "," named "${named}")
    list(APPEND facts "sources.${target}=${named}\n")
  endforeach()
  # With GCC the linker is the one the compiler driver runs, not
  # CMAKE_LINKER; Visual Studio's cl knows no such question.
  set(linker "${CMAKE_LINKER}")
  if(NOT MSVC)
    execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -print-prog-name=ld
                    OUTPUT_VARIABLE linker OUTPUT_STRIP_TRAILING_WHITESPACE)
  endif()
  foreach(tool IN ITEMS "compiler=${CMAKE_CXX_COMPILER}" "linker=${linker}"
                        "resource_compiler=${CMAKE_RC_COMPILER}"
                        "cmake=${CMAKE_COMMAND}" "build_program=${CMAKE_MAKE_PROGRAM}")
    if(NOT tool MATCHES "=$")
      list(APPEND facts "tool.${tool}\n")
    endif()
  endforeach()
  string(CONCAT facts ${facts})
  file(WRITE "${CMAKE_BINARY_DIR}/kalvo-release.txt" "${facts}")
endfunction()
cmake_language(DEFER CALL kalvo_write_release_facts)

if(MINGW)
  # No build folder in the program, and no link time in its header: two
  # builds of one tree give the same bytes.
  add_compile_options("-ffile-prefix-map=${CMAKE_SOURCE_DIR}=." "-ffile-prefix-map=${CMAKE_BINARY_DIR}=.")
  add_link_options(-Wl,--no-insert-timestamp)
endif()
