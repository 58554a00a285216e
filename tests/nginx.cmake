# End-to-end runs of the built updater against a real nginx, with releases published by the
# built update-publish. The test starts nginx itself and skips when nginx is not installed
# (Debian: nginx or nginx-light); ctest then reports it as skipped, not passed.
updater_add_test(tst_nginx)
target_compile_definitions(tst_nginx PRIVATE UPDATE_PUBLISH_EXE="${host_drive}$<TARGET_FILE:update-publish>")
add_dependencies(tst_nginx update-publish)
set_tests_properties(tst_nginx PROPERTIES
    TIMEOUT 180
    SKIP_REGULAR_EXPRESSION "SKIP +: tst_Nginx::initTestCase\\(\\)")
