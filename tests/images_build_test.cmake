cmake_minimum_required(VERSION 3.20)
# Builds the program with other firmware images and checks that the page
# counts follow them, and that images the device cannot take stop the
# configure step with a message. Needs SOURCE_DIR, WORK_DIR and GENERATOR.

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")

function(make_image path bytes)
  # Sparse files: the size checks come before anything is read.
  execute_process(COMMAND truncate -s ${bytes} "${path}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "could not make ${path}")
  endif()
endfunction()

function(configure name fpga mcu out_result out_log)
  execute_process(
    COMMAND "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${WORK_DIR}/${name}" -G "${GENERATOR}"
            -DKALVO_TESTS=OFF -DKALVO_FPGA_IMAGE=${fpga} -DKALVO_MCU_IMAGE=${mcu}
    RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(${out_result} "${result}" PARENT_SCOPE)
  set(${out_log} "${out}${err}" PARENT_SCOPE)
endfunction()

function(expect_refused name fpga mcu text)
  configure(${name} "${fpga}" "${mcu}" result log)
  if(result EQUAL 0)
    message(FATAL_ERROR "${name}: configure accepted images it should refuse")
  endif()
  # CMake wraps long messages: compare with the white space folded.
  string(REGEX REPLACE "[ \n]+" " " folded "${log}")
  string(FIND "${folded}" "${text}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${name}: configure failed without saying '${text}':\n${log}")
  endif()
  message(STATUS "${name}: refused as expected")
endfunction()

set(small_fpga "${WORK_DIR}/small_fpga.bin")
set(small_mcu "${WORK_DIR}/small_mcu.bin")
# 5000 bytes: with its 4-byte header, three FPGA pages. Two MCU pages.
string(REPEAT "kalvo" 1000 fpga_text)
file(WRITE "${small_fpga}" "${fpga_text}")
string(REPEAT "m" 4096 mcu_text)
file(WRITE "${small_mcu}" "${mcu_text}")

configure(small "${small_fpga}" "${small_mcu}" result log)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "small images: configure failed:\n${log}")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${WORK_DIR}/small" --target kalvo-update
                RESULT_VARIABLE result OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "small images: build failed:\n${log}")
endif()
execute_process(COMMAND "${WORK_DIR}/small/kalvo-update" RESULT_VARIABLE status
                OUTPUT_VARIABLE transcript)
set(expected "Updating FPGA.... done.\nUpdating MCU... done.\nRestarting...\n")
if(NOT status EQUAL 0 OR NOT transcript STREQUAL expected)
  message(FATAL_ERROR "small images: status ${status}, transcript:\n${transcript}")
endif()
message(STATUS "small images: 3 FPGA pages and 2 MCU pages, status 0")

make_image("${WORK_DIR}/empty.bin" 0)
make_image("${WORK_DIR}/odd_mcu.bin" 3000)
# 4093 MCU pages would be numbered 4 to 0x1000.
make_image("${WORK_DIR}/huge_mcu.bin" 8382464)
# 61440 FPGA pages would be numbered 0x1000 to 0x10000.
make_image("${WORK_DIR}/huge_fpga.bin" 125829117)

expect_refused(empty_fpga "${WORK_DIR}/empty.bin" "${small_mcu}" "is empty")
expect_refused(empty_mcu "${small_fpga}" "${WORK_DIR}/empty.bin" "is empty")
expect_refused(odd_mcu "${small_fpga}" "${WORK_DIR}/odd_mcu.bin" "not a whole number of 2048-byte pages")
expect_refused(huge_mcu "${small_fpga}" "${WORK_DIR}/huge_mcu.bin" "would reach 0x1000")
expect_refused(huge_fpga "${WORK_DIR}/huge_fpga.bin" "${small_mcu}" "would pass 0xFFFF")
expect_refused(missing "${WORK_DIR}/none.bin" "${small_mcu}" "does not exist")
file(REMOVE_RECURSE "${WORK_DIR}")
