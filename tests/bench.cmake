# The benchmark script at tiny sizes and one round, so that it keeps working as the updater and
# update-publish change. It measures nothing worth reading; bench/run without --smoke does.
# It needs nginx, curl, strace and /usr/bin/time, and exits with 77 when one is missing.
# The benchmarks measure the Linux build; the Windows build has none to keep working.
if(WIN32)
    return()
endif()
add_test(NAME bench_smoke COMMAND ${PROJECT_SOURCE_DIR}/bench/run --smoke ${CMAKE_BINARY_DIR})
set_tests_properties(bench_smoke PROPERTIES
    ENVIRONMENT "${test_environment}"
    SKIP_RETURN_CODE 77
    TIMEOUT 300
    LABELS bench)
