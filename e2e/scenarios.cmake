# kalvo-update.exe end to end under Wine: the scenarios of e2e/run_e2e.py as
# tests of the host build, included by tests/CMakeLists.txt when the cross
# build made the program. They use the harness that the Windows build put
# beside the program (its e2e folder) and two Wine prefixes in this build
# folder, made by the first run: one with the test hid.dll and setupapi.dll in
# its system directory, one with Wine's own only. A wineserver runs in each
# from the first scenario to the last.
option(KALVO_E2E_TESTS "Run kalvo-update.exe end to end under Wine" ON)
if(NOT KALVO_E2E_TESTS)
  return()
endif()

find_package(Python3 REQUIRED COMPONENTS Interpreter)
# Debian 12 and 13 put wine and wineserver on PATH. Debian unstable's Wine 10
# leaves both in Wine's own folder (/usr/lib/x86_64-linux-gnu/wine, the
# loader there named wine), with nothing on PATH but wine-stable scripts; the
# server that goes with a loader lies beside it.
set(kalvo_wine_folders /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/wine /usr/lib/wine)
find_program(KALVO_WINE wine PATHS ${kalvo_wine_folders})
if(KALVO_WINE)
  get_filename_component(kalvo_wine_loader "${KALVO_WINE}" REALPATH)
  get_filename_component(kalvo_wine_loader_folder "${kalvo_wine_loader}" DIRECTORY)
  list(PREPEND kalvo_wine_folders "${kalvo_wine_loader_folder}")
endif()
find_program(KALVO_WINESERVER wineserver PATHS ${kalvo_wine_folders})
if(NOT KALVO_WINE OR NOT KALVO_WINESERVER)
  message(FATAL_ERROR "The end-to-end tests run kalvo-update.exe under Wine, which is not "
          "installed (no wine and wineserver on PATH or in ${kalvo_wine_folders}): "
          "scripts/install-deps.sh installs it, or configure with -DKALVO_E2E_TESTS=OFF to "
          "leave them out.")
endif()
get_filename_component(kalvo_windows_build "${KALVO_WINDOWS_EXE}" DIRECTORY)
set(KALVO_E2E_HARNESS "${kalvo_windows_build}/e2e" CACHE PATH
    "Folder of the Windows build's end-to-end harness (hid.dll, setupapi.dll, pipe_server.exe)")

set(kalvo_e2e_runner "${CMAKE_CURRENT_LIST_DIR}/run_e2e.py")
set(kalvo_e2e_prefix "${CMAKE_BINARY_DIR}/e2e-wineprefix")
set(kalvo_e2e_plain_prefix "${CMAKE_BINARY_DIR}/e2e-wineprefix-plain")

# The prefix with the test DLLs, and the plain one.
foreach(kind IN ITEMS "" Plain)
  if(kind STREQUAL "")
    set(prefix "${kalvo_e2e_prefix}")
    set(system_dlls --system-dlls "${KALVO_E2E_HARNESS}")
  else()
    set(prefix "${kalvo_e2e_plain_prefix}")
    set(system_dlls "")
  endif()
  add_test(NAME WineE2E.${kind}Prefix
    COMMAND Python3::Interpreter "${kalvo_e2e_runner}" prefix-up --prefix "${prefix}"
            --wine "${KALVO_WINE}" --wineserver "${KALVO_WINESERVER}" ${system_dlls})
  # Making a prefix takes a while, once. Like every timeout here it only
  # bounds a hang: the runner's own bounds on its steps add up to less.
  set_tests_properties(WineE2E.${kind}Prefix PROPERTIES FIXTURES_SETUP kalvo_wine TIMEOUT 1500)
  add_test(NAME WineE2E.${kind}Shutdown
    COMMAND Python3::Interpreter "${kalvo_e2e_runner}" prefix-down --prefix "${prefix}"
            --wineserver "${KALVO_WINESERVER}")
  set_tests_properties(WineE2E.${kind}Shutdown PROPERTIES FIXTURES_CLEANUP kalvo_wine TIMEOUT 300)
endforeach()

