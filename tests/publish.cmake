# the publishing tool: its library for the in-process cases, the built program for black-box runs
target_link_libraries(tst_publish PRIVATE publishcore)
target_compile_definitions(tst_publish PRIVATE PUBLISH_EXE="${host_drive}$<TARGET_FILE:update-publish>")
add_dependencies(tst_publish update-publish)

# patches for the worker's tests are made as update-publish makes them
target_link_libraries(tst_downloadthread PRIVATE publishcore)
target_link_libraries(tst_signedrelease PRIVATE publishcore)
