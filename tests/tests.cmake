# Unit tests of the pure logic (tests/unit) run natively under the sanitizers and,
# in the Windows build, together with the Win32-layer tests (tests/win) under Wine.
# End-to-end tests (tests/e2e) drive the real quorvel.exe under Wine and Xvfb.

file(GLOB UNIT_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/unit/*_test.cpp)
# The simulated clock that the discipline's tests and its benchmark drive.
set(CLOCK_SIM ${CMAKE_CURRENT_LIST_DIR}/sim/clock_sim.cpp)

if(NOT WIN32)
  find_package(GTest REQUIRED)
  include(GoogleTest)
  add_executable(quorvel_unit_tests ${UNIT_TESTS} ${CLOCK_SIM})
  target_link_libraries(quorvel_unit_tests PRIVATE quorvel_core GTest::gtest_main)
  if(QUORVEL_SANITIZE AND NOT MSVC)
    set(SAN -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_compile_options(quorvel_core PRIVATE ${SAN})
    target_compile_options(quorvel_unit_tests PRIVATE ${SAN})
    target_link_options(quorvel_unit_tests PRIVATE ${SAN})
  endif()
  gtest_discover_tests(quorvel_unit_tests DISCOVERY_TIMEOUT 60)
  # bench/measure's discipline section: the simulation's tables and one week's trace.
  add_executable(discipline_bench ${CMAKE_SOURCE_DIR}/bench/discipline_bench.cpp ${CLOCK_SIM})
  target_link_libraries(discipline_bench PRIVATE quorvel_core)
  if(QUORVEL_SANITIZE AND NOT MSVC)
    target_link_options(discipline_bench PRIVATE ${SAN})
  endif()

  # The key exchange and authenticated NTP against a real chronyd, over a
  # test-only TLS layer on GnuTLS. Where GnuTLS is missing the test still
  # exists and fails, so CI cannot pass without it.
  find_package(GnuTLS)
  if(GNUTLS_FOUND)
    add_executable(nts_interop_tests ${CMAKE_CURRENT_LIST_DIR}/interop/nts_interop_test.cpp)
    target_link_libraries(nts_interop_tests PRIVATE quorvel_core GTest::gtest_main GnuTLS::GnuTLS)
    if(QUORVEL_SANITIZE AND NOT MSVC)
      target_compile_options(nts_interop_tests PRIVATE ${SAN})
      target_link_options(nts_interop_tests PRIVATE ${SAN})
    endif()
    add_test(NAME nts_interop COMMAND nts_interop_tests)
  else()
    add_test(NAME nts_interop COMMAND sh -c "echo 'GnuTLS is missing: install libgnutls28-dev' >&2; exit 1")
  endif()
  set_tests_properties(nts_interop PROPERTIES TIMEOUT 120)
  return()
endif()

# GoogleTest from source, built with the same (cross) compiler.
set(GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
if(NOT EXISTS ${GTEST_SOURCE_DIR}/CMakeLists.txt)
  message(STATUS "No GoogleTest sources at ${GTEST_SOURCE_DIR}: unit tests not built")
  return()
endif()
if(NOT TARGET gtest)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(${GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()

file(GLOB WIN_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/win/*_test.cpp)
add_executable(quorvel_tests ${UNIT_TESTS} ${WIN_TESTS} ${CLOCK_SIM})
target_link_libraries(quorvel_tests PRIVATE quorvel_win gtest_main)
# The certificate tests make their own chains and stores (the product loads crypt32 itself).
target_link_libraries(quorvel_tests PRIVATE crypt32)

if(CMAKE_HOST_UNIX)
  # The shipped exe may import only DLLs that no file beside it can replace.
  find_program(QV_OBJDUMP NAMES ${CMAKE_CXX_COMPILER_TARGET}-objdump x86_64-w64-mingw32-objdump objdump)
  add_test(NAME exe_imports
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/import-check.sh ${QV_OBJDUMP} $<TARGET_FILE:quorvel>)

  # The pure core of the elevated program has stack canaries too.
  find_program(QV_NM NAMES ${CMAKE_CXX_COMPILER_TARGET}-nm x86_64-w64-mingw32-nm nm)
  if(MINGW)
    add_test(NAME core_canaries
             COMMAND ${CMAKE_CURRENT_LIST_DIR}/canary-check.sh ${QV_NM} $<TARGET_FILE:quorvel_core>
                     consensus.cpp.obj agreement.cpp.obj sample_plan.cpp.obj)
  endif()

  set(WITH_WINE ${CMAKE_CURRENT_LIST_DIR}/with-wine.sh)
  set(PREFIX_TEMPLATE ${CMAKE_BINARY_DIR}/wineprefix-template)

  # One fresh Wine prefix per test run; every test works on its own copy.
  add_test(NAME wine_prefix COMMAND ${WITH_WINE} --make-template ${PREFIX_TEMPLATE})
  set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine_prefix TIMEOUT 300)

  # Certificates for the server certificate tests, dated from today.
  set(NTS_CERTS ${CMAKE_BINARY_DIR}/nts-certificates)
  add_test(NAME nts_certificates COMMAND ${CMAKE_CURRENT_LIST_DIR}/win/nts-certificates.sh ${NTS_CERTS})
  set_tests_properties(nts_certificates PROPERTIES FIXTURES_SETUP nts_certificates TIMEOUT 120)

  add_test(NAME wine_unit_tests
           COMMAND ${WITH_WINE} ${PREFIX_TEMPLATE} wine $<TARGET_FILE:quorvel_tests> --gtest_brief=1)
  set_tests_properties(wine_unit_tests PROPERTIES FIXTURES_REQUIRED "wine_prefix;nts_certificates"
                       TIMEOUT 600 ENVIRONMENT QV_NTS_CERTS=${NTS_CERTS})

  # The same program as on a real PC: the suites that set the clock or write the
  # machine's registry are skipped and the registry is left as it was.
  add_test(NAME wine_unit_tests_not_wine
           COMMAND ${WITH_WINE} ${PREFIX_TEMPLATE} ${CMAKE_CURRENT_LIST_DIR}/not-wine-check.sh
                   $<TARGET_FILE:quorvel_tests> SettingsStore SystemEntries RunValue ServerListStore QueryRunTest
                   ClockSetting RateKeepingWin ServerCertificate)
  set_tests_properties(wine_unit_tests_not_wine PROPERTIES FIXTURES_REQUIRED wine_prefix TIMEOUT 300)

  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  file(GLOB E2E_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/e2e/test_*.py)
  # The files mostly wait on timers and servers, so several run side by side;
  # the longest start first (about their seconds), or one of them started last
  # would decide how long the whole run takes.
  set(E2E_COST_test_retry 310)
  set(E2E_COST_test_query_run 160)
  set(E2E_COST_test_drift 155)
  set(E2E_COST_test_keeper 200)
  set(E2E_COST_test_ntp 130)
  set(E2E_COST_test_schedule 125)
  set(E2E_COST_test_run_capacity 115)
  set(E2E_COST_test_main_window 110)
  foreach(test ${E2E_TESTS})
    get_filename_component(name ${test} NAME_WE)
    if(NOT DEFINED E2E_COST_${name})
      set(E2E_COST_${name} 30)
    endif()
    add_test(NAME e2e_${name}
             COMMAND ${WITH_WINE} ${PREFIX_TEMPLATE} ${Python3_EXECUTABLE} -m unittest -v ${name})
    set_tests_properties(e2e_${name} PROPERTIES
      FIXTURES_REQUIRED wine_prefix TIMEOUT 900 COST ${E2E_COST_${name}}
      ENVIRONMENT "QV_EXE=$<TARGET_FILE:quorvel>;QV_CTL=$<TARGET_FILE:qvctl>;PYTHONPATH=${CMAKE_CURRENT_LIST_DIR}/e2e;PYTHONDONTWRITEBYTECODE=1")
  endforeach()
endif()