# Adds GROUP.NAME for each pair of a test's name and the runner's scenario in
# PAIRS, run with the runner's OPTIONS (backend, prefixes) and its work under
# WORK, needing FIXTURE; with LOCK, one at a time; on the program EXE
# (KALVO_WINDOWS_EXE unless told).
function(kalvo_e2e_scenarios group)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "FIXTURE;WORK;LOCK;EXE" "PAIRS;OPTIONS")
  if(NOT arg_EXE)
    set(arg_EXE "${KALVO_WINDOWS_EXE}")
  endif()
  set(index 0)
  list(LENGTH arg_PAIRS count)
  while(index LESS count)
    list(GET arg_PAIRS ${index} test_name)
    math(EXPR index "${index} + 1")
    list(GET arg_PAIRS ${index} scenario)
    math(EXPR index "${index} + 1")
    add_test(NAME ${group}.${test_name}
      COMMAND Python3::Interpreter "${kalvo_e2e_runner}" scenario ${scenario} ${arg_OPTIONS}
              --wine "${KALVO_WINE}" --wineserver "${KALVO_WINESERVER}"
              --exe "${arg_EXE}" --harness "${KALVO_E2E_HARNESS}"
              --work "${arg_WORK}/${scenario}" --vendor "${KALVO_VENDOR_ID}"
              --fpga "${KALVO_FPGA_IMAGE}" --mcu "${KALVO_MCU_IMAGE}")
    # The timeout only bounds a hang: the runner's own bounds on the program
    # and on each of its steps (run_e2e.py) add up to less.
    set_tests_properties(${group}.${test_name} PROPERTIES FIXTURES_REQUIRED ${arg_FIXTURE}
                         TIMEOUT 1500)
    if(arg_LOCK)
      set_tests_properties(${group}.${test_name} PROPERTIES RESOURCE_LOCK ${arg_LOCK})
    endif()
  endwhile()
endfunction()

kalvo_e2e_scenarios(WineE2E FIXTURE kalvo_wine WORK "${CMAKE_BINARY_DIR}/e2e"
  OPTIONS --prefix "${kalvo_e2e_prefix}" --plain-prefix "${kalvo_e2e_plain_prefix}"
  PAIRS
    FullUpdate full-update
    NoBootloaderWithWinesOwnHid no-bootloader
    PageNeverAcknowledged never-acknowledged-page
    AcknowledgementInTheSecondReadTry late-acknowledgement
    AcknowledgementsQueuedPastThreeReadTries queued-acknowledgements
    InterfacesFailingIdentificationGetNoReport identification
    BareLoopCarriesTheUpdatesTraffic bare-loop)

# The same runner on Wine's own HID stack (hid-stack backend): every
# interface is a virtual Kalvo bootloader of e2e/hid_stack, installed into a
# prefix that holds no test DLL. A scenario's installation first removes every
# virtual bootloader in its prefix, so the scenarios of one prefix run one at
# a time; two prefixes, each with its own wineserver and devices, run two
# scenarios at once.
foreach(kind IN ITEMS "" Second)
  if(kind STREQUAL "")
    set(prefix "${CMAKE_BINARY_DIR}/e2e-hidstack-wineprefix")
    set(fixture kalvo_hid_stack)
    set(pairs
      FullUpdate full-update
      AcknowledgementsQueuedPastThreeReadTries queued-acknowledgements
      RemovedMidFpgaEndsWithStatus3 removed-mid-fpga
      BareLoopCarriesTheUpdatesTraffic bare-loop)
  else()
    set(prefix "${CMAKE_BINARY_DIR}/e2e-hidstack-wineprefix-2")
    set(fixture kalvo_hid_stack_2)
    set(pairs
      PageNeverAcknowledged never-acknowledged-page
      AcknowledgementInTheSecondReadTry late-acknowledgement
      DecoyBeforeTheKalvoIsOnlyOpenedAndClosed decoy-first
      PlantedLibrariesAreNeverLoadedByAFullUpdate planted-dlls)
  endif()
  add_test(NAME WineHidStack.${kind}Prefix
    COMMAND Python3::Interpreter "${kalvo_e2e_runner}" prefix-up --prefix "${prefix}"
            --wine "${KALVO_WINE}" --wineserver "${KALVO_WINESERVER}" --backend hid-stack
            --harness "${KALVO_E2E_HARNESS}")
  set_tests_properties(WineHidStack.${kind}Prefix PROPERTIES FIXTURES_SETUP ${fixture} TIMEOUT 1500)
  add_test(NAME WineHidStack.${kind}Shutdown
    COMMAND Python3::Interpreter "${kalvo_e2e_runner}" prefix-down --prefix "${prefix}"
            --wineserver "${KALVO_WINESERVER}")
  set_tests_properties(WineHidStack.${kind}Shutdown PROPERTIES FIXTURES_CLEANUP ${fixture}
                       TIMEOUT 300)
  kalvo_e2e_scenarios(WineHidStack FIXTURE ${fixture} WORK "${CMAKE_BINARY_DIR}/e2e-hidstack"
    LOCK ${fixture}
    OPTIONS --backend hid-stack --prefix "${prefix}"
    PAIRS ${pairs})
