# Black-box runs of the built updater against a misbehaving server, a read-only installation,
# a full cache file system and malformed inputs, and runs killed at many moments. About a
# hundred updater runs: a sanitizer build starts each one far more slowly, and so does Wine
# (274-419 s in CI runs of the Windows build, beside the other tests).
updater_add_test(tst_faults)
if(UPDATER_SANITIZE OR WIN32)
    set_tests_properties(tst_faults PROPERTIES TIMEOUT 1800)
endif()
