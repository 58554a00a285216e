# The Windows resources (file icon, administrator manifest) are compiled wherever the MinGW
# resource compiler is installed, so a broken updater.rc shows up before a Windows build does.
find_program(WINDRES x86_64-w64-mingw32-windres)
if(WINDRES)
    # windres runs a C preprocessor over the .rc first; it looks for the MinGW gcc, and where
    # only the cross binutils are installed the host's GCC or Clang does the same job
    find_program(WINDRES_PREPROCESSOR x86_64-w64-mingw32-gcc)
    if(NOT WINDRES_PREPROCESSOR AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        set(WINDRES_PREPROCESSOR ${CMAKE_CXX_COMPILER})
    endif()
endif()

if(WINDRES AND WINDRES_PREPROCESSOR)
    add_test(NAME windows_resources
        COMMAND ${CMAKE_COMMAND}
            -DWINDRES=${WINDRES}
            -DPREPROCESSOR=${WINDRES_PREPROCESSOR}
            -DRC_FILE=${PROJECT_SOURCE_DIR}/win/updater.rc
            -DICON_FILE=${PROJECT_SOURCE_DIR}/ui/icon.ico
            -DMANIFEST_FILE=${PROJECT_SOURCE_DIR}/win/updater.manifest
            -DOUTPUT_FILE=${CMAKE_CURRENT_BINARY_DIR}/windows_resources/updater.res
            -P ${CMAKE_CURRENT_SOURCE_DIR}/windows/checkresources.cmake)
    set_tests_properties(windows_resources PROPERTIES LABELS windows TIMEOUT 120)
else()
    if(NOT WINDRES)
        set(reason "x86_64-w64-mingw32-windres not found (Debian: binutils-mingw-w64-x86-64)")
    else()
        set(reason "no C preprocessor for windres (x86_64-w64-mingw32-gcc, GCC or Clang)")
    endif()
    # cmake -E cannot exit with a chosen code, so the skip is recognised by its message
    add_test(NAME windows_resources
        COMMAND ${CMAKE_COMMAND} -E echo "SKIPPED windows_resources: ${reason}")
    set_tests_properties(windows_resources PROPERTIES LABELS windows
        SKIP_REGULAR_EXPRESSION "SKIPPED windows_resources:")
endif()

# The built updater.exe itself, read as Windows reads it (no Windows needed): subsystem, manifest,
# file icon and the static plugins it imports.
if(WIN32)
    # the execution level the build chose (UPDATER_ELEVATION)
    set(manifest_level requireAdministrator)
    if(UPDATER_ELEVATION STREQUAL "on-demand")
        set(manifest_level asInvoker)
    endif()
    # Debian's own Python, where python3-pefile is installed (a python3 earlier on the PATH may
    # lack it)
    find_program(PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
    find_program(PYTHON3 python3)
    if(PYTHON3)
        add_test(NAME windows_executable
            COMMAND ${PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/windows/checkexe.py
                $<TARGET_FILE:updater> ${UPDATER_MANIFEST}
                ${PROJECT_SOURCE_DIR}/ui/icon.ico ${manifest_level})
        set_tests_properties(windows_executable PROPERTIES LABELS windows
            SKIP_REGULAR_EXPRESSION "SKIPPED windows_executable:")
    endif()
endif()
