# Run at install time from the install(CODE) rule of Packaging.cmake, with ZKV_MAN (a list of
# "program path|summary"), ZKV_VERSION, ZKV_SOURCE and ZKV_WORK set. Writes into ZKV_WORK what
# the install(FILES) rules after it install.
find_program(ZKV_HELP2MAN help2man)
find_program(ZKV_GZIP gzip)
if(NOT ZKV_HELP2MAN OR NOT ZKV_GZIP)
    message(FATAL_ERROR "the package's manual pages need help2man and gzip "
                        "(scripts/deps.d/package.list)")
endif()

function(zkv_gzip in out)
    execute_process(COMMAND ${ZKV_GZIP} -9 -n -c ${in} OUTPUT_FILE ${out} RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "gzip ${in} failed")
    endif()
endfunction()

foreach(entry ${ZKV_MAN})
    string(REPLACE "|" ";" parts "${entry}")
    list(GET parts 0 program)
    list(GET parts 1 summary)
    get_filename_component(name ${program} NAME)
    # No display is needed for --help; the environment is kept out of the page.
    execute_process(
        COMMAND ${CMAKE_COMMAND} -E env --unset=XDG_CONFIG_HOME HOME=/nonexistent
                QT_QPA_PLATFORM=offscreen
                ${ZKV_HELP2MAN} --no-info --no-discard-stderr --version-string=${ZKV_VERSION}
                --name=${summary} --section=1 --output=${ZKV_WORK}/man/${name}.1 ${program}
        RESULT_VARIABLE rc ERROR_VARIABLE out)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "no manual page for ${name}: its --help must print the usage and "
                            "exit 0 (help2man: ${out})")
    endif()
    zkv_gzip(${ZKV_WORK}/man/${name}.1 ${ZKV_WORK}/man/${name}.1.gz)
endforeach()

# pkexec matches the absolute path: the helper beside the installed client, which is what the
# client asks pkexec for.
set(ZKV_DISK_HELPER_PATH "${CMAKE_INSTALL_PREFIX}/bin/zelkova-disk-helper")
configure_file(${ZKV_SOURCE}/packaging/example.zelkova.user-client.disk-helper.policy.in
               ${ZKV_WORK}/example.zelkova.user-client.disk-helper.policy @ONLY)
set(ZKV_UPDATE_PATH "${CMAKE_INSTALL_PREFIX}/bin/zelkova-update")
configure_file(${ZKV_SOURCE}/packaging/example.zelkova.user-client.update.policy.in
               ${ZKV_WORK}/example.zelkova.user-client.update.policy @ONLY)
configure_file(${ZKV_SOURCE}/packaging/changelog.in ${ZKV_WORK}/changelog @ONLY)
zkv_gzip(${ZKV_WORK}/changelog ${ZKV_WORK}/changelog.gz)
