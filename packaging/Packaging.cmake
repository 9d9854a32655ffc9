# What an installation holds beside the programs (each program's folder installs its own
# executable): the desktop entry, the icon, the AppStream metadata, the manual pages, the bash
# completion, the exporter's service with its defaults, the package's documents; and the
# settings of the Debian package that scripts/package makes with CPack.

set(zephran_packaging_dir ${CMAKE_CURRENT_LIST_DIR})
set(zephran_package_name zephran-console)
set(zephran_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/${zephran_package_name})
set(zephran_generated_dir ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${zephran_generated_dir})

# Directories of a package are 0755 whatever the umask of the one who builds it.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

find_program(ZEPHRAN_GZIP gzip)
find_program(ZEPHRAN_HELP2MAN help2man)

# Compressed the way Debian wants its documents: the best ratio, no name or time inside.
set(zephran_compressed)
function(zephran_compress source output)
    add_custom_command(OUTPUT ${output}
                       COMMAND ${ZEPHRAN_GZIP} -9nc ${source} > ${output}
                       DEPENDS ${source} VERBATIM)
    set(zephran_compressed ${zephran_compressed} ${output} PARENT_SCOPE)
endfunction()

set(zephran_man_pages)
list(APPEND zephran_man_pages zephran-console)
install(FILES ${zephran_packaging_dir}/org.zephran.console.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${zephran_packaging_dir}/org.zephran.console.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${zephran_packaging_dir}/icons/org.zephran.console.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size 48x48 256x256)
    install(FILES ${zephran_packaging_dir}/icons/${size}/org.zephran.console.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}/apps)
endforeach()
list(APPEND zephran_man_pages zephran-admin)
install(FILES ${zephran_packaging_dir}/completion/zephran-admin
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
list(APPEND zephran_man_pages zephran-exporter)
install(FILES ${zephran_packaging_dir}/systemd/zephran-exporter.service
        DESTINATION lib/systemd/system)
install(FILES ${zephran_packaging_dir}/default/zephran-exporter
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default)
foreach(page ${zephran_man_pages})
    zephran_compress(${zephran_packaging_dir}/man/${page}.1 ${zephran_generated_dir}/${page}.1.gz)
    install(FILES ${zephran_generated_dir}/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

# The reference peers' pages are made from their --help.
if(ZEPHRAN_HELP2MAN)
    set(zephran_peer_summary_zephran-testserver "reference Zephran record server for tests and demos")
    set(zephran_peer_summary_zephran-testbroker "reference Zephran HTTP broker for tests and demos")
    foreach(peer zephran-testserver zephran-testbroker)
        set(page ${zephran_generated_dir}/${peer}.1)
        add_custom_command(
            OUTPUT ${page}
            COMMAND ${CMAKE_COMMAND} -E env PATH=$<TARGET_FILE_DIR:${peer}>:$ENV{PATH}
                    ${ZEPHRAN_HELP2MAN} --no-info --no-discard-stderr
                    --version-string=${PROJECT_VERSION}
                    --name=${zephran_peer_summary_${peer}} --output=${page} ${peer}
            DEPENDS ${peer} VERBATIM)
        zephran_compress(${page} ${page}.gz)
        install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endforeach()
endif()

zephran_compress(${zephran_packaging_dir}/debian/changelog
                 ${zephran_generated_dir}/changelog.Debian.gz)
install(FILES ${zephran_generated_dir}/changelog.Debian.gz
              ${zephran_packaging_dir}/debian/copyright DESTINATION ${zephran_doc_dir})
add_custom_target(zephran_packaging_files ALL DEPENDS ${zephran_compressed})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${zephran_package_name})
set(CPACK_PACKAGE_VENDOR "The Zephran Console developers")
set(CPACK_PACKAGE_CONTACT "Zephran Console maintainers <maintainers@zephran.example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "remote administration console of Zephran record servers")
# The synopsis is the summary above; CPack indents these lines and marks the empty one.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Zephran Console connects to a multi-database record server over TCP,
logs in as the administrator, and shows and manages the running server:
its local and web connections, its databases, its counters and its error
log. It also administers the HTTP broker in front of the servers.

The package holds the desktop console (zephran-console), its headless
twin for scripts and monitoring (zephran-admin), an exporter that lets
Prometheus watch a fleet of servers (zephran-exporter, with its service),
and two reference peers that speak the protocols from JSON data
(zephran-testserver, zephran-testbroker).")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://zephran.example.org/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "bash-completion")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
file(WRITE ${zephran_generated_dir}/conffiles
     "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/zephran-exporter\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${zephran_packaging_dir}/debian/postinst ${zephran_packaging_dir}/debian/prerm
    ${zephran_packaging_dir}/debian/postrm ${zephran_generated_dir}/conffiles)
include(CPack)
