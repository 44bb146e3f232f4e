# What a release needs to know about this build, and a program that is the
# same bytes wherever it is built.
#
# The images in images/ and the default vendor identifier are placeholders:
# flashed into a real Kalvo, the placeholder images leave it without working
# firmware. The configure step says so whenever it embeds one, the program's
# version resource then calls itself a test release, and the packaging
# (release/package.py) refuses such a build unless told it is a test release.

# SHA-256 of images/fpga.bin and images/mcu.bin as images/make_placeholders.py
# writes them.
set(KALVO_PLACEHOLDER_FPGA_SHA256 61f2d9e5add2151396e6432bd1a8d6e4ad73d7fdae83b5bd507385d833fa1ea0)
set(KALVO_PLACEHOLDER_MCU_SHA256 9f7c973f3a36dbbf7c2ee71b7cc59e04d1dd51780ac659057562040d81262c93)

option(KALVO_TEST_RELEASE "Mark the program as a test release, not for general use" OFF)

set(KALVO_PLACEHOLDERS "")
foreach(kind IN ITEMS FPGA MCU)
  file(SHA256 "${KALVO_${kind}_IMAGE}" image_sha256)
  if(image_sha256 STREQUAL KALVO_PLACEHOLDER_${kind}_SHA256)
    list(APPEND KALVO_PLACEHOLDERS "${kind} image")
    message(WARNING "The ${kind} image ${KALVO_${kind}_IMAGE} is the placeholder, not Kalvo "
            "firmware: flashed into a Kalvo it leaves the device without working firmware. "
            "This build is a test release; set KALVO_${kind}_IMAGE to the real image for a release.")
  endif()
endforeach()
math(EXPR vendor_id "${KALVO_VENDOR_ID}" OUTPUT_FORMAT HEXADECIMAL)
math(EXPR placeholder_vendor_id "${KALVO_PLACEHOLDER_VENDOR_ID}" OUTPUT_FORMAT HEXADECIMAL)
if(vendor_id STREQUAL placeholder_vendor_id)
  list(APPEND KALVO_PLACEHOLDERS "vendor identifier")
  message(WARNING "KALVO_VENDOR_ID ${KALVO_VENDOR_ID} is the placeholder, not the Kalvo's "
          "vendor identifier: the program will not find a real Kalvo. This build is a test "
          "release; set KALVO_VENDOR_ID to the real one for a release.")
endif()

set(KALVO_FILE_DESCRIPTION "${PROJECT_DESCRIPTION}")
if(KALVO_TEST_RELEASE OR KALVO_PLACEHOLDERS)
  set(KALVO_FILE_DESCRIPTION "${PROJECT_DESCRIPTION} (TEST RELEASE, not for general use)")
  set(kalvo_test_release 1)
else()
  set(kalvo_test_release 0)
endif()

# Read by release/package.py beside the program.
string(REPLACE ";" "," kalvo_placeholder_list "${KALVO_PLACEHOLDERS}")
file(WRITE "${CMAKE_BINARY_DIR}/kalvo-release.txt"
     "version=${PROJECT_VERSION}\n"
     "test_release=${kalvo_test_release}\n"
     "placeholders=${kalvo_placeholder_list}\n")

if(MINGW)
  # No build folder in the program, and no link time in its header: two
  # builds of one tree give the same bytes.
  add_compile_options("-ffile-prefix-map=${CMAKE_SOURCE_DIR}=." "-ffile-prefix-map=${CMAKE_BINARY_DIR}=.")
  add_link_options(-Wl,--no-insert-timestamp)
endif()
