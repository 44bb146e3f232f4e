# Turns the two firmware image files into the constant arrays fpgabin and
# mcubin at configure time: a plain C++ source that MSVC and MinGW compile
# alike, with no build-time tool to cross-build. The image files are
# configure dependencies, so replacing one re-runs this on the next build.

set(KALVO_PAGE_BYTES 2048)
set(KALVO_FPGA_HEADER_BYTES 4)
set(KALVO_FIRST_FPGA_PAGE 4096)   # 0x1000
set(KALVO_FIRST_MCU_PAGE 4)
set(KALVO_LAST_PAGE_NUMBER 65535) # page numbers travel as 16 bits

function(kalvo_bytes_as_array file out_var)
  file(READ "${file}" hex HEX)
  # Sixteen bytes a line, so that the generated source stays readable.
  string(REPEAT "[0-9a-f]" 32 line_of_hex)
  string(REGEX REPLACE "(${line_of_hex})" "\\1\n" hex "${hex}")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  set(${out_var} "${bytes}" PARENT_SCOPE)
endfunction()

function(kalvo_embed_images fpga_file mcu_file out_dir)
  foreach(image IN ITEMS "${fpga_file}" "${mcu_file}")
    if(NOT EXISTS "${image}")
      message(FATAL_ERROR "Firmware image ${image} does not exist.")
    endif()
    set_property(DIRECTORY "${CMAKE_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${image}")
  endforeach()
  file(SIZE "${fpga_file}" fpga_bytes)
  file(SIZE "${mcu_file}" mcu_bytes)

  if(fpga_bytes EQUAL 0)
    message(FATAL_ERROR "FPGA image ${fpga_file} is empty.")
  endif()
  if(mcu_bytes EQUAL 0)
    message(FATAL_ERROR "MCU image ${mcu_file} is empty.")
  endif()
  math(EXPR mcu_rest "${mcu_bytes} % ${KALVO_PAGE_BYTES}")
  if(NOT mcu_rest EQUAL 0)
    message(FATAL_ERROR "MCU image ${mcu_file} is ${mcu_bytes} bytes, not a whole number of ${KALVO_PAGE_BYTES}-byte pages.")
  endif()
  math(EXPR mcu_pages "${mcu_bytes} / ${KALVO_PAGE_BYTES}")
  math(EXPR last_mcu_page "${KALVO_FIRST_MCU_PAGE} + ${mcu_pages} - 1")
  if(last_mcu_page GREATER_EQUAL KALVO_FIRST_FPGA_PAGE)
    message(FATAL_ERROR "MCU image ${mcu_file} has ${mcu_pages} pages: its page numbers would reach 0x1000, the first FPGA page number.")
  endif()
  # The stream is the 4-byte length header and the image, cut into whole pages.
  math(EXPR fpga_pages "(${fpga_bytes} + ${KALVO_FPGA_HEADER_BYTES} + ${KALVO_PAGE_BYTES} - 1) / ${KALVO_PAGE_BYTES}")
  math(EXPR last_fpga_page "${KALVO_FIRST_FPGA_PAGE} + ${fpga_pages} - 1")
  if(last_fpga_page GREATER KALVO_LAST_PAGE_NUMBER)
    message(FATAL_ERROR "FPGA image ${fpga_file} has ${fpga_pages} pages: its page numbers would pass 0xFFFF.")
  endif()
  # fpgabin reaches to the end of the last page, so that every page is cut
  # from within the array; the tail is zero.
  math(EXPR fpgabin_bytes "${fpga_pages} * ${KALVO_PAGE_BYTES}")
  math(EXPR tail_bytes "${fpgabin_bytes} - ${fpga_bytes}")

  kalvo_bytes_as_array("${fpga_file}" fpga_array)
  kalvo_bytes_as_array("${mcu_file}" mcu_array)
  string(REPEAT "0x00," ${tail_bytes} tail_array)

  set(KALVO_FPGA_IMAGE_BYTES ${fpga_bytes})
  set(KALVO_FPGABIN_BYTES ${fpgabin_bytes})
  set(KALVO_MCU_IMAGE_BYTES ${mcu_bytes})
  set(KALVO_FPGA_PAGES ${fpga_pages})
  set(KALVO_MCU_PAGES ${mcu_pages})
  set(KALVO_FPGA_ARRAY "${fpga_array}\n${tail_array}")
  set(KALVO_MCU_ARRAY "${mcu_array}")
  configure_file("${CMAKE_SOURCE_DIR}/cmake/kalvo_images.h.in" "${out_dir}/kalvo_images.h" @ONLY)
  configure_file("${CMAKE_SOURCE_DIR}/cmake/kalvo_images.cpp.in" "${out_dir}/kalvo_images.cpp" @ONLY)
  message(STATUS "Firmware images: FPGA ${fpga_bytes} bytes (${fpga_pages} pages), MCU ${mcu_bytes} bytes (${mcu_pages} pages)")
endfunction()
