# Run by CPack once the package is made (CPACK_POST_BUILD_SCRIPTS). CPack lists every
# parent folder in the package, /opt too, so that removing the package would try to remove
# /opt and warn that it is not empty. /opt belongs to the system: the data part is made
# again from the same files without that entry.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
    set(work ${deb}.parts)
    file(REMOVE_RECURSE ${work})
    file(MAKE_DIRECTORY ${work}/tree)
    execute_process(COMMAND ar x ${deb} WORKING_DIRECTORY ${work} COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND tar -xzf data.tar.gz -C tree WORKING_DIRECTORY ${work} COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND tar -tzf data.tar.gz WORKING_DIRECTORY ${work} OUTPUT_VARIABLE entries
                    COMMAND_ERROR_IS_FATAL ANY)
    string(REPLACE "\n./opt/\n" "\n" entries "\n${entries}")
    string(STRIP "${entries}" entries)
    file(WRITE ${work}/entries "${entries}\n")
    execute_process(COMMAND tar -c --no-recursion --numeric-owner --owner=0 --group=0 -C tree -T entries
                    COMMAND gzip -9n OUTPUT_FILE data.tar.gz WORKING_DIRECTORY ${work} COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE ${deb})
    execute_process(COMMAND ar rc ${deb} debian-binary control.tar.gz data.tar.gz WORKING_DIRECTORY ${work}
                    COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE ${work})
endforeach()
