# the publishing tool: its library for the in-process cases, the built program for black-box runs
if(TARGET tst_publish)
    target_link_libraries(tst_publish PRIVATE publishcore)
    target_compile_definitions(tst_publish PRIVATE PUBLISH_EXE="${host_drive}$<TARGET_FILE:update-publish>")
    add_dependencies(tst_publish update-publish)
endif()

# patches for the worker's tests are made as update-publish makes them
foreach(test tst_downloadthread tst_signedrelease)
    if(TARGET ${test})
        target_link_libraries(${test} PRIVATE publishcore)
    endif()
endforeach()