endforeach()

# The program built with clang and LLD (cmake/clang-mingw-w64-x86_64.cmake),
# when the host build is given one: the full update on each backend, in the
# prefixes above and with the harness of the build above, so that only the
# program differs.
if(KALVO_WINDOWS_CLANG_EXE)
  kalvo_e2e_scenarios(WineE2E FIXTURE kalvo_wine WORK "${CMAKE_BINARY_DIR}/e2e-clang"
    EXE "${KALVO_WINDOWS_CLANG_EXE}"
    OPTIONS --prefix "${kalvo_e2e_prefix}" --plain-prefix "${kalvo_e2e_plain_prefix}"
    PAIRS FullUpdateOfTheClangProgram full-update)
  kalvo_e2e_scenarios(WineHidStack FIXTURE kalvo_hid_stack_2
    WORK "${CMAKE_BINARY_DIR}/e2e-hidstack-clang" LOCK kalvo_hid_stack_2
    EXE "${KALVO_WINDOWS_CLANG_EXE}"
    OPTIONS --backend hid-stack --prefix "${CMAKE_BINARY_DIR}/e2e-hidstack-wineprefix-2"
    PAIRS FullUpdateOfTheClangProgram full-update)
endif()

# Stack protection proved by what it does (tests/check_pe.py --prove): each
# protected function's frame copy of the guard changed under Wine's debugger
# must end the program with a fast fail, with no Kalvo (the plain prefix) or
# in a full update (the test DLLs), and the guard must differ from run to
# run; then the same proofs on the program broken in each way their table
# lists, which must fail them. For the GCC program and the clang one.
# (kalvo_windows_programs: tests/CMakeLists.txt's list of the programs given.)
foreach(program IN LISTS kalvo_windows_programs)
  string(REGEX REPLACE "=.*" "" build "${program}")
  string(REGEX REPLACE "^[^=]*=" "" exe "${program}")
  set(prove --prove --wine "${KALVO_WINE}" --wine-prefix "${kalvo_e2e_plain_prefix}")
  add_test(NAME ${build}WindowsExe.StackProtectionProvedUnderWine
    COMMAND "${KALVO_PE_PYTHON}" "${PROJECT_SOURCE_DIR}/tests/check_pe.py" "${exe}" ${prove}
            --e2e --prefix "${kalvo_e2e_prefix}" --plain-prefix "${kalvo_e2e_plain_prefix}"
                  --harness "${KALVO_E2E_HARNESS}" --wineserver "${KALVO_WINESERVER}"
                  --vendor "${KALVO_VENDOR_ID}" --fpga "${KALVO_FPGA_IMAGE}"
                  --mcu "${KALVO_MCU_IMAGE}")
  add_test(NAME ${build}WindowsExe.EachRunTimeProofFailsWhenBroken
    COMMAND "${KALVO_PE_PYTHON}" "${PROJECT_SOURCE_DIR}/tests/check_pe.py" --break-each-rule
            "${exe}" ${prove})
  # The timeouts only bound a hang: each debugged run is bounded by the proof.
  set_tests_properties(${build}WindowsExe.StackProtectionProvedUnderWine
                       ${build}WindowsExe.EachRunTimeProofFailsWhenBroken
                       PROPERTIES FIXTURES_REQUIRED kalvo_wine TIMEOUT 1500)
endforeach()
